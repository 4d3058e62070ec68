"""One consumer per drop folder: an exclusive advisory lock on a file inside it, naming its holder.

Two watchers on one folder judge the same files twice, since each camera takes a file before the other
has moved it. `FolderLock` locks one byte of `.qorva-watch.lock` in the folder and writes the holder's
pid, host and start time into the file, so a second watcher fails at once with one line naming the first.

The lock is a byte-range lock (`fcntl.lockf` on POSIX, `msvcrt.locking` on Windows) rather than `flock`:
byte-range locks reach the server on NFS (through the lock manager) and on SMB shares, where `flock` is
local to the client on many kernels and mount options, so two PCs on one share would not see each
other's lock; the `filelock` package uses `flock` on POSIX and so would not do better. The byte locked
lies far past the text, so the holder's details stay readable (Windows forbids reading locked bytes).
The file is never deleted: a watcher deleting it on exit could let the next two lock different files.
A lock is held by the process; two locks of one folder within a process are refused as well.
"""

from __future__ import annotations

import datetime as dt
import json
import logging
import os
import socket
import threading
from pathlib import Path

from qorva.errors import QorvaError
from qorva.names import printable

LOCK_NAME = ".qorva-watch.lock"
_LOCK_OFFSET = 1 << 30
logger = logging.getLogger("qorva.lock")

_held: set[str] = set()
_held_lock = threading.Lock()


class FolderBusyError(QorvaError):
    """Another watcher holds the drop folder."""


if os.name == "nt":
    import msvcrt

    def _lock(fd: int) -> None:
        os.lseek(fd, _LOCK_OFFSET, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)

    def _unlock(fd: int) -> None:
        os.lseek(fd, _LOCK_OFFSET, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)

    _BUSY = (13, 36)  # EACCES, EDEADLOCK: the byte is locked by another process
else:
    import errno
    import fcntl

    def _lock(fd: int) -> None:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, _LOCK_OFFSET, os.SEEK_SET)

    def _unlock(fd: int) -> None:
        fcntl.lockf(fd, fcntl.LOCK_UN, 1, _LOCK_OFFSET, os.SEEK_SET)

    _BUSY = (errno.EACCES, errno.EAGAIN)


class FolderLock:
    """Context manager: holds the folder's lock for the block, or raises `FolderBusyError` naming the holder.

    A folder where no lock can be taken at all (read-only, or a share without lock support) is watched
    unlocked, with a warning: the camera can still work there, only without the guard.
    """

    def __init__(self, folder: Path) -> None:
        self.folder = Path(folder)
        self.path = self.folder / LOCK_NAME
        self._fd: int | None = None
        self._key = str(self.folder.resolve())

    def __enter__(self) -> FolderLock:
        with _held_lock:
            if self._key in _held:
                raise FolderBusyError(self._busy_text("this process"))
            try:
                self._fd = self._take()
            except OSError as exc:
                logger.warning("cannot lock %s (%s); make sure no other watcher uses the folder", self.path, exc)
                return self
            _held.add(self._key)
        return self

    def _take(self) -> int:
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o644)
        try:
            _lock(fd)
        except OSError as exc:
            holder = _holder(fd) if exc.errno in _BUSY else None
            os.close(fd)
            if holder is None:
                raise
            raise FolderBusyError(self._busy_text(holder)) from None
        since = dt.datetime.now().astimezone().isoformat(timespec="seconds")
        info = {"pid": os.getpid(), "host": socket.gethostname(), "since": since}
        data = (json.dumps(info) + "\n").encode()
        os.ftruncate(fd, 0)
        os.lseek(fd, 0, os.SEEK_SET)
        os.write(fd, data)
        return fd

    def _busy_text(self, holder: str) -> str:
        return (
            f"drop folder {printable(self.folder)} is already watched by {holder} (lock file {printable(self.path)}); "
            "stop that watcher first: two would judge the same images"
        )

    def __exit__(self, *exc: object) -> None:
        if self._fd is None:
            return
        with _held_lock:
            _held.discard(self._key)
            try:
                os.ftruncate(self._fd, 0)
                _unlock(self._fd)
            except OSError as err:
                logger.warning("cannot release the lock %s: %s", self.path, err)
            finally:
                os.close(self._fd)
                self._fd = None


def _holder(fd: int) -> str:
    """Who holds the lock, as its file says; the file can be empty for a moment while a holder starts."""
    try:
        os.lseek(fd, 0, os.SEEK_SET)
        info = json.loads(os.read(fd, 4096).decode("utf-8", "replace") or "{}")
        return f"pid {int(info['pid'])} on {printable(info['host'])} since {printable(info['since'])}"
    except (OSError, ValueError, KeyError, TypeError):
        return "another watcher"
