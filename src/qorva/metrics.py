"""How a model is judged against known good and bad images: one statement of every figure.

`qorva evaluate`, `qorva teach` and the quality bench (bench/bench_quality.py) all take their figures from
here, so the same images give the same numbers everywhere. Scores are anomaly scores: an image is NG when its
score is strictly above the threshold.
"""

from __future__ import annotations

import math
import statistics
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

# Maps are compared with masks on every 4th pixel each way: 4,096 values per 256x256 image keep the pixel AUROC of
# a few hundred images to a few million values with no visible change in the figure.
PIXEL_STEP = 4
# The 95% interval of a rate measured on n samples (Wilson's score interval).
_Z95 = 1.959964


def auroc(neg: Sequence[float] | np.ndarray, pos: Sequence[float] | np.ndarray) -> float:
    """Probability that a random positive scores above a random negative (ties count half); NaN without both."""
    neg = np.asarray(neg, np.float64).ravel()
    pos = np.asarray(pos, np.float64).ravel()
    if not len(neg) or not len(pos):
        return math.nan
    allv = np.concatenate([neg, pos])
    order = allv.argsort(kind="mergesort")
    ranks = np.empty(len(allv))
    _, first, counts = np.unique(allv[order], return_index=True, return_counts=True)
    ranks[order] = np.repeat(first + (counts - 1) / 2.0 + 1.0, counts)  # average ranks over ties
    r_pos = ranks[len(neg) :].sum()
    return float((r_pos - len(pos) * (len(pos) + 1) / 2.0) / (len(pos) * len(neg)))


def pixel_auroc(
    good_maps: Sequence[np.ndarray], maps: Sequence[np.ndarray], masks: Sequence[np.ndarray], step: int = PIXEL_STEP
) -> float:
    """AUROC of map values inside the masks against those outside them and on good images (every `step`-th pixel
    each way; 1 for maps and masks already taken that way); NaN when either side is empty."""
    s = slice(None, None, step)
    pos = [a[s, s][m[s, s] > 0] for a, m in zip(maps, masks, strict=True)]
    neg = [a[s, s][m[s, s] == 0] for a, m in zip(maps, masks, strict=True)] + [a[s, s].ravel() for a in good_maps]
    pos_v = np.concatenate(pos) if pos else np.empty(0)
    neg_v = np.concatenate(neg) if neg else np.empty(0)
    return auroc(neg_v, pos_v)


def above(scores: Sequence[float] | np.ndarray, threshold: float) -> float:
    """Share of the scores strictly above the threshold (NG): false positives of good, recall of bad; NaN for none."""
    values = np.asarray(scores, np.float64)
    return float((values > threshold).mean()) if values.size else math.nan


def wilson(k: int, n: int) -> tuple[float, float]:
    """The 95% interval of a rate seen k times in n (Wilson's score interval); (0, 1) for no samples."""
    if n <= 0:
        return 0.0, 1.0
    p, z2 = k / n, _Z95 * _Z95
    centre = (p + z2 / (2 * n)) / (1 + z2 / n)
    half = _Z95 * math.sqrt(p * (1 - p) / n + z2 / (4 * n * n)) / (1 + z2 / n)
    return max(0.0, centre - half), min(1.0, centre + half)


@dataclass(frozen=True)
class Cut:
    """A threshold and what it does on the images it was chosen on."""

    threshold: float
    fp_rate: float  # good images above it
    recall: float  # bad images above it (NaN without bad images)
    method: str  # how it was chosen: "empirical", "normal", "f1", "balanced"
    n_good: int
    fp_interval: tuple[float, float]  # 95% interval of the false-positive rate on the line
    f1: float = math.nan


def _cut(threshold: float, good: np.ndarray, bad: np.ndarray, method: str) -> Cut:
    k = int((good > threshold).sum())
    tp = int((bad > threshold).sum())
    fn = len(bad) - tp
    f1 = 2 * tp / (2 * tp + k + fn) if (2 * tp + k + fn) else math.nan
    return Cut(float(threshold), k / len(good) if len(good) else math.nan, above(bad, threshold), method,
               len(good), wilson(k, len(good)), f1)


def for_fp_rate(good: Sequence[float], rate: float, bad: Sequence[float] = ()) -> Cut:
    """The lowest threshold that leaves at most `rate` of the good scores above it.

    With fewer than 1/rate good scores the rate cannot be seen among them: the threshold then comes from a normal
    fit (mean + z(1 - rate) x standard deviation), method "normal"; the interval states what the samples support.
    """
    g = np.sort(np.asarray(good, np.float64))[::-1]
    b = np.asarray(bad, np.float64)
    if not g.size or not 0 < rate < 1:
        msg = f"a target false-positive rate needs good scores and a rate between 0 and 1, got {g.size} and {rate}"
        raise ValueError(msg)
    allowed = math.floor(rate * g.size + 1e-9)
    if allowed >= 1:
        return _cut(g[min(allowed, g.size - 1)], g, b, "empirical")
    std = float(g.std()) if float(g.std()) > 1e-9 else 1.0
    return _cut(float(g.mean()) + statistics.NormalDist().inv_cdf(1 - rate) * std, g, b, "normal")


def _cuts(good: np.ndarray, bad: np.ndarray) -> np.ndarray:
    """Candidate thresholds, ascending: midway between consecutive distinct scores, and beyond both ends."""
    values = np.unique(np.concatenate([good, bad]))
    return np.concatenate([[values[0] - 1.0], (values[:-1] + values[1:]) / 2, [values[-1] + 1.0]])


def _over(scores: np.ndarray, cuts: np.ndarray) -> np.ndarray:
    """How many of the scores are strictly above each cut."""
    return scores.size - np.searchsorted(np.sort(scores), cuts, side="right")


def best_f1(good: Sequence[float], bad: Sequence[float]) -> Cut:
    """The threshold with the best F1 score of finding the bad images (the lowest of equal ones)."""
    g, b = np.asarray(good, np.float64), np.asarray(bad, np.float64)
    if not g.size or not b.size:
        msg = "the F1-best threshold needs good and bad scores"
        raise ValueError(msg)
    cuts = _cuts(g, b)
    tp, fp = _over(b, cuts), _over(g, cuts)
    f1 = 2 * tp / np.maximum(2 * tp + fp + (b.size - tp), 1)
    return _cut(float(cuts[int(np.argmax(f1))]), g, b, "f1")


def balanced(good: Sequence[float], bad: Sequence[float]) -> Cut:
    """The threshold between the good and bad scores: the best recall minus false-positive rate, in the middle of
    the widest gap among equal ones (midway between the highest good and the lowest bad score when they part)."""
    g, b = np.asarray(good, np.float64), np.asarray(bad, np.float64)
    if not g.size or not b.size:
        msg = "a threshold between good and bad needs scores of both"
        raise ValueError(msg)
    values = np.unique(np.concatenate([g, b]))
    cuts = _cuts(g, b)
    j = _over(b, cuts) / b.size - _over(g, cuts) / g.size
    best = np.flatnonzero(np.isclose(j, j.max()))
    edges = np.concatenate([[values[0] - 2.0], values, [values[-1] + 2.0]])
    gaps = edges[best + 1] - edges[best]
    return _cut(float(cuts[best[int(np.argmax(gaps))]]), g, b, "balanced")


def roc(neg: Sequence[float], pos: Sequence[float]) -> tuple[np.ndarray, np.ndarray]:
    """The ROC curve: false-positive and true-positive rates for every threshold, from (0, 0) to (1, 1)."""
    n, p = np.asarray(neg, np.float64), np.asarray(pos, np.float64)
    cuts = np.concatenate([[np.inf], np.unique(np.concatenate([n, p]))[::-1], [-np.inf]])
    fpr = _over(n, cuts) / max(n.size, 1)
    tpr = _over(p, cuts) / max(p.size, 1)
    return fpr, tpr
