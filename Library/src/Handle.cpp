#include "KivraHardwareAPI/Handle.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "KivraHardwareAPI/HandleFrame.h"

namespace Kivra::HardwareAPI::Devices {

namespace {

// A status frame is looked for only once this many bytes are waiting.
constexpr std::size_t STATUS_FRAME_WAITING = 19;
// How long GetManiloStatus waits for them [s], on the whole-second clock.
constexpr float STATUS_FRAME_WAIT_LIMIT = 1.0f;
// Header codes read after the first before the search gives up.
constexpr int MAX_SKIPPED_CODES = 100;

// The handle's frame is 17 decoded bytes and its check byte; escaped, each
// may take two bytes, and the closing 0xC0 one more. A run of bytes without
// an end beyond that is no frame of the handle's: it is dropped rather than
// collected without bound.
constexpr std::size_t LONGEST_RAW_FRAME = 2 * (STATUS_FRAME_MIN_SIZE + 1) + 1;

using Lock = std::lock_guard<std::recursive_mutex>;

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

Outcome Handle::send_code(uint8_t code, ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = start_exchange(rule);
    if (!outcome.ok()) return outcome;
    tx_buffer[0] = code;
    return send_request(1, rule);
}

Outcome Handle::handle_state_exchange(uint16_t device_id, uint8_t data_length, const uint8_t* user_data,
                                      ExchangeRule rule) {
    Lock lock(stream->exchange_mutex());
    const Outcome outcome = start_exchange(rule);
    if (!outcome.ok()) return outcome;
    return send_request(encode_handle_state(device_id, data_length, user_data), rule);
}

void Handle::SendDeviceWakeup() { send_code(WAKEUP_CODE, devices_own_rule()); }

void Handle::RequestStatus() { send_code(STATUS_CODE, devices_own_rule()); }

std::size_t Handle::encode_handle_state(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    tx_buffer[0] = HANDLE_STATE_CODE;
    tx_buffer[1] = static_cast<uint8_t>(device_id);
    tx_buffer[2] = static_cast<uint8_t>(device_id >> 8);
    tx_buffer[3] = data_length;
    if (user_data != nullptr) {
        std::memcpy(tx_buffer + 4, user_data, data_length);
    } else {
        std::memset(tx_buffer + 4, 0, data_length);
    }
    return 4u + data_length;
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    handle_state_exchange(device_id, data_length, user_data, devices_own_rule());
}

Outcome Handle::take_message(HandleMessage& message, uint32_t& taken, const ExchangeRule& rule) {
    Lock lock(stream->exchange_mutex());
    uint8_t code = 0;
    Outcome outcome = take_code(code, rule);
    if (!outcome.ok()) return outcome;
    // The devices' own rule decodes a message from whatever the buffer holds
    // when its payload fell short; under a precise rule a failure ends it.
    const bool whole_only = !rule.whole_second;
    taken = 0;
    switch (code) {
        case STATUS_CODE: {
            outcome = take_payload(STATUS_PAYLOAD_SIZE, rule);
            if (!outcome.ok() && whole_only) break;
            if (outcome.ok()) taken = STATUS_PAYLOAD_SIZE;
            HandleStatusMessage status = decode_status_payload(rx_buffer);
            const Outcome rest = take_payload(status.user_data_length, rule);
            if (!rest.ok() && whole_only) {
                outcome = {rest.kind, rest.detail + static_cast<int32_t>(STATUS_PAYLOAD_SIZE)};
                break;
            }
            if (rest.ok()) taken += status.user_data_length;
            std::memcpy(status.user_data, rx_buffer, status.user_data_length);
            message.kind = HandleMessage::Kind::status;
            message.status = status;
            return outcome.ok() ? rest : outcome;
        }
        case ERROR_CODE:
            outcome = take_payload(ERROR_PAYLOAD_SIZE, rule);
            if (!outcome.ok() && whole_only) break;
            if (outcome.ok()) taken = ERROR_PAYLOAD_SIZE;
            message.kind = HandleMessage::Kind::error;
            message.error = decode_error_payload(rx_buffer);
            return outcome;
        case INFO_CODE:
            outcome = take_payload(INFO_PAYLOAD_SIZE, rule);
            if (!outcome.ok() && whole_only) break;
            if (outcome.ok()) taken = INFO_PAYLOAD_SIZE;
            message.kind = HandleMessage::Kind::info;
            message.info = decode_info_payload(rx_buffer);
            return outcome;
        default: outcome = {OutcomeKind::wrong_code, code}; break;
    }
    // Under a precise rule the next receive starts at a later message; the
    // devices' own rule reads nothing more.
    if (whole_only) stream->discard_input();
    return outcome;
}

int32_t Handle::Receive() {
    // Held while the event operations run too: an event that talks to the
    // device again must not let another thread's exchange in between.
    Lock lock(stream->exchange_mutex());
    ExchangeRule rule = devices_own_rule();
    start_exchange(rule);
    // The events get pointers into this record rather than into rx_buffer,
    // so an event that talks to the device again cannot change what a later
    // event is handed.
    HandleMessage message;
    uint32_t taken = 0;
    take_message(message, taken, rule);
    switch (message.kind) {
        case HandleMessage::Kind::status: {
            const HandleStatusMessage& status = message.status;
            OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                                         status.hall_effect_sensor_level, status.user_data_length, status.user_data);
            OnReceiveHandleStatusData(status);
            break;
        }
        case HandleMessage::Kind::error:
            OnReceiveHandleErrorResponse(message.error.device_id, message.error.error_code);
            OnReceiveHandleErrorData(message.error);
            break;
        case HandleMessage::Kind::info: {
            const HandleInfo& info = message.info;
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoData(info);
            break;
        }
        case HandleMessage::Kind::none: return -1;
    }
    return static_cast<int32_t>(taken);
}

ManiloStatus Handle::GetManiloStatus() {
    Lock lock(stream->exchange_mutex());
    begin_exchange();
    return search_status_frame(WaitLimit::whole_second(STATUS_FRAME_WAIT_LIMIT), true);
}

ManiloStatus Handle::search_status_frame(const WaitLimit& limit, bool logged) {
    // A closed port reports nothing waiting, so it ends like a silent one.
    auto waiting = [this]() -> std::size_t {
        const int32_t count = stream->available();
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    };

    if (wait_until_available(STATUS_FRAME_WAITING, limit) != OutcomeKind::done) return failed(MANILO_NO_DATA);

    uint8_t raw[LONGEST_RAW_FRAME];
    ManiloStatus status;
    for (;;) {
        if (waiting() < STATUS_FRAME_WAITING) return failed(MANILO_NO_FRAME);

        // Every header-code wait ends with the call's own limit, not a
        // device time-out of its own.
        uint8_t code = await_header_code(limit, logged);
        if (code == 0) return failed(MANILO_READ_FAILED);
        for (int skipped = 0; code != STATUS_CODE;) {
            if (skipped == MAX_SKIPPED_CODES) return failed(MANILO_NO_FRAME);
            code = await_header_code(limit, logged);
            ++skipped;
            if (code == 0) return failed(MANILO_READ_FAILED);
        }

        std::size_t count = 0;
        bool overlong = false;
        while (waiting() > 0) {
            if (count == LONGEST_RAW_FRAME) {
                overlong = true;
                break;
            }
            // A read that fails with bytes still reported would otherwise
            // keep this loop turning on the same stale byte.
            if (stream->read_waiting(raw + count, 1) != 1) break;
            if (raw[count++] == FRAME_END) break;
        }
        if (!overlong && decode_status_frame(raw, count, status)) return status;
        // Bytes that keep coming without a frame in them must not hold the
        // call past its limit.
        if (limit.expired()) return failed(MANILO_NO_FRAME);
    }
}

Outcome Handle::wakeup(double timeout) { return send_code(WAKEUP_CODE, ExchangeRule::precise(timeout)); }

Outcome Handle::request_status(double timeout) { return send_code(STATUS_CODE, ExchangeRule::precise(timeout)); }

Outcome Handle::send_handle_state(uint16_t device_id, uint8_t data_length, const uint8_t* user_data, double timeout) {
    return handle_state_exchange(device_id, data_length, user_data, ExchangeRule::precise(timeout));
}

Outcome Handle::receive(HandleMessage& message, double timeout) {
    Lock lock(stream->exchange_mutex());
    ExchangeRule rule = ExchangeRule::precise(timeout);
    const Outcome outcome = start_exchange(rule);
    if (!outcome.ok()) return outcome;
    uint32_t taken = 0;
    return take_message(message, taken, rule);
}

Outcome Handle::read_status_frame(ManiloStatus& status, double timeout) {
    Outcome outcome = check_open();
    if (!outcome.ok()) return outcome;
    Lock lock(stream->exchange_mutex());
    status = search_status_frame(WaitLimit::precise(timeout), false);
    if (status.battery_level != 0.0f) return Outcome::done();
    if (stream->hung_up()) return {OutcomeKind::hung_up, EIO};
    return {OutcomeKind::timed_out, status.error_flag};
}

}  // namespace Kivra::HardwareAPI::Devices
