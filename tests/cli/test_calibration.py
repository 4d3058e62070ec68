"""Calibration that warns: a stale taught state is refused, everything else warns and goes on."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import cv2
import numpy as np
import pytest

from clitools import PRODUCT, goods, write_images
from qorva.calibration import outliers
from qorva.cli.__main__ import main
from qorva.home import use as use_home
from qorva.inspection.modules.norim import runner


@pytest.mark.parametrize(
    ("scores", "named"),
    [
        pytest.param([0.1, -0.4, 0.6, 0.2, -0.1, 0.9, 0.3, 5.0], [7], id="one-flat-image-at-5"),
        pytest.param([0.1, -0.4, 0.6, 0.2, -0.1, 0.9, 0.3, 1.9], [], id="a-high-good-sample-stays"),
        pytest.param([0.5] * 8, [], id="identical-samples"),
        pytest.param([0.1, 9.0, 0.2], [], id="too-few-to-tell"),
    ],
)
def test_outlier_rule_names_only_samples_far_above_the_others(scores, named):
    assert outliers(scores) == named


def _teach(home: Path, folder: Path, capsys, caplog) -> str:
    caplog.clear()
    assert main(["--home", str(home), "--quiet", "teach", "--product", PRODUCT, "--good", str(folder)]) == 0
    return capsys.readouterr().out + caplog.text


def test_teach_warns_of_few_samples_an_outlier_and_training_images(home: Path, tmp_path: Path, capsys, caplog):
    folder = tmp_path / "good"
    write_images(folder, goods(7, seed=2), "t")
    cv2.imwrite(str(folder / "flat.png"), np.full((128, 128, 3), 128, np.uint8))
    text = _teach(home, folder, capsys, caplog)
    assert "only 8 good samples: 20 or more" in text
    assert "1 good samples score far above the others" in text and "flat.png" in text
    assert "training images" not in text
    # The bundle was trained on goods(8, seed=1) (tests/cli/conftest.py): two of them given to teach.
    write_images(folder, goods(2, seed=1), "train")
    text = _teach(home, folder, capsys, caplog)
    assert "2 of 10 good samples are training images of bundle widget (train00.png, train01.png)" in text


def test_retraining_keeps_the_taught_version_until_taught_and_a_lost_version_is_stale(
    home: Path, teach_dir: Path, capsys, caplog
):
    image = write_images(home.parent / "img", goods(1, seed=9), "i")[0]
    inspect = ["--home", str(home), "--quiet", "inspect", "--product", PRODUCT, str(image)]

    def judged() -> tuple[int, float]:
        assert main([*inspect, "--format", "json"]) == 0
        (record,) = json.loads(capsys.readouterr().out)
        return record["model_version"], record["threshold"]

    _teach(home, teach_dir, capsys, caplog)
    first = judged()
    with use_home(home):
        runner.train(PRODUCT, goods(8, seed=4), home=home, backbone="none", quiet=True)
    assert judged() == first
    _teach(home, teach_dir, capsys, caplog)
    second = judged()
    assert second[0] == 2 and second[1] != first[1]
    shutil.rmtree(home / "products" / PRODUCT / "norim" / PRODUCT / "v2")
    assert main(inspect) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "stale" in err[0] and f"qorva teach --product {PRODUCT}" in err[0], err
    assert main([*inspect, "--allow-stale"]) == 0
    assert "stale" in caplog.text


def test_images_unlike_the_good_samples_are_warned_of_once(home: Path, teach_dir: Path, tmp_path: Path, capsys, caplog):
    _teach(home, teach_dir, capsys, caplog)
    folder = tmp_path / "line"
    folder.mkdir()
    for i, im in enumerate(goods(2, seed=5)):
        cv2.imwrite(str(folder / f"j{i}.jpg"), im)
    gray = cv2.cvtColor(goods(1, seed=6)[0], cv2.COLOR_BGR2GRAY)
    cv2.imwrite(str(folder / "k.png"), cv2.resize(gray, (96, 96)))
    caplog.clear()
    main(["--home", str(home), "--quiet", "inspect", "--product", PRODUCT, str(folder)])
    warned = [r.getMessage() for r in caplog.records if "not comparable" in r.getMessage()]
    assert [w.split(" has ")[1].split(",")[0] for w in warned] == ["encoding .jpg", "size 96x96", "channels gray"]
