// _dispose: move, delete or keep a consumed file, and clean up its completion marker.
// Mirrors tests/reference/camera.py: DropnestCamera._dispose (and _free_destination).
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"
#include "core/arrival.hpp"

namespace qorva::dropnest {

namespace {

// A name in the processed folder that nothing holds yet. The time-stamped name alone can
// collide when several files of one name arrive within a millisecond; a counter after the
// stamp keeps every earlier file intact.
py::object free_destination(py::handle processed, py::handle fpath) {
    py::object dest = processed / fpath.attr("name");
    if (!interop::truth(dest.attr("exists")())) {
        return dest;
    }
    py::object clock = globals().attr("time", "time")();
    const std::string millis = interop::to_str(interop::to_int(clock * py::int_(1000)));
    py::object stem = fpath.attr("stem");
    py::object suffix = fpath.attr("suffix");
    for (unsigned attempt = 0;; ++attempt) {
        py::str tail(core::arrival::stamp_tail(millis, attempt));
        dest = processed / (stem + tail + suffix);
        if (!interop::truth(dest.attr("exists")())) {
            return dest;
        }
    }
}

void move_to_processed(py::handle self, py::handle fpath, py::handle marker) {
    py::object processed = self.attr("_processed_dir");
    if (processed.is_none()) {
        interop::throw_assertion();
    }
    py::object dest = free_destination(processed, fpath);
    globals().attr("shutil", "move")(path_text(fpath), path_text(dest));
    if (interop::truth(marker.attr("exists")())) {
        marker.attr("unlink")(py::arg("missing_ok") = true);
    }
}

}  // namespace

void dispose(py::object self, py::object fpath) {
    py::object mode = self.attr("_after");
    py::object marker = marker_of(self, fpath);
    try {
        if (interop::eq(mode, py::str("delete"))) {
            fpath.attr("unlink")(py::arg("missing_ok") = true);
            marker.attr("unlink")(py::arg("missing_ok") = true);
        } else if (interop::eq(mode, py::str("move"))) {
            move_to_processed(self, fpath, marker);
        } else {
            self.attr("_seen").attr("add")(path_text(fpath));
        }
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        interop::log(globals().get("logger"), interop::kWarning, texts::kPostProcessingFailed,
                     py::make_tuple(mode, fpath, e.value()));
        self.attr("_seen").attr("add")(path_text(fpath));
    }
}

}  // namespace qorva::dropnest
