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

from . import components, deep
from .features import CELL, GRID, SIZE
from .hybrid import SUB_BRANCHES, HybridModel
from .model import RING_CLASSES, Model
from .paths import NorimError, check_name, products_root

FORMAT = "norim-bundle"
# 2: the logical descriptor holds the centre of each colour's parts (the weight-free model, `--backbone none`).
# 3: pretrained patch features beside the weight-free branches, the kept ones chosen per product (`hybrid`).
CLASSIC_VERSION = 2
HYBRID_VERSION = 3
FORMAT_VERSION = HYBRID_VERSION
VERSIONS = (CLASSIC_VERSION, HYBRID_VERSION)
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


def _hybrid_arrays(model: HybridModel) -> dict[str, np.ndarray]:
    part = model.deep
    out = {f"classic_{k}": v for k, v in _model_arrays(model.classic).items()}
    out.update(deep_mean=part.mean, deep_proj=part.proj, norm=model.norm, train_hashes=model.train_hashes)
    out["train_raw"] = model.train_raw
    if part.kind == "gauss":
        out.update(deep_loc_mean=part.loc_mean, deep_loc_prec=deep.pack_prec(part.loc_prec))
    else:
        out["deep_bank"] = part.bank
    return out


def _description(model: Model | HybridModel) -> dict[str, Any]:
    """What `bundle.json` says about the arrays, beside the caller's provenance."""
    info: dict[str, Any] = {"format": FORMAT, "size": SIZE, "cell": CELL, "map_scale": float(model.map_scale)}
    if isinstance(model, HybridModel):
        classic = model.classic
        info.update(format_version=HYBRID_VERSION, kind=model.deep.kind, active=list(model.active))
        info.update(variant=deep.VARIANT, taps=list(deep.TAPS), dims=deep.DIMS)
        info.update(classic_kind=classic.kind, novel_d2=float(classic.novel_d2))
    else:
        info.update(format_version=CLASSIC_VERSION, kind=model.kind, novel_d2=float(model.novel_d2))
    return info


def write_bundle(target: Path, model: Model | HybridModel, meta: dict[str, Any]) -> None:
    """Write the bundle folder `target` atomically, replacing an existing bundle of that name."""
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.parent / f".tmp-{target.name}-{uuid.uuid4().hex[:8]}"
    tmp.mkdir()
    try:
        info = {**meta, **_description(model)}
        arrays = _hybrid_arrays(model) if isinstance(model, HybridModel) else _model_arrays(model)
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


def read_bundle(path: Path) -> tuple[Model | HybridModel, dict[str, Any]]:
    """Load and check the bundle folder `path`; `NorimError` says what is wrong with a damaged one."""
    meta = _read_meta(path)
    version = meta.get("format_version")
    if version not in VERSIONS:
        msg = (
            f"bundle {path}: format version {version!r} is not supported "
            f"(this runner reads {', '.join(map(str, VERSIONS))}); retrain it"
        )
        raise NorimError(msg)
    if meta.get("size") != SIZE or meta.get("cell") != CELL or meta.get("kind") not in ("gauss", "knn"):
        msg = (
            f"bundle {path}: built for another feature layout "
            f"(size {meta.get('size')}, cell {meta.get('cell')}, kind {meta.get('kind')!r}); retrain it"
        )
        raise NorimError(msg)
    hybrid = version == HYBRID_VERSION
    if hybrid:
        _check_description(path, meta)
    arrays = _read_arrays(path, lambda headers: _check_hybrid_layout(path, meta, headers) if hybrid
                          else _check_layout(path, meta["kind"], headers))  # fmt: skip
    for value in arrays.values():
        # Bundles are shared by every thread that scores; a stray in-place write must fail, not spread.
        value.flags.writeable = False
    if not hybrid:
        model = _classic_model(path, arrays, meta["kind"], meta)
        _check_values(path, model)
        return model, meta
    return _hybrid_model(path, arrays, meta), meta


def _read_arrays(path: Path, check: Any) -> dict[str, np.ndarray]:
    """Every array of the archive, after `check` has accepted the shapes and dtypes its headers declare."""
    arrays_file = _regular_file(path, ARRAYS_FILE)
    try:
        # Our own handle: np.load leaks the file it opened when the archive turns out to be damaged.
        with arrays_file.open("rb") as fh:
            check(_read_headers(fh))
            fh.seek(0)
            with np.load(fh, allow_pickle=False) as npz:
                return {k: npz[k] for k in npz.files}
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as exc:
        msg = f"bundle {path}: {ARRAYS_FILE} is damaged or unreadable: {exc}"
        raise NorimError(msg) from exc


def _scalar(path: Path, meta: dict[str, Any], key: str) -> float:
    try:
        return float(meta[key])
    except (KeyError, TypeError, ValueError) as exc:
        msg = f"bundle {path}: {META_FILE} lacks a valid {exc}"
        raise NorimError(msg) from exc


def _classic_model(
    path: Path, arrays: dict[str, np.ndarray], kind: str, meta: dict[str, Any], prefix: str = ""
) -> Model:
    """The weight-free model from its arrays (under `prefix` inside a format-3 bundle), checked by the layout."""
    kwargs: dict[str, Any] = {"kind": kind, "novel_d2": _scalar(path, meta, "novel_d2")}
    kwargs["map_scale"] = _scalar(path, meta, "map_scale")
    # Every array the kind needs was found by _check_layout; the other kind's arrays are None.
    for f in fields(Model):
        if f.name not in kwargs:
            kwargs[f.name] = arrays.get(prefix + f.name)
    return Model(**kwargs)


def _check_description(path: Path, meta: dict[str, Any]) -> None:
    active = meta.get("active")
    if (
        not isinstance(active, list)
        or not active
        or any(a not in SUB_BRANCHES for a in active)
        or meta.get("variant") != deep.VARIANT
        or meta.get("taps") != list(deep.TAPS)
        or meta.get("dims") != deep.DIMS
        or meta.get("classic_kind") not in ("gauss", "knn")
    ):
        msg = f"bundle {path}: {META_FILE} describes another model (branches {active!r}); retrain it"
        raise NorimError(msg)


def _check_hybrid_layout(path: Path, meta: dict[str, Any], headers: dict[str, Header]) -> None:
    """The shapes a format-3 archive must declare: the weight-free part under `classic_`, then the deep part."""
    classic = {k.removeprefix("classic_"): v for k, v in headers.items() if k.startswith("classic_")}
    _check_layout(path, meta["classic_kind"], classic)
    hashes, bank = headers.get("train_hashes"), headers.get("deep_bank")
    n = hashes[0][0] if hashes and len(hashes[0]) == 2 else -1
    expected = {
        "deep_mean": (deep.FEATURES,), "deep_proj": (deep.FEATURES, deep.DIMS), "norm": (len(meta["active"]), 2),
        "train_hashes": (n, 16), "train_raw": (n, len(meta["active"])),
    }  # fmt: skip
    if meta["kind"] == "gauss":
        expected.update(deep_loc_mean=(GRID, GRID, deep.DIMS), deep_loc_prec=(GRID, GRID, len(deep.PACKED[0])))
    else:
        expected["deep_bank"] = (max(bank[0][0], 1) if bank and len(bank[0]) == 2 else -1, deep.DIMS)
    for name, shape in expected.items():
        got = headers.get(name)
        if got is None or got[0] != shape or (name == "train_hashes") != (got[1] == np.uint8):
            msg = f"bundle {path}: array {name!r} is {got and got[0]}, expected {shape} (damaged bundle); retrain it"
            raise NorimError(msg)


def _hybrid_model(path: Path, arrays: dict[str, np.ndarray], meta: dict[str, Any]) -> HybridModel:
    classic = _classic_model(path, arrays, meta["classic_kind"], meta, "classic_")
    gauss = meta["kind"] == "gauss"
    prec = None
    if gauss:
        prec = deep.unpack_prec(arrays["deep_loc_prec"])
        prec.flags.writeable = False
    part = deep.DeepPart(
        meta["kind"],
        arrays["deep_mean"],
        arrays["deep_proj"],
        arrays.get("deep_loc_mean"),
        prec,
        arrays.get("deep_bank"),
    )
    model = HybridModel(
        part, classic, tuple(meta["active"]), arrays["norm"], _scalar(path, meta, "map_scale"),
        arrays["train_hashes"], arrays["train_raw"],
    )  # fmt: skip
    ok = tuple(b for b in model.active if b.startswith("deep")) == part.sub_branches
    floats = [
        part.mean,
        part.proj,
        model.norm,
        model.train_raw,
        *(a for a in (part.loc_mean, prec, part.bank) if a is not None),
    ]
    if (
        not ok
        or not all(np.isfinite(a).all() for a in floats)
        or not (model.norm[:, 1] > 0).all()
        or not model.map_scale > 0
    ):
        msg = f"bundle {path}: arrays are inconsistent or not finite (damaged bundle); retrain it"
        raise NorimError(msg)
    _check_values(path, classic)
    return model


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
        "feat_mean": (d,),
        "feat_scale": (d,),
        "img_mean": (2 * d,),
        "img_prec": (2 * d, 2 * d),
        "palette": (colours, 3),
        "logic_center": logic,
        "logic_scale": logic,
        "logic_tol": logic,
        "norm": (3, 2),
        "train_hashes": (n, 16),
        "train_raw": (n, 3),
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
