"""CPU time of an open camera (poll_ms 100), idle and under a steady arrival: an empty folder, and one
holding 20,000 kept files.

Kept files stay in the folder and are skipped through `_seen` on every pass, so the second
figure is the steady cost of a busy line's folder. The process CPU time (all threads) is
measured while the main thread sleeps. Ours twice: answered from the folder's change notification
(`notify` on, the default) and listing the folder on every pass (`notify` off, as on network
shares); the baseline is the plain-Python camera (tests/reference), measured the same way in the
same run.

Steady arrival (`--rate` files a second renamed into the folder, written beforehand: on a line the sender
is another machine): the camera with the acknowledged hand-over and a reader that acknowledges each frame
(as `watch` takes them), then the watch job around it with an inspector that answers at once (the camera,
the key and journal, the row's commit, the drop folder's health survey: everything but the model), each
in the empty folder and in the kept one.

    python bench/bench_idle.py                  # 10 s per figure
    python bench/bench_idle.py --seconds 3 --kept 5000
    python bench/bench_idle.py --json
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import threading
import time
from pathlib import Path

import cv2
import numpy as np

from _common import versions  # noqa: I001  (first: it sets the import paths)
from qorva.drop_health import DropHealth
from qorva.inspection.base import ModelState
from qorva.io.camera.dropnest import DropnestCamera
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, JobWatchers
from qorva.results import ResultStore
from qorva.schemas.common import InspectionResult, Verdict
from reference.camera import DropnestCamera as PyDropnestCamera


def png(i: int) -> bytes:
    """A small PNG whose pixels tell it from every other (the job looks each image's hash up)."""
    image = np.zeros((8, 8, 3), np.uint8)
    image.flat[:8] = np.frombuffer(int(i).to_bytes(8, "little"), np.uint8)
    return cv2.imencode(".png", image)[1].tobytes()


def fill(folder: Path, n: int, first: int = 0, prefix: str = "kept") -> None:
    for i in range(first, first + n):
        (folder / f"{prefix}{i:06d}.png").write_bytes(png(i))


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


class Instant:
    """An inspector that answers OK at once: what is left is everything around the model."""

    result = InspectionResult(verdict=Verdict.OK, score=0.1, threshold=1.0, module="norim",
                              details={"dominant_branch": "structural"})

    def inspect(self, image: object, state: object, *, with_overlay: bool = True) -> InspectionResult:
        return self.result


def _params(folder: Path) -> dict[str, object]:
    return {"path": str(folder), "ready_policy": "none", "after": "keep", "poll_ms": 100, "max_queue": 256}


def _send(staging: Path, folder: Path, names: list[str], rate: float) -> tuple[float, float]:
    """Rename `names` into `folder` at `rate` a second; the process CPU and wall time it took."""
    cpu, wall = time.process_time(), time.perf_counter()
    for k, name in enumerate(names):
        delay = wall + k / rate - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        (staging / name).replace(folder / name)
    time.sleep(1.0 / rate)
    return time.process_time() - cpu, time.perf_counter() - wall


def arrival_camera(folder: Path, staging: Path, kept: int, names: list[str], rate: float) -> float:
    """Percent of a core: the acknowledged camera and a reader acknowledging each frame, files arriving."""
    cam = with_acknowledgement(DropnestCamera)(_params(folder))
    cam.open()
    stop, read = threading.Event(), []

    def reader() -> None:
        while not stop.is_set():
            frame = cam.read(0.05)
            if frame is not None:
                read.append(frame[1]["source_file"])
                cam.ack(frame[1])

    thread = threading.Thread(target=reader)
    thread.start()
    while len(read) < kept:
        time.sleep(0.05)
    time.sleep(0.3)
    cpu, wall = _send(staging, folder, names, rate)
    stop.set()
    thread.join()
    cam.close()
    return 100.0 * cpu / wall


def arrival_job(root: Path, folder: Path, staging: Path, kept: int, names: list[str], rate: float) -> float:
    """Percent of a core: the watch job with an instant inspector and the folder's health, files arriving."""
    cam = with_acknowledgement(DropnestCamera)(_params(folder))
    stop, recorded = threading.Event(), []
    state = ModelState(module="norim", product_id="bench", threshold=1.0)

    def run() -> None:
        with ResultStore(root / f"results-{time.monotonic_ns()}.db") as store:
            InspectionJob(home=root, state=state, store=store, inspector=Instant(), camera=cam, stop=stop,
                          options=JobOptions(workers=2),
                          watchers=JobWatchers(health=DropHealth(folder, [".png"], ""),
                                               on_result=lambda row, image, result: recorded.append(1))).run()

    thread = threading.Thread(target=run)
    thread.start()
    while len(recorded) < kept:  # the kept files are recorded first, as at a first start
        time.sleep(0.05)
    time.sleep(0.3)
    cpu, wall = _send(staging, folder, names, rate)
    stop.set()
    thread.join()
    return 100.0 * cpu / wall


def steady_arrival(root: Path, kept: int, seconds: float, rate: float) -> list[dict[str, object]]:
    rows = []
    n = max(1, int(seconds * rate))
    for label, count in (("empty folder", 0), (f"{kept} kept files", kept)):
        figures = {}
        for what in ("camera", "job"):
            folder, staging = root / f"arrive-{what}-{count}", root / f"staging-{what}-{count}"
            folder.mkdir()
            staging.mkdir()
            fill(folder, count)
            fill(staging, n, first=10**6, prefix="new")
            names = sorted(p.name for p in staging.iterdir())
            figures[what] = (arrival_camera(folder, staging, count, names, rate) if what == "camera"
                             else arrival_job(root, folder, staging, count, names, rate))
        rows.append({"folder": label, "kept": count, "rate": rate, "camera_pct_core": figures["camera"],
                     "job_pct_core": figures["job"]})
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="idle time per figure (default: %(default)s)")
    parser.add_argument("--kept", type=int, default=20000, help="kept files in the busy folder (default: %(default)s)")
    parser.add_argument("--rate", type=float, default=10.0,
                        help="steady arrival, files a second (default: %(default)s)")
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
        arriving = steady_arrival(Path(tmp), args.kept, args.seconds, args.rate)
    if args.json:
        print(json.dumps({"versions": versions(), "seconds": args.seconds, "results": rows, "arrival": arriving},
                         indent=2))
        return 0
    print(" ".join(f"{k} {v}" for k, v in versions().items()))
    for r in rows:
        ratio = r["python_pct_core"] / r["ours_pct_core"] if r["ours_pct_core"] > 0 else float("inf")
        print(f"idle {r['folder']:<18} notified {r['ours_pct_core']:6.2f}% of a core, "
              f"listing {r['listing_pct_core']:6.2f}%  (python orchestration {r['python_pct_core']:6.2f}%, "
              f"{ratio:.1f}x notified)")
    for r in arriving:
        print(f"arrival {r['rate']:g}/s, {r['folder']:<18} camera {r['camera_pct_core']:6.2f}% of a core, "
              f"watch job (instant inspector) {r['job_pct_core']:6.2f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
