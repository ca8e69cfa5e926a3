#pragma once

#include <pybind11/pybind11.h>

namespace kivra_python {

namespace py = pybind11;

// Each adds its classes or functions to the module, in registration order.
void bind_serial_stream(py::module_& m);
void bind_uuid(py::module_& m);
void bind_device(py::module_& m);
void bind_module_functions(py::module_& m);
void bind_pendra3(py::module_& m);
void bind_handle(py::module_& m);

// Instances of exactly this class take no attributes beyond the class's own;
// instances of Python subclasses do. CPython enforces this by itself, PyPy's
// C API layer gives every instance a dictionary, so there it takes a guard.
void refuse_instance_attributes(py::handle cls);

// Issues a DeprecationWarning at stack level 1; a warning turned into an
// error raises here, before the call touches the device.
void warn_deprecated(const char* message);

}  // namespace kivra_python
