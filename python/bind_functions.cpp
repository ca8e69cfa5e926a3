#include <pybind11/stl.h>

#include <iostream>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Discovery.h"
#include "bindings.h"

namespace kivra_python {

namespace {
constexpr const char* LIBRARY_VERSION = "0.1.12";
}

void bind_module_functions(py::module_& m) {
    m.def(
        "get_cpp_version", []() { return LIBRARY_VERSION; }, "Get the version of the CPP library");
    m.def(
        "print_cpp_version",
        []() {
            // Written by the C++ runtime to the process's own standard output,
            // not through sys.stdout.
            std::cout << "Library version: " << LIBRARY_VERSION << std::endl;
        },
        "Print the version of the CPP library");

    // The scans keep the interpreter lock: probe threads never touch Python.
    namespace discovery = Kivra::HardwareAPI::Discovery;
    m.def(
        "detect_pendra3s", []() { return discovery::detect_pendra3s(); }, "detect available pendra3 devices");
    m.def(
        "detect_handles", []() { return discovery::detect_handles(); }, "detect available handles");
    m.def(
        "detect_wired_handles", []() { return discovery::detect_wired_handles(); }, "detect available wired handles");
    m.def(
        "detect_wireless_handles", []() { return discovery::detect_wireless_handles(); },
        "detect available wireless handles");
}

}  // namespace kivra_python
