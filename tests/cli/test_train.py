"""`qorva train` in process: the bundle and one summary line, and bad folders as one-line errors."""

from __future__ import annotations

from pathlib import Path

import pytest

from clitools import goods, write_images
from qorva.cli.__main__ import main


def test_train_command_writes_the_bundle_and_one_summary_line(tmp_path: Path, capsys):
    write_images(tmp_path / "good", goods(5, seed=1), "g")
    home = tmp_path / "home"
    assert main(["train", "--product", "P7", "--good", str(tmp_path / "good"), "--home", str(home)]) == 0
    out, err = capsys.readouterr()
    assert len(out.strip().splitlines()) == 1 and "5 images" in out and str(home) in out
    assert err == ""  # no terminal: no progress bar
    assert (home / "products" / "P7" / "norim" / "P7" / "v1" / "bundle.json").is_file()


@pytest.mark.parametrize(
    ("setup", "match"),
    [
        pytest.param(lambda d: None, "does not exist", id="missing-folder"),
        pytest.param(lambda d: d.mkdir(), "no images", id="empty-folder"),
        pytest.param(lambda d: (d.mkdir(), (d / "x.png").write_bytes(b"not a png")), "cannot decode", id="bad-file"),
        pytest.param(lambda d: (d.mkdir(), (d / "x.png").write_bytes(b"")), "is empty", id="zero-byte-file"),
    ],
)
def test_train_command_bad_input_is_one_line(tmp_path, capsys, setup, match):
    setup(tmp_path / "good")
    code = main(["train", "--product", "P7", "--good", str(tmp_path / "good"), "--home", str(tmp_path)])
    err = capsys.readouterr().err
    assert code == 1
    assert err.startswith("qorva: error: ") and match in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("args", [["--product", "other", "--name", "P7"], ["--product", "P7"]],
                         ids=["named-like-a-bundle", "product-id-is-a-bundle-name"])
def test_train_refuses_a_bundle_name_that_another_product_uses(tmp_path, capsys, args):
    home = tmp_path / "home"
    owner = "P7" if args[1] == "other" else "first"
    (home / "products" / owner / "norim" / "P7").mkdir(parents=True)
    (home / "products" / owner / "norim" / "P7" / "bundle.json").write_text("{}")
    assert main(["train", *args, "--good", str(tmp_path / "absent"), "--home", str(home)]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert err == [f"qorva: error: bundle name 'P7' is already used by product '{owner}'; choose another --name"]
