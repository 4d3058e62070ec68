// The completion marker beside an image: its full name followed by `sentinel_ext`.
#pragma once

#include "dropnest/camera_class.hpp"

namespace qorva::dropnest {

// fpath.with_suffix(fpath.suffix + str(params.get("sentinel_ext", ".done"))); an extension
// that makes an invalid suffix raises the host's ValueError.
py::object marker_of(py::handle self, py::handle fpath);

}  // namespace qorva::dropnest
