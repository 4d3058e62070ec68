"""Deleting a product's retraining cache without ever leaving it."""

from __future__ import annotations

import os
import stat
from pathlib import Path

from .paths import train_cache_dir


def _is_link(st: os.stat_result) -> bool:
    # Windows junctions are reparse points that lstat may still report as directories.
    return stat.S_ISLNK(st.st_mode) or bool(getattr(st, "st_file_attributes", 0) & 0x400)


def _remove_tree(path: Path) -> int:
    freed = 0
    with os.scandir(path) as it:
        entries = list(it)
    for entry in entries:
        st = entry.stat(follow_symlinks=False)
        # Links are removed as links: following one could delete a bundle or anything else it points to.
        if _is_link(st) and stat.S_ISDIR(st.st_mode):
            os.rmdir(entry.path)
        elif stat.S_ISDIR(st.st_mode):
            freed += _remove_tree(Path(entry.path))
        else:
            if stat.S_ISREG(st.st_mode):
                freed += st.st_size
            os.unlink(entry.path)
    os.rmdir(path)
    return freed


def purge(product_id: str) -> int:
    folder = train_cache_dir(product_id)
    try:
        st = os.lstat(folder)
    except FileNotFoundError:
        return 0
    if _is_link(st) and stat.S_ISDIR(st.st_mode):
        os.rmdir(folder)
        return 0
    if not stat.S_ISDIR(st.st_mode):
        os.unlink(folder)
        return st.st_size if stat.S_ISREG(st.st_mode) else 0
    return _remove_tree(folder)
