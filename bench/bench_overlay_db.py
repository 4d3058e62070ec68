"""What a line's PostgreSQL database grows by per day when every NG overlay is stored with its row.

Rows are written through `ResultStore.add` into a PostgreSQL server this benchmark starts (Debian's
package, as the tests do): first rows without overlays (every OK of a line), then NG rows each with the
small JPEG `watch --db-overlays on` stores, made from real photographs that ship inside scikit-learn
(427x640 and 640x427) and from the demo's 256 px board, each with a painted anomaly map and its caption.
The growth of the tables with their indexes and TOAST is measured, per row and per overlay, then scaled
to a line of stations: `--stations`, `--parts-per-s` per station, around the clock, and NG rates.

    python bench/bench_overlay_db.py            # 100 stations, 1 part/s each, NG 1%, 2%, 5%
    python bench/bench_overlay_db.py --json
"""

from __future__ import annotations

import argparse
import json
import sys
import uuid
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pgserver  # noqa: E402  (tests/, on the path through _common)
from _common import versions  # noqa: E402
from qorva import overlays  # noqa: E402
from qorva.demo import synthetic  # noqa: E402
from qorva.inspection.modules.anomaly.anomaly_map import render_overlay  # noqa: E402
from qorva.results import ResultStore, Row, utc_now  # noqa: E402

_TABLES = ("results", "overlay_images")


def _pictures() -> list[np.ndarray]:
    from sklearn.datasets import load_sample_image

    photos = [np.ascontiguousarray(load_sample_image(n)[..., ::-1]) for n in ("china.jpg", "flower.jpg")]
    return [*photos, synthetic.good_images("assembly", 1, 3, size=256)[0]]


def _card(image: np.ndarray, seed: int) -> np.ndarray:
    """An NG overlay as `watch` saves it: a hot spot on the map, the caption band below."""
    rng = np.random.default_rng(seed)
    h, w = image.shape[:2]
    amap = np.zeros((h // 8, w // 8), np.float32)
    y, x = rng.integers(2, amap.shape[0] - 2), rng.integers(2, amap.shape[1] - 2)
    amap[y - 2 : y + 2, x - 2 : x + 2] = 3.0
    row = Row(utc_now(), "r", "board", f"cam1_{seed:06d}.png", None, "NG", 4.2, 1.9, dominant_branch="structural")
    return overlays.card(render_overlay(image, amap, 1.5), overlays.caption(row), "NG")


def _row(i: int, verdict: str) -> Row:
    return Row(utc_now(), "bench", "board", f"cam1_{i:06d}.png", f"/drop/cam1_{i:06d}.png", verdict, 0.3, 1.9, 0.2,
               0.3, -0.1, 0.1, "structural", None, 14.2, source_bytes=f"/drop/cam1_{i:06d}.png".encode(),
               file_size=250_000 + i, file_mtime_ns=1_800_000_000_000_000_000 + i, content_hash=uuid.uuid4().hex,
               station="line1-cam01")


def _size(store: ResultStore) -> int:
    found = store.read("SELECT " + " + ".join(f"pg_total_relation_size('{t}')" for t in _TABLES) + " AS n")
    return int(found[0]["n"])


def measure(n_rows: int, n_ng: int) -> dict[str, float]:
    server = pgserver.Server().start()
    try:
        with ResultStore(server.new_database(), station="line1-cam01") as store:
            start = _size(store)
            for i in range(n_rows):
                store.add(_row(i, "OK"))
            per_row = (_size(store) - start) / n_rows
            pictures = _pictures()
            jpegs = [overlays.stored_jpeg(_card(pictures[i % len(pictures)], i)) for i in range(n_ng)]
            before = _size(store)
            for i, jpeg in enumerate(jpegs):
                store.add(_row(n_rows + i, "NG"), overlay_jpeg=jpeg)
            per_ng = (_size(store) - before) / n_ng
    finally:
        server.close()
    return {"bytes_per_row": per_row, "bytes_per_ng_row_with_overlay": per_ng,
            "jpeg_bytes_mean": float(np.mean([len(j) for j in jpegs])),
            "jpeg_bytes_max": float(max(len(j) for j in jpegs))}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=100)
    parser.add_argument("--parts-per-s", type=float, default=1.0)
    parser.add_argument("--ng-rates", default="1,2,5", help="percent, comma separated")
    parser.add_argument("--rows", type=int, default=3000, help="OK rows written to measure a row")
    parser.add_argument("--ngs", type=int, default=600, help="NG rows with overlays written to measure one")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    reason = pgserver.missing()
    if reason is not None:
        print(f"skipped: no PostgreSQL server ({reason})")
        return 0
    m = measure(args.rows, args.ngs)
    parts_day = args.stations * args.parts_per_s * 86_400
    days = []
    for rate in (float(r) / 100 for r in args.ng_rates.split(",")):
        rows_gb = parts_day * (1 - rate) * m["bytes_per_row"] / 1e9
        ng_gb = parts_day * rate * m["bytes_per_ng_row_with_overlay"] / 1e9
        overlay_gb = parts_day * rate * (m["bytes_per_ng_row_with_overlay"] - m["bytes_per_row"]) / 1e9
        days.append({"ng_rate": rate, "gb_per_day": rows_gb + ng_gb, "of_which_overlays_gb": overlay_gb})
    if args.json:
        print(json.dumps({"versions": versions(), **m, "parts_per_day": parts_day, "days": days}, indent=1))
        return 0
    print(f"versions: {versions()}")
    print(f"one row without overlay      {m['bytes_per_row']:8.0f} B (table, indexes, TOAST)")
    print(f"one NG row with its overlay  {m['bytes_per_ng_row_with_overlay']:8.0f} B "
          f"(JPEG {overlays.STORED_SIDE} px q{overlays.STORED_QUALITY}: mean {m['jpeg_bytes_mean']:.0f} B, "
          f"max {m['jpeg_bytes_max']:.0f} B)")
    print(f"a line of {args.stations} stations at {args.parts_per_s:g} part/s each: {parts_day:,.0f} parts a day")
    for d in days:
        print(f"  NG {100 * d['ng_rate']:4.1f}%: {d['gb_per_day']:6.2f} GB a day, of which overlays "
              f"{d['of_which_overlays_gb']:5.2f} GB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
