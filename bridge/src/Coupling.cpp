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

    // The passivity controller: what the coupling would have given the arm
    // beyond what the peer's arm put in is taken back by a damper sized for
    // it, whichever way the arm moves. What the damper takes is the
    // controller's, never counted as the arm's input.
    const double output = power > 0.0 ? power * dt : 0.0;
    const bool moving = speed_squared >= MIN_SPEED * MIN_SPEED;
    double damping = 0.0;
    if (gains_.passivity_control && moving) {
        const double surplus = record_.energy_out + output - peer_.energy_in - record_.dissipated;
        if (surplus > 0.0) {
            damping = surplus / (speed_squared * dt);
            const bool overdue =
                record_.positive_since >= 0.0 && input.time - record_.positive_since >= PASSIVITY_WINDOW - dt;
            if (!overdue) damping = std::min(damping, gains_.max_passivity_damping);
            for (int i = 0; i < 3; ++i) force[i] -= damping * input.velocity[i];
            record_.dissipated += damping * speed_squared * dt;
        }
    }
    record_.energy_out += output;
    if (power < 0.0) record_.energy_in -= power * dt;

    record_.coupled = weight > 0.0;
    record_.peer_energy_in = peer_.energy_in;
    record_.observed_energy = record_.energy_out - peer_.energy_in - record_.dissipated;
    if (record_.observed_energy <= ENERGY_RESOLUTION || !moving) {
        // At rest the coupling makes no energy, and no damper can take any.
        record_.positive_since = -1.0;
    } else {
        if (record_.positive_since < 0.0) record_.positive_since = input.time;
        record_.longest_positive = std::max(record_.longest_positive, input.time - record_.positive_since + dt);
    }
    record_.passivity_damping = damping;
    record_.error = std::sqrt(error_squared);
    channel_->state.store(record_);
    return force;
}

}  // namespace Kivra::Bridge
