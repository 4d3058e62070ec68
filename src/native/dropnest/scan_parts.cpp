// The parts of _scan that both of its ways share: suffix test, path texts, Path objects, warnings.
// Mirrors tests/reference/camera.py: DropnestCamera._scan.
#include "dropnest/scan_parts.hpp"

#include <string_view>

#include "core/arrival.hpp"
#include "dropnest/texts.hpp"

namespace qorva::dropnest::scanning {

namespace fs = core::fs;
namespace arrival = core::arrival;

Suffixes suffixes_of(py::object exts) {
    Suffixes s{exts, false, {}};
    if (!PyAnySet_CheckExact(exts.ptr())) {
        return s;  // a host container: membership is its own business
    }
    for (py::handle item : exts) {
        if (!PyUnicode_CheckExact(item.ptr())) {
            return s;
        }
        s.items.insert(interop::to_str(item));
    }
    s.native = true;
    return s;
}

bool native_verdict(const Suffixes &sx, const NativeString &name, bool &in) {
    if (!sx.native) {
        return false;
    }
    const auto suffix = arrival::ascii_lower_suffix(std::basic_string_view<fs::NativeChar>(name));
    if (suffix) {
        in = sx.items.count(*suffix) != 0;
    }
    return suffix.has_value();
}

bool host_accepts(const NativeString &entry, const py::object &exts) {
    const std::basic_string_view<fs::NativeChar> name(entry);
    const std::size_t i = arrival::suffix_start(name);
    py::str suffix = i == name.npos ? py::str("") : from_native(name.substr(i));
    return interop::contains(exts, interop::lower(suffix));
}

// Logs the listing failure the way a pathlib scan would see it, as the host's OSError: when the
// folder becomes unlistable, then at most once a minute (not on each of 10 polls a second).
void warn_unlistable(py::handle self, int err, py::handle filename) {
    py::object now = globals().attr("time", "time")();
    py::object last = self.attr("_unlisted");
    if (!last.is_none()) {
        py::object since = now - last;
        if (interop::ge(since, py::int_(0)) && interop::lt(since, py::int_(60))) {
            return;
        }
    }
    try {
        interop::throw_os_error(err, filename);
    } catch (py::error_already_set &e) {
        interop::log(globals().get("logger"), interop::kWarning, texts::kCannotList,
                     py::make_tuple(e.value()));
    }
    self.attr("_unlisted") = now;
}

void note_listed(py::handle self, py::handle folder) {
    if (!self.attr("_unlisted").is_none()) {
        self.attr("_unlisted") = py::none();
        interop::log(globals().get("logger"), interop::kWarning, texts::kListedAgain, py::make_tuple(folder));
    }
}

Where where_of(py::object folder) {
    // Asking pathlib for a child's text once keeps every special case of its joining
    // (".", "/", drive roots) without restating them.
    py::str child = path_text(folder / py::str("x"));
    PyObject *head = PyUnicode_Substring(child.ptr(), 0, PyUnicode_GET_LENGTH(child.ptr()) - 1);
    if (head == nullptr) {
        throw py::error_already_set();
    }
    py::str prefix = py::reinterpret_steal<py::str>(head);
    Where w{folder, prefix, native_text(prefix), false};
    w.bytes_join = interop::eq(from_native(w.native), prefix);
    return w;
}

py::str text_of(const Where &w, const NativeString &name, NativeString &buf) {
    if (!w.bytes_join) {
        PyObject *joined = PyUnicode_Concat(w.prefix.ptr(), from_native(name).ptr());
        if (joined == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::str>(joined);
    }
    buf.resize(w.native.size());
    buf.append(name);
    return from_native(buf);
}

// pathlib's own child constructor, the one iterdir uses, costs a third of `folder / name`
// with the same result; it is taken only while the folder's class keeps pathlib's `/`.
py::object child_maker(py::handle folder) {
    py::object own = py::type::handle_of(folder).attr("__truediv__");
    py::object stock = interop::lookup("pathlib", "PurePath").attr("__truediv__");
    if (!own.is(stock) || !py::hasattr(folder, "_make_child_relpath")) {
        return py::none();
    }
    return folder.attr("_make_child_relpath");
}

std::u32string code_points(py::handle s) {
    Py_UCS4 *ucs = PyUnicode_AsUCS4Copy(s.ptr());
    if (ucs == nullptr) {
        throw py::error_already_set();
    }
    std::u32string out(reinterpret_cast<const char32_t *>(ucs), static_cast<size_t>(PyUnicode_GET_LENGTH(s.ptr())));
    PyMem_Free(ucs);
    return out;
}

}  // namespace qorva::dropnest::scanning
