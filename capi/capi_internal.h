// What the C interface's sources share: the arm's state behind its handle and
// the helpers that turn outcomes and exceptions into status codes.
#pragma once

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/ServoLoop.h"
#include "KivraHardwareAPI/ShapeScene.h"
#include "kivra/kivra.h"
#include "kivra/kivra_handle.h"

namespace kivra_capi {

using Kivra::HardwareAPI::Outcome;
using Kivra::HardwareAPI::OutcomeKind;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::IO::SerialStream;

// What one handle of an arm shares with the servo loops started on it: a
// loop keeps the port alive even when the arm's handle is destroyed first.
struct ArmCore {
    explicit ArmCore(const char* port, double timeout) : stream(port, false), device(&stream), timeout(timeout) {}

    SerialStream stream;
    Pendra3 device;
    std::atomic<double> timeout;
    std::atomic<bool> open{false};
    std::atomic<int> running_loops{0};
};

// What one handle shares with a network bridge that reads it: the port stays
// alive until both are done with it.
struct HandleCore {
    HandleCore(const char* port, double timeout) : stream(port, false), device(&stream), timeout(timeout) {}

    SerialStream stream;
    Kivra::HardwareAPI::Devices::Handle device;
    std::atomic<double> timeout;
    std::atomic<bool> open{false};
    // A bridge or a recording takes the status frames: the program's reads give KIVRA_BUSY.
    std::atomic<bool> read_elsewhere{false};
};

inline kivra_status with_detail(int32_t* detail, kivra_status status, int32_t value = 0) {
    if (detail != nullptr) *detail = value;
    return status;
}

inline kivra_status report(const Outcome& outcome, int32_t* detail) {
    return with_detail(detail, static_cast<kivra_status>(outcome.kind), outcome.detail);
}

// The same for an exchange that awaited one reply code: a foreign reply
// tells both codes, so that no caller has to know the protocol to say so.
inline kivra_status report_reply(const Outcome& outcome, uint8_t expected, int32_t* detail) {
    if (outcome.kind != OutcomeKind::wrong_code) return report(outcome, detail);
    return with_detail(detail, KIVRA_WRONG_CODE, (outcome.detail & 0xff) | int32_t{expected} << 8);
}

// The wakeup reply as the C interface hands it on.
inline void to_c_info(const Kivra::HardwareAPI::Devices::DeviceInfo& reply, kivra_device_info& info) {
    info.device_id = reply.device_id;
    info.model_number = reply.device_model_number;
    info.hardware_version = reply.hardware_version;
    info.firmware_version = reply.firmware_version;
    std::memcpy(info.unique_id, reply.device_id_ext.data.data(), sizeof(info.unique_id));
}

inline bool valid_timeout(double timeout) { return std::isfinite(timeout) && timeout > 0.0; }

inline bool finite_vector(const float* values) {
    return std::isfinite(values[0]) && std::isfinite(values[1]) && std::isfinite(values[2]);
}

// Takes one status frame of the handle under its port's lock, as the
// program's reads and a bridge's do alike; KIVRA_CLOSED once it was closed.
inline kivra_status read_status_frame(HandleCore& core, double timeout,
                                      Kivra::HardwareAPI::Devices::ManiloStatus& status, int32_t* detail) {
    std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
    if (!core.open.load()) return with_detail(detail, KIVRA_CLOSED);
    return report(core.device.read_status_frame(status, timeout), detail);
}

// Runs body and turns whatever escapes it into a status.
template <typename Body>
kivra_status guarded(int32_t* detail, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return with_detail(detail, KIVRA_OUT_OF_MEMORY);
    } catch (const std::invalid_argument&) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    } catch (...) {
        return with_detail(detail, KIVRA_INTERNAL_ERROR);
    }
}

}  // namespace kivra_capi

struct kivra_arm {
    std::shared_ptr<kivra_capi::ArmCore> core;
};

struct kivra_handle {
    std::shared_ptr<kivra_capi::HandleCore> core;
};

// A loop and what keeps it alive. Libraries built beside libkivra from the
// same sources (the network bridge) share the loop and the arm, as they do a
// handle's core, through these pointers, so that either side may be
// destroyed first.
struct kivra_recording;

struct kivra_servo {
    std::shared_ptr<kivra_capi::ArmCore> core;
    std::shared_ptr<Kivra::HardwareAPI::Servo::ServoLoop> loop;
    double rate = 0.0;  // [Hz]
    std::shared_ptr<Kivra::HardwareAPI::Render::SceneCounters> scene_counters =
        std::make_shared<Kivra::HardwareAPI::Render::SceneCounters>();
    std::mutex stopping;
    bool counted = false;  // holds one of the arm's running_loops
    // Recordings of this loop, ended before the loop is freed.
    std::mutex recordings_mutex;
    std::set<kivra_recording*> recordings;
};
