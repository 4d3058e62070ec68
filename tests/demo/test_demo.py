"""`qorva demo` end to end on a small run, and the guard on its work folder."""

from __future__ import annotations

import re
import sqlite3
from pathlib import Path

import cv2

from clitools import run_qorva

_SMALL = ("--images", "10", "--train-images", "8", "--teach-images", "8", "--size", "128", "--quiet")


def test_demo_prints_the_summary_writes_the_report_and_reruns_in_place(tmp_path: Path):
    work = tmp_path / "demo"
    for _ in range(2):
        done = run_qorva("demo", "--workdir", work, *_SMALL, timeout=120)
        assert done.rc == 0, done.err
        # Reading its results is no work of one's own: the demo still reruns in place.
        assert run_qorva("results", "--runs", "--home", work / "home").rc == 0
    out = done.out
    for needle in ("confusion matrix", "recall (defects caught)", "false-positive rate", "p50", "images/s"):
        assert needle in out
    matrix = out.splitlines()[out.splitlines().index("confusion matrix (rows: truth, columns: verdict)") + 2 :][:2]
    counts = [int(v) for line in matrix for v in line.split()[1:]]
    assert sum(counts) == 10 and [line.split()[0] for line in matrix] == ["good", "defect"]
    assert "10/10 images judged" in out and f"qorva results --runs --home {work / 'home'}" in out.splitlines()[-1]
    sheet = cv2.imread(str(work / "report" / "contact_sheet.png"))
    assert sheet is not None and sheet.shape[1] > 400
    page = (work / "report" / "report.html").read_text(encoding="utf-8")
    # The report of any run, with the demo's truth beside it; its overlays are copied beside the page.
    assert "Confusion matrix" in page and "Scores against the threshold" in page
    linked = re.findall(r'<img src="(overlays/[^"]+)"', page)
    assert linked and all((work / "report" / link).is_file() for link in linked)
    db = sqlite3.connect(str(work / "home" / "results" / "results.db"))
    try:
        # The second run starts from a clean home: its rows replace the first run's.
        assert db.execute("SELECT COUNT(*), COUNT(DISTINCT source_file) FROM results").fetchone() == (10, 10)
    finally:
        db.close()
    assert not list((work / "drop").glob("*.png"))


def test_demo_refuses_a_folder_it_did_not_make(tmp_path: Path):
    (tmp_path / "precious.txt").write_text("keep me", encoding="utf-8")
    done = run_qorva("demo", "--workdir", tmp_path, *_SMALL)
    assert done.rc == 1 and "not empty" in done.err and "Traceback" not in done.err
    assert (tmp_path / "precious.txt").read_text(encoding="utf-8") == "keep me"


def test_demo_never_deletes_work_done_in_its_home(tmp_path: Path):
    """The README's tour goes on in the demo's home: a product taught there is the user's, not the demo's."""
    work = tmp_path / "demo"
    assert run_qorva("demo", "--workdir", work, *_SMALL, timeout=120).rc == 0
    state = work / "home" / "products" / "assembly" / "norim" / "state.json"
    taught = run_qorva("teach", "--product", "assembly", "--good", work / "data" / "teach", "--home", work / "home")
    assert taught.rc == 0, taught.err
    before = state.read_bytes()
    done = run_qorva("demo", "--workdir", work, *_SMALL)
    assert done.rc == 1 and "holds work the demo did not make" in done.err and "state.json" in done.err, done.err
    assert state.read_bytes() == before
