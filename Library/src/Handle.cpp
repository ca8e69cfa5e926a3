#include "KivraHardwareAPI/Handle.h"

#include <cstring>
#include <vector>

#include "KivraHardwareAPI/HandleFrame.h"

namespace Kivra::HardwareAPI::Devices {

namespace {

// A status frame is looked for only once this many bytes are waiting.
constexpr std::size_t STATUS_FRAME_WAITING = 19;
// How long GetManiloStatus waits for them [s], on the whole-second clock.
constexpr float STATUS_FRAME_WAIT_LIMIT = 1.0f;
// Header codes read after the first before the search gives up.
constexpr int MAX_SKIPPED_CODES = 100;

ManiloStatus failed(uint8_t code) {
    ManiloStatus status;
    status.error_flag = code;
    return status;
}

}  // namespace

Handle::Handle(IO::SerialStream* stream) : Device(stream) {}

Handle::~Handle() = default;

void Handle::OnReceiveHandleInfoData(const HandleInfo&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnReceiveHandleStatusData(const HandleStatusMessage&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) {}
void Handle::OnReceiveHandleErrorData(const HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

void Handle::SendDeviceWakeup() {
    tx_buffer[0] = WAKEUP_CODE;
    send(1);
}

void Handle::RequestStatus() {
    tx_buffer[0] = STATUS_CODE;
    send(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    tx_buffer[0] = HANDLE_STATE_CODE;
    tx_buffer[1] = static_cast<uint8_t>(device_id);
    tx_buffer[2] = static_cast<uint8_t>(device_id >> 8);
    tx_buffer[3] = data_length;
    if (user_data != nullptr) {
        std::memcpy(tx_buffer + 4, user_data, data_length);
    } else {
        std::memset(tx_buffer + 4, 0, data_length);
    }
    send(4u + data_length);
}

int32_t Handle::Receive() {
    switch (await_header_code()) {
        case STATUS_CODE: {
            const uint32_t fixed = await_payload(STATUS_PAYLOAD_SIZE);
            HandleStatusMessage status = decode_status_payload(rx_buffer);
            const uint32_t extra = await_payload(status.user_data_length);
            std::memcpy(status.user_data, rx_buffer, status.user_data_length);
            // The unpacked event gets pointers into the record rather than
            // into rx_buffer, so an event that talks to the device again
            // cannot change what the record event is handed afterwards.
            OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                                         status.hall_effect_sensor_level, status.user_data_length, status.user_data);
            OnReceiveHandleStatusData(status);
            return static_cast<int32_t>(fixed + extra);
        }
        case ERROR_CODE: {
            const uint32_t count = await_payload(ERROR_PAYLOAD_SIZE);
            const HandleErrorResponse error = decode_error_payload(rx_buffer);
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            OnReceiveHandleErrorData(error);
            return static_cast<int32_t>(count);
        }
        case INFO_CODE: {
            const uint32_t count = await_payload(INFO_PAYLOAD_SIZE);
            const HandleInfo info = decode_info_payload(rx_buffer);
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoData(info);
            return static_cast<int32_t>(count);
        }
        default:
            return -1;
    }
}

ManiloStatus Handle::GetManiloStatus() {
    // A closed port reports nothing waiting, so it ends like a silent one.
    auto waiting = [this]() -> std::size_t {
        const int32_t count = stream->available();
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    };

    if (!wait_until_available(STATUS_FRAME_WAITING, STATUS_FRAME_WAIT_LIMIT)) return failed(MANILO_NO_DATA);

    std::vector<uint8_t> raw;
    ManiloStatus status;
    for (;;) {
        if (waiting() < STATUS_FRAME_WAITING) return failed(MANILO_NO_FRAME);

        uint8_t code = await_header_code();
        if (code == 0) return failed(MANILO_READ_FAILED);
        for (int skipped = 0; code != STATUS_CODE;) {
            if (skipped == MAX_SKIPPED_CODES) return failed(MANILO_NO_FRAME);
            code = await_header_code();
            ++skipped;
            if (code == 0) return failed(MANILO_READ_FAILED);
        }

        raw.clear();
        while (waiting() > 0) {
            // A read that fails with bytes still reported would otherwise
            // keep this loop turning on the same stale byte.
            if (await_payload(1) != 1) break;
            raw.push_back(rx_buffer[0]);
            if (rx_buffer[0] == FRAME_END) break;
        }
        if (decode_status_frame(raw.data(), raw.size(), status)) return status;
    }
}

}  // namespace Kivra::HardwareAPI::Devices
