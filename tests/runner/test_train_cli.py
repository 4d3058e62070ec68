from __future__ import annotations

import cv2
import numpy as np
import pytest

from qorva.cli.__main__ import main
from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner.model import normalise


def _write(folder, images):
    folder.mkdir(parents=True, exist_ok=True)
    for i, img in enumerate(images):
        cv2.imwrite(str(folder / f"g{i:02d}.png"), img)


def test_train_command_writes_the_bundle_and_one_summary_line(tmp_path, goods, capsys):
    _write(tmp_path / "good", goods[:5])
    home = tmp_path / "home"
    assert main(["train", "--product", "P7", "--good", str(tmp_path / "good"), "--home", str(home)]) == 0
    out, err = capsys.readouterr()
    assert len(out.strip().splitlines()) == 1 and "5 images" in out and str(home) in out
    assert err == ""  # no terminal: no progress bar
    assert (home / "products" / "P7" / "norim" / "P7" / "bundle.json").is_file()
    listing = (home / "_train" / "norim" / "P7" / "train_list.json").read_text()
    assert "g04.png" in listing


@pytest.mark.parametrize(
    ("setup", "match"),
    [
        pytest.param(lambda d: None, "does not exist", id="missing-folder"),
        pytest.param(lambda d: d.mkdir(), "no images", id="empty-folder"),
        pytest.param(lambda d: (d.mkdir(), (d / "x.png").write_bytes(b"not a png")), "cannot decode", id="bad-file"),
    ],
)
def test_train_command_bad_input_is_one_line(tmp_path, capsys, setup, match):
    setup(tmp_path / "good")
    code = main(["train", "--product", "P7", "--good", str(tmp_path / "good"), "--home", str(tmp_path)])
    err = capsys.readouterr().err
    assert code == 1
    assert err.startswith("qorva: error: ") and match in err and len(err.strip().splitlines()) == 1


def test_retraining_reuses_cached_features(home, goods, monkeypatch):
    runner.train("P1", goods[:5])
    calls = []
    from qorva.inspection.modules.norim.runner import training

    real = training.patch_features
    monkeypatch.setattr(training, "patch_features", lambda w: calls.append(1) or real(w))
    runner.train("P1", goods[:6])
    assert len(calls) == 1


def test_training_images_score_as_when_held_out(home, goods):
    result = runner.train("P1", goods[:6])
    bundle = runner.get_bundle("P1")
    in_sample = np.array(runner.score_good_images(bundle, goods[:6]))
    model = bundle.model
    z = normalise(model, result.heldout_raw)
    np.testing.assert_allclose(in_sample, z.max(1), rtol=1e-6)
    # A copy with one pixel changed is no longer the training image.
    other = goods[0].copy()
    other[0, 0] ^= 1
    assert runner.score_good_images(bundle, [other])[0] != pytest.approx(in_sample[0])
