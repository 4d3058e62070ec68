"""The live page's latency: from a file dropped into the folder to its verdict on the page's JSON.

One `InspectionJob` (instant inspector, none policy, 20 ms poll) with the live feed and its server. Each
image is written under a temporary name and renamed into the folder, one at a time; a client polls
`/status.json` every 10 ms. Measured per image, in the same run:

- drop to verdict (the baseline): until the job's result callback, i.e. the row is committed;
- drop to page: until the verdict is in `/status.json` over HTTP.

The page itself asks once a second, so a person sees a verdict on average 0.5 s after the drop-to-page
figure. Also the cost of the feed per image (thumbnail and bookkeeping, on the job's thread) for a
640x480 image, against formatting the printed result line.

    python bench/bench_live.py            # 40 images
    python bench/bench_live.py --images 100 --json
"""

from __future__ import annotations

import argparse
import json
import shutil
import tempfile
import threading
import time
import urllib.request
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from _common import best_of, versions  # noqa: I001  (first: it sets the import paths)
from bench_watch import Instant
from qorva.console import result_line
from qorva.home import use as use_home
from qorva.inspection.base import ModelState
from qorva.io.camera.dropnest import DropnestCamera
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, JobWatchers, camera_params
from qorva.live import LiveFeed, LiveServer
from qorva.results import ResultStore, Row


def _seen(url: str, name: str) -> bool:
    with urllib.request.urlopen(url + "status.json", timeout=5) as r:
        return any(item["file"] == name for item in json.load(r)["recent"])


def _pct(values: list[float], q: float) -> float:
    return float(np.percentile(np.asarray(values) * 1000.0, q))


def measure(n: int) -> dict[str, Any]:
    root = Path(tempfile.mkdtemp(prefix="qorva-bench-live-"))
    drop = root / "drop"
    drop.mkdir()
    png = cv2.imencode(".png", np.random.default_rng(0).integers(0, 256, (480, 640, 3), np.uint8))[1].tobytes()
    verdict_at: dict[str, float] = {}
    feed = LiveFeed(product="bench", folder=str(drop), threshold=1.0)
    server = LiveServer(feed, "127.0.0.1", 0).start()
    stop = threading.Event()
    state = ModelState("norim", "bench", 1.0, {})

    def run_job() -> None:  # SQLite connections stay on the thread that made them
        with use_home(root / "home") as home, ResultStore(root / "results.db") as store:
            InspectionJob(
                home=home, state=state, store=store, inspector=Instant(), options=JobOptions(write_overlays=False),
                stop=stop, watchers=JobWatchers(feed=feed, on_result=lambda row, image, result: verdict_at.setdefault(
                    row.source_file, time.perf_counter())),
                camera=with_acknowledgement(DropnestCamera)(camera_params(drop, ready_policy="none", poll_ms=20)),
            ).run()

    runner = threading.Thread(target=run_job, name="bench-job")
    runner.start()
    to_verdict, to_page = [], []
    try:
        for i in range(n):
            name = f"img{i:04d}.png"
            (root / name).write_bytes(png)
            t0 = time.perf_counter()
            (root / name).rename(drop / name)
            while not _seen(server.url, name):
                time.sleep(0.01)
            to_page.append(time.perf_counter() - t0)
            to_verdict.append(verdict_at[name] - t0)
    finally:
        stop.set()
        runner.join(30)
        server.close()
        shutil.rmtree(root, ignore_errors=True)
    return {"to_verdict": to_verdict, "to_page": to_page}


def feed_cost() -> tuple[float, float]:
    image = np.random.default_rng(1).integers(0, 256, (480, 640, 3), np.uint8)
    row = Row("2026-12-08T14:00:03.123Z", "r", "bench", "a.png", "a.png", "OK", 0.5, 1.0, latency_ms=1.0)
    feed = LiveFeed(product="bench", folder="x", threshold=1.0)
    return best_of(lambda: feed.add(row, image), 200), best_of(lambda: result_line(row), 200)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--images", type=int, default=40)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    m = measure(args.images)
    add_s, line_s = feed_cost()
    out = {
        "versions": versions(), "images": args.images,
        **{f"{k}_ms": {f"p{q}": _pct(v, q) for q in (50, 90, 99)} for k, v in m.items()},
        "feed_add_ms": add_s * 1000.0, "result_line_ms": line_s * 1000.0,
    }
    if args.json:
        print(json.dumps(out, indent=2))
        return
    v, p = out["to_verdict_ms"], out["to_page_ms"]
    print(f"drop to verdict (baseline)  p50 {v['p50']:.1f} ms  p90 {v['p90']:.1f} ms  p99 {v['p99']:.1f} ms")
    print(f"drop to page (status.json)  p50 {p['p50']:.1f} ms  p90 {p['p90']:.1f} ms  p99 {p['p99']:.1f} ms"
          f"  {p['p50'] / v['p50']:.2f}x the verdict's p50")
    print(f"feed per 640x480 image      {out['feed_add_ms']:.3f} ms  ({out['feed_add_ms'] / out['result_line_ms']:.0f}x"
          f" the printed line's {out['result_line_ms'] * 1000:.1f} us)")
    print(f"(the page asks once a second: a person sees a verdict about 0.5 s later on average)  {out['versions']}")


if __name__ == "__main__":
    main()
