// The DropnestCamera class and the module-level objects it reads at run time.
#pragma once

#include "common/interop.hpp"

namespace qorva::dropnest {

namespace py = pybind11;

// The module's globals (np, cv2, shutil, time, Path, logger, _EXTS, ...), read at every use.
const interop::Globals &globals();

// Imports, `logger` and `_EXTS`, bound as module globals in this order.
void init_globals(py::module_ &m);
// Builds `DropnestCamera` on top of the host's PushCamera and binds it in the module.
void init_camera_class(py::module_ &m);

// The class object itself, for the zero-argument `super()` of `__init__`.
py::object camera_class();

// `str(path)`: the key under which a file is known in `_seen`, `_sizes` and `_decode_fails`.
py::str path_text(py::handle path);
// `self.params.get(key)` / `self.params.get(key, default)`, read at every use.
py::object param(py::handle self, const char *key);
py::object param(py::handle self, const char *key, py::handle default_value);

}  // namespace qorva::dropnest
