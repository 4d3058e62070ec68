// The operating system's folder listing and file status, with no Python in sight, so the
// scan can run them with the GIL released.
#pragma once

#include <memory>
#include <string>
#include <string_view>
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
    // The kind of the entry `name` itself (a link is `probe`) and, unless it is `other`, the status of
    // what it leads to (a dangling link: not regular); returns 0 or the OS error code of either query.
    int entry(const NativeString &name, EntryKind &kind, FileStatus &out) const;

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

// --- change notification ------------------------------------------------------------------------

// Whether a file system reports every change to a local watcher. Network and user-space file systems
// do not: a change made by another client of the share, or by the daemon itself, raises no event here.
bool notifies_linux(unsigned long long f_type);                         // statfs f_type
bool notifies_windows(unsigned drive_type, std::wstring_view fs_name);  // GetDriveType, GetVolumeInformation

enum class WatchState : unsigned char {
    watching,     // changes are reported
    remote,       // a network or user-space file system: the folder must be listed
    unavailable,  // no notification on this platform, or the system refused one (limits, a missing folder)
};

// What happened in a watched folder since the last read.
struct Changes {
    bool relist = false;  // events were lost (overflow), or the folder itself changed: list it again
    bool broken = false;  // the watch has ended (folder removed, moved, unmounted): make a new one
    std::vector<NativeString> names;  // entries that may have changed, repeats included
};

// The operating system's change notification on one folder (inotify, ReadDirectoryChangesW).
class Watch {
public:
    explicit Watch(const NativeString &path);
    ~Watch();
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

    WatchState state() const { return state_; }
    // Appends what happened since the last call, without waiting.
    void read(Changes &out);
    // Whether `path` still names the watched folder: false once it was removed, moved away, replaced
    // or mounted over, or cannot be reached.
    bool names_it(const NativeString &path) const;

private:
    struct Impl;
    WatchState state_ = WatchState::unavailable;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qorva::core::fs
