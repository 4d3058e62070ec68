from __future__ import annotations

from statistics import NormalDist

import numpy as np
import pytest

from qorva.inspection.modules.norim.runner import normalise


@pytest.mark.parametrize(
    "p",
    [
        pytest.param(1e-300, id="far-lower-tail"),
        pytest.param(1e-6, id="lower-tail"),
        pytest.param(0.02, id="just-inside-lower-tail"),
        pytest.param(0.3, id="central-low"),
        pytest.param(0.5, id="median"),
        pytest.param(0.9, id="central-high"),
        pytest.param(0.999, id="upper-tail"),
    ],
)
def test_normal_quantile_matches_the_standard_library(p):
    got = normalise.normal_quantile(np.log(p), np.log1p(-p))
    assert float(got) == pytest.approx(NormalDist().inv_cdf(p), abs=1e-7)


def test_gumbel_scores_of_good_images_come_out_normal_above_the_median():
    # Good scores drawn from a Gumbel: above the median the map must give normal quantiles, so that
    # mean + 2 std cuts about as few as for a normal (the plain standardised score cuts 4.1%).
    rng = np.random.default_rng(0)
    y = rng.gumbel(3.0, 0.4, 200_000)
    z = normalise.gumbel_z(y, np.float64(y.mean()), np.float64(y.std()))
    np.testing.assert_allclose(np.quantile(z, [0.5, 0.9, 0.977]), [0.0, 1.2816, 2.0], atol=0.03)
    assert (z > z.mean() + 2 * z.std()).mean() < 0.033


def test_gumbel_z_is_increasing_and_finite_far_out():
    # Defects score hundreds of good standard deviations away; their order must survive the map.
    y = np.concatenate([np.linspace(-50.0, 10.0, 2001), np.geomspace(10.5, 1e5, 200)])
    z = normalise.gumbel_z(y, np.float64(0.0), np.float64(1.0))
    assert np.isfinite(z).all()
    assert (np.diff(z) > 0).all()
