// _consume and _decode_failed: read, check, decode, hand over, post-process; bounded retries.
// Mirrors tests/reference/camera.py: DropnestCamera._consume, DropnestCamera._decode_failed and the
// module functions _set_aside, _failed, _not_yet and _not_read.
//
// A file is looked at before it is decoded: its size bounds what it can declare, and its header
// says how many pixels it will decode to and whether its sender has finished it. Only a failure of
// a file that has not changed since its previous attempt counts against max_decode_retries: a
// throttled FTP upload pauses longer than stable_ms, and each partial read used to cost a retry.
#include <cerrno>

#include "dropnest/camera_class.hpp"
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"

namespace qorva::dropnest {

namespace {

// Consecutive attempts at an unchanged file that is refused or incomplete before one warning. A
// refused read keeps its stable timing, so 10 attempts are about a second at the default poll; an
// incomplete file is timed again first, about 4 s of no change under the default stable policy.
constexpr long kWarnAfter = 10;

py::str read_reason(const py::error_already_set &e) { return py::str(texts::kCannotRead) + interop::to_pystr(e.value()); }

bool same_stamp(py::handle last, py::handle stamp) {
    return interop::eq(last[py::int_(0)], stamp[py::int_(0)]) && interop::eq(last[py::int_(1)], stamp[py::int_(1)]);
}

py::bool_ set_aside(py::handle self, py::handle fpath, py::handle reason) {
    py::str key = path_text(fpath);
    interop::log(globals().get("logger"), interop::kWarning, texts::kSetAside, py::make_tuple(reason, fpath));
    self.attr("_seen").attr("add")(key);
    self.attr("_sizes").attr("pop")(key, py::none());
    self.attr("_attempts").attr("pop")(key, py::none());
    return py::bool_(false);
}

py::object failed(py::handle self, py::handle fpath, py::handle stamp, py::handle reason) {
    py::str key = path_text(fpath);
    py::object attempts = self.attr("_attempts");
    py::object last = attempts.attr("get")(key);
    attempts[key] = py::make_tuple(stamp[py::int_(0)], stamp[py::int_(1)], py::bool_(false), py::int_(0));
    if (!last.is_none() && !same_stamp(last, stamp)) {
        interop::log(globals().get("logger"), interop::kDebug, texts::kNotCounted, py::make_tuple(reason, fpath));
        self.attr("_sizes").attr("pop")(key, py::none());
        return py::bool_(false);
    }
    return self.attr("_decode_failed")(fpath, reason);
}

// Refused by the file system, or not yet whole: never counted; warned about once when it stays so.
py::bool_ not_yet(py::handle self, py::handle fpath, py::object stamp, py::handle reason, bool incomplete) {
    py::str key = path_text(fpath);
    py::object attempts = self.attr("_attempts");
    py::object last = attempts.attr("get")(key);
    if (stamp.is_none()) {  // the status itself was refused: the file is as it was last seen
        stamp = last.is_none() ? py::tuple(py::make_tuple(-1, -1))
                               : py::tuple(py::make_tuple(last[py::int_(0)], last[py::int_(1)]));
    }
    py::object n = py::int_(1);
    if (!last.is_none() && same_stamp(last, stamp)) {
        n = py::object(last[py::int_(3)]) + py::int_(1);
    }
    attempts[key] = py::make_tuple(stamp[py::int_(0)], stamp[py::int_(1)], py::bool_(incomplete), n);
    if (incomplete) {
        self.attr("_sizes").attr("pop")(key, py::none());
    }
    if (interop::ge(n, py::int_(kWarnAfter)) && first_warning(self, key)) {
        interop::log(globals().get("logger"), interop::kWarning, texts::kStillWaiting,
                     py::make_tuple(reason, n, fpath));
    }
    return py::bool_(false);
}

// Out of file descriptors is the state of the process, not of the file: every open fails alike until
// some are closed (a flood of clients of the live page once took them all, and eight good images were
// set aside for good). Windows' ERROR_TOO_MANY_OPEN_FILES reaches the host as EMFILE too.
bool out_of_descriptors(const py::error_already_set &e) {
    py::object err = e.value().attr("errno");
    return interop::eq(err, py::int_(EMFILE)) || interop::eq(err, py::int_(ENFILE));
}

// A file left to wait while the process has no descriptor free: never counted, its stable timing kept.
// Warned about when it starts, and not again until a file is read at least a minute after the warning,
// so a process that hovers at its limit does not log on every pass.
py::bool_ starved(py::handle self, py::handle fpath, py::handle reason) {
    if (self.attr("_starved").is_none()) {
        interop::log(globals().get("logger"), interop::kWarning, texts::kOutOfDescriptors,
                     py::make_tuple(reason, fpath));
        self.attr("_starved") = globals().attr("time", "time")();
    }
    return py::bool_(false);
}

void read_again(py::handle self) {
    py::object since = self.attr("_starved");
    if (since.is_none()) {
        return;
    }
    py::object elapsed = globals().attr("time", "time")() - since;
    if (!(interop::ge(elapsed, py::int_(0)) && interop::lt(elapsed, py::int_(60)))) {
        self.attr("_starved") = py::none();
    }
}

// The answer to the host's OSError `e` while a file's status, bytes or image were being had: refused
// (the sender holds it open) or no descriptor free, the file waits uncounted; any other error is a failed
// attempt. `stamp` is None when the status itself could not be read.
py::object not_read(py::handle self, py::handle fpath, py::handle stamp, const py::error_already_set &e) {
    py::str reason = read_reason(e);
    if (interop::matches(e, PyExc_PermissionError)) {
        return not_yet(self, fpath, py::reinterpret_borrow<py::object>(stamp), reason, false);
    }
    if (out_of_descriptors(e)) {
        return starved(self, fpath, reason);
    }
    if (stamp.is_none()) {
        return self.attr("_decode_failed")(fpath, reason);
    }
    return failed(self, fpath, stamp, reason);
}

py::object decode(py::handle data) {
    py::object cv2 = globals().get("cv2");
    try {
        return cv2.attr("imdecode")(data, cv2.attr("IMREAD_COLOR"));
    } catch (py::error_already_set &e) {
        // OpenCV raises on an empty buffer (a zero-length file); that is undecodable data
        // like any other, never a reason to end the receive loop.
        if (!interop::matches(e, cv2.attr("error"))) {
            throw;
        }
        return py::none();
    }
}

py::object taken(py::handle self, py::handle fpath, py::handle image) {
    py::str key = path_text(fpath);
    self.attr("_sizes").attr("pop")(key, py::none());
    self.attr("_decode_fails").attr("pop")(key, py::none());
    self.attr("_attempts").attr("pop")(key, py::none());
    self.attr("_warned").attr("discard")(key);
    py::dict meta;
    meta["source_file"] = fpath.attr("name");
    meta["source_path"] = key;
    self.attr("_emit")(image, meta);
    self.attr("_dispose")(fpath);
    return py::bool_(true);
}

// The bytes of a file whose status is `stamp`; an error answer when they cannot be had.
py::object read_checked(py::handle self, py::handle fpath, py::handle stamp, py::handle cap) {
    const auto &g = globals();
    py::object data;
    try {
        data = g.attr("np", "fromfile")(path_text(fpath), py::arg("dtype") = g.attr("np", "uint8"));
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        return not_read(self, fpath, stamp, e);
    }
    read_again(self);
    const auto header = header_of(data);
    if (header) {
        py::int_ width(header->width), height(header->height);
        if (interop::gt(width * height, cap)) {
            return set_aside(self, fpath, py::str(texts::kTooManyPixels).format(width, height, cap));
        }
        if (!header->complete) {
            interop::log(g.get("logger"), interop::kDebug, texts::kIncompleteRead,
                         py::make_tuple(texts::kIncomplete, fpath));
            return not_yet(self, fpath, py::reinterpret_borrow<py::object>(stamp), py::str(texts::kIncomplete), true);
        }
    }
    py::object image;
    try {
        image = decode(data);
    } catch (py::error_already_set &e) {
        // Guarded as the read is: a host's decoder that raises the host's OSError (access refused, no
        // descriptor free) must not end the receive loop.
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        return not_read(self, fpath, stamp, e);
    }
    if (image.is_none()) {
        return failed(self, fpath, stamp, py::str(texts::kUndecodable));
    }
    return taken(self, fpath, image);
}

}  // namespace

py::object consume(py::object self, py::object fpath) {
    if (!interop::truth(self.attr("_is_ready")(fpath))) {
        return py::bool_(false);
    }
    py::str key = path_text(fpath);
    py::object cap = interop::to_int(param(self, "max_pixels"));
    py::object st;
    try {
        st = fpath.attr("stat")();
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        return not_read(self, fpath, py::none(), e);
    }
    py::object size = st.attr("st_size");
    py::tuple stamp = py::make_tuple(size, st.attr("st_mtime_ns"));
    // 8 bytes a pixel is 16-bit RGBA stored raw, the most any accepted format needs, plus room for
    // headers and metadata: a larger file holds no image the cap admits, and is not read at all.
    if (interop::gt(size, cap * py::int_(8) + py::int_(65536))) {
        return set_aside(self, fpath, py::str(texts::kTooManyBytes).format(size, cap));
    }
    py::object last = self.attr("_attempts").attr("get")(key);
    if (!last.is_none() && interop::truth(last[py::int_(2)]) && same_stamp(last, stamp)) {
        // Found incomplete and unchanged since: reading it again would find the same.
        return not_yet(self, fpath, stamp, py::str(texts::kIncomplete), true);
    }
    return read_checked(self, fpath, stamp, cap);
}

py::bool_ decode_failed(py::object self, py::object fpath, py::object reason) {
    py::str key = path_text(fpath);
    py::object fails = self.attr("_decode_fails");
    py::object count = fails.attr("get")(key, py::int_(0)) + py::int_(1);
    fails[key] = count;
    py::object limit = interop::to_int(param(self, "max_decode_retries"));
    py::object logger = globals().get("logger");
    if (interop::ge(count, limit)) {
        interop::log(logger, interop::kWarning, texts::kExcluded, py::make_tuple(reason, count, fpath));
        self.attr("_seen").attr("add")(key);
    } else {
        interop::log(logger, interop::kDebug, texts::kRetry,
                     py::make_tuple(reason, count, limit, fpath));
    }
    self.attr("_sizes").attr("pop")(key, py::none());
    return py::bool_(false);
}

}  // namespace qorva::dropnest
