// The NorimInspector class and the module-level objects it reads at run time.
#pragma once

#include "interop/interop.hpp"

namespace qorva::inspector {

namespace py = pybind11;

// The module's globals (np, runner, amap_render, logger, _DEFAULTS, ...), read at every use.
const interop::Globals &globals();

// Imports, `logger` and `_DEFAULTS`, bound as module globals in this order.
void init_globals(py::module_ &m);
// Builds `NorimInspector` on the host's BaseInspector and binds what `register` returns.
void init_inspector_class(py::module_ &m);

}  // namespace qorva::inspector
