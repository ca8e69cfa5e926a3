#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/UUID.h"
#include "bindings.h"

namespace kivra_python {

// A float vector argument. Besides sequences it accepts, when conversion is
// allowed, the one-shot and unordered iterables a caller may naturally hand
// over (generators, sets, dictionary views, map and zip objects), drawn into
// a tuple first, as tuple(x) would.
struct FloatVector {
    std::vector<float> values;
};

namespace {
// Types drawn into a tuple; set once at registration, while the lock is held,
// and kept for the life of the process.
PyObject* drawable_types = nullptr;
}  // namespace

}  // namespace kivra_python

namespace pybind11::detail {

template <>
struct type_caster<kivra_python::FloatVector> {
    PYBIND11_TYPE_CASTER(kivra_python::FloatVector, const_name("list[float]"));

    bool load(handle src, bool convert) {
        if (isinstance<sequence>(src) && !isinstance<bytes>(src) && !isinstance<str>(src)) {
            return load_elements(reinterpret_borrow<sequence>(src), convert);
        }
        if (!convert || kivra_python::drawable_types == nullptr) return false;
        const int drawable = PyObject_IsInstance(src.ptr(), kivra_python::drawable_types);
        if (drawable != 1) {
            if (drawable < 0) PyErr_Clear();
            return false;
        }
        PyObject* drawn = PySequence_Tuple(src.ptr());
        if (drawn == nullptr) {
            PyErr_Clear();
            return false;
        }
        return load_elements(reinterpret_steal<sequence>(drawn), convert);
    }

private:
    bool load_elements(const sequence& items, bool convert) {
        value.values.clear();
        value.values.reserve(items.size());
        for (const auto& item : items) {
            make_caster<float> element;
            if (!element.load(item, convert)) return false;
            value.values.push_back(cast_op<float>(element));
        }
        return true;
    }
};

}  // namespace pybind11::detail

namespace kivra_python {

namespace {

using Kivra::HardwareAPI::UUID;
using Kivra::HardwareAPI::Devices::DeviceInfo;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::Devices::Vector3;
using Kivra::HardwareAPI::IO::SerialStream;
namespace Code = Kivra::HardwareAPI::Devices::Pendra3Code;

using FloatList = std::vector<float>;
using State = std::array<Vector3, 2>;

constexpr const char* SEND_FORCE_WARNING = "SendForce is deprecated, use end_effector_force instead";

constexpr const char* RECEIVE_DEVICE_INFO_DOC = R"(
            Receive device info and return a tuple with the following fields: 

            device_id (uint16_t)
            
            device_model_num (uint8_t)
            
            hardware_version (uint8_t)
            
            firmware_version (uint8_t)
            
            device_id_ext (UUID)
            )";

// The device needs three values and must never read or write past the
// caller's list, so a short list is refused before anything happens.
Vector3 first_three(const FloatList& values, const char* name) {
    if (values.size() < 3) {
        throw py::value_error(std::string(name) + " needs three values, got " + std::to_string(values.size()));
    }
    return {values[0], values[1], values[2]};
}

void store_first_three(FloatList& target, const Vector3& values) {
    for (std::size_t i = 0; i < 3; ++i) target[i] = values[i];
}

py::tuple state_tuple(const State& state) { return py::make_tuple(py::cast(state[0]), py::cast(state[1])); }

// A standard uuid.UUID, built through the interpreter's own "uuid" module.
py::object identifier_to_uuid(const UUID& value) {
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = value.to_hex());
}

py::list zero_list() {
    py::list zeros;
    for (int i = 0; i < 3; ++i) zeros.append(0.0);
    return zeros;
}

// A query that keeps the interpreter lock for the whole call, run with its
// port held so that no other thread's exchange comes in between.
template <auto Query>
auto held_query(Pendra3& self) {
    PortExchangeLock port(*self.stream);
    return (self.*Query)();
}

template <UUID (Pendra3::*Request)()>
py::object held_identifier(Pendra3& self) {
    return identifier_to_uuid(held_query<Request>(self));
}

// Command exchange shared by the four motion methods: list checked and
// copied with the lock held, the device work without it.
template <State (Pendra3::*Exchange)(const Vector3&)>
py::tuple command(Pendra3& self, const FloatList& request, const char* name) {
    const Vector3 values = first_three(request, name);
    State state;
    {
        py::gil_scoped_release release;
        state = (self.*Exchange)(values);
    }
    return state_tuple(state);
}

// Split-form send; warning is null for the legacy sends that do not warn.
void send_legacy(Pendra3& self, uint8_t code, const FloatList& values, const char* name, const char* warning) {
    const Vector3 checked = first_three(values, name);
    if (warning != nullptr) warn_deprecated(warning);
    py::gil_scoped_release release;
    self.send_command(code, checked);
}

py::tuple receive_state_legacy(Pendra3& self, uint8_t code, FloatList first, FloatList second, const char* first_name,
                               const char* second_name, const char* warning) {
    Vector3 a = first_three(first, first_name);
    Vector3 b = first_three(second, second_name);
    warn_deprecated(warning);
    {
        py::gil_scoped_release release;
        self.receive_state(code, a, b);
    }
    store_first_three(first, a);
    store_first_three(second, b);
    return py::make_tuple(py::cast(first), py::cast(second));
}

}  // namespace

void bind_pendra3(py::module_& m) {
    if (drawable_types == nullptr) {
        const py::module_ builtins = py::module_::import("builtins");
        const py::dict sample;
        drawable_types = py::make_tuple(py::module_::import("types").attr("GeneratorType"), builtins.attr("set"),
                                        builtins.attr("frozenset"), py::type::of(sample.attr("keys")()),
                                        py::type::of(sample.attr("values")()), py::type::of(sample.attr("items")()),
                                        builtins.attr("map"), builtins.attr("zip"))
                             .release()
                             .ptr();
    }

    py::class_<Pendra3> cls(m, "Pendra3", "Pendra3 Device Class");

    // Each call converts this list anew, so a method filling its vector
    // never changes the default.
    const py::list zeros = zero_list();

    cls.def(py::init([](SerialStream* stream) {
                if (stream == nullptr) throw py::type_error("Pendra3 needs a SerialStream, not None");
                return new Pendra3(stream);
            }),
            py::keep_alive<1, 2>());

    cls.def(
        "device_wakeup",
        [](Pendra3& self) {
            DeviceInfo info;
            {
                py::gil_scoped_release release;
                info = self.device_wakeup();
            }
            std::vector<uint8_t> ext(info.device_id_ext.data.begin(), info.device_id_ext.data.end());
            return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                  info.firmware_version, py::cast(ext));
        },
        "Wakeup the device and return the device info as a tuple.");

    cls.def(
        "device_wakeup_dict",
        [](Pendra3& self) {
            DeviceInfo info;
            {
                py::gil_scoped_release release;
                info = self.device_wakeup();
            }
            py::dict result;
            result["device_id"] = info.device_id;
            result["device_model_number"] = info.device_model_number;
            result["hardware_version"] = info.hardware_version;
            result["firmware_version"] = info.firmware_version;
            result["device_id_ext"] = identifier_to_uuid(info.device_id_ext);
            return result;
        },
        "Wakeup the device and return the device info as a dict.");

    cls.def("get_firmware_version", &held_identifier<&Pendra3::get_firmware_version>,
            "Receive the firmware version of the device.");
    cls.def("get_device_id", &held_identifier<&Pendra3::get_device_id>, "Receive the UUID of the device.");

    // The four queries keep the interpreter lock, waits included.
    cls.def("get_motor_currents", &held_query<&Pendra3::get_motor_currents>,
            "Receive the motor currents of the device.");
    cls.def("get_device_orientation", &held_query<&Pendra3::get_device_orientation>,
            "Receive the orientation of the base of the device.");
    cls.def("get_power_status", &held_query<&Pendra3::get_power_status>, "Receive the power status of the device.");
    cls.def("get_temperature", &held_query<&Pendra3::get_temperature>, "Receive the temperature of the device.");

    cls.def(
        "end_effector_force",
        [](Pendra3& self, const FloatVector& request) {
            return command<&Pendra3::end_effector_force>(self, request.values, "force request vector");
        },
        "Send forces to the device and receive device states", py::arg("force request vector") = zeros);

    cls.def(
        "get_end_effector_position",
        [](Pendra3& self, bool onboard) {
            State state;
            {
                py::gil_scoped_release release;
                state = self.get_end_effector_position(onboard);
            }
            return state_tuple(state);
        },
        "Get the end-effector position and velocity", py::arg("onboard") = true);

    cls.def(
        "adjust_angles",
        [](Pendra3& self, const FloatVector& angles) {
            const Vector3 values = first_three(angles.values, "angles");
            py::gil_scoped_release release;
            self.adjust_angles(values);
        },
        "Adjust the angles of the device", py::arg("angles") = zeros);

    cls.def("adjust_lengths", &Pendra3::adjust_lengths, py::call_guard<py::gil_scoped_release>(),
            "Adjust the lengths of the linkages", py::arg("inner_arm_1") = 0.14f, py::arg("outer_arm_1") = 0.14f,
            py::arg("inner_arm_2") = 0.165f, py::arg("outer_arm_2") = 0.165f, py::arg("extension") = 0.0765f);

    cls.def("adjust_gear_ratios", &Pendra3::adjust_gear_ratios, py::call_guard<py::gil_scoped_release>(),
            "Adjust the gear ratios", py::arg("head_gear_ratio_coeff") = 1.0f,
            py::arg("inner_arm_gear_ratio_coeff") = 1.0f, py::arg("outer_arm_gear_ratio_coeff") = 1.0f);

    cls.def("deactivate_orientation_sensor", &Pendra3::deactivate_orientation_sensor,
            py::call_guard<py::gil_scoped_release>(), "Receive the power status of the device.");

    cls.def(
        "joint_torques",
        [](Pendra3& self, const FloatVector& request) {
            return command<&Pendra3::joint_torques>(self, request.values, "joint torque request vector");
        },
        "Send joint torques to the device and receive the joint states",
        py::arg("joint torque request vector") = zeros);

    cls.def(
        "end_effector_position",
        [](Pendra3& self, const FloatVector& request) {
            return command<&Pendra3::end_effector_position>(self, request.values, "position request vector");
        },
        "Send end-effector position and receive device states", py::arg("position request vector") = zeros);

    cls.def(
        "joint_angles",
        [](Pendra3& self, const FloatVector& request) {
            return command<&Pendra3::joint_angles>(self, request.values, "joint angle request vector");
        },
        "Send joint angles to the device and receive the joint states", py::arg("joint angle request vector") = zeros);

    cls.def(
        "SendDeviceWakeup",
        [](Pendra3& self) {
            warn_deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
            py::gil_scoped_release release;
            self.send_device_wakeup();
        },
        "[DEPRECATED] Send a device wakeup command");

    cls.def(
        "ReceiveDeviceInfo",
        [](Pendra3& self) {
            DeviceInfo info;
            {
                py::gil_scoped_release release;
                info = self.receive_device_info();
            }
            return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                  info.firmware_version, py::cast(info.device_id_ext));
        },
        RECEIVE_DEVICE_INFO_DOC);

    cls.def(
        "SendForce",
        [](Pendra3& self, const FloatVector& force) {
            send_legacy(self, Code::END_EFFECTOR_FORCE, force.values, "force", SEND_FORCE_WARNING);
        },
        "[Deprecated] Send force to the device", py::arg("force") = zeros);
    cls.def(
        "SendForce",
        [](Pendra3& self, float x, float y, float z) {
            warn_deprecated(SEND_FORCE_WARNING);
            py::gil_scoped_release release;
            self.send_command(Code::END_EFFECTOR_FORCE, {x, y, z});
        },
        "[Deprecated] Send force to the device", py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0);

    cls.def(
        "ReceiveState",
        [](Pendra3& self, FloatVector position, FloatVector velocity) {
            return receive_state_legacy(self, Code::END_EFFECTOR_STATE, std::move(position.values),
                                        std::move(velocity.values), "position", "velocity",
                                        "ReceiveState is deprecated, use end_effector instead");
        },
        "[Deprecated] receive state and return position and velocity", py::arg("position") = zeros,
        py::arg("velocity") = zeros);

    cls.def(
        "ReceiveJointState",
        [](Pendra3& self, FloatVector joint_position, FloatVector joint_velocity) {
            return receive_state_legacy(self, Code::JOINT_STATE, std::move(joint_position.values),
                                        std::move(joint_velocity.values), "joint_position", "joint_velocity",
                                        "ReceiveJointState is deprecated, use joint_torques instead");
        },
        "[Deprecated] receive joint state and return position and velocity in the joint reference frame",
        py::arg("joint_position") = zeros, py::arg("joint_velocity") = zeros);

    cls.def(
        "SendJointTorques",
        [](Pendra3& self, const FloatVector& joint_torque) {
            send_legacy(self, Code::JOINT_TORQUES, joint_torque.values, "joint_torque",
                        "SendJointTorques is deprecated, use joint_torques instead");
        },
        "[Deprecated] send joint torque", py::arg("joint_torque") = zeros);

    cls.def(
        "SendAngle",
        [](Pendra3& self, const FloatVector& angle) {
            send_legacy(self, Code::JOINT_ANGLES, angle.values, "angle", nullptr);
        },
        "Send angles to the device", py::arg("angle") = zeros);

    cls.def("RequestCurrent", &Pendra3::request_current, py::call_guard<py::gil_scoped_release>(), "request current");

    cls.def(
        "ReceiveCurrent",
        [](Pendra3& self, FloatVector current) {
            Vector3 values = first_three(current.values, "current");
            {
                py::gil_scoped_release release;
                self.receive_current(values);
            }
            store_first_three(current.values, values);
            return std::move(current.values);
        },
        "receive current and return current", py::arg("current") = zeros);

    cls.def(
        "SendPosition",
        [](Pendra3& self, const FloatVector& position) {
            send_legacy(self, Code::END_EFFECTOR_POSITION, position.values, "position",
                        "SendPosition is deprecated, use end_effector_position instead");
        },
        "[Deprecated] Send Position to the device", py::arg("position") = zeros);

    refuse_instance_attributes(cls);
}

}  // namespace kivra_python
