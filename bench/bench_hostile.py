"""Peak memory of the camera process for hostile files, against a normal image, in the same run.

Each file is dropped alone into a folder; a fresh process opens the camera on it (none policy,
after keep), waits until the camera has taken the file or set it aside, and reports its peak
resident set size. The hostile files declare 30000x30000 pixels, 2.7 GB once decoded to BGR: a
JPEG of a few hundred bytes, a 1-bit PNG of about 109 KB that a decoder would really expand, and a
sparse file of 2 GB under an image name. Goal: under 600 MB each.

    python bench/bench_hostile.py
    python bench/bench_hostile.py --decode   # also the bare np.fromfile + cv2.imdecode of each (GBs!)
    python bench/bench_hostile.py --json
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

import cv2
import numpy as np

from _common import ROOT, versions  # noqa: I001  (first: it sets the import paths)

SIDE = 30000
GOAL_MB = 600

CAMERA = """
import resource, sys, time
from qorva.io.camera.dropnest import DropnestCamera
cam = DropnestCamera({"path": sys.argv[1], "ready_policy": "none", "after": "keep", "poll_ms": 5})
cam.open()
deadline = time.monotonic() + 60
while not cam._seen and time.monotonic() < deadline:
    cam.read(timeout=0.01)
cam.close()
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, len(cam._seen))
"""

BARE = """
import resource, sys
import cv2, numpy as np
img = cv2.imdecode(np.fromfile(sys.argv[1], dtype=np.uint8), cv2.IMREAD_COLOR)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, None if img is None else img.shape)
"""


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_1bit(side: int) -> bytes:
    """A valid black 1-bit grey PNG of side x side: every row is a filter byte and side/8 zero bytes."""
    z = zlib.compressobj(9)
    row = bytes(1 + (side + 7) // 8)
    idat = b"".join(z.compress(row) for _ in range(side)) + z.flush()
    ihdr = struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


def jpeg_declaring(side: int) -> bytes:
    """An 8x8 JPEG whose frame header is rewritten to declare side x side (decoders fill the rest grey)."""
    data = bytearray(cv2.imencode(".jpg", np.full((8, 8, 3), 128, np.uint8))[1].tobytes())
    sof = data.index(b"\xff\xc0")
    data[sof + 5:sof + 9] = struct.pack(">HH", side, side)
    return bytes(data)


def normal_png() -> bytes:
    rng = np.random.default_rng(0)
    return cv2.imencode(".png", rng.integers(0, 256, (480, 640, 3), dtype=np.uint8))[1].tobytes()


def peak(script: str, target: Path) -> tuple[int, str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "src"), *sys.path]))
    out = subprocess.run([sys.executable, "-c", script, str(target)], env=env, capture_output=True, text=True,
                         timeout=300, check=True).stdout.split(maxsplit=1)
    return int(out[0]), out[1].strip()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--decode", action="store_true", help="also decode each file bare (needs several GB)")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        cases = [("normal 640x480 PNG", "a.png", normal_png()),
                 (f"JPEG declaring {SIDE}x{SIDE}", "b.jpg", jpeg_declaring(SIDE)),
                 (f"1-bit PNG declaring {SIDE}x{SIDE}", "c.png", png_1bit(SIDE)),
                 ("2 GB sparse file under an image name", "d.tif", None)]
        for label, name, data in cases:
            folder = Path(tmp) / name.split(".")[0]
            folder.mkdir()
            target = folder / name
            if data is None:
                with target.open("wb") as fh:
                    fh.truncate(2 << 30)
            else:
                target.write_bytes(data)
            size = target.stat().st_size
            rss, seen = peak(CAMERA, folder)
            row = {"file": label, "bytes": size, "camera_peak_mb": rss / 1e6, "done": seen == "1"}
            if args.decode and data is not None:
                bare, shape = peak(BARE, target)
                row.update(bare_peak_mb=bare / 1e6, bare_shape=shape)
            rows.append(row)
    base = rows[0]["camera_peak_mb"]
    if args.json:
        print(json.dumps({"versions": versions(), "goal_mb": GOAL_MB, "rows": rows}, indent=2))
        return
    print("peak RSS of the camera process, one file each:", versions())
    for r in rows:
        bare = f"; bare decode {r['bare_peak_mb']:8.1f} MB {r['bare_shape']}" if "bare_peak_mb" in r else ""
        print(f"  {r['file']:40s} {r['bytes']:>11,d} B  {r['camera_peak_mb']:7.1f} MB  "
              f"{r['camera_peak_mb'] / base:5.2f}x normal{bare}")
    worst = max(r["camera_peak_mb"] for r in rows)
    print(f"goal: every file under {GOAL_MB} MB: {'met' if worst < GOAL_MB else 'missed'} (worst {worst:.1f} MB)")


if __name__ == "__main__":
    main()
