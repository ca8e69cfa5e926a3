#include "bindings.h"

namespace kivra_python {

void bind_pendra3(py::module_&) {}

}  // namespace kivra_python
