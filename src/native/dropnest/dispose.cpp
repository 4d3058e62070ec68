// _dispose: move, delete or keep a consumed file, and clean up its completion marker.
// Mirrors tests/reference/camera.py: DropnestCamera._dispose (and _free_destination).
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"
#include "core/arrival.hpp"
#include "core/folder.hpp"

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

bool name_too_long(const py::error_already_set &e) {
    return interop::matches(e, PyExc_OSError) &&
           interop::eq(e.value().attr("errno"), interop::lookup("errno", "ENAMETOOLONG"));
}

// A marker whose name is longer than the file system allows cannot exist: asking about it, or
// deleting it, fails with "name too long" after the image itself was moved or deleted well.
void remove_marker(py::handle marker, bool test_first) {
    try {
        if (!test_first || interop::truth(marker.attr("exists")())) {
            marker.attr("unlink")(py::arg("missing_ok") = true);
        }
    } catch (py::error_already_set &e) {
        if (!name_too_long(e)) {
            throw;
        }
    }
}

void move_to_processed(py::handle self, py::handle fpath, py::handle marker) {
    py::object processed = self.attr("_processed_dir");
    if (processed.is_none()) {
        interop::throw_assertion();
    }
    // Deleted while the camera runs (by an operator clearing the archive), it is made again: else
    // every later move fails and each file stays to be taken again at the next opening.
    // Tested first: a mkdir that finds the folder raises and catches an error, three times the cost.
    if (!interop::truth(processed.attr("is_dir")())) {
        processed.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    }
    py::object dest = free_destination(processed, fpath);
    // shutil.move renames within a volume; across volumes it copies with copy_function, then deletes.
    const auto &g = globals();
    interop::call_kw(g.attr("shutil", "move"), {path_text(fpath), path_text(dest)},
                     {{py::str("copy_function"), g.get("_copy_into_place")}});
    remove_marker(marker, true);
}

}  // namespace

// A copy that fails half-way (a full disk, a share gone) must not leave a partial file under the
// real name, where it would pass for the archived image; nor may a copy replace a file that took
// the name meanwhile.
py::object copy_into_place(py::object src, py::object dst) {
    const auto &g = globals();
    py::str part = py::str("{}.{}.part").format(dst, interop::lookup("os", "getpid")());
    try {
        g.attr("shutil", "copy2")(src, part);
        const int err = core::fs::rename_noreplace(native_text(part), native_text(interop::to_pystr(dst)));
        if (err != 0) {
            interop::throw_os_error(err, dst);
        }
    } catch (py::error_already_set &) {
        try {
            g.get("Path")(part).attr("unlink")(py::arg("missing_ok") = true);
        } catch (py::error_already_set &cleanup) {
            if (!interop::matches(cleanup, PyExc_OSError)) {
                throw;
            }
        }
        throw;
    }
    return dst;
}

void dispose(py::object self, py::object fpath) {
    py::object mode = self.attr("_after");
    py::object marker = marker_of(self, fpath);
    try {
        if (interop::eq(mode, py::str("delete"))) {
            fpath.attr("unlink")(py::arg("missing_ok") = true);
            remove_marker(marker, false);
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
