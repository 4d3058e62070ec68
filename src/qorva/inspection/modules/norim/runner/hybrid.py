"""The model of bundle format 3: pretrained patch features beside the weight-free branches, chosen per product.

Sub-branches (each a raw score per image, normalised on held-out good images as in `model`, then combined by the
largest z):
- "deep", "deep_ring": the pretrained patch model (`deep`): its worst inner cell, and for a fixed layout its
  worst border cell;
- "patch": the weight-free per-cell model of `model` (filter-bank features; it sees colour and fine texture);
- "global": the weight-free whole-image statistics of `model`;
- "logical": the weight-free component descriptor of `model` (counts, sizes, colours and places of parts).
Training (`chooser`) keeps the deep branches and whichever others add to them on this product; only the kept ones
are computed when an image is scored. Each reports under the inspector's branch keys: the first three under
"structural", then "mahalanobis" and "logical"; a key with no kept branch is left out of `parts`.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from . import components, deep, tails
from .features import batch_features, isotropic
from .model import Model, gauss_cells, image_digest, image_vector, knn_cells, logic_raw, mahalanobis, standardise

SUB_BRANCHES = ("deep", "deep_ring", "patch", "global", "logical")
BRANCH_OF = {
    "deep": "structural",
    "deep_ring": "structural",
    "patch": "structural",
    "global": "mahalanobis",
    "logical": "logical",
}


@dataclass(frozen=True)
class HybridModel:
    """Arrays of a trained format-3 model; read-only, shared between threads."""

    deep: deep.DeepPart
    classic: Model  # the weight-free parts; only the arrays of kept sub-branches are used
    active: tuple[str, ...]  # kept sub-branches, in SUB_BRANCHES order
    norm: np.ndarray  # len(active) x 2: mean and std of log1p(held-out raw score)
    map_scale: float  # deep cell score of a typical good image's worst cell
    train_hashes: np.ndarray  # n x 16 uint8
    train_raw: np.ndarray  # n x len(active): each training image's raw scores while it was held out


@dataclass
class Scored:
    raw: np.ndarray  # N x len(active)
    cell_maps: np.ndarray  # N x G x G, in units of a good image's worst cell


def classic_inputs(classic: Model, works: list[np.ndarray], wanted) -> tuple[np.ndarray | None, np.ndarray | None]:
    """The filter-bank features and the component descriptors of working-size images, each only if `wanted` needs it."""
    feats = batch_features(works) if "patch" in wanted or "global" in wanted else None
    desc = None
    if "logical" in wanted:
        desc = np.stack([components.descriptor(w, classic.palette, classic.novel_d2) for w in works])
    return feats, desc


def classic_raw(classic: Model, feats: np.ndarray | None, desc: np.ndarray | None, wanted) -> dict[str, np.ndarray]:
    """Raw scores of the weight-free sub-branches in `wanted`, from `classic_inputs`."""
    out: dict[str, np.ndarray] = {}
    if feats is not None and ("patch" in wanted or "global" in wanted):
        z = standardise(classic, isotropic(feats) if classic.kind == "knn" else feats).astype(np.float32)
        if "global" in wanted:
            out["global"] = mahalanobis(classic.img_mean, classic.img_prec, image_vector(z))
        if "patch" in wanted:
            if classic.kind == "gauss":
                cell = gauss_cells(classic.loc_mean, classic.loc_prec, z)
            else:
                cell = knn_cells(classic.knn_whiten, classic.bank, classic.bank_r, z)
            out["patch"] = cell.reshape(len(z), -1).max(1)
    if desc is not None and "logical" in wanted:
        out["logical"] = logic_raw(classic.logic_center, classic.logic_scale, classic.logic_tol, desc)
    return out


def score_works(model: HybridModel, works: list[np.ndarray], net) -> Scored:
    """Raw scores of the kept sub-branches and the deep cell maps of working-size images.

    An image the model was trained on gets the scores it had while held out, as in `model.score_works`.
    """
    cell_maps = deep.cells(model.deep, deep.embed(works, net))
    parts = dict(zip(model.deep.sub_branches, deep.raw(model.deep, cell_maps).T, strict=True))
    parts.update(classic_raw(model.classic, *classic_inputs(model.classic, works, model.active), model.active))
    raw = np.stack([parts[b] for b in model.active], axis=1)
    if len(model.train_hashes):
        for i, w in enumerate(works):
            hit = np.flatnonzero((model.train_hashes == image_digest(w)).all(axis=1))
            if hit.size:
                raw[i] = model.train_raw[hit[0]]
    return Scored(raw, cell_maps / model.map_scale)


def normalise(model: HybridModel, raw: np.ndarray) -> np.ndarray:
    """z of each kept sub-branch: the Gumbel-to-normal map of `model.normalise`, per sub-branch."""
    return tails.gumbel_z(np.log1p(np.maximum(raw, 0.0)), model.norm[:, 0], model.norm[:, 1])


def parts(model: HybridModel, z: np.ndarray) -> dict[str, float]:
    """The inspector's branch values: the largest z of the kept sub-branches reporting under each key."""
    out: dict[str, float] = {}
    for name, value in zip(model.active, z, strict=True):
        key = BRANCH_OF[name]
        out[key] = max(out.get(key, -np.inf), float(value))
    return {k: out[k] for k in ("structural", "mahalanobis", "logical") if k in out}


def anomaly_map(cell_map: np.ndarray, height: int, width: int) -> np.ndarray:
    """Deep cell scores spread over the image's own HxW, in units of a good image's worst cell (good ~ <= 1)."""
    return cv2.resize(cell_map.astype(np.float32), (width, height), interpolation=cv2.INTER_LINEAR)
