"""The folder-drop camera in plain Python: the oracle of the camera tests and the baseline of its benchmarks.

`DropnestCamera` here is the extension's class member for member, with the same logger, constants,
texts and host lookups (`np.fromfile`, `cv2.imdecode`, `shutil.move`, `time.time`, `self._emit`, all
resolved at call time). The tests run the same situations through both and compare what they emit,
log and leave on disk; a difference is a fault in one of them. Each C++ member file names the
member it mirrors here.
"""

from __future__ import annotations

import contextlib
import errno
import logging
import math
import os
import re
import shutil
import struct
import time
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva.io.camera.base import CameraError
from qorva.io.camera.push import PushCamera

logger = logging.getLogger("qorva.camera.dropnest")
_EXTS = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}
_DEFAULTS: dict[str, Any] = {
    "path": None,
    "ready_policy": "stable",
    "stable_ms": 300,
    "sentinel_ext": ".done",
    "poll_ms": 100,
    "after": "move",
    "processed_dir": None,
    "extensions": None,
    "max_queue": 4,
    "max_decode_retries": 3,
    "max_pixels": 250_000_000,
    "notify": True,  # how the extension learns of changes, never what a scan returns: this camera always lists
}
_UNDECODABLE = "cannot decode the image (corrupt or unsupported format?)"
_INCOMPLETE = "the file ends before its image does (still being written?)"
_WARN_AFTER = 10  # consecutive attempts at an unchanged file that is refused or incomplete


def param(cam: DropnestCamera, key: str) -> Any:
    """`params.get(key, default)`, or `params.get(key)` for the keys that have no default."""
    default = _DEFAULTS[key]
    return cam.params.get(key) if default is None else cam.params.get(key, default)


def marker_of(cam: DropnestCamera, fpath: Path) -> Path:
    """The completion marker: the image's full name followed by `sentinel_ext`."""
    return fpath.with_suffix(fpath.suffix + str(param(cam, "sentinel_ext")))


class DropnestCamera(PushCamera):
    """Folder-drop camera: images that other machines drop into a folder, consumed once, in arrival order."""

    def __init__(self, params: dict[str, Any] | None = None) -> None:
        super().__init__(params)
        self._folder: Path | None = None
        self._processed_dir: Path | None = None
        self._seen: set[str] = set()
        self._sizes: dict[str, tuple[int, float]] = {}
        self._decode_fails: dict[str, int] = {}
        self._attempts: dict[str, tuple[int, int, bool, int]] = {}
        self._warned: set[str] = set()
        self._unlisted: float | None = None
        self._starved: float | None = None

    def _prepare(self) -> None:
        raw = param(self, "path")
        if not raw:
            msg = "DropnestCamera: 'path' parameter is required"
            raise CameraError(msg)
        folder = Path(raw)
        if not folder.is_dir():
            msg = f"DropnestCamera: dropnest not found: {folder}"
            raise CameraError(msg)
        _check_values(self, folder)
        self._folder = folder
        self._clear_records()
        if self._after == "move":
            processed = Path(param(self, "processed_dir") or folder / "_processed")
            if processed.is_dir() and processed.samefile(folder):
                msg = f"DropnestCamera: 'processed_dir' is the monitored folder itself: {processed}"
                raise CameraError(msg)
            self._processed_dir = processed
            self._processed_dir.mkdir(parents=True, exist_ok=True)

    def _release(self) -> None:
        self._folder = None
        self._clear_records()

    def _clear_records(self) -> None:
        self._seen.clear()
        self._sizes.clear()
        self._decode_fails.clear()
        self._attempts.clear()
        self._warned.clear()
        self._unlisted = None
        self._starved = None

    @property
    def _after(self) -> str:
        return str(param(self, "after")).lower()

    @property
    def _extensions(self) -> set[str]:
        raw = param(self, "extensions")
        if not raw:
            return _EXTS
        return {e if e.startswith(".") else "." + e for e in (item.lower() for item in raw)}

    def _receive_loop(self) -> None:
        interval = max(float(param(self, "poll_ms")) / 1000.0, 0.01)
        while not self._rx_stop.is_set():
            consumed = 0
            for fpath in self._scan():
                if self._rx_stop.is_set():
                    return
                if self._consume(fpath):
                    consumed += 1
            if consumed == 0:
                self._rx_stop.wait(interval)

    def _scan(self) -> list[Path]:
        assert self._folder is not None
        exts = self._extensions
        try:
            kept = [p for p in self._folder.iterdir() if p.is_file() and p.suffix.lower() in exts]
        except OSError as exc:
            now = time.time()
            if self._unlisted is None or not 0 <= now - self._unlisted < 60:
                logger.warning("cannot list the dropnest (will retry): %s", exc)
                self._unlisted = now
            return []
        if self._unlisted is not None:
            self._unlisted = None
            logger.warning("the dropnest can be listed again: %s", self._folder)
        fresh = [p for p in kept if str(p) not in self._seen]
        try:
            return sorted(fresh, key=lambda p: (p.stat().st_mtime, p.name))
        except OSError:
            return sorted(fresh, key=lambda p: p.name)

    def _is_ready(self, fpath: Path) -> bool:
        policy = str(param(self, "ready_policy")).lower()
        if policy == "none":
            return True
        if policy == "sentinel":
            marker = marker_of(self, fpath)
            try:
                return marker.exists()
            except OSError as exc:
                if str(fpath) not in self._warned:
                    self._warned.add(str(fpath))
                    logger.warning("cannot check the completion marker of %s (not ready): %s", fpath, exc)
                return False
        try:
            size = fpath.stat().st_size
        except OSError:
            return False
        if size == 0:
            return False
        key, now = str(fpath), time.time()
        prev = self._sizes.get(key)
        if prev is None or prev[0] != size:
            self._sizes[key] = (size, now)
            return False
        return now - prev[1] >= float(param(self, "stable_ms")) / 1000.0

    def _consume(self, fpath: Path) -> bool:
        if not self._is_ready(fpath):
            return False
        key = str(fpath)
        cap = int(param(self, "max_pixels"))
        try:
            st = fpath.stat()
        except OSError as exc:
            return _not_read(self, fpath, None, exc)
        stamp = (st.st_size, st.st_mtime_ns)
        if st.st_size > cap * 8 + 65536:
            return _set_aside(self, fpath, f"file of {st.st_size} bytes is larger than any image of max_pixels {cap}")
        last = self._attempts.get(key)
        if last is not None and last[2] and last[:2] == stamp:
            return _not_yet(self, fpath, stamp, _INCOMPLETE, incomplete=True)
        try:
            data = np.fromfile(key, dtype=np.uint8)
        except OSError as exc:
            return _not_read(self, fpath, stamp, exc)
        if self._starved is not None and not 0 <= time.time() - self._starved < 60:
            self._starved = None
        header = _image_header(data)
        if header is not None:
            width, height, complete = header
            if width * height > cap:
                return _set_aside(self, fpath, f"image of {width}x{height} pixels is larger than max_pixels {cap}")
            if not complete:
                logger.debug("%s: %s", _INCOMPLETE, fpath)
                return _not_yet(self, fpath, stamp, _INCOMPLETE, incomplete=True)
        try:
            img = cv2.imdecode(data, cv2.IMREAD_COLOR)
        except cv2.error:  # OpenCV raises on an empty buffer: undecodable like any other data
            img = None
        except OSError as exc:
            return _not_read(self, fpath, stamp, exc)
        if img is None:
            return _failed(self, fpath, stamp, _UNDECODABLE)
        self._sizes.pop(key, None)
        self._decode_fails.pop(key, None)
        self._attempts.pop(key, None)
        self._warned.discard(key)
        self._emit(img, {"source_file": fpath.name, "source_path": key})
        self._dispose(fpath)
        return True

    def _decode_failed(self, fpath: Path, reason: str) -> bool:
        key = str(fpath)
        count = self._decode_fails.get(key, 0) + 1
        self._decode_fails[key] = count
        limit = int(param(self, "max_decode_retries"))
        if count >= limit:
            logger.warning("%s - excluded after %d failures: %s", reason, count, fpath)
            self._seen.add(key)
        else:
            logger.debug("%s — 재시도 %d/%d: %s", reason, count, limit, fpath)
        self._sizes.pop(key, None)
        return False

    def _dispose(self, fpath: Path) -> None:
        mode = self._after
        marker = marker_of(self, fpath)
        try:
            if mode == "delete":
                fpath.unlink(missing_ok=True)
                _remove_marker(marker, test_first=False)
            elif mode == "move":
                assert self._processed_dir is not None
                if not self._processed_dir.is_dir():
                    self._processed_dir.mkdir(parents=True, exist_ok=True)
                dest = _free_destination(self._processed_dir, fpath)
                shutil.move(str(fpath), str(dest), copy_function=_copy_into_place)
                _remove_marker(marker, test_first=True)
            else:
                self._seen.add(str(fpath))
        except OSError as exc:
            logger.warning("post-processing failed (%s): %s (%s)", mode, fpath, exc)
            self._seen.add(str(fpath))


def _free_destination(processed: Path, fpath: Path) -> Path:
    """The file's name in the processed folder, else the name with the epoch milliseconds (then _1, _2...)."""
    dest = processed / fpath.name
    if not dest.exists():
        return dest
    millis = int(time.time() * 1000)
    attempt = 0
    while True:
        tail = f"_{millis}" if attempt == 0 else f"_{millis}_{attempt}"
        dest = processed / f"{fpath.stem}{tail}{fpath.suffix}"
        if not dest.exists():
            return dest
        attempt += 1


def _check_values(cam: DropnestCamera, folder: Path) -> None:
    """Refuses at open the values that would stop the camera, or stall it, at their first use."""
    for key in ("stable_ms", "poll_ms"):
        value = param(cam, key)
        try:
            ok = math.isfinite(float(value))
        except (TypeError, ValueError, OverflowError):
            ok = False
        if not ok:
            msg = f"DropnestCamera: '{key}' must be a finite number, got {value!r}"
            raise CameraError(msg)
    value = param(cam, "max_pixels")
    try:
        ok = int(value) > 0
    except (TypeError, ValueError, OverflowError):
        ok = False
    if not ok:
        msg = f"DropnestCamera: 'max_pixels' must be a whole number above 0, got {value!r}"
        raise CameraError(msg)
    value = param(cam, "sentinel_ext")
    try:
        marker_of(cam, folder / "x.png")
        ok = "\0" not in str(value)
    except ValueError:
        ok = False
    if not ok:
        msg = f"DropnestCamera: 'sentinel_ext' cannot end a file name, got {value!r}"
        raise CameraError(msg)


def _set_aside(cam: DropnestCamera, fpath: Path, reason: str) -> bool:
    """A file the camera will not take: logged, left in place, never offered again while open."""
    key = str(fpath)
    logger.warning("%s - set aside: %s", reason, fpath)
    cam._seen.add(key)
    cam._sizes.pop(key, None)
    cam._attempts.pop(key, None)
    return False


def _failed(cam: DropnestCamera, fpath: Path, stamp: tuple[int, int], reason: str) -> bool:
    """A read or decode failure; it counts only when the file is as it was at the previous attempt."""
    key = str(fpath)
    last = cam._attempts.get(key)
    cam._attempts[key] = (*stamp, False, 0)
    if last is not None and last[:2] != stamp:
        logger.debug("%s - not counted, the file changed since the last attempt: %s", reason, fpath)
        cam._sizes.pop(key, None)
        return False
    return cam._decode_failed(fpath, reason)


def _not_yet(cam: DropnestCamera, fpath: Path, stamp: tuple[int, int] | None, reason: str, incomplete: bool) -> bool:
    """A file refused by the file system or not yet whole: never counted, warned about once when it stays so."""
    key = str(fpath)
    last = cam._attempts.get(key)
    if stamp is None:
        stamp = (-1, -1) if last is None else last[:2]
    n = last[3] + 1 if last is not None and last[:2] == stamp else 1
    cam._attempts[key] = (*stamp, incomplete, n)
    if incomplete:
        cam._sizes.pop(key, None)
    if n >= _WARN_AFTER and key not in cam._warned:
        cam._warned.add(key)
        logger.warning("%s - not taken after %d attempts, will keep trying: %s", reason, n, fpath)
    return False


def _not_read(cam: DropnestCamera, fpath: Path, stamp: tuple[int, int] | None, exc: OSError) -> bool:
    """A file whose status, bytes or image could not be had: refused or out of descriptors waits uncounted."""
    reason = f"cannot read the file: {exc}"
    if isinstance(exc, PermissionError):
        return _not_yet(cam, fpath, stamp, reason, incomplete=False)
    if exc.errno in (errno.EMFILE, errno.ENFILE):
        if cam._starved is None:
            logger.warning("%s - the process is out of file descriptors; files are retried, not counted, until "
                           "some are free: %s", reason, fpath)
            cam._starved = time.time()
        return False
    if stamp is None:
        return cam._decode_failed(fpath, reason)
    return _failed(cam, fpath, stamp, reason)


def _remove_marker(marker: Path, test_first: bool) -> None:
    try:
        if not test_first or marker.exists():
            marker.unlink(missing_ok=True)
    except OSError as exc:
        if exc.errno != errno.ENAMETOOLONG:  # a name the file system cannot hold names no marker
            raise


def _copy_into_place(src: str, dst: str) -> str:
    """The move's copy across volumes: a partial copy never carries the real name, nor replaces a file."""
    part = f"{dst}.{os.getpid()}.part"
    try:
        shutil.copy2(src, part)
        if os.name == "nt":
            Path(part).rename(dst)  # never replaces on Windows
        else:
            Path(dst).hardlink_to(part)  # fails when dst exists, where a rename would replace it
            Path(part).unlink()
    except BaseException:
        with contextlib.suppress(OSError):
            Path(part).unlink(missing_ok=True)
        raise
    return dst


# --- image headers: size and completeness before decoding -------------------------------------

_SOF = {m for m in range(0xC0, 0xD0)} - {0xC4, 0xC8, 0xCC}
_TIFF_TYPE_SIZES = {1: 1, 2: 1, 6: 1, 7: 1, 3: 2, 8: 2, 4: 4, 9: 4, 11: 4, 13: 4, 5: 8, 10: 8, 12: 8}
_ENTROPY_END = re.compile(rb"\xff[^\x00\xd0-\xd7\xff]")


def _image_header(data: Any) -> tuple[int, int, bool] | None:
    """(width, height, complete) declared by PNG, JPEG, BMP or TIFF data, else None."""
    b = bytes(data)
    for sig, reader in ((b"\x89PNG\r\n\x1a\n", _png), (b"\xff\xd8", _jpeg), (b"BM", _bmp),
                        (b"II*\0", _tiff), (b"MM\0*", _tiff)):
        if b and b[:len(sig)] == sig[:len(b)]:
            return reader(b)
    return None


def _png(b: bytes) -> tuple[int, int, bool] | None:
    if len(b) < 24:
        return (0, 0, False)
    if b[12:16] != b"IHDR":
        return None
    width, height = struct.unpack(">II", b[16:24])
    pos = 8
    while pos + 12 <= len(b):
        length = int.from_bytes(b[pos:pos + 4], "big")
        if length > 0x7FFFFFFF or b[pos + 4:pos + 8] == b"IEND":
            return (width, height, True)
        pos += 12 + length
    return (width, height, False)


def _jpeg(b: bytes) -> tuple[int, int, bool] | None:
    n, size, pos = len(b), (0, 0), 2
    sized = False
    while True:
        if pos + 2 > n:
            return (*size, False)
        if b[pos] != 0xFF:
            break
        while pos + 2 <= n and b[pos + 1] == 0xFF:
            pos += 1
        if pos + 2 > n:
            return (*size, False)
        marker = b[pos + 1]
        pos += 2
        if marker == 0xD9:
            break
        if 0xD0 <= marker <= 0xD7 or marker in (0x01, 0xD8):
            continue
        if pos + 2 > n:
            return (*size, False)
        length = int.from_bytes(b[pos:pos + 2], "big")
        if length < 2:
            break
        if marker in _SOF:
            if pos + 7 > n:
                return (*size, False)
            size, sized = (int.from_bytes(b[pos + 5:pos + 7], "big"), int.from_bytes(b[pos + 3:pos + 5], "big")), True
        if pos + length > n:
            return (*size, False)
        pos += length
        if marker == 0xDA:
            found = _ENTROPY_END.search(b, pos)
            pos = n if found is None else found.start()
    return (*size, True) if sized else None


def _bmp(b: bytes) -> tuple[int, int, bool] | None:
    if len(b) < 18:
        return (0, 0, False)
    dib = struct.unpack_from("<I", b, 14)[0]
    if dib != 12 and dib < 16:
        return None
    if len(b) < (26 if dib == 12 else 38 if dib >= 40 else 30):
        return (0, 0, False)
    if dib == 12:
        width, height, bpp = *struct.unpack_from("<HH", b, 18), struct.unpack_from("<H", b, 24)[0]
    else:
        width, height = struct.unpack_from("<ii", b, 18)
        if width < 0:
            return None
        height, bpp = abs(height), struct.unpack_from("<H", b, 28)[0]
    compression = struct.unpack_from("<I", b, 30)[0] if dib >= 40 else 0
    offset = struct.unpack_from("<I", b, 10)[0]
    if compression in (0, 3, 6):
        end = offset + (width * bpp + 31) // 32 * 4 * height
    else:
        image_size = struct.unpack_from("<I", b, 34)[0]
        end = offset + image_size if image_size else struct.unpack_from("<I", b, 2)[0]
    return (width, height, end <= len(b))


def _tiff(b: bytes) -> tuple[int, int, bool] | None:
    if len(b) < 8:
        return (0, 0, False)
    e = "<" if b[0:1] == b"I" else ">"
    ifd = struct.unpack_from(e + "I", b, 4)[0]
    if ifd < 8:
        return None
    if ifd + 2 > len(b) or ifd + 2 + 12 * struct.unpack_from(e + "H", b, ifd)[0] > len(b):
        return (0, 0, False)
    width = height = None
    offsets = counts = (0, 0, 0)
    values_present = True
    for i in range(struct.unpack_from(e + "H", b, ifd)[0]):
        at = ifd + 2 + 12 * i
        tag, kind, count = struct.unpack_from(e + "HHI", b, at)
        value = struct.unpack_from(e + ("H" if kind == 3 else "I"), b, at + 8)[0]
        nbytes = count * _TIFF_TYPE_SIZES.get(kind, 0)
        if nbytes > 4 and struct.unpack_from(e + "I", b, at + 8)[0] + nbytes > len(b):
            values_present = False
        if tag == 256:
            width = value
        elif tag == 257:
            height = value
        elif tag in (273, 324):
            offsets = (kind, count, at + 8)
        elif tag in (279, 325):
            counts = (kind, count, at + 8)
    if width is None or height is None:
        return None
    return (width, height, values_present and (offsets[1] == 0 or _strips_present(b, e, offsets, counts)))


def _strips_present(b: bytes, e: str, offsets: tuple[int, int, int], counts: tuple[int, int, int]) -> bool:
    widths = [{3: 2, 4: 4}.get(kind) for kind, _, _ in (offsets, counts)]
    if None in widths or offsets[1] != counts[1]:
        return True  # no valid file has such arrays: the decoder refuses it
    arrays = []
    for (_, count, field), width in zip((offsets, counts), widths, strict=True):
        at = field if count * width <= 4 else struct.unpack_from(e + "I", b, field)[0]
        if at + count * width > len(b):
            return False
        arrays.append(struct.unpack_from(f"{e}{count}{'H' if width == 2 else 'I'}", b, at))
    return all(off + length <= len(b) for off, length in zip(*arrays, strict=True))
