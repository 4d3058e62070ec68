from __future__ import annotations

import numpy as np
import pytest

from qorva.demo import synthetic
from qorva.inspection.modules.norim import runner

SIZE = 128


@pytest.mark.parametrize(
    ("product", "kinds", "kind_of_model"),
    [
        pytest.param("assembly", ["scratch", "missing", "wrong_colour"], "gauss", id="assembly"),
        pytest.param("tray", ["spot", "missing", "extra"], "knn", id="tray"),
    ],
)
def test_model_separates_good_from_obvious_defects(home, product, kinds, kind_of_model):
    result = runner.train(product, synthetic.good_images(product, 12, seed=1, size=SIZE))
    assert result.kind == kind_of_model
    bundle = runner.get_bundle(product)
    calib = np.array(runner.score_good_images(bundle, synthetic.good_images(product, 10, seed=2, size=SIZE)))
    threshold = calib.mean() + 2 * calib.std()
    unseen = np.array(runner.score_good_images(bundle, synthetic.good_images(product, 10, seed=3, size=SIZE)))
    bad = synthetic.defect_images(product, 2, seed=4, kinds=kinds, size=SIZE)
    scores = {k: [] for k in kinds}
    for image, mask, kind in bad:
        score, amap, parts = runner.score_image(bundle, image, with_map=True)
        scores[kind].append(score)
        if kind in synthetic.STRUCTURAL_KINDS:
            # The map points at the defect: its hottest pixel lies on or next to the defect mask.
            y, x = np.unravel_index(amap.argmax(), amap.shape)
            assert mask[max(0, y - 8) : y + 9, max(0, x - 8) : x + 9].any()
    for kind, values in scores.items():
        assert min(values) > max(threshold, unseen.max()), kind


def test_logical_branch_alone_sees_two_parts_that_swapped_colours(home):
    runner.train("assembly", synthetic.good_images("assembly", 12, seed=1, size=SIZE))
    bundle = runner.get_bundle("assembly")
    unseen = [
        runner.score_image(bundle, im, with_map=False)[2]["logical"]
        for im in synthetic.good_images("assembly", 10, seed=3, size=SIZE)
    ]
    swapped = [
        runner.score_image(bundle, image, with_map=False)[2]["logical"]
        for image, _, _ in synthetic.defect_images("assembly", 3, seed=4, kinds=["swapped"], size=SIZE)
    ]
    assert min(swapped) > max(unseen)
