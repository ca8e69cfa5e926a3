#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "KivraHardwareAPI/Handle.h"

namespace kivra_python {

namespace py = pybind11;

// What a Python subclass of Handle is built as: the three unpacked events go
// to the subclass's Python methods of the same names. Receive runs with the
// interpreter lock released, so each event takes the lock for its own call
// only. The record events keep the empty defaults.
class TrampolineHandle : public Kivra::HardwareAPI::Devices::Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        py::gil_scoped_acquire gil;
        py::function override = py::get_override(static_cast<const Handle*>(this), "OnReceiveHandleInfo");
        if (override) {
            override(tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version);
        }
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        // The caller's storage is only promised for this call; keep private
        // copies before anything else runs.
        std::array<float, 4> components{};
        std::memcpy(components.data(), quaternion, sizeof(float) * components.size());
        std::array<uint8_t, 255> data{};
        if (user_data_length > 0) std::memcpy(data.data(), user_data, user_data_length);

        bool overridden = false;
        {
            py::gil_scoped_acquire gil;
            py::function override = py::get_override(static_cast<const Handle*>(this), "OnReceiveHandleStatusMessage");
            if (override) {
                overridden = true;
                py::list quaternion_list(components.size());
                for (std::size_t i = 0; i < components.size(); ++i) {
                    quaternion_list[i] = py::float_(static_cast<double>(components[i]));
                }
                py::list data_list(user_data_length);
                for (std::size_t i = 0; i < user_data_length; ++i) data_list[i] = py::int_(data[i]);
                override(device_id, quaternion_list, error_flag, hall_effect_sensor_level, user_data_length, data_list);
            }
        }
        // Raised only after the lock is given back, as every other failure
        // leaving an event is.
        if (!overridden) {
            throw std::runtime_error(
                "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
        }
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        py::gil_scoped_acquire gil;
        py::function override = py::get_override(static_cast<const Handle*>(this), "OnReceiveHandleErrorResponse");
        if (override) override(device_id, error_code);
    }
};

}  // namespace kivra_python
