#include "KivraHardwareAPI/HandleFrame.h"

namespace Kivra::HardwareAPI::Devices {

namespace {

uint16_t read_u16_le(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | static_cast<unsigned>(bytes[1]) << 8);
}

float quaternion_component(const uint8_t* bytes) {
    const auto raw = static_cast<int16_t>(read_u16_le(bytes));
    return static_cast<float>(raw) * (1.0f / 32768.0f);
}

}  // namespace

HandleInfo decode_info_payload(const uint8_t* payload) {
    HandleInfo info{};
    info.device_id = read_u16_le(payload);
    info.tool_data_remaining = payload[2];
    info.device_model_number = payload[3];
    info.hardware_version = payload[4];
    info.firmware_version = payload[5];
    return info;
}

HandleErrorResponse decode_error_payload(const uint8_t* payload) {
    HandleErrorResponse error{};
    error.device_id = read_u16_le(payload);
    error.error_code = payload[2];
    return error;
}

HandleStatusMessage decode_status_payload(const uint8_t* payload) {
    HandleStatusMessage status{};
    status.device_id = read_u16_le(payload);
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3];
    for (int i = 0; i < 4; ++i) status.quaternion[i] = read_float_le(payload + 4 + 4 * i);
    status.user_data_length = payload[20];
    return status;
}

std::vector<uint8_t> unescape_status_frame(const uint8_t* raw, std::size_t count) {
    std::vector<uint8_t> decoded;
    decoded.reserve(count);
    std::size_t i = 0;
    while (i < count) {
        if (i == count - 1) {
            decoded.push_back(raw[i]);
            break;
        }
        const uint8_t byte = raw[i];
        if (byte == FRAME_ESCAPE) {
            const uint8_t next = raw[i + 1];
            if (next == FRAME_ESCAPED_END) {
                decoded.push_back(FRAME_END);
                i += 2;
            } else if (next == FRAME_ESCAPED_ESCAPE) {
                decoded.push_back(FRAME_ESCAPE);
                i += 2;
            } else {
                // A stray escape is dropped; the byte after it stands alone.
                ++i;
            }
        } else if (byte == FRAME_END) {
            ++i;
        } else {
            decoded.push_back(byte);
            ++i;
        }
    }
    return decoded;
}

bool status_check_byte_matches(const std::vector<uint8_t>& decoded) {
    if (decoded.empty()) return false;
    unsigned sum = Handle::STATUS_CODE;
    for (std::size_t i = 0; i + 1 < decoded.size(); ++i) sum += decoded[i];
    return static_cast<uint8_t>(sum) == decoded.back();
}

bool decode_status_frame(const uint8_t* raw, std::size_t count, ManiloStatus& status) {
    if (count == 0 || raw[count - 1] == FRAME_ESCAPE) return false;
    const std::vector<uint8_t> frame = unescape_status_frame(raw, count);
    if (!status_check_byte_matches(frame)) return false;
    // A frame that passes its check yet stops before the battery byte cannot
    // be read without going past its end; it is refused like a corrupt one.
    if (frame.size() < STATUS_FRAME_MIN_SIZE) return false;

    ManiloStatus decoded;
    decoded.error_flag = frame[2];
    decoded.hall_effect_sensor_level = frame[3] & MAX_HALL_EFFECT_SENSOR_LEVEL;
    decoded.buttons = frame[3] >> (8 - HANDLE_BUTTONS);
    decoded.device_id = frame[4];
    for (int i = 0; i < 4; ++i) decoded.quaternion[i] = quaternion_component(frame.data() + 8 + 2 * i);
    // The handle's orientation frame and the host's differ in the sign of
    // the two middle components.
    decoded.quaternion[1] = -decoded.quaternion[1];
    decoded.quaternion[2] = -decoded.quaternion[2];
    decoded.battery_level = static_cast<float>(3.0 + 0.005 * frame[16]);
    status = decoded;
    return true;
}

}  // namespace Kivra::HardwareAPI::Devices
