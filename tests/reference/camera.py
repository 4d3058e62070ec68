"""The folder-drop camera in plain Python: the oracle of the camera tests and the baseline of its benchmarks.

`DropnestCamera` here is the extension's class member for member, with the same logger, constants,
texts and host lookups (`np.fromfile`, `cv2.imdecode`, `shutil.move`, `time.time`, `self._emit`, all
resolved at call time). The tests run the same situations through both and compare what they emit,
log and leave on disk; a difference is a fault in one of them. Each C++ member file names the
member it mirrors here.
"""

from __future__ import annotations

import logging
import shutil
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
}
_UNDECODABLE = "cannot decode the image (corrupt or unsupported format?)"


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

    def _prepare(self) -> None:
        raw = param(self, "path")
        if not raw:
            msg = "DropnestCamera: 'path' parameter is required"
            raise CameraError(msg)
        folder = Path(raw)
        if not folder.is_dir():
            msg = f"DropnestCamera: dropnest not found: {folder}"
            raise CameraError(msg)
        self._folder = folder
        self._seen.clear()
        self._sizes.clear()
        self._decode_fails.clear()
        if self._after == "move":
            self._processed_dir = Path(param(self, "processed_dir") or folder / "_processed")
            self._processed_dir.mkdir(parents=True, exist_ok=True)

    def _release(self) -> None:
        self._folder = None
        self._seen.clear()
        self._sizes.clear()
        self._decode_fails.clear()

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
            logger.warning("cannot list the dropnest (will retry): %s", exc)
            return []
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
            return marker_of(self, fpath).exists()
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
        try:
            data = np.fromfile(str(fpath), dtype=np.uint8)
            try:
                img = cv2.imdecode(data, cv2.IMREAD_COLOR)
            except cv2.error:  # OpenCV raises on an empty buffer: undecodable like any other data
                img = None
        except PermissionError:
            return False
        except OSError as exc:
            return self._decode_failed(fpath, f"cannot read the file: {exc}")
        if img is None:
            return self._decode_failed(fpath, _UNDECODABLE)
        key = str(fpath)
        self._sizes.pop(key, None)
        self._decode_fails.pop(key, None)
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
                marker.unlink(missing_ok=True)
            elif mode == "move":
                assert self._processed_dir is not None
                shutil.move(str(fpath), str(_free_destination(self._processed_dir, fpath)))
                if marker.exists():
                    marker.unlink(missing_ok=True)
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
