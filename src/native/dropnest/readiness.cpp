// _is_ready: whether the sender has finished writing a candidate, by the agreed policy.
// Mirrors tests/reference/camera.py: DropnestCamera._is_ready (and marker_of).
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"
#include "core/arrival.hpp"

namespace qorva::dropnest {

namespace {

// Stable policy: the same non-zero size seen twice, at least stable_ms apart.
bool size_has_settled(py::handle self, py::handle fpath) {
    py::object size;
    try {
        size = fpath.attr("stat")().attr("st_size");
    } catch (py::error_already_set &e) {
        if (interop::matches(e, PyExc_OSError)) {
            return false;  // vanished or refused: asked again next pass
        }
        throw;
    }
    if (interop::eq(size, py::int_(0))) {
        return false;  // a file created empty has not begun to arrive
    }
    py::str key = path_text(fpath);
    py::object now = globals().attr("time", "time")();
    py::object sizes = self.attr("_sizes");
    py::object entry = sizes.attr("get")(key);
    // The records are plain Python data that a host may have written itself (a float size,
    // say): compared as the host compares them, never cast to a C++ type.
    if (entry.is_none() || !interop::eq(entry[py::int_(0)], size)) {
        sizes[key] = py::make_tuple(size, now);
        return false;
    }
    const double stable_s = interop::to_float(param(self, "stable_ms")) / 1000.0;
    return core::arrival::settled(interop::to_float(entry[py::int_(1)]), interop::to_float(now), stable_s);
}

// Sentinel policy. A marker that cannot be checked (its name is longer than the file system
// allows, access is denied) means "not ready": one such file must not end the receive loop.
bool marker_exists(py::handle self, py::handle fpath) {
    py::object marker = marker_of(self, fpath);
    try {
        return interop::truth(marker.attr("exists")());
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        if (first_warning(self, path_text(fpath))) {
            interop::log(globals().get("logger"), interop::kWarning, texts::kMarkerUnchecked,
                         py::make_tuple(fpath, e.value()));
        }
        return false;
    }
}

}  // namespace

py::object marker_of(py::handle self, py::handle fpath) {
    py::str ext = interop::to_pystr(param(self, "sentinel_ext"));
    py::object suffix = fpath.attr("suffix");
    py::object combined = py::reinterpret_steal<py::object>(PyNumber_Add(suffix.ptr(), ext.ptr()));
    if (!combined) {
        throw py::error_already_set();
    }
    return fpath.attr("with_suffix")(combined);
}

py::bool_ is_ready(py::object self, py::object fpath) {
    py::str policy = interop::lower(interop::to_pystr(param(self, "ready_policy")));
    if (interop::eq(policy, py::str("none"))) {
        return py::bool_(true);
    }
    if (interop::eq(policy, py::str("sentinel"))) {
        return py::bool_(marker_exists(self, fpath));
    }
    return py::bool_(size_has_settled(self, fpath));
}

}  // namespace qorva::dropnest
