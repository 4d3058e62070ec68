from __future__ import annotations

import numpy as np
import pytest

from qorva.demo import synthetic

CASES = [(p, k) for p, info in synthetic.PRODUCTS.items() for k in info.kinds]


@pytest.mark.parametrize("product", list(synthetic.PRODUCTS))
def test_good_images_are_deterministic_and_vary(product):
    a = synthetic.good_images(product, 3, seed=5, size=64)
    b = synthetic.good_images(product, 3, seed=5, size=64)
    assert all(x.shape == (64, 64, 3) and x.dtype == np.uint8 for x in a)
    assert all(np.array_equal(x, y) for x, y in zip(a, b, strict=True))
    assert not np.array_equal(a[0], a[1])
    assert not np.array_equal(a[0], synthetic.good_images(product, 1, seed=6, size=64)[0])


@pytest.mark.parametrize(("product", "kind"), CASES, ids=[f"{p}-{k}" for p, k in CASES])
def test_defect_changes_the_pixels_its_mask_marks(product, kind):
    image, mask = synthetic.defect_image(product, kind, seed=1, size=128)
    again, mask2 = synthetic.defect_image(product, kind, seed=1, size=128)
    assert np.array_equal(image, again) and np.array_equal(mask, mask2)
    assert mask.shape == (128, 128) and mask.dtype == np.uint8 and set(np.unique(mask)) <= {0, 255}
    assert (mask > 0).any()
    if kind in synthetic.STRUCTURAL_KINDS:
        # Local defects stay local.
        assert (mask > 0).mean() < 0.1


def test_defect_images_gives_n_per_kind_in_order():
    out = synthetic.defect_images("tray", 2, seed=0, kinds=["spot", "missing"], size=64)
    assert [k for _, _, k in out] == ["spot", "spot", "missing", "missing"]
    assert not np.array_equal(out[0][0], out[1][0])


@pytest.mark.parametrize(
    ("call", "match"),
    [
        pytest.param(lambda: synthetic.good_images("nope", 1, 0), "unknown", id="unknown-product"),
        pytest.param(lambda: synthetic.defect_image("texture", "missing", 0), "no defect kind", id="kind-not-there"),
        pytest.param(lambda: synthetic.good_images("tray", 1, 0, size=8), "at least", id="too-small"),
    ],
)
def test_bad_arguments_are_refused(call, match):
    with pytest.raises(ValueError, match=match):
        call()
