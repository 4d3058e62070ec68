"""Which sub-branches a product keeps: the combination that best tells held-out good images from painted ones.

Every candidate sub-branch has been scored, by fold models, on the held-out good training images and on copies
of them with painted defects (`painter`). Each combination is scored as its model would be: each kept
sub-branch normalised on the held-out good scores, the largest z taken. Its merit is the mean, over the painted
kinds, of the AUROC between good and painted images. The deep model of the best kind is always kept; weight-free
sub-branches join only when they remove a large share of what it misses (`_MIN_GAIN`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import tails

EXTRAS = ("patch", "global", "logical")
# An extra branch must remove at least this share of what is still missed on painted defects: the painted defects
# lie on held-out training material, and each weight-free branch also reads new good material (another stretch of
# the same texture) as unusual (z 2 to 5 on real texture photographs, where the deep branch read 0 to 1), which
# painted defects on training material cannot show. On the real-photo bench a 1% margin kept the weight-free
# branches on every texture and lost 0.05-0.2 image AUROC there; halving the miss keeps them where they see what
# the deep branch cannot (the demo's random-phase texture: 0.68 -> 0.91; parts in a tray: 0.70 -> 0.99).
_MIN_GAIN = 0.5
# The logical branch's raw score is in units of good spread already: a held-out spread below ~0.3 of those units
# (0.25 after log1p) only means the good images happened to agree (as in `training._NORM_FLOOR`).
_FLOOR = {"logical": 0.25}


def norm(name: str, raw: np.ndarray) -> np.ndarray:
    """Mean and std of log1p(raw) for one sub-branch; the std floored so a branch that never varies can't explode."""
    x = np.log1p(np.maximum(raw, 0.0))
    mean, std = float(x.mean()), float(x.std())
    return np.array([mean, max(std, 0.05 * abs(mean), _FLOOR.get(name, 1e-3))])


def auroc(neg: np.ndarray, pos: np.ndarray) -> float:
    """Probability that a positive scores above a negative, ties counting half."""
    neg = np.sort(neg)
    below = np.searchsorted(neg, pos, side="left")
    equal = np.searchsorted(neg, pos, side="right") - below
    return float((below + 0.5 * equal).mean() / len(neg))


@dataclass(frozen=True)
class Choice:
    kind: str  # the deep model's kind
    active: tuple[str, ...]
    merit: float
    table: dict[str, float]  # merit of every combination tried, by its name


def choose(
    good: dict[str, dict[str, np.ndarray]],
    painted: dict[str, dict[str, np.ndarray]],
    kinds: np.ndarray,
    deep_subs: dict[str, tuple[str, ...]],
    extras: tuple[str, ...] = EXTRAS,
) -> Choice:
    """The best combination. `good[kind][sub]` and `painted[kind][sub]` hold raw held-out scores; the weight-free
    sub-branches are under every kind; `kinds` names the painted defect of each painted image; only `extras` may
    join the deep branch.

    The deep model of the best kind comes first; then, one at a time, the weight-free sub-branch that raises the
    merit most joins, if it removes at least `_MIN_GAIN` of what the combination so far still misses.
    """
    table: dict[str, float] = {}

    def merit(kind: str, active: tuple[str, ...]) -> float:
        value = _merit(good[kind], painted[kind], kinds, active)
        table["+".join((kind, *(b for b in EXTRAS if b in active)))] = round(value, 4)
        return value

    kind = max(deep_subs, key=lambda k: merit(k, deep_subs[k]))
    active, best = deep_subs[kind], table[kind]
    while True:
        options = [(merit(kind, (*active, e)), e) for e in extras if e not in active]
        if not options:
            break
        value, extra = max(options)
        if value <= best or (1.0 - value) > (1.0 - _MIN_GAIN) * (1.0 - best):
            break
        active, best = tuple(b for b in (*deep_subs[kind], *EXTRAS) if b in (*active, extra)), value
    return Choice(kind, active, best, table)


def _merit(good: dict[str, np.ndarray], painted: dict[str, np.ndarray], kinds: np.ndarray, active) -> float:
    z_good, z_painted = [], []
    for name in active:
        mean, std = norm(name, good[name])
        z_good.append(tails.gumbel_z(np.log1p(np.maximum(good[name], 0.0)), mean, std))
        z_painted.append(tails.gumbel_z(np.log1p(np.maximum(painted[name], 0.0)), mean, std))
    g, p = np.max(z_good, axis=0), np.max(z_painted, axis=0)
    return float(np.mean([auroc(g, p[kinds == k]) for k in np.unique(kinds)]))
