"""Inspect: verdict against the taught threshold, details, overlay, and what becomes an error result."""

from __future__ import annotations

import numpy as np
import pytest

from qorva.inspection.modules.norim import inspector as inspector_module
from qorva.inspection.modules.norim import runner as runner_module
from qorva.schemas.common import InspectionResult, Verdict

NOT_TAUGHT = "product is not taught yet (run teach, or place a trained bundle)"


def test_result_fields_and_details(fake_runner, norim, img, make_state):
    fake_runner.score = 0.9
    fake_runner.parts = {"structural": 0.123456, "mahalanobis": 0.5, "logical": 0.9}
    result = norim.inspect(img, make_state(0.6), with_overlay=False)
    assert isinstance(result, InspectionResult)
    assert (result.verdict, result.score, result.threshold, result.module) == (Verdict.NG, 0.9, 0.6, "norim")
    assert result.overlay is None and result.error_message is None
    assert list(result.details.items()) == [
        ("ratio_over_threshold", 1.5),
        ("backbone", "EfficientAD(구조) + global Maha(map-free) + CSAD patch-hist(논리), AMP"),
        ("branch", {"structural": 0.1235, "mahalanobis": 0.5, "logical": 0.9}),
        ("dominant_branch", "logical"),
        ("dominant_label", "논리(구성·개수, patch-hist)"),
        ("localizable", False),
    ]


@pytest.mark.parametrize(("score", "threshold", "verdict", "shown", "ratio"), [
    pytest.param(0.5, 0.5, Verdict.OK, (0.5, 0.5), 1.0, id="equal-is-ok"),
    pytest.param(float(np.nextafter(0.5, 1.0)), 0.5, Verdict.NG, (0.5, 0.5), 1.0, id="next-float-is-ng"),
    pytest.param(0.49, 0.5, Verdict.OK, (0.49, 0.5), 0.98, id="below"),
    pytest.param(0.123449, 0.12344, Verdict.NG, (0.1234, 0.1234), 1.0, id="rounded-equal-yet-ng"),
    pytest.param(1e-12, 0.0, Verdict.NG, (0.0, 0.0), None, id="threshold-zero-positive-ng"),
    pytest.param(0.0, 0.0, Verdict.OK, (0.0, 0.0), None, id="threshold-zero-zero-ok"),
    pytest.param(-0.2, -0.4, Verdict.NG, (-0.2, -0.4), 0.5, id="negative-scores"),
    pytest.param(np.float64(0.7), np.float64(0.35), Verdict.NG, (0.7, 0.35), 2.0, id="numpy-scalars"),
])
def test_verdict_uses_unrounded_score_and_threshold(fake_runner, norim, img, make_state,
                                                    score, threshold, verdict, shown, ratio):
    fake_runner.score = score
    result = norim.inspect(img, make_state(threshold), with_overlay=False)
    assert result.verdict is verdict
    assert (result.score, result.threshold) == shown
    assert result.details["ratio_over_threshold"] == ratio


class _IndexNegated(dict):
    """A mapping whose indexing disagrees with `get` and `items`."""

    def __getitem__(self, key):
        return -super().__getitem__(key)


@pytest.mark.parametrize(("parts", "dominant", "localizable"), [
    pytest.param({"structural": 0.2, "mahalanobis": 0.5, "logical": 0.5}, "mahalanobis", False, id="tie-first-wins"),
    pytest.param({"logical": 0.5, "mahalanobis": 0.5, "structural": 0.2}, "logical", False, id="tie-order-matters"),
    pytest.param({"structural": 0.9, "mahalanobis": 0.5, "logical": 0.1}, "structural", True, id="structural"),
    pytest.param({"structural": 0.3}, "structural", True, id="single-branch"),
    pytest.param({"structural": -1.0, "logical": -0.5}, "logical", False, id="negative-values"),
    pytest.param(_IndexNegated(structural=0.9, logical=0.1), "structural", True, id="ranked-by-get-not-indexing"),
])
def test_dominant_branch(fake_runner, norim, img, make_state, parts, dominant, localizable):
    fake_runner.parts = parts
    details = norim.inspect(img, make_state(), with_overlay=False).details
    labels = {"structural": "구조(국소 결함)", "mahalanobis": "마할라노비스(전역 특징분포)",
              "logical": "논리(구성·개수, patch-hist)"}
    assert (details["dominant_branch"], details["dominant_label"], details["localizable"]) == (
        dominant, labels[dominant], localizable)
    assert list(details["branch"]) == list(parts)


@pytest.mark.parametrize(("amap", "viz_thr"), [
    pytest.param(np.full((4, 4), 0.8), 0.4, id="half-of-max"),
    pytest.param(np.zeros((4, 4)), 1e-6, id="all-zero"),
    pytest.param(np.full((4, 4), -3.0), 1e-6, id="negative"),
    pytest.param(np.full((4, 4), 1e-9), 1e-6, id="max-at-floor"),
    pytest.param(np.full((4, 4), 2e-9), 1e-9, id="max-just-above-floor"),
])
def test_overlay_rendered_with_half_the_map_maximum(fake_runner, norim, img, make_state, monkeypatch, amap, viz_thr):
    rendered = []

    def render(image, m, thr):
        rendered.append((image, m, thr))
        return "overlay"

    monkeypatch.setattr(inspector_module.amap_render, "render_overlay", render)
    fake_runner.amap = amap
    result = norim.inspect(img, make_state())
    assert fake_runner.called("score_image") == [("P1", True)]
    assert result.overlay == "overlay"
    [(image, m, thr)] = rendered
    assert image is img
    assert m.dtype == np.float32 and np.array_equal(m, amap.astype(np.float32))
    assert type(thr) is float and thr == viz_thr


@pytest.mark.parametrize(("with_overlay", "amap"), [
    pytest.param(False, np.ones((4, 4)), id="not-wanted-even-with-map"),
    pytest.param(True, None, id="no-map"),
    pytest.param(True, np.zeros((0, 4)), id="empty-map"),
    pytest.param(0, np.ones((4, 4)), id="false-value"),
])
def test_no_overlay(fake_runner, norim, img, make_state, monkeypatch, with_overlay, amap):
    monkeypatch.setattr(inspector_module.amap_render, "render_overlay", pytest.fail)
    fake_runner.amap = amap
    result = norim.inspect(img, make_state(), with_overlay=with_overlay)
    assert result.overlay is None
    assert fake_runner.called("score_image") == [("P1", with_overlay)]


def test_real_overlay_is_an_image_of_the_input_size(fake_runner, norim, make_state):
    image = np.full((32, 48, 3), 90, np.uint8)
    amap = np.zeros((8, 12), np.float64)
    amap[2:4, 3:6] = 5.0
    fake_runner.amap = amap
    overlay = norim.inspect(image, make_state()).overlay
    assert overlay.shape == image.shape and overlay.dtype == np.uint8
    assert not np.array_equal(overlay, image)


def test_runs_with_settings_stored_at_teach_time(fake_runner, norim, img, make_state):
    state = make_state(weights="line3", device="cuda:1", sigma=9.0)
    state.product_id = "P9"
    norim.inspect(img, state)
    empty_weights = make_state(weights="", device=None)
    norim.inspect(img, empty_weights)
    assert fake_runner.called("get_bundle") == [("line3", "cuda:1"), ("P1", None)]


def test_untaught_product_is_an_error_result_without_looking_at_the_image(fake_runner, norim):
    result = norim.inspect("not an image", None)
    assert (result.verdict, result.error_message, result.module) == (Verdict.ERROR, NOT_TAUGHT, "norim")
    assert fake_runner.calls == []


@pytest.mark.parametrize("where", ["get_bundle", "score_image"])
def test_runner_failure_is_an_error_result_with_its_own_text(fake_runner, norim, img, make_state, where):
    error = runner_module.NorimError("bundle 'P1' is damaged: arrays.npz unreadable")
    if where == "get_bundle":
        fake_runner.bundle_error = error
    else:
        fake_runner.score_error = error
    result = norim.inspect(img, make_state())
    assert (result.verdict, result.error_message) == (Verdict.ERROR, "bundle 'P1' is damaged: arrays.npz unreadable")


@pytest.mark.parametrize(("score", "threshold", "message"), [
    pytest.param(float("nan"), 0.5, "non-finite score nan", id="nan-score"),
    pytest.param(float("inf"), 0.5, "non-finite score inf", id="inf-score"),
    pytest.param(np.float32("nan"), 0.5, "non-finite score", id="numpy-nan-score"),
    pytest.param(0.1, float("nan"), "non-finite threshold nan", id="nan-threshold"),
    pytest.param(0.1, float("inf"), "non-finite threshold inf", id="inf-threshold"),
])
def test_non_finite_figures_are_error_results_never_ok(fake_runner, norim, img, make_state, score, threshold, message):
    fake_runner.score = score
    result = norim.inspect(img, make_state(threshold))
    assert result.verdict is Verdict.ERROR
    assert message in result.error_message


def test_error_type_is_looked_up_when_raised(fake_runner, norim, img, make_state, monkeypatch):
    class Replaced(Exception):
        pass

    original = runner_module.NorimError
    monkeypatch.setattr(runner_module, "NorimError", Replaced)
    fake_runner.score_error = Replaced("swapped")
    assert norim.inspect(img, make_state()).error_message == "swapped"
    fake_runner.score_error = original("no longer the runner's type")
    with pytest.raises(original):
        norim.inspect(img, make_state())


@pytest.mark.parametrize(("setup", "error", "match"), [
    pytest.param({"score_error": OSError("disk")}, OSError, "disk", id="other-runner-error"),
    pytest.param({"scored": (0.1, None)}, ValueError, "not enough values to unpack", id="two-items"),
    pytest.param({"scored": (0.1, None, {}, 4)}, ValueError, "too many values to unpack", id="four-items"),
    pytest.param({"scored": 0.7}, TypeError, "^cannot unpack non-iterable float object$", id="not-iterable"),
    pytest.param({"parts": {}}, ValueError, "empty", id="no-parts"),
    pytest.param({"parts": {"texture": 0.4}}, KeyError, "texture", id="unknown-branch"),
])
def test_other_failures_propagate(fake_runner, norim, img, make_state, setup, error, match):
    for key, value in setup.items():
        setattr(fake_runner, key, value)
    with pytest.raises(error, match=match):
        norim.inspect(img, make_state(), with_overlay=False)


def test_invalid_image_propagates_before_the_runner(fake_runner, norim, make_state):
    with pytest.raises(ValueError, match="3-channel"):
        norim.inspect(np.zeros((4, 4), np.uint8), make_state())
    assert fake_runner.calls == []


@pytest.mark.parametrize("missing", ["params", "product_id", "threshold"])
def test_incomplete_model_state_is_an_attribute_error(fake_runner, norim, img, missing):
    class Incomplete:
        pass

    state = Incomplete()
    for field, value in {"params": {"weights": "P1"}, "product_id": "P1", "threshold": 0.5}.items():
        if field != missing:
            setattr(state, field, value)
    with pytest.raises(AttributeError, match=missing):
        norim.inspect(img, state)

