"""NORIM model runner: trains bundles, loads them and scores images for the inspector; answers the host about them.

Calls the inspector makes (each looked up on this module at every use):

- `get_bundle(name, device=None) -> Bundle`: the bundle called `name`, found among the products as
  `<home>/products/<product_id>/norim/<name>/` (home: `qorva.home.qorva_home()`, i.e. $QORVA_HOME or the per-user
  folder, read at every call), in the version pinned on this thread, else the current one. The result is a read-only
  mapping; `bundle["device"]` is the device actually used. Devices: None, "auto" and "cpu" are the CPU; "cuda" and
  "cuda:N" run the pretrained branch on that GPU where ONNX Runtime's CUDA provider is installed and starts
  ("cuda:N"), else on the CPU with one logged warning; the weight-free branches always run on the CPU (a bundle
  without the pretrained branch asked for "cuda" says so once); anything else is a `NorimError`. Loaded bundles are
  cached per (bundle, device), reloaded when the bundle on disk is replaced, at most 8 kept; safe across threads.
  `NorimError` when the name is unsafe (separators, "..", absolute/drive paths, control characters, leading dot,
  empty), when no bundle or several bundles of that name exist (the message says where it looked), or when the
  bundle is damaged or of another format version.
- `score_good_images(bundle, images) -> list[float]`: one finite score per image, in order, as a batch.
- `score_image(bundle, image, *, with_map) -> (score, amap, parts)`: `score` a float; `amap` a float32 array of
  the image's own HxW (None, and not computed, when `with_map` is false); `parts` a dict from the keys
  `BRANCHES` ("structural", "mahalanobis", "logical", in that order) to the largest z of the model's kept
  scores reporting under each: "structural" is always there, a key with no kept score is left out (the
  weight-free model keeps all three).
- `purge_train_cache(product_id) -> int`: deletes `<home>/_train/norim/<product_id>/` (removing links
  without following them, never touching `products/`) and returns the bytes of regular files freed;
  0 when there is no cache.
- `NorimError`: every failure the runner reports as its own.

For the host: `train` and `read_folder` (training), `bundle_info`, `bundle_owners` and `training_images`
(what a bundle is, who holds it, which images it was trained on), `bundle_region` (the part of the picture it
judges), `take_registration` (where the image `score_image` last scored on this thread lay against the product's
reference), `check_device`, and the vocabulary of
`choices` (`STRUCTURAL`, `BACKBONES`, `AUGMENTS`). Every training writes a new version of its bundle, never
rewritten: `bundle_versions` lists them, `use_version` chooses the one a lookup by name loads, and `pinned`
makes this thread's lookups load a given one (`storage/versions.py`). Scores, the map and the layout of the model
are described in docs/model.md. This module imports nothing heavy until a function is called: the command line
builds its options from it.
"""

from __future__ import annotations

import contextlib
import importlib
import logging
import os
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .choices import AUGMENTS, BACKBONES, BRANCHES, STRUCTURAL
from .errors import NorimError

if TYPE_CHECKING:
    from .storage.loaded import Bundle

__all__ = [
    "AUGMENTS",
    "BACKBONES",
    "BRANCHES",
    "STRUCTURAL",
    "Bundle",
    "BundleInfo",
    "NorimError",
    "Registration",
    "TrainResult",
    "bundle_info",
    "bundle_owners",
    "bundle_region",
    "bundle_versions",
    "check_device",
    "get_bundle",
    "pinned",
    "purge_train_cache",
    "read_folder",
    "score_good_images",
    "score_image",
    "take_registration",
    "train",
    "training_images",
    "use_version",
]

# Images scored together: bounds the memory of a batch to a few tens of MB whatever the caller passes.
_BATCH = 16
_sizes_told: set[tuple[object, int, int]] = set()

Home = str | os.PathLike[str] | None


def get_bundle(name: str, device: str | None = None) -> Bundle:
    """The loaded bundle `name` (cached), on `device` (None/"auto"/"cpu", or "cuda[:N]" where it can run)."""
    from .storage import loaded

    return loaded.get(name, device)


def _model(bundle: object):
    from .storage.loaded import Bundle

    model = getattr(bundle, "model", None)
    if not isinstance(bundle, Bundle) or model is None:
        msg = f"not a bundle from get_bundle: {type(bundle).__name__}"
        raise NorimError(msg)
    return model


def _finite(values: np.ndarray, what: str) -> None:
    if not np.isfinite(values).all():
        msg = f"{what}: non-finite score (damaged bundle or unusual image)"
        raise NorimError(msg)


def _working(bundle: Bundle, image: object) -> np.ndarray:
    """The working image the model sees of `image`: the product's region of it where the bundle has one."""
    from .inputs.working import to_working

    region = getattr(bundle, "region", None)
    if region is not None:
        return region.working(image)
    work = to_working(image)
    size = bundle.get("image_size") if isinstance(bundle, Mapping) else None
    shape = (int(image.shape[1]), int(image.shape[0]))  # type: ignore[attr-defined]
    if size and shape != tuple(size) and (bundle.get("build_id"), *shape) not in _sizes_told:
        _sizes_told.add((bundle.get("build_id"), *shape))
        logging.getLogger("qorva.inspection.norim.runner").warning(
            "bundle %s was trained on %dx%d images; this one is %dx%d and is resized to fit: another camera or "
            "framing can make good parts look unusual",
            bundle.get("name"), size[0], size[1], *shape,
        )  # fmt: skip
    return work


def score_good_images(bundle: Bundle, images: Sequence[np.ndarray]) -> list[float]:
    """One combined score per image, in order."""
    from .model import combine

    model = _model(bundle)
    works = [_working(bundle, im) for im in images]
    out: list[float] = []
    for s in range(0, len(works), _BATCH):
        raw, _ = model.raw(model.inputs(works[s : s + _BATCH], bundle.net))
        scores = combine(model.z(raw))
        _finite(scores, "score_good_images")
        out.extend(float(v) for v in scores)
    return out


def score_image(
    bundle: Bundle, image: np.ndarray, *, with_map: bool
) -> tuple[float, np.ndarray | None, dict[str, float]]:
    """Score one image: (combined score, float32 HxW map or None, branch z-scores by result key)."""
    from .model import anomaly_map, combine

    model = _model(bundle)
    _registered.value = None
    inputs = model.inputs([_working(bundle, image)], bundle.net)
    raw, cells = model.raw(inputs)
    z = model.z(raw)[0]
    _finite(z, "score_image")
    region = bundle.region
    # The picture the model judged: the region's rectangle, or all of it.
    h, w = image.shape[:2] if region is None else (region.box[3], region.box[2])
    amap = None
    if with_map:
        amap = anomaly_map(cells[0], h, w) if region is None else region.place(anomaly_map(cells[0], h, w))
    if model.align is not None and model.align.reference is not None:
        dx, dy, degrees = inputs.offsets[0]
        beyond = bool(model.align.beyond(inputs.offsets)[0])
        _registered.value = Registration(float(dx * w / inputs.works[0].shape[1]),
                                         float(dy * h / inputs.works[0].shape[0]), float(degrees), beyond)  # fmt: skip
    return float(combine(z)), amap, model.parts(z)


@dataclass(frozen=True)
class Registration:
    """Where an image lay against the product's reference (fixed layouts): how far its centre moved (px of the
    image, right and down) and how far it turned (degrees, counter-clockwise); `beyond` when that is more than
    the training images showed (a fixture moved, a part misplaced): a finding of its own, whatever the verdict."""

    dx: float
    dy: float
    degrees: float
    beyond: bool


_registered = threading.local()


def take_registration() -> Registration | None:
    """The registration of the image `score_image` last scored on this thread, once (None after it was taken, for
    a model that does not register images, or when that scoring failed)."""
    found = getattr(_registered, "value", None)
    _registered.value = None
    return found


def purge_train_cache(product_id: str) -> int:
    """Delete the product's retraining cache; bytes freed (0 when there was none)."""
    from .training import cache

    return cache.purge(product_id)


@dataclass(frozen=True)
class BundleInfo:
    """What a version of a bundle is, from its description alone (the arrays are not read)."""

    name: str
    product_id: str  # the product whose folder holds it
    path: Path  # the version's folder
    build_id: str | None  # new at every training
    created_utc: str | None
    n_images: int | None  # training images
    branches: tuple[str, ...]  # the scores kept
    backbone: str  # "lite0" (the pretrained features) or "none"
    format_version: int
    description: dict[str, Any]  # the whole bundle.json
    version: int = 1
    current: bool = True  # the version a lookup by name loads when none is pinned
    problem: str | None = None  # why the version cannot be read (`bundle_versions` lists damaged ones too)


def bundle_info(name: str, home: Home = None, version: int | None = None) -> BundleInfo:
    """The description of a version of the bundle called `name` (None: the one a lookup loads here); `NorimError`
    when it cannot be found or read."""
    from .storage import place, versions

    folder = place.named(name, home)
    with versions.pinned(str(name), version):
        path, found = versions.resolve(folder, str(name))
    return _info(str(name), folder, path, found, versions.current(folder))


def _info(name: str, folder: Path, path: Path, version: int, current: int) -> BundleInfo:
    from .storage import bundle

    meta, layout = bundle.describe(path)
    deep = layout.branches.get("deep")
    return BundleInfo(
        name, folder.parent.parent.name, path, meta.get("build_id"), meta.get("created_utc"), meta.get("n_images"),
        layout.active, deep["variant"] if deep else "none", meta["format_version"], meta, version, version == current,
    )  # fmt: skip


def bundle_versions(name: str, home: Home = None) -> list[BundleInfo]:
    """Every version of the bundle called `name`, oldest first; one that cannot be read says why in `problem`."""
    from .storage import place, versions

    folder = place.named(name, home)
    current = versions.current(folder)
    out = []
    for v in versions.listed(folder):
        path = versions.version_dir(folder, v)
        try:
            out.append(_info(str(name), folder, path, v, current))
        except NorimError as exc:
            out.append(BundleInfo(str(name), folder.parent.parent.name, path, None, None, None, (), "none", 0, {}, v,
                                  v == current, str(exc)))
    return out


def use_version(name: str, version: int, home: Home = None) -> None:
    """Make `version` the one a lookup of `name` loads (rollback included); `NorimError` when it does not exist."""
    from .storage import place, versions

    versions.set_current(place.named(name, home), int(version))


def pinned(name: str, version: int | None) -> contextlib.AbstractContextManager[None]:
    """A block in which lookups of `name` on this thread load `version` (None: the current one): a taught state is
    judged with the very version it was taught on, whatever a training or a switch does meanwhile."""
    from .storage import versions

    return versions.pinned(name, version)


def bundle_region(name: str, home: Home = None) -> tuple[tuple[int, int, int, int] | None, np.ndarray | None]:
    """The roi (x, y, width, height) and ignore mask (uint8, nonzero where anything goes) the current version of
    the bundle `name` judges with: (None, None) for the whole picture, or when there is no such bundle."""
    from .inputs import region

    try:
        described = bundle_info(name, home).description
    except NorimError:
        return None, None
    found = region.from_meta(described)
    return (None, None) if found is None else (found.roi, found.ignore)


def bundle_owners(name: str, home: Home = None) -> list[str]:
    """The products holding a bundle called `name` (a name must be unique: the inspector knows no product)."""
    from .storage import place

    return place.owners(name, home)


def training_images(bundle: Bundle, images: Sequence[np.ndarray]) -> list[int]:
    """Indexes of the images that are the bundle's own training images (by the digest of their working image)."""
    rows = _model(bundle).training_rows([_working(bundle, im) for im in images])
    return [i for i, row in enumerate(rows) if row >= 0]


def check_device(device: object) -> str:
    """The device text as the runner reads it ("cpu" or "cuda:N"); `NorimError` for one it does not know."""
    from .inputs import embed

    return embed.parse_device(device)


# Loaded on first use, with the code they belong to: `train(product_id, images, *, name, seed, structural, backbone,
# augment, home, quiet) -> TrainResult` and `read_folder(folder) -> (images, file names)` (see `training`).
_LAZY = {"train": "training", "read_folder": "training", "TrainResult": "training", "Bundle": "storage.loaded"}


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        msg = f"module {__name__!r} has no attribute {name!r}"
        raise AttributeError(msg)
    module = importlib.import_module(f"{__name__}.{_LAZY[name]}")
    return getattr(module, name)
