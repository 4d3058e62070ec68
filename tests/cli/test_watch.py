"""`qorva watch` on a real folder with a real sender, stopped by signals, limits and a kill."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

from clitools import PRODUCT, defect, goods, run_qorva, start_qorva, stop, write_images
from helpers import wait_until
from qorva.cli.__main__ import main
from qorva.cli._common import duration_s
from qorva.home import db_path

_FAST = ("--poll-ms", "20", "--stable-ms", "120", "--quiet")


def rows(home: Path) -> list[sqlite3.Row]:
    path = db_path(home)
    if not path.exists():
        return []
    db = sqlite3.connect(str(path), timeout=5)
    db.row_factory = sqlite3.Row
    try:
        return db.execute("SELECT * FROM results ORDER BY id").fetchall()
    except sqlite3.OperationalError:  # the watcher has not created the table yet
        return []
    finally:
        db.close()


class Sender(threading.Thread):
    """Writes PNGs in slow chunks straight into their final names, like an FTP upload."""

    def __init__(self, folder: Path, images: dict[str, np.ndarray], *, marker: str | None = None) -> None:
        super().__init__(name="test-sender")
        self.folder, self.images, self.marker = folder, images, marker
        self.halt = threading.Event()

    def run(self) -> None:
        for name, img in self.images.items():
            data = cv2.imencode(".png", img)[1].tobytes()
            with (self.folder / name).open("wb") as fh:
                for start in range(0, len(data), len(data) // 3 + 1):
                    fh.write(data[start : start + len(data) // 3 + 1])
                    fh.flush()
                    if self.halt.wait(0.03):
                        return
            if self.marker:
                (self.folder / (name + self.marker)).touch()


@pytest.fixture
def drop(tmp_path: Path) -> Path:
    folder = tmp_path / "drop"
    folder.mkdir()
    return folder


def test_every_dropped_image_gets_one_row_and_every_ng_its_overlay(home: Path, drop: Path):
    images = {f"g{i}.png": im for i, im in enumerate(goods(4, seed=11))}
    images |= {f"d{i}.png": defect(kind) for i, kind in enumerate(("scratch", "spot", "crack"))}
    proc = start_qorva("watch", "--product", PRODUCT, "--folder", drop, *_FAST, "--home", home)
    sender = Sender(drop, images)
    sender.start()
    try:
        arrived = wait_until(lambda: len(rows(home)) >= len(images), timeout=30, interval=0.1)
    finally:
        sender.halt.set()
        sender.join()
        done = stop(proc, signal.SIGTERM)
    assert arrived, done.err
    assert done.rc == 0, done.err
    recorded = rows(home)
    assert sorted(r["source_file"] for r in recorded) == sorted(images)
    by_file = {r["source_file"]: r for r in recorded}
    assert {f for f, r in by_file.items() if r["verdict"] == "NG"} == {"d0.png", "d1.png", "d2.png"}
    for r in recorded:
        if r["verdict"] == "NG":
            assert Path(r["overlay_path"]).is_file() and cv2.imread(r["overlay_path"]) is not None
        else:
            assert r["overlay_path"] is None
    assert len({r["run_id"] for r in recorded}) == 1
    assert sorted(p.name for p in (drop / "_processed").iterdir()) == sorted(images)
    printed = [line for line in done.out.splitlines() if line.split()[1:2] and line.split()[1] in images]
    assert len(printed) == len(images)
    assert f"{len(images)} images (OK 4, NG 3, ERROR 0)" in done.out.splitlines()[-1]


def test_ctrl_c_stops_cleanly_and_leaves_unfinished_files(home: Path, drop: Path):
    write_images(drop, goods(2, seed=12), "ready")
    for name in ("ready00.png", "ready01.png"):
        (drop / (name + ".done")).touch()
    write_images(drop, goods(1, seed=13), "unmarked")
    proc = start_qorva(
        "watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "sentinel", *_FAST, "--home", home
    )
    try:
        arrived = wait_until(lambda: len(rows(home)) >= 2, timeout=30, interval=0.1)
    finally:
        done = stop(proc, signal.SIGINT)
    assert arrived, done.err
    assert done.rc == 130 and done.err.strip().splitlines()[-1] == "qorva: interrupted"
    assert [r["source_file"] for r in rows(home)] == ["ready00.png", "ready01.png"]
    assert (drop / "unmarked00.png").exists()
    assert "2 images" in done.out.splitlines()[-1]


def test_max_images_stops_and_no_consumed_file_goes_unrecorded(home: Path, drop: Path):
    names = {p.name for p in write_images(drop, goods(5, seed=14), "f")}
    done = run_qorva(
        "watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", "2",
        "--max-queue", "1", *_FAST, "--home", home,
    )
    assert done.rc == 0, done.err
    recorded = {r["source_file"] for r in rows(home)}
    left = {p.name for p in drop.glob("*.png")}
    assert 2 <= len(recorded) <= 3
    assert recorded | left == names and not recorded & left


def test_duration_ends_an_idle_watch(home: Path, drop: Path):
    done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--duration", "0.5", *_FAST, "--home", home)
    assert done.rc == 0, done.err
    assert "0 images" in done.out.splitlines()[-1]


@pytest.mark.parametrize(
    ("args", "needles"),
    [
        pytest.param(["--folder", "{missing}"], ["drop folder", "does not exist"], id="missing-folder"),
        pytest.param(["--folder", "{drop}", "--product", "nope"], ["unknown product 'nope'"], id="unknown-product"),
    ],
)
def test_watch_errors_are_one_line(home: Path, drop: Path, args: list[str], needles: list[str]):
    args = [a.format(missing=drop / "absent", drop=drop) for a in args]
    if "--product" not in args:
        args += ["--product", PRODUCT]
    done = run_qorva("watch", *args, "--duration", "1", "--home", home)
    assert done.rc == 1 and done.err.startswith("qorva: error: ") and len(done.err.strip().splitlines()) == 1
    for n in needles:
        assert n in done.err


def test_kill_9_loses_no_taken_image_and_records_none_twice(home: Path, drop: Path):
    names = {p.name for p in write_images(drop, goods(24, seed=15), "a")}
    args = ("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", *_FAST, "--home", home)
    proc = start_qorva(*args)
    try:
        arrived = wait_until(lambda: len(rows(home)) >= 3, timeout=30, interval=0.01)
    finally:
        proc.kill()
        proc.communicate(timeout=10)
    assert arrived
    db = sqlite3.connect(str(db_path(home)))
    assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    db.close()
    before = [tuple(r) for r in rows(home)]
    recorded = {r[4] for r in before}
    moved = {p.name for p in (drop / "_processed").glob("*.png")}
    # A file leaves the folder only after its row: the frames buffered at the kill are still there.
    assert moved <= recorded and len(moved) < len(names)
    assert {p.name for p in drop.glob("*.png")} | moved == names

    done = run_qorva(
        "watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none",
        "--max-images", str(len(names - recorded)), "--duration", "20s", *_FAST, "--home", home,
    )
    assert done.rc == 0, done.err
    after = rows(home)
    assert [tuple(r) for r in after[: len(before)]] == before
    assert sorted(r["source_file"] for r in after) == sorted(names)
    recovered = {r["source_file"] for r in after if r["recovered"]}
    assert recovered and not recovered & recorded
    assert "never recorded" in done.err and f"{len(recovered)} recovered" in done.out.splitlines()[-1]
    assert not list(drop.glob("*.png"))


def test_a_second_watcher_of_a_folder_exits_at_once_naming_the_first(home: Path, drop: Path):
    lock = drop / ".qorva-watch.lock"
    first = start_qorva("watch", "--product", PRODUCT, "--folder", drop, *_FAST, "--home", home)
    try:
        assert wait_until(lambda: lock.exists() and lock.stat().st_size > 0, timeout=30, interval=0.05)
        second = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--duration", "5s", "--home", home)
    finally:
        done = stop(first, signal.SIGTERM)
    assert done.rc == 0, done.err
    assert second.rc == 1 and len(second.err.strip().splitlines()) == 1, second.err
    assert f"already watched by pid {first.pid} on " in second.err and "stop that watcher first" in second.err
    again = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--duration", "0.2", "--home", home)
    assert again.rc == 0, again.err


@pytest.mark.parametrize(
    ("option", "value"),
    [
        pytest.param("--stable-ms", "nan", id="nan-stable"),
        pytest.param("--poll-ms", "inf", id="inf-poll"),
        pytest.param("--poll-ms", "-5", id="negative-poll"),
        pytest.param("--sentinel-ext", "/x", id="separator-marker"),
        pytest.param("--sentinel-ext", "", id="empty-marker"),
        pytest.param("--max-images", "0", id="zero-images"),
        pytest.param("--duration", "5x", id="duration-unit"),
        pytest.param("--duration", "0s", id="zero-duration"),
        pytest.param("--max-decode-retries", "0", id="zero-retries"),
        pytest.param("--max-queue", "1e9", id="queue-not-int"),
        pytest.param("--extensions", " , ", id="no-suffix"),
        pytest.param("--extensions", "png,a/b", id="suffix-separator"),
        pytest.param("--processed-dir", "{drop}", id="processed-is-drop"),
        pytest.param("--product", "a/b", id="product-separator"),
    ],
)
def test_watch_values_are_checked_before_starting(
    tmp_path: Path, drop: Path, capsys: pytest.CaptureFixture[str], option: str, value: str
):
    args = ["watch", "--product", PRODUCT, "--folder", str(drop), option, value.format(drop=drop / ".")]
    with pytest.raises(SystemExit) as ended:
        main([*args, "--home", str(tmp_path)])
    err = capsys.readouterr().err.strip().splitlines()
    assert ended.value.code == 2 and err[-1].startswith("qorva watch: error: ") and option in " ".join(err), err


@pytest.mark.parametrize(("text", "seconds"), [("30", 30.0), ("30s", 30.0), ("5m", 300.0), ("1.5h", 5400.0)])
def test_duration_takes_units_like_since(text: str, seconds: float):
    assert duration_s(text) == seconds


def test_any_name_the_file_system_allows_is_recorded_and_printed_on_one_line(home: Path, drop: Path):
    names = {b"caf\xe9.png": "caf\\xe9.png", b"two\nlines.png": "two\\x0alines.png", b"a\\b.png": "a\\\\b.png"}
    for i, (name, _) in enumerate(names.items()):
        cv2.imwrite(str(drop / f"tmp{i}.png"), goods(1, seed=20 + i)[0])
        (drop / f"tmp{i}.png").rename(os.fsdecode(bytes(drop) + b"/" + name))
    done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", "3",
                     *_FAST, "--home", home)
    assert done.rc == 0, done.err
    lines = done.out.splitlines()
    assert len(lines) == 4 and sorted(line.split()[1] for line in lines[:3]) == sorted(names.values())
    recorded = {bytes(r["source_bytes"]): r["source_file"] for r in rows(home)}
    assert recorded == {bytes(drop) + b"/" + n: text for n, text in names.items()}


def test_watch_as_a_production_job(home: Path, drop: Path, tmp_path: Path):
    """Banner, JSON lines, a log file, old overlays pruned, and a set-aside file recorded once over two runs."""
    write_images(drop, goods(2, seed=40), "g")
    (drop / "broken.png").write_bytes(b"not an image at all")
    (drop / "notes.txt").write_text("x")
    (drop / "more.txt").write_text("x")
    old = home / "results" / "overlays" / PRODUCT / "2000-01-01"
    old.mkdir(parents=True)
    log = tmp_path / "watch.log"
    args = ("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--format", "jsonl",
            "--log-file", log, "--keep-overlays", "30", "--max-decode-retries", "1", "--duration", "3", *_FAST)
    first = run_qorva(*args, "--home", home)
    assert first.rc == 0, first.err
    records = [json.loads(line) for line in first.out.splitlines()]
    assert sorted((r["source_file"], r["verdict"]) for r in records) == [
        ("broken.png", "ERROR"), ("g00.png", "OK"), ("g01.png", "OK")]
    banner = first.err.splitlines()[0]
    for needle in (f"watch {PRODUCT}: threshold", "policy none", f"home {home}", ".qorva-watch.lock"):
        assert needle in banner
    assert first.err.count("ignoring files with suffix .txt") == 1
    # One count everywhere: the set-aside file is the ERROR row printed above, counted in the summary.
    assert "ERROR 1, 1 of the ERROR set aside by the camera" in first.err.splitlines()[-1]
    assert banner in log.read_text(encoding="utf-8")
    assert not old.exists()
    second = run_qorva(*args, "--home", home)
    assert "ERROR 0, 1 set aside by the camera again, recorded before" in second.err.splitlines()[-1]
    aside = [r for r in rows(home) if r["source_file"] == "broken.png"]
    assert len(aside) == 1 and aside[0]["verdict"] == "ERROR" and "set aside" in aside[0]["error_message"]


def test_stations_of_a_line_share_one_postgresql_database(home: Path, drop: Path, tmp_path: Path, postgres):
    """watch, results and report with --db: two stations in one database, each row naming its station."""
    url = postgres.new_database()
    other = tmp_path / "drop2"
    other.mkdir()
    write_images(drop, goods(2, seed=50), "a")
    write_images(other, [defect("scratch")], "b")
    for folder, station in ((drop, "line1-cam1"), (other, "line1-cam2")):
        done = run_qorva("watch", "--product", PRODUCT, "--folder", folder, "--ready-policy", "none", "--db", url,
                         "--station", station, "--workers", "2", "--max-images", "3", "--duration", "5", *_FAST,
                         "--home", home)
        assert done.rc == 0, done.err
        assert f"station {station}" in done.err.splitlines()[0] and "results in postgresql://" in done.out
    listed = run_qorva("results", "--db", url, "--format", "json", "--home", home)
    assert sorted((r["station"], r["source_file"]) for r in json.loads(listed.out)) == [
        ("line1-cam1", "a00.png"), ("line1-cam1", "a01.png"), ("line1-cam2", "b00.png")]
    one = run_qorva("results", "--db", url, "--station", "line1-cam2", "--format", "json", "--home", home)
    assert [r["verdict"] for r in json.loads(one.out)] == ["NG"]
    report = run_qorva("report", "--product", PRODUCT, "--db", url, "--since", "1h", "--out", tmp_path / "r",
                       "--home", home)
    assert report.rc == 0 and "3 images" in report.out, report.err
    assert not db_path(home).exists()  # nothing went to the station's own file
