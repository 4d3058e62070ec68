"""Folder-drop camera: images that other machines drop into a folder, consumed once, in arrival order.

A sender (a smart camera uploading over FTP, a host saving to an SMB share, a program writing result
images) writes files into the monitored folder. The camera's receiver thread lists the folder, takes
each new image file once, oldest first, decides by the agreed readiness policy that the sender has
finished writing it, decodes it as a BGR colour image and hands it to the base's receive buffer with
the metadata {"source_file": name, "source_path": path text}; then it moves, deletes or keeps the file.
Before decoding, the file's size and header are checked: a file declaring more than `max_pixels`
pixels (or larger than any such image could be) is set aside at once, and a file whose data ends
before its image does (still being written, or cut) waits without costing a retry. Files that cannot
be decoded are retried `max_decode_retries` times and then left in place; a failure of a file that
changed since its previous attempt does not count, nor does a read (or decode) refused by the file system
(`PermissionError`) or failing because the process is out of file descriptors (EMFILE, ENFILE): such a
file is retried on every pass.

On local file systems the camera learns of the folder's changes from the operating system (inotify on
Linux, ReadDirectoryChangesW on Windows) and keeps its listing between passes, so an idle pass reads
nothing of the folder however many files are kept there; network and user-space file systems (NFS,
SMB/CIFS, FUSE, 9P), lost events and anything uncertain are answered by listing the folder, as with
`notify` off. The result is the same either way.

Logger: "qorva.camera.dropnest".
"""

from __future__ import annotations

import logging
from pathlib import Path
from typing import Any

from .push import PushCamera

logger: logging.Logger
_EXTS: set[str]
"""Accepted suffixes when `extensions` is not given: .png .jpg .jpeg .bmp .tif .tiff."""
_DEFAULTS: dict[str, Any]
"""Every parameter's default, the one table the camera reads at each use: path, ready_policy, stable_ms,
sentinel_ext, poll_ms, after, processed_dir, extensions, max_queue, max_decode_retries, max_pixels, notify. None
means no default: `path` is required, `processed_dir` is <path>/_processed, `extensions` is `_EXTS`."""

def _image_header(data: bytes | bytearray | memoryview | Any) -> tuple[int, int, bool] | None:
    """(width, height, complete) that PNG, JPEG, BMP or TIFF data declares, read before decoding.

    `data` is anything that exports contiguous bytes (bytes, bytearray, memoryview, a 1-D uint8 NumPy
    array as `np.fromfile` gives). None when the data starts as none of these formats (OpenCV may still
    decode it: WebP, PNM, ...). `complete` is False while the data ends before the image does (a file
    still being written, or cut; the JPEG end marker, the PNG end chunk, the pixel data BMP and TIFF
    declare); width and height are 0 when the data ends before they are declared. A header that is
    merely invalid reads as complete, and the decoder refuses it. Widths and heights are as declared
    (0 included), up to 2^32 - 1 each; a top-down BMP's negative height is given as its magnitude.
    """

def _copy_into_place(src: str, dst: str) -> str:
    """The move's copy across volumes (shutil.move's copy_function): `shutil.copy2` to "<dst>.<pid>.part",
    then renamed to `dst` without replacing anything there; the partial copy is removed on failure."""

class DropnestCamera(PushCamera):
    """Folder-drop camera: images that other machines drop into a folder, consumed once, in arrival order.

    Parameters (params), each read when it is used, numbers also accepted as numeric text; the defaults
    are in `_DEFAULTS`:
        path: str                  monitored folder (required; must exist)
        ready_policy: str          "stable" | "sentinel" | "none" (anything else acts as "stable")
        stable_ms: float           the size must stay unchanged this long before a file counts as complete
        sentinel_ext: str          completion marker suffix: img.png is complete once img.png.done exists
        poll_ms: float             rescan interval when a pass consumed nothing, at least 10 ms
        after: str                 "move" | "delete" | "keep" what happens to a consumed file (anything
                                   else acts as "keep")
        processed_dir: str         destination of moved files (<path>/_processed when not given)
        extensions: list[str]      accepted suffixes, case-insensitive, dot optional (`_EXTS` when not given)
        max_queue: int             receive buffer depth
        max_decode_retries: int    failed decodes after which a file is set aside (a failure of a file
                                   that changed since its previous attempt does not count)
        max_pixels: int            largest image taken, width x height (250 MP); a file declaring more, or
                                   larger than max_pixels x 8 bytes + 64 KiB, is set aside unread
        notify: bool               learn of the folder's changes from the operating system where it reports
                                   them all (True); False lists the folder on every pass, for file systems
                                   that misreport changes while claiming to be local

    Use: `open()`, then `read(timeout)` -> `(image, meta)` or None on timeout, then `close()`.
    Opening raises `CameraError` "DropnestCamera: 'path' parameter is required" or
    "DropnestCamera: dropnest not found: <folder>", and for values that would stop or stall the camera
    at their first use: a `stable_ms` or `poll_ms` that is not a finite number, a `max_pixels` below 1,
    a `sentinel_ext` that cannot end a file name, a `processed_dir` that is the monitored folder itself.
    A processed folder that cannot be created raises the file-system error itself.
    """

    params: dict[str, Any]
    _folder: Path | None
    _processed_dir: Path | None
    _seen: set[str]
    _sizes: dict[str, tuple[int, float]]
    _decode_fails: dict[str, int]
    _attempts: dict[str, tuple[int, int, bool, int]]
    """Per path text: (size, st_mtime_ns, incomplete, n) at the file's last unsuccessful attempt; n counts
    the consecutive attempts that found it unchanged and refused or incomplete (one warning at 10)."""
    _warned: set[str]
    """Path texts already warned about once (a marker that cannot be checked, a file that stays unreadable)."""
    _unlisted: float | None
    """time.time() of the last "cannot list" warning while the folder cannot be listed, else None."""
    _starved: float | None
    """time.time() of the "out of file descriptors" warning; None again once a file is read a minute or more
    after it, so the warning comes once per shortage, and at most once a minute."""
    _watch: object | None
    """The folder's change notification and the listing it keeps (opaque); None until the first scan with
    `notify` on, and again after `_prepare` and `_release`."""
    _notified: bool
    """Whether the last `_scan` was answered from change notifications (False: the folder was listed)."""

    def __init__(self, params: dict[str, Any] | None = None) -> None:
        """Keep `params` (the base stores them); reads no parameter and touches no file."""
    def _prepare(self) -> None:
        """Open hook: check the folder, empty the records, create the processed folder when moving."""
    def _release(self) -> None:
        """Close hook: forget the folder and empty the records."""
    @property
    def _after(self) -> str:
        """Post-processing mode: str(params['after']).lower(), 'move' by default."""
    @property
    def _extensions(self) -> set[str]:
        """Accepted suffixes, lower case with a leading dot; `_EXTS` itself when 'extensions' is empty."""
    def _receive_loop(self) -> None:
        """Receiver thread: scan, test readiness, consume; idle one poll interval after an empty pass."""
    def _scan(self) -> list[Path]:
        """New candidate image files of the folder, by modification time then name.

        Answered from the kept listing where changes are notified: the entries named by events are read
        again, and so are the candidates' times and what links lead to, on every pass (no event here
        tells of a write through a file's other name or of a link's target changing elsewhere). A full
        listing is made on the first pass, after lost events (a queue overflow), when the folder itself
        changes (its attributes, removed, moved, replaced at its path, mounted over), after a failed
        read, and once a minute. A file's verdict is kept while `_extensions` keeps its contents and the
        only change to `_seen` is the last result's files joining it (a print of the set, taken on every
        pass, tells); any other change judges every file again. A file that goes between the listing and
        the read of its time is in the result, which is then ordered by name alone, as with a listing.
        """
    def _is_ready(self, fpath: Path) -> bool:
        """Whether the sender has finished writing `fpath`, by the readiness policy."""
    def _consume(self, fpath: Path) -> bool:
        """Read, decode and emit one ready file, then post-process it; False when it was not consumed."""
    def _decode_failed(self, fpath: Path, reason: str) -> bool:
        """Count one failed attempt; at the limit the file is set aside (logged, left in place). Always False."""
    def _dispose(self, fpath: Path) -> None:
        """Move, delete or keep a consumed file, together with its completion marker."""
