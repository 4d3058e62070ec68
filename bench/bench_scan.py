"""Cost of one `_scan` pass over folders of 1,000 to 50,000 image files, notified and listed.

Two states: every file already in `_seen` (the steady state of a busy folder whose files are
kept) and every file a candidate (a backlog); then steady arrival: one new file per pass into a
folder of 20,000 kept files, each result taken into `_seen` as the camera's consume does, an idle
pass between arrivals. Ours
twice: answered from the folder's change notification (`notify` on, the default; its first pass,
which lists, is not timed) and by listing the folder on every pass (`notify` off, as on network
shares). Baselines on the same folder in the same run: the plain-Python camera's scan
(tests/reference/camera.py, pathlib), and a bare `os.scandir` listing (the floor).

    python bench/bench_scan.py                  # 1k, 10k and 50k files, best of 7; arrival into 20k
    python bench/bench_scan.py --sizes 10000 --repeat 15 --arrivals 100
    python bench/bench_scan.py --json
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from _common import best_of, versions  # noqa: I001  (first: it sets the import paths)
from qorva.io.camera.dropnest import DropnestCamera
from reference import camera as reference

T0 = 1_700_000_000


def fill(folder: Path, n: int) -> None:
    """n small .png files with distinct modification times, as files that arrived one by one."""
    for i in range(n):
        p = folder / f"cam1_{i:06d}.png"
        p.write_bytes(b"x")
        os.utime(p, (T0 + i * 0.01, T0 + i * 0.01))


def scandir_floor(folder: Path) -> None:
    with os.scandir(folder) as it:
        for _ in it:
            pass


def cameras(folder: Path) -> tuple[DropnestCamera, DropnestCamera, reference.DropnestCamera]:
    """Notified, listing and plain-Python cameras on `folder`, sharing one `_seen`."""
    notified = DropnestCamera({"path": str(folder), "after": "keep"})
    notified._prepare()
    listed = DropnestCamera({"path": str(folder), "after": "keep", "notify": False})
    listed._prepare()
    plain = reference.DropnestCamera(listed.params)
    listed._seen = plain._seen = notified._seen
    plain._folder = notified._folder
    return notified, listed, plain


def measure(n: int, repeat: int, root: Path) -> list[dict[str, object]]:
    folder = root / f"n{n}"
    folder.mkdir()
    fill(folder, n)
    notified, listed, plain = cameras(folder)
    rows = []
    for state in ("seen", "backlog"):
        notified._seen.clear()
        if state == "seen":
            notified._seen.update(str(p) for p in listed._scan())
        notified._scan()  # the first pass lists
        ours = best_of(notified._scan, repeat)
        listing = best_of(listed._scan, repeat)
        ref = best_of(plain._scan, repeat)
        floor = best_of(lambda: scandir_floor(folder), repeat)
        rows.append({"files": n, "state": state, "notified_ms": ours * 1e3, "listing_ms": listing * 1e3,
                     "pathlib_ms": ref * 1e3, "scandir_ms": floor * 1e3, "vs_pathlib": ref / ours,
                     "listing_vs_pathlib": ref / listing, "of_listing": ours / listing,
                     "same_result": notified._scan() == listed._scan() == plain._scan()})
    return rows


def arrival(cam, folder: Path, seen: set[str], passes: int, tag: str) -> float:
    """Median time of a pass that finds one new file, which is then taken into `_seen`; then an idle pass,
    as the running camera's loop makes one after each productive pass and between arrivals."""
    times = []
    for k in range(passes):
        p = folder / f"{tag}_{k:05d}.png"
        p.write_bytes(b"x")
        t = time.perf_counter()
        got = cam._scan()
        times.append(time.perf_counter() - t)
        assert [q.name for q in got] == [p.name], f"{tag}: {got}"
        seen.update(str(q) for q in got)
        assert cam._scan() == [], tag
    return statistics.median(times)


def measure_arrival(kept: int, passes: int, root: Path) -> dict[str, object]:
    folder = root / f"arrival{kept}"
    folder.mkdir()
    fill(folder, kept)
    notified, listed, plain = cameras(folder)
    notified._seen.update(str(p) for p in listed._scan())
    notified._scan()  # the first pass lists
    ours = arrival(notified, folder, notified._seen, passes, "notified")
    listing = arrival(listed, folder, notified._seen, max(passes // 4, 5), "listed")
    ref = arrival(plain, folder, notified._seen, max(passes // 20, 5), "pathlib")
    return {"kept": kept, "notified_ms": ours * 1e3, "listing_ms": listing * 1e3, "pathlib_ms": ref * 1e3,
            "of_listing": ours / listing, "vs_pathlib": ref / ours}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 50000],
                        help="folder sizes in files (default: %(default)s)")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per figure; best kept (default: %(default)s)")
    parser.add_argument("--kept", type=int, default=20000,
                        help="kept files of the steady-arrival folder (default: %(default)s)")
    parser.add_argument("--arrivals", type=int, default=200,
                        help="notified passes with one arrival each; a quarter as many listed (default: %(default)s)")
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of the table")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="bench_scan_") as tmp:
        rows = [row for n in args.sizes for row in measure(n, args.repeat, Path(tmp))]
        steady = measure_arrival(args.kept, args.arrivals, Path(tmp))
    if args.json:
        print(json.dumps({"versions": versions(), "results": rows, "arrival": steady}, indent=2))
        return 0
    print(" ".join(f"{k} {v}" for k, v in versions().items()))
    for r in rows:
        same = "" if r["same_result"] else "  RESULTS DIFFER"
        print(f"scan {r['files'] // 1000:>3}k {r['state']:<7} notified {r['notified_ms']:8.3f} ms "
              f"{r['vs_pathlib']:7.1f}x vs pathlib ({r['pathlib_ms']:.2f} ms), {r['of_listing']:6.3f} of listing | "
              f"listing {r['listing_ms']:7.2f} ms {r['listing_vs_pathlib']:5.1f}x vs pathlib, "
              f"{r['listing_ms'] / r['scandir_ms']:4.2f}x of bare scandir ({r['scandir_ms']:.2f} ms){same}")
    s = steady
    print(f"arrival into {s['kept'] // 1000}k kept: notified {s['notified_ms']:.3f} ms a pass (median), "
          f"{s['of_listing']:.4f} of a listing pass ({s['listing_ms']:.2f} ms), "
          f"{s['vs_pathlib']:.0f}x vs pathlib ({s['pathlib_ms']:.2f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
