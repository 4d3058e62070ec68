"""The retraining cache `_train/norim/<product_id>/`: written by training, deleted by `purge`, never a bundle.

It keeps each training image's features (so a retraining with mostly the same images skips feature extraction).
Deleting it never touches `products/`.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from qorva.files import write_npy_atomic

from ..inputs import embed
from ..inputs.filters import patch_features
from ..inputs.working import CELL, GRID, SIZE
from ..storage.place import train_cache_dir

if TYPE_CHECKING:
    from qorva.console import Progress

# Part of every cached feature file's name: features of another working size or cell are never read back.
LAYOUT = f"opp-v1-{SIZE}-{CELL}"


def filter_features(cache: Path, works: list[np.ndarray], hashes: list[str], bar: Progress | None) -> np.ndarray:
    """The patch features of each working image, read from the cache when valid, else computed and cached."""
    folder = cache / "features"
    folder.mkdir(parents=True, exist_ok=True)
    out = []
    for work, h in zip(works, hashes, strict=True):
        path = folder / f"{LAYOUT}-{h}.npy"
        feats = _read(path)
        if feats is None:
            feats = patch_features(work)
            write_npy_atomic(path, feats)
        out.append(feats)
        if bar is not None:
            bar.update()
    return np.stack(out)


def embeddings(cache: Path, works: list[np.ndarray], hashes: list[str], net) -> np.ndarray:
    """The pretrained patch features (`embed.embed`) of each working image, cached like `filter_features`."""
    tag = embed.cache_tag()
    folder = cache / "features"
    folder.mkdir(parents=True, exist_ok=True)
    paths = [folder / f"{tag}-{h}.npy" for h in hashes]
    found = [_read(p) for p in paths]
    missing = [i for i, f in enumerate(found) if f is None]
    if missing:
        fresh = embed.embed([works[i] for i in missing], net)
        for i, feats in zip(missing, fresh, strict=True):
            write_npy_atomic(paths[i], feats)
            found[i] = feats
    return np.stack(found)


def _read(path: Path) -> np.ndarray | None:
    if not path.is_file():
        return None
    try:
        feats = np.load(path, allow_pickle=False)
    except (OSError, ValueError):
        return None
    if feats.shape[:2] != (GRID, GRID) or not np.isfinite(feats).all():
        return None
    return feats


def _is_link(st: os.stat_result) -> bool:
    # Windows junctions are reparse points that lstat may still report as directories.
    return stat.S_ISLNK(st.st_mode) or bool(getattr(st, "st_file_attributes", 0) & 0x400)


def _remove_tree(path: Path) -> int:
    freed = 0
    with os.scandir(path) as it:
        entries = [Path(e.path) for e in it]
    for entry in entries:
        st = entry.lstat()
        # Links are removed as links: following one could delete a bundle or anything else it points to.
        if _is_link(st) and stat.S_ISDIR(st.st_mode):
            entry.rmdir()
        elif stat.S_ISDIR(st.st_mode):
            freed += _remove_tree(entry)
        else:
            if stat.S_ISREG(st.st_mode):
                freed += st.st_size
            entry.unlink()
    path.rmdir()
    return freed


def purge(product_id: str) -> int:
    """Delete the product's retraining cache; bytes of regular files freed (0 when there was none)."""
    folder = train_cache_dir(product_id)
    try:
        st = folder.lstat()
    except FileNotFoundError:
        return 0
    if _is_link(st) and stat.S_ISDIR(st.st_mode):
        folder.rmdir()
        return 0
    if not stat.S_ISDIR(st.st_mode):
        folder.unlink()
        return st.st_size if stat.S_ISREG(st.st_mode) else 0
    return _remove_tree(folder)
