// DropnestCamera: module globals, __init__, _prepare, _release, _after, _extensions and the class itself.
// Mirrors tests/reference/camera.py: DropnestCamera.__init__, _prepare, _release, _after, _extensions.
#include "dropnest/camera_class.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"

namespace qorva::dropnest {

namespace {

interop::Globals g_globals;
// The class as created at import, never released (lives as long as the module).
PyObject *g_class = nullptr;

constexpr const char *kSummary =
    "Folder-drop camera: images that other machines drop into a folder, consumed once, in arrival order.\n"
    "\n"
    "Parameters (params), defaults from _DEFAULTS:\n";

// The parameters the class documentation lists, in its order (max_decode_retries is left out, as the
// host's documentation of this camera always has). Each default is rendered from `_DEFAULTS`.
struct ParamDoc {
    const char *key;
    const char *type;
    const char *meaning;
    const char *when_none;  // what a None default means
};
constexpr ParamDoc kParamDocs[] = {
    {"path", "str", "monitored folder", "required"},
    {"ready_policy", "str", "\"stable\" | \"sentinel\" | \"none\"", nullptr},
    {"stable_ms", "float", "size unchanged for this long counts as complete", nullptr},
    {"sentinel_ext", "str", "completion marker suffix, img.png -> img.png.done", nullptr},
    {"poll_ms", "float", "rescan interval when nothing arrived", nullptr},
    {"after", "str", "\"move\" | \"delete\" | \"keep\"", nullptr},
    {"processed_dir", "str", "destination of moved files", "default <path>/_processed"},
    {"extensions", "list[str]", "accepted suffixes", "default _EXTS"},
    {"max_queue", "int", "receive buffer depth", nullptr},
    {"max_pixels", "int", "largest image taken, width x height; larger files are set aside", nullptr},
    {"notify", "bool", "learn of changes from the operating system instead of listing every poll", nullptr},
};

constexpr const char *kHeaderDoc =
    "(width, height, complete) that PNG, JPEG, BMP or TIFF data declares, read before decoding; None for\n"
    "other data. complete is False while the data ends before the image does (a file still being written\n"
    "or cut); width and height are then 0 when the data ends before they are declared.";
constexpr const char *kCopyDoc =
    "The move's copy across volumes: copy2 to a temporary name beside dst, then into place without\n"
    "replacing anything; the temporary copy is removed on failure. Returns dst.";

std::string class_doc(py::handle defaults) {
    std::string doc = kSummary;
    for (const ParamDoc &p : kParamDocs) {
        py::object value = defaults[py::str(p.key)];
        const std::string when = value.is_none() ? p.when_none : "default " + interop::to_str(py::repr(value));
        std::string head = std::string("    ") + p.key + ": " + p.type;
        head.resize(std::max<std::size_t>(head.size() + 1, 31), ' ');
        doc += head + p.meaning + " (" + when + ")\n";
    }
    return doc;
}

py::dict make_defaults() {
    py::dict d;
    d["path"] = py::none();
    d["ready_policy"] = py::str("stable");
    d["stable_ms"] = py::int_(300);
    d["sentinel_ext"] = py::str(".done");
    d["poll_ms"] = py::int_(100);
    d["after"] = py::str("move");
    d["processed_dir"] = py::none();
    d["extensions"] = py::none();
    d["max_queue"] = py::int_(4);  // read by the host's PushCamera, which has the same default
    d["max_decode_retries"] = py::int_(3);
    // The largest area-scan sensors of industrial cameras have about 246 MP (19200 x 12800), and
    // 151 MP (14204 x 10652) ones are common at the top end: 250 MP admits them all, decoded to
    // 750 MB of BGR, while a header declaring 30000 x 30000 (2.7 GB decoded) is refused.
    d["max_pixels"] = py::int_(250000000);
    // Listing a folder of 20,000 kept files ten times a second costs 17% of a core; the operating
    // system's change notification makes that nothing. Off for file systems that misreport changes.
    d["notify"] = py::bool_(true);
    return d;
}

// --- __init__, _prepare, _release -------------------------------------------------------

py::object init(py::object self, py::object params) {
    // super().__init__(params), with the class as defined, as a zero-argument super() resolves it.
    interop::lookup("builtins", "super")(camera_class(), self).attr("__init__")(params);
    self.attr("_folder") = py::none();
    self.attr("_processed_dir") = py::none();
    self.attr("_seen") = py::set();
    self.attr("_sizes") = py::dict();
    self.attr("_decode_fails") = py::dict();
    // Per file: (size, st_mtime_ns, incomplete, n) at its last unsuccessful attempt, where n counts
    // the consecutive attempts that found it unchanged and refused or incomplete.
    self.attr("_attempts") = py::dict();
    self.attr("_warned") = py::set();
    self.attr("_unlisted") = py::none();  // time of the last "cannot list" warning while unlistable
    self.attr("_starved") = py::none();   // time of the "out of file descriptors" warning, see consume.cpp
    self.attr("_watch") = py::none();     // the folder's change notification and the listing it keeps
    self.attr("_notified") = py::bool_(false);  // whether the last scan was answered from it
    return py::none();
}

void clear_records(py::handle self) {
    self.attr("_seen").attr("clear")();
    self.attr("_sizes").attr("clear")();
    self.attr("_decode_fails").attr("clear")();
    self.attr("_attempts").attr("clear")();
    self.attr("_warned").attr("clear")();
    self.attr("_unlisted") = py::none();
    self.attr("_starved") = py::none();
    self.attr("_watch") = py::none();
}

// Whether `test` holds, a value that float(), int() or the marker rule cannot take counting as not.
bool holds(const std::function<bool()> &test) {
    try {
        return test();
    } catch (py::error_already_set &e) {
        if (interop::matches(e, PyExc_TypeError) || interop::matches(e, PyExc_ValueError) ||
            interop::matches(e, PyExc_OverflowError)) {
            return false;
        }
        throw;
    }
}

void check_values(py::handle self, py::handle folder) {
    py::object error = globals().get("CameraError");
    for (const char *key : {"stable_ms", "poll_ms"}) {
        py::object value = param(self, key);
        if (!holds([&] { return std::isfinite(interop::to_float(value)); })) {
            interop::throw_py(error, py::str(texts::kNotFinite).format(key, value));
        }
    }
    py::object cap = param(self, "max_pixels");
    if (!holds([&] { return interop::gt(interop::to_int(cap), py::int_(0)); })) {
        interop::throw_py(error, py::str(texts::kBadCap).format(cap));
    }
    py::object ext = param(self, "sentinel_ext");
    const bool names_a_file = holds([&] {
        marker_of(self, folder / py::str("x.png"));
        return !interop::contains(interop::to_pystr(ext), py::str(std::string(1, '\0')));
    });
    if (!names_a_file) {
        interop::throw_py(error, py::str(texts::kBadMarker).format(ext));
    }
}

void prepare(py::object self) {
    const auto &g = globals();
    py::object raw = param(self, "path");
    if (!interop::truth(raw)) {
        interop::throw_py(g.get("CameraError"), texts::kPathRequired);
    }
    py::object folder = g.get("Path")(raw);
    if (!interop::truth(folder.attr("is_dir")())) {
        interop::throw_py(g.get("CameraError"), py::str(texts::kFolderNotFound).format(folder));
    }
    check_values(self, folder);
    self.attr("_folder") = folder;
    clear_records(self);
    if (interop::eq(self.attr("_after"), py::str("move"))) {
        py::object chosen = param(self, "processed_dir");
        if (!interop::truth(chosen)) {
            chosen = folder / py::str("_processed");
        }
        py::object processed = g.get("Path")(chosen);
        // Moving files into the folder they are taken from offers each of them again, forever.
        if (interop::truth(processed.attr("is_dir")()) && interop::truth(processed.attr("samefile")(folder))) {
            interop::throw_py(g.get("CameraError"), py::str(texts::kProcessedIsFolder).format(processed));
        }
        self.attr("_processed_dir") = processed;
        processed.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    }
}

void release(py::object self) {
    self.attr("_folder") = py::none();
    clear_records(self);
}

// --- derived settings -------------------------------------------------------------------

py::str after(py::object self) {
    return interop::lower(interop::to_pystr(param(self, "after")));
}

py::object extensions(py::object self) {
    py::object raw = param(self, "extensions");
    if (!interop::truth(raw)) {
        return globals().get("_EXTS");  // the set itself: readers only test membership
    }
    py::set out;
    const py::str dot(".");
    for (py::handle item : raw) {
        py::object ext = item.attr("lower")();
        if (interop::truth(ext.attr("startswith")(dot))) {
            out.add(ext);
        } else {
            py::object prefixed = py::reinterpret_steal<py::object>(PyNumber_Add(dot.ptr(), ext.ptr()));
            if (!prefixed) {
                throw py::error_already_set();
            }
            out.add(prefixed);
        }
    }
    return out;
}

}  // namespace

const interop::Globals &globals() { return g_globals; }

py::object camera_class() { return py::reinterpret_borrow<py::object>(g_class); }

py::str path_text(py::handle path) { return interop::to_pystr(path); }

bool first_warning(py::handle self, py::handle key) {
    py::object warned = self.attr("_warned");
    if (interop::contains(warned, key)) {
        return false;
    }
    warned.attr("add")(key);
    return true;
}

py::object param(py::handle self, const char *key) {
    py::object get = self.attr("params").attr("get");
    py::object fallback = g_globals.get("_DEFAULTS")[py::str(key)];
    return fallback.is_none() ? get(key) : get(key, fallback);
}

void init_globals(py::module_ &m) {
    g_globals.bind(m);
    const char *package = "qorva.io.camera";
    m.attr("logging") = interop::import("logging");
    m.attr("shutil") = interop::import("shutil");
    m.attr("time") = interop::import("time");
    m.attr("Path") = interop::lookup("pathlib", "Path");
    m.attr("Any") = interop::lookup("typing", "Any");
    m.attr("cv2") = interop::import("cv2");
    m.attr("np") = interop::import("numpy");
    m.attr("CameraError") = interop::import_from("base", "CameraError", package, 1);
    m.attr("PushCamera") = interop::import_from("push", "PushCamera", package, 1);
    m.attr("logger") = g_globals.attr("logging", "getLogger")("qorva.camera.dropnest");
    py::set exts;
    for (const char *e : {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}) {
        exts.add(py::str(e));
    }
    m.attr("_EXTS") = exts;
    m.attr("_DEFAULTS") = make_defaults();
    using interop::adapt;
    m.attr("_image_header") = interop::make_function(
        {"_image_header", kHeaderDoc, {"data"}, 1, {}, adapt<&image_header>});
    m.attr("_copy_into_place") = interop::make_function(
        {"_copy_into_place", kCopyDoc, {"src", "dst"}, 2, {}, adapt<&copy_into_place>});
}

void init_camera_class(py::module_ &m) {
    using interop::adapt;
    const std::string doc = class_doc(g_globals.get("_DEFAULTS"));
    interop::ClassBuilder cls("DropnestCamera", g_globals.get("PushCamera"), m.attr("__name__"), doc.c_str());
    // Plain signatures, so that hosts which introspect the members see them as defs.
    cls.method({"__init__", nullptr, {"self", "params"}, 2, {py::none()}, adapt<&init>})
        .method({"_prepare", nullptr, {"self"}, 1, {}, adapt<&prepare>})
        .method({"_release", nullptr, {"self"}, 1, {}, adapt<&release>})
        .property({"_after", "Post-processing mode: str(params['after']).lower(), 'move' by default.", {"self"}, 1,
                   {}, adapt<&after>})
        .property({"_extensions", "Accepted suffixes, lower case with a leading dot; _EXTS when 'extensions' is empty.",
                   {"self"}, 1, {}, adapt<&extensions>})
        .method({"_receive_loop", nullptr, {"self"}, 1, {}, adapt<&receive_loop>})
        .method({"_scan", nullptr, {"self"}, 1, {}, adapt<&scan>})
        .method({"_is_ready", nullptr, {"self", "fpath"}, 2, {}, adapt<&is_ready>})
        .method({"_consume", nullptr, {"self", "fpath"}, 2, {}, adapt<&consume>})
        .method({"_decode_failed", nullptr, {"self", "fpath", "reason"}, 3, {}, adapt<&decode_failed>})
        .method({"_dispose", nullptr, {"self", "fpath"}, 2, {}, adapt<&dispose>});
    py::object klass = cls.build();
    g_class = klass.inc_ref().ptr();
    m.attr("DropnestCamera") = klass;
}

}  // namespace qorva::dropnest
