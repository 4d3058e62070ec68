// The members of DropnestCamera that run on the receiver thread, one file each.
#pragma once

#include <pybind11/pybind11.h>

namespace qorva::dropnest {

namespace py = pybind11;

py::list scan(py::object self);                                          // scan.cpp
py::bool_ is_ready(py::object self, py::object fpath);                   // readiness.cpp
py::object consume(py::object self, py::object fpath);                   // consume.cpp
py::bool_ decode_failed(py::object self, py::object fpath, py::object reason);  // consume.cpp
void dispose(py::object self, py::object fpath);                         // dispose.cpp
void receive_loop(py::object self);                                      // loop.cpp

}  // namespace qorva::dropnest
