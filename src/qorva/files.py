"""Files that readers never see half-written: each is written to a temporary name, synced, then renamed.

A rename within one folder replaces the old file in one step on POSIX and Windows, and the fsync before it
keeps a power cut from leaving the new name pointing at a file whose data never reached the disk.
"""

from __future__ import annotations

import json
import os
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np


def write_atomic_with(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """Create or replace `path` with what `write(fh)` writes to the open binary file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    # Not mkstemp: its 0600 mode would make reports and overlays unreadable to the rest of the line.
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex[:12]}.tmp")
    try:
        with tmp.open("xb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        tmp.replace(path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def write_atomic(path: Path, data: bytes) -> None:
    """Create or replace `path` with `data`."""
    write_atomic_with(path, lambda fh: fh.write(data))


def write_json_atomic(path: Path, obj: Any, *, indent: int = 1) -> None:
    """Create or replace `path` with `obj` as UTF-8 JSON (non-ASCII kept as is: product ids may be Korean)."""
    write_atomic(path, json.dumps(obj, ensure_ascii=False, indent=indent).encode("utf-8"))


def write_npy_atomic(path: Path, array: np.ndarray) -> None:
    """Create or replace `path` with `array` in .npy format, never pickled."""
    write_atomic_with(path, lambda fh: np.save(fh, array, allow_pickle=False))
