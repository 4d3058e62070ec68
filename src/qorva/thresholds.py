"""How teach sets a product's threshold: a sigma, a value, a target false-positive rate, or between good and bad.

The inspector sets every threshold as the mean good score plus sigma standard deviations, and its taught state
keeps exactly that. The other ways are turned into the sigma that gives their threshold, so the state stays as the
inspector writes it (every figure in it consistent with the threshold) while the record beside it keeps how the
threshold was chosen and what the samples support.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from qorva import metrics


@dataclass(frozen=True)
class Choice:
    """The sigma teach passes to the inspector and the record of how its threshold was chosen."""

    sigma: float
    record: dict[str, Any]  # kept beside the taught state under "threshold": `source` and what backs it
    notes: list[str] = field(default_factory=list)  # what teach prints about it

    @property
    def source(self) -> str:
        return str(self.record["source"])


def by_sigma(sigma: float) -> Choice:
    return Choice(float(sigma), {"source": f"sigma {sigma:g}", "method": "sigma", "sigma": float(sigma)})


def spread(scores: Sequence[float]) -> tuple[float, float]:
    """Mean and standard deviation as the inspector takes them (population deviation, 1 when there is none)."""
    scores = np.asarray(scores, np.float64)
    std = float(scores.std())
    return float(scores.mean()), std if std > 1e-9 else 1.0


def _fp_note(cut: metrics.Cut) -> str:
    lo, hi = cut.fp_interval
    k = round(cut.fp_rate * cut.n_good)
    return (f"on these {cut.n_good} good samples {k} would be NG ({cut.fp_rate:.1%}); on the line expect "
            f"{lo:.1%} to {hi:.1%} (95% interval for {cut.n_good} samples)")


def manual(good: Sequence[float], threshold: float) -> Choice:
    g = np.asarray(good, np.float64)
    mean, std = spread(g)
    k = int((g > threshold).sum())
    cut = metrics.Cut(threshold, k / g.size, math.nan, "manual", g.size, metrics.wilson(k, g.size))
    return Choice((threshold - mean) / std, {"source": "manual", "method": "manual", "value": threshold,
                                              "fp_interval": list(cut.fp_interval)}, [_fp_note(cut)])


def target_fp(good: Sequence[float], rate: float) -> Choice:
    g = np.asarray(good, np.float64)
    mean, std = spread(g)
    cut = metrics.for_fp_rate(g, rate)
    notes = [_fp_note(cut)]
    if cut.method == "normal":
        need = math.ceil(1 / rate)
        notes.insert(0, f"{g.size} good samples cannot show a rate of {rate:.2%} (that needs {need} or more): the "
                        f"threshold comes from a normal fit of their scores, mean + {(cut.threshold - mean) / std:.2f} "
                        "standard deviations")
    record = {"source": f"target-fp {rate:.2%}".replace(".00%", "%"), "method": "target-fp", "rate": rate,
              "fit": cut.method, "n_good": g.size, "fp_interval": list(cut.fp_interval)}
    return Choice((cut.threshold - mean) / std, record, notes)


def between(good: Sequence[float], bad: Sequence[float], n_folders: int) -> Choice:
    g = np.asarray(good, np.float64)
    mean, std = spread(g)
    cut = metrics.balanced(g, bad)
    notes = [_fp_note(cut), f"of the {len(bad)} bad samples {cut.recall:.1%} would be NG"]
    if cut.recall < 1 or cut.fp_rate > 0:
        notes.append("the good and bad scores overlap: no threshold parts them all; check the misjudged images "
                     "with 'qorva evaluate'")
    record = {"source": "between good and bad", "method": "bad", "n_good": g.size, "n_bad": len(bad),
              "bad_folders": n_folders, "recall": cut.recall, "fp_interval": list(cut.fp_interval)}
    return Choice((cut.threshold - mean) / std, record, notes)
