"""Stress of the notified scan: many seeded runs of random file operations, each pass compared with a listing.

The differential test of the suite runs 2 x 200 steps; this runs as many as asked, with the same
operations (tests/folder_ops.py): writes, appends, touches into the past and future, renames within,
into and out of the folder, deletes, replacement by rename, folders, links, other names written from
outside, `_seen` and extension changes, files that go between a scan's listing and its reads of their
times. It prints the steps run, the passes answered from notifications, and every step whose result
differed from the listing's (none expected); exit code 1 when one did.

    python bench/stress_notify.py                      # seeds 1-20, 2,000 steps each
    python bench/stress_notify.py --seeds 100 --steps 5000
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

from _common import versions  # noqa: I001  (first: it sets the import paths)
from folder_ops import FolderOps
from qorva.io.camera.dropnest import DropnestCamera


def run(seed: int, steps: int, root: Path) -> tuple[int, list[str]]:
    folder, outside = root / f"in{seed}", root / f"outside{seed}"
    folder.mkdir()
    outside.mkdir()
    notified = DropnestCamera({"path": str(folder), "after": "keep"})
    listed = DropnestCamera({"path": str(folder), "after": "keep", "notify": False})
    notified._prepare()
    listed._prepare()
    ops = FolderOps(seed, folder, outside, [notified, listed])
    answered, differed = 0, []
    for step in range(steps):
        what = ops.step()
        got, want = ops.scans()
        answered += notified._notified
        if got != want:
            differed.append(f"seed {seed} step {step} ({what}): {[p.name for p in got]} != {[p.name for p in want]}")
    return answered, differed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20, help="runs, seeded 1..N (default: %(default)s)")
    parser.add_argument("--steps", type=int, default=2000, help="operations per run (default: %(default)s)")
    args = parser.parse_args(argv)
    print(" ".join(f"{k} {v}" for k, v in versions().items()))
    answered, differed, start = 0, [], time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="stress_notify_") as tmp:
        for seed in range(1, args.seeds + 1):
            a, d = run(seed, args.steps, Path(tmp))
            answered += a
            differed += d
    total = args.seeds * args.steps
    for line in differed:
        print(line)
    print(f"{total} steps in {time.perf_counter() - start:.1f} s, {answered / total:.1%} of the passes notified, "
          f"{len(differed)} differed from the listing")
    return 1 if differed else 0


if __name__ == "__main__":
    sys.exit(main())
