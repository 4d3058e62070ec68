"""`qorva train` on awkward but legal folders: each trains, or ends with one line that says why, never a traceback."""

from __future__ import annotations

from pathlib import Path

import cv2
import numpy as np
import pytest

from qorva.cli.__main__ import main
from qorva.inspection.modules.norim import runner


def _flat(rng, i):
    return np.full((64, 64, 3), 128, np.uint8)


def _noise(rng, i):
    return rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)


def _filling(rng, i):
    # One object filling the frame: its part box spans the whole image (and a grain line across it).
    img = np.full((96, 96, 3), (40, 90, 160), np.uint8)
    cv2.line(img, (0, 40 + i), (95, 44 + i), (200, 200, 200), 2)
    return img


def _many_parts(rng, i):
    # Hundreds of small parts.
    img = np.full((256, 256, 3), 30, np.uint8)
    for y in range(6, 256, 12):
        for x in range(6, 256, 12):
            cv2.circle(img, (x + int(rng.integers(-1, 2)), y), 3, (220, 180, 60), -1)
    return img


def _board(rng, i, shape=(96, 96)):
    img = np.full((*shape, 3), 120, np.uint8)
    h, w = shape
    cv2.rectangle(img, (w // 8, h // 8), (w // 2, h // 2), (40, 40, 200), -1)
    cv2.circle(img, (2 * w // 3, 2 * h // 3), min(h, w) // 7, (200, 120, 30), -1)
    return np.clip(img + rng.normal(0.0, 3.0, img.shape), 0, 255).astype(np.uint8)


def _tiny(rng, i):
    return _board(rng, i, (32, 32))


def _huge(rng, i):
    return _board(rng, i, (3000, 4000) if i == 0 else (96, 128))


def _grey(rng, i):
    return cv2.cvtColor(_board(rng, i), cv2.COLOR_BGR2GRAY)


def _sixteen_bit(rng, i):
    return _board(rng, i).astype(np.uint16) * 257


# The contents that the painted defects and validation of the pretrained model must survive; the files that the
# reader turns into ordinary images train the weight-free model (the same working images follow).
_PRETRAINED = pytest.mark.pretrained
CASES = [
    *(pytest.param(f, marks=_PRETRAINED, id=f.__name__.strip("_")) for f in (_flat, _noise, _filling, _many_parts)),
    *(pytest.param(f, id=f.__name__.strip("_")) for f in (_tiny, _huge, _grey, _sixteen_bit)),
]


@pytest.mark.parametrize("make", CASES)
def test_train_on_awkward_images_trains_or_says_why_in_one_line(tmp_path: Path, capsys, make):
    folder = tmp_path / "good"
    folder.mkdir()
    rng = np.random.default_rng(3)
    for i in range(5):
        assert cv2.imwrite(str(folder / f"g{i}.png"), make(rng, i))
    code = main(["train", "--product", "P", "--good", str(folder), "--home", str(tmp_path / "home")])
    out, err = capsys.readouterr()
    if code == 0:
        assert "5 images" in out and runner.bundle_info("P", home=tmp_path / "home").n_images == 5
    else:
        assert err.startswith("qorva: error: ") and len(err.strip().splitlines()) == 1, err
