"""How a raw branch score becomes a z-score: statistics of held-out good images, then a Gumbel-to-normal map.

Each score is normalised with the mean and std of log1p of the raw scores of good images held out at training
time (k-fold, `training`): they are the scores of images its model did not see, as tomorrow's images will be.
The inspector's threshold is mean + 2 std of good scores, which means what it says only when good scores
are close to normal. Every branch score is a maximum (of a thousand cell distances, of descriptor
deviations) or a distance; on the log scale they still have the right tail of a maximum (Gumbel), which
put 5-5.5% of unseen good images above the threshold instead of about 3%. Each score is therefore mapped
through the Gumbel distribution fitted to its held-out good scores (by their mean and std) and then
through the inverse normal distribution, so good images come out close to N(0, 1).

Everything is computed from log-probabilities, so scores far out in the tail stay finite and ordered
(a z of 40 is a tail probability of 1e-350). NumPy has no inverse normal function: the rational
approximation below (relative error about 1e-9) is evaluated from log p in the tails.
"""

from __future__ import annotations

import numpy as np

_EULER = 0.5772156649015329
_A = (-3.969683028665376e01, 2.209460984245205e02, -2.759285104469687e02, 1.383577518672690e02,
      -3.066479806614716e01, 2.506628277459239e00)  # fmt: skip
_B = (-5.447609879822406e01, 1.615858368580409e02, -1.556989798598866e02, 6.680131188771972e01,
      -1.328068155288572e01, 1.0)  # fmt: skip
_C = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e00, -2.549732539343734e00,
      4.374664141464968e00, 2.938163982698783e00)  # fmt: skip
_D = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e00, 3.754408661907416e00, 1.0)
_LOG_PLOW = float(np.log(0.02425))


def _lower_tail(log_p: np.ndarray) -> np.ndarray:
    q = np.sqrt(-2.0 * log_p)
    return np.polyval(_C, q) / np.polyval(_D, q)


def normal_quantile(log_p: np.ndarray, log_q: np.ndarray) -> np.ndarray:
    """Inverse normal CDF at p, given log p and log(1 - p) (both, so neither tail loses precision)."""
    p = np.exp(log_p)
    r = (p - 0.5) ** 2
    central = (p - 0.5) * np.polyval(_A, r) / np.polyval(_B, r)
    low = _lower_tail(np.minimum(log_p, _LOG_PLOW))
    high = -_lower_tail(np.minimum(log_q, _LOG_PLOW))
    return np.where(log_p < _LOG_PLOW, low, np.where(log_q < _LOG_PLOW, high, central))


def gumbel_z(y: np.ndarray, mean: np.ndarray, std: np.ndarray) -> np.ndarray:
    """z of `y` under the Gumbel distribution with this mean and std, as a normal quantile.

    Below the mean the plain (y - mean) / std takes over where it is larger: the Gumbel lower tail is so
    thin that a good image scoring a little low would get a z of -10 and widen the spread of good scores.
    """
    beta = std * (np.sqrt(6.0) / np.pi)
    t = (y - (mean - _EULER * beta)) / beta
    # F = exp(-exp(-t)); far below the mode exp(-t) overflows, far above 1 - F is exp(-t) to the last bit.
    u = np.exp(-np.clip(t, -30.0, 700.0))
    log_p = -u
    log_q = np.where(t > 30.0, -t, np.log(-np.expm1(-np.minimum(u, 700.0)) + 1e-300))
    z = normal_quantile(log_p, log_q)
    plain = (y - mean) / std
    return np.where(y < mean, np.maximum(z, plain), z)


# Smallest held-out spread (of log1p raw) per score. The logical raw score is already in units of good spread
# (a robust z); a held-out spread below ~0.3 of those units (0.25 after log1p) only means the good images happened
# to agree, not that any change is a defect.
_FLOOR = {"logical": 0.25, "objects": 0.25}
_DEFAULT_FLOOR = 1e-3
# ... and at least this share of the mean log1p: the worst cell of an image (a maximum) varies by 5% or more
# between good images; an image-wide level, an average of a thousand cells, varies by about 1% (its held-out
# images and their changed copies spread 29-33 around 30 on a texture, where a lens far out of focus reads 36).
_SHARE = 0.05
_LEVEL_SHARE = 0.01


def heldout_stats(name: str, raw: np.ndarray) -> np.ndarray:
    """Mean and std of log1p(raw) of one score's held-out good images; the std floored so a score that never
    varies cannot divide by ~0 and explode on noise."""
    x = np.log1p(np.maximum(raw, 0.0))
    mean, std = float(x.mean()), float(x.std())
    share = _LEVEL_SHARE if name in LEVEL_SCORES else _SHARE
    return np.array([mean, max(std, share * abs(mean), _FLOOR.get(name, _DEFAULT_FLOOR))])


# Scores of the whole image (its level, its statistics, its parts): each is normalised on the held-out good images
# and their changed copies together (`training.nuisances`). What a production day does to the whole frame (sensor
# noise, a JPEG setting) moves such a score for every image alike, as no defect in one place does; a cell score
# keeps the held-out good images alone, or a local defect would hide behind the changes.
LEVEL_SCORES = ("deep_level", "global", "logical", "objects")


def stats_of(name: str, good: np.ndarray, changed: np.ndarray | None) -> np.ndarray:
    """`heldout_stats` of a score from its held-out good images and, for `LEVEL_SCORES`, their changed copies."""
    both = name in LEVEL_SCORES and changed is not None and len(changed)
    return heldout_stats(name, np.concatenate([good, changed]) if both else good)


def z_scores(raw: np.ndarray, norm: np.ndarray) -> np.ndarray:
    """z of raw scores (N x S) under their held-out statistics `norm` (S x 2)."""
    # Every raw score is a maximum or a distance with a long right tail; on the log scale held-out good scores
    # are close to a Gumbel distribution, whose normal quantile keeps the usual meaning of mean + 2 std of good
    # scores. The same map for every score keeps their order, so the cause named is the same.
    return gumbel_z(np.log1p(np.maximum(raw, 0.0)), norm[:, 0], norm[:, 1])
