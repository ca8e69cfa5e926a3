#pragma once

// The teleoperation coupling as a scene of the servo loop: a spring-damper
// towards the peer arm's position as last heard, kept passive by a
// time-domain passivity observer and controller. Energy is counted at the
// local arm's port: what the local arm pushes into the coupling (in) and what
// the coupling pushes into it (out). The coupling may give out only what
// the peer's arm put in, as the peer last told; when the observed energy,
// out minus the peer's in minus what the controller has dissipated, would
// turn positive, a variable damper on the local velocity takes the surplus
// back within the tick. The damper is
// capped, so that a burst of surplus is taken back over a few ticks rather
// than with one jolt, but never for longer than PASSIVITY_WINDOW: past it
// the damper takes whatever the surplus needs.

#include <atomic>
#include <cstdint>
#include <memory>

#include "KivraBridge/Bridge.h"
#include "KivraHardwareAPI/ServoLoop.h"
#include "SeqlockCell.h"

namespace Kivra::Bridge {

// The peer's side as last heard, handed by the bridge's thread to the scene.
struct PeerState {
    double position[3] = {0.0, 0.0, 0.0};  // [m]
    double velocity[3] = {0.0, 0.0, 0.0};  // [m/s]
    double energy_in = 0.0;                // [J]
    int64_t arrived = 0;                   // [ns, monotonic] when it was applied; 0: never
};

// CouplingState as the servo thread publishes it: trivially copyable.
struct CouplingRecord {
    bool coupled = false;
    double energy_in = 0.0, energy_out = 0.0, peer_energy_in = 0.0, observed_energy = 0.0;
    double passivity_damping = 0.0, dissipated = 0.0, error = 0.0;
    double positive_since = -1.0;   // [s of the loop] since when the observed energy is above zero, or -1
    double longest_positive = 0.0;  // [s] the longest the observed energy stayed above zero
};

struct CouplingChannel {
    HardwareAPI::Servo::SeqlockCell<PeerState> peer;
    HardwareAPI::Servo::SeqlockCell<CouplingRecord> state;
};

struct CouplingGains {
    double stiffness = 0.0;  // [N/m]
    double damping = 0.0;    // [N s/m]
    bool passivity_control = true;
    double max_passivity_damping = 0.0;  // [N s/m]
};

// A peer not heard from for this long [s] no longer pulls: its force fades
// out over COUPLING_FADE [s].
constexpr double COUPLING_TIMEOUT = 0.25;
// [s] the longest the passivity controller lets the observed energy stay
// above zero while the arm moves (at rest the coupling can make no energy).
constexpr double PASSIVITY_WINDOW = 0.02;
// [m/s] below this the arm counts as at rest: no damper can take energy out.
constexpr double MIN_SPEED = 1e-4;
// [J] what counts as above zero: rounding leaves less.
constexpr double ENERGY_RESOLUTION = 1e-9;
constexpr double COUPLING_FADE = 0.1;

class CouplingScene : public HardwareAPI::Servo::Scene {
public:
    CouplingScene(std::shared_ptr<CouplingChannel> channel, const CouplingGains& gains)
        : channel_(std::move(channel)), gains_(gains) {}
    std::array<double, 3> render(const HardwareAPI::Servo::SceneInput& input) noexcept override;

private:
    std::shared_ptr<CouplingChannel> channel_;
    const CouplingGains gains_;
    PeerState peer_;
    CouplingRecord record_;
};

}  // namespace Kivra::Bridge
