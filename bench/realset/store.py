"""Sets on disk: PNG images, PNG masks and a manifest, cached by product, seed and counts.

Layout of one set (`<root>/<product>/seed<seed>-<train>-<teach>-<good>-<per_kind>/`; the steady pose
`seed<seed>-steady-...`):

    train/good_0000.png ...        good training images
    teach/good_0000.png ...        good teaching images
    test/good_0000.png ...         good test images, then test/<kind>_0000.png ...
    masks/<kind>_0000.png          uint8 0/255 mask of each defective test image
    twins/<kind>_0000.png          the good image each defect was painted on
    manifest.json                  counts, kinds, visibility of every defect, texture windows
    visibility.png                 the visibility rule's picture (real-photo products)

A set is reused when its manifest exists and was written by the same generator version; the manifest is
written last, so an interrupted write is regenerated.
"""

from __future__ import annotations

import json
import math
import os
import shutil
from dataclasses import asdict
from pathlib import Path

import cv2
import numpy as np

from .sets import Counts, GeneratedSet, Sample, generate
from .sheet import write_sheet

# Bump when a change to the generator changes any pixel or the layout, so caches made before it are not
# reused (2: twins).
VERSION = 2
_EMPTY = np.zeros((256, 256), np.uint8)


def set_dir(root: str | os.PathLike[str], product: str, seed: int, counts: Counts, pose: str = "usual") -> Path:
    c = counts
    tag = "" if pose == "usual" else f"-{pose}"
    return Path(root) / product / f"seed{seed}{tag}-{c.train}-{c.teach}-{c.good}-{c.per_kind}"


def _write_png(path: Path, image: np.ndarray) -> None:
    ok, buf = cv2.imencode(".png", image)
    if not ok:
        msg = f"cannot encode {path.name}"
        raise OSError(msg)
    buf.tofile(str(path))


def _read_png(path: Path, flags: int) -> np.ndarray:
    img = cv2.imdecode(np.fromfile(str(path), np.uint8), flags)
    if img is None:
        msg = f"cannot decode {path}"
        raise OSError(msg)
    return img


def write_set(gs: GeneratedSet, folder: Path, extra: dict | None = None) -> Path:
    """Write a generated set under `folder` (replacing what was there)."""
    if folder.exists():
        shutil.rmtree(folder)
    for sub in ("train", "teach", "test", "masks", "twins"):
        (folder / sub).mkdir(parents=True)
    for split, images in (("train", gs.train), ("teach", gs.teach)):
        for i, im in enumerate(images):
            _write_png(folder / split / f"good_{i:04d}.png", im)
    files, per_kind = [], {}
    for s in gs.test:
        i = per_kind.get(s.kind, 0)
        per_kind[s.kind] = i + 1
        name = f"{s.kind}_{i:04d}.png"
        _write_png(folder / "test" / name, s.image)
        if s.kind != "good":
            _write_png(folder / "masks" / name, s.mask)
        if s.good is not None:
            _write_png(folder / "twins" / name, s.good)
        files.append({"file": name, "kind": s.kind, "z": None if math.isnan(s.z) else round(s.z, 3), "stat": s.stat})
    kinds = {
        k: {"kept": r.kept, "tried": r.tried, "min_z": None if math.isnan(r.min_z) else round(r.min_z, 3)}
        for k, r in gs.kinds.items()
    }
    if any(r.least_kept is not None for r in gs.kinds.values()):
        write_sheet(gs, folder / "visibility.png")
    manifest = {
        "version": VERSION,
        "product": gs.product,
        "seed": gs.seed,
        "pose": gs.pose,
        "counts": asdict(gs.counts),
        "kinds": kinds,
        "windows": gs.windows,
        "files": files,
        **(extra or {}),
    }
    tmp = folder / "manifest.json.tmp"
    tmp.write_text(json.dumps(manifest, indent=1) + "\n", encoding="utf-8")
    tmp.replace(folder / "manifest.json")
    return folder


def read_manifest(folder: Path) -> dict | None:
    """The set's manifest, or None when the set is missing, partial or from another generator version."""
    try:
        manifest = json.loads((folder / "manifest.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return manifest if manifest.get("version") == VERSION else None


def read_split(folder: Path, split: str) -> list[np.ndarray]:
    """The good images of a written set's "train" or "teach" split, in name order."""
    return [_read_png(f, cv2.IMREAD_COLOR) for f in sorted((folder / split).glob("good_*.png"))]


def read_test(folder: Path) -> list[Sample]:
    """The test images of a written set, in manifest order, with masks (all-zero for good images) and the
    defects' good twins where the set has them."""
    manifest = read_manifest(folder)
    if manifest is None:
        msg = f"no complete set in {folder}"
        raise OSError(msg)
    out = []
    for f in manifest["files"]:
        image = _read_png(folder / "test" / f["file"], cv2.IMREAD_COLOR)
        mask = _EMPTY if f["kind"] == "good" else _read_png(folder / "masks" / f["file"], cv2.IMREAD_GRAYSCALE)
        twin = folder / "twins" / f["file"]
        good = _read_png(twin, cv2.IMREAD_COLOR) if twin.is_file() else None
        out.append(Sample(image, mask, f["kind"], math.nan if f["z"] is None else f["z"], f.get("stat", ""), good))
    return out


def ensure_set(
    root: str | os.PathLike[str], product: str, seed: int, counts: Counts, make=generate, pose: str = "usual"
) -> Path:
    """The folder of the product's set, generated (by `make(product, seed, counts)`, or with `pose` when it
    is not "usual") unless cached."""
    folder = set_dir(root, product, seed, counts, pose)
    if read_manifest(folder) is None:
        write_set(make(product, seed, counts) if pose == "usual" else make(product, seed, counts, pose), folder)
    return folder
