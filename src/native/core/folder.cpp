#include "core/folder.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>  // rename
#include <dirent.h>
#include <fcntl.h>  // fstatat, AT_FDCWD
#include <sys/stat.h>
#include <unistd.h>  // link, unlink
#ifdef __linux__
#include <sys/syscall.h>
#endif
#endif

namespace qorva::core::fs {

#ifdef _WIN32

namespace {

// The host converts FILETIME exactly this way (100 ns ticks since 1601), so equal files compare equal.
double filetime_seconds(const FILETIME &ft) {
    const long long ticks = (static_cast<long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr long long kEpochDelta = 11644473600LL;
    const long long sec = ticks / 10000000 - kEpochDelta;
    const int nsec = static_cast<int>(ticks % 10000000) * 100;
    return static_cast<double>(sec) + static_cast<double>(nsec) * 1e-9;
}

bool is_dot_entry(const wchar_t *name) {
    return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

bool ends_with_separator(const NativeString &p) {
    return !p.empty() && (p.back() == L'\\' || p.back() == L'/' || p.back() == L':');
}

}  // namespace

Folder::Folder(const NativeString &path) : path_(path) {
    if (!ends_with_separator(path_)) {
        path_ += L'\\';
    }
}

Folder::~Folder() = default;

int Folder::list(std::vector<DirEntry> &out) {
    const NativeString pattern = path_ + L"*.*";
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        // A drive root without entries answers "not found"; the host lists it as empty too.
        return err == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(err);
    }
    do {
        if (is_dot_entry(data.cFileName)) {
            continue;
        }
        EntryKind kind = EntryKind::regular;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            kind = EntryKind::probe;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            kind = EntryKind::other;
        }
        out.push_back(DirEntry{NativeString(data.cFileName), kind});
    } while (FindNextFileW(h, &data));
    const DWORD err = GetLastError();
    FindClose(h);
    return err == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(err);
}

int Folder::stat(const NativeString &name, FileStatus &out) const {
    const NativeString path = path_ + name;
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD err = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok) {
        return static_cast<int>(err);
    }
    out.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    out.mtime = filetime_seconds(info.ftLastWriteTime);
    return 0;
}

int Folder::entry(const NativeString &name, EntryKind &kind, FileStatus &out) const {
    const DWORD attrs = GetFileAttributesW((path_ + name).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        return static_cast<int>(GetLastError());
    }
    // The listing's own classification of the same attributes.
    kind = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::probe
           : (attrs & FILE_ATTRIBUTE_DIRECTORY)   ? EntryKind::other
                                                  : EntryKind::regular;
    out = FileStatus{};
    if (kind == EntryKind::other) {
        return 0;
    }
    const int err = stat(name, out);
    return err != 0 && kind == EntryKind::probe && is_absent_error(err) ? 0 : err;
}

bool is_absent_error(int err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_INVALID_HANDLE:
        case ERROR_DIRECTORY:
        case ERROR_NOT_READY:
        case ERROR_INVALID_NAME:
        case ERROR_CANT_RESOLVE_FILENAME:
            return true;
        default:
            return false;
    }
}

int rename_noreplace(const NativeString &from, const NativeString &to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is an error, never replaced.
    return MoveFileExW(from.c_str(), to.c_str(), 0) ? 0 : static_cast<int>(GetLastError());
}

#else  // POSIX

namespace {

void status_of(const struct stat &st, FileStatus &out) {
    out.regular = S_ISREG(st.st_mode);
#if defined(__APPLE__)
    const long nsec = st.st_mtimespec.tv_nsec;
#else
    const long nsec = st.st_mtim.tv_nsec;
#endif
    // The host's own formula, so that ties and order match what os.stat shows.
    out.mtime = static_cast<double>(st.st_mtime) + static_cast<double>(static_cast<unsigned long>(nsec)) * 1e-9;
}

}  // namespace

Folder::Folder(const NativeString &path) : path_(path) {
    dir_ = opendir(path.c_str());
    if (dir_ == nullptr) {
        error_ = errno;
    }
}

Folder::~Folder() {
    if (dir_ != nullptr) {
        closedir(static_cast<DIR *>(dir_));
    }
}

int Folder::list(std::vector<DirEntry> &out) {
    DIR *dir = static_cast<DIR *>(dir_);
    if (dir == nullptr) {
        return error_;
    }
    for (;;) {
        errno = 0;
        const dirent *ent = readdir(dir);
        if (ent == nullptr) {
            return errno;
        }
        const char *n = ent->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) {
            continue;
        }
        EntryKind kind = EntryKind::probe;
#ifdef DT_UNKNOWN
        if (ent->d_type == DT_REG) {
            kind = EntryKind::regular;
        } else if (ent->d_type != DT_LNK && ent->d_type != DT_UNKNOWN) {
            kind = EntryKind::other;
        }
#endif
        out.push_back(DirEntry{NativeString(n), kind});
    }
}

int Folder::stat(const NativeString &name, FileStatus &out) const {
    struct stat st;
    if (dir_ == nullptr) {
        return error_;
    }
    if (::fstatat(dirfd(static_cast<DIR *>(dir_)), name.c_str(), &st, 0) != 0) {
        return errno;
    }
    status_of(st, out);
    return 0;
}

int Folder::entry(const NativeString &name, EntryKind &kind, FileStatus &out) const {
    struct stat st;
    if (dir_ == nullptr) {
        return error_;
    }
    out = FileStatus{};
    if (::fstatat(dirfd(static_cast<DIR *>(dir_)), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (S_ISLNK(st.st_mode)) {
        kind = EntryKind::probe;
        const int err = stat(name, out);
        return err != 0 && is_absent_error(err) ? 0 : err;  // dangling: there, but no regular file
    }
    kind = S_ISREG(st.st_mode) ? EntryKind::regular : EntryKind::other;
    status_of(st, out);
    return 0;
}

bool is_absent_error(int err) { return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP; }

int rename_noreplace(const NativeString &from, const NativeString &to) {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE, which older C libraries do not declare
    if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {  // else the file system cannot: NFS, SMB, older kernels
        return errno;
    }
#endif
    // A hard link fails where the target exists; then the first name goes.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK) {
        return errno;
    }
    // File systems without hard links (FAT, some shares): test, then rename; only a writer racing
    // for the same name between the two could be replaced.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        return EEXIST;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

#endif

}  // namespace qorva::core::fs
