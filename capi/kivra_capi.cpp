// The flat C interface over the device core. Every entry point catches
// everything at this seam: a C caller (or cffi) cannot unwind a C++ exception.

#include <cstring>
#include <utility>

#include "capi_internal.h"

using Kivra::HardwareAPI::UUID;
using Kivra::HardwareAPI::Devices::DeviceInfo;
using Kivra::HardwareAPI::Devices::Vector3;
namespace Code = Kivra::HardwareAPI::Devices::Pendra3Code;
using namespace kivra_capi;

static_assert(static_cast<int>(OutcomeKind::timed_out) == KIVRA_TIMED_OUT &&
                  static_cast<int>(OutcomeKind::hung_up) == KIVRA_HUNG_UP &&
                  static_cast<int>(OutcomeKind::wrong_code) == KIVRA_WRONG_CODE &&
                  static_cast<int>(OutcomeKind::short_payload) == KIVRA_SHORT_PAYLOAD &&
                  static_cast<int>(OutcomeKind::write_failed) == KIVRA_WRITE_FAILED &&
                  static_cast<int>(OutcomeKind::not_open) == KIVRA_NOT_OPEN &&
                  static_cast<int>(OutcomeKind::interrupted) == KIVRA_INTERRUPTED,
              "the C status codes hand the core's outcomes on unchanged");
static_assert(Kivra::HardwareAPI::Devices::Pendra3::MODEL_NUMBER == KIVRA_ARM_MODEL_NUMBER, "one model number");

namespace {

// Runs body with the port's lock held, after the checks every exchange
// shares. The first check of the running loops spares a caller the wait for
// a tick's end only to be told the loop owns the arm.
template <typename Body>
kivra_status with_port(kivra_arm* arm, int32_t* detail, Body&& body) noexcept {
    if (arm == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return guarded(detail, [&]() -> kivra_status {
        ArmCore& core = *arm->core;
        if (core.running_loops.load() > 0) return with_detail(detail, KIVRA_BUSY);
        std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
        if (!core.open.load()) return with_detail(detail, KIVRA_CLOSED);
        if (core.running_loops.load() > 0) return with_detail(detail, KIVRA_BUSY);
        return body(core);
    });
}

kivra_status motion_exchange(kivra_arm* arm, uint8_t code, const float* command, float* first, float* second,
                             int32_t* detail) noexcept {
    if (command == nullptr || first == nullptr || second == nullptr || !finite_vector(command)) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    return with_port(arm, detail, [&](ArmCore& core) {
        const Vector3 sent{command[0], command[1], command[2]};
        Vector3 a{}, b{};
        const Outcome outcome = core.device.exchange(code, sent, a, b, core.timeout.load());
        if (outcome.ok()) {
            std::memcpy(first, a.data(), sizeof(a));
            std::memcpy(second, b.data(), sizeof(b));
        }
        return report_reply(outcome, Pendra3::reply_code_of(code), detail);
    });
}

}  // namespace

extern "C" {

const char* kivra_status_name(kivra_status status) {
    switch (status) {
        case KIVRA_OK: return "KIVRA_OK";
        case KIVRA_TIMED_OUT: return "KIVRA_TIMED_OUT";
        case KIVRA_HUNG_UP: return "KIVRA_HUNG_UP";
        case KIVRA_WRONG_CODE: return "KIVRA_WRONG_CODE";
        case KIVRA_SHORT_PAYLOAD: return "KIVRA_SHORT_PAYLOAD";
        case KIVRA_WRITE_FAILED: return "KIVRA_WRITE_FAILED";
        case KIVRA_NOT_OPEN: return "KIVRA_NOT_OPEN";
        case KIVRA_INTERRUPTED: return "KIVRA_INTERRUPTED";
        case KIVRA_INVALID_ARGUMENT: return "KIVRA_INVALID_ARGUMENT";
        case KIVRA_CLOSED: return "KIVRA_CLOSED";
        case KIVRA_BUSY: return "KIVRA_BUSY";
        case KIVRA_OUT_OF_MEMORY: return "KIVRA_OUT_OF_MEMORY";
        case KIVRA_INTERNAL_ERROR: return "KIVRA_INTERNAL_ERROR";
        default: return "KIVRA_UNKNOWN_STATUS";
    }
}

const char* kivra_version(void) { return KIVRA_VERSION; }

void kivra_set_interrupt_fd(int32_t fd) { Kivra::HardwareAPI::Devices::set_thread_interrupt_fd(fd); }

kivra_status kivra_arm_open(const char* port, double timeout, uint32_t flags, kivra_arm** arm, int32_t* detail) {
    if (arm != nullptr) *arm = nullptr;
    if (port == nullptr || arm == nullptr || !valid_timeout(timeout) ||
        (flags & ~uint32_t{KIVRA_OPEN_EXCLUSIVE}) != 0) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    return guarded(detail, [&]() -> kivra_status {
        auto core = std::make_shared<ArmCore>(port, timeout);
        const Outcome opened =
            core->stream.open_port((flags & KIVRA_OPEN_EXCLUSIVE) != 0 ? PortLock::exclusive : PortLock::shared);
        if (!opened.ok()) return report(opened, detail);
        core->open.store(true);
        *arm = new kivra_arm{std::move(core)};
        return with_detail(detail, KIVRA_OK);
    });
}

kivra_status kivra_arm_close(kivra_arm* arm) {
    if (arm == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        ArmCore& core = *arm->core;
        std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
        if (core.running_loops.load() > 0) return KIVRA_BUSY;
        core.stream.close();
        core.open.store(false);
        return KIVRA_OK;
    });
}

void kivra_arm_destroy(kivra_arm* arm) {
    if (arm == nullptr) return;
    kivra_arm_close(arm);
    delete arm;
}

int32_t kivra_arm_is_open(const kivra_arm* arm) { return arm != nullptr && arm->core->open.load() ? 1 : 0; }

kivra_status kivra_arm_set_timeout(kivra_arm* arm, double timeout) {
    if (arm == nullptr || !valid_timeout(timeout)) return KIVRA_INVALID_ARGUMENT;
    arm->core->timeout.store(timeout);
    return KIVRA_OK;
}

kivra_status kivra_arm_get_timeout(const kivra_arm* arm, double* timeout) {
    if (arm == nullptr || timeout == nullptr) return KIVRA_INVALID_ARGUMENT;
    *timeout = arm->core->timeout.load();
    return KIVRA_OK;
}

kivra_status kivra_arm_exchange_force(kivra_arm* arm, const float force[3], float position[3], float velocity[3],
                                      int32_t* detail) {
    return motion_exchange(arm, Code::END_EFFECTOR_FORCE, force, position, velocity, detail);
}

kivra_status kivra_arm_exchange_position(kivra_arm* arm, const float position[3], float first[3], float second[3],
                                         int32_t* detail) {
    return motion_exchange(arm, Code::END_EFFECTOR_POSITION, position, first, second, detail);
}

kivra_status kivra_arm_exchange_joint_torques(kivra_arm* arm, const float torques[3], float angles[3],
                                              float angular_velocities[3], int32_t* detail) {
    return motion_exchange(arm, Code::JOINT_TORQUES, torques, angles, angular_velocities, detail);
}

kivra_status kivra_arm_exchange_joint_angles(kivra_arm* arm, const float angles[3], float first[3], float second[3],
                                             int32_t* detail) {
    return motion_exchange(arm, Code::JOINT_ANGLES, angles, first, second, detail);
}

kivra_status kivra_arm_wakeup(kivra_arm* arm, kivra_device_info* info, int32_t* detail) {
    if (info == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return with_port(arm, detail, [&](ArmCore& core) {
        DeviceInfo reply;
        const Outcome outcome = core.device.wakeup(reply, core.timeout.load());
        if (outcome.ok()) to_c_info(reply, *info);
        return report_reply(outcome, Code::DEVICE_INFO, detail);
    });
}

// The C interface names the selectors in its own header; they are the arm's.
static_assert(KIVRA_IDENTIFIER_DEVICE_ID == Code::SELECT_DEVICE_ID);
static_assert(KIVRA_IDENTIFIER_FIRMWARE_VERSION == Code::SELECT_FIRMWARE_VERSION);
static_assert(sizeof(kivra_device_info::unique_id) == Kivra::HardwareAPI::Devices::Pendra3Length::IDENTIFIER_VALUE);

kivra_status kivra_arm_identifier(kivra_arm* arm, int32_t selector, uint8_t* value, int32_t* detail) {
    if (value == nullptr || (selector != KIVRA_IDENTIFIER_DEVICE_ID && selector != KIVRA_IDENTIFIER_FIRMWARE_VERSION)) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    return with_port(arm, detail, [&](ArmCore& core) {
        UUID reply;
        const Outcome outcome = core.device.identifier(static_cast<uint8_t>(selector), reply, core.timeout.load());
        if (outcome.ok()) std::memcpy(value, reply.data.data(), reply.data.size());
        return report_reply(outcome, Code::IDENTIFIER, detail);
    });
}

kivra_status kivra_arm_get_status(kivra_arm* arm, kivra_arm_status* status, int32_t* detail) {
    if (status == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return with_port(arm, detail, [&](ArmCore& core) {
        const double timeout = core.timeout.load();
        kivra_arm_status read{};
        Vector3 currents{};
        std::array<float, 4> quaternion{};
        bool powered = false;
        Outcome outcome = core.device.temperature(read.temperature, timeout);
        if (!outcome.ok()) return report_reply(outcome, Code::TEMPERATURE, detail);
        outcome = core.device.motor_currents(currents, timeout);
        if (!outcome.ok()) return report_reply(outcome, Code::MOTOR_CURRENTS, detail);
        outcome = core.device.orientation(quaternion, timeout);
        if (!outcome.ok()) return report_reply(outcome, Code::ORIENTATION, detail);
        outcome = core.device.power_status(powered, timeout);
        if (!outcome.ok()) return report_reply(outcome, Code::POWER_STATUS, detail);
        std::memcpy(read.motor_currents, currents.data(), sizeof(read.motor_currents));
        std::memcpy(read.orientation, quaternion.data(), sizeof(read.orientation));
        read.powered = powered ? 1 : 0;
        *status = read;
        return with_detail(detail, KIVRA_OK);
    });
}

}  // extern "C"
