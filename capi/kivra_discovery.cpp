// Finding devices: every candidate port probed at once, each on a thread of
// its own, so that a scan costs one probe time-out however many ports stay
// silent.

#include <cstring>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/HandleFrame.h"
#include "capi_internal.h"
#include "kivra/kivra_handle.h"

using Kivra::HardwareAPI::Devices::deadline_after;
using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::Devices::Handle;
using Kivra::HardwareAPI::Devices::HandleInfo;
using Kivra::HardwareAPI::Devices::INFO_PAYLOAD_SIZE;
using Kivra::HardwareAPI::Devices::decode_info_payload;
namespace Code = Kivra::HardwareAPI::Devices::Pendra3Code;
using namespace kivra_capi;

namespace {

Kivra::HardwareAPI::Devices::DeviceInfo decode_wakeup_reply(const uint8_t* payload) {
    Kivra::HardwareAPI::Devices::DeviceInfo info;
    Kivra::HardwareAPI::Devices::decode_device_info(payload, info);
    return info;
}

void record(kivra_probe_result& result, int32_t kind, const Outcome& outcome) {
    result.kind = kind;
    result.status = static_cast<kivra_status>(outcome.kind);
    result.detail = outcome.detail;
}

void probe(const char* port, double timeout, kivra_probe_result& result) noexcept {
    result = kivra_probe_result{};
    try {
        SerialStream stream(port, false);
        // Exclusively, so that a probe never talks over a program that holds
        // the port: that port is reported in use instead.
        Outcome outcome = stream.open_port(true);
        if (!outcome.ok()) return record(result, KIVRA_DEVICE_NONE, outcome);
        // A plain Device rather than a Pendra3 or a Handle: constructing a
        // Pendra3 resets the kinematic model that every arm of the process
        // shares, and the wakeup is the same request for both kinds.
        Device device(&stream);
        const long long deadline_ns = deadline_after(timeout);
        // A handle may have been streaming status frames into the port
        // before anyone read them; the first byte must belong to the answer.
        stream.discard_input();
        device.tx_buffer[0] = Code::WAKEUP;
        outcome = device.send_until(1, deadline_ns);
        uint8_t code = 0;
        if (outcome.ok()) outcome = device.receive_code(code, deadline_ns);
        if (!outcome.ok()) return record(result, KIVRA_DEVICE_NONE, outcome);
        result.code = code;
        switch (code) {
            case Code::DEVICE_INFO:
                outcome = device.receive_payload(Kivra::HardwareAPI::Devices::DEVICE_INFO_LENGTH, deadline_ns);
                if (!outcome.ok()) return record(result, KIVRA_DEVICE_UNKNOWN, outcome);
                to_c_info(decode_wakeup_reply(device.rx_buffer), result.arm);
                return record(result, result.arm.model_number == 4 ? KIVRA_DEVICE_ARM : KIVRA_DEVICE_UNKNOWN, outcome);
            case Handle::INFO_CODE:
                outcome = device.receive_payload(INFO_PAYLOAD_SIZE, deadline_ns);
                if (outcome.ok()) {
                    const HandleInfo info = decode_info_payload(device.rx_buffer);
                    result.handle = {info.device_id, info.tool_data_remaining, info.device_model_number,
                                     info.hardware_version, info.firmware_version};
                }
                return record(result, KIVRA_DEVICE_HANDLE, outcome);
            case Handle::STATUS_CODE:
                // A status message or a streamed frame, which share the code:
                // either way a handle, whose payload tells nothing certain.
                return record(result, KIVRA_DEVICE_HANDLE, Outcome::done());
            default:
                return record(result, KIVRA_DEVICE_UNKNOWN, {OutcomeKind::wrong_code, code});
        }
    } catch (const std::bad_alloc&) {
        result.status = KIVRA_OUT_OF_MEMORY;
    } catch (...) {
        result.status = KIVRA_INTERNAL_ERROR;
    }
}

}  // namespace

extern "C" {

kivra_status kivra_probe_ports(const char* const* ports, size_t count, double timeout, kivra_probe_result* results) {
    if ((count > 0 && (ports == nullptr || results == nullptr)) || !valid_timeout(timeout)) {
        return KIVRA_INVALID_ARGUMENT;
    }
    for (size_t i = 0; i < count; ++i) {
        if (ports[i] == nullptr) return KIVRA_INVALID_ARGUMENT;
    }
    return guarded(nullptr, [&]() -> kivra_status {
        std::vector<std::thread> probes;
        probes.reserve(count);
        size_t started = 0;
        // The probes stand in for their caller: what interrupts its waits interrupts theirs.
        const int interrupt_fd = Kivra::HardwareAPI::Devices::thread_interrupt_fd();
        const auto probe_for_caller = [interrupt_fd](const char* port, double limit, kivra_probe_result& result) {
            Kivra::HardwareAPI::Devices::set_thread_interrupt_fd(interrupt_fd);
            probe(port, limit, result);
        };
        try {
            for (; started < count; ++started) {
                probes.emplace_back(probe_for_caller, ports[started], timeout, std::ref(results[started]));
            }
        } catch (const std::system_error&) {
            // Out of threads: the rest are probed here, one after another.
            for (size_t i = started; i < count; ++i) probe(ports[i], timeout, results[i]);
        }
        for (std::thread& running : probes) running.join();
        for (size_t i = 0; i < count; ++i) {
            if (results[i].status == KIVRA_INTERRUPTED) return KIVRA_INTERRUPTED;
        }
        return KIVRA_OK;
    });
}

}  // extern "C"
