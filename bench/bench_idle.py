"""CPU time of an idle open camera (poll_ms 100): an empty folder, and one holding 20,000 kept files.

Kept files stay in the folder and are skipped through `_seen` on every pass, so the second
figure is the steady cost of a busy line's folder. The process CPU time (all threads) is
measured while the main thread sleeps. Ours twice: answered from the folder's change notification
(`notify` on, the default) and listing the folder on every pass (`notify` off, as on network
shares); the baseline is the plain-Python camera (tests/reference), measured the same way in the
same run.

    python bench/bench_idle.py                  # 10 s per figure
    python bench/bench_idle.py --seconds 3 --kept 5000
    python bench/bench_idle.py --json
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

from _common import versions  # noqa: I001  (first: it sets the import paths)
from qorva.io.camera.dropnest import DropnestCamera
from reference.camera import DropnestCamera as PyDropnestCamera


def fill(folder: Path, n: int) -> None:
    blob = cv2.imencode(".png", np.zeros((1, 1, 3), np.uint8))[1].tobytes()
    for i in range(n):
        (folder / f"kept{i:06d}.png").write_bytes(blob)


def idle_share(cls, folder: Path, kept: int, seconds: float, **params: object) -> float:
    """Percent of one core used by the process while the camera idles for `seconds`."""
    cam = cls({"path": str(folder), "ready_policy": "none", "after": "keep", "poll_ms": 100,
               "max_queue": 256, **params})
    cam.open()
    read = 0
    while read < kept and cam.read(timeout=30) is not None:
        read += 1
    while len(cam._seen) < kept:
        time.sleep(0.05)
    time.sleep(0.3)  # let the pass that consumed the last file end
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(seconds)
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    cam.close()
    return 100.0 * cpu / wall


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="idle time per figure (default: %(default)s)")
    parser.add_argument("--kept", type=int, default=20000, help="kept files in the busy folder (default: %(default)s)")
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of the table")
    args = parser.parse_args(argv)
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench_idle_") as tmp:
        empty, busy = Path(tmp) / "empty", Path(tmp) / "busy"
        empty.mkdir()
        busy.mkdir()
        fill(busy, args.kept)
        for label, folder, kept in (("empty folder", empty, 0), (f"{args.kept} kept files", busy, args.kept)):
            ours = idle_share(DropnestCamera, folder, kept, args.seconds)
            listing = idle_share(DropnestCamera, folder, kept, args.seconds, notify=False)
            python = idle_share(PyDropnestCamera, folder, kept, args.seconds)
            rows.append({"folder": label, "kept": kept, "ours_pct_core": ours, "listing_pct_core": listing,
                         "python_pct_core": python})
    if args.json:
        print(json.dumps({"versions": versions(), "seconds": args.seconds, "results": rows}, indent=2))
        return 0
    print(" ".join(f"{k} {v}" for k, v in versions().items()))
    for r in rows:
        ratio = r["python_pct_core"] / r["ours_pct_core"] if r["ours_pct_core"] > 0 else float("inf")
        print(f"idle {r['folder']:<18} notified {r['ours_pct_core']:6.2f}% of a core, "
              f"listing {r['listing_pct_core']:6.2f}%  (python orchestration {r['python_pct_core']:6.2f}%, "
              f"{ratio:.1f}x notified)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
