"""Alignment before the features: registration finds a move and a turn (a local defect barely moves it), the light's
level is undone within a production day's range and no further, and what the camera did not see is filled in."""

from __future__ import annotations

import cv2
import numpy as np
import pytest

from qorva.inspection.modules.norim.runner.inputs import align
from qorva.inspection.modules.norim.runner.training import nuisances


def _scene(rng: np.random.Generator) -> np.ndarray:
    """A fixed layout at working size: a few parts on a textured board, a little sensor noise."""
    img = cv2.GaussianBlur(rng.integers(60, 120, (256, 256, 3)).astype(np.uint8), (0, 0), 3)
    parts = (((70, 80), 30, (30, 30, 200)), ((180, 90), 22, (200, 160, 40)), ((130, 190), 40, (90, 220, 90)))
    for centre, r, colour in parts:
        cv2.circle(img, centre, r, colour, -1)
    cv2.rectangle(img, (20, 200), (70, 240), (230, 230, 230), -1)
    return nuisances.noise(img, rng, 1.0)


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(2)
    base = _scene(rng)
    goods = [nuisances.noise(nuisances.moved(base, *rng.uniform(-0.5, 0.5, 2), rng.uniform(-0.2, 0.2)), rng, 1.0)
             for _ in range(12)]  # fmt: skip
    alignment, offsets = align.fit(goods, True, True)
    return base, alignment, offsets


@pytest.mark.parametrize(("dx", "dy", "deg", "defect"), [(3.0, -2.0, 0.0, False), (0.0, 0.0, 1.0, False),
                                                        (-4.0, 1.0, -0.8, False), (3.0, -2.0, 0.0, True)])  # fmt: skip
def test_registration_finds_the_move_and_turn_and_undoes_them(fitted, dx, dy, deg, defect):
    base, alignment, offsets = fitted
    assert np.abs(offsets[:, :2]).max() < 1.0 and alignment.reference is not None
    image = base.copy()
    if defect:
        cv2.circle(image, (200, 200), 14, (0, 0, 0), -1)  # a dark spot where the board was
    moved = nuisances.moved(image, dx, dy, deg)
    (aligned,), found, _ = alignment.apply([moved])
    np.testing.assert_allclose(found[0], [dx, dy, deg], atol=0.35)
    inner = (slice(20, -20), slice(20, -20))
    assert np.abs(aligned[inner].astype(int) - image[inner]).mean() < 6
    assert alignment.beyond(found)[0] == (max(abs(dx), abs(dy)) > alignment.limit[0] or abs(deg) > alignment.limit[2])


def test_what_the_camera_did_not_see_is_what_training_showed_there(fitted):
    base, alignment, _ = fitted
    (aligned,), _, unseen = alignment.apply([nuisances.moved(base, 6.0, 0.0, 0.0)])
    # Moved right, the picture left nothing to see at its right edge once moved back: that strip is filled from the
    # training images' mean, not smeared; the cells mostly made of it are not judged, the others are.
    strip = aligned[30:220, -5:].astype(int)
    assert np.abs(strip - alignment.mean[30:220, -5:]).mean() < 4
    assert np.abs(strip - base[30:220, -5:]).mean() < 12
    assert unseen[0, 4:-4, -1].all() and not unseen[0, :, :-1].any()


@pytest.mark.parametrize(("factor", "undone"), [(1.1, True), (0.9, True), (0.5, False)])
def test_the_lights_level_is_undone_within_a_production_days_range(fitted, factor, undone):
    base, alignment, _ = fitted
    lit = align.light(nuisances.gain(base, factor), alignment.levels)
    error = np.abs(lit.astype(int) - base).mean()
    assert (error < 2.5) == undone, error
