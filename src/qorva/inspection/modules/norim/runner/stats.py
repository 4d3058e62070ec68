"""Estimators used by training: Ledoit-Wolf shrinkage, greedy coreset, nearest distances."""

from __future__ import annotations

import numpy as np


def ledoit_wolf(x: np.ndarray) -> np.ndarray:
    """Shrunk covariance of samples along axis -2; batched over leading axes (..., n, p) -> (..., p, p).

    The shrinkage towards a scaled identity is the Ledoit-Wolf estimate, which keeps the covariance well
    conditioned with few samples per dimension (30-40 good images).
    """
    n, p = x.shape[-2], x.shape[-1]
    xc = x - x.mean(axis=-2, keepdims=True)
    s = np.matmul(xc.swapaxes(-1, -2), xc) / n  # BLAS per batch: a tenth of the time of the same einsum
    mu = np.trace(s, axis1=-2, axis2=-1) / p
    s_f2 = (s * s).sum(axis=(-2, -1))
    norms4 = ((xc * xc).sum(-1) ** 2).sum(-1)
    beta = (norms4 / n - s_f2) / (n * p)
    delta = s_f2 / p - mu * mu
    shrink = np.where(delta > 0, np.clip(beta / np.maximum(delta, 1e-30), 0.0, 1.0), 1.0)
    eye = np.eye(p, dtype=x.dtype)
    cov = (1.0 - shrink)[..., None, None] * s + (shrink * mu)[..., None, None] * eye
    # A feature that never varies would make the covariance singular; a tiny ridge keeps it invertible.
    ridge = 1e-6 * np.maximum(mu, 1e-12)
    return cov + ridge[..., None, None] * eye


def precision(cov: np.ndarray) -> np.ndarray:
    return np.linalg.inv(cov)


def whitener(cov: np.ndarray) -> np.ndarray:
    """W with (x W)(x W)^T = x cov^-1 x^T."""
    return np.linalg.cholesky(np.linalg.inv(cov))


def sq_dists(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    d2 = (a * a).sum(1)[:, None] - 2.0 * (a @ b.T) + (b * b).sum(1)[None, :]
    return np.maximum(d2, 0.0)


def coreset(x: np.ndarray, m: int, rng: np.random.Generator) -> np.ndarray:
    """Indices of `m` rows of `x` chosen by greedy k-centre: every row lies close to one of them."""
    if m >= len(x):
        return np.arange(len(x))
    chosen = np.empty(m, np.int64)
    chosen[0] = rng.integers(len(x))
    xx = (x * x).sum(1)
    best = np.full(len(x), np.inf, np.float32)
    for i in range(m):
        c = x[chosen[i]]
        d = xx - 2.0 * (x @ c) + float(c @ c)
        np.minimum(best, d, out=best)
        if i + 1 < m:
            chosen[i + 1] = int(best.argmax())
    return chosen


def kth_nearest(bank: np.ndarray, x: np.ndarray, k: float, rows: int = 512) -> np.ndarray:
    """Distance from each bank row to its k-th nearest row of `x`, not counting an exact copy of itself.

    A fractional `k` interpolates between the neighbours on either side, so the radius can be matched to
    the number of images `x` comes from.
    """
    lo = max(int(np.floor(k)), 1)
    hi = min(lo + 1, len(x) - 1)
    w = min(max(k - lo, 0.0), 1.0)
    out = np.empty(len(bank), np.float32)
    for s in range(0, len(bank), rows):
        d2 = sq_dists(bank[s : s + rows], x)
        part = np.partition(d2, hi, axis=1)[:, : hi + 1]
        part.sort(axis=1)
        out[s : s + rows] = (1.0 - w) * np.sqrt(part[:, lo]) + w * np.sqrt(part[:, hi])
    return out
