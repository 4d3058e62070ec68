"""Scores pinned by bundles made with earlier code (see pinned/README.md): stored bundles of formats 2, 3 and 4 score
as they did, and training the same images with the same seed gives the same scores."""

from __future__ import annotations

import hashlib
import json
import shutil
from pathlib import Path

import cv2
import numpy as np
import pytest

from qorva.demo import synthetic
from qorva.inspection.modules.norim import runner

PINNED = Path(__file__).parent / "pinned"
EXPECTED = json.loads((PINNED / "expected.json").read_text(encoding="utf-8"))
# Float rounding only: the same model computed in another order.
CLOSE = {"rel": 1e-5, "abs": 1e-6}


def _images() -> dict[str, np.ndarray]:
    names = EXPECTED["F2"]["images"]
    return {n: cv2.imread(str(PINNED / "images" / n), cv2.IMREAD_COLOR) for n in names}


@pytest.mark.parametrize(
    ("folder", "pid", "branches", "backbone"),
    [
        ("format2", "F2", ("patch", "global", "logical"), "none"),
        ("format3", "F3", ("deep", "patch", "global", "logical"), "lite0"),
        ("format4", "F4", ("deep", "patch"), "lite0"),
    ],
)
def test_a_stored_bundle_scores_as_when_it_was_made(folder, pid, branches, backbone, tmp_path, monkeypatch):
    shutil.copytree(PINNED / folder / "products", tmp_path / "products")
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    info = runner.bundle_info(pid)
    assert (info.product_id, info.branches, info.backbone, info.n_images) == (pid, branches, backbone, 8)
    bundle = runner.get_bundle(pid)
    images = _images()
    assert runner.training_images(bundle, list(images.values())) == [list(images).index("trained.png")]
    for name, want in EXPECTED[pid]["images"].items():
        score, amap, parts = runner.score_image(bundle, images[name], with_map=True)
        assert score == pytest.approx(want["score"], **CLOSE), name
        assert parts == pytest.approx(want["parts"], **CLOSE) and list(parts) == list(want["parts"]), name
        assert list(amap.shape) == want["map_shape"] and int(amap.argmax()) == want["map_argmax"], name
        assert amap.astype(np.float64).sum() == pytest.approx(want["map_sum"], **CLOSE), name
        assert float(amap.max()) == pytest.approx(want["map_max"], **CLOSE), name
    assert runner.score_good_images(bundle, list(images.values())) == pytest.approx(
        EXPECTED[pid]["score_good_images"], **CLOSE
    )


def _sets(product: str) -> tuple[list[np.ndarray], list[np.ndarray]]:
    """The training images and the scored ones: two training images, two unseen good ones, two defects."""
    train = synthetic.good_images(product, 8, seed=11, size=128)
    scored = [*train[:2], *synthetic.good_images(product, 2, seed=12, size=128)]
    scored += [synthetic.defect_image(product, kind, seed=13, size=128)[0] for kind in ("spot", "missing")]
    return train, scored


@pytest.mark.parametrize("case", list(EXPECTED["trained"]))
def test_training_the_same_images_with_the_same_seed_gives_the_pinned_scores(case, tmp_path, monkeypatch):
    want = EXPECTED["trained"][case]
    train, scored = _sets(want["product"])
    digest = hashlib.blake2b(b"".join(i.tobytes() for i in train + scored), digest_size=16).hexdigest()
    assert digest == want["images_blake2b"], "the synthetic images changed, not the model: pin them anew"
    result = runner.train(case, train, home=tmp_path, backbone=want["backbone"], augment=want["augment"], seed=5)
    assert (result.kind, list(result.branches)) == (want["kind"], want["branches"])
    meta = json.loads((result.path / "bundle.json").read_text(encoding="utf-8"))
    assert meta.get("validation") == pytest.approx(want["validation"], abs=1e-4)
    for key in ("heldout_log1p_mean", "heldout_log1p_std"):
        assert meta[key] == pytest.approx(want[key], **CLOSE), key
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    assert runner.score_good_images(runner.get_bundle(case), scored) == pytest.approx(want["scores"], **CLOSE)
