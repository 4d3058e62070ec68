"""Scoring with a trained model: the three branches, their normalisation and the anomaly map.

Branches (each returns a raw score per image; training fixes how raw scores map to normalised ones):
- structural: per-cell distance of the patch features to what good images show. On aligned products
  (`kind` "gauss") each cell has its own Gaussian (trained on the cell and its 3x3 neighbours, so small
  shifts are absorbed); on products whose parts move (`kind` "knn") each cell is compared with a memory
  bank of good patches, minus the matched bank patch's own distance to its nearest good patches (a local
  density correction: sparse but normal patches are not flagged); there the features are angle-blind
  (`features.isotropic`). The image score is the largest cell.
- mahalanobis: mean and spread of the patch features over the whole image under one Gaussian.
- logical: the component descriptor (see `components`): how far each entry lies outside the range good
  images showed, in units of their spread; the image score is the largest.

Each branch is normalised with the mean and std of log1p of the raw scores of good images held out at
training time (k-fold): t = (log1p(raw) - mean) / std, then z = the normal quantile of t under the
standard Gumbel distribution (`tails`), because the scores are maxima whose right tail a log does not
remove. 0 is about a typical good image and good images come out close to N(0, 1). The map is the same
increasing function of t for every branch, so it changes neither the ranking of images nor which branch
is largest; it only makes mean + 2 std of good scores mean what it says. The combined
score is the largest z, and the branch that gives it names the cause.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass

import cv2
import numpy as np

from . import components, tails
from .features import GRID, batch_features, isotropic

BRANCHES = ("structural", "mahalanobis", "logical")
# Distances to the memory bank are computed for this many query patches at once: bounds the temporary
# matrix (rows x bank size float32) to a few MB.
_KNN_ROWS = 1024


@dataclass(frozen=True)
class Model:
    """Arrays of a trained model; read-only, shared between threads."""

    kind: str  # "gauss" or "knn"
    feat_mean: np.ndarray  # D
    feat_scale: np.ndarray  # D
    loc_mean: np.ndarray | None  # GRID x GRID x D (gauss)
    loc_prec: np.ndarray | None  # GRID x GRID x D x D (gauss)
    knn_whiten: np.ndarray | None  # D x D (knn)
    bank: np.ndarray | None  # M x (D + RING_CLASSES): whitened features and ring code (knn)
    bank_r: np.ndarray | None  # M (knn)
    img_mean: np.ndarray  # E
    img_prec: np.ndarray  # E x E
    palette: np.ndarray  # K x 3
    novel_d2: float
    logic_center: np.ndarray  # F
    logic_scale: np.ndarray  # F
    logic_tol: np.ndarray  # F: deviation from the centre that good images show
    norm: np.ndarray  # 3 x 2: mean and std of log1p(held-out raw score) per branch
    map_scale: float  # raw cell score of a typical good image's worst cell
    train_hashes: np.ndarray  # n x 16 uint8: digests of the training images at working size
    train_raw: np.ndarray  # n x 3: each training image's raw scores while it was held out


def standardise(model: Model, feats: np.ndarray) -> np.ndarray:
    return (feats - model.feat_mean) / model.feat_scale


def image_vector(z: np.ndarray) -> np.ndarray:
    """Whole-image summary of standardised patch features (N x G x G x D -> N x 2D)."""
    flat = z.reshape(z.shape[0], -1, z.shape[-1])
    return np.concatenate([flat.mean(1), flat.std(1)], axis=1)


def gauss_cells(loc_mean: np.ndarray, loc_prec: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Per-cell Mahalanobis distance, N x G x G."""
    d = z - loc_mean[None]
    return np.sqrt(np.maximum(np.einsum("nijd,ijde,nije->nij", d, loc_prec, d, optimize=True), 0.0))


# Filters see a mirrored image beyond the border, so cells on the border (and more so in a corner) have
# statistics of their own; in the memory bank they are matched only with patches of the same ring, which
# the large weight enforces. Without it the border cells of textures were most of the false alarms.
RING_CLASSES = 4
_RING_WEIGHT = 100.0


def _ring_code() -> np.ndarray:
    idx = np.arange(GRID)
    edge = np.minimum(idx, GRID - 1 - idx)
    ey, ex = np.meshgrid(edge, edge, indexing="ij")
    ring = np.where(
        (ey == 0) & (ex == 0), 0, np.where(np.minimum(ey, ex) == 0, 1, np.where(np.minimum(ey, ex) == 1, 2, 3))
    )
    return (np.eye(RING_CLASSES, dtype=np.float32)[ring] * _RING_WEIGHT).reshape(GRID * GRID, RING_CLASSES)


_RING = _ring_code()


def knn_queries(whiten: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Whitened patch features with the ring code appended, (N*G*G) x (D + RING_CLASSES) float32."""
    n = z.shape[0]
    q = (z.reshape(-1, z.shape[-1]) @ whiten).astype(np.float32)
    return np.concatenate([q, np.tile(_RING, (n, 1))], axis=1)


def knn_cells(whiten: np.ndarray, bank: np.ndarray, bank_r: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Distance to the nearest bank patch minus that patch's density radius, clipped at 0; N x G x G."""
    q = knn_queries(whiten, z)
    bb = (bank * bank).sum(1)
    out = np.empty(len(q), np.float32)
    for s in range(0, len(q), _KNN_ROWS):
        qs = q[s : s + _KNN_ROWS]
        d2 = (qs * qs).sum(1)[:, None] - 2.0 * (qs @ bank.T) + bb[None, :]
        j = d2.argmin(1)
        out[s : s + _KNN_ROWS] = np.sqrt(np.maximum(d2[np.arange(len(qs)), j], 0.0)) - bank_r[j]
    return np.maximum(out, 0.0).reshape(z.shape[:-1])


def mahalanobis(mean: np.ndarray, prec: np.ndarray, x: np.ndarray) -> np.ndarray:
    d = x - mean
    return np.sqrt(np.maximum(np.einsum("nd,de,ne->n", d, prec, d), 0.0))


def logic_raw(center: np.ndarray, scale: np.ndarray, tol: np.ndarray, desc: np.ndarray) -> np.ndarray:
    """Largest deviation beyond what good images showed, in units of good spread; 0 inside the envelope."""
    return (np.maximum(np.abs(desc - center) - tol, 0.0) / scale).max(axis=1)


def cells(model: Model, z: np.ndarray) -> np.ndarray:
    if model.kind == "gauss":
        return gauss_cells(model.loc_mean, model.loc_prec, z)
    return knn_cells(model.knn_whiten, model.bank, model.bank_r, z)


@dataclass
class Scored:
    raw: np.ndarray  # N x 3 raw branch scores
    cell_maps: np.ndarray  # N x G x G


def branch_raw(model: Model, z: np.ndarray, desc: np.ndarray) -> Scored:
    """Raw branch scores and cell maps from standardised features and logical descriptors."""
    cm = cells(model, z)
    struct = cm.reshape(len(z), -1).max(1)
    maha = mahalanobis(model.img_mean, model.img_prec, image_vector(z))
    logic = logic_raw(model.logic_center, model.logic_scale, model.logic_tol, desc)
    return Scored(np.stack([struct, maha, logic], axis=1), cm)


def image_digest(work: np.ndarray) -> np.ndarray:
    return np.frombuffer(hashlib.blake2b(work.tobytes(), digest_size=16).digest(), np.uint8)


def score_works(model: Model, works: list[np.ndarray]) -> Scored:
    """Raw branch scores and cell maps of working-size images.

    An image the model was trained on gets the scores it had while held out: a model scores its own
    training images too well, and a threshold calibrated on them would reject unseen good images.
    """
    feats = batch_features(works)
    z = standardise(model, isotropic(feats) if model.kind == "knn" else feats)
    desc = np.stack([components.descriptor(w, model.palette, model.novel_d2) for w in works])
    scored = branch_raw(model, z, desc)
    if len(model.train_hashes):
        for i, w in enumerate(works):
            hit = np.flatnonzero((model.train_hashes == image_digest(w)).all(axis=1))
            if hit.size:
                scored.raw[i] = model.train_raw[hit[0]]
    return scored


def normalise(model: Model, raw: np.ndarray) -> np.ndarray:
    # Every raw score is a maximum or a distance with a long right tail; on the log scale held-out good
    # scores are close to a Gumbel distribution, whose normal quantile keeps the usual meaning of mean +
    # 2 std of good scores. The same map for every branch keeps their order, so the cause named is the same.
    y = np.log1p(np.maximum(raw, 0.0))
    return tails.gumbel_z(y, model.norm[:, 0], model.norm[:, 1])


def combine(z: np.ndarray) -> np.ndarray:
    return z.max(axis=-1)


def anomaly_map(model: Model, cell_map: np.ndarray, height: int, width: int) -> np.ndarray:
    """Cell scores spread over the image's own HxW, in units of a good image's worst cell (good ~ <= 1)."""
    scaled = (cell_map / model.map_scale).astype(np.float32)
    return cv2.resize(scaled, (width, height), interpolation=cv2.INTER_LINEAR)
