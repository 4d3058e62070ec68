// Change notification of one folder, the second half of the platform interface of folder.hpp:
// inotify on Linux, ReadDirectoryChangesW on Windows, nothing elsewhere (the caller then lists).
#include "core/folder.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__linux__)
#include <cerrno>
#include <cstdint>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

namespace qorva::core::fs {

bool notifies_linux(unsigned long long f_type) {
    // statfs(2) magic numbers of the file systems whose contents change without the local kernel seeing it.
    constexpr unsigned long long kElsewhere[] = {
        0x6969,      // NFS
        0x517B,      // SMB (smbfs)
        0xFF534D42,  // CIFS
        0xFE534D42,  // SMB2 (the kernel's SMB3 client)
        0x65735546,  // FUSE: sshfs, virtiofs, rclone, any user-space file system
        0x01021997,  // 9P (virtual machine shares, WSL)
        0x00C36400,  // Ceph
        0x5346414F,  // OpenAFS
        0x6B414653,  // kAFS
        0x73757245,  // Coda
        0x564C,      // NCP (NetWare)
        0x01161970,  // GFS2 (shared-disk cluster: other nodes write unseen)
        0x7461636F,  // OCFS2 (likewise)
        0x0BD00BD0,  // Lustre
    };
    for (unsigned long long magic : kElsewhere) {
        if (f_type == magic) {
            return false;
        }
    }
    return true;
}

bool notifies_windows(unsigned drive_type, std::wstring_view fs_name) {
    // DRIVE_REMOVABLE 2, DRIVE_FIXED 3, DRIVE_RAMDISK 6; DRIVE_REMOTE (4) is a share, whose redirector
    // reports only what its server chooses to. Local volumes whose file system is not one of Windows' own
    // (a user-space file system mounted as a fixed drive) are listed too.
    if (drive_type != 2 && drive_type != 3 && drive_type != 6) {
        return false;
    }
    for (std::wstring_view own : {L"NTFS", L"ReFS", L"FAT", L"FAT32", L"exFAT"}) {
        if (fs_name == own) {
            return true;
        }
    }
    return false;
}

#if defined(__linux__)

struct Watch::Impl {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

namespace {

// Self events end the watch; an event on the folder itself without a name (its attributes, which may
// make it unlistable) calls for a listing, as does a lost event.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

Watch::Watch(const NativeString &path) : impl_(std::make_unique<Impl>()) {
    struct statfs sfs;
    struct stat before, after;
    if (::statfs(path.c_str(), &sfs) != 0 || ::stat(path.c_str(), &before) != 0) {
        return;
    }
    if (!notifies_linux(static_cast<unsigned long long>(sfs.f_type))) {
        state_ = WatchState::remote;
        return;
    }
    impl_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (impl_->fd < 0 || ::inotify_add_watch(impl_->fd, path.c_str(), kMask) < 0 ||
        ::stat(path.c_str(), &after) != 0) {
        return;
    }
    // Replaced while the watch was being added: which folder it watches is unknown.
    if (before.st_dev != after.st_dev || before.st_ino != after.st_ino) {
        return;
    }
    impl_->dev = after.st_dev;
    impl_->ino = after.st_ino;
    state_ = WatchState::watching;
}

Watch::~Watch() {
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
    }
}

void Watch::read(Changes &out) {
    if (state_ != WatchState::watching) {
        out.broken = true;
        return;
    }
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(impl_->fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            out.broken = out.broken || (n < 0 && errno != EAGAIN);
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                out.broken = true;
            } else if (ev->mask & IN_Q_OVERFLOW || ev->len == 0) {
                out.relist = true;
            } else {
                out.names.emplace_back(ev->name);  // NUL-padded to its length
            }
        }
    }
}

bool Watch::names_it(const NativeString &path) const {
    struct stat st;
    return state_ == WatchState::watching && ::stat(path.c_str(), &st) == 0 && st.st_dev == impl_->dev &&
           st.st_ino == impl_->ino;
}

#elif defined(_WIN32)

struct Watch::Impl {
    HANDLE dir = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    bool pending = false;
    BY_HANDLE_FILE_INFORMATION id{};
    // Local volumes take up to 64 KiB of events between two reads (about 1,000 file names);
    // more overflow, which reads as "list again".
    alignas(DWORD) unsigned char buf[64 * 1024];

    bool issue() {
        constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                  FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                  FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                                  FILE_NOTIFY_CHANGE_SECURITY;
        ResetEvent(ov.hEvent);
        pending = ReadDirectoryChangesW(dir, buf, sizeof buf, FALSE, kFilter, nullptr, &ov, nullptr) != 0;
        return pending;
    }
};

namespace {

bool file_id(const NativeString &path, BY_HANDLE_FILE_INFORMATION &out) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const BOOL ok = GetFileInformationByHandle(h, &out);
    CloseHandle(h);
    return ok != 0;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool local_volume(const NativeString &path) {
    wchar_t volume[MAX_PATH + 1];
    wchar_t fs_name[MAX_PATH + 1];
    if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fs_name, MAX_PATH + 1)) {
        return false;
    }
    return notifies_windows(GetDriveTypeW(volume), fs_name);
}

}  // namespace

Watch::Watch(const NativeString &path) : impl_(std::make_unique<Impl>()) {
    if (!local_volume(path)) {
        state_ = WatchState::remote;
        return;
    }
    Impl &w = *impl_;
    w.dir = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (w.dir == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(w.dir, &w.id)) {
        return;
    }
    w.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (w.ov.hEvent != nullptr && w.issue()) {
        state_ = WatchState::watching;
    }
}

Watch::~Watch() {
    Impl &w = *impl_;
    if (w.pending) {
        DWORD n = 0;
        CancelIoEx(w.dir, &w.ov);
        GetOverlappedResult(w.dir, &w.ov, &n, TRUE);  // the buffer must outlive the request
    }
    if (w.ov.hEvent != nullptr) {
        CloseHandle(w.ov.hEvent);
    }
    if (w.dir != INVALID_HANDLE_VALUE) {
        CloseHandle(w.dir);
    }
}

void Watch::read(Changes &out) {
    Impl &w = *impl_;
    // Each completed request is parsed and a new one issued; the system queues what happens between.
    while (state_ == WatchState::watching && w.pending) {
        DWORD n = 0;
        if (!GetOverlappedResult(w.dir, &w.ov, &n, FALSE)) {
            const DWORD err = GetLastError();
            if (err == ERROR_IO_INCOMPLETE) {
                return;
            }
            w.pending = false;
            if (err != ERROR_NOTIFY_ENUM_DIR) {  // the system's own "too much changed: enumerate"
                break;
            }
            out.relist = true;
        } else if (n == 0) {
            out.relist = true;  // the buffer overflowed
        }
        for (DWORD at = 0; n != 0;) {
            const auto *info = reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(w.buf + at);
            NativeString name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            // An 8.3 short name (PROGRA~1) may stand for a name the listing shows differently.
            if (name.find(L'~') != NativeString::npos) {
                out.relist = true;
            }
            out.names.push_back(std::move(name));
            if (info->NextEntryOffset == 0) {
                break;
            }
            at += info->NextEntryOffset;
        }
        w.pending = false;
        w.issue();
    }
    out.broken = true;  // a request failed, or none could be issued: the handle is no longer usable
}

bool Watch::names_it(const NativeString &path) const {
    BY_HANDLE_FILE_INFORMATION now;
    return state_ == WatchState::watching && file_id(path, now) && same_file(now, impl_->id);
}

#else  // no notification: every pass lists

struct Watch::Impl {};

Watch::Watch(const NativeString &) : impl_(std::make_unique<Impl>()) {}
Watch::~Watch() = default;
void Watch::read(Changes &out) { out.broken = true; }
bool Watch::names_it(const NativeString &) const { return false; }

#endif

}  // namespace qorva::core::fs
