"""Which branches a product keeps: the combination that best tells held-out good images from painted ones.

Every candidate score has been computed, by fold models, on the held-out good training images and on copies of
them with painted defects (`painter`). Each combination is scored as its model would be: each kept score
normalised on the held-out good scores, the largest z taken. Its merit is the mean, over the painted kinds, of
the AUROC between good and painted images. The deep branch is always kept; weight-free branches join only when
they remove a large share of what it misses (`_MIN_GAIN`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .. import normalise

# The weight-free branches that may join the deep one.
EXTRAS = ("patch", "global", "logical")
# An extra branch must remove at least this share of what is still missed on painted defects: the painted defects
# lie on held-out training material, and each weight-free branch also reads new good material (another stretch of
# the same texture) as unusual (z 2 to 5 on real texture photographs, where the deep branch read 0 to 1), which
# painted defects on training material cannot show. On the real-photo bench a 1% margin kept the weight-free
# branches on every texture and lost 0.05-0.2 image AUROC there; halving the miss keeps them where they see what
# the deep branch cannot (the demo's random-phase texture: 0.68 -> 0.91; parts in a tray: 0.70 -> 0.99).
_MIN_GAIN = 0.5


def auroc(neg: np.ndarray, pos: np.ndarray) -> float:
    """Probability that a positive scores above a negative, ties counting half."""
    neg = np.sort(neg)
    below = np.searchsorted(neg, pos, side="left")
    equal = np.searchsorted(neg, pos, side="right") - below
    return float((below + 0.5 * equal).mean() / len(neg))


@dataclass(frozen=True)
class Choice:
    active: tuple[str, ...]  # the scores kept
    merit: float
    table: dict[str, float]  # merit of every combination tried, by its name


def choose(
    good: dict[str, np.ndarray],
    painted: dict[str, np.ndarray],
    kinds: np.ndarray,
    deep: tuple[str, tuple[str, ...]],
    extras: tuple[str, ...] = EXTRAS,
) -> Choice:
    """The best combination. `good[score]` and `painted[score]` hold raw held-out scores; `kinds` names the painted
    defect of each painted image; `deep` is the deep branch's kind and its scores; only `extras` may join them.

    The deep scores come first; then, one at a time, the weight-free branch that raises the merit most joins, if it
    removes at least `_MIN_GAIN` of what the combination so far still misses.
    """
    kind, deep_scores = deep
    table: dict[str, float] = {}

    def merit(active: tuple[str, ...]) -> float:
        value = _merit(good, painted, kinds, active)
        table["+".join((kind, *(b for b in EXTRAS if b in active)))] = round(value, 4)
        return value

    active, best = deep_scores, merit(deep_scores)
    while True:
        options = [(merit((*active, e)), e) for e in extras if e not in active]
        if not options:
            break
        value, extra = max(options)
        if value <= best or (1.0 - value) > (1.0 - _MIN_GAIN) * (1.0 - best):
            break
        active, best = tuple(b for b in (*deep_scores, *EXTRAS) if b in (*active, extra)), value
    return Choice(active, best, table)


def _merit(good: dict[str, np.ndarray], painted: dict[str, np.ndarray], kinds: np.ndarray, active) -> float:
    z_good, z_painted = [], []
    for name in active:
        norm = normalise.heldout_stats(name, good[name])[None]
        z_good.append(normalise.z_scores(good[name][:, None], norm)[:, 0])
        z_painted.append(normalise.z_scores(painted[name][:, None], norm)[:, 0])
    g, p = np.max(z_good, axis=0), np.max(z_painted, axis=0)
    return float(np.mean([auroc(g, p[kinds == k]) for k in np.unique(kinds)]))
