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
from .painter import PART_KINDS

# The weight-free branches that may join the deep one.
EXTRAS = ("patch", "global", "logical", "objects")
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


@dataclass(frozen=True)
class _Held:
    """The held-out scores validation judges combinations on."""

    good: dict[str, np.ndarray]  # raw scores of the held-out good images
    painted: dict[str, np.ndarray]  # of their painted copies
    kinds: np.ndarray  # the defect painted on each
    changed: dict[str, np.ndarray] | None  # of their changed copies (a production day's nuisances)

    def z(self, name: str) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """z of the good, painted and changed images under the score's normalisation (`normalise.stats_of`)."""
        changed = None if self.changed is None else self.changed[name]
        norm = normalise.stats_of(name, self.good[name], changed)[None]
        z = [normalise.z_scores(v[:, None], norm)[:, 0] for v in (self.good[name], self.painted[name])]
        return z[0], z[1], None if changed is None else normalise.z_scores(changed[:, None], norm)[:, 0]

    def per_kind(self, active) -> dict[str, float]:
        """AUROC of good against painted images of each kind, the combination scoring as its model would."""
        zs = [self.z(name) for name in active]
        g, p = np.max([z[0] for z in zs], axis=0), np.max([z[1] for z in zs], axis=0)
        return {str(k): auroc(g, p[self.kinds == k]) for k in np.unique(self.kinds)}

    def false_alarms(self, active) -> float:
        """Share of the changed copies above the combination's cut of its good images (mean + 2 std, as teach)."""
        if self.changed is None:
            return 0.0
        zs = [self.z(name) for name in active]
        g, c = np.max([z[0] for z in zs], axis=0), np.max([z[2] for z in zs], axis=0)
        return float((c > g.mean() + 2.0 * g.std()).mean()) if len(c) else 0.0


# A branch that catches a composition fault the others miss is kept: when adding it raises the AUROC of one of
# the painted composition kinds by this much and costs no merit over all kinds (the weight-free logical branch
# sees a missing or swapped part that no cell shows).
_PART_GAIN = 0.1
# A weight-free branch never joins when it makes the changed copies of good images (JPEG, noise, light, a pixel or
# two of play) alarm more than this share more often than the combination without it: that branch would reject
# good parts on an ordinary production day.
_MAX_NEW_ALARMS = 0.05


def choose(
    good: dict[str, np.ndarray],
    painted: dict[str, np.ndarray],
    kinds: np.ndarray,
    deep: tuple[str, tuple[str, ...]],
    extras: tuple[str, ...] = EXTRAS,
    changed: dict[str, np.ndarray] | None = None,
) -> Choice:
    """The best combination. `good[score]`, `painted[score]` and `changed[score]` hold raw held-out scores (of good
    images, of painted copies, of changed copies); `kinds` names the painted defect of each painted image; `deep`
    is the deep branch's kind and its scores; only `extras` may join them.

    The deep scores come first; then, one at a time, the weight-free branch that raises the merit most joins, if it
    removes at least `_MIN_GAIN` of what the combination so far still misses; then a branch that catches a
    composition fault the others miss (`_PART_GAIN`). None joins that makes changed good images alarm more often
    (`_MAX_NEW_ALARMS`).
    """
    kind, deep_scores = deep
    held = _Held(good, painted, kinds, changed)
    table: dict[str, float] = {}

    def merit(active: tuple[str, ...]) -> float:
        value = float(np.mean(list(held.per_kind(active).values())))
        table["+".join((kind, *(b for b in EXTRAS if b in active)))] = round(value, 4)
        return value

    def with_(active: tuple[str, ...], extra: str) -> tuple[str, ...]:
        return tuple(b for b in (*deep_scores, *EXTRAS) if b in (*active, extra))

    def calm(active: tuple[str, ...], extra: str) -> bool:
        return held.false_alarms(with_(active, extra)) <= held.false_alarms(active) + _MAX_NEW_ALARMS

    active, best = deep_scores, merit(deep_scores)
    while True:
        options = [(merit(with_(active, e)), e) for e in extras if e not in active and calm(active, e)]
        if not options:
            break
        value, extra = max(options)
        if value <= best or (1.0 - value) > (1.0 - _MIN_GAIN) * (1.0 - best):
            break
        active, best = with_(active, extra), value
    parts = [k for k in PART_KINDS if k in kinds]
    for extra in (e for e in extras if e not in active and parts and calm(active, e)):
        before, after = held.per_kind(active), held.per_kind(with_(active, extra))
        value = merit(with_(active, extra))
        if value >= best and max(after[k] - before[k] for k in parts) >= _PART_GAIN:
            active, best = with_(active, extra), value
    return Choice(active, best, table)
