#include "HandleDevice.h"

#include <algorithm>
#include <cmath>

#include "KivraHardwareAPI/Handle.h"

namespace kivra_emulator {

namespace {

using Kivra::HardwareAPI::Devices::Handle;

constexpr uint8_t FRAME_END = 0xC0;
constexpr uint8_t FRAME_ESCAPE = 0xDB;
constexpr uint8_t ESCAPED_END = 0xDC;
constexpr uint8_t ESCAPED_ESCAPE = 0xDD;
constexpr std::size_t HANDLE_STATE_HEADER = 4;  // code, device id, length

constexpr double TURN_RATE = 0.35;      // [rad/s]
constexpr double START_ANGLE = 1.0;     // [rad], tilted from the start
constexpr double SENSOR_PERIOD = 6.2;   // [s], one sweep of the level up and down
constexpr double BUTTON_PERIOD = 0.8;   // [s] per button pattern
constexpr double FULL_BATTERY = 4.2;    // [V]
constexpr double EMPTY_BATTERY = 3.0;   // [V], the lowest level the frame can carry
constexpr double BATTERY_STEP = 0.005;  // [V] per raw unit

int16_t quaternion_component(float value) {
    const double scaled = std::round(static_cast<double>(value) * 32768.0);
    return static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, scaled)));
}

void put_escaped(Message& frame, uint8_t byte) {
    if (byte == FRAME_END) {
        frame.push_back(FRAME_ESCAPE);
        frame.push_back(ESCAPED_END);
    } else if (byte == FRAME_ESCAPE) {
        frame.push_back(FRAME_ESCAPE);
        frame.push_back(ESCAPED_ESCAPE);
    } else {
        frame.push_back(byte);
    }
}

}  // namespace

Message encode_status_frame(const HandleReadings& readings, uint8_t device_id, uint16_t sequence) {
    std::array<uint8_t, 18> decoded{};
    decoded[0] = static_cast<uint8_t>(sequence & 0xFF);
    decoded[1] = static_cast<uint8_t>(sequence >> 8);
    decoded[2] = readings.error_flag;
    decoded[3] = static_cast<uint8_t>((readings.sensor_level & 0x1F) | (readings.buttons & 0x07) << 5);
    decoded[4] = device_id;
    // Bytes 5 to 7 are reserved and stay zero. The reader negates
    // components 1 and 2, so they travel negated and arrive as sent.
    const float components[4] = {readings.quaternion[0], -readings.quaternion[1], -readings.quaternion[2],
                                 readings.quaternion[3]};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto bits = static_cast<uint16_t>(quaternion_component(components[i]));
        decoded[8 + 2 * i] = static_cast<uint8_t>(bits & 0xFF);
        decoded[9 + 2 * i] = static_cast<uint8_t>(bits >> 8);
    }
    const double raw_battery = std::round((readings.battery_volts - EMPTY_BATTERY) / BATTERY_STEP);
    decoded[16] = static_cast<uint8_t>(std::max(0.0, std::min(255.0, raw_battery)));
    unsigned sum = Handle::STATUS_CODE;
    for (std::size_t i = 0; i < 17; ++i) sum += decoded[i];
    decoded[17] = static_cast<uint8_t>((FRAME_END - sum) & 0xFF);

    Message frame{Handle::STATUS_CODE};
    for (uint8_t byte : decoded) put_escaped(frame, byte);
    frame.push_back(FRAME_END);
    return frame;
}

HandleDevice::HandleDevice(const Options& options, double now)
    : options(options), start(now), quiet_since(now), next_frame(now) {}

HandleReadings HandleDevice::readings(double now) const {
    const double t = now - start;
    HandleReadings r;
    // A turn about a fixed tilted axis.
    const double axis[3] = {0.26726124, 0.53452248, 0.80178373};  // (1, 2, 3) normalised
    const double half = 0.5 * (START_ANGLE + TURN_RATE * t);
    r.quaternion = {static_cast<float>(std::cos(half)), static_cast<float>(axis[0] * std::sin(half)),
                    static_cast<float>(axis[1] * std::sin(half)), static_cast<float>(axis[2] * std::sin(half))};
    const double phase = std::fmod(t, SENSOR_PERIOD) / SENSOR_PERIOD;  // 0 to 1
    r.sensor_level = static_cast<uint8_t>(std::lround(31.0 * (phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase)));
    // Each button alone, then pairs, then all three, then none again.
    static constexpr uint8_t PATTERNS[8] = {0, 1, 2, 4, 3, 6, 5, 7};
    r.buttons = PATTERNS[static_cast<std::size_t>(t / BUTTON_PERIOD) % 8];
    r.battery_volts = static_cast<float>(std::max(EMPTY_BATTERY, FULL_BATTERY - options.battery_drain * t));
    r.error_flag = 0;
    return r;
}

std::size_t HandleDevice::request_length(const uint8_t* bytes, std::size_t available) const {
    switch (bytes[0]) {
        case Handle::WAKEUP_CODE:
        case Handle::STATUS_CODE: return 1;
        case Handle::HANDLE_STATE_CODE:
            return available < HANDLE_STATE_HEADER ? HANDLE_STATE_HEADER : HANDLE_STATE_HEADER + bytes[3];
        default: return 0;
    }
}

void HandleDevice::handle_request(const uint8_t* request, std::size_t length, double now, ReplyChannel& replies) {
    // Frames pause while the host talks request and reply, so that no frame
    // comes between a request and its reply.
    quiet_since = now;
    switch (request[0]) {
        case Handle::WAKEUP_CODE: {
            Message reply{Handle::INFO_CODE};
            put_u16(reply, options.device_id);
            reply.push_back(options.tool_data_remaining);
            reply.push_back(options.model_number);
            reply.push_back(options.hardware_version);
            reply.push_back(options.firmware_version);
            replies.send(reply, now);
            break;
        }
        case Handle::STATUS_CODE: {
            const HandleReadings r = readings(now);
            Message reply{Handle::STATUS_CODE};
            put_u16(reply, options.device_id);
            reply.push_back(r.error_flag);
            reply.push_back(r.sensor_level);
            for (float component : r.quaternion) put_float(reply, component);
            reply.push_back(static_cast<uint8_t>(user_data.size()));
            reply.insert(reply.end(), user_data.begin(), user_data.end());
            replies.send(reply, now);
            break;
        }
        case Handle::HANDLE_STATE_CODE:
            // No reply; the user data comes back with every status message.
            user_data.assign(request + HANDLE_STATE_HEADER, request + length);
            break;
        default: break;
    }
}

void HandleDevice::host_opened(double now) {
    quiet_since = now;
    next_frame = now;
}

Message HandleDevice::stream_frame(double now, const std::function<int()>& host_unread) {
    if (options.stream_rate <= 0.0 || options.silent) return {};
    if (now - quiet_since < options.stream_hold || now < next_frame) return {};
    const double period = 1.0 / options.stream_rate;
    next_frame += period;
    if (next_frame < now) next_frame = now + period;  // fell behind: no burst to catch up
    // A host that has not taken the last frame yet gets no new one, so that
    // frames never pile up and the next read finds a fresh one.
    if (host_unread() > 0) return {};
    return encode_status_frame(readings(now), static_cast<uint8_t>(options.device_id & 0xFF), sequence++);
}

double HandleDevice::next_wakeup(double now) const {
    if (options.stream_rate <= 0.0 || options.silent) return now + 0.01;
    // A frame needs both the end of the quiet time and its turn.
    return std::max(now, std::max(next_frame, quiet_since + options.stream_hold));
}

}  // namespace kivra_emulator
