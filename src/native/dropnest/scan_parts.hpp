// What the two ways of answering _scan share: listing the folder (scan.cpp) and keeping its listing
// from change notifications (notified.cpp). The filter, the path texts and the Path objects are the
// same Python operations either way.
#pragma once

#include <optional>
#include <string>
#include <unordered_set>

#include "core/folder.hpp"
#include "dropnest/camera_class.hpp"

namespace qorva::dropnest::scanning {

using core::fs::NativeString;

#ifdef _WIN32
inline py::str from_native(std::wstring_view s) { return interop::from_wide(s); }
#else
inline py::str from_native(std::string_view s) { return interop::fs_decode(s); }
#endif

// The accepted suffixes as plain strings, usable without Python while every item is a str.
struct Suffixes {
    py::object set;
    bool native = false;
    std::unordered_set<std::string> items;
};
Suffixes suffixes_of(py::object exts);
// Whether the suffix test leaves no doubt without Python: true with the verdict in `in`.
bool native_verdict(const Suffixes &sx, const NativeString &name, bool &in);
// suffix.lower() in exts, by the host.
bool host_accepts(const NativeString &name, const py::object &exts);
inline bool accepted(const Suffixes &sx, const NativeString &name) {
    bool in = false;
    return native_verdict(sx, name, in) ? in : host_accepts(name, sx.set);
}

// The folder's path text and its children's, built as pathlib builds them.
struct Where {
    py::object folder;
    py::str prefix;           // str(folder / name) == prefix + name
    NativeString native;      // the same prefix as the OS takes it
    bool bytes_join = false;  // decoding native + name gives prefix + name exactly
};
Where where_of(py::object folder);
py::str text_of(const Where &w, const NativeString &name, NativeString &buf);

// The Path objects of the result: folder / name, through pathlib's own child constructor when it may.
py::object child_maker(py::handle folder);
std::u32string code_points(py::handle s);

// Listing failures and recovery, logged alike whichever way the pass went.
void warn_unlistable(py::handle self, int err, py::handle filename);
void note_listed(py::handle self, py::handle folder);

// The pass answered from the folder's change notification (notified.cpp); none where the folder must
// be listed (notification off, unavailable, a network file system, a read that failed).
std::optional<py::list> notified_scan(py::handle self, const py::object &folder, const py::str &listed_text,
                                      const Suffixes &sx);
// Ends the notification and drops the listing it kept: `notify` off, or the camera reopened or closed.
void forget_watch(py::handle self);

}  // namespace qorva::dropnest::scanning
