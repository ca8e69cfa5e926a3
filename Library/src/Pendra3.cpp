#include "KivraHardwareAPI/Pendra3.h"

#include <cerrno>
#include <mutex>
#include <stdexcept>

namespace Kivra::HardwareAPI::Devices {

namespace {

constexpr std::size_t IDENTIFIER_PAYLOAD_LENGTH = 17;  // length byte + value
constexpr uint8_t IDENTIFIER_VALUE_LENGTH = 16;
constexpr std::size_t STATE_LENGTH = 24;
constexpr std::size_t CURRENTS_LENGTH = 12;
constexpr std::size_t ORIENTATION_LENGTH = 16;
constexpr std::size_t TEMPERATURE_LENGTH = 4;
constexpr std::size_t POWER_STATUS_LENGTH = 1;

constexpr float DEFAULT_INNER_ARM_1 = 0.14f;
constexpr float DEFAULT_OUTER_ARM_1 = 0.14f;
constexpr float DEFAULT_INNER_ARM_2 = 0.165f;
constexpr float DEFAULT_OUTER_ARM_2 = 0.165f;
constexpr float DEFAULT_EXTENSION = 0.0765f;

constexpr Vector3 ZERO{0.0f, 0.0f, 0.0f};

using Lock = std::lock_guard<std::recursive_mutex>;

// payload: the length byte and the value.
bool decode_identifier(const uint8_t* payload, UUID& value) {
    if (payload[0] != IDENTIFIER_VALUE_LENGTH) return false;
    for (std::size_t i = 0; i < value.data.size(); ++i) value.data[i] = payload[1 + i];
    return true;
}

void decode_state(const uint8_t* payload, Vector3& first, Vector3& second) {
    for (std::size_t i = 0; i < 3; ++i) {
        first[i] = read_float_le(payload + 4 * i);
        second[i] = read_float_le(payload + 12 + 4 * i);
    }
}

IO::SerialStream* require_stream(IO::SerialStream* stream) {
    if (stream == nullptr) throw std::invalid_argument("Pendra3 needs a SerialStream");
    return stream;
}

}  // namespace

void decode_device_info(const uint8_t* payload, DeviceInfo& info) {
    info.device_id = static_cast<uint16_t>(payload[0] | payload[1] << 8);
    info.device_model_number = payload[2];
    info.hardware_version = payload[3];
    info.firmware_version = payload[4];
    for (std::size_t i = 0; i < info.device_id_ext.data.size(); ++i) info.device_id_ext.data[i] = payload[5 + i];
}

Pendra3::Pendra3(IO::SerialStream* stream) : Device(require_stream(stream)) {
    KinematicModel& model = KinematicModel::instance();
    model.head_gear_ratio_coeff = 1.0f;
    model.inner_arm_gear_ratio_coeff = 1.0f;
    model.outer_arm_gear_ratio_coeff = 1.0f;
    model.setup_model(DEFAULT_INNER_ARM_1, DEFAULT_OUTER_ARM_1, DEFAULT_INNER_ARM_2, DEFAULT_OUTER_ARM_2,
                      DEFAULT_EXTENSION);
}

bool Pendra3::await_reply(uint8_t code, std::size_t n) {
    Lock lock(stream->exchange_mutex());
    const uint8_t got = await_header_code();
    if (got == code) {
        if (await_payload(n) == n) return true;
        // The rest of a truncated reply must not become the next reply.
        stream->discard_input();
        suspect_late_reply(timeout_nanoseconds());
        return false;
    }
    // 0 means nothing came within the time-out: waiting once more would only
    // double the cost of a silent device. A foreign reply is waited out (the
    // arm's callers know this wait and its line) and then dropped.
    if (got != 0) {
        await_payload(BUFFER_SIZE);
        stream->discard_input();
    } else {
        suspect_late_reply(timeout_nanoseconds());
    }
    return false;
}

long long Pendra3::timeout_nanoseconds() const {
    return timeout > 0 ? static_cast<long long>(static_cast<double>(timeout) * 1e9) : 0;
}

void Pendra3::begin_arm_exchange() {
    begin_exchange();
    // A reply that came too late for its exchange must not be taken for the
    // next one. A line that never falls quiet is given up on after twice
    // the time-out: the request then goes out, and what comes is checked
    // as always.
    const long long limit = timeout_nanoseconds();
    if (suspect()) await_quiet_line(limit > 0 ? monotonic_nanoseconds() + 2 * limit : 0);
    // The arm speaks only when asked, so anything waiting before a request
    // is left from an earlier exchange: a late or surplus reply.
    stream->discard_input();
}

Outcome Pendra3::receive_reply(uint8_t code, std::size_t n, long long deadline_ns) {
    uint8_t got = 0;
    Outcome outcome = receive_code(got, deadline_ns);
    if (outcome.ok() && got != code) outcome = {OutcomeKind::wrong_code, got};
    if (outcome.ok()) outcome = receive_payload(n, deadline_ns);
    if (!outcome.ok()) stream->discard_input();
    return outcome;
}

Outcome Pendra3::begin_timed_exchange(double timeout, long long& deadline_ns) {
    Outcome outcome = check_open();
    if (!outcome.ok()) return outcome;
    // The quiet wait comes on top of the exchange's own time, and gives up
    // (the port still suspect) when the line stays busy as long again.
    const long long window_ns = timeout > 0 ? static_cast<long long>(timeout * 1e9) : 0;
    if (suspect()) outcome = await_quiet_line(window_ns > 0 ? monotonic_nanoseconds() + 2 * window_ns : 0);
    if (!outcome.ok()) return outcome;
    deadline_ns = deadline_after(timeout);
    stream->discard_input();
    return outcome;
}

Outcome Pendra3::end_timed_exchange(const Outcome& outcome, double timeout) {
    switch (outcome.kind) {
        case OutcomeKind::timed_out:
        case OutcomeKind::short_payload:
        case OutcomeKind::wrong_code:
        case OutcomeKind::interrupted:
            suspect_late_reply(timeout > 0 ? static_cast<long long>(timeout * 1e9) : 0);
            break;
        default:
            break;
    }
    return outcome;
}

void Pendra3::send_code(uint8_t code) {
    Lock lock(stream->exchange_mutex());
    begin_arm_exchange();
    tx_buffer[0] = code;
    send(1);
}

void Pendra3::decode_floats(float* out, std::size_t count, std::size_t offset) const {
    for (std::size_t i = 0; i < count; ++i) out[i] = read_float_le(rx_buffer + offset + 4 * i);
}

DeviceInfo Pendra3::device_wakeup() {
    Lock lock(stream->exchange_mutex());
    send_code(Pendra3Code::WAKEUP);
    return receive_device_info();
}

DeviceInfo Pendra3::receive_device_info() {
    Lock lock(stream->exchange_mutex());
    DeviceInfo info;
    if (await_reply(Pendra3Code::DEVICE_INFO, DEVICE_INFO_LENGTH)) decode_device_info(rx_buffer, info);
    return info;
}

UUID Pendra3::request_identifier(uint8_t selector) {
    Lock lock(stream->exchange_mutex());
    begin_arm_exchange();
    UUID value;
    tx_buffer[0] = Pendra3Code::IDENTIFIER;
    tx_buffer[1] = selector;
    send(2);
    // The echoed selector is read as a second header code, so a reply for
    // the other selector is refused before its payload is taken in.
    const uint8_t first = await_header_code();
    if (first != Pendra3Code::IDENTIFIER) {
        if (first != 0) await_payload(BUFFER_SIZE);
        stream->discard_input();
        if (first == 0) suspect_late_reply(timeout_nanoseconds());
        return value;
    }
    const uint8_t second = await_header_code();
    if (second != selector) {
        if (second != 0) await_payload(BUFFER_SIZE);
        stream->discard_input();
        if (second == 0) suspect_late_reply(timeout_nanoseconds());
        return value;
    }
    if (await_payload(IDENTIFIER_PAYLOAD_LENGTH) != IDENTIFIER_PAYLOAD_LENGTH) {
        stream->discard_input();
        suspect_late_reply(timeout_nanoseconds());
        return value;
    }
    decode_identifier(rx_buffer, value);
    return value;
}

UUID Pendra3::get_device_id() { return request_identifier(Pendra3Code::SELECT_DEVICE_ID); }

UUID Pendra3::get_firmware_version() { return request_identifier(Pendra3Code::SELECT_FIRMWARE_VERSION); }

std::array<Vector3, 2> Pendra3::command_exchange(uint8_t code, uint8_t reply_code, const Vector3& values) {
    Lock lock(stream->exchange_mutex());
    send_command(code, values);
    std::array<Vector3, 2> state{ZERO, ZERO};
    receive_state(reply_code, state[0], state[1]);
    return state;
}

std::array<Vector3, 2> Pendra3::end_effector_force(const Vector3& force) {
    return command_exchange(Pendra3Code::END_EFFECTOR_FORCE, Pendra3Code::END_EFFECTOR_STATE, force);
}

std::array<Vector3, 2> Pendra3::end_effector_position(const Vector3& position) {
    return command_exchange(Pendra3Code::END_EFFECTOR_POSITION, Pendra3Code::END_EFFECTOR_STATE, position);
}

std::array<Vector3, 2> Pendra3::joint_torques(const Vector3& torques) {
    return command_exchange(Pendra3Code::JOINT_TORQUES, Pendra3Code::JOINT_STATE, torques);
}

std::array<Vector3, 2> Pendra3::joint_angles(const Vector3& angles) {
    return command_exchange(Pendra3Code::JOINT_ANGLES, Pendra3Code::JOINT_STATE, angles);
}

Vector3 Pendra3::read_joint_readings() {
    Lock lock(stream->exchange_mutex());
    send_command(Pendra3Code::JOINT_TORQUES, ZERO);
    Vector3 readings = ZERO;
    if (await_reply(Pendra3Code::JOINT_STATE, STATE_LENGTH)) decode_floats(readings.data(), 3, 0);
    return readings;
}

std::array<Vector3, 2> Pendra3::get_end_effector_position(bool onboard) {
    if (onboard) return end_effector_force(ZERO);
    const Vector3 r = read_joint_readings();
    return {KinematicModel::instance().forward_kinematics(r[0], r[1], r[2]), ZERO};
}

Vector3 Pendra3::get_motor_currents() {
    Lock lock(stream->exchange_mutex());
    request_current();
    Vector3 currents = ZERO;
    receive_current(currents);
    return currents;
}

std::array<float, 4> Pendra3::get_device_orientation() {
    Lock lock(stream->exchange_mutex());
    send_code(Pendra3Code::ORIENTATION);
    std::array<float, 4> quaternion{};
    if (await_reply(Pendra3Code::ORIENTATION, ORIENTATION_LENGTH)) decode_floats(quaternion.data(), 4, 0);
    return quaternion;
}

bool Pendra3::get_power_status() {
    Lock lock(stream->exchange_mutex());
    send_code(Pendra3Code::POWER_STATUS);
    return await_reply(Pendra3Code::POWER_STATUS, POWER_STATUS_LENGTH) && rx_buffer[0] != 0;
}

float Pendra3::get_temperature() {
    Lock lock(stream->exchange_mutex());
    send_code(Pendra3Code::TEMPERATURE);
    if (!await_reply(Pendra3Code::TEMPERATURE, TEMPERATURE_LENGTH)) return 0.0f;
    return read_float_le(rx_buffer);
}

void Pendra3::deactivate_orientation_sensor() {
    // The same fixed value that setup_model stores.
    KinematicModel::instance().base_orientation = DEFAULT_BASE_ORIENTATION;
}

void Pendra3::adjust_gear_ratios(float head, float inner, float outer) {
    KinematicModel& model = KinematicModel::instance();
    model.head_gear_ratio_coeff = head;
    model.inner_arm_gear_ratio_coeff = inner;
    model.outer_arm_gear_ratio_coeff = outer;
}

void Pendra3::adjust_lengths(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                             float extension) {
    KinematicModel::instance().setup_model(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
}

void Pendra3::adjust_angles(const Vector3& angles_deg) {
    const Vector3 a = read_joint_readings();
    KinematicModel& model = KinematicModel::instance();
    // Offsets that make forward_kinematics of the present readings see the
    // declared angles; later readings move the angles from there.
    model.angle_offsets[0] = (model.head_gear_ratio_coeff * a[0] - angles_deg[0]) * KINEMATIC_PI / 180.0f;
    model.angle_offsets[1] = (angles_deg[1] - model.inner_arm_gear_ratio_coeff * a[1]) * KINEMATIC_PI / 180.0f;
    model.angle_offsets[2] = (angles_deg[2] - model.outer_arm_gear_ratio_coeff * a[2]) * KINEMATIC_PI / 180.0f;
}

uint8_t Pendra3::reply_code_of(uint8_t command_code) {
    switch (command_code) {
        case Pendra3Code::END_EFFECTOR_FORCE:
        case Pendra3Code::END_EFFECTOR_POSITION:
            return Pendra3Code::END_EFFECTOR_STATE;
        case Pendra3Code::JOINT_TORQUES:
        case Pendra3Code::JOINT_ANGLES:
            return Pendra3Code::JOINT_STATE;
        default:
            return 0;
    }
}

Outcome Pendra3::exchange(uint8_t code, const Vector3& command, Vector3& first, Vector3& second, double timeout) {
    const uint8_t reply_code = reply_code_of(code);
    if (reply_code == 0) return {OutcomeKind::wrong_code, code};
    Lock lock(stream->exchange_mutex());
    long long deadline_ns = 0;
    Outcome outcome = begin_timed_exchange(timeout, deadline_ns);
    if (!outcome.ok()) return outcome;
    outcome = send_until(encode_floats(tx_buffer, code, command.data(), 3), deadline_ns);
    if (outcome.ok()) outcome = receive_reply(reply_code, STATE_LENGTH, deadline_ns);
    if (outcome.ok()) decode_state(rx_buffer, first, second);
    return end_timed_exchange(outcome, timeout);
}

Outcome Pendra3::wakeup(DeviceInfo& info, double timeout) {
    Lock lock(stream->exchange_mutex());
    long long deadline_ns = 0;
    Outcome outcome = begin_timed_exchange(timeout, deadline_ns);
    if (!outcome.ok()) return outcome;
    tx_buffer[0] = Pendra3Code::WAKEUP;
    outcome = send_until(1, deadline_ns);
    if (outcome.ok()) outcome = receive_reply(Pendra3Code::DEVICE_INFO, DEVICE_INFO_LENGTH, deadline_ns);
    if (outcome.ok()) {
        info = DeviceInfo{};
        decode_device_info(rx_buffer, info);
    }
    return end_timed_exchange(outcome, timeout);
}

Outcome Pendra3::identifier(uint8_t selector, UUID& value, double timeout) {
    Lock lock(stream->exchange_mutex());
    long long deadline_ns = 0;
    Outcome outcome = begin_timed_exchange(timeout, deadline_ns);
    if (!outcome.ok()) return outcome;
    tx_buffer[0] = Pendra3Code::IDENTIFIER;
    tx_buffer[1] = selector;
    outcome = send_until(2, deadline_ns);
    uint8_t code = 0;
    if (outcome.ok()) outcome = receive_code(code, deadline_ns);
    if (outcome.ok() && code != Pendra3Code::IDENTIFIER) outcome = {OutcomeKind::wrong_code, code};
    // The echoed selector: a reply for the other selector is a foreign one.
    if (outcome.ok()) outcome = receive_code(code, deadline_ns);
    if (outcome.ok() && code != selector) outcome = {OutcomeKind::wrong_code, code};
    if (outcome.ok()) outcome = receive_payload(IDENTIFIER_PAYLOAD_LENGTH, deadline_ns);
    UUID decoded;
    if (outcome.ok() && !decode_identifier(rx_buffer, decoded)) {
        // A value of another length than 16 bytes cannot be taken whole.
        outcome = {OutcomeKind::short_payload, rx_buffer[0]};
    }
    if (!outcome.ok()) {
        stream->discard_input();
        return end_timed_exchange(outcome, timeout);
    }
    value = decoded;
    return outcome;
}

void Pendra3::send_device_wakeup() { send_code(Pendra3Code::WAKEUP); }

void Pendra3::request_current() { send_code(Pendra3Code::MOTOR_CURRENTS); }

void Pendra3::send_command(uint8_t code, const Vector3& values) {
    Lock lock(stream->exchange_mutex());
    begin_arm_exchange();
    send_floats(code, values.data(), 3);
}

bool Pendra3::receive_state(uint8_t expected_code, Vector3& first, Vector3& second) {
    Lock lock(stream->exchange_mutex());
    if (!await_reply(expected_code, STATE_LENGTH)) return false;
    decode_state(rx_buffer, first, second);
    return true;
}

bool Pendra3::receive_current(Vector3& current) {
    Lock lock(stream->exchange_mutex());
    if (!await_reply(Pendra3Code::MOTOR_CURRENTS, CURRENTS_LENGTH)) return false;
    decode_floats(current.data(), 3, 0);
    return true;
}

}  // namespace Kivra::HardwareAPI::Devices
