"""Bundle files: a folder holding `bundle.json` (format version, provenance, the model's layout) and `model.npz`
(arrays only: each branch's under its name, `deep.proj`, `patch.bank`, ...).

A bundle is built in a hidden temporary folder and renamed into place as a new version (`versions`), so a reader
never sees a half-written one; names starting with a dot are never looked up as bundles. Arrays are loaded with
`allow_pickle=False`, after the shapes their headers declare were checked against the layout, so a damaged or
crafted archive is refused before anything is allocated.
Bundles of formats 2 and 3 are read through `legacy`, into the same model.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import stat
import uuid
import zipfile
from pathlib import Path
from typing import Any

import numpy as np

from qorva.files import write_atomic_with, write_json_atomic

from ..branches import KINDS
from ..errors import NorimError
from ..inputs.align import Alignment
from ..inputs.working import CELL, SIZE
from ..model import NorimModel
from . import legacy
from .legacy import Layout
from .place import ARRAYS_FILE, META_FILE

FORMAT = "norim-bundle"
# 4: the model's branches, each with its own arrays and description; 5: and the alignment applied before them
# (registration, light level: `align` and its arrays `align.*`). Formats 2 (the weight-free model) and 3 (the
# pretrained features beside it, with every weight-free array kept) are read by `legacy`.
VERSION = 5
VERSIONS = (*legacy.VERSIONS, 4, VERSION)


def write_files(folder: Path, model: NorimModel, meta: dict[str, Any]) -> None:
    """Write the bundle's files into the new, empty folder `folder` (`versions.add` renames it into place)."""
    layout = {
        "format": FORMAT, "format_version": VERSION, "size": SIZE, "cell": CELL, "active": list(model.active),
        "map_branch": model.map_branch, "map_scale": float(model.map_scale),
        "model": {b.NAME: b.describe() for b in model.branches},
    }  # fmt: skip
    arrays = {"norm": model.norm, "train_hashes": model.train_hashes, "train_raw": model.train_raw}
    arrays.update({f"{b.NAME}.{k}": v for b in model.branches for k, v in b.arrays().items()})
    if model.align is not None:
        layout["align"] = model.align.describe()
        arrays.update({f"align.{k}": v for k, v in model.align.arrays().items()})
    write_atomic_with(folder / ARRAYS_FILE, lambda fh: np.savez(fh, **arrays))
    # The metadata goes last: a folder without it is never taken for a bundle.
    write_json_atomic(folder / META_FILE, {**meta, **layout})


def swap_into_place(tmp: Path, target: Path) -> None:
    """Replace the folder `target` by `tmp` with two renames; a reader caught between them waits (`loaded.get`)."""
    old = None
    if os.path.lexists(target):
        old = target.parent / f".old-{target.name}-{uuid.uuid4().hex[:8]}"
        target.replace(old)
    try:
        tmp.replace(target)
    except BaseException:
        if old is not None:
            old.replace(target)
        raise
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def stamp(path: Path) -> tuple[int, ...]:
    """Changes whenever the bundle at `path` is replaced or either of its files is rewritten."""
    try:
        meta = (path / META_FILE).stat()
        arrays = (path / ARRAYS_FILE).stat()
    except OSError as exc:
        msg = f"bundle {path} is incomplete or disappeared: {exc}"
        raise NorimError(msg) from exc
    return (meta.st_ino, meta.st_mtime_ns, meta.st_size, arrays.st_ino, arrays.st_mtime_ns, arrays.st_size)


def describe(path: Path) -> tuple[dict[str, Any], Layout]:
    """The bundle's `bundle.json` and the model layout it states, checked; the arrays are not read."""
    meta = _read_meta(path)
    version = meta.get("format_version")
    if version not in VERSIONS:
        msg = (
            f"bundle {path}: format version {version!r} is not supported "
            f"(this runner reads {', '.join(map(str, VERSIONS))}); retrain it"
        )
        raise NorimError(msg)
    if meta.get("size") != SIZE or meta.get("cell") != CELL or not legacy.same_features(meta):
        msg = (
            f"bundle {path}: built for another feature layout "
            f"(size {meta.get('size')}, cell {meta.get('cell')}, kind {meta.get('kind')!r}); retrain it"
        )
        raise NorimError(msg)
    try:
        layout = legacy.layout(meta) if version in legacy.VERSIONS else _layout(meta)
    except (KeyError, TypeError, ValueError) as exc:
        msg = f"bundle {path}: {META_FILE} describes another model ({exc}); retrain it"
        raise NorimError(msg) from None
    return meta, layout


def _layout(meta: dict[str, Any]) -> Layout:
    described = meta["model"]
    if not isinstance(described, dict) or list(described) != [k for k in KINDS if k in described]:
        msg = f"branches {list(described)!r}"
        raise ValueError(msg)
    align = meta.get("align") if meta["format_version"] >= 5 else None
    if align is not None and not isinstance(align, dict):
        msg = f"alignment {align!r}"
        raise ValueError(msg)
    return Layout(tuple(meta["active"]), meta["map_branch"], float(meta["map_scale"]), described, align=align)


def read(path: Path) -> tuple[NorimModel, dict[str, Any]]:
    """Load and check the bundle folder `path`; `NorimError` says what is wrong with a damaged one."""
    meta, layout = describe(path)
    wanted = _read_arrays(path, lambda headers: _expected(path, layout, headers))
    for value in wanted.values():
        # Bundles are shared by every thread that scores; a stray in-place write must fail, not spread.
        value.flags.writeable = False
    if not all(np.isfinite(a).all() for a in wanted.values() if a.dtype.kind == "f") or not (
        (wanted["norm"][:, 1] > 0).all() and layout.map_scale > 0
    ):
        msg = f"bundle {path}: arrays are inconsistent or not finite (damaged bundle); retrain it"
        raise NorimError(msg)
    branches = tuple(
        KINDS[name].load(desc, {k.split(".", 1)[1]: v for k, v in wanted.items() if k.startswith(f"{name}.")})
        for name, desc in layout.branches.items()
    )
    alignment = None
    if layout.align is not None:
        alignment = Alignment.load(layout.align, {k[6:]: v for k, v in wanted.items() if k.startswith("align.")})
    model = NorimModel(
        branches, layout.active, wanted["norm"], layout.map_branch, layout.map_scale,
        wanted["train_hashes"], wanted["train_raw"], alignment,
    )  # fmt: skip
    scores = [s for b in branches for s in b.scores]
    mapped = model.branch(layout.map_branch)
    if (
        not set(layout.active) <= set(scores)
        or not all(set(b.scores) & set(layout.active) for b in branches)
        or not hasattr(mapped, "cells")
    ):
        msg = f"bundle {path}: {META_FILE} describes another model (scores {list(layout.active)!r}); retrain it"
        raise NorimError(msg)
    return model, meta


Header = tuple[tuple[int, ...], np.dtype]
# The arrays stored as bytes (every other one is float).
_BYTES = ("train_hashes", "align.mean")


def _expected(path: Path, layout: Layout, headers: dict[str, Header]) -> dict[str, str]:
    """The arrays the layout needs ("branch.field" -> stored name), after checking the shapes and dtypes their
    headers declare."""
    hashes = headers.get("train_hashes", ((),))[0]
    n = hashes[0] if len(hashes) == 2 else -1
    k = len(layout.active)
    expected: dict[str, tuple[tuple[int, ...], str]] = {
        "norm": ((k, 2), "norm"), "train_hashes": ((n, 16), "train_hashes"), "train_raw": ((n, k), "train_raw"),
    }  # fmt: skip
    parts = {**layout.branches, **({"align": layout.align} if layout.align is not None else {})}
    for name, desc in parts.items():

        def dim(field: str, axis: int, name: str = name) -> int:
            shape = headers.get(layout.stored(f"{name}.{field}"), ((),))[0]
            return shape[axis] if len(shape) > axis else -1

        try:
            shapes = (Alignment if name == "align" else KINDS[name]).shapes(desc, dim)
        except (KeyError, TypeError, ValueError) as exc:
            msg = f"bundle {path}: {META_FILE} describes another model ({exc}); retrain it"
            raise NorimError(msg) from None
        expected.update({f"{name}.{f}": (s, layout.stored(f"{name}.{f}")) for f, s in shapes.items()})
    for key, (shape, stored) in expected.items():
        if stored not in headers:
            msg = f"bundle {path}: {ARRAYS_FILE} lacks the array {stored!r}"
            raise NorimError(msg)
        got, dtype = headers[stored]
        if got != shape or (key in _BYTES) != (dtype == np.uint8):
            msg = f"bundle {path}: array {stored!r} is {got} of {dtype}, expected {shape} (damaged bundle); retrain it"
            raise NorimError(msg)
    return {key: stored for key, (_, stored) in expected.items()}


def _regular_file(path: Path, name: str) -> Path:
    """`path / name` if it is a regular file; refused before it is opened (a FIFO would block the reader)."""
    file = path / name
    try:
        st = file.stat()
    except OSError as exc:
        msg = f"bundle {path}: cannot read {name}: {exc}"
        raise NorimError(msg) from exc
    if not stat.S_ISREG(st.st_mode):
        msg = f"bundle {path}: {name} is not a regular file; retrain the bundle"
        raise NorimError(msg)
    return file


def _read_meta(path: Path) -> dict[str, Any]:
    try:
        meta = json.loads(_regular_file(path, META_FILE).read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError) as exc:  # RecursionError: JSON nested thousands deep
        msg = f"bundle {path}: cannot read {META_FILE}: {type(exc).__name__}: {str(exc)[:200]}"
        raise NorimError(msg) from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        msg = f"bundle {path}: {META_FILE} is not a NORIM bundle description"
        raise NorimError(msg)
    return meta


def _read_arrays(path: Path, check: Any) -> dict[str, np.ndarray]:
    """The arrays `check` names ("branch.field" -> stored name), after it has accepted the archive's headers."""
    arrays_file = _regular_file(path, ARRAYS_FILE)
    try:
        # Our own handle: np.load leaks the file it opened when the archive turns out to be damaged.
        with arrays_file.open("rb") as fh:
            wanted = check(_read_headers(fh))
            fh.seek(0)
            with np.load(fh, allow_pickle=False) as npz:
                stored = {name: npz[name] for name in set(wanted.values())}
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as exc:
        msg = f"bundle {path}: {ARRAYS_FILE} is damaged or unreadable: {exc}"
        raise NorimError(msg) from exc
    return {key: stored[name] for key, name in wanted.items()}


# What a bundle's arrays may declare in all: the bundles trained here are 0.2-6 MB; 512 MiB leaves room
# for far larger models while a crafted header (10^12 elements, a member inflating to gigabytes) is
# refused before anything is allocated.
_MAX_DECLARED_BYTES = 512 << 20
_HEADER_READERS = {(1, 0): np.lib.format.read_array_header_1_0, (2, 0): np.lib.format.read_array_header_2_0}


def _read_headers(fh: Any) -> dict[str, Header]:
    """Shape and dtype of every array of the archive, read from the members' headers, not their data."""
    headers: dict[str, Header] = {}
    total = 0
    with zipfile.ZipFile(fh) as archive:
        for info in archive.infolist():
            with archive.open(info) as member:
                reader = _HEADER_READERS.get(np.lib.format.read_magic(member))
                if reader is None:
                    msg = f"{info.filename}: unsupported array format"
                    raise ValueError(msg)
                shape, _, dtype = reader(member)
            if dtype.kind not in "fiu" or dtype.fields is not None:
                msg = f"{info.filename}: holds {dtype}, not numbers"
                raise ValueError(msg)
            declared = math.prod(shape) * dtype.itemsize
            total += declared
            if total > _MAX_DECLARED_BYTES or info.file_size > declared + 65536:
                msg = f"{info.filename}: declares {shape} of {dtype} ({info.file_size} bytes inflated), too large"
                raise ValueError(msg)
            headers[info.filename.removesuffix(".npy")] = (tuple(shape), dtype)
    return headers
