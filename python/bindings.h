#pragma once

#include <pybind11/pybind11.h>

#include <mutex>

#include "KivraHardwareAPI/SerialStream.h"

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

// Routes every function and method the module has registered so far through
// one entry that refuses methods on objects whose __init__ never ran and, on
// PyPy, refuses a call made too close to the end of the stack before the
// binding library starts on it.
void guard_bound_functions(py::module_& m);

// Holds a port's exchange lock for a call that keeps the interpreter lock.
// Another thread may hold the port while it waits for the interpreter lock
// (a handle's Receive calling a Python override), so when the port is busy
// the interpreter lock is given up until the port is ours.
class PortExchangeLock {
public:
    explicit PortExchangeLock(Kivra::HardwareAPI::IO::SerialStream& stream)
        : lock_(stream.exchange_mutex(), std::try_to_lock) {
        if (!lock_.owns_lock()) {
            py::gil_scoped_release release;
            lock_.lock();
        }
    }

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

}  // namespace kivra_python
