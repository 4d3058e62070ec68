// The members of DropnestCamera that run on the receiver thread, one file each.
#pragma once

#include "dropnest/camera_class.hpp"

namespace qorva::dropnest {

namespace py = pybind11;

py::list scan(py::object self);                                          // scan.cpp
py::bool_ is_ready(py::object self, py::object fpath);                   // readiness.cpp
py::object consume(py::object self, py::object fpath);                   // consume.cpp
py::bool_ decode_failed(py::object self, py::object fpath, py::object reason);  // consume.cpp
void dispose(py::object self, py::object fpath);                         // dispose.cpp
void receive_loop(py::object self);                                      // loop.cpp

// fpath.with_suffix(fpath.suffix + str(param(self, "sentinel_ext"))): the completion marker, read by
// _is_ready and cleaned up by _dispose; an extension that makes an invalid suffix raises ValueError.
py::object marker_of(py::handle self, py::handle fpath);                 // readiness.cpp

}  // namespace qorva::dropnest
