#pragma once

// A servo loop on a ROS 2 network, over Cyclone DDS with ROS 2's conventions:
// the arm's state published, force commands and effects taken.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/ServoLoop.h"

namespace Kivra::Bridge {

struct BridgeOptions {
    std::string name_space = "kivra";  // topics rt/<name_space>/<topic>; ROS 2 sees /<name_space>/<topic>
    int32_t domain = -1;               // DDS domain; -1: the default (CYCLONEDDS_URI's, else 0)
    double state_rate = 1000.0;        // [Hz] of joint_states, pose, twist and wrench; at most the loop's rate
    double diagnostics_rate = 1.0;     // [Hz]
    // Test aids: every message taken (commands, effects, a coupled peer's
    // state) is dropped with probability receive_loss and otherwise applied
    // receive_delay [s] after it arrived, as a slow and lossy network would.
    double receive_delay = 0.0;  // [s], 0 to 10
    double receive_loss = 0.0;   // 0 to 1
    uint32_t loss_seed = 1;
    // Teleoperation: couples the loop to the arm behind another bridge,
    // published under this namespace (empty: no coupling). The loop's scene
    // becomes a spring-damper towards that arm's position.
    std::string peer;
    double coupling_stiffness = 200.0;     // [N/m]
    double coupling_damping = 10.0;        // [N s/m] on the velocity difference
    bool passivity_control = true;         // dissipate what the coupling would add to the arms' energy
    double max_passivity_damping = 200.0;  // [N s/m] the passivity controller adds at most
};

struct BridgeStatistics {
    uint64_t published_states = 0;        // ticks published (each on every state topic)
    uint64_t published_diagnostics = 0;   // diagnostic arrays
    uint64_t trace_dropped = 0;           // ticks the bridge's tap lost because it drained too late
    uint64_t force_commands = 0;          // force commands applied
    uint64_t refused_force_commands = 0;  // not finite: never applied
    uint64_t effects_applied = 0;
    uint64_t refused_effects = 0;       // out of range or not finite: never applied
    uint64_t received_peer_states = 0;  // a coupled peer's states applied
    uint64_t lost_messages = 0;         // dropped by receive_loss
    std::string last_refusal;           // why the latest command was refused
    uint64_t handle_frames = 0;         // status frames of the handle published
    uint64_t handle_timeouts = 0;       // reads of the handle that found no frame in time
    bool handle_reading = false;        // a handle is attached and still read
    int32_t handle_failure = 0;         // the status that ended the handle's reading; 0: none
};

// A handle as the bridge reads it, on a thread of its own.
using HandleSource = HardwareAPI::Devices::HandleFrameSource;

// What a teleoperation coupling is doing, as the servo thread last left it.
struct CouplingState {
    bool coupled = false;            // a peer's state has arrived
    double energy_in = 0.0;          // [J] the local arm has put into the coupling
    double energy_out = 0.0;         // [J] the coupling has put into the local arm
    double peer_energy_in = 0.0;     // [J] the peer's arm has put in, as last heard
    double observed_energy = 0.0;    // [J] energy_out - peer_energy_in - dissipated: above 0, made energy
    double passivity_damping = 0.0;  // [N s/m] the passivity controller adds now
    double dissipated = 0.0;         // [J] the passivity controller has taken out
    double error = 0.0;              // [m] distance to the peer's position as last heard
    double longest_positive = 0.0;   // [s] the longest the observed energy stayed above zero
};

enum class HandleAttach { attached, stopped, already_reading };

class Bridge {
public:
    // Starts publishing loop's state and taking commands for it on a thread
    // of its own. Throws std::invalid_argument for bad options and
    // std::runtime_error naming the DDS call that failed.
    Bridge(std::shared_ptr<HardwareAPI::Servo::ServoLoop> loop, const BridgeOptions& options);
    ~Bridge();  // stops
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Stops the thread, leaves the network and takes its scene (if coupled)
    // off the loop; commands already applied run out with the loop's own
    // hold and ramp.
    void stop();
    // Publishes the handle's status frames on buttons (sensor_msgs/Joy) and
    // orientation (geometry_msgs/QuaternionStamped), read on a thread of the
    // bridge's own until stop() or until a read fails. One handle per
    // bridge: unless attached, source is released at once. Throws
    // std::runtime_error naming the DDS call that failed.
    HandleAttach attach_handle(HandleSource source);
    BridgeStatistics statistics() const;
    CouplingState coupling() const;

    struct Shared;

private:
    std::unique_ptr<Shared> shared;
};

// Why options cannot be used, or nullptr.
const char* options_problem(const BridgeOptions& options);

}  // namespace Kivra::Bridge
