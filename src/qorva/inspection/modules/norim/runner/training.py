"""Offline training: good images in, a bundle under the product's folder out.

Training is deterministic for a given seed and set of images. Steps: working-size images and their patch
features (reused from the retraining cache when the same image was seen before), a colour palette for the
logical branch, k-fold held-out scores that fix each branch's normalisation, the final fit on all images,
and an atomic write of the bundle. The retraining cache `_train/norim/<product_id>/` keeps the per-image
features, the training list and the held-out scores.
"""

from __future__ import annotations

import json
import os
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva.progress import Progress

from . import components, stats
from .features import CELL, GRID, SIZE, isotropic, patch_features, to_working
from .model import BRANCHES, Model, branch_raw, image_digest, image_vector, knn_queries
from .paths import NorimError, bundle_dir, check_name, train_cache_dir
from .store import ARRAYS_FILE, write_bundle

MIN_IMAGES = 4
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff")
_FOLDS = 4
_PALETTE = 10
_BANK = 2048
_DENSITY_K = 3
# Share of feature variance explained by cell position above which the product counts as aligned
# (a per-cell Gaussian); below it parts move and a memory bank is used.
_ALIGNED_SHARE = 0.5
_LAYOUT = f"opp-v1-{SIZE}-{CELL}"


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
    heldout_raw: np.ndarray  # n x 3 raw branch scores of each image while it was held out


def read_folder(folder: str | os.PathLike[str]) -> tuple[list[np.ndarray], list[str]]:
    """Decode the images of a folder, sorted by name; `NorimError` for a missing folder or a bad file."""
    root = Path(folder)
    if not root.is_dir():
        msg = f"good-image folder {root} does not exist or is not a folder"
        raise NorimError(msg)
    paths = sorted(p for p in root.iterdir() if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES)
    images, names = [], []
    for p in paths:
        # np.fromfile + imdecode reads non-ASCII paths on every platform, unlike cv2.imread.
        img = cv2.imdecode(np.fromfile(str(p), np.uint8), cv2.IMREAD_COLOR)
        if img is None:
            msg = f"cannot decode {p} as an image; remove it from {root} or replace it"
            raise NorimError(msg)
        images.append(img)
        names.append(p.name)
    return images, names


def _write_npy(path: Path, array: np.ndarray) -> None:
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex[:8]}")
    with open(tmp, "wb") as fh:
        np.save(fh, array, allow_pickle=False)
    os.replace(tmp, path)


def _write_json(path: Path, obj: Any) -> None:
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex[:8]}")
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(obj, fh, ensure_ascii=False, indent=1)
    os.replace(tmp, path)


def _cached_features(cache: Path, works: list[np.ndarray], hashes: list[str], bar: Progress) -> np.ndarray:
    folder = cache / "features"
    folder.mkdir(parents=True, exist_ok=True)
    out = []
    for work, h in zip(works, hashes, strict=True):
        path = folder / f"{_LAYOUT}-{h}.npy"
        feats = None
        if path.is_file():
            try:
                feats = np.load(path, allow_pickle=False)
            except (OSError, ValueError):
                feats = None
            if feats is not None and (feats.shape[:2] != (GRID, GRID) or not np.isfinite(feats).all()):
                feats = None
        if feats is None:
            feats = patch_features(work)
            _write_npy(path, feats)
        out.append(feats)
        bar.update()
    return np.stack(out)


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


def _standardiser(feats: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
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


def _fit(z: np.ndarray, desc: np.ndarray, kind: str, rng: np.random.Generator, share: float = 1.0) -> dict[str, Any]:
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
        bank = q[stats.coreset(q, max(int(round(_BANK * share)), 1), rng)]
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


def train(
    product_id: str,
    images: list[np.ndarray],
    *,
    name: str | None = None,
    seed: int = 0,
    structural: str = "auto",
    home: str | os.PathLike[str] | None = None,
    quiet: bool = True,
    sources: list[str] | None = None,
) -> TrainResult:
    """Train a bundle for `product_id` from good images and write it to `products/<id>/norim/<name>/`.

    `name` defaults to the product id (the name the inspector looks for when no bundle is configured).
    `structural` forces the structural branch ("gauss" for aligned products, "knn" for moving parts);
    "auto" picks it from how much of the feature variance the cell position explains.
    """
    t0 = time.perf_counter()
    pid = check_name(product_id, "product id")
    bundle_name = check_name(name if name is not None else pid, "bundle name")
    if structural not in ("auto", "gauss", "knn"):
        msg = f"structural must be 'auto', 'gauss' or 'knn', got {structural!r}"
        raise NorimError(msg)
    if len(images) < MIN_IMAGES:
        msg = f"training needs at least {MIN_IMAGES} good images (20-50 recommended), got {len(images)}"
        raise NorimError(msg)
    works = [to_working(im) for im in images]
    digests = np.stack([image_digest(w) for w in works])
    hashes = [d.tobytes().hex() for d in digests]
    n = len(works)
    folds = min(_FOLDS, n)
    rng = np.random.default_rng(seed)
    cache = train_cache_dir(pid, home)
    target = bundle_dir(pid, bundle_name, home)
    with Progress(n + folds + 2, f"train {pid}", quiet=quiet, unit="step") as bar:
        feats = _cached_features(cache, works, hashes, bar)
        feat_mean, feat_scale = _standardiser(feats)
        share = position_share(((feats - feat_mean) / feat_scale).astype(np.float32))
        kind = structural if structural != "auto" else ("gauss" if share >= _ALIGNED_SHARE else "knn")
        if kind == "knn":
            feats = isotropic(feats)
            feat_mean, feat_scale = _standardiser(feats)
        z = ((feats - feat_mean) / feat_scale).astype(np.float32)
        palette, novel = _palette(works, rng)
        desc = np.stack([components.descriptor(w, palette, novel) for w in works])
        bar.update()
        common = {
            "feat_mean": feat_mean,
            "feat_scale": feat_scale,
            "palette": palette,
            "novel_d2": novel,
        }
        order = rng.permutation(n)
        heldout = np.zeros((n, 3))
        for f in range(folds):
            test = np.sort(order[f::folds])
            fit_idx = np.setdiff1d(np.arange(n), test)
            # Everything fitted from images, the standardisation included, must not have seen the held-out
            # ones, or their scores come out lower than those of truly new images.
            f_mean, f_scale = _standardiser(feats[fit_idx])
            zf = ((feats - f_mean) / f_scale).astype(np.float32)
            fold = Model(
                **{**common, "feat_mean": f_mean, "feat_scale": f_scale},
                # A memory bank's coverage and density radius depend on how many images it saw; a fold
                # scaled to its share of the images scores its held-out images as the final model scores
                # new ones. Unscaled, a fold's held-out scores came out lower than new images' scores, so a
                # threshold taught on the training images rejected too many new good ones (tray 5.5% -> 4%).
                **_fit(zf[fit_idx], desc[fit_idx], kind, rng, len(fit_idx) / n),
                norm=np.ones((3, 2)),
                map_scale=1.0,
                train_hashes=np.zeros((0, 16), np.uint8),
                train_raw=np.zeros((0, 3)),
            )
            heldout[test] = branch_raw(fold, zf[test], desc[test]).raw
            bar.update()
        norm = _norm(heldout)
        model = Model(
            **common,
            **_fit(z, desc, kind, rng),
            norm=norm,
            map_scale=float(max(heldout[:, 0].mean(), 1e-6)),
            train_hashes=digests,
            train_raw=heldout,
        )
        meta = {
            "name": bundle_name,
            "product_id": pid,
            "created_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
            "build_id": uuid.uuid4().hex,
            "seed": int(seed),
            "n_images": n,
            "position_share": round(share, 4),
            "branches": list(BRANCHES),
            "combine": "max of held-out z-scores",
            "heldout_log1p_mean": norm[:, 0].tolist(),
            "heldout_log1p_std": norm[:, 1].tolist(),
        }
        write_bundle(target, model, meta)
        bar.update()
    listing = [{"source": s, "hash": h} for s, h in zip(sources or [None] * n, hashes, strict=True)]
    _write_json(cache / "train_list.json", {"layout": _LAYOUT, "seed": seed, "bundle": str(target), "images": listing})
    _write_npy(cache / "heldout_raw.npy", heldout)
    return TrainResult(
        pid,
        bundle_name,
        target,
        n,
        kind,
        share,
        time.perf_counter() - t0,
        (target / ARRAYS_FILE).stat().st_size,
        heldout,
    )
