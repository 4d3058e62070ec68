"""Each command through a real `qorva` process: the happy path and the errors a user meets first."""

from __future__ import annotations

import argparse
import csv
import io
import json
from pathlib import Path

import pytest

from clitools import PRODUCT, defect, goods, run_qorva, write_images
from qorva.cli.__main__ import COMMANDS, build_parser
from qorva.home import db_path, state_path
from qorva.inspection.base import ModelState
from qorva.results import ResultStore, Row


def assert_one_line_error(done, *needles: str) -> None:
    assert done.rc == 1, done.err
    lines = done.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("qorva: error: "), done.err
    for n in needles:
        assert n in lines[0]


def test_every_command_and_option_is_documented():
    parser = build_parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    assert set(sub.choices) == set(COMMANDS)
    helps = {a.dest: a.help for a in sub._choices_actions}
    for name, cmd in sub.choices.items():
        assert helps.get(name), f"{name} has no one-line help"
        assert cmd.description, f"{name} has no description"
        undocumented = [a.option_strings for a in cmd._actions if not a.help]
        assert not undocumented, f"{name}: options without help {undocumented}"


def test_teach_stores_the_state_and_prints_the_calibration(home: Path, teach_dir: Path):
    state_path(home, PRODUCT).unlink()
    done = run_qorva("teach", "--product", PRODUCT, "--good", teach_dir, "--sigma", "3", "--home", home)
    assert done.rc == 0, done.err
    state = ModelState.from_json(state_path(home, PRODUCT).read_text(encoding="utf-8"))
    assert state.params["sigma"] == 3.0 and state.params["n_good"] == 8
    assert f"{state.threshold:.4f}" in done.out
    assert "sigma for none" in done.out and str(state_path(home, PRODUCT)) in done.out.splitlines()[-1]


@pytest.mark.parametrize(
    ("args", "needles"),
    [
        pytest.param(["--product", "nope"], ["unknown product 'nope'", "qorva train"], id="unknown-product"),
        pytest.param(["--product", "../etc"], ["product id"], id="unsafe-product-id"),
        pytest.param(["--product", PRODUCT, "--weights", "nosuch"], ["nosuch"], id="missing-bundle"),
        pytest.param(["--product", PRODUCT, "--good", "/no/such/dir"], ["/no/such/dir"], id="missing-folder"),
    ],
)
def test_teach_errors_are_one_line(home: Path, teach_dir: Path, args: list[str], needles: list[str]):
    if "--good" not in args:
        args = [*args, "--good", str(teach_dir)]
    done = run_qorva("teach", *args, "--home", home)
    assert_one_line_error(done, *needles)
    assert "Traceback" not in done.err


def test_inspect_judges_each_image_and_writes_ng_overlays(home: Path, tmp_path: Path):
    good = write_images(tmp_path / "in", goods(2, seed=9), "good")
    bad = write_images(tmp_path / "in", [defect("scratch"), defect("spot")], "bad")
    out = tmp_path / "overlays"
    done = run_qorva("inspect", "--product", PRODUCT, *good, *bad, "--overlays", out, "--home", home)
    assert done.rc == 0, done.err
    verdicts = {Path(line.split()[0]).name: line.split()[1] for line in done.out.splitlines()[:4]}
    assert verdicts == {"good00.png": "OK", "good01.png": "OK", "bad00.png": "NG", "bad01.png": "NG"}
    assert sorted(p.name for p in out.iterdir()) == ["bad00_overlay.png", "bad01_overlay.png"]
    assert "OK 2, NG 2, ERROR 0" in done.out.splitlines()[-1]


def _record(home: Path) -> None:
    with ResultStore(db_path(home)) as store:
        for i, (verdict, score) in enumerate([("OK", 0.5), ("NG", 9.0), ("ERROR", None), ("NG", 4.0)]):
            store.add(Row(
                recorded_at=f"2026-01-0{i + 1}T10:00:00.000Z", run_id="r1", product_id=PRODUCT if i < 3 else "other",
                source_file=f"f{i}.png", source_path=f"/d/f{i}.png", verdict=verdict, score=score, threshold=2.0,
                error_message="boom" if verdict == "ERROR" else None,
            ))


def test_inspect_and_results_print_one_json_shape(home: Path, tmp_path: Path):
    (img,) = write_images(tmp_path, [defect("crack")], "c")
    done = run_qorva("inspect", "--product", PRODUCT, img, "--format", "json", "--home", home)
    assert done.rc == 0, done.err
    (rec,) = json.loads(done.out)
    assert rec["verdict"] == "NG" and rec["score"] > rec["threshold"] and rec[rec["dominant_branch"]] is not None
    assert rec["source_file"] == img.name and rec["id"] is None
    _record(home)
    recorded = json.loads(run_qorva("results", "--format", "json", "--home", home).out)
    assert list(rec) == list(recorded[0])


@pytest.mark.parametrize(
    ("setup", "needles"),
    [
        pytest.param("untaught", ["not taught yet", "qorva teach"], id="untaught"),
        pytest.param("missing-image", ["no such image"], id="missing-image"),
        pytest.param("not-an-image", ["not a readable image"], id="not-an-image"),
    ],
)
def test_inspect_errors_are_one_line(home: Path, tmp_path: Path, setup: str, needles: list[str]):
    (img,) = write_images(tmp_path, goods(1, seed=3), "g")
    if setup == "untaught":
        state_path(home, PRODUCT).unlink()
    elif setup == "missing-image":
        img = tmp_path / "absent.png"
    else:
        img.write_bytes(b"not a png at all")
    done = run_qorva("inspect", "--product", PRODUCT, img, "--home", home)
    assert_one_line_error(done, *needles)


@pytest.mark.parametrize(
    ("args", "files"),
    [
        pytest.param([], ["f0.png", "f1.png", "f2.png", "f3.png"], id="all"),
        pytest.param(["--product", PRODUCT], ["f0.png", "f1.png", "f2.png"], id="product"),
        pytest.param(["--verdict", "NG"], ["f1.png", "f3.png"], id="verdict"),
        pytest.param(["--since", "2026-01-02T12:00"], ["f2.png", "f3.png"], id="since"),
        pytest.param(["--limit", "1"], ["f3.png"], id="limit-keeps-newest"),
    ],
)
def test_results_filters(home: Path, args: list[str], files: list[str]):
    _record(home)
    done = run_qorva("results", *args, "--format", "json", "--home", home)
    assert done.rc == 0, done.err
    assert [r["source_file"] for r in json.loads(done.out)] == files


def test_results_csv_and_table(home: Path):
    _record(home)
    done = run_qorva("results", "--format", "csv", "--home", home)
    rows = list(csv.DictReader(io.StringIO(done.out)))
    assert [r["verdict"] for r in rows] == ["OK", "NG", "ERROR", "NG"] and rows[2]["error_message"] == "boom"
    table = run_qorva("results", "--verdict", "ERROR", "--home", home)
    assert table.out.splitlines()[0].split()[:2] == ["id", "time"] and "boom" in table.out
    assert "1 results (OK 0, NG 0, ERROR 1)" in table.err


@pytest.mark.parametrize("before", [False, True], ids=["home-after-command", "home-before-command"])
def test_results_without_database_is_empty_not_an_error(tmp_path: Path, before: bool):
    args = ["--home", str(tmp_path), "results", "--format", "json"] if before else [
        "results", "--format", "json", "--home", str(tmp_path)]
    done = run_qorva(*args, home=tmp_path / "elsewhere")
    assert done.rc == 0 and json.loads(done.out) == []
    assert f"{db_path(tmp_path)} (nothing recorded yet" in done.err


@pytest.mark.parametrize(
    "args",
    [
        pytest.param(["results", "--since", "yesterday"], id="bad-since"),
        pytest.param(["teach", "--good", "x"], id="missing-product"),
        pytest.param(["watch", "--product", PRODUCT, "--folder", "x", "--max-images", "0"], id="zero-max-images"),
        pytest.param(["results", "--format", "xml"], id="bad-format"),
    ],
)
def test_usage_errors_exit_2(tmp_path: Path, args: list[str]):
    done = run_qorva(*args, "--home", tmp_path)
    assert done.rc == 2 and "usage:" in done.err


def test_purge_removes_only_the_retraining_cache(home: Path):
    cache = home / "_train" / "norim" / PRODUCT
    assert cache.is_dir()
    done = run_qorva("purge", "--product", PRODUCT, "--home", home)
    assert done.rc == 0, done.err
    assert "purged" in done.out and not cache.exists()
    assert state_path(home, PRODUCT).exists() and (home / "products" / PRODUCT / "norim" / PRODUCT).is_dir()
    again = run_qorva("purge", "--product", PRODUCT, "--home", home)
    assert again.rc == 0 and "nothing to purge" in again.out


def test_purge_refuses_an_unsafe_product_id(home: Path):
    assert_one_line_error(run_qorva("purge", "--product", "..", "--home", home), "product id")
    assert (home / "_train" / "norim" / PRODUCT).is_dir()
