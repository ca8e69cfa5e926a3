#pragma once

#include "ArmSimulation.h"
#include "EmulatedDevice.h"

namespace kivra_emulator {

// The arm device (model 4): answers every request of its message set from
// the simulated arm.
class ArmDevice : public EmulatedDevice {
public:
    ArmDevice(const Options& options, double now);

    std::size_t request_length(const uint8_t* bytes, std::size_t available) const override;
    void handle_request(const uint8_t* request, std::size_t length, double now, ReplyChannel& replies) override;
    void advance(double now) override { arm.advance(now); }
    void push(const Vec3& force, double now) override { arm.push(force, now); }

private:
    Message joint_state() const;
    Message end_effector_state() const;

    const Options& options;
    ArmSimulation arm;
    std::size_t replayed = 0;  // force requests answered from options.replay_states
};

}  // namespace kivra_emulator
