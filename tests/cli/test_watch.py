"""`qorva watch` on a real folder with a real sender, stopped by signals, limits and a kill."""

from __future__ import annotations

import signal
import sqlite3
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

from clitools import PRODUCT, defect, goods, run_qorva, start_qorva, stop, write_images
from helpers import wait_until
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


def test_results_survive_a_killed_watch_and_the_next_run_appends(home: Path, drop: Path):
    first = {f"a{i}.png": im for i, im in enumerate(goods(6, seed=15))}
    proc = start_qorva("watch", "--product", PRODUCT, "--folder", drop, *_FAST, "--home", home)
    sender = Sender(drop, first)
    sender.start()
    try:
        arrived = wait_until(lambda: len(rows(home)) >= 3, timeout=30, interval=0.05)
    finally:
        proc.kill()
        proc.communicate(timeout=10)
        # The sender finishes its files: a half-written one would never be judged by the next run.
        sender.join()
    assert arrived
    db = sqlite3.connect(str(db_path(home)))
    assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    db.close()
    before = [tuple(r) for r in rows(home)]
    assert len(before) >= 3

    write_images(drop, goods(2, seed=16), "b")
    pending = {p.name for p in drop.glob("*.png")}
    done = run_qorva(
        "watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", str(len(pending)),
        "--duration", "20", *_FAST, "--home", home,
    )
    assert done.rc == 0, done.err
    after = rows(home)
    assert [tuple(r) for r in after[: len(before)]] == before
    appended = after[len(before) :]
    assert {r["source_file"] for r in appended} == pending
    assert all(r["id"] > before[-1][0] for r in appended)
