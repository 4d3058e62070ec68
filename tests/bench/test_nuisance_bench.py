"""The production-day changes do what they say, trays and steady poses keep their promises, and the nuisance
bench runs end to end."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import realset  # noqa: E402
from realset import nuisance, tray  # noqa: E402
from realset.sets import Counts  # noqa: E402

B = nuisance.BORDER_PX


def _photo() -> np.ndarray:
    rng = np.random.default_rng(3)
    return cv2.GaussianBlur(rng.integers(20, 230, (96, 96, 3)).astype(np.uint8), (0, 0), 1.5)


@pytest.mark.parametrize("name", ["shift2", "shift4", "rot0.5", "rot1", "shift4k"])
def test_geometric_changes_move_the_picture_and_their_mask(name):
    img = _photo()
    out = nuisance.CHANGES[name](img, np.random.default_rng(1))
    inside = (slice(B, -B), slice(B, -B))
    ring = np.ones(img.shape[:2], bool)
    ring[inside] = False
    # Only the first measurements' shift keeps the border; the others move the whole frame.
    assert np.array_equal(out[ring], img[ring]) == (name == "shift4k")
    assert not np.array_equal(out[inside], img[inside])
    if name.startswith("shift"):
        px = int(name[5:].rstrip("k"))
        assert any(np.array_equal(out[inside], np.roll(img, s, axis=a)[inside]) for s in (px, -px) for a in (0, 1))
    mask = np.zeros(img.shape[:2], np.uint8)
    mask[40:56, 40:56] = 255
    moved = nuisance.move_mask(name, mask, np.random.default_rng(1))
    marked = nuisance.CHANGES[name](np.where(mask[..., None] > 0, 255, 0).astype(np.uint8), np.random.default_rng(1))
    assert np.array_equal(moved > 0, marked[..., 0] > 127)


@pytest.mark.parametrize(
    ("name", "level", "expected"), [("gain+10", 100, 110), ("gain-10", 100, 90), ("gain+10", 240, 255)]
)
def test_gain_scales_every_level_and_clips(name, level, expected):
    out = nuisance.CHANGES[name](np.full((8, 8, 3), level, np.uint8), np.random.default_rng(0))
    assert (out == expected).all()


def test_jpeg_changes_pixels_more_at_lower_quality():
    img = _photo()
    err = {q: np.abs(nuisance.CHANGES[f"jpeg{q}"](img, None).astype(int) - img).mean() for q in (95, 85, 75)}
    assert 0 < err[95] < err[85] < err[75]


def test_noise_on_a_grey_image_stays_grey_with_the_asked_sigma():
    img = np.full((128, 128, 3), 128, np.uint8)
    out = nuisance.CHANGES["noise3"](img, np.random.default_rng(0))
    assert np.array_equal(out[..., 0], out[..., 2]) and abs(out.std() - 3.0) < 0.2


@pytest.mark.parametrize("kind", tray.TRAY_KINDS)
def test_tray_fault_differs_from_its_twin_only_inside_its_mask(kind):
    (s,) = realset.sets.defect_samples("coin_tray", 1, kind, 1, pose="steady")
    diff = np.abs(s.image.astype(int) - s.good).max(2)
    assert (diff > 20).any() and s.mask.any() and not ((diff > 1) & (s.mask == 0)).any()  # 1: the soft edge rounded


def test_steady_pose_varies_far_less_than_the_usual_one():
    counts = Counts(train=4, teach=1, good=1, per_kind=1)

    def spread(pose):
        ims = [im.astype(np.float32) for im, _, _ in realset.make_set("coffee", 1, "train", counts, pose)]
        return np.mean([np.abs(a - b).mean() for a, b in zip(ims, ims[1:], strict=False)])

    assert spread("steady") < 0.3 * spread("usual")
    with pytest.raises(ValueError, match="texture"):
        realset.make_set("brick", 1, "train", counts, "steady")


def test_quick_nuisance_bench_runs_end_to_end(tmp_path):
    done = subprocess.run(
        [sys.executable, str(BENCH / "bench_nuisance.py"), "--quick", "--products", "coin_tray", "--seeds", "1",
         "--poses", "steady", "--json", "--cache", str(tmp_path)],
        capture_output=True, text=True, timeout=180,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    (row,) = json.loads(done.stdout)["rows"]
    assert "error" not in row, row
    assert list(row["fp"]) == list(nuisance.CHANGES) and set(row["checks"]) == set(nuisance.DEFECTS)
    assert all(v["n"] == realset.QUICK.good for v in row["fp"].values())
    assert all(v["n"] == v["asked"] == 3 * len(tray.TRAY_KINDS) for v in row["recall"].values())
    assert set(row["auroc_kinds"]) == set(tray.TRAY_KINDS) and 0 <= row["auroc"] <= 1
