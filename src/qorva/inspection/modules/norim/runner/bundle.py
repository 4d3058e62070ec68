"""Bundle files: a folder holding `bundle.json` (format version, provenance) and `model.npz` (arrays only).

A bundle is built in a hidden temporary folder beside its target and renamed into place, so a reader sees
either the old bundle or the new one, never a half-written one; names starting with a dot are never looked
up as bundles. Arrays are loaded with `allow_pickle=False`.
"""

from __future__ import annotations

import json
import os
import shutil
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


def read_bundle(path: Path) -> tuple[Model, dict[str, Any]]:
    """Load and check the bundle folder `path`; `NorimError` says what is wrong with a damaged one."""
    try:
        meta = json.loads((path / META_FILE).read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        msg = f"bundle {path}: cannot read {META_FILE}: {exc}"
        raise NorimError(msg) from exc
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        msg = f"bundle {path}: {META_FILE} is not a NORIM bundle description"
        raise NorimError(msg)
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
    try:
        # Our own handle: np.load leaks the file it opened when the archive turns out to be damaged.
        with (path / ARRAYS_FILE).open("rb") as fh, np.load(fh, allow_pickle=False) as npz:
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
    optional = {"gauss": ("knn_whiten", "bank", "bank_r"), "knn": ("loc_mean", "loc_prec")}[meta["kind"]]
    for f in fields(Model):
        if f.name in kwargs:
            continue
        if f.name in arrays:
            kwargs[f.name] = arrays[f.name]
        elif f.name in optional:
            kwargs[f.name] = None
        else:
            msg = f"bundle {path}: {ARRAYS_FILE} lacks the array {f.name!r}"
            raise NorimError(msg)
    for value in kwargs.values():
        # Bundles are shared by every thread that scores; a stray in-place write must fail, not spread.
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    model = Model(**kwargs)
    _check_shapes(path, model)
    return model, meta


def _check_shapes(path: Path, m: Model) -> None:
    d = m.feat_mean.shape[0] if m.feat_mean.ndim == 1 else -1
    ok = m.feat_scale.shape == (d,) and m.norm.shape == (3, 2) and m.palette.ndim == 2 and m.palette.shape[1] == 3
    ok = ok and m.img_prec.shape == (2 * d, 2 * d) and m.img_mean.shape == (2 * d,)
    ok = ok and m.logic_center.shape == m.logic_scale.shape == m.logic_tol.shape == (
        components.PER_COLOUR * len(m.palette) + 1,
    )
    ok = ok and m.train_hashes.dtype == np.uint8 and m.train_hashes.shape[1:] == (16,)
    ok = ok and m.train_raw.shape == (len(m.train_hashes), 3)
    if m.kind == "gauss":
        ok = ok and m.loc_mean.shape == (GRID, GRID, d) and m.loc_prec.shape == (GRID, GRID, d, d)
    else:
        ok = ok and m.knn_whiten.shape == (d, d) and m.bank.ndim == 2 and m.bank.shape[1] == d + RING_CLASSES
        ok = ok and m.bank_r.shape == (m.bank.shape[0],)
    finite = all(np.isfinite(a).all() for a in _model_arrays(m).values() if a.dtype.kind == "f")
    if not ok or not finite or not (m.norm[:, 1] > 0).all() or not m.map_scale > 0:
        msg = f"bundle {path}: arrays are inconsistent or not finite (damaged bundle); retrain it"
        raise NorimError(msg)
