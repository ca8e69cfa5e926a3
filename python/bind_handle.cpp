#include <algorithm>
#include <cstdint>
#include <string>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "TrampolineHandle.h"
#include "bindings.h"

namespace kivra_python {

// The one user-data byte of SendHandleState, which Python may leave out or
// give as None.
struct OptionalByte {
    bool present = false;
    uint8_t value = 0;
};

}  // namespace kivra_python

namespace pybind11::detail {

// Renders as a plain "int" in the signature; anything but None goes through
// the ordinary unsigned 8-bit conversion, so its range errors stay the same.
template <>
struct type_caster<kivra_python::OptionalByte> {
    PYBIND11_TYPE_CASTER(kivra_python::OptionalByte, const_name("int"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value = kivra_python::OptionalByte{};
            return true;
        }
        make_caster<uint8_t> byte;
        if (!byte.load(source, convert)) return false;
        value.present = true;
        value.value = cast_op<uint8_t>(byte);
        return true;
    }

    static handle cast(const kivra_python::OptionalByte& source, return_value_policy, handle) {
        if (!source.present) return none().release();
        return PyLong_FromLong(source.value);
    }
};

}  // namespace pybind11::detail

namespace kivra_python {

using Kivra::HardwareAPI::Devices::Handle;
using Kivra::HardwareAPI::Devices::ManiloStatus;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

void require_stream(const SerialStream* stream) {
    if (stream == nullptr) throw py::type_error("Handle needs a SerialStream, not None");
}

void send_handle_state(Handle& handle, uint16_t device_id, uint8_t data_length, OptionalByte user_data) {
    // From Python there is at most one user-data byte to send; a longer
    // data_length would make the library read past it.
    if (data_length > 1) {
        throw py::value_error("data_length must be 0 or 1, since user_data is a single byte; got " +
                              std::to_string(data_length));
    }
    if (data_length == 1 && !user_data.present) {
        throw py::value_error("data_length is 1 but user_data is None; give the byte to send");
    }
    const uint8_t byte = user_data.value;
    py::gil_scoped_release release;
    handle.SendHandleState(device_id, data_length, &byte);
}

// A direct call hands over one component and one byte; the event reads four
// components and user_data_length bytes, so pad the one and cap the other.
void status_message_from_python(Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
                                uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
    const float components[4] = {quaternion, 0.0f, 0.0f, 0.0f};
    const uint8_t data[1] = {user_data};
    handle.OnReceiveHandleStatusMessage(device_id, components, error_flag, hall_effect_sensor_level,
                                        std::min<uint8_t>(user_data_length, 1), data);
}

int32_t receive_obsolete(Handle& handle, uint8_t) {
    warn_deprecated("Receive with one argument is deprecated");
    py::gil_scoped_release release;
    return handle.Receive();
}

py::dict manilo_status(Handle& handle) {
    ManiloStatus status;
    {
        py::gil_scoped_release release;
        status = handle.GetManiloStatus();
    }
    py::list quaternion(status.quaternion.size());
    for (std::size_t i = 0; i < status.quaternion.size(); ++i) {
        quaternion[i] = py::float_(static_cast<double>(status.quaternion[i]));
    }
    py::dict result;
    result["device_id"] = py::int_(status.device_id);
    result["quaternion"] = quaternion;
    result["error_flag"] = py::int_(status.error_flag);
    result["hall_effect_sensor_level"] = py::int_(status.hall_effect_sensor_level);
    result["buttons"] = py::int_(status.buttons);
    result["battery_level"] = py::float_(static_cast<double>(status.battery_level));
    return result;
}

}  // namespace

void bind_handle(py::module_& m) {
    py::class_<Handle, TrampolineHandle> cls(m, "Handle", "The manilo handle class");
    cls.def(py::init(
                [](SerialStream* stream) {
                    require_stream(stream);
                    return new Handle(stream);
                },
                [](SerialStream* stream) {
                    require_stream(stream);
                    return new TrampolineHandle(stream);
                }),
            py::keep_alive<1, 2>());
    cls.def("SendDeviceWakeup", &Handle::SendDeviceWakeup, py::call_guard<py::gil_scoped_release>());
    cls.def("SendHandleState", &send_handle_state, py::arg("device_id") = 0, py::arg("data_length") = 0,
            py::arg("user_data") = py::none(), "send handle state");
    cls.def("RequestStatus", &Handle::RequestStatus, py::call_guard<py::gil_scoped_release>(), "request handle status");
    cls.def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, py::arg("tool_data_remaining"), py::arg("device_id"),
            py::arg("device_model_number"), py::arg("hardware_version"), py::arg("firmware_version"),
            "OnReceiveHandleInfo");
    cls.def("OnReceiveHandleStatusMessage", &status_message_from_python, py::arg("device_id"), py::arg("quaternion"),
            py::arg("error_flag"), py::arg("hall_effect_sensor_level"), py::arg("user_data_length"),
            py::arg("user_data"), "OnReceiveHandleStatusMessage");
    cls.def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse, py::arg("device_id"),
            py::arg("error_code"), "OnReceiveHandleErrorResponse");
    cls.def("Receive", &Handle::Receive, py::call_guard<py::gil_scoped_release>(), "Receive data from the handle");
    cls.def("Receive", &receive_obsolete, py::arg("obsolete"), "[DEPRECATED] Receive current and return current");
    cls.def("GetManiloStatus", &manilo_status, "Get the most recent Manilo informations");
    refuse_instance_attributes(cls);
}

}  // namespace kivra_python
