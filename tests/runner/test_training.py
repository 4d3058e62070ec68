"""Training through the runner: the retraining cache and the held-out scores of the training images."""

from __future__ import annotations

import numpy as np
import pytest

from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner.training import cache


def test_retraining_reuses_cached_features(home, goods, monkeypatch):
    runner.train("P1", goods[:5])
    calls = []
    real = cache.patch_features
    monkeypatch.setattr(cache, "patch_features", lambda w: calls.append(1) or real(w))
    # The same images again (another seed): their features, and those of the images aligned to the reference they
    # make, are all read back. (One more image changes that reference: the aligned images' features are new.)
    runner.train("P1", goods[:5], seed=1)
    assert not calls


def test_training_images_score_as_when_held_out(home, goods):
    result = runner.train("P1", goods[:6])
    bundle = runner.get_bundle("P1")
    in_sample = np.array(runner.score_good_images(bundle, goods[:6]))
    z = bundle.model.z(result.heldout_raw)
    np.testing.assert_allclose(in_sample, z.max(1), rtol=1e-6)
    # A copy with one pixel changed is no longer the training image.
    other = goods[0].copy()
    other[0, 0] ^= 1
    assert runner.score_good_images(bundle, [other])[0] != pytest.approx(in_sample[0])
