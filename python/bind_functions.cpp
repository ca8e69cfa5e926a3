#include <pybind11/stl.h>

#include <iostream>
#include <string>
#include <vector>

#include "bindings.h"

namespace kivra_python {

namespace {
constexpr const char* LIBRARY_VERSION = "0.1.12";
}

void bind_module_functions(py::module_& m) {
    m.def("get_cpp_version", []() { return LIBRARY_VERSION; }, "Get the version of the CPP library");
    m.def(
        "print_cpp_version",
        []() {
            // Written by the C++ runtime to the process's own standard output,
            // not through sys.stdout.
            std::cout << "Library version: " << LIBRARY_VERSION << std::endl;
        },
        "Print the version of the CPP library");
}

}  // namespace kivra_python
