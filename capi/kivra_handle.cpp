// The handle through the flat C interface: the core's outcome-returning
// handle operations, with the port's lock and the closed state kept here.

#include <algorithm>
#include <cstring>

#include "KivraHardwareAPI/Handle.h"
#include "capi_internal.h"
#include "kivra/kivra_handle.h"

using Kivra::HardwareAPI::Devices::Handle;
using Kivra::HardwareAPI::Devices::HandleMessage;
using Kivra::HardwareAPI::Devices::ManiloStatus;
using namespace kivra_capi;

static_assert(static_cast<int>(HandleMessage::Kind::info) == KIVRA_HANDLE_INFO &&
                  static_cast<int>(HandleMessage::Kind::status) == KIVRA_HANDLE_STATUS &&
                  static_cast<int>(HandleMessage::Kind::error) == KIVRA_HANDLE_ERROR,
              "the C message kinds hand the core's on unchanged");

namespace {

template <typename Body>
kivra_status with_handle(kivra_handle* handle, int32_t* detail, Body&& body) noexcept {
    if (handle == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return guarded(detail, [&]() -> kivra_status {
        HandleCore& core = *handle->core;
        std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
        if (!core.open.load()) return with_detail(detail, KIVRA_CLOSED);
        return body(core);
    });
}

void copy_message(const HandleMessage& from, kivra_handle_message& to) {
    to.kind = static_cast<int32_t>(from.kind);
    switch (from.kind) {
        case HandleMessage::Kind::info:
            to.info = {from.info.device_id, from.info.tool_data_remaining, from.info.device_model_number,
                       from.info.hardware_version, from.info.firmware_version};
            break;
        case HandleMessage::Kind::status:
            to.status.device_id = from.status.device_id;
            std::copy(std::begin(from.status.quaternion), std::end(from.status.quaternion), to.status.quaternion);
            to.status.error_flag = from.status.error_flag;
            to.status.hall_effect_sensor_level = from.status.hall_effect_sensor_level;
            to.status.user_data_length = from.status.user_data_length;
            std::memcpy(to.status.user_data, from.status.user_data, sizeof(to.status.user_data));
            break;
        case HandleMessage::Kind::error: to.error = {from.error.device_id, from.error.error_code}; break;
        case HandleMessage::Kind::none: break;
    }
}

}  // namespace

extern "C" {

kivra_status kivra_handle_open(const char* port, double timeout, uint32_t flags, kivra_handle** handle,
                               int32_t* detail) {
    if (handle != nullptr) *handle = nullptr;
    if (port == nullptr || handle == nullptr || !valid_timeout(timeout) ||
        (flags & ~uint32_t{KIVRA_OPEN_EXCLUSIVE}) != 0) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    return guarded(detail, [&]() -> kivra_status {
        auto opened_handle = std::make_unique<kivra_handle>();
        opened_handle->core = std::make_shared<HandleCore>(port, timeout);
        HandleCore& core = *opened_handle->core;
        const Outcome opened =
            core.stream.open_port((flags & KIVRA_OPEN_EXCLUSIVE) != 0 ? PortLock::exclusive : PortLock::shared);
        if (!opened.ok()) return report(opened, detail);
        core.open.store(true);
        *handle = opened_handle.release();
        return with_detail(detail, KIVRA_OK);
    });
}

kivra_status kivra_handle_close(kivra_handle* handle) {
    if (handle == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        HandleCore& core = *handle->core;
        std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
        core.stream.close();
        core.open.store(false);
        return KIVRA_OK;
    });
}

void kivra_handle_destroy(kivra_handle* handle) {
    if (handle == nullptr) return;
    kivra_handle_close(handle);
    delete handle;
}

int32_t kivra_handle_is_open(const kivra_handle* handle) {
    return handle != nullptr && handle->core->open.load() ? 1 : 0;
}

kivra_status kivra_handle_set_timeout(kivra_handle* handle, double timeout) {
    if (handle == nullptr || !valid_timeout(timeout)) return KIVRA_INVALID_ARGUMENT;
    handle->core->timeout.store(timeout);
    return KIVRA_OK;
}

kivra_status kivra_handle_get_timeout(const kivra_handle* handle, double* timeout) {
    if (handle == nullptr || timeout == nullptr) return KIVRA_INVALID_ARGUMENT;
    *timeout = handle->core->timeout.load();
    return KIVRA_OK;
}

kivra_status kivra_handle_wakeup(kivra_handle* handle, int32_t* detail) {
    return with_handle(handle, detail,
                       [&](HandleCore& h) { return report(h.device.wakeup(h.timeout.load()), detail); });
}

kivra_status kivra_handle_request_status(kivra_handle* handle, int32_t* detail) {
    return with_handle(handle, detail,
                       [&](HandleCore& h) { return report(h.device.request_status(h.timeout.load()), detail); });
}

kivra_status kivra_handle_send_state(kivra_handle* handle, uint16_t device_id, const uint8_t* user_data, size_t length,
                                     int32_t* detail) {
    if (length > 255 || (length > 0 && user_data == nullptr)) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return with_handle(handle, detail, [&](HandleCore& h) {
        return report(h.device.send_handle_state(device_id, static_cast<uint8_t>(length), user_data, h.timeout.load()),
                      detail);
    });
}

kivra_status kivra_handle_receive(kivra_handle* handle, double timeout, kivra_handle_message* message,
                                  int32_t* detail) {
    if (message == nullptr || !valid_timeout(timeout)) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return with_handle(handle, detail, [&](HandleCore& h) {
        if (h.read_elsewhere.load()) return with_detail(detail, KIVRA_BUSY);
        HandleMessage received;
        const Outcome outcome = h.device.receive(received, timeout);
        if (outcome.ok()) copy_message(received, *message);
        return report(outcome, detail);
    });
}

kivra_status kivra_handle_read_status_frame(kivra_handle* handle, double timeout, kivra_status_frame* frame,
                                            int32_t* detail) {
    if (handle == nullptr || frame == nullptr || !valid_timeout(timeout))
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return guarded(detail, [&]() -> kivra_status {
        if (handle->core->read_elsewhere.load()) return with_detail(detail, KIVRA_BUSY);
        ManiloStatus status;
        const kivra_status outcome = read_status_frame(*handle->core, timeout, status, detail);
        if (outcome == KIVRA_OK) {
            std::copy(status.quaternion.begin(), status.quaternion.end(), frame->quaternion);
            frame->device_id = status.device_id;
            frame->buttons = status.buttons;
            frame->hall_effect_sensor_level = status.hall_effect_sensor_level;
            frame->error_flag = status.error_flag;
            frame->battery_level = status.battery_level;
        }
        return outcome;
    });
}

}  // extern "C"
