#include "ArmDevice.h"

#include <algorithm>

#include "KivraHardwareAPI/Pendra3.h"

namespace kivra_emulator {

namespace Code = Kivra::HardwareAPI::Devices::Pendra3Code;

namespace {

// Base orientation as the arm's sensor reports it: upright, the unit
// quaternion (x, y, z, w) of the host model's fixed orientation.
constexpr float BASE_ORIENTATION[4] = {0.0f, 0.70710678f, 0.0f, 0.70710678f};
constexpr uint8_t POWERED = 1;
constexpr uint8_t IDENTIFIER_LENGTH = 16;

Float3 command_vector(const uint8_t* request) {
    return {get_float(request + 1), get_float(request + 5), get_float(request + 9)};
}

}  // namespace

ArmDevice::ArmDevice(const Options& options, double now) : options(options), arm(options.watchdog, now) {}

std::size_t ArmDevice::request_length(const uint8_t* bytes, std::size_t) const {
    switch (bytes[0]) {
        case Code::WAKEUP:
        case Code::ORIENTATION:
        case Code::TEMPERATURE:
        case Code::MOTOR_CURRENTS:
        case Code::POWER_STATUS: return 1;
        case Code::IDENTIFIER: return 2;
        case Code::JOINT_TORQUES:
        case Code::JOINT_ANGLES:
        case Code::END_EFFECTOR_FORCE:
        case Code::END_EFFECTOR_POSITION: return 13;
        default: return 0;
    }
}

Message ArmDevice::joint_state() const {
    Message reply{Code::JOINT_STATE};
    for (float value : arm.readings()) put_float(reply, value);
    for (float value : arm.joint_velocities()) put_float(reply, value);
    return reply;
}

Message ArmDevice::end_effector_state() const {
    Message reply{Code::END_EFFECTOR_STATE};
    for (float value : arm.position()) put_float(reply, value);
    for (float value : arm.velocity()) put_float(reply, value);
    return reply;
}

void ArmDevice::handle_request(const uint8_t* request, std::size_t, double now, ReplyChannel& replies) {
    arm.advance(now);
    switch (request[0]) {
        case Code::WAKEUP: {
            Message reply{Code::DEVICE_INFO};
            put_u16(reply, options.device_id);
            reply.push_back(options.model_number);
            reply.push_back(options.hardware_version);
            reply.push_back(options.firmware_version);
            reply.insert(reply.end(), options.unique_id.begin(), options.unique_id.end());
            replies.send(reply, now);
            break;
        }
        case Code::IDENTIFIER: {
            const uint8_t selector = request[1];
            // An unknown selector gets no answer, as the firmware ignores it.
            if (selector != Code::SELECT_DEVICE_ID && selector != Code::SELECT_FIRMWARE_VERSION) break;
            const auto& value = selector == Code::SELECT_DEVICE_ID ? options.unique_id : options.firmware_id;
            Message reply{Code::IDENTIFIER, selector, IDENTIFIER_LENGTH};
            reply.insert(reply.end(), value.begin(), value.end());
            replies.send(reply, now);
            break;
        }
        case Code::ORIENTATION: {
            Message reply{Code::ORIENTATION};
            for (float value : BASE_ORIENTATION) put_float(reply, value);
            replies.send(reply, now);
            break;
        }
        case Code::JOINT_TORQUES:
            arm.command(ArmSimulation::Mode::joint_torques, command_vector(request), now);
            replies.send(joint_state(), now);
            break;
        case Code::JOINT_ANGLES:
            arm.command(ArmSimulation::Mode::joint_angles, command_vector(request), now);
            replies.send(joint_state(), now);
            break;
        case Code::END_EFFECTOR_FORCE:
            arm.command(ArmSimulation::Mode::force, command_vector(request), now);
            if (options.replay_states.empty()) {
                replies.send(end_effector_state(), now);
            } else {
                const auto& states = options.replay_states;
                Message reply{Code::END_EFFECTOR_STATE};
                for (float value : states[std::min(replayed++, states.size() - 1)]) put_float(reply, value);
                replies.send(reply, now);
            }
            break;
        case Code::END_EFFECTOR_POSITION:
            arm.command(ArmSimulation::Mode::position, command_vector(request), now);
            replies.send(end_effector_state(), now);
            break;
        case Code::TEMPERATURE: {
            Message reply{Code::TEMPERATURE};
            put_float(reply, arm.temperature());
            replies.send(reply, now);
            break;
        }
        case Code::MOTOR_CURRENTS: {
            Message reply{Code::MOTOR_CURRENTS};
            for (float value : arm.motor_currents()) put_float(reply, value);
            replies.send(reply, now);
            break;
        }
        case Code::POWER_STATUS: replies.send(Message{Code::POWER_STATUS, POWERED}, now); break;
        default: break;
    }
}

}  // namespace kivra_emulator
