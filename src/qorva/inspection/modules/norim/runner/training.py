"""Offline training: good images in, a bundle under the product's folder out.

Training is deterministic for a given seed and set of images. Steps: working-size images and their patch
features (reused from the retraining cache when the same image was seen before), the structural model's
layout, a colour palette for the logical branch, k-fold held-out scores that fix each branch's
normalisation, the final fit on all images, an atomic write of the bundle, and the cache's record.
"""

from __future__ import annotations

import logging
import os
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from qorva.console import Progress
from qorva.images import ImageError, image_files, read_image

from . import components, deep, deep_training, stats, train_cache
from .bundle import ARRAYS_FILE, write_bundle
from .features import GRID, isotropic, to_working
from .model import BRANCHES, Model, branch_raw, image_digest, image_vector, knn_queries
from .paths import NorimError, backbone_cache_dir, bundle_dir, check_name, train_cache_dir

logger = logging.getLogger("qorva.inspection.norim.runner")

MIN_IMAGES = 4
# The feature extractor `train` uses when the caller names none.
BACKBONE = "auto"
_FOLDS = 4
_PALETTE = 10
_BANK = 2048
_DENSITY_K = 3
# Share of feature variance explained by cell position above which the product counts as aligned
# (a per-cell Gaussian); below it parts move and a memory bank is used.
_ALIGNED_SHARE = 0.5


@dataclass(frozen=True)
class TrainResult:
    """What `train` produced."""

    product_id: str
    name: str
    path: Path
    n_images: int
    kind: str
    position_share: float
    seconds: float
    bundle_bytes: int
    heldout_raw: np.ndarray  # n x branches: raw scores of each image while it was held out
    backbone: str = "none"  # "lite0" (pretrained features) or "none" (the weight-free model)
    branches: tuple[str, ...] = BRANCHES  # the sub-branches kept (see `hybrid`)
    validation: dict[str, float] | None = None  # merit of each combination the chooser tried


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


def _kmeans(x: np.ndarray, k: int, rng: np.random.Generator, iters: int = 20) -> np.ndarray:
    """k-means++ then Lloyd iterations; centres sorted so the palette is independent of the draw order."""
    centres = [x[rng.integers(len(x))]]
    d2 = stats.sq_dists(x, np.asarray(centres)).min(1)
    for _ in range(1, k):
        p = d2 / d2.sum() if d2.sum() > 0 else None
        centres.append(x[rng.choice(len(x), p=p)])
        d2 = np.minimum(d2, stats.sq_dists(x, centres[-1][None]).ravel())
    c = np.asarray(centres, np.float64)
    for _ in range(iters):
        lab = stats.sq_dists(x, c).argmin(1)
        for j in range(k):
            members = x[lab == j]
            if len(members):
                c[j] = members.mean(0)
    order = np.lexsort(c.T[::-1])
    return c[order].astype(np.float32)


# Palette colours closer than this (opponent units; 0.06 is about 15 grey levels) are one colour split by
# shading or noise; left apart they cut one part or the background into fragments that count differently.
_MERGE = 0.06


def _merge_close(palette: np.ndarray, sample: np.ndarray) -> np.ndarray:
    """Merge the closest pair of colours while it is closer than `_MERGE`, weighting by pixel share."""
    centres = [c.astype(np.float64) for c in palette]
    labels = stats.sq_dists(sample, np.asarray(centres)).argmin(1)
    weights = [float((labels == k).sum()) + 1.0 for k in range(len(centres))]
    while len(centres) > 1:
        c = np.asarray(centres)
        d = np.sqrt(stats.sq_dists(c, c)) + np.eye(len(c)) * 1e9
        i, j = np.unravel_index(d.argmin(), d.shape)
        if d[i, j] >= _MERGE:
            break
        w = weights[i] + weights[j]
        centres[i] = (centres[i] * weights[i] + centres[j] * weights[j]) / w
        weights[i] = w
        del centres[j], weights[j]
    out = np.asarray(centres, np.float32)
    return out[np.lexsort(out.T[::-1])]


def _palette(works: list[np.ndarray], rng: np.random.Generator) -> tuple[np.ndarray, float]:
    px = np.concatenate([components.pixels(w) for w in works]).astype(np.float64)
    sample = px[rng.choice(len(px), size=min(len(px), 30000), replace=False)]
    palette = _merge_close(_kmeans(sample, _PALETTE, rng), sample)
    _, d2 = components.assign(sample.astype(np.float32), palette)
    # Mixed pixels on part edges are the largest distances a good image has; a colour well beyond them is new.
    novel = float(np.quantile(d2, 0.999)) * 2.0 + 1e-4
    return palette, novel


def standardiser(feats: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    flat = feats.reshape(-1, feats.shape[-1])
    return flat.mean(0).astype(np.float32), (flat.std(0) + 1e-6).astype(np.float32)


def position_share(z: np.ndarray) -> float:
    """Share of the (standardised) feature variance explained by the cell position, averaged over features."""
    total = z.reshape(-1, z.shape[-1]).var(0)
    by_cell = z.mean(0).reshape(-1, z.shape[-1]).var(0)
    return float(np.mean(by_cell / np.maximum(total, 1e-12)))


def _neighbourhood(z: np.ndarray) -> np.ndarray:
    """n x G x G x D -> G x G x 9n x D: every cell's samples with those of its 3x3 neighbours (edges clamped)."""
    pad = np.pad(z, ((0, 0), (1, 1), (1, 1), (0, 0)), mode="edge")
    shifted = [pad[:, 1 + dy : 1 + dy + GRID, 1 + dx : 1 + dx + GRID] for dy in (-1, 0, 1) for dx in (-1, 0, 1)]
    stack = np.concatenate(shifted, axis=0)
    return np.ascontiguousarray(stack.transpose(1, 2, 0, 3))


def fit_parts(
    z: np.ndarray, desc: np.ndarray, kind: str, rng: np.random.Generator, share: float = 1.0, bank_size: int = _BANK
) -> dict[str, Any]:
    """Branch parameters from standardised features `z` (n x G x G x D) and logical descriptors.

    `share` is the fraction of the final model's images that `z` holds (below 1 for a fold).
    """
    d = z.shape[-1]
    out: dict[str, Any] = {
        "kind": kind,
        "loc_mean": None,
        "loc_prec": None,
        "knn_whiten": None,
        "bank": None,
        "bank_r": None,
    }
    if kind == "gauss":
        samples = _neighbourhood(z.astype(np.float64))
        out["loc_mean"] = samples.mean(2).astype(np.float32)
        out["loc_prec"] = stats.precision(stats.ledoit_wolf(samples)).astype(np.float32)
    else:
        flat = z.reshape(-1, d).astype(np.float64)
        w = stats.whitener(stats.ledoit_wolf(flat)).astype(np.float32)
        q = knn_queries(w, z)
        bank = q[stats.coreset(q, max(int(round(bank_size * share)), 1), rng)]
        out["knn_whiten"] = w
        out["bank"] = np.ascontiguousarray(bank)
        out["bank_r"] = stats.kth_nearest(bank, q, _DENSITY_K * share)
    v = image_vector(z).astype(np.float64)
    out["img_mean"] = v.mean(0).astype(np.float32)
    out["img_prec"] = stats.precision(stats.ledoit_wolf(v)).astype(np.float32)
    center = np.median(desc, axis=0)
    spread = desc.std(axis=0)
    floor = components.entry_floor(desc.shape[1])
    out["logic_center"] = center
    out["logic_scale"] = np.sqrt(spread**2 + (0.05 * center) ** 2 + floor**2)
    # Deviations that good images show are tolerated: a count that varies from image to image (blobs of a
    # texture, a part that sometimes splits in two) says nothing. The largest deviation is left out, so one
    # odd training image does not make a missing part acceptable.
    dev = np.sort(np.abs(desc - center), axis=0)
    out["logic_tol"] = dev[-2] if len(dev) > 1 else np.zeros_like(center)
    return out


# The logical raw score is already in units of good spread (robust z); a held-out spread below ~0.3 of
# those units (0.25 after log1p) only means the good images happened to agree, not that any change is a defect.
_NORM_FLOOR = np.array([1e-3, 1e-3, 0.25])


def _norm(raw: np.ndarray) -> np.ndarray:
    """Mean and std of log1p(raw) per branch, the statistics `model.normalise` divides by."""
    x = np.log1p(raw)
    mean = x.mean(0)
    std = x.std(0)
    # A branch that scores every held-out image alike would otherwise divide by ~0 and explode on noise.
    std = np.maximum(std, np.maximum(0.05 * np.abs(mean), _NORM_FLOOR))
    return np.stack([mean, std], axis=1)


@dataclass(frozen=True)
class Layout:
    """How the structural branch sees the patch features: its kind and the features it is fitted on."""

    kind: str  # "gauss" or "knn"
    position_share: float
    feats: np.ndarray  # n x G x G x D, made isotropic for "knn"
    mean: np.ndarray
    scale: np.ndarray

    def standardised(self) -> np.ndarray:
        return ((self.feats - self.mean) / self.scale).astype(np.float32)


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
    sources: list[str] | None = None,
) -> TrainResult:
    """Train a bundle for `product_id` from good images and write it to `products/<id>/norim/<name>/`.

    `name` defaults to the product id (the name the inspector looks for when no bundle is configured).
    `structural` forces the structural model ("gauss" for aligned products, "knn" for moving parts and textures);
    "auto" chooses it. `backbone` "auto" or "lite0" uses the pretrained features (format 3; "auto" falls back to
    the weight-free model with one warning when they cannot run here), "none" trains the weight-free model
    (format 2); None takes `BACKBONE`. `augment` ("", "h", "v", "hv", "r", "hvr") adds flipped and turned
    copies of the training images, for products whose orientation does not matter.
    """
    t0 = time.perf_counter()
    pid, bundle_name = _checked_args(product_id, name, structural, len(images))
    net = _backbone(BACKBONE if backbone is None else backbone, augment, home)
    works = [to_working(im) for im in images]
    digests = np.stack([image_digest(w) for w in works])
    hashes = [d.tobytes().hex() for d in digests]
    cache = train_cache_dir(pid, home)
    target = bundle_dir(pid, bundle_name, home)
    steps = len(works) + min(_FOLDS, len(works)) + (3 if net is not None else 2)
    with Progress(steps, f"train {pid}", quiet=quiet, unit="step") as bar:
        fitted = (_fit_hybrid if net is not None else _fit_classic)(
            works, hashes, digests, cache, net, structural, augment, seed, bar
        )
        write_bundle(target, fitted.model, _meta(pid, bundle_name, seed, len(works), fitted))
        bar.update()
    train_cache.record(cache, seed=seed, bundle=target, sources=sources, hashes=hashes, heldout=fitted.heldout)
    seconds = time.perf_counter() - t0
    size = (target / ARRAYS_FILE).stat().st_size
    return TrainResult(
        pid, bundle_name, target, len(works), fitted.kind, fitted.position_share, seconds, size, fitted.heldout,
        fitted.backbone, fitted.branches, fitted.validation,
    )  # fmt: skip


@dataclass(frozen=True)
class _Fitted:
    model: Any
    kind: str
    position_share: float
    heldout: np.ndarray
    backbone: str
    branches: tuple[str, ...]
    validation: dict[str, float] | None
    meta: dict[str, Any]


def _backbone(backbone: str, augment: str, home: str | os.PathLike[str] | None):
    """The pretrained feature extractor to train with, or None for the weight-free model."""
    if backbone not in ("auto", "lite0", "none"):
        msg = f"backbone must be 'auto', 'lite0' or 'none', got {backbone!r}"
        raise NorimError(msg)
    if augment not in deep_training.AUGMENTS:
        msg = f"augment must be one of {', '.join(repr(a) for a in deep_training.AUGMENTS)}, got {augment!r}"
        raise NorimError(msg)
    if backbone == "none":
        return None
    try:
        return deep.backbone("cpu", backbone_cache_dir(home))
    except deep.DeepUnavailable as exc:
        if backbone == "lite0":
            msg = f"pretrained features cannot run here: {exc}"
            raise NorimError(msg) from None
        logger.warning("pretrained features cannot run here (%s); training the weight-free model", exc)
        return None


def _fit_hybrid(works, hashes, digests, cache, net, structural, augment, seed, bar) -> _Fitted:
    rng = np.random.default_rng(seed)
    feats = train_cache.features(cache, works, hashes, bar)
    emb = train_cache.deep_features(cache, works, hashes, net, deep.cache_tag())
    palette, novel = _palette(works, rng)
    logic = {"palette": palette, "novel_d2": novel}
    desc = np.stack([components.descriptor(w, palette, novel) for w in works])
    images = deep_training.ImageSet(works, emb, feats, desc)
    result = deep_training.fit(images, logic, net=net, structural=structural, augment=augment, rng=rng, bar=bar)
    model = result.model
    meta = {
        "backbone": f"efficientnet-{deep.VARIANT} (ImageNet), stages {', '.join(map(str, deep.TAPS))}",
        "weights_sha256": deep.weights_sha256(),
        "deep_kind": result.choice.kind,
        "weight_free_kind": result.classic_kind,
        "branches": list(model.active),
        "validation": result.choice.table,
        "augment": augment,
        "heldout_log1p_mean": model.norm[:, 0].tolist(),
        "heldout_log1p_std": model.norm[:, 1].tolist(),
    }
    kind = "+".join((result.choice.kind, *(b for b in model.active if not b.startswith("deep"))))
    return _Fitted(
        model, kind, result.position_share, result.heldout, deep.VARIANT, model.active, result.choice.table, meta
    )


def _fit_classic(works, hashes, digests, cache, net, structural, augment, seed, bar) -> _Fitted:
    rng = np.random.default_rng(seed)
    layout = layout_of(train_cache.features(cache, works, hashes, bar), structural)
    palette, novel = _palette(works, rng)
    desc = np.stack([components.descriptor(w, palette, novel) for w in works])
    bar.update()
    logic = {"palette": palette, "novel_d2": novel}
    heldout = _heldout_raw(layout, desc, logic, min(_FOLDS, len(works)), rng, bar)
    model = _final_model(layout, desc, logic, heldout, digests, rng)
    meta = {
        "position_share": round(layout.position_share, 4),
        "branches": list(BRANCHES),
        "heldout_log1p_mean": model.norm[:, 0].tolist(),
        "heldout_log1p_std": model.norm[:, 1].tolist(),
    }
    return _Fitted(model, layout.kind, layout.position_share, heldout, "none", BRANCHES, None, meta)


def _checked_args(product_id: str, name: str | None, structural: str, n_images: int) -> tuple[str, str]:
    """The product id and bundle name; `NorimError` before anything is written when an argument is unusable."""
    pid = check_name(product_id, "product id")
    bundle_name = check_name(name if name is not None else pid, "bundle name")
    if structural not in ("auto", "gauss", "knn"):
        msg = f"structural must be 'auto', 'gauss' or 'knn', got {structural!r}"
        raise NorimError(msg)
    if n_images < MIN_IMAGES:
        msg = f"training needs at least {MIN_IMAGES} good images (20-50 recommended), got {n_images}"
        raise NorimError(msg)
    return pid, bundle_name


def layout_of(feats: np.ndarray, structural: str) -> Layout:
    """Pick the structural model (unless forced) and standardise the features it will be fitted on."""
    mean, scale = standardiser(feats)
    share = position_share(((feats - mean) / scale).astype(np.float32))
    kind = structural if structural != "auto" else ("gauss" if share >= _ALIGNED_SHARE else "knn")
    if kind == "knn":
        feats = isotropic(feats)
        mean, scale = standardiser(feats)
    return Layout(kind, share, feats, mean, scale)


def _heldout_raw(
    layout: Layout,
    desc: np.ndarray,
    logic: dict[str, Any],
    folds: int,
    rng: np.random.Generator,
    bar: Progress,
) -> np.ndarray:
    """n x 3 raw branch scores, each image scored by a model fitted on the other folds."""
    n = len(layout.feats)
    order = rng.permutation(n)
    heldout = np.zeros((n, len(BRANCHES)))
    for f in range(folds):
        test = np.sort(order[f::folds])
        fit_idx = np.setdiff1d(np.arange(n), test)
        # Everything fitted from images, the standardisation included, must not have seen the held-out
        # ones, or their scores come out lower than those of truly new images.
        f_mean, f_scale = standardiser(layout.feats[fit_idx])
        zf = ((layout.feats - f_mean) / f_scale).astype(np.float32)
        fold = Model(
            **logic,
            feat_mean=f_mean,
            feat_scale=f_scale,
            # A memory bank's coverage and density radius depend on how many images it saw; a fold
            # scaled to its share of the images scores its held-out images as the final model scores
            # new ones. Unscaled, a fold's held-out scores came out lower than new images' scores, so a
            # threshold taught on the training images rejected too many new good ones (tray 5.5% -> 4%).
            **fit_parts(zf[fit_idx], desc[fit_idx], layout.kind, rng, len(fit_idx) / n),
            norm=np.ones((len(BRANCHES), 2)),
            map_scale=1.0,
            train_hashes=np.zeros((0, 16), np.uint8),
            train_raw=np.zeros((0, len(BRANCHES))),
        )
        heldout[test] = branch_raw(fold, zf[test], desc[test]).raw
        bar.update()
    return heldout


def _final_model(
    layout: Layout,
    desc: np.ndarray,
    logic: dict[str, Any],
    heldout: np.ndarray,
    digests: np.ndarray,
    rng: np.random.Generator,
) -> Model:
    """The model fitted on every image, normalised by the held-out scores, remembering its training images."""
    return Model(
        **logic,
        feat_mean=layout.mean,
        feat_scale=layout.scale,
        **fit_parts(layout.standardised(), desc, layout.kind, rng),
        norm=_norm(heldout),
        map_scale=float(max(heldout[:, 0].mean(), 1e-6)),
        train_hashes=digests,
        train_raw=heldout,
    )


def _meta(pid: str, bundle_name: str, seed: int, n: int, fitted: _Fitted) -> dict[str, Any]:
    """The bundle's description: provenance, the branches kept and their held-out normalisation."""
    return {
        "name": bundle_name,
        "product_id": pid,
        "created_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "build_id": uuid.uuid4().hex,
        "seed": int(seed),
        "n_images": n,
        "combine": "max of held-out z-scores",
        **fitted.meta,
    }
