// The operating system's folder listing and file status, with no Python in sight, so the
// scan can run them with the GIL released.
#pragma once

#include <string>
#include <vector>

namespace qorva::core::fs {

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

// An open folder: its entries, and the status of an entry by name. Status queries go
// through the open handle, so each costs one name lookup rather than a walk of the path.
class Folder {
public:
    explicit Folder(const NativeString &path);
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // 0, or the OS error code of opening (errno on POSIX, the Win32 error on Windows).
    int error() const { return error_; }
    // Appends the entries (without "." and ".."); returns 0 or the OS error code. Once per Folder.
    int list(std::vector<DirEntry> &out);
    // Status of the entry `name`, following links; returns 0 or the OS error code.
    int stat(const NativeString &name, FileStatus &out) const;

private:
    NativeString path_;
    int error_ = 0;
#ifndef _WIN32
    void *dir_ = nullptr;  // the DIR stream; its descriptor serves the status queries
#endif
};

// The errors for which Path.is_file() answers "not a regular file" instead of raising.
bool is_absent_error(int err);

// Renames `from` to `to` (in the same folder) unless something exists at `to`: 0, or the OS error
// code (EEXIST, ERROR_ALREADY_EXISTS when the name is taken). A plain rename replaces on POSIX.
int rename_noreplace(const NativeString &from, const NativeString &to);

}  // namespace qorva::core::fs
