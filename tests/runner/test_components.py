from __future__ import annotations

import cv2
import numpy as np
import pytest

from qorva.inspection.modules.norim.runner.inputs import components
from qorva.inspection.modules.norim.runner.inputs.filters import opponent

_RED, _BLUE, _GREY = (40, 40, 200), (200, 90, 40), (120, 120, 120)


def _two_parts(left: tuple[int, int, int], right: tuple[int, int, int]) -> np.ndarray:
    img = np.full((256, 256, 3), _GREY, np.uint8)
    cv2.rectangle(img, (30, 40), (80, 70), left, -1)
    cv2.rectangle(img, (176, 40), (226, 70), right, -1)
    return img


def _palette() -> np.ndarray:
    colours = np.array([_GREY, _RED, _BLUE], np.uint8).reshape(1, 3, 3)
    return opponent(colours).reshape(3, 3)


def _entries(desc: np.ndarray, colour: int) -> np.ndarray:
    return desc[colour * components.PER_COLOUR : (colour + 1) * components.PER_COLOUR]


@pytest.mark.parametrize("colour", [pytest.param(1, id="red"), pytest.param(2, id="blue")])
def test_swapped_parts_keep_counts_and_areas_but_move_the_centre(colour):
    good = components.descriptor(_two_parts(_RED, _BLUE), _palette(), 1e-3)
    swapped = components.descriptor(_two_parts(_BLUE, _RED), _palette(), 1e-3)
    a, b = _entries(good, colour), _entries(swapped, colour)
    np.testing.assert_allclose(a[:4], b[:4])
    assert abs(a[4] - b[4]) > 0.5 and a[5] == pytest.approx(b[5], abs=1e-3)
    # Centres are in image units: the red part sits on the left, near x = 55/256.
    assert _entries(good, 1)[4] == pytest.approx(55.5 / 256, abs=0.01)


def test_a_missing_colour_has_a_finite_centre():
    desc = components.descriptor(_two_parts(_RED, _RED), _palette(), 1e-3)
    blue = _entries(desc, 2)
    assert blue[0] == 0 and np.isfinite(desc).all()
