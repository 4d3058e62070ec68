"""Cost of one `_scan` pass over folders of 1,000 to 50,000 image files.

Two states: every file already in `_seen` (the steady state of a busy folder whose files are
kept) and every file a candidate (a backlog). Baselines on the same folder in the same run:
the plain-Python camera's scan (tests/reference/camera.py, pathlib), and a bare `os.scandir`
listing (the floor).

    python bench/bench_scan.py                  # 1k, 10k and 50k files, best of 7
    python bench/bench_scan.py --sizes 10000 --repeat 15
    python bench/bench_scan.py --json
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from pathlib import Path

from _common import best_of, versions  # noqa: I001  (first: it sets the import paths)
from qorva.io.camera.dropnest import DropnestCamera
from reference import camera as reference


def fill(folder: Path, n: int) -> None:
    """n small .png files with distinct modification times, as files that arrived one by one."""
    for i in range(n):
        p = folder / f"cam1_{i:06d}.png"
        p.write_bytes(b"x")
        os.utime(p, (1_700_000_000 + i * 0.01, 1_700_000_000 + i * 0.01))


def scandir_floor(folder: Path) -> None:
    with os.scandir(folder) as it:
        for _ in it:
            pass


def measure(n: int, repeat: int, root: Path) -> list[dict[str, object]]:
    folder = root / f"n{n}"
    folder.mkdir()
    fill(folder, n)
    cam = DropnestCamera({"path": str(folder), "after": "keep"})
    cam._prepare()
    rows = []
    for state in ("seen", "backlog"):
        cam._seen.clear()
        if state == "seen":
            cam._seen.update(str(p) for p in cam._scan())
        plain = reference.DropnestCamera(cam.params)
        plain._folder, plain._seen = cam._folder, cam._seen

        ours = best_of(cam._scan, repeat)
        ref = best_of(plain._scan, repeat)
        floor = best_of(lambda: scandir_floor(folder), repeat)
        rows.append({"files": n, "state": state, "ours_ms": ours * 1e3, "pathlib_ms": ref * 1e3,
                     "scandir_ms": floor * 1e3, "vs_pathlib": ref / ours, "of_scandir": ours / floor,
                     "same_result": cam._scan() == plain._scan()})
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 50000],
                        help="folder sizes in files (default: %(default)s)")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per figure; best kept (default: %(default)s)")
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of the table")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="bench_scan_") as tmp:
        rows = [row for n in args.sizes for row in measure(n, args.repeat, Path(tmp))]
    if args.json:
        print(json.dumps({"versions": versions(), "results": rows}, indent=2))
        return 0
    print(" ".join(f"{k} {v}" for k, v in versions().items()))
    for r in rows:
        same = "" if r["same_result"] else "  RESULT DIFFERS FROM PATHLIB"
        print(f"scan {r['files'] // 1000:>3}k {r['state']:<7} {r['ours_ms']:8.2f} ms  "
              f"{r['vs_pathlib']:6.1f}x vs pathlib ({r['pathlib_ms']:.2f} ms)  "
              f"{r['of_scandir']:5.2f}x of bare scandir ({r['scandir_ms']:.2f} ms){same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
