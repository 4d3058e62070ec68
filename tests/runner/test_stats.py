from __future__ import annotations

import numpy as np
import pytest

from qorva.inspection.modules.norim.runner import stats


def _brute_kth(bank: np.ndarray, x: np.ndarray, k: int) -> np.ndarray:
    d = np.sqrt(((bank[:, None, :] - x[None, :, :]) ** 2).sum(-1))
    return np.sort(d, axis=1)[:, k]


@pytest.mark.parametrize(
    ("k", "weights"),
    [
        pytest.param(1.0, {1: 1.0}, id="integer-k-is-that-neighbour"),
        pytest.param(3.0, {3: 1.0}, id="integer-k-3"),
        pytest.param(2.25, {2: 0.75, 3: 0.25}, id="fraction-interpolates"),
        pytest.param(0.75, {1: 1.0}, id="below-one-is-nearest-other"),
    ],
)
def test_kth_nearest_matches_brute_force(k: float, weights: dict[int, float]) -> None:
    rng = np.random.default_rng(3)
    x = rng.normal(size=(60, 5)).astype(np.float32)
    bank = x[::4]
    want = sum(w * _brute_kth(bank, x, j) for j, w in weights.items())
    # Small row blocks exercise the chunking the real bank goes through.
    got = stats.kth_nearest(bank, x, k, rows=7)
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4)
