"""Offline training: good images in, a bundle under the product's folder out.

Training is deterministic for a given seed and set of images. Steps: working-size images and their features
(reused from the retraining cache when the same image was seen before), the product's palette, the fit with its
held-out scores and validation (`fit`), and an atomic write of the bundle.
"""

from __future__ import annotations

import logging
import os
import time
import uuid
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from qorva.images import ImageError, image_files, read_image

from .. import choices
from ..branches import deep, patch
from ..errors import NorimError
from ..inputs import Inputs, align, components, embed, region
from ..inputs.working import image_digest, to_working
from ..storage import bundle, place, versions
from . import cache, fit

logger = logging.getLogger("qorva.inspection.norim.runner")

MIN_IMAGES = 4


@dataclass(frozen=True)
class TrainResult:
    """What `train` produced."""

    product_id: str
    name: str
    path: Path
    n_images: int
    kind: str  # the structural model: "gauss"/"knn", with the weight-free branches kept beside the deep one
    position_share: float
    seconds: float
    bundle_bytes: int
    heldout_raw: np.ndarray  # n x branches: raw scores of each image while it was held out
    backbone: str = "none"  # "lite0" (pretrained features) or "none" (the weight-free model)
    branches: tuple[str, ...] = fit.WEIGHT_FREE  # the scores kept
    validation: dict[str, float] | None = None  # merit of each combination the validation tried
    version: int = 1  # the bundle's version this training wrote (`storage.versions`)
    current: bool = True  # whether it is the version a lookup by name loads


def read_folder(folder: str | os.PathLike[str]) -> tuple[list[np.ndarray], list[str]]:
    """Decode the images of a folder, sorted by name; `NorimError` for a missing folder, no image or a bad file."""
    try:
        paths = image_files(folder, "good-image folder")
    except ImageError as exc:
        raise NorimError(str(exc)) from None
    images = []
    for p in paths:
        try:
            images.append(read_image(p))
        except ImageError as exc:
            msg = f"{exc}; remove it from {p.parent} or replace it"
            raise NorimError(msg) from None
    return images, [p.name for p in paths]


def train(
    product_id: str,
    images: list[np.ndarray],
    *,
    name: str | None = None,
    seed: int = 0,
    structural: str = "auto",
    backbone: str | None = None,
    augment: str = "",
    home: str | os.PathLike[str] | None = None,
    quiet: bool = True,
    activate: bool | None = None,
    roi: tuple[int, int, int, int] | None = None,
    ignore: np.ndarray | None = None,
) -> TrainResult:
    """Train a bundle for `product_id` from good images and write it as a new version of
    `products/<id>/norim/<name>/`.

    `name` defaults to the product id (the name the inspector looks for when no bundle is configured).
    `structural` forces the structural model ("gauss" for aligned products, "knn" for moving parts and textures);
    "auto" chooses it. `backbone` "auto" or "lite0" uses the pretrained features ("auto" falls back to the
    weight-free model with one warning when they cannot run here), "none" trains the weight-free model; None takes
    `choices.DEFAULT_BACKBONE`. `augment` (a key of `choices.AUGMENTS`) adds flipped and turned copies of the
    training images, for products whose orientation does not matter; it needs the pretrained features.
    `activate` makes the new version the current one; None does so only for a new bundle (`versions.add`).
    `roi` (x, y, width, height) cuts that rectangle out of every image before anything looks at it and `ignore`
    (a mask the size of the images or of the roi, nonzero where anything goes) is never judged (`inputs.region`).
    """
    from qorva.console import Progress  # here: loading the runner to score images never loads the console

    t0 = time.perf_counter()
    pid, bundle_name = _checked_args(product_id, name, structural, augment, len(images))
    net = _network(choices.DEFAULT_BACKBONE if backbone is None else backbone, augment, home)
    cut = region.made(images, roi, ignore)
    works = [to_working(im) if cut is None else cut.working(im) for im in images]
    digests = np.stack([image_digest(w) for w in works])
    folder = place.train_cache_dir(pid, home)
    named = place.bundle_folder(pid, bundle_name, home)
    steps = len(works) + min(fit.FOLDS, len(works)) + (3 if net is not None else 2)
    with Progress(steps, f"train {pid}", quiet=quiet, unit="step") as bar:
        fitted = _fit(works, digests, folder, net, structural, augment, np.random.default_rng(seed), bar)
        meta = _meta(pid, bundle_name, seed, len(works), augment, fitted)
        meta["image_size"] = list(_usual_size(images))
        if cut is not None:
            meta["region"] = cut.describe()
        version = versions.add(named, lambda tmp: bundle.write_files(tmp, fitted.model, meta), activate=activate)
        bar.update()
    target = versions.version_dir(named, version)
    return TrainResult(
        pid, bundle_name, target, len(works), fitted.kind, fitted.position_share, time.perf_counter() - t0,
        (target / place.ARRAYS_FILE).stat().st_size, fitted.heldout, "none" if net is None else embed.VARIANT,
        fitted.model.active, fitted.validation, version, versions.current(named) == version,
    )  # fmt: skip


def _usual_size(images: list[np.ndarray]) -> tuple[int, int]:
    """(width, height) most of the training images have."""
    sizes = Counter((int(im.shape[1]), int(im.shape[0])) for im in images)
    return sizes.most_common(1)[0][0]


def _fit(works, digests, folder: Path, net: Any, structural: str, augment: str, rng, bar) -> fit.Fitted:
    """The training images' inputs (features from the retraining cache where it has them), aligned where the
    product has a fixed layout, then the fit."""
    hashes = [d.tobytes().hex() for d in digests]
    feats = cache.filter_features(folder, works, hashes, bar)
    emb = cache.embeddings(folder, works, hashes, net) if net is not None else None
    if structural != "auto":
        fixed = structural == "gauss"
    else:
        fixed = (deep.kind_of(emb) if emb is not None else patch.layout(feats, "auto")[0]) == "gauss"
    alignment, offsets = align.fit(works, register_them=fixed)
    aligned, _, unseen = alignment.apply(works)
    if any(a is not w for a, w in zip(aligned, works, strict=True)):
        moved = [image_digest(a).tobytes().hex() for a in aligned]
        feats = cache.filter_features(folder, aligned, moved, None)
        emb = cache.embeddings(folder, aligned, moved, net) if net is not None else None
    palette = components.fit_palette(aligned, rng)
    given = {"feats": feats} if emb is None else {"feats": feats, "emb": emb}
    inputs = Inputs(aligned, net=net, palette=palette, desc=components.descriptors(aligned, palette),
                    originals=works, offsets=offsets, unseen=unseen, **given)  # fmt: skip
    if net is not None:
        return fit.with_deep(inputs, palette, digests, net, structural, augment, rng, bar, alignment)
    bar.update()
    return fit.weight_free(inputs, palette, digests, structural, rng, bar, alignment)


def _checked_args(product_id: str, name: str | None, structural: str, augment: str, n_images: int) -> tuple[str, str]:
    """The product id and bundle name; `NorimError` before anything is written when an argument is unusable."""
    pid = place.check_name(product_id, "product id")
    bundle_name = place.check_name(name if name is not None else pid, "bundle name")
    if structural not in choices.STRUCTURAL:
        msg = f"structural must be {_alternatives(choices.STRUCTURAL)}, got {structural!r}"
        raise NorimError(msg)
    if augment not in choices.AUGMENTS:
        msg = f"augment must be one of {', '.join(repr(a) for a in choices.AUGMENTS)}, got {augment!r}"
        raise NorimError(msg)
    if n_images < MIN_IMAGES:
        msg = f"training needs at least {MIN_IMAGES} good images (20-50 recommended), got {n_images}"
        raise NorimError(msg)
    return pid, bundle_name


def _alternatives(values: tuple[str, ...]) -> str:
    return ", ".join(repr(v) for v in values[:-1]) + f" or {values[-1]!r}"


def _network(backbone: str, augment: str, home) -> Any:
    """The pretrained network to train with, or None for the weight-free model."""
    if backbone not in choices.BACKBONES:
        msg = f"backbone must be {_alternatives(choices.BACKBONES)}, got {backbone!r}"
        raise NorimError(msg)
    if backbone == "none":
        if augment:
            # The weight-free model fits no copies: accepting the option would train without them in silence.
            msg = (
                f"augment {augment!r} needs the pretrained features; "
                "the weight-free model (backbone 'none') trains without copies"
            )
            raise NorimError(msg)
        return None
    try:
        return embed.network("cpu", place.backbone_cache_dir(home))
    except embed.DeepUnavailable as exc:
        if backbone == "lite0":
            msg = f"pretrained features cannot run here: {exc}"
            raise NorimError(msg) from None
        dropped = f", without the copies of augment {augment!r}, which need them" if augment else ""
        logger.warning("pretrained features cannot run here (%s); training the weight-free model%s", exc, dropped)
        return None


def _meta(pid: str, bundle_name: str, seed: int, n: int, augment: str, fitted: fit.Fitted) -> dict[str, Any]:
    """The bundle's provenance: who, when, from what, and what training found."""
    model = fitted.model
    deep = model.branch("deep")
    meta: dict[str, Any] = {
        "name": bundle_name,
        "product_id": pid,
        "created_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "build_id": uuid.uuid4().hex,
        "seed": int(seed),
        "n_images": n,
        "combine": "max of held-out z-scores",
        "backbone": "none",
        "kind": fitted.kind,
        "position_share": round(fitted.position_share, 4),
        "branches": list(model.active),
        "heldout_log1p_mean": model.norm[:, 0].tolist(),
        "heldout_log1p_std": model.norm[:, 1].tolist(),
    }
    if deep is not None:
        meta["backbone"] = f"efficientnet-{embed.VARIANT} (ImageNet), stages {', '.join(map(str, embed.TAPS))}"
        meta.update(weights_sha256=embed.weights_sha256(), validation=fitted.validation, augment=augment)
    return meta
