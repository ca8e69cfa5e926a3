#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/UUID.h"
#include "bindings.h"

namespace kivra_python {

// A port path as given from Python: str, bytes or bytearray, or None for a
// null path. Kept whole, so that an embedded NUL can be refused rather than
// silently cutting the path short.
struct PortPath {
    bool present = false;
    std::string text;
};

}  // namespace kivra_python

namespace pybind11::detail {

template <>
struct type_caster<kivra_python::PortPath> {
    PYBIND11_TYPE_CASTER(kivra_python::PortPath, const_name("str"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            if (!convert) return false;
            value = kivra_python::PortPath{};
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(source, convert)) return false;
        value.present = true;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }
};

}  // namespace pybind11::detail

namespace kivra_python {

using Kivra::HardwareAPI::UUID;
using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::IO::SerialStream;

void warn_deprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

void refuse_instance_attributes([[maybe_unused]] py::handle cls) {
#if defined(PYPY_VERSION)
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    py::setattr(cls, "__setattr__",
                py::cpp_function(
                    [type](py::handle self, py::str name, py::object value) {
                        if (Py_TYPE(self.ptr()) == type && !py::hasattr(reinterpret_cast<PyObject*>(type), name)) {
                            throw py::attribute_error(std::string("'") + type->tp_name + "' object has no attribute '" +
                                                      name.cast<std::string>() + "'");
                        }
                        if (PyObject_GenericSetAttr(self.ptr(), name.ptr(), value.ptr()) != 0) {
                            throw py::error_already_set();
                        }
                    },
                    py::is_method(cls)));
#endif
}

void bind_serial_stream(py::module_& m) {
    py::class_<SerialStream> cls(m, "SerialStream");
    cls.def(py::init([](const PortPath& port_path) {
                if (port_path.text.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
                py::gil_scoped_release release;
                return new SerialStream(port_path.present ? port_path.text.c_str() : nullptr, true);
            }),
            "Initialize the serial stream");
    refuse_instance_attributes(cls);
}

void bind_uuid(py::module_& m) {
    py::class_<UUID> cls(m, "UUID");
    cls.def(py::init<>()).def("bytes", [](const UUID& uuid) {
        return std::vector<uint8_t>(uuid.data.begin(), uuid.data.end());
    });
    refuse_instance_attributes(cls);
}

void bind_device(py::module_& m) {
    py::class_<Device> cls(m, "Device");
    refuse_instance_attributes(cls);
}

}  // namespace kivra_python
