"""One watch serving several products, by subfolder or by file name, each judged with its own state."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from clitools import PRODUCT, SIZE, defect, goods, run_qorva, write_images
from qorva.demo import synthetic
from qorva.home import use as use_home
from qorva.inspection.modules.norim import runner
from qorva.products import load_state, save_state

OTHER = "gadget"


def _textures(n: int, seed: int) -> list:
    return synthetic.good_images("texture", n, seed, size=SIZE)


@pytest.fixture
def two(home: Path) -> Path:
    """The taught home with a second product, of another kind and threshold."""
    from qorva.inspection.modules.norim.inspector import NorimInspector

    with use_home(home):
        runner.train(OTHER, _textures(8, seed=1), home=home, backbone="none")
        save_state(home, NorimInspector().teach(_textures(8, seed=2), {"product_id": OTHER, "sigma": 3.0}))
    return home


def _drop(drop: Path, mode: str) -> list[str]:
    """The images of both products (and, by name, a file of no product served); the extra options."""
    if mode == "subfolder":
        write_images(drop / PRODUCT, [*goods(2, seed=60), defect("scratch")], "w")
        write_images(drop / OTHER, _textures(2, seed=61), "g")
        return []
    write_images(drop, [*goods(2, seed=60), defect("scratch")], f"{PRODUCT}_")
    write_images(drop, _textures(2, seed=61), f"{OTHER}_")
    write_images(drop, goods(1, seed=62), "stray_")
    return ["--product-pattern", r"^(?P<product>[a-z]+)_"]


@pytest.mark.parametrize("mode", ["subfolder", "by-name"])
def test_one_watch_serves_several_products_each_with_its_own_threshold(two: Path, tmp_path: Path, mode: str):
    drop = tmp_path / "drop"
    drop.mkdir()
    extra = _drop(drop, mode)
    n = 5 if mode == "subfolder" else 6
    done = run_qorva("watch", "--product", PRODUCT, "--product", OTHER, "--folder", drop, "--ready-policy", "none",
                     "--max-images", n, "--format", "jsonl", "--quiet", *extra, "--home", two)
    assert done.rc == 0, done.err
    rows = [json.loads(line) for line in done.out.splitlines()]
    thresholds = {p: round(load_state(two, p).threshold, 4) for p in (PRODUCT, OTHER)}
    assert thresholds[PRODUCT] != thresholds[OTHER]
    judged = {(r["product_id"], r["source_file"][0], r["verdict"], r["threshold"]) for r in rows}
    expected = {(PRODUCT, "w", "OK", thresholds[PRODUCT]), (PRODUCT, "w", "NG", thresholds[PRODUCT]),
                (OTHER, "g", "OK", thresholds[OTHER])}
    if mode == "by-name":  # the stray file is one row, of no product, saying why
        expected |= {("?", "s", "ERROR", None)}
        stray = next(r for r in rows if r["product_id"] == "?")
        assert "no product for this file: its name does not match --product-pattern" in stray["error_message"]
    assert judged == expected
    summary = done.err.splitlines()[-1]
    assert f"{PRODUCT}: OK 2, NG 1, ERROR 0; {OTHER}: OK 2, NG 0, ERROR 0" in summary, summary
    if mode == "subfolder":
        assert all((drop / p / "_processed").is_dir() for p in (PRODUCT, OTHER))
        report = run_qorva("report", "--out", tmp_path / "r", "--home", two)
        assert report.rc == 0 and "per product" in (tmp_path / "r" / "report.html").read_text(encoding="utf-8")
