"""Teach: bundle load, threshold calibration from the good scores, and the model state it returns."""

from __future__ import annotations

import logging

import numpy as np
import pytest

from qorva.inspection.base import ModelState
from qorva.inspection.modules.norim import runner as runner_module
from reference import norim as reference

NorimError = runner_module.NorimError


_RANDOM = np.random.default_rng(3).gamma(2.0, 0.37, 50).tolist()


@pytest.mark.parametrize(("scores", "sigma"), [
    pytest.param([0.42], 2.0, id="single-score"),
    pytest.param([0.3, 0.3, 0.3], 2.0, id="identical-scores"),
    pytest.param([0.1] * 7, 0.0, id="identical-with-rounding-residue"),
    pytest.param([0.0, 2e-9], 2.0, id="std-exactly-at-floor"),
    pytest.param([0.0, 4e-9], 2.0, id="std-just-above-floor"),
    pytest.param([0.0, 2.0], 1.0, id="score-equal-to-threshold"),
    pytest.param([0.0, 2.0], 0.5, id="score-above-threshold"),
    pytest.param([0.2, 0.5, 0.9, 0.31], 0, id="sigma-zero"),
    pytest.param([0.2, 0.5, 0.9, 0.31], "1.5", id="sigma-numeric-text"),
    pytest.param([0.2, 0.5, 0.9, 0.31], -1.0, id="negative-sigma"),
    pytest.param(_RANDOM, 2.0, id="fifty-random"),
    pytest.param(np.float32(_RANDOM[:9]), 1.3, id="float32-array"),
    pytest.param([1e6 + 0.1, 1e6 + 0.2, 1e6 + 0.7], 2.0, id="large-offset"),
])
def test_calibration_matches_numpy(fake_runner, norim, img, scores, sigma):
    fake_runner.good_scores = scores
    state = norim.teach([img] * len(scores), {"product_id": "P1", "sigma": sigma})
    expected = reference.NorimInspector().teach([img] * len(scores), {"product_id": "P1", "sigma": sigma})
    assert state.threshold == expected.threshold
    assert type(state.threshold) is float
    assert state.params == expected.params
    assert all(type(v) is float for v in state.params["good_scores"])


def test_model_state_carries_everything_inspect_needs(fake_runner, norim, images):
    fake_runner.good_scores = [0.0, 2.0, 1.0]
    fake_runner.device = "cpu:0"
    config = {"extra": "kept", "product_id": "P1", "sigma": 1, "device": "cuda", "weights": None}
    state = norim.teach(images, config)
    assert isinstance(state, ModelState)
    assert (state.module, state.product_id) == ("norim", "P1")
    assert list(state.params) == [
        "weights", "sigma", "device", "extra", "product_id", "n_good", "good_score_mean", "good_score_max",
        "good_scores", "threshold_source", "expected_fp_rate", "expected_fp_count", "sigma_for_zero_fp",
    ]
    assert state.params["weights"] == "P1"
    assert state.params["sigma"] == 1
    assert state.params["device"] == "cpu:0"
    assert state.params["threshold_source"] == "good_mean+sigma*std"
    assert fake_runner.called("get_bundle") == [("P1", "cuda")]
    assert fake_runner.called("score_good_images") == [("P1", 3)]


@pytest.mark.parametrize(("config", "bundle", "product_id"), [
    pytest.param({}, "unknown", "unknown", id="no-product"),
    pytest.param({"product_id": None}, None, None, id="product-none-stays-none"),
    pytest.param({"product_id": "P1", "weights": "line3"}, "line3", "P1", id="weights-named"),
    pytest.param({"product_id": "P1", "weights": ""}, "P1", "P1", id="weights-empty"),
])
def test_bundle_and_product_resolution(fake_runner, norim, images, config, bundle, product_id):
    state = norim.teach(images, config)
    assert fake_runner.called("get_bundle") == [(bundle, None)]
    assert state.product_id == product_id
    assert state.params["product_id"] == product_id
    assert state.params["weights"] == bundle


def test_n_good_counts_images_not_scores(fake_runner, norim, images):
    fake_runner.good_scores = [0.1, 0.2]
    state = norim.teach(images + images, {"product_id": "P1"})
    assert state.params["n_good"] == 6
    assert state.params["expected_fp_rate"] == 0.0


def test_empty_images_refused_before_anything_else(fake_runner, norim):
    with pytest.raises(ValueError, match=r"^teach: good samples are required \(20-50 recommended\)$"):
        norim.teach([], None)
    assert fake_runner.calls == []


def test_invalid_image_fails_before_the_runner(fake_runner, norim, img):
    with pytest.raises(TypeError, match="dtype uint8"):
        norim.teach([img, img.astype(np.float32)], {"product_id": "P1"})
    assert fake_runner.calls == []


def test_missing_bundle_becomes_operator_message_with_cause(fake_runner, norim, images):
    cause = NorimError("no bundle 'line3' under products/*/norim/")
    fake_runner.bundle_error = cause
    with pytest.raises(ValueError) as info:
        norim.teach(images, {"product_id": "P1", "weights": "line3"})
    assert str(info.value) == (
        "no bundle 'line3' under products/*/norim/\n→ 티칭에서 NORIM 학습을 돌려 norim/line3/ 번들을 먼저 생성하세요."
    )
    assert info.value.__cause__ is cause


def test_norim_error_type_is_looked_up_when_raised(fake_runner, norim, images, monkeypatch):
    class Replaced(Exception):
        pass

    monkeypatch.setattr(runner_module, "NorimError", Replaced)
    fake_runner.bundle_error = Replaced("gone")
    with pytest.raises(ValueError, match="^gone\n→"):
        norim.teach(images, {"product_id": "P1"})


@pytest.mark.parametrize(("where", "error"), [
    pytest.param("bundle", OSError("disk"), id="other-error-from-get-bundle"),
    pytest.param("score", NorimError("scoring failed"), id="norim-error-while-scoring"),
])
def test_other_runner_errors_pass_unchanged(fake_runner, norim, images, monkeypatch, where, error):
    if where == "bundle":
        fake_runner.bundle_error = error
    else:
        def failing(bundle, imgs):
            raise error

        monkeypatch.setattr(runner_module, "score_good_images", failing)
    with pytest.raises(type(error)) as info:
        norim.teach(images, {"product_id": "P1"})
    assert info.value is error


def test_bundle_without_device_is_a_key_error(norim, images, monkeypatch):
    monkeypatch.setattr(runner_module, "get_bundle", lambda name, device: {})
    with pytest.raises(KeyError, match="device"):
        norim.teach(images, {"product_id": "P1"})


@pytest.mark.parametrize(("scores", "sigma", "error", "message"), [
    pytest.param([0.1] * 19 + [float("nan")], 2.0, ValueError,
                 r"^양품 점수에 비정상값\(NaN/inf\) 1/20 — 번들/통계 손상 또는 전처리 불일치\.$", id="one-nan-in-20"),
    pytest.param([float("inf"), float("-inf"), float("nan"), 0.3], 2.0, ValueError,
                 r"비정상값\(NaN/inf\) 3/4 —", id="every-non-finite-counted"),
    pytest.param([], 2.0, ValueError, r"no good-sample scores for bundle 'P1'", id="no-scores"),
    pytest.param([0.1, 0.2], float("nan"), ValueError, r"sigma must be a finite number, got nan", id="sigma-nan"),
    pytest.param([0.1, 0.2], "inf", ValueError, r"sigma must be a finite number, got 'inf'", id="sigma-inf-text"),
    pytest.param([0.0, 4.0], 1e308, ValueError, r"threshold .* is not finite", id="threshold-overflow"),
    pytest.param([0.1, 0.2], "wide", ValueError, r"could not convert string to float: 'wide'", id="sigma-not-a-number"),
    pytest.param([0.1, 0.2], [2], TypeError, r"float\(\) argument", id="sigma-wrong-type"),
])
def test_unusable_scores_or_sigma_are_refused(fake_runner, norim, img, scores, sigma, error, message):
    fake_runner.good_scores = scores
    with pytest.raises(error, match=message):
        norim.teach([img] * max(1, len(scores)), {"product_id": "P1", "sigma": sigma})


@pytest.mark.parametrize(("scores", "sigma", "logged"), [
    pytest.param([0.2, 0.5, 0.9, 0.31], "0", (
        "norim teach: threshold=0.4775 (sigma=0) — 2/4 of the good samples would be judged NG (50%). "
        "Raise sigma to 1.59 for none."), id="sigma-zero-logs-count-and-advice"),
    pytest.param([0.0, 2.0], 0.5, (
        "norim teach: threshold=1.5000 (sigma=0.5) — 1/2 of the good samples would be judged NG (50%). "
        "Raise sigma to 1.00 for none."), id="above-threshold"),
    pytest.param([0.0, 2.0], 1.0, None, id="equal-to-threshold-silent"),
    pytest.param([0.42], 2.0, None, id="single-score-silent"),
    pytest.param([0.42], -1.0, (
        "norim teach: threshold=-0.5800 (sigma=-1.0) — 1/1 of the good samples would be judged NG (100%). "
        "Raise sigma to 0.00 for none."), id="single-score-no-advice"),
])
def test_false_positive_estimate_logged_only_when_a_good_sample_fails(
        fake_runner, norim, img, caplog, scores, sigma, logged):
    fake_runner.good_scores = scores
    with caplog.at_level(logging.DEBUG, logger="qorva.inspection.norim"):
        norim.teach([img] * len(scores), {"product_id": "P1", "sigma": sigma})
    records = [r for r in caplog.records if r.name == "qorva.inspection.norim"]
    if logged is None:
        assert records == []
    else:
        assert [(r.levelno, r.getMessage()) for r in records] == [(logging.INFO, logged)]
        # Formatting is left to the logging facility, so handlers see the format and its arguments apart.
        assert records[0].msg.startswith("norim teach: threshold=%.4f (sigma=%s) — %d/%d")
        assert len(records[0].args) == 6
