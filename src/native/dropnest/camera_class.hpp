// The DropnestCamera class and the module-level objects it reads at run time.
#pragma once

#include "core/folder.hpp"
#include "interop/interop.hpp"

namespace qorva::dropnest {

namespace py = pybind11;

// The module's globals (np, cv2, shutil, time, Path, logger, _EXTS, _DEFAULTS, ...), read at every use.
const interop::Globals &globals();

// Imports, `logger`, `_EXTS` and `_DEFAULTS`, bound as module globals in this order.
void init_globals(py::module_ &m);
// Builds `DropnestCamera` on top of the host's PushCamera and binds it in the module.
void init_camera_class(py::module_ &m);

// The class object itself, for the zero-argument `super()` of `__init__`.
py::object camera_class();

// `str(path)`: the key under which a file is known in `_seen`, `_sizes` and `_decode_fails`.
py::str path_text(py::handle path);
// `self.params.get(key, _DEFAULTS[key])`, read at every use; `self.params.get(key)` for the keys whose
// default is None (path, processed_dir, extensions), which the camera has always read without one.
py::object param(py::handle self, const char *key);

// True the first time it is asked for `key` since the camera was opened: warnings about one file
// (a marker that cannot be checked, a file that stays unreadable) are given once, then remembered
// in `_warned`.
bool first_warning(py::handle self, py::handle key);

// A path text as the operating system takes it.
inline core::fs::NativeString native_text(py::handle text) {
#ifdef _WIN32
    return interop::to_wide(text);
#else
    return interop::fs_encode(text);
#endif
}

}  // namespace qorva::dropnest
