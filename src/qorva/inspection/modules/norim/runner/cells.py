"""What a good cell looks like, the two ways the model knows it: per-cell Gaussians and a memory bank.

Both work on features on the cell grid (N x GRID x GRID x D) and give each cell of an image a distance to what
good images showed there:
- a per-cell Gaussian, fitted on the cell and its 3x3 neighbours in every training image (parts on a fixture:
  a cell is compared with what that place showed, shifts of a few pixels absorbed); the distance is Mahalanobis;
- a memory bank of training patches picked to cover them all (greedy k-centre); the distance is to the nearest
  one (textures and parts that move: a cell is compared with everything good, wherever it was).
Which one a product gets follows from how much of the features' variance the cell position explains.
"""

from __future__ import annotations

import numpy as np

from . import stats
from .inputs.working import GRID

# Distances to a memory bank are computed for this many query patches at once: bounds the temporary matrix
# (rows x bank size float32) to a few MB.
_BANK_ROWS = 1024


def position_share(z: np.ndarray) -> float:
    """Share of the (standardised) feature variance explained by the cell position, averaged over features."""
    total = z.reshape(-1, z.shape[-1]).var(0)
    by_cell = z.mean(0).reshape(-1, z.shape[-1]).var(0)
    return float(np.mean(by_cell / np.maximum(total, 1e-12)))


def standardised(feats: np.ndarray) -> np.ndarray:
    """The features standardised over all their cells (what `position_share` compares)."""
    flat = feats.reshape(-1, feats.shape[-1])
    mean, scale = flat.mean(0).astype(np.float32), (flat.std(0) + 1e-6).astype(np.float32)
    return ((feats - mean) / scale).astype(np.float32)


def fit_gauss(z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-cell mean and precision (float32) from every training image's cell and its 3x3 neighbours (edges
    clamped), with Ledoit-Wolf shrinkage."""
    pad = np.pad(z, ((0, 0), (1, 1), (1, 1), (0, 0)), mode="edge")
    d = z.shape[-1]
    loc_mean = np.empty((GRID, GRID, d), np.float32)
    loc_prec = np.empty((GRID, GRID, d, d), np.float32)
    # Row by row: all 1,024 positions' samples at once would take 9 x n x 1024 x 64 floats (190 MB for 40 images).
    for r in range(GRID):
        rows = [pad[:, r + dy, 1 + dx : 1 + dx + GRID] for dy in (0, 1, 2) for dx in (-1, 0, 1)]
        samples = np.concatenate(rows, axis=0).transpose(1, 0, 2).astype(np.float64)  # GRID x 9n x D
        loc_mean[r] = samples.mean(1)
        loc_prec[r] = stats.precision(stats.ledoit_wolf(samples))
    return loc_mean, loc_prec


def gauss_distance(loc_mean: np.ndarray, loc_prec: np.ndarray, z: np.ndarray) -> np.ndarray:
    """N x GRID x GRID Mahalanobis distance of each cell to its position's Gaussian."""
    d = z - loc_mean[None]
    return np.sqrt(np.maximum(np.einsum("nijd,ijde,nije->nij", d, loc_prec, d, optimize=True), 0.0))


def fit_bank(q: np.ndarray, size: int, rng: np.random.Generator) -> np.ndarray:
    """`size` rows of the patches `q` (M x D) chosen to cover them all (greedy k-centre), contiguous."""
    return np.ascontiguousarray(q[stats.coreset(q, size, rng)])


def nearest(bank: np.ndarray, q: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Squared distance from each row of `q` to its nearest bank row (float32, clipped at 0) and that row's index."""
    # |q - b|^2 = |q|^2 - 2 q.b + |b|^2: the nearest b does not depend on |q|^2, which is added after the minimum,
    # and the product is turned into distances in place (three passes over 1024 x 2048 instead of five).
    half_bb = 0.5 * (bank * bank).sum(1)
    d2 = np.empty(len(q), np.float32)
    idx = np.empty(len(q), np.int64)
    for s in range(0, len(q), _BANK_ROWS):
        qs = q[s : s + _BANK_ROWS]
        qb = qs @ bank.T
        np.subtract(half_bb[None, :], qb, out=qb)
        j = qb.argmin(1)
        idx[s : s + _BANK_ROWS] = j
        d2[s : s + _BANK_ROWS] = 2.0 * qb[np.arange(len(qs)), j] + (qs * qs).sum(1)
    return np.maximum(d2, 0.0), idx
