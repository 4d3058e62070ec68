"""The figures a model is judged by, against their plain definitions over tables of scores."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

from qorva import metrics

GOOD = [0.1, 0.4, 0.4, 0.9, 1.3, 2.0]
BAD = [0.4, 1.5, 2.5, 3.0]


def _auroc_by_pairs(neg, pos) -> float:
    pairs = list(itertools.product(neg, pos))
    return sum(1.0 if p > n else 0.5 if p == n else 0.0 for n, p in pairs) / len(pairs)


@pytest.mark.parametrize(("neg", "pos"), [
    pytest.param(GOOD, BAD, id="overlap-with-ties"),
    pytest.param([0, 1], [2, 3], id="parted"),
    pytest.param([5, 5, 5], [5, 5], id="all-tied"),
    pytest.param([3, 4], [1, 2], id="reversed"),
])
def test_auroc_is_the_share_of_pairs_ordered_right(neg, pos):
    assert metrics.auroc(neg, pos) == pytest.approx(_auroc_by_pairs(neg, pos))


@pytest.mark.parametrize(("good", "rate", "method", "above"), [
    pytest.param(np.arange(20.0), 0.10, "empirical", 2, id="2-of-20"),
    pytest.param(np.arange(20.0), 0.04, "normal", 0, id="a-rate-20-samples-cannot-show"),
    pytest.param([1.0, 1.0, 1.0, 2.0], 0.5, "empirical", 1, id="ties-stay-below"),
])
def test_threshold_for_a_false_positive_rate(good, rate, method, above):
    cut = metrics.for_fp_rate(good, rate)
    values = np.asarray(good, float)
    assert cut.method == method and int((values > cut.threshold).sum()) == above
    if method == "empirical":  # the lowest such threshold: one step lower lets one more good score above it
        assert int((values > np.nextafter(cut.threshold, -np.inf)).sum()) > above
    else:
        std = values.std()
        assert cut.threshold == pytest.approx(values.mean() + 1.7507 * std, abs=1e-3)
    lo, hi = cut.fp_interval
    assert 0 <= lo <= cut.fp_rate <= hi <= 1


def _f1(good, bad, t) -> float:
    tp = sum(b > t for b in bad)
    fp = sum(g > t for g in good)
    return 2 * tp / (2 * tp + fp + (len(bad) - tp))


def test_f1_best_and_balanced_thresholds_beat_every_other_cut():
    every = sorted(set(GOOD + BAD))
    cuts = [every[0] - 1] + [(a + b) / 2 for a, b in itertools.pairwise(every)] + [every[-1] + 1]
    best = metrics.best_f1(GOOD, BAD)
    assert best.f1 == pytest.approx(max(_f1(GOOD, BAD, t) for t in cuts))
    assert best.f1 == pytest.approx(_f1(GOOD, BAD, best.threshold))
    j = [np.mean(np.array(BAD) > t) - np.mean(np.array(GOOD) > t) for t in cuts]
    bal = metrics.balanced(GOOD, BAD)
    assert bal.recall - bal.fp_rate == pytest.approx(max(j))
    # Parted sets: the balanced cut lies midway between the highest good and the lowest bad score.
    assert metrics.balanced([0.0, 1.0], [3.0, 4.0]).threshold == 2.0


def test_rates_and_intervals_at_the_edges():
    assert metrics.above([1.0, 2.0, 3.0], 2.0) == pytest.approx(1 / 3)  # a score equal to the threshold is OK
    assert math.isnan(metrics.above([], 1.0)) and math.isnan(metrics.auroc([], [1.0]))
    lo, hi = metrics.wilson(0, 40)
    assert lo == 0 and 0.08 < hi < 0.095  # 0 of 40 still allows a rate near 9%
    fpr, tpr = metrics.roc(GOOD, BAD)
    assert (fpr[0], tpr[0], fpr[-1], tpr[-1]) == (0, 0, 1, 1) and np.all(np.diff(fpr) >= 0)
