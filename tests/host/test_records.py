"""Framework records and helpers: model state storage, registry, error results, images, overlays."""

from __future__ import annotations

import math

import numpy as np
import pytest

from qorva.inspection import registry
from qorva.inspection.base import ModelState
from qorva.inspection.modules.anomaly.anomaly_map import render_overlay
from qorva.schemas.common import InspectionResult, Verdict
from qorva.utils.imaging import validate_image


def test_model_state_round_trip_keeps_values():
    state = ModelState(
        module="norim", product_id="P-7", threshold=np.float64(0.4375),
        params={"sigma": np.float32(3.0), "scores": np.array([0.1, 0.2]), "n": np.int64(5),
                "nan": float("nan"), "inf": float("-inf"), "name": "제품", "nested": {"k": (1, 2)}},
    )
    back = ModelState.from_json(state.to_json())
    assert (back.module, back.product_id, back.threshold) == ("norim", "P-7", 0.4375)
    assert back.params["scores"] == [0.1, 0.2] and back.params["n"] == 5 and back.params["sigma"] == 3.0
    assert math.isnan(back.params["nan"]) and back.params["inf"] == float("-inf")
    assert back.params["name"] == "제품" and back.params["nested"] == {"k": [1, 2]}


@pytest.mark.parametrize("data", [
    pytest.param({"module": "x"}, id="no-format"),
    pytest.param({"format": 99, "module": "x"}, id="other-format"),
    pytest.param({"format": 1, "module": "x", "product_id": 1, "params": {}}, id="missing-threshold"),
    pytest.param([1, 2], id="not-a-mapping"),
])
def test_model_state_rejects_other_shapes(data):
    with pytest.raises(ValueError, match="^ModelState: "):
        ModelState.from_dict(data)


def test_model_state_refuses_unstorable_values():
    with pytest.raises(TypeError, match="cannot be stored as JSON"):
        ModelState("m", "p", 1.0, {"obj": object()}).to_dict()


@pytest.fixture
def empty_registry(monkeypatch):
    monkeypatch.setattr(registry, "_registry", {})


def make_class(name, qualname="Insp", module="tests.a"):
    return type(qualname, (), {"name": name, "__module__": module})


def test_register_returns_the_class_and_finds_it(empty_registry):
    cls = make_class("alpha")
    assert registry.register(cls) is cls
    assert registry.register(cls) is cls
    assert registry.get("alpha") is cls and registry.names() == ["alpha"]


@pytest.mark.parametrize(("second", "error"), [
    pytest.param(make_class("alpha", module="tests.b"), ValueError, id="name-taken"),
    pytest.param(make_class(""), TypeError, id="empty-name"),
    pytest.param(make_class(None), TypeError, id="no-name"),
])
def test_register_refuses(empty_registry, second, error):
    registry.register(make_class("alpha"))
    with pytest.raises(error):
        registry.register(second)


def test_unknown_inspector_names_the_known_ones(empty_registry):
    registry.register(make_class("alpha"))
    with pytest.raises(KeyError, match="known: alpha"):
        registry.get("beta")


def test_error_result_is_never_ok():
    result = InspectionResult.error("norim", RuntimeError("no bundle"))
    assert result.verdict is Verdict.ERROR and result.is_error
    assert (result.score, result.threshold, result.overlay, result.details) == (None, None, None, {})
    assert result.error_message == "no bundle" and result.module == "norim"


@pytest.mark.parametrize(("img", "error"), [
    pytest.param([[1]], TypeError, id="not-array"),
    pytest.param(np.zeros((4, 4, 3), np.float32), TypeError, id="float"),
    pytest.param(np.zeros((4, 4), np.uint8), ValueError, id="grey"),
    pytest.param(np.zeros((4, 4, 4), np.uint8), ValueError, id="four-channels"),
    pytest.param(np.zeros((0, 4, 3), np.uint8), ValueError, id="empty"),
])
def test_validate_image_rejects(img, error):
    with pytest.raises(error):
        validate_image(img)


def test_validate_image_returns_a_good_image():
    img = np.zeros((2, 3, 3), np.uint8)
    assert validate_image(img) is img


@pytest.fixture
def grey_image():
    return np.full((64, 80, 3), 128, np.uint8)


def test_overlay_marks_only_the_hot_region(grey_image):
    amap = np.zeros((16, 20), np.float32)
    amap[4:8, 5:10] = 1.0
    out = render_overlay(grey_image, amap, 0.5)
    assert out.shape == grey_image.shape and out.dtype == np.uint8
    assert out is not grey_image
    changed = np.any(out != grey_image, axis=2)
    assert changed[16:32, 20:40].mean() > 0.9
    assert not changed[:8].any() and not changed[:, 60:].any()


@pytest.mark.parametrize("amap", [
    pytest.param(np.zeros((8, 8), np.float32), id="cold"),
    pytest.param(np.full((8, 8), np.nan, np.float32), id="nan"),
])
def test_overlay_without_hot_region_is_an_unchanged_copy(grey_image, amap):
    out = render_overlay(grey_image, amap, 0.5)
    np.testing.assert_array_equal(out, grey_image)
    assert out is not grey_image


def test_overlay_rejects_a_bad_map(grey_image):
    with pytest.raises(ValueError, match="anomaly map"):
        render_overlay(grey_image, np.zeros((2, 2, 2)), 0.5)
