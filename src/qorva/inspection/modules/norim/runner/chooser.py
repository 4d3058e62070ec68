"""Which sub-branches a product keeps: the combination that best tells held-out good images from painted ones.

Every candidate sub-branch has been scored, by fold models, on the held-out good training images and on copies
of them with painted defects (`painter`). Each combination is scored as its model would be: each kept
sub-branch normalised on the held-out good scores, the largest z taken. Its merit is the mean, over the painted
kinds, of the AUROC between good and painted images. The deep model of the best kind is always kept; a
weight-free sub-branch is added only when it raises the merit by more than `_EXTRA_COST`, because each one also
adds its own noise on good images of material the training never showed (on real texture photographs the
weight-free branches read z 2 to 5 on new good material while the deep one read 0 to 1).
"""

from __future__ import annotations

from dataclasses import dataclass
from itertools import combinations

import numpy as np

from . import tails

EXTRAS = ("patch", "global", "logical")
_EXTRA_COST = 0.01
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
) -> Choice:
    """The best combination. `good[kind][sub]` and `painted[kind][sub]` hold raw held-out scores; the weight-free
    sub-branches are under every kind; `kinds` names the painted defect of each painted image."""
    table: dict[str, float] = {}
    best: tuple[float, str, tuple[str, ...], float] | None = None
    for kind, subs in deep_subs.items():
        for n_extra in range(len(EXTRAS) + 1):
            for extra in combinations(EXTRAS, n_extra):
                active = (*subs, *extra)
                merit = _merit(good[kind], painted[kind], kinds, active)
                table["+".join((kind, *extra))] = round(merit, 4)
                value = merit - _EXTRA_COST * n_extra
                if best is None or value > best[0]:
                    best = (value, kind, active, merit)
    assert best is not None
    return Choice(best[1], best[2], best[3], table)


def _merit(good: dict[str, np.ndarray], painted: dict[str, np.ndarray], kinds: np.ndarray, active) -> float:
    z_good, z_painted = [], []
    for name in active:
        mean, std = norm(name, good[name])
        z_good.append(tails.gumbel_z(np.log1p(np.maximum(good[name], 0.0)), mean, std))
        z_painted.append(tails.gumbel_z(np.log1p(np.maximum(painted[name], 0.0)), mean, std))
    g, p = np.max(z_good, axis=0), np.max(z_painted, axis=0)
    return float(np.mean([auroc(g, p[kinds == k]) for k in np.unique(kinds)]))
