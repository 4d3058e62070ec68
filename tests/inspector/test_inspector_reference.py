"""The extension against the plain-Python inspector: the same runner answers and calls through both."""

from __future__ import annotations

import logging
import math
from types import SimpleNamespace

import numpy as np
import pytest

from qorva.inspection.base import ModelState
from qorva.inspection.modules.norim import inspector as inspector_module
from qorva.inspection.modules.norim import runner as runner_module
from reference import norim as reference

IMG = np.full((8, 8, 3), 100, np.uint8)
PARTS = {"structural": 0.31234, "mahalanobis": 0.05, "logical": 0.02}
STATE = ModelState(module="norim", product_id="P1", threshold=0.6,
                   params={"weights": "b1", "sigma": 2.0, "device": "cpu", "threshold": 9})


def observed(call, caplog) -> tuple:
    """What a caller sees of one call: the result's fields or the error with its cause, and the log."""
    caplog.clear()
    try:
        out = call()
    except Exception as exc:  # noqa: BLE001 - the error itself is what is compared
        seen = ("raised", type(exc).__name__, str(exc), type(exc.__cause__).__name__)
    else:
        fields = dict(vars(out))
        if isinstance(fields.get("overlay"), np.ndarray):
            fields["overlay"] = fields["overlay"].tobytes()
        seen = ("returned", type(out).__name__, fields)
    return seen, [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "qorva.inspection.norim"]


def runner(monkeypatch, *, scores=(0.1, 0.2, 0.3), scored=(0.9, None, PARTS), bundle_error=None):
    def get_bundle(name, device):
        if bundle_error is not None:
            raise bundle_error
        return {"device": "cpu:0", "name": name}

    def score_image(bundle, image, *, with_map):
        if isinstance(scored, BaseException):
            raise scored
        return scored

    monkeypatch.setattr(runner_module, "get_bundle", get_bundle)
    monkeypatch.setattr(runner_module, "score_good_images", lambda bundle, images: scores)
    monkeypatch.setattr(runner_module, "score_image", score_image)


def images(n=3):
    return [IMG] * n


TEACH = [
    pytest.param({}, lambda: images(), {"product_id": "P1"}, id="defaults"),
    pytest.param({"scores": [0.2, 0.5, 0.9, 0.31]}, images, {"sigma": "0", "weights": "line3", "x": 1},
                 id="sigma-text-logs-false-positives"),
    pytest.param({"scores": [0.42]}, lambda: images(5), {"product_id": None, "sigma": None},
                 id="one-score-five-images"),
    pytest.param({"scores": 0.42}, images, {}, id="runner-answers-one-number"),
    pytest.param({"scores": [float("nan"), 1.0]}, lambda: iter(images()), {}, id="nan-before-counting-images"),
    pytest.param({"scores": [0.1, 0.2]}, lambda: iter(images()), {"sigma": "x"}, id="bad-sigma-before-counting-images"),
    pytest.param({"scores": [0.1, 0.2]}, lambda: iter(images()), {}, id="iterable-of-images-has-no-len"),
    pytest.param({"scores": []}, images, {}, id="no-scores"),
    pytest.param({"scores": [0.1, 0.2]}, images, {"sigma": float("inf")}, id="infinite-sigma"),
    pytest.param({"bundle_error": runner_module.NorimError("no bundle 'P1'")}, images, {"product_id": "P1"},
                 id="bundle-missing"),
    pytest.param({"bundle_error": OSError("disk")}, images, {}, id="other-bundle-error"),
    pytest.param({}, list, {}, id="no-images"),
    pytest.param({}, images, None, id="config-none"),
]


@pytest.mark.parametrize(("answers", "make_images", "config"), TEACH)
def test_teach_matches_the_reference(monkeypatch, caplog, answers, make_images, config):
    caplog.set_level(logging.INFO, logger="qorva.inspection.norim")
    runner(monkeypatch, **answers)
    got = observed(lambda: inspector_module.NorimInspector().teach(make_images(), config), caplog)
    assert got == observed(lambda: reference.NorimInspector().teach(make_images(), config), caplog)


MAP = np.linspace(0, 0.8, 16, dtype=np.float64).reshape(4, 4)
INSPECT = [
    pytest.param({}, STATE, True, id="ng-with-ratio"),
    pytest.param({"scored": (0.6, MAP, PARTS)}, STATE, True, id="equal-is-ok-with-overlay"),
    pytest.param({"scored": (0.9, MAP, PARTS)}, STATE, False, id="no-overlay-wanted"),
    pytest.param({"scored": (0.1, np.zeros((2, 2)), {"logical": 0.5, "mahalanobis": 0.5})}, STATE, True,
                 id="flat-map-and-tie"),
    pytest.param({}, SimpleNamespace(params={}, product_id="P9", threshold=0), True, id="zero-threshold"),
    pytest.param({}, None, True, id="not-taught"),
    pytest.param({"scored": runner_module.NorimError("bundle damaged")}, STATE, True, id="runner-error"),
    pytest.param({"scored": KeyError("other")}, STATE, True, id="other-runner-error"),
    pytest.param({"scored": (0.9, None)}, STATE, True, id="two-items"),
    pytest.param({"scored": (float("nan"), None, PARTS)}, STATE, True, id="nan-score"),
    pytest.param({"scored": (0.9, None, {"structural": "high", "logical": 0.5})}, STATE, True,
                 id="uncomparable-branch-picked-before-rounding"),
    pytest.param({"scored": (0.9, None, {"structural": "high"})}, STATE, True, id="text-branch-fails-rounding"),
    pytest.param({"scored": (0.9, None, {"colour": 0.5})}, STATE, True, id="unknown-branch"),
    pytest.param({"scored": (0.9, None, {})}, STATE, True, id="no-branches"),
]


@pytest.mark.parametrize(("answers", "state", "with_overlay"), INSPECT)
def test_inspect_matches_the_reference(monkeypatch, caplog, answers, state, with_overlay):
    runner(monkeypatch, **answers)
    got = observed(lambda: inspector_module.NorimInspector().inspect(IMG, state, with_overlay=with_overlay), caplog)
    assert got == observed(lambda: reference.NorimInspector().inspect(IMG, state, with_overlay=with_overlay), caplog)


@pytest.mark.parametrize("call", [
    pytest.param(lambda n: n.teach(IMG), id="teach-missing"),
    pytest.param(lambda n: n.teach([IMG], {}, {}), id="teach-extra"),
    pytest.param(lambda n: n.teach([IMG], config={}, images=[]), id="teach-twice"),
    pytest.param(lambda n: n.inspect(IMG, None, True), id="overlay-by-position"),
    pytest.param(lambda n: n.inspect(IMG, None, True, overlay=False), id="extra-and-unknown"),
    pytest.param(lambda n: n.inspect(), id="inspect-missing-two"),
    pytest.param(lambda n: n.inspect(IMG, None, overlay=False), id="unknown-keyword"),
    pytest.param(lambda n: n._cfg({}, None, state_params={}), id="cfg-twice"),
    pytest.param(lambda n: n._cfg(), id="cfg-missing"),
    pytest.param(lambda n: type(n)._bundle_name({}), id="bundle-name-missing"),
    pytest.param(lambda n: n._bundle_name({}, "P1", "x"), id="bundle-name-extra"),
    pytest.param(lambda n: type(n).purge_artifacts(), id="purge-missing"),
    pytest.param(lambda n: n.purge_artifacts("P1", "P2"), id="purge-extra"),
])
def test_wrong_arguments_raise_the_host_text(call):
    texts = []
    for cls in (inspector_module.NorimInspector, reference.NorimInspector):
        with pytest.raises(TypeError) as info:
            call(cls())
        texts.append(str(info.value))
    assert texts[0] == texts[1]


def test_nan_check_comes_before_the_image_count(monkeypatch):
    runner(monkeypatch, scores=[math.nan, 1.0])
    with pytest.raises(ValueError, match=r"^양품 점수에 비정상값\(NaN/inf\) 1/2 — "):
        inspector_module.NorimInspector().teach(iter(images()), {})
