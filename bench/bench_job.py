"""The watch job on every core: its backlog rate against the inspector alone, and its latency under a steady sender.

One trained NORIM product (the model `qorva train` makes by default: pretrained features where they can
run), 256x256 images of the synthetic assembly, one in 20 defective. In one run, on the same images:

- baseline: the inspector alone on one thread, over the decoded images, without overlays (what one core
  can judge; rendering overlays only makes it slower), and the same on `--workers` threads sharing the
  images (the ceiling the model's own GIL-held steps leave to any job);
- `watch` draining a backlog of PNG files (none policy, files moved, a fresh SQLite database, overlays of
  NG images written) with 1 worker and with `--workers` (default: the CPU count), from opening the camera
  to the last row committed;
- the job with an inspector that answers at once (its own cost per image: decoding, hashing, recording, moving);
- the same with an overlay rendered for every image (how the job worked before: the price of the choice
  to rescore only NG images);
- steady arrival: a sender renames one file into the folder every 1/r s, r = 80% of the backlog rate with
  the workers; drop-to-verdict latency (rename to the row committed) p50, p99 and max.

Each run also prints the CPU time of the whole process per image (all threads; for `watch`, from opening
the camera to the last row: writing the files beforehand is the sender's): two cores can give at most
2000 / that many images per second, whatever the threads do, and the accounting line adds it up. The
inspector alone and `watch` on every worker then run back to back `--repeat` times (default 5): the
median of their ratios is the figure. The machine's second core is shared with other
work: the run also prints how much two threads of a
GIL-free kernel (SHA-256) gain over one, measured just before, which bounds what any parallel job can show.

    python bench/bench_job.py                        # 1,000 images
    python bench/bench_job.py --images 300 --backbone none --json
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from _common import versions  # noqa: I001  (first: it sets the import paths)
from qorva.calibration import KindWatch
from qorva.home import use as use_home
from qorva.io.camera.dropnest import DropnestCamera
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, JobWatchers, camera_params
from qorva.results import ResultStore

_DEFECT_EVERY = 20
_KINDS = ("scratch", "spot", "crack", "missing")


def two_core_capacity() -> float:
    """How much faster two threads hash twice the data than one thread hashes it once (2.0: two free cores)."""
    data = os.urandom(16 << 20)

    def work() -> None:
        for _ in range(8):
            hashlib.sha256(data).digest()

    t = time.perf_counter()
    work()
    one = time.perf_counter() - t
    threads = [threading.Thread(target=work) for _ in range(2)]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return 2 * one / (time.perf_counter() - t)


def images(n: int) -> list[np.ndarray]:
    from qorva.demo import synthetic

    out = []
    for i in range(n):
        if i % _DEFECT_EVERY == _DEFECT_EVERY - 1:
            out.append(synthetic.defect_image("assembly", _KINDS[i % len(_KINDS)], 7, i, size=256)[0])
        else:
            out.append(synthetic.good_image("assembly", 7, i, size=256))
    return out


def product(home: Path, backbone: str) -> tuple[Any, Any]:
    from qorva.demo import synthetic
    from qorva.inspection.modules.norim import runner
    from qorva.inspection.modules.norim.inspector import NorimInspector

    runner.train("bench", synthetic.good_images("assembly", 20, 1, size=256), home=home, backbone=backbone)
    insp = NorimInspector()
    return insp, insp.teach(synthetic.good_images("assembly", 12, 2, size=256), {"product_id": "bench"})


class AlwaysOverlay:
    """The inspector asked for its overlay on every image, as the job did before."""

    def __init__(self, inspector: Any) -> None:
        self.inspector = inspector

    def inspect(self, image: Any, state: Any, *, with_overlay: bool = True) -> Any:
        return self.inspector.inspect(image, state, with_overlay=True)


class Instant:
    """An inspector that answers at once: what is left is the job's own work per image."""

    def __init__(self, result: Any) -> None:
        self.result = result

    def inspect(self, image: Any, state: Any, *, with_overlay: bool = True) -> Any:
        return self.result


def alone(inspector: Any, state: Any, decoded: list[np.ndarray]) -> float:
    t = time.perf_counter()
    for image in decoded:
        inspector.inspect(image, state, with_overlay=False)
    return len(decoded) / (time.perf_counter() - t)


def alone_threads(inspector: Any, state: Any, decoded: list[np.ndarray], threads: int) -> float:
    """The inspector alone on `threads` threads sharing the images: what the model lets the cores do."""

    def work(part: list[np.ndarray]) -> None:
        for image in part:
            inspector.inspect(image, state, with_overlay=False)

    pool = [threading.Thread(target=work, args=(decoded[i::threads],)) for i in range(threads)]
    t = time.perf_counter()
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    return len(decoded) / (time.perf_counter() - t)


def backlog(root: Path, pngs: list[bytes], inspector: Any, state: Any, workers: int) -> tuple[float, float]:
    """Images per second of the job draining a backlog of `pngs`, from opening to the last row, and the
    process CPU seconds of the drain (writing the files beforehand is the sender's work, not counted)."""
    drop, done = root / "drop", root / "done"
    for d in (drop, done):
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir()
    for i, data in enumerate(pngs):
        p = drop / f"img{i:05d}.png"
        p.write_bytes(data)
        os.utime(p, (1_700_000_000 + i, 1_700_000_000 + i))
    camera = with_acknowledgement(DropnestCamera)(camera_params(drop, ready_policy="none", processed_dir=str(done)))
    t, cpu = time.perf_counter(), time.process_time()
    with ResultStore(root / f"results-{time.monotonic_ns()}.db") as store:
        summary = InspectionJob(home=root, state=state, store=store, inspector=inspector, camera=camera,
                                options=JobOptions(max_images=len(pngs), workers=workers),
                                watchers=JobWatchers(kinds=KindWatch({}))).run()
    elapsed, cpu = time.perf_counter() - t, time.process_time() - cpu
    if summary.n != len(pngs):
        msg = f"the job recorded {summary.n} of {len(pngs)} images"
        raise RuntimeError(msg)
    return len(pngs) / elapsed, cpu


def steady(root: Path, pngs: list[bytes], inspector: Any, state: Any, workers: int, rate: float) -> list[float]:
    """Drop-to-verdict seconds of each image renamed into the folder at `rate` per second."""
    drop, staging = root / "steady", root / "staging"
    for d in (drop, staging):
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir()
    dropped: dict[str, float] = {}
    verdict: dict[str, float] = {}
    stop = threading.Event()
    camera = with_acknowledgement(DropnestCamera)(camera_params(drop, ready_policy="none", poll_ms=10))

    def on_result(row: Any, image: Any, result: Any) -> None:
        verdict[row.source_file] = time.perf_counter()
        if len(verdict) == len(pngs):
            stop.set()

    # Written beforehand: on a line the sender is another machine, and writing 1,000 files from this
    # process took a sixth of a core (and the GIL) from the job it measures. The run renames them.
    for i, data in enumerate(pngs):
        (staging / f"s{i:05d}.png").write_bytes(data)

    def send() -> None:
        start = time.perf_counter()
        for i in range(len(pngs)):
            name = f"s{i:05d}.png"
            delay = start + i / rate - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            dropped[name] = time.perf_counter()
            (staging / name).replace(drop / name)

    sender = threading.Thread(target=send, name="bench-sender")
    with ResultStore(root / f"steady-{time.monotonic_ns()}.db") as store:
        job = InspectionJob(home=root, state=state, store=store, inspector=inspector, camera=camera, stop=stop,
                            options=JobOptions(workers=workers, duration_s=60 + 2 * len(pngs) / rate),
                            watchers=JobWatchers(on_result=on_result))
        sender.start()
        job.run()
    sender.join()
    return [verdict[n] - dropped[n] for n in dropped if n in verdict]


def measure(n: int, workers: int, backbone: str, repeat: int) -> dict[str, Any]:
    root = Path(tempfile.mkdtemp(prefix="qorva-bench-job-"))
    try:
        with use_home(root / "home"):
            inspector, state = product(root / "home", backbone)
            decoded = images(n)
            pngs = [cv2.imencode(".png", im)[1].tobytes() for im in decoded]
            ng = sum(inspector.inspect(im, state, with_overlay=False).verdict.value == "NG" for im in decoded[:200])
            out: dict[str, Any] = {"capacity_2_threads": two_core_capacity(), "ng_share_first_200": ng / 200}
            cpu = out["cpu_ms_per_image"] = {}

            def run(key: str, fn: Any) -> float:
                c = time.process_time()
                got = fn()
                rate, seconds = got if isinstance(got, tuple) else (got, time.process_time() - c)
                out[key], cpu[key] = rate, seconds / n * 1000.0
                return rate

            run("alone", lambda: alone(inspector, state, decoded))
            run(f"alone_{workers}_threads", lambda: alone_threads(inspector, state, decoded, workers))
            instant = Instant(inspector.inspect(decoded[0], state, with_overlay=False))
            run("watch_instant", lambda: backlog(root, pngs, instant, state, 1))
            run("watch_1", lambda: backlog(root, pngs, inspector, state, 1))
            run(f"watch_{workers}", lambda: backlog(root, pngs, inspector, state, workers))
            run(f"watch_{workers}_overlay_every_image",
                lambda: backlog(root, pngs, AlwaysOverlay(inspector), state, workers))  # fmt: skip
            # The goal's figure: the inspector alone and `watch` on every worker back to back, `repeat` times;
            # the median of the ratios, each pair under the same load of the machine.
            ratios = [out[f"watch_{workers}"] / out["alone"]]
            for _ in range(repeat - 1):
                base = alone(inspector, state, decoded)
                ratios.append(backlog(root, pngs, inspector, state, workers)[0] / base)
            out["ratios"] = ratios
            rate = 0.8 * out[f"watch_{workers}"]
            lat = np.asarray(steady(root, pngs, inspector, state, workers, rate)) * 1000.0
            out["steady"] = {"rate": rate, "images": int(lat.size), "p50_ms": float(np.percentile(lat, 50)),
                             "p99_ms": float(np.percentile(lat, 99)), "max_ms": float(lat.max())}
            return out
    finally:
        shutil.rmtree(root, ignore_errors=True)


def accounting(f: dict[str, Any], workers: int) -> str:
    """Where the CPU of an image goes, and the rate the cores allow at most."""
    cpu = f["cpu_ms_per_image"]
    inspect, job = cpu["alone"], cpu["watch_instant"]
    rest = max(0.0, cpu["watch_1"] - inspect - job)  # the NG images inspected again with their overlays
    total = inspect + job + rest
    cores = min(workers, os.cpu_count() or 1)
    bound = 1000.0 * cores / total
    return (f"  CPU per image: inspection {inspect:.1f} + the job's own {job:.1f} + NG overlays and the rest "
            f"{rest:.1f} = {total:.1f} ms; {cores} free cores could give {bound:.0f} img/s, "
            f"{bound / f['alone']:.2f}x the inspector alone")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=1000, help="images in the backlog and in the steady run")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="inspection workers")
    parser.add_argument("--backbone", default="auto", choices=("auto", "lite0", "none"), help="model to train")
    parser.add_argument("--repeat", type=int, default=5,
                        help="pairs of the inspector alone and watch on every worker; the median ratio is the figure")
    parser.add_argument("--json", action="store_true", help="machine-readable output")
    args = parser.parse_args()
    f = measure(args.images, args.workers, args.backbone, max(1, args.repeat))
    if args.json:
        print(json.dumps({"versions": versions(), "images": args.images, **f}, indent=2))
        return
    w, base = args.workers, f["alone"]
    print(f"watch job, {args.images} PNG 256x256 (1 in {_DEFECT_EVERY} defective), none policy; {versions()}")
    print(f"  two threads of SHA-256 on this machine now: {f['capacity_2_threads']:.2f}x one thread")
    cpu = f["cpu_ms_per_image"]
    print(f"  {'':40}{'img/s':>11}  ratio  CPU ms/img (all threads)")
    print(f"  {'inspector alone, 1 thread, no overlay':<40}{base:7.1f} img/s  1.00x  {cpu['alone']:5.1f}  (baseline)")
    for key, label in ((f"alone_{w}_threads", f"inspector alone, {w} threads (the ceiling)"),
                       ("watch_instant", "watch, instant inspector (the job alone)"),
                       ("watch_1", "watch, 1 worker"), (f"watch_{w}", f"watch, {w} workers"),
                       (f"watch_{w}_overlay_every_image", f"watch, {w} workers, overlay for all")):
        print(f"  {label:<40}{f[key]:7.1f} img/s  {f[key] / base:.2f}x  {cpu[key]:5.1f}")
    print(accounting(f, w))
    r = sorted(f["ratios"])
    print(f"  watch with {w} workers against the inspector alone, {len(r)} pairs back to back: median "
          f"{r[len(r) // 2]:.2f}x (from {r[0]:.2f}x to {r[-1]:.2f}x)")
    s = f["steady"]
    print(f"  steady sender at {s['rate']:.1f} img/s (80% of the backlog rate), {s['images']} images: drop to verdict"
          f" p50 {s['p50_ms']:.0f} ms  p99 {s['p99_ms']:.0f} ms  max {s['max_ms']:.0f} ms")


if __name__ == "__main__":
    main()
