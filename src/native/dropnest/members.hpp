// The members of DropnestCamera that run on the receiver thread, one file each.
#pragma once

#include <optional>

#include "core/image_header.hpp"
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

// Module-level functions, bound by init_globals.
py::object image_header(py::object data);                 // image_check.cpp: _image_header
py::object copy_into_place(py::object src, py::object dst);  // dispose.cpp: _copy_into_place
// The header of the bytes `data` exports (bytes, bytearray, a NumPy array), read with the GIL released.
std::optional<core::image::Header> header_of(py::handle data);  // image_check.cpp

}  // namespace qorva::dropnest
