#include "bindings.h"

PYBIND11_MODULE(KivraHardwareAPI, m) {
    m.doc() = "Python Implementation of the Kivra Hardware API";
    kivra_python::bind_serial_stream(m);
    kivra_python::bind_uuid(m);
    kivra_python::bind_device(m);
    kivra_python::bind_module_functions(m);
    kivra_python::bind_pendra3(m);
    kivra_python::bind_handle(m);
    kivra_python::guard_bound_functions(m);
    m.attr("__version__") = "dev";
}
