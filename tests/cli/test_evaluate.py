"""Threshold control in teach, and evaluate's figures against the verdicts the line gives the same images."""

from __future__ import annotations

import json
import statistics
from pathlib import Path

import cv2
import numpy as np
import pytest

from clitools import PRODUCT, SIZE, goods, write_images
from qorva.cli.__main__ import main
from qorva.demo import synthetic
from qorva.products import load_calibration, load_state


def _cli(home: Path, *args: object) -> int:
    return main(["--home", str(home), "--quiet", *map(str, args)])


def _bad(folder: Path, kind: str, n: int, *, masks: bool) -> Path:
    pairs = [synthetic.defect_image("assembly", kind, 7, index=i, size=SIZE) for i in range(n)]
    write_images(folder, [p[0] for p in pairs], kind)
    if masks:
        write_images(folder / "masks", [p[1] for p in pairs], kind)
    return folder


def _verdicts(home: Path, folder: Path, capsys) -> list[str]:
    capsys.readouterr()
    main(["--home", str(home), "--quiet", "inspect", "--product", PRODUCT, "--format", "json", str(folder)])
    return [r["verdict"] for r in json.loads(capsys.readouterr().out)]


@pytest.mark.parametrize(("how", "source"), [
    pytest.param(["--threshold", "1.5"], "manual", id="manual"),
    pytest.param(["--target-fp", "25%"], "target-fp 25%", id="target-fp-seen-on-the-samples"),
    pytest.param(["--target-fp", "1%"], "target-fp 1%", id="target-fp-by-a-normal-fit"),
    pytest.param(["--bad"], "between good and bad", id="between-good-and-bad"),
])
def test_teach_sets_the_threshold_the_way_asked(home: Path, teach_dir: Path, tmp_path: Path, how, source, capsys):
    bad = _bad(tmp_path / "bad", "missing", 4, masks=False)
    extra = [bad] if how == ["--bad"] else []
    assert _cli(home, "teach", "--product", PRODUCT, "--good", teach_dir, *how, *extra) == 0
    state, chosen = load_state(home, PRODUCT), load_calibration(home, PRODUCT)["threshold"]
    good = np.array(state.params["good_scores"])
    assert chosen["source"] == source and state.params["threshold_source"] == "good_mean+sigma*std"
    if how[0] == "--threshold":
        assert state.threshold == pytest.approx(1.5, abs=1e-9)
    elif how[0] == "--bad":  # what teach recorded is what the line then does with those images
        assert _verdicts(home, bad, capsys).count("NG") / 4 == chosen["recall"] > 0.5
    elif how[1] == "25%":
        assert state.params["expected_fp_count"] == 2  # 25% of the 8 samples, and no more
    else:
        expected = good.mean() + statistics.NormalDist().inv_cdf(0.99) * good.std()
        assert chosen["fit"] == "normal" and state.threshold == pytest.approx(expected, abs=1e-3)


def test_evaluate_figures_are_the_verdicts_the_line_gives(home: Path, tmp_path: Path, capsys):
    good = tmp_path / "good"
    write_images(good, goods(8, seed=30), "g")
    cv2.imwrite(str(good / "flat.png"), np.full((SIZE, SIZE, 3), 90, np.uint8))  # a good image judged NG
    folders = [_bad(tmp_path / "scratch", "scratch", 5, masks=True), _bad(tmp_path / "swapped", "swapped", 5,
                                                                         masks=False)]
    out = tmp_path / "report"
    capsys.readouterr()
    args = ["evaluate", "--product", PRODUCT, "--good", good, *(a for f in folders for a in ("--bad", f))]
    assert _cli(home, *args, "--format", "json", "--out", out) == 0
    fig = json.loads(capsys.readouterr().out)["figures"]
    judged = {f.name: _verdicts(home, f, capsys) for f in [good, *folders]}
    assert fig["fp_rate"] == pytest.approx(judged["good"].count("NG") / 9) and fig["version"] == 1
    for f in folders:
        assert fig["folders"][f.name]["recall"] == pytest.approx(judged[f.name].count("NG") / 5)
    assert fig["folders"]["scratch"]["pixel_auroc"] > 0.5 and fig["folders"]["swapped"]["pixel_auroc"] is None
    assert (out / "evaluation.html").is_file() and (out / "roc.png").is_file()
    misjudged = judged["good"].count("NG") + sum(judged[f.name].count("OK") for f in folders)
    assert len(list((out / "images").glob("*.png"))) == misjudged
    assert _cli(home, "models", "--product", PRODUCT) == 0
    assert f"AUROC {fig['image_auroc']:.3f}" in capsys.readouterr().out


def test_evaluate_compares_a_shadow_version(home: Path, teach_dir: Path, tmp_path: Path, capsys):
    from qorva.home import use as use_home
    from qorva.inspection.modules.norim import runner

    with use_home(home):
        runner.train(PRODUCT, goods(8, seed=4), home=home, backbone="none")
    # Version 2 taught to pass everything: it disagrees on exactly the images version 1 judges NG.
    assert _cli(home, "teach", "--product", PRODUCT, "--good", teach_dir, "--candidate", "--threshold", "1e5") == 0
    bad = _bad(tmp_path / "missing", "missing", 4, masks=False)
    capsys.readouterr()
    assert _cli(home, "evaluate", "--product", PRODUCT, "--good", teach_dir, "--bad", bad, "--shadow", "2",
                "--format", "json", "--out", tmp_path / "r") == 0
    agreed = json.loads(capsys.readouterr().out)["agreement"]
    ng = _verdicts(home, teach_dir, capsys).count("NG") + _verdicts(home, bad, capsys).count("NG")
    assert (agreed["ng_here_ok_there"], agreed["ok_here_ng_there"], agreed["n"] - agreed["agree"]) == (ng, 0, ng)
