from __future__ import annotations

import logging
import math
import os
import threading
import time

import cv2
import numpy as np
import pytest

from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner import model
from qorva.inspection.modules.norim.runner.storage import loaded


def test_get_bundle_is_a_mapping_with_the_device_used(trained):
    bundle = runner.get_bundle("P1")
    assert bundle["device"] == "cpu"
    assert bundle["product_id"] == "P1"
    assert runner.get_bundle("P1", "cpu") is runner.get_bundle("P1", "cpu")


@pytest.mark.parametrize(
    ("shape", "view"),
    [((96, 96), False), ((50, 70), False), ((300, 200), False), ((256, 256), True)],
    ids=["trained-size", "smaller", "larger", "reversed-view-at-working-size"],
)
@pytest.mark.parametrize("with_map", [True, False], ids=["map", "no-map"])
def test_score_image_returns_score_map_and_parts(trained, goods, shape, view, with_map):
    image = cv2.resize(goods[9], (shape[1], shape[0]))
    if view:
        image = image[::-1, :, ::-1]
    score, amap, parts = runner.score_image(runner.get_bundle("P1"), image, with_map=with_map)
    assert isinstance(score, float) and math.isfinite(score)
    assert list(parts) == ["structural", "mahalanobis", "logical"]
    assert all(isinstance(v, float) and math.isfinite(v) for v in parts.values())
    assert score == max(parts.values())
    if with_map:
        assert amap.dtype == np.float32 and amap.shape == shape
    else:
        assert amap is None


def test_with_map_false_does_not_compute_a_map(trained, goods, monkeypatch):
    def boom(*args, **kwargs):
        msg = "map computed although with_map is false"
        raise AssertionError(msg)

    monkeypatch.setattr(model, "anomaly_map", boom)
    assert runner.score_image(runner.get_bundle("P1"), goods[9], with_map=False)[1] is None


def test_score_good_images_matches_score_image_in_order(trained, goods):
    bundle = runner.get_bundle("P1")
    batch = runner.score_good_images(bundle, goods[7:10])
    single = [runner.score_image(bundle, g, with_map=False)[0] for g in goods[7:10]]
    assert all(isinstance(v, float) for v in batch)
    np.testing.assert_allclose(batch, single, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize(
    "image",
    [
        pytest.param(np.zeros((32, 32), np.uint8), id="grey"),
        pytest.param(np.zeros((32, 32, 3), np.float32), id="float"),
        pytest.param(np.zeros((4, 4, 3), np.uint8), id="tiny"),
        pytest.param("img.png", id="not-an-array"),
    ],
)
def test_bad_image_is_a_norim_error(trained, image):
    with pytest.raises(runner.NorimError, match="image"):
        runner.score_image(runner.get_bundle("P1"), image, with_map=True)


@pytest.mark.parametrize(
    ("device", "used", "warns"),
    [
        pytest.param(None, "cpu", False, id="none"),
        pytest.param("auto", "cpu", False, id="auto"),
        pytest.param("cpu", "cpu", False, id="cpu"),
        pytest.param("cuda", "cpu", True, id="cuda"),
        pytest.param("cuda:1", "cpu", True, id="cuda-1"),
    ],
)
def test_device_resolution(trained, caplog, device, used, warns):
    with caplog.at_level(logging.WARNING, logger="qorva.inspection.norim.runner"):
        first = runner.get_bundle("P1", device)
        runner.score_image(first, np.zeros((32, 32, 3), np.uint8), with_map=False)
        runner.get_bundle("P1", device)
    assert first["device"] == used
    assert len(caplog.records) == (1 if warns else 0)


@pytest.mark.parametrize("device", ["gpu", "cuda:x", "tpu", 0])
def test_unknown_device_is_refused(trained, device):
    with pytest.raises(runner.NorimError, match="device"):
        runner.get_bundle("P1", device)


def test_loaded_bundles_are_bounded(home, goods, monkeypatch):
    monkeypatch.setattr(loaded, "MAX_BUNDLES", 2)
    first = {}
    for name in ("a", "b", "c"):
        runner.train("P1", goods[:4], name=name)
        first[name] = runner.get_bundle(name)
    assert runner.get_bundle("c") is first["c"]
    # The least recently used one was dropped: asking again loads it anew.
    assert runner.get_bundle("a") is not first["a"] and runner.get_bundle("a")["name"] == "a"


def test_missing_bundle_names_where_it_looked(trained):
    with pytest.raises(runner.NorimError, match=r"not found.*products"):
        runner.get_bundle("nope")


def test_scores_separate_an_obvious_defect(trained, goods):
    bundle = runner.get_bundle("P1")
    good = runner.score_good_images(bundle, goods[8:10])
    bad = goods[9].copy()
    cv2.circle(bad, (65, 65), 14, (120, 120, 120), -1)  # the round part is missing
    cv2.line(bad, (5, 80), (90, 70), (20, 20, 20), 2)
    score, amap, parts = runner.score_image(bundle, bad, with_map=True)
    assert score > max(good) + 3
    assert amap[60:72, 60:72].max() > amap[5:20, 60:90].max()


def test_scoring_threads_never_fail_while_the_bundle_is_retrained(home, goods, monkeypatch):
    # A bundle as homes from before versions hold it: the retraining moves it to v1/ while threads score.
    named = runner.train("P1", goods[:4]).path.parent
    for f in ("bundle.json", "model.npz"):
        (named / "v1" / f).rename(named / f)
    (named / "v1").rmdir()
    (named / "current").unlink()
    real_replace = os.replace

    def slow_swap(src, dst):
        # Widens the gap between moving the old bundle away and moving the new one in.
        real_replace(src, dst)
        if ".old-" in str(dst):
            time.sleep(0.2)

    monkeypatch.setattr(os, "replace", slow_swap)
    stop = threading.Event()
    errors: list[BaseException] = []
    counts = [0, 0]

    def score(slot: int) -> None:
        while not stop.is_set():
            try:
                bundle = runner.get_bundle("P1")
                value, _, _ = runner.score_image(bundle, goods[9], with_map=slot == 0)
                assert math.isfinite(value)
                counts[slot] += 1
                time.sleep(0.002)
            except BaseException as exc:  # noqa: BLE001 - reported by the main thread
                errors.append(exc)
                return

    threads = [threading.Thread(target=score, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    try:
        runner.train("P1", goods[:5], activate=True)
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=10)
    assert errors == [] and min(counts) > 0
    assert runner.get_bundle("P1")["n_images"] == 5 and (named / "v1" / "bundle.json").is_file()
