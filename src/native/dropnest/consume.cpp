// _consume and _decode_failed: read, decode, hand over, post-process; bounded retries.
// Mirrors tests/reference/camera.py: DropnestCamera._consume, DropnestCamera._decode_failed.
#include "dropnest/camera_class.hpp"
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"

namespace qorva::dropnest {

namespace {

enum class Outcome { decoded, refused, failed };

struct Attempt {
    Outcome outcome = Outcome::decoded;
    py::object image;  // the decoder's answer; None when it could not decode
    py::object reason;
};

Attempt read_and_decode(py::handle fpath) {
    const auto &g = globals();
    Attempt a;
    try {
        py::object data = g.attr("np", "fromfile")(path_text(fpath), py::arg("dtype") = g.attr("np", "uint8"));
        py::object cv2 = g.get("cv2");
        try {
            a.image = cv2.attr("imdecode")(data, cv2.attr("IMREAD_COLOR"));
        } catch (py::error_already_set &e) {
            // OpenCV raises on an empty buffer (a zero-length file); that is undecodable data
            // like any other, never a reason to end the receive loop.
            if (!interop::matches(e, cv2.attr("error"))) {
                throw;
            }
            a.image = py::none();
        }
    } catch (py::error_already_set &e) {
        if (interop::matches(e, PyExc_PermissionError)) {
            a.outcome = Outcome::refused;  // the writer still holds it; not a failure
            return a;
        }
        if (!interop::matches(e, PyExc_OSError)) {
            throw;
        }
        a.outcome = Outcome::failed;
        a.reason = py::str(texts::kCannotRead) + interop::to_pystr(e.value());
    }
    return a;
}

}  // namespace

py::object consume(py::object self, py::object fpath) {
    if (!interop::truth(self.attr("_is_ready")(fpath))) {
        return py::bool_(false);
    }
    Attempt a = read_and_decode(fpath);
    if (a.outcome == Outcome::refused) {
        return py::bool_(false);
    }
    // A subclass's _decode_failed answers for the file: its result is handed back untouched.
    if (a.outcome == Outcome::failed) {
        return self.attr("_decode_failed")(fpath, a.reason);
    }
    if (a.image.is_none()) {
        return self.attr("_decode_failed")(fpath, py::str(texts::kUndecodable));
    }
    py::str key = path_text(fpath);
    self.attr("_sizes").attr("pop")(key, py::none());
    self.attr("_decode_fails").attr("pop")(key, py::none());
    py::dict meta;
    meta["source_file"] = fpath.attr("name");
    meta["source_path"] = key;
    self.attr("_emit")(a.image, meta);
    self.attr("_dispose")(fpath);
    return py::bool_(true);
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
