// The operating system's folder listing and file status, with no Python in sight, so the
// scan can run them with the GIL released.
#pragma once

#include <string>
#include <vector>

namespace qorva::dropnest::fs {

#ifdef _WIN32
using NativeString = std::wstring;  // UTF-16, as the Win32 wide calls take it
#else
using NativeString = std::string;   // bytes, as os.fsencode gives them
#endif
using NativeChar = NativeString::value_type;

enum class EntryKind : unsigned char {
    regular,  // the listing says regular file
    other,    // the listing says directory, device, ...
    probe,    // a link or an unknown type: only a status query following links can tell
};

struct DirEntry {
    NativeString name;
    EntryKind kind;
};

struct FileStatus {
    bool regular = false;
    double mtime = 0.0;  // as os.stat's st_mtime: seconds + nanoseconds * 1e-9
};

// Appends the entries of `folder` (without "." and ".."); returns 0 or the OS error code
// (errno on POSIX, the Win32 error on Windows).
int list_dir(const NativeString &folder, std::vector<DirEntry> &out);

// Status of `path`, following links; returns 0 or the OS error code.
int stat_path(const NativeString &path, FileStatus &out);

// The errors for which Path.is_file() answers "not a regular file" instead of raising.
bool is_absent_error(int err);

}  // namespace qorva::dropnest::fs
