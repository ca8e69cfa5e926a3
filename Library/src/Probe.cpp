#include "KivraHardwareAPI/Probe.h"

#include <mutex>

#include "KivraHardwareAPI/HandleFrame.h"
#include "KivraHardwareAPI/SerialStream.h"

namespace Kivra::HardwareAPI::Discovery {

namespace {

using Devices::Handle;
namespace Code = Devices::Pendra3Code;

static_assert(Code::WAKEUP == Handle::WAKEUP_CODE, "one wakeup asks both kinds");

uint8_t wakeup_reply_of(ProbeKind kind) {
    switch (kind) {
        case ProbeKind::arm: return Code::DEVICE_INFO;
        case ProbeKind::handle: return Handle::INFO_CODE;
        default: return 0;
    }
}

}  // namespace

ProbeKind sender_of(uint8_t code) {
    switch (code) {
        case Code::DEVICE_INFO:
        case Code::ORIENTATION:
        case Code::IDENTIFIER:
        case Code::JOINT_STATE:
        case Code::END_EFFECTOR_STATE:
        case Code::TEMPERATURE:
        case Code::MOTOR_CURRENTS:
        case Code::POWER_STATUS: return ProbeKind::arm;
        case Handle::INFO_CODE:
        case Handle::STATUS_CODE:
        case Handle::ERROR_CODE: return ProbeKind::handle;
        default: return ProbeKind::unknown;
    }
}

ProbeResult probe_device(Devices::Device& device, ProbeRule rule) {
    ProbeResult result;
    result.expected = wakeup_reply_of(rule.sought);
    std::lock_guard<std::recursive_mutex> lock(device.stream->exchange_mutex());
    Outcome& outcome = result.outcome;
    outcome = device.start_exchange(rule.exchange);
    if (!outcome.ok()) return result;
    // A handle may have been streaming status frames into the port before
    // anyone read them; the first byte must belong to the answer.
    if (rule.drop_waiting) device.stream->discard_input();
    device.tx_buffer[0] = Code::WAKEUP;
    outcome = device.send_request(1, rule.exchange);
    uint8_t code = 0;
    if (outcome.ok()) outcome = device.take_code(code, rule.exchange);
    if (!outcome.ok()) return result;
    result.code = code;
    const bool arm_sought = rule.sought != ProbeKind::handle;
    const bool handle_sought = rule.sought != ProbeKind::arm;
    // The devices' own handle probe reads every message of the handle whole.
    const bool whole_message = rule.exchange.whole_second && rule.sought == ProbeKind::handle;
    if (arm_sought && code == Code::DEVICE_INFO) {
        outcome = device.take_payload(Devices::Pendra3Length::DEVICE_INFO, rule.exchange);
        result.kind = ProbeKind::unknown;
        if (!outcome.ok()) return result;
        Devices::decode_device_info(device.rx_buffer, result.arm);
        result.has_arm_info = true;
        if (result.arm.device_model_number == Devices::PENDRA3_MODEL_NUMBER) result.kind = ProbeKind::arm;
    } else if (handle_sought && code == Handle::INFO_CODE) {
        outcome = device.take_payload(Devices::INFO_PAYLOAD_SIZE, rule.exchange);
        result.kind = ProbeKind::handle;
        if (!outcome.ok()) return result;
        result.handle = Devices::decode_info_payload(device.rx_buffer);
        result.has_handle_info = true;
    } else if (handle_sought && code == Handle::STATUS_CODE) {
        // A status message or a streamed frame, which share the code: either
        // way a handle, whose payload tells nothing certain.
        result.kind = ProbeKind::handle;
        if (whole_message) {
            device.take_payload(Devices::STATUS_PAYLOAD_SIZE, rule.exchange);
            device.take_payload(Devices::decode_status_payload(device.rx_buffer).user_data_length, rule.exchange);
        }
    } else {
        if (whole_message && code == Handle::ERROR_CODE) {
            device.take_payload(Devices::ERROR_PAYLOAD_SIZE, rule.exchange);
        }
        result.kind = ProbeKind::unknown;
        outcome = {OutcomeKind::wrong_code, code};
    }
    return result;
}

ProbeResult probe_port(const char* port_path, double timeout) {
    IO::SerialStream stream(port_path, false);
    ProbeResult result;
    result.outcome = stream.open_port(true);
    if (!result.outcome.ok()) return result;
    // A plain Device rather than a Pendra3 or a Handle: constructing a
    // Pendra3 resets the kinematic model that every arm of the process
    // shares, and the wakeup is the same request for both kinds.
    Devices::Device device(&stream);
    return probe_device(device, ProbeRule{Devices::ExchangeRule::precise(timeout), ProbeKind::none, true});
}

}  // namespace Kivra::HardwareAPI::Discovery
