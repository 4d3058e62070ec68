"""Bundle files: a folder holding `bundle.json` (format version, provenance) and `model.npz` (arrays only).

A bundle is built in a hidden temporary folder beside its target and renamed into place, so a reader sees
either the old bundle or the new one, never a half-written one; names starting with a dot are never looked
up as bundles. Arrays are loaded with `allow_pickle=False`.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import stat
import uuid
import zipfile
from dataclasses import fields
from pathlib import Path
from typing import Any

import numpy as np

from qorva.files import write_atomic_with, write_json_atomic
from qorva.home import MODULE_DIR

from . import components
from .features import CELL, GRID, SIZE
from .model import RING_CLASSES, Model
from .paths import NorimError, check_name, products_root

FORMAT = "norim-bundle"
# 2: the logical descriptor holds the centre of each colour's parts.
FORMAT_VERSION = 2
META_FILE = "bundle.json"
ARRAYS_FILE = "model.npz"
_SCALARS = ("kind", "novel_d2", "map_scale")


def _model_arrays(model: Model) -> dict[str, np.ndarray]:
    out = {}
    for f in fields(Model):
        value = getattr(model, f.name)
        if f.name in _SCALARS or value is None:
            continue
        out[f.name] = np.asarray(value)
    return out


def write_bundle(target: Path, model: Model, meta: dict[str, Any]) -> None:
    """Write the bundle folder `target` atomically, replacing an existing bundle of that name."""
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.parent / f".tmp-{target.name}-{uuid.uuid4().hex[:8]}"
    tmp.mkdir()
    try:
        info = dict(meta)
        info.update(
            format=FORMAT,
            format_version=FORMAT_VERSION,
            kind=model.kind,
            size=SIZE,
            cell=CELL,
            novel_d2=float(model.novel_d2),
            map_scale=float(model.map_scale),
        )
        arrays = _model_arrays(model)
        write_atomic_with(tmp / ARRAYS_FILE, lambda fh: np.savez(fh, **arrays))
        # The metadata goes last: a folder without it is never taken for a bundle.
        write_json_atomic(tmp / META_FILE, info)
        _swap_into_place(tmp, target)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _swap_into_place(tmp: Path, target: Path) -> None:
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


def find_bundle(name: object, home: str | os.PathLike[str] | None = None) -> Path:
    """The one folder `products/*/norim/<name>/` holding a bundle; `NorimError` for none or several."""
    bundle = check_name(name, "bundle name")
    root = products_root(home)
    hits = []
    try:
        products = sorted(os.scandir(root), key=lambda e: e.name)
    except FileNotFoundError:
        products = []
    except OSError as exc:
        msg = f"cannot list {root}: {exc}"
        raise NorimError(msg) from exc
    for entry in products:
        if entry.name.startswith(".") or not entry.is_dir():
            continue
        candidate = Path(entry.path) / MODULE_DIR / bundle
        if (candidate / META_FILE).is_file():
            hits.append(candidate)
    where = root / "*" / MODULE_DIR / bundle
    if not hits:
        msg = f"bundle {bundle!r} not found (looked for {where}); train it with: qorva train --product P --good DIR"
        raise NorimError(msg)
    if len(hits) > 1:
        owners = ", ".join(p.parent.parent.name for p in hits)
        msg = f"bundle name {bundle!r} is ambiguous: found under products {owners} ({where}); rename one"
        raise NorimError(msg)
    return hits[0]


def stamp(path: Path) -> tuple[int, ...]:
    """Changes whenever the bundle at `path` is replaced or either of its files is rewritten."""
    try:
        meta = (path / META_FILE).stat()
        arrays = (path / ARRAYS_FILE).stat()
    except OSError as exc:
        msg = f"bundle {path} is incomplete or disappeared: {exc}"
        raise NorimError(msg) from exc
    return (meta.st_ino, meta.st_mtime_ns, meta.st_size, arrays.st_ino, arrays.st_mtime_ns, arrays.st_size)


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


def read_bundle(path: Path) -> tuple[Model, dict[str, Any]]:
    """Load and check the bundle folder `path`; `NorimError` says what is wrong with a damaged one."""
    meta = _read_meta(path)
    version = meta.get("format_version")
    if version != FORMAT_VERSION:
        msg = (
            f"bundle {path}: format version {version!r} is not supported "
            f"(this runner reads {FORMAT_VERSION}); retrain it"
        )
        raise NorimError(msg)
    if meta.get("size") != SIZE or meta.get("cell") != CELL or meta.get("kind") not in ("gauss", "knn"):
        msg = (
            f"bundle {path}: built for another feature layout "
            f"(size {meta.get('size')}, cell {meta.get('cell')}, kind {meta.get('kind')!r}); retrain it"
        )
        raise NorimError(msg)
    arrays_file = _regular_file(path, ARRAYS_FILE)
    try:
        # Our own handle: np.load leaks the file it opened when the archive turns out to be damaged.
        with arrays_file.open("rb") as fh:
            _check_layout(path, meta["kind"], _read_headers(fh))
            fh.seek(0)
            with np.load(fh, allow_pickle=False) as npz:
                arrays = {k: npz[k] for k in npz.files}
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as exc:
        msg = f"bundle {path}: {ARRAYS_FILE} is damaged or unreadable: {exc}"
        raise NorimError(msg) from exc
    kwargs: dict[str, Any] = {"kind": meta["kind"]}
    try:
        kwargs["novel_d2"] = float(meta["novel_d2"])
        kwargs["map_scale"] = float(meta["map_scale"])
    except (KeyError, TypeError, ValueError) as exc:
        msg = f"bundle {path}: {META_FILE} lacks a valid {exc}"
        raise NorimError(msg) from exc
    # Every array the kind needs was found by _check_layout; the other kind's arrays are None.
    for f in fields(Model):
        if f.name not in kwargs:
            kwargs[f.name] = arrays.get(f.name)
    for value in kwargs.values():
        # Bundles are shared by every thread that scores; a stray in-place write must fail, not spread.
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    model = Model(**kwargs)
    _check_values(path, model)
    return model, meta


Header = tuple[tuple[int, ...], np.dtype]
# What a bundle's arrays may declare in all: the bundles trained here are 0.2-1.6 MB; 512 MiB leaves room
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


def _expected_shapes(kind: str, headers: dict[str, Header]) -> dict[str, tuple[int, ...]]:
    def dim(name: str, axis: int) -> int:
        shape = headers.get(name, ((),))[0]
        return shape[axis] if len(shape) > axis else -1

    d, colours, n = dim("feat_mean", 0), dim("palette", 0), dim("train_hashes", 0)
    logic = (components.PER_COLOUR * colours + 1,)
    shapes = {
        "feat_mean": (d,), "feat_scale": (d,), "img_mean": (2 * d,), "img_prec": (2 * d, 2 * d),
        "palette": (colours, 3), "logic_center": logic, "logic_scale": logic, "logic_tol": logic, "norm": (3, 2),
        "train_hashes": (n, 16), "train_raw": (n, 3),
    }
    if kind == "gauss":
        return {**shapes, "loc_mean": (GRID, GRID, d), "loc_prec": (GRID, GRID, d, d)}
    m = dim("bank", 0)
    return {**shapes, "knn_whiten": (d, d), "bank": (m, d + RING_CLASSES), "bank_r": (m,)}


def _check_layout(path: Path, kind: str, headers: dict[str, Header]) -> None:
    for name, shape in _expected_shapes(kind, headers).items():
        if name not in headers:
            msg = f"bundle {path}: {ARRAYS_FILE} lacks the array {name!r}"
            raise NorimError(msg)
        got, dtype = headers[name]
        if got != shape or (name == "train_hashes") != (dtype == np.uint8):
            msg = f"bundle {path}: array {name!r} is {got} of {dtype}, expected {shape} (damaged bundle); retrain it"
            raise NorimError(msg)


def _check_values(path: Path, m: Model) -> None:
    finite = all(np.isfinite(a).all() for a in _model_arrays(m).values() if a.dtype.kind == "f")
    if not finite or not (m.norm[:, 1] > 0).all() or not m.map_scale > 0:
        msg = f"bundle {path}: arrays are inconsistent or not finite (damaged bundle); retrain it"
        raise NorimError(msg)
