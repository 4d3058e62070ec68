"""Each command through a real `qorva` process: the happy path and the errors a user meets first."""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import shutil
import sqlite3
import struct
import zipfile
import zlib
from pathlib import Path

import cv2
import numpy as np
import pytest

from clitools import PRODUCT, defect, goods, run_qorva, write_images
from qorva.cli.__main__ import COMMANDS, build_parser, main
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
    assert "zero false pos at  sigma" in done.out and str(state_path(home, PRODUCT)) in done.out.splitlines()[-1]


@pytest.mark.parametrize(
    ("args", "needles"),
    [
        pytest.param(["--product", "nope"], ["unknown product 'nope'", "qorva train"], id="unknown-product"),
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
    ],
)
def test_inspect_errors_are_one_line(home: Path, tmp_path: Path, setup: str, needles: list[str]):
    (img,) = write_images(tmp_path, goods(1, seed=3), "g")
    if setup == "untaught":
        state_path(home, PRODUCT).unlink()
    else:
        img = tmp_path / "absent.png"
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
    ("args", "needle"),
    [
        pytest.param(["results", "--since", "yesterday"], "not a time", id="bad-since"),
        pytest.param(["results", "--limit", "0"], "--limit", id="zero-limit"),
        pytest.param(["results", "--format", "xml"], "--format", id="bad-format"),
        pytest.param(["teach", "--good", "x"], "--product", id="missing-product"),
        pytest.param(["teach", "--product", "../etc", "--good", "x"], "product id", id="unsafe-product-id"),
        pytest.param(["teach", "--product", "p", "--good", "x", "--sigma", "nan"], "--sigma", id="nan-sigma"),
        pytest.param(["teach", "--product", "p", "--good", "x", "--weights", "a/b"], "bundle name", id="weights-path"),
        pytest.param(["teach", "--product", "p", "--good", "x", "--device", "tpu"], "unknown device", id="bad-device"),
        pytest.param(["train", "--product", "p", "--good", "x", "--name", ".."], "bundle name", id="dotdot-name"),
        pytest.param(["train", "--product", "p", "--good", "x", "--seed", "-1"], "--seed", id="negative-seed"),
        pytest.param(["purge", "--product", ".."], "product id", id="purge-dotdot"),
        pytest.param(["inspect", "--product", "a\\b", "x.png"], "product id", id="inspect-separator"),
        pytest.param(["demo", "--size", "10"], "--size", id="demo-size"),
    ],
)
def test_usage_errors_exit_2(tmp_path: Path, capsys: pytest.CaptureFixture[str], args: list[str], needle: str):
    with pytest.raises(SystemExit) as ended:
        main([*args, "--home", str(tmp_path)])
    err = capsys.readouterr().err
    assert ended.value.code == 2 and "usage:" in err and needle in err.splitlines()[-1], err


def test_purge_removes_only_the_retraining_cache(home: Path):
    cache = home / "_train" / "norim" / PRODUCT
    assert cache.is_dir()
    done = run_qorva("purge", "--product", PRODUCT, "--home", home)
    assert done.rc == 0, done.err
    assert "purged" in done.out and not cache.exists()
    assert state_path(home, PRODUCT).exists() and (home / "products" / PRODUCT / "norim" / PRODUCT).is_dir()
    again = run_qorva("purge", "--product", PRODUCT, "--home", home)
    assert again.rc == 0 and "nothing to purge" in again.out


def _bundle(home: Path) -> Path:
    return home / "products" / PRODUCT / "norim" / PRODUCT / "v1"


def _archive(home: Path, members: dict[str, bytes]) -> None:
    with zipfile.ZipFile(_bundle(home) / "model.npz", "w") as zf:
        for name, data in members.items():
            zf.writestr(name, data)


def _declaring(shape: tuple[int, ...], descr: str = "<f8") -> bytes:
    """A .npy member whose header declares `shape` and that holds no data."""
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue()


def _strings(home: Path) -> None:
    with np.load(_bundle(home) / "model.npz") as npz:
        arrays = {k: npz[k] for k in npz.files}
    arrays["patch.feat_mean"] = np.array(["x"] * len(arrays["patch.feat_mean"]))
    np.savez(_bundle(home) / "model.npz", **arrays)


def _huge_png(folder: Path) -> Path:
    """A PNG of a few hundred bytes whose header declares 30000x30000 pixels (2.7 GB decoded)."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", 30000, 30000, 8, 2, 0, 0, 0)
    rows = zlib.compress(b"\0" * 90001 * 8, 9)
    path = folder / "huge.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", rows) + chunk(b"IEND", b""))
    return path


def _fifo(home: Path) -> None:
    (_bundle(home) / "model.npz").unlink()
    os.mkfifo(_bundle(home) / "model.npz")


def _newer_db(home: Path) -> None:
    ResultStore(db_path(home)).close()
    db = sqlite3.connect(str(db_path(home)))
    db.execute("PRAGMA user_version = 99")
    db.close()


def _state(home: Path, threshold: object) -> None:
    data = json.loads(state_path(home, PRODUCT).read_text(encoding="utf-8"))
    state_path(home, PRODUCT).write_text(json.dumps({**data, "threshold": threshold}), encoding="utf-8")


_HOSTILE = {
    "nested-bundle-json": lambda h: (_bundle(h) / "bundle.json").write_text("[" * 100_000 + "]" * 100_000),
    "archive-10e12-elements": lambda h: _archive(h, {"patch.feat_mean.npy": _declaring((10**12,))}),
    "archive-inflating-to-2gb": lambda h: _archive(h, {"patch.feat_mean.npy": _declaring((2**28,)) + bytes(4096)}),
    "archive-of-strings": _strings,
    "fifo-for-the-arrays": _fifo,
    "threshold-null": lambda h: _state(h, None),
    "state-nested": lambda h: state_path(h, PRODUCT).write_text("[" * 100_000),
    "newer-database": _newer_db,
}


@pytest.mark.parametrize(
    ("case", "command", "needle"),
    [
        pytest.param("nested-bundle-json", "teach", "bundle.json", id="nested-bundle-json"),
        pytest.param("archive-10e12-elements", "teach", "too large", id="archive-10e12-elements"),
        pytest.param("archive-inflating-to-2gb", "teach", "too large", id="archive-inflating-to-2gb"),
        pytest.param("archive-of-strings", "teach", "not numbers", id="archive-of-strings"),
        pytest.param("fifo-for-the-arrays", "teach", "not a regular file", id="fifo-teach"),
        pytest.param("fifo-for-the-arrays", "inspect", "not a regular file", id="fifo-inspect"),
        pytest.param("threshold-null", "inspect", "damaged", id="threshold-null"),
        pytest.param("state-nested", "watch", "damaged", id="state-nested"),
        pytest.param("newer-database", "results", "upgrade qorva", id="results-newer-database"),
        pytest.param(None, "teach-1x1", "8x8", id="teach-1x1-image"),
        pytest.param(None, "inspect-huge", "declares 30000x30000 pixels", id="inspect-30000x30000-header"),
        pytest.param(None, "train-huge", "declares 30000x30000 pixels", id="train-30000x30000-header"),
    ],
)
def test_hostile_files_end_in_one_line_never_a_traceback_or_a_hang(
    home: Path, tmp_path: Path, teach_dir: Path, case: str | None, command: str, needle: str
):
    if case is not None:
        _HOSTILE[case](home)
    good = tmp_path / "good"
    shutil.copytree(teach_dir, good)
    cv2.imwrite(str(good / "tiny.png"), np.zeros((1, 1, 3), np.uint8))
    (tmp_path / "huge").mkdir()
    huge = _huge_png(tmp_path / "huge")
    args = {
        "teach": ["teach", "--product", PRODUCT, "--good", teach_dir],
        "teach-1x1": ["teach", "--product", PRODUCT, "--good", good],
        "inspect": ["inspect", "--product", PRODUCT, next(teach_dir.iterdir())],
        "watch": ["watch", "--product", PRODUCT, "--folder", tmp_path, "--duration", "1"],
        "results": ["results"],
        "inspect-huge": ["inspect", "--product", PRODUCT, huge],
        "train-huge": ["train", "--product", "other", "--good", huge.parent],
    }[command]
    done = run_qorva(*args, "--home", home, timeout=30)
    if command.startswith("inspect") and not done.err:  # an unusable bundle or image is the image's ERROR line
        assert done.rc == 1 and "ERROR" in done.out and needle in done.out, done.out
    else:
        assert_one_line_error(done, needle)


def test_purge_with_an_unreadable_folder_ends_in_one_line(
    home: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
):
    cache = home / "_train" / "norim" / PRODUCT
    (cache / "locked").mkdir()
    real = os.scandir

    def scandir(path):  # root reads every folder: refuse the way a folder of another user refuses
        if Path(path).name == "locked":
            raise PermissionError(13, "Permission denied", str(path))
        return real(path)

    monkeypatch.setattr(os, "scandir", scandir)
    assert main(["purge", "--product", PRODUCT, "--home", str(home)]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("qorva: error: cannot purge") and "Permission denied" in err[0]
