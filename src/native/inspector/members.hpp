// The members of NorimInspector, one responsibility per file.
#pragma once

#include <pybind11/pybind11.h>

namespace qorva::inspector {

namespace py = pybind11;

py::dict cfg(py::object self, py::object config, py::object state_params);                 // config.cpp
py::object bundle_name(py::object cfg, py::object product_id);                             // config.cpp
py::object teach(py::object self, py::object images, py::object config);                   // teach.cpp
py::object inspect(py::object self, py::object image, py::object model_state, py::object with_overlay);  // inspect.cpp
py::object purge_artifacts(py::object cls, py::object product_id);                         // inspector_class.cpp

}  // namespace qorva::inspector
