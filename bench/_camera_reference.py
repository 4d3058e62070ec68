"""The camera's receive path written in plain Python: the orchestration baseline of the benchmarks.

Same rules as the extension (pathlib listing, np.fromfile + cv2.imdecode, shutil.move), so
the difference in a benchmark is the cost of doing the same work from Python.
"""

from __future__ import annotations

import logging
import shutil
import sys
import time
from pathlib import Path

import cv2
import numpy as np

try:
    from qorva.io.camera.dropnest import DropnestCamera
except ImportError:  # a source checkout with the extension built in place (make native)
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    from qorva.io.camera.dropnest import DropnestCamera

logger = logging.getLogger("qorva.camera.dropnest")


def pathlib_scan(folder: Path, exts, seen) -> list[Path]:
    """The scan with pathlib: is_file, suffix test, seen filter, (mtime, name) order."""
    try:
        kept = [p for p in folder.iterdir() if p.is_file() and p.suffix.lower() in exts]
    except OSError as exc:
        logger.warning("cannot list the dropnest (will retry): %s", exc)
        return []
    fresh = [p for p in kept if str(p) not in seen]
    try:
        return sorted(fresh, key=lambda p: (p.stat().st_mtime, p.name))
    except OSError:
        return sorted(fresh, key=lambda p: p.name)


class PyDropnestCamera(DropnestCamera):
    """DropnestCamera with the receive path in Python."""

    def _scan(self) -> list[Path]:
        assert self._folder is not None
        return pathlib_scan(self._folder, self._extensions, self._seen)

    def _is_ready(self, fpath: Path) -> bool:
        policy = str(self.params.get("ready_policy", "stable")).lower()
        if policy == "none":
            return True
        if policy == "sentinel":
            ext = str(self.params.get("sentinel_ext", ".done"))
            return fpath.with_suffix(fpath.suffix + ext).exists()
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
        return now - prev[1] >= float(self.params.get("stable_ms", 300)) / 1000.0

    def _consume(self, fpath: Path) -> bool:
        if not self._is_ready(fpath):
            return False
        try:
            img = cv2.imdecode(np.fromfile(str(fpath), dtype=np.uint8), cv2.IMREAD_COLOR)
        except PermissionError:
            return False
        except OSError as exc:
            return self._decode_failed(fpath, f"cannot read the file: {exc}")
        except cv2.error:
            img = None
        if img is None:
            return self._decode_failed(fpath, "cannot decode the image (corrupt or unsupported format?)")
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
        limit = int(self.params.get("max_decode_retries", 3))
        if count >= limit:
            logger.warning("%s - excluded after %d failures: %s", reason, count, fpath)
            self._seen.add(key)
        else:
            logger.debug("%s — 재시도 %d/%d: %s", reason, count, limit, fpath)
        self._sizes.pop(key, None)
        return False

    def _dispose(self, fpath: Path) -> None:
        mode = self._after
        marker = fpath.with_suffix(fpath.suffix + str(self.params.get("sentinel_ext", ".done")))
        try:
            if mode == "delete":
                fpath.unlink(missing_ok=True)
                marker.unlink(missing_ok=True)
            elif mode == "move":
                assert self._processed_dir is not None
                dest = self._processed_dir / fpath.name
                if dest.exists():
                    dest = self._processed_dir / f"{fpath.stem}_{int(time.time() * 1000)}{fpath.suffix}"
                shutil.move(str(fpath), str(dest))
                if marker.exists():
                    marker.unlink(missing_ok=True)
            else:
                self._seen.add(str(fpath))
        except OSError as exc:
            logger.warning("post-processing failed (%s): %s (%s)", mode, fpath, exc)
            self._seen.add(str(fpath))

    def _receive_loop(self) -> None:
        interval = max(float(self.params.get("poll_ms", 100)) / 1000.0, 0.01)
        while not self._rx_stop.is_set():
            consumed = 0
            for fpath in self._scan():
                if self._rx_stop.is_set():
                    return
                if self._consume(fpath):
                    consumed += 1
            if consumed == 0:
                self._rx_stop.wait(interval)


def versions() -> dict[str, object]:
    import os
    import platform

    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "cpus": os.cpu_count(),
        "machine": platform.machine(),
    }


def best_of(fn, n: int) -> float:
    """Shortest of `n` wall-clock timings of `fn()` in seconds."""
    best = float("inf")
    for _ in range(n):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best
