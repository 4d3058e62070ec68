"""A product judged on part of the picture: what lies outside its rectangle or inside its ignore mask never
counts, what lies inside is found where it is, and an image that does not fit says why."""

from __future__ import annotations

import logging

import cv2
import numpy as np
import pytest

from clitools import write_images
from qorva.cli.__main__ import main
from qorva.inspection.modules.norim import runner

ROI = (4, 4, 88, 88)
# Anything goes over the circle (the board's second part).
IGNORE = np.zeros((96, 96), np.uint8)
IGNORE[44:90, 44:90] = 255


@pytest.fixture(scope="module")
def region_home(tmp_path_factory: pytest.TempPathFactory, goods):
    home = tmp_path_factory.mktemp("region")
    runner.train("R1", goods[:8], home=home, backbone="none", roi=ROI, ignore=IGNORE)
    return home


def _painted(good: np.ndarray, where: tuple[int, int, int, int]) -> np.ndarray:
    img = good.copy()
    x, y, w, h = where
    img[y : y + h, x : x + w] = (0, 255, 0)
    return img


@pytest.mark.parametrize(
    ("where", "counts"),
    [
        pytest.param((0, 0, 4, 96), False, id="outside-the-rectangle"),
        pytest.param((55, 55, 20, 20), False, id="inside-the-ignore-mask"),
        pytest.param((15, 15, 20, 20), True, id="judged"),
    ],
)
def test_only_the_judged_part_counts_and_the_map_sits_where_it_was_found(
    region_home, monkeypatch, goods, where, counts
):
    monkeypatch.setenv("QORVA_HOME", str(region_home))
    bundle = runner.get_bundle("R1")
    clean, _, _ = runner.score_image(bundle, goods[9], with_map=False)
    score, amap, _ = runner.score_image(bundle, _painted(goods[9], where), with_map=True)
    assert amap.shape == (96, 96)
    assert not amap[:4].any() and not amap[:, :4].any() and not amap[92:].any()  # outside the rectangle
    assert not amap[48:86, 48:86].any()  # inside the ignore mask
    if counts:
        assert score > clean + 1.0
        y, x = np.unravel_index(np.argmax(amap), amap.shape)
        assert 10 <= x <= 40 and 10 <= y <= 40
    else:
        assert score == pytest.approx(clean, abs=0.5)


def test_the_region_is_kept_with_the_bundle_and_another_size_says_why(region_home, monkeypatch, goods):
    monkeypatch.setenv("QORVA_HOME", str(region_home))
    roi, ignore = runner.bundle_region("R1", region_home)
    assert roi == ROI and ignore.shape == IGNORE.shape and (ignore > 0).sum() == (IGNORE > 0).sum()
    with pytest.raises(runner.NorimError, match=r"image is 120x96 but this product's region \(4,4,88,88\)"):
        runner.score_image(runner.get_bundle("R1"), cv2.resize(goods[9], (120, 96)),
                           with_map=True)  # fmt: skip


def test_a_product_without_region_says_once_that_an_image_is_resized(trained, caplog, goods):
    bundle = runner.get_bundle("P1")
    other = cv2.resize(goods[9], (128, 96))
    with caplog.at_level(logging.WARNING, logger="qorva.inspection.norim.runner"):
        for _ in range(3):
            runner.score_image(bundle, other, with_map=False)
    told = [r for r in caplog.records if "resized to fit" in r.getMessage()]
    assert len(told) == 1 and "96x96" in told[0].getMessage() and "128x96" in told[0].getMessage()


@pytest.mark.parametrize(
    ("args", "match"),
    [
        pytest.param(["--roi", "1,2,3"], "four whole numbers", id="roi-not-four"),
        pytest.param(["--roi", "90,0,40,40"], "does not fit in the 96x96 images", id="roi-beyond"),
        pytest.param(["--ignore", "MASK50"], "the ignore mask is 50x50", id="mask-size"),
    ],
)
def test_train_refuses_a_region_that_cannot_be_judged_in_one_line(tmp_path, capsys, goods, args, match):
    write_images(tmp_path / "good", goods[:5], "g")
    cv2.imwrite(str(tmp_path / "m.png"), np.full((50, 50), 255, np.uint8))
    args = [str(tmp_path / "m.png") if a == "MASK50" else a for a in args]
    try:
        code = main(["train", "--product", "R2", "--good", str(tmp_path / "good"), "--backbone", "none",
                     "--home", str(tmp_path / "home"), *args])  # fmt: skip
    except SystemExit as exc:  # an option argparse refuses
        code = exc.code
    err = capsys.readouterr().err
    assert code in (1, 2) and match in err.strip().splitlines()[-1]


def test_retraining_keeps_the_region_until_told_otherwise(tmp_path, capsys, goods):
    write_images(tmp_path / "good", goods[:5], "g")
    base = ["train", "--product", "R3", "--good", str(tmp_path / "good"), "--backbone", "none", "--home",
            str(tmp_path / "home")]  # fmt: skip
    assert main([*base, "--roi", "4,4,88,88"]) == 0
    assert main(base) == 0
    assert "roi kept from the current version" in capsys.readouterr().out
    assert runner.bundle_region("R3", tmp_path / "home")[0] == ROI
    assert main([*base, "--roi", "none"]) == 0
    assert runner.bundle_region("R3", tmp_path / "home") == (None, None)
