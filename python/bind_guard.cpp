#include <cstring>
#include <string>

#include "bindings.h"

namespace kivra_python {

namespace {

using py::detail::function_record;

// The binding library's own entry, shared by all its functions; set from the
// first function met.
PyCFunctionWithKeywords library_dispatcher = nullptr;

// An object made through __new__ alone has no library object behind it; the
// binding library would hand the method uninitialised memory.
bool constructed(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_layout) return instance->simple_holder_constructed;
    py::detail::values_and_holders parts(instance);
    for (const auto& part : parts) {
        if (!part.holder_constructed() && !parts.is_redundant_value_and_holder(part)) return false;
    }
    return true;
}

// Methods other than constructors work on the library object; __setattr__
// works on the Python object alone.
bool needs_constructed_self(const function_record* record, PyObject* args) {
    return record->is_method && !record->is_constructor && std::strcmp(record->name, "__setattr__") != 0 &&
           PyTuple_GET_SIZE(args) > 0 &&
           PyObject_TypeCheck(PyTuple_GET_ITEM(args, 0), reinterpret_cast<PyTypeObject*>(record->scope.ptr()));
}

// A constructor handed such an object as an argument would keep a pointer
// to memory that was never initialised.
PyObject* uninitialized_argument(const function_record* record, PyObject* args) {
    if (!record->is_constructor) return nullptr;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* argument = PyTuple_GET_ITEM(args, i);
        if (py::detail::get_type_info(Py_TYPE(argument)) != nullptr && !constructed(argument)) return argument;
    }
    return nullptr;
}

PyObject* checked_call(PyObject* capsule, PyObject* args, PyObject* kwargs) {
    auto* record =
        static_cast<function_record*>(PyCapsule_GetPointer(capsule, py::detail::get_function_record_capsule_name()));
    if (record == nullptr) return nullptr;
    if (PyObject* argument = uninitialized_argument(record, args)) {
        try {
            const std::string type_name = py::detail::get_fully_qualified_tp_name(Py_TYPE(argument));
            PyErr_Format(PyExc_TypeError, "%s() was given an uninitialized %s object; its __init__ was never called",
                         record->name, type_name.c_str());
        } catch (py::error_already_set& error) {
            error.restore();
        }
        return nullptr;
    }
    if (needs_constructed_self(record, args)) {
        PyObject* self = PyTuple_GET_ITEM(args, 0);
        if (!constructed(self)) {
            try {
                const std::string type_name = py::detail::get_fully_qualified_tp_name(Py_TYPE(self));
                PyErr_Format(PyExc_TypeError,
                             "%s() called on an uninitialized %s object; its __init__ was never called", record->name,
                             type_name.c_str());
            } catch (py::error_already_set& error) {
                error.restore();
            }
            return nullptr;
        }
    }
    return library_dispatcher(capsule, args, kwargs);
}

PyObject* guarded_call(PyObject* capsule, PyObject* args, PyObject* kwargs) {
#if defined(PYPY_VERSION)
    // PyPy checks its stack in every C API call. Once it is exhausted, a call
    // that fails there leaves the binding library fetching the error, and
    // that fetch fails too, which PyPy treats as fatal. Stopping here, with
    // the last sixteenth of the stack still free, raises RecursionError
    // instead. CPython counts this call itself before it gets here.
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
    PyObject* result = checked_call(capsule, args, kwargs);
    Py_LeaveRecursiveCall();
    return result;
#else
    return checked_call(capsule, args, kwargs);
#endif
}

void guard_function(py::handle candidate) {
    const py::handle function = py::detail::get_function(candidate);
    if (!function || !PyCFunction_Check(function.ptr())) return;
    PyObject* capsule = PyCFunction_GET_SELF(function.ptr());
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule) ||
        !py::detail::is_function_record_capsule(py::reinterpret_borrow<py::capsule>(capsule))) {
        return;
    }
    auto* record =
        static_cast<function_record*>(PyCapsule_GetPointer(capsule, py::detail::get_function_record_capsule_name()));
    if (record == nullptr || record->def == nullptr) {
        PyErr_Clear();
        return;
    }
    auto* const entry = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(record->def->ml_meth));
    auto* const guarded = reinterpret_cast<PyCFunctionWithKeywords>(guarded_call);
    if (entry == guarded) return;
    if (library_dispatcher == nullptr) library_dispatcher = entry;
    if (entry != library_dispatcher) return;
    // Both interpreters read the entry from this record at every call.
    record->def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded));
}

void guard_class(py::handle cls) {
    for (const auto& item : py::reinterpret_borrow<py::dict>(cls.attr("__dict__").attr("copy")())) {
        const py::handle value = item.second;
        if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
            for (const char* accessor : {"fget", "fset", "fdel"}) guard_function(value.attr(accessor));
        } else {
            guard_function(value);
        }
    }
}

}  // namespace

void guard_bound_functions(py::module_& m) {
    for (const auto& item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        const py::handle value = item.second;
        if (PyType_Check(value.ptr()) && py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(value.ptr()))) {
            guard_class(value);
        } else {
            guard_function(value);
        }
    }
}

}  // namespace kivra_python
