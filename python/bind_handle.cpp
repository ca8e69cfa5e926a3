#include "bindings.h"

namespace kivra_python {

void bind_handle(py::module_&) {}

}  // namespace kivra_python
