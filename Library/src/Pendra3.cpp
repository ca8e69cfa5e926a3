#include "KivraHardwareAPI/Pendra3.h"

#include <cerrno>
#include <mutex>
#include <stdexcept>

namespace Kivra::HardwareAPI::Devices {

namespace {

constexpr float DEFAULT_INNER_ARM_1 = 0.14f;
constexpr float DEFAULT_OUTER_ARM_1 = 0.14f;
constexpr float DEFAULT_INNER_ARM_2 = 0.165f;
constexpr float DEFAULT_OUTER_ARM_2 = 0.165f;
constexpr float DEFAULT_EXTENSION = 0.0765f;

constexpr Vector3 ZERO{0.0f, 0.0f, 0.0f};

using Lock = std::lock_guard<std::recursive_mutex>;

// payload: the length byte and the value.
bool decode_identifier(const uint8_t* payload, UUID& value) {
    if (payload[0] != Pendra3Length::IDENTIFIER_VALUE) return false;
    for (std::size_t i = 0; i < value.data.size(); ++i) value.data[i] = payload[1 + i];
    return true;
}

void decode_state(const uint8_t* payload, Vector3& first, Vector3& second) {
    for (std::size_t i = 0; i < 3; ++i) {
        first[i] = read_float_le(payload + 4 * i);
        second[i] = read_float_le(payload + 4 * (3 + i));
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

Outcome Pendra3::send_request_of_arm(std::size_t n, ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    Outcome outcome = start_exchange(rule);
    if (!outcome.ok()) return outcome;
    if (suspect()) {
        // A reply that came too late for its exchange must not be taken for
        // the next one. The quiet wait comes on top of the exchange's own
        // time, and gives up (the port still suspect) when the line stays
        // busy as long again.
        const long long window_ns = rule.timeout_ns();
        outcome = await_quiet_line(window_ns > 0 ? monotonic_nanoseconds() + 2 * window_ns : 0);
        // The devices' own calls send anyway: what comes is checked as always.
        if (!outcome.ok() && !rule.whole_second && !rule.sends_anyway) return outcome;
        rule.start();
    }
    // The arm speaks only when asked, so anything waiting before a request
    // is left from an earlier exchange: a late or surplus reply.
    stream->discard_input();
    return send_request(n, rule);
}

Outcome Pendra3::send_code(uint8_t code, ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    tx_buffer[0] = code;
    return send_request_of_arm(1, rule);
}

Outcome Pendra3::take_reply(uint8_t code, std::size_t n, const ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    uint8_t got = 0;
    Outcome outcome = take_code(got, rule);
    if (outcome.ok() && got != code) outcome = {OutcomeKind::wrong_code, got};
    if (outcome.ok()) outcome = take_payload(n, rule);
    return settle(outcome, rule);
}

Outcome Pendra3::settle(const Outcome& failure, const ExchangeRule& rule) {
    if (failure.ok()) return failure;
    // A header code of 0 is none: the devices' own rule takes it for silence.
    if (rule.whole_second && failure.kind == OutcomeKind::wrong_code && failure.detail != 0) {
        // The arm's callers know this wait and its line; waiting once more
        // after silence would only double the cost of a silent device.
        take_payload(BUFFER_SIZE, rule);
        stream->discard_input();
        return failure;
    }
    // The rest of a truncated reply must not become the next reply.
    stream->discard_input();
    if (rule.whole_second || failure.kind != OutcomeKind::hung_up) suspect_late_reply(rule.timeout_ns());
    return failure;
}

void Pendra3::decode_floats(float* out, std::size_t count, std::size_t offset) const {
    for (std::size_t i = 0; i < count; ++i) out[i] = read_float_le(rx_buffer + offset + 4 * i);
}

Outcome Pendra3::wakeup_exchange(DeviceInfo& info, ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = send_code(Pendra3Code::WAKEUP, rule);
    return outcome.ok() ? take_device_info(info, rule) : outcome;
}

Outcome Pendra3::take_device_info(DeviceInfo& info, const ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = take_reply(Pendra3Code::DEVICE_INFO, Pendra3Length::DEVICE_INFO, rule);
    if (outcome.ok()) {
        info = DeviceInfo{};
        decode_device_info(rx_buffer, info);
    }
    return outcome;
}

Outcome Pendra3::identifier_exchange(uint8_t selector, UUID& value, ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    tx_buffer[0] = Pendra3Code::IDENTIFIER;
    tx_buffer[1] = selector;
    Outcome outcome = send_request_of_arm(2, rule);
    if (!outcome.ok()) return outcome;
    uint8_t code = 0;
    outcome = take_code(code, rule);
    if (outcome.ok() && code != Pendra3Code::IDENTIFIER) outcome = {OutcomeKind::wrong_code, code};
    // The echoed selector is read as a second header code, so a reply for
    // the other selector is refused before its payload is taken in.
    if (outcome.ok()) outcome = take_code(code, rule);
    if (outcome.ok() && code != selector) outcome = {OutcomeKind::wrong_code, code};
    if (outcome.ok()) outcome = take_payload(Pendra3Length::IDENTIFIER, rule);
    if (!outcome.ok()) return settle(outcome, rule);
    UUID decoded;
    if (!decode_identifier(rx_buffer, decoded)) {
        // A value of another length cannot be taken whole. The calls with an
        // outcome take it for a reply whose rest may still come; the devices'
        // own calls give the all-zero identifier and nothing more.
        const Outcome refused{OutcomeKind::short_payload, rx_buffer[0]};
        return rule.whole_second ? refused : settle(refused, rule);
    }
    value = decoded;
    return outcome;
}

Outcome Pendra3::state_exchange(uint8_t code, const Vector3& command, Vector3& first, Vector3& second,
                                ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = send_request_of_arm(encode_floats(tx_buffer, code, command.data(), 3), rule);
    return outcome.ok() ? take_state(reply_code_of(code), first, second, rule) : outcome;
}

Outcome Pendra3::take_state(uint8_t reply_code, Vector3& first, Vector3& second, const ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = take_reply(reply_code, Pendra3Length::STATE, rule);
    if (outcome.ok()) decode_state(rx_buffer, first, second);
    return outcome;
}

Outcome Pendra3::reading_exchange(uint8_t code, std::size_t n, ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = send_code(code, rule);
    return outcome.ok() ? take_reply(code, n, rule) : outcome;
}

DeviceInfo Pendra3::device_wakeup() {
    DeviceInfo info;
    wakeup_exchange(info, devices_own_rule());
    return info;
}

DeviceInfo Pendra3::receive_device_info() {
    DeviceInfo info;
    take_device_info(info, devices_own_rule());
    return info;
}

UUID Pendra3::request_identifier(uint8_t selector) {
    UUID value;
    identifier_exchange(selector, value, devices_own_rule());
    return value;
}

UUID Pendra3::get_device_id() { return request_identifier(Pendra3Code::SELECT_DEVICE_ID); }

UUID Pendra3::get_firmware_version() { return request_identifier(Pendra3Code::SELECT_FIRMWARE_VERSION); }

std::array<Vector3, 2> Pendra3::command_exchange(uint8_t code, const Vector3& values) {
    std::array<Vector3, 2> state{ZERO, ZERO};
    state_exchange(code, values, state[0], state[1], devices_own_rule());
    return state;
}

std::array<Vector3, 2> Pendra3::end_effector_force(const Vector3& force) {
    return command_exchange(Pendra3Code::END_EFFECTOR_FORCE, force);
}

std::array<Vector3, 2> Pendra3::end_effector_position(const Vector3& position) {
    return command_exchange(Pendra3Code::END_EFFECTOR_POSITION, position);
}

std::array<Vector3, 2> Pendra3::joint_torques(const Vector3& torques) {
    return command_exchange(Pendra3Code::JOINT_TORQUES, torques);
}

std::array<Vector3, 2> Pendra3::joint_angles(const Vector3& angles) {
    return command_exchange(Pendra3Code::JOINT_ANGLES, angles);
}

std::array<Vector3, 2> Pendra3::get_end_effector_position(bool onboard) {
    if (onboard) return end_effector_force(ZERO);
    // Joint readings after a zero joint-torque command; zeros without a usable reply.
    const Vector3 r = joint_torques(ZERO)[0];
    return {KinematicModel::instance().forward_kinematics(r[0], r[1], r[2]), ZERO};
}

Vector3 Pendra3::get_motor_currents() {
    Lock lock(stream->exchange_mutex());
    Vector3 currents = ZERO;
    if (reading_exchange(Pendra3Code::MOTOR_CURRENTS, Pendra3Length::CURRENTS, devices_own_rule()).ok()) {
        decode_floats(currents.data(), currents.size(), 0);
    }
    return currents;
}

std::array<float, 4> Pendra3::get_device_orientation() {
    Lock lock(stream->exchange_mutex());
    std::array<float, 4> quaternion{};
    if (reading_exchange(Pendra3Code::ORIENTATION, Pendra3Length::ORIENTATION, devices_own_rule()).ok()) {
        decode_floats(quaternion.data(), quaternion.size(), 0);
    }
    return quaternion;
}

bool Pendra3::get_power_status() {
    Lock lock(stream->exchange_mutex());
    return reading_exchange(Pendra3Code::POWER_STATUS, Pendra3Length::POWER_STATUS, devices_own_rule()).ok() &&
           rx_buffer[0] != 0;
}

float Pendra3::get_temperature() {
    Lock lock(stream->exchange_mutex());
    if (!reading_exchange(Pendra3Code::TEMPERATURE, Pendra3Length::TEMPERATURE, devices_own_rule()).ok()) return 0.0f;
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
    const Vector3 a = joint_torques(ZERO)[0];
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
        case Pendra3Code::END_EFFECTOR_POSITION: return Pendra3Code::END_EFFECTOR_STATE;
        case Pendra3Code::JOINT_TORQUES:
        case Pendra3Code::JOINT_ANGLES: return Pendra3Code::JOINT_STATE;
        default: return 0;
    }
}

Outcome Pendra3::exchange(uint8_t code, const Vector3& command, Vector3& first, Vector3& second, double timeout) {
    if (reply_code_of(code) == 0) return {OutcomeKind::wrong_code, code};
    return state_exchange(code, command, first, second, ExchangeRule::precise(timeout));
}

Outcome Pendra3::last_exchange(uint8_t code, const Vector3& command, double timeout) {
    if (reply_code_of(code) == 0) return {OutcomeKind::wrong_code, code};
    ExchangeRule rule = ExchangeRule::precise(timeout);
    rule.sends_anyway = true;
    Vector3 first{}, second{};
    return state_exchange(code, command, first, second, rule);
}

Outcome Pendra3::wakeup(DeviceInfo& info, double timeout) {
    return wakeup_exchange(info, ExchangeRule::precise(timeout));
}

Outcome Pendra3::identifier(uint8_t selector, UUID& value, double timeout) {
    return identifier_exchange(selector, value, ExchangeRule::precise(timeout));
}

Outcome Pendra3::temperature(float& celsius, double timeout) {
    const Outcome outcome =
        reading_exchange(Pendra3Code::TEMPERATURE, Pendra3Length::TEMPERATURE, ExchangeRule::precise(timeout));
    if (outcome.ok()) celsius = read_float_le(rx_buffer);
    return outcome;
}

Outcome Pendra3::motor_currents(Vector3& currents, double timeout) {
    const Outcome outcome =
        reading_exchange(Pendra3Code::MOTOR_CURRENTS, Pendra3Length::CURRENTS, ExchangeRule::precise(timeout));
    if (outcome.ok()) decode_floats(currents.data(), currents.size(), 0);
    return outcome;
}

Outcome Pendra3::orientation(std::array<float, 4>& quaternion, double timeout) {
    const Outcome outcome =
        reading_exchange(Pendra3Code::ORIENTATION, Pendra3Length::ORIENTATION, ExchangeRule::precise(timeout));
    if (outcome.ok()) decode_floats(quaternion.data(), quaternion.size(), 0);
    return outcome;
}

Outcome Pendra3::power_status(bool& powered, double timeout) {
    const Outcome outcome =
        reading_exchange(Pendra3Code::POWER_STATUS, Pendra3Length::POWER_STATUS, ExchangeRule::precise(timeout));
    if (outcome.ok()) powered = rx_buffer[0] != 0;
    return outcome;
}

void Pendra3::send_device_wakeup() {
    ExchangeRule rule = devices_own_rule();
    send_code(Pendra3Code::WAKEUP, rule);
}

void Pendra3::request_current() {
    ExchangeRule rule = devices_own_rule();
    send_code(Pendra3Code::MOTOR_CURRENTS, rule);
}

void Pendra3::send_command(uint8_t code, const Vector3& values) {
    Lock lock(stream->exchange_mutex());
    ExchangeRule rule = devices_own_rule();
    send_request_of_arm(encode_floats(tx_buffer, code, values.data(), 3), rule);
}

bool Pendra3::receive_state(uint8_t expected_code, Vector3& first, Vector3& second) {
    return take_state(expected_code, first, second, devices_own_rule()).ok();
}

bool Pendra3::receive_current(Vector3& current) {
    Lock lock(stream->exchange_mutex());
    if (!take_reply(Pendra3Code::MOTOR_CURRENTS, Pendra3Length::CURRENTS, devices_own_rule()).ok()) return false;
    decode_floats(current.data(), current.size(), 0);
    return true;
}

}  // namespace Kivra::HardwareAPI::Devices
