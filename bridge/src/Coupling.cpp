#include "Coupling.h"

#include <algorithm>
#include <cmath>

#include "KivraHardwareAPI/Clock.h"

namespace Kivra::Bridge {

std::array<double, 3> CouplingScene::render(const HardwareAPI::Servo::SceneInput& input) noexcept {
    uint64_t version = 0;
    channel_->peer.try_load(peer_, version);  // overlapped by a write: last tick's stays
    std::array<double, 3> force{0.0, 0.0, 0.0};
    if (peer_.arrived == 0) return force;

    const double silent = double(HardwareAPI::monotonic_nanoseconds() - peer_.arrived) * 1e-9;
    const double weight = std::clamp(1.0 - (silent - COUPLING_TIMEOUT) / COUPLING_FADE, 0.0, 1.0);
    const double dt = input.period;
    double power = 0.0, speed_squared = 0.0, error_squared = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double offset = peer_.position[i] - input.position[i];
        force[i] = weight * (gains_.stiffness * offset + gains_.damping * (peer_.velocity[i] - input.velocity[i]));
        power += force[i] * input.velocity[i];
        speed_squared += input.velocity[i] * input.velocity[i];
        error_squared += offset * offset;
    }

    // The passivity controller: what this tick would give the arm beyond
    // what the peer's arm has put in is taken back by a damper sized for it.
    double damping = 0.0;
    if (gains_.passivity_control && power > 0.0) {
        const double surplus = record_.energy_out + power * dt - peer_.energy_in;
        if (surplus > 0.0 && speed_squared * dt > 1e-12) {
            damping = std::min(surplus / (speed_squared * dt), gains_.max_passivity_damping);
            for (int i = 0; i < 3; ++i) force[i] -= damping * input.velocity[i];
            power -= damping * speed_squared;
            record_.dissipated += damping * speed_squared * dt;
        }
    }
    if (power > 0.0)
        record_.energy_out += power * dt;
    else
        record_.energy_in -= power * dt;

    record_.coupled = weight > 0.0;
    record_.peer_energy_in = peer_.energy_in;
    record_.observed_energy = record_.energy_out - peer_.energy_in;
    record_.passivity_damping = damping;
    record_.error = std::sqrt(error_squared);
    channel_->state.store(record_);
    return force;
}

}  // namespace Kivra::Bridge
