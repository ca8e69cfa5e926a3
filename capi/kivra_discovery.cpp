// Finding devices: every candidate port probed at once, each on a thread of
// its own, so that a scan costs one probe time-out however many ports stay
// silent.

#include <cstring>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/Probe.h"
#include "KivraHardwareAPI/Threads.h"
#include "capi_internal.h"
#include "kivra/kivra_handle.h"

using namespace kivra_capi;
namespace Discovery = Kivra::HardwareAPI::Discovery;

namespace {

static_assert(static_cast<int32_t>(Discovery::ProbeKind::none) == KIVRA_DEVICE_NONE);
static_assert(static_cast<int32_t>(Discovery::ProbeKind::arm) == KIVRA_DEVICE_ARM);
static_assert(static_cast<int32_t>(Discovery::ProbeKind::handle) == KIVRA_DEVICE_HANDLE);
static_assert(static_cast<int32_t>(Discovery::ProbeKind::unknown) == KIVRA_DEVICE_UNKNOWN);

void probe(const char* port, double timeout, kivra_probe_result& result) noexcept {
    result = kivra_probe_result{};
    try {
        const Discovery::ProbeResult answer = Discovery::probe_port(port, timeout);
        result.kind = static_cast<int32_t>(answer.kind);
        result.status = static_cast<kivra_status>(answer.outcome.kind);
        result.detail = answer.outcome.detail;
        result.code = answer.code;
        result.has_info = answer.has_arm_info || answer.has_handle_info ? 1 : 0;
        if (answer.has_arm_info) to_c_info(answer.arm, result.arm);
        if (answer.has_handle_info) {
            const auto& info = answer.handle;
            result.handle = {info.device_id, info.tool_data_remaining, info.device_model_number, info.hardware_version,
                             info.firmware_version};
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
                probes.push_back(Kivra::HardwareAPI::library_thread(probe_for_caller, ports[started], timeout,
                                                                    std::ref(results[started])));
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

int32_t kivra_sender_of_code(int32_t code) {
    if (code < 0 || code > 0xff) return KIVRA_DEVICE_UNKNOWN;
    return static_cast<int32_t>(Discovery::sender_of(static_cast<uint8_t>(code)));
}

int32_t kivra_is_candidate_port_name(const char* name) {
    if (name == nullptr) return 0;
    for (const char* pattern : Kivra::HardwareAPI::Discovery::PORT_PATTERNS) {
        if (std::strstr(name, pattern) != nullptr) return 1;
    }
    return 0;
}

}  // extern "C"
