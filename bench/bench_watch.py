"""The watch job's throughput with the acknowledged hand-over against the hand-over it replaced.

Both drain the same backlog of 640x480 PNGs (none policy, files moved to the processed folder) into
a fresh results database, from opening the camera to the last row committed and the camera closed:

- before: the camera moves each file as soon as it has handed the frame over; the job reads, inspects
  and commits one row per frame (the loop the job ran before the change);
- after: `with_acknowledgement(DropnestCamera)` and `InspectionJob`: each hand-over journalled by the
  receiver thread, the key (stat, hash of the pixels) looked up before judging, the row and the
  journal entry closed in one transaction, the file moved only after the commit.

Two inspectors: an instant one (what is left is the hand-over, the bookkeeping and the commit, so the
ratio shows the cost at its largest) and the NORIM inspector on a trained synthetic product (a line).

    python bench/bench_watch.py                 # 300 images, best of 3 alternating rounds
    python bench/bench_watch.py --files 100 --repeat 2 --json
"""

from __future__ import annotations

import argparse
import json
import shutil
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

from _common import versions  # noqa: I001  (first: it sets the import paths)
from bench_drain import fill
from qorva.home import use as use_home
from qorva.inspection.base import ModelState
from qorva.io.camera.dropnest import DropnestCamera
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, camera_params
from qorva.results import ResultStore, Row
from qorva.schemas.common import InspectionResult, Verdict


class Instant:
    """An inspector that judges at once: every cost left is the job's and the camera's."""

    def inspect(self, image: Any, state: Any, *, with_overlay: bool = True) -> InspectionResult:
        return InspectionResult(verdict=Verdict.OK, score=0.5, threshold=1.0, module="norim",
                                details={"branch": {"structural": 0.5}, "dominant_branch": "structural"})


def before(params: dict[str, Any], db: Path, inspector: Any, state: ModelState, n: int) -> None:
    cam = DropnestCamera(params)
    with ResultStore(db) as store:
        cam.open()
        try:
            for _ in range(n):
                image, meta = cam.read(timeout=30)
                t = time.perf_counter()
                result = inspector.inspect(image, state, with_overlay=False)
                store.add(Row.from_result(result, run_id="bench", product_id=str(state.product_id),
                                          source=meta["source_path"], latency_ms=time.perf_counter() - t))
        finally:
            cam.close()


def after(params: dict[str, Any], db: Path, inspector: Any, state: ModelState, n: int) -> None:
    cam = with_acknowledgement(DropnestCamera)(params)
    with ResultStore(db) as store:
        summary = InspectionJob(home=db.parent, state=state, store=store, inspector=inspector, camera=cam,
                                options=JobOptions(write_overlays=False, max_images=n), stop=threading.Event()).run()
    if summary.n != n:
        msg = f"the job recorded {summary.n} of {n} images"
        raise RuntimeError(msg)


def one_round(root: Path, variant: Any, inspector: Any, state: ModelState, n: int) -> float:
    folder, done = root / "drop", root / "done"
    db = root / f"results-{time.monotonic_ns()}.db"
    params = camera_params(folder, ready_policy="none", processed_dir=str(done))
    t = time.perf_counter()
    variant(params, db, inspector, state, n)
    elapsed = time.perf_counter() - t
    for p in done.iterdir():
        p.replace(folder / p.name)
    return elapsed


def norim(root: Path) -> tuple[Any, ModelState]:
    """The NORIM inspector taught on a small synthetic product under `root`."""
    from qorva.demo import synthetic
    from qorva.inspection.modules.norim import runner
    from qorva.inspection.modules.norim.inspector import NorimInspector

    runner.train("bench", synthetic.good_images("assembly", 12, 1, size=256), home=root)
    insp = NorimInspector()
    return insp, insp.teach(synthetic.good_images("assembly", 8, 2, size=256), {"product_id": "bench"})


def measure(n: int, repeat: int) -> dict[str, dict[str, float]]:
    out: dict[str, dict[str, float]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "drop").mkdir()
        (root / "done").mkdir()
        fill(root / "drop", n)
        with use_home(root / "home"):
            inspectors = {"instant": (Instant(), ModelState(module="norim", product_id="bench", threshold=1.0)),
                          "norim": norim(root / "home")}
            for name, (insp, state) in inspectors.items():
                best = {"before": float("inf"), "after": float("inf")}
                for _ in range(repeat):  # alternating, so a busy moment of the machine hits both
                    for label, variant in (("before", before), ("after", after)):
                        best[label] = min(best[label], one_round(root, variant, insp, state, n))
                out[name] = {k: n / v for k, v in best.items()}
        shutil.rmtree(root / "home", ignore_errors=True)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300, help="images in the backlog")
    parser.add_argument("--repeat", type=int, default=3, help="alternating rounds; the best of each is kept")
    parser.add_argument("--json", action="store_true", help="machine-readable output")
    args = parser.parse_args()
    figures = measure(args.files, args.repeat)
    if args.json:
        print(json.dumps({"versions": versions(), "files": args.files, "images_per_s": figures}, indent=2))
        return
    print(f"watch throughput, {args.files} PNG 640x480, none policy, move; {versions()}")
    for name, f in figures.items():
        print(f"  {name:<8} inspector  before {f['before']:7.1f} img/s  after {f['after']:7.1f} img/s"
              f"  ({f['after'] / f['before']:.2f}x, {1e3 / f['after'] - 1e3 / f['before']:+.2f} ms per image)")


if __name__ == "__main__":
    main()
