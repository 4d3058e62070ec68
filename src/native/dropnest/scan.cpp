// _scan: the candidate files of one pass, oldest arrival first.
// Mirrors tests/reference/camera.py: DropnestCamera._scan.
//
// Runs on every poll over folders of thousands of kept files, so the listing, the type
// test and the common suffix test run natively with the GIL released; Python objects are
// made only for entries that pass them.
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "dropnest/camera_class.hpp"
#include "core/folder.hpp"
#include "dropnest/members.hpp"
#include "dropnest/texts.hpp"
#include "core/arrival.hpp"

namespace qorva::dropnest {

namespace {

namespace fs = core::fs;
namespace arrival = core::arrival;
using fs::NativeString;

NativeString to_native(py::handle text) { return native_text(text); }
#ifdef _WIN32
py::str from_native(std::wstring_view s) { return interop::from_wide(s); }
#else
py::str from_native(std::string_view s) { return interop::fs_decode(s); }
#endif

// The accepted suffixes as plain strings, usable without Python while every item is a str.
struct Suffixes {
    py::object set;
    bool native = false;
    std::unordered_set<std::string> items;
};

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

struct Kept {
    NativeString name;
    bool host_suffix;  // the suffix is not ASCII (or the set is not plain): the host must test it
};

struct Listing {
    int err = 0;
    NativeString err_name;  // empty: the folder itself failed
    std::vector<Kept> kept;
};

// Type test, then suffix test, as the listing reports the entries. No Python here.
Listing list_kept(fs::Folder &dir, const Suffixes &sx) {
    Listing out;
    std::vector<fs::DirEntry> entries;
    out.err = dir.error() != 0 ? dir.error() : dir.list(entries);
    if (out.err != 0) {
        return out;
    }
    for (fs::DirEntry &e : entries) {
        if (e.kind == fs::EntryKind::other) {
            continue;
        }
        if (e.kind == fs::EntryKind::probe) {
            fs::FileStatus st;
            const int err = dir.stat(e.name, st);
            if (err != 0 && !fs::is_absent_error(err)) {
                out.err = err;
                out.err_name = e.name;
                return out;
            }
            if (err != 0 || !st.regular) {
                continue;
            }
        }
        if (sx.native) {
            const auto suffix = arrival::ascii_lower_suffix(std::basic_string_view<fs::NativeChar>(e.name));
            if (suffix) {
                if (sx.items.count(*suffix) != 0) {
                    out.kept.push_back(Kept{std::move(e.name), false});
                }
                continue;
            }
        }
        out.kept.push_back(Kept{std::move(e.name), true});
    }
    return out;
}

bool host_accepts(const Kept &k, const py::object &exts) {
    const std::basic_string_view<fs::NativeChar> name(k.name);
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

struct Where {
    py::object folder;
    py::str prefix;           // str(folder / name) == prefix + name
    NativeString native;      // the same prefix as the OS takes it
    bool bytes_join = false;  // decoding native + name gives prefix + name exactly
};

Where where_of(py::object folder) {
    // Asking pathlib for a child's text once keeps every special case of its joining
    // (".", "/", drive roots) without restating them.
    py::str child = path_text(folder / py::str("x"));
    PyObject *head = PyUnicode_Substring(child.ptr(), 0, PyUnicode_GET_LENGTH(child.ptr()) - 1);
    if (head == nullptr) {
        throw py::error_already_set();
    }
    py::str prefix = py::reinterpret_steal<py::str>(head);
    Where w{folder, prefix, to_native(prefix), false};
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

using Candidate = NativeString;  // the entry's name

std::vector<Candidate> unseen(const Where &w, std::vector<Kept> &kept, const Suffixes &sx, py::handle seen) {
    std::vector<Candidate> out;
    NativeString buf = w.native;
    for (Kept &k : kept) {
        if (k.host_suffix && !host_accepts(k, sx.set)) {
            continue;
        }
        if (!interop::contains(seen, text_of(w, k.name, buf))) {
            out.push_back(std::move(k.name));
        }
    }
    return out;
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

// Modification times of cands[lo, hi); false as soon as one cannot be read.
bool read_mtimes_range(const fs::Folder &dir, const std::vector<Candidate> &cands, std::vector<arrival::Arrival> &items,
                       std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
        fs::FileStatus st;
        if (dir.stat(cands[i], st) != 0) {
            return false;
        }
        items[i].mtime = st.mtime;
    }
    return true;
}

// A backlog costs one status query per file, the bulk of the scan where a query is a slow
// system call (virtual machines, network shares); two threads halve it on a spare core.
bool read_mtimes(const fs::Folder &dir, const std::vector<Candidate> &cands, std::vector<arrival::Arrival> &items) {
    constexpr std::size_t kSplitFrom = 512;
    const std::size_t n = cands.size();
    if (n < kSplitFrom || std::thread::hardware_concurrency() < 2) {
        return read_mtimes_range(dir, cands, items, 0, n);
    }
    bool upper = true;
    std::thread helper;
    try {
        helper = std::thread([&] { upper = read_mtimes_range(dir, cands, items, n / 2, n); });
    } catch (const std::system_error &) {
        return read_mtimes_range(dir, cands, items, 0, n);  // no thread to spare: one is enough
    }
    const bool lower = read_mtimes_range(dir, cands, items, 0, n / 2);
    helper.join();
    return lower && upper;
}

// Arrival order; a status that cannot be read (the file moved away after the listing)
// drops the time key for the whole list, never a file.
py::list in_arrival_order(const Where &w, const fs::Folder &dir, std::vector<Candidate> &cands) {
    std::vector<arrival::Arrival> items(cands.size());
    std::vector<py::str> names;
    names.reserve(cands.size());
    for (std::size_t i = 0; i < cands.size(); ++i) {
        names.push_back(from_native(cands[i]));
        items[i].name = code_points(names.back());
        items[i].index = i;
    }
    std::vector<std::size_t> order;
    {
        py::gil_scoped_release unlocked;
        const bool by_time = read_mtimes(dir, cands, items);
        order = arrival::arrival_order(std::move(items), by_time);
    }
    py::object child = child_maker(w.folder);
    py::list out(cands.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        out[k] = child.is_none() ? w.folder / names[order[k]] : child(names[order[k]]);
    }
    return out;
}

}  // namespace

py::list scan(py::object self) {
    py::object folder = self.attr("_folder");
    if (folder.is_none()) {
        interop::throw_assertion();
    }
    const Suffixes sx = suffixes_of(self.attr("_extensions"));
    py::str listed_text = path_text(folder);
    const NativeString listed = to_native(listed_text);
    std::optional<fs::Folder> dir;
    Listing listing;
    {
        py::gil_scoped_release unlocked;
        dir.emplace(listed);
        listing = list_kept(*dir, sx);
    }
    if (listing.err == 0) {
        note_listed(self, folder);
    }
    if (listing.err == 0 && listing.kept.empty()) {
        return py::list();  // the idle case: no Python object made beyond that check
    }
    const Where w = where_of(folder);
    if (listing.err != 0) {
        NativeString buf = w.native;
        py::object filename =
            listing.err_name.empty() ? py::object(listed_text) : py::object(text_of(w, listing.err_name, buf));
        warn_unlistable(self, listing.err, filename);
        return py::list();
    }
    std::vector<Candidate> cands = unseen(w, listing.kept, sx, self.attr("_seen"));
    return in_arrival_order(w, *dir, cands);
}

}  // namespace qorva::dropnest
