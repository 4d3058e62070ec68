"""Reviews of rows: the decision that counts, the queue, and the image kept only when it is the one judged."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import pytest

from helpers import write_png
from qorva.home import db_path
from qorva.results import ResultStore, Row, reviews
from qorva.results.key import pixel_hash
from qorva.review_store import ReviewError, find_image, review, reviewed_images


def _row(folder: Path, name: str, verdict: str, seed: int) -> Row:
    pixels = write_png(folder / name, seed)
    path = os.fsencode(folder / name)
    score = 3.0 if verdict == "NG" else 0.1
    return Row("2026-12-08T14:00:00.000Z", "r", "P1", name, str(folder / name), verdict, score, 1.0,
               source_bytes=path, content_hash=pixel_hash(pixels), file_size=1, file_mtime_ns=seed)


@pytest.fixture
def line(tmp_path: Path):
    """A home with a store of four rows: two NG, an OK and an ERROR, their images in a drop folder."""
    drop = tmp_path / "drop"
    drop.mkdir()
    store = ResultStore(db_path(tmp_path / "home"))
    for i, verdict in enumerate(("NG", "NG", "OK", "ERROR")):
        store.add(_row(drop, f"i{i}.png", verdict, seed=i))
    yield store, tmp_path / "home", drop
    store.close()


@pytest.mark.parametrize(
    ("row", "decisions", "folder", "queued"),
    [
        pytest.param(1, ["good"], "good", [2], id="NG-overruled"),
        pytest.param(1, ["defect"], "defect", [2], id="NG-confirmed"),
        pytest.param(1, ["good", "defect"], "defect", [2], id="changed-mind-moves-the-copy"),
        pytest.param(3, ["defect"], "defect", [2, 1], id="missed-defect-on-an-OK-row"),
    ],
)
def test_the_latest_decision_counts_and_the_image_follows_it(line, row, decisions, folder, queued):
    store, home, _ = line
    for i, decision in enumerate(decisions):
        review(store, home, row, decision, reviewer=f"who{i}", via="test")
    assert reviews.latest(store, [row])[row].decision == decisions[-1]
    assert [r.reviewer for r in reviews.history(store, row)] == [f"who{i}" for i in range(len(decisions))]
    kept = {d: [p.name for p in reviewed_images(home, "P1", d)] for d in reviews.DECISIONS}
    assert kept[folder] == [f"{row:08d}_i{row - 1}.png"] and not kept[{"good": "defect", "defect": "good"}[folder]]
    assert [r.id for r in reviews.queue(store)] == queued


@pytest.mark.parametrize(
    ("row", "decision", "who", "needle"),
    [
        pytest.param(4, "good", "a", "ERROR row", id="error-row-has-no-verdict"),
        pytest.param(99, "good", "a", "no row 99", id="unknown-row"),
        pytest.param(1, "maybe", "a", "not a decision", id="unknown-decision"),
        pytest.param(1, "good", " \n", "name of who", id="nobody"),
    ],
)
def test_a_review_that_cannot_be_made_says_why_and_records_nothing(line, row, decision, who, needle):
    store, home, _ = line
    with pytest.raises(ReviewError, match=needle):
        review(store, home, row, decision, reviewer=who, via="test")
    assert reviews.latest(store, [1, 4, 99]) == {}


def _moved(drop: Path) -> None:
    (drop / "_processed").mkdir()
    shutil.move(drop / "i0.png", drop / "_processed" / "i0.png")


def _replaced(drop: Path) -> None:
    write_png(drop / "i0.png", seed=77)  # a new image under the same name


@pytest.mark.parametrize(
    ("change", "found"),
    [
        pytest.param(lambda d: None, "drop/i0.png", id="still-there"),
        pytest.param(_moved, "drop/_processed/i0.png", id="moved-to-processed"),
        pytest.param(_replaced, None, id="same-name-other-pixels"),
        pytest.param(lambda d: (d / "i0.png").unlink(), None, id="deleted"),
    ],
)
def test_the_image_is_taken_only_where_its_pixels_are_the_ones_judged(line, change, found):
    store, home, drop = line
    change(drop)
    path, why = find_image(store.row(1))
    assert (path.relative_to(drop.parent).as_posix() if path else None) == found
    done = review(store, home, 1, "good", reviewer="anna", via="test", note="fixture mark")
    assert (done.kept is not None) == (found is not None) and bool(why) == (found is None)
    assert reviews.latest(store, [1])[1].note == "fixture mark"  # the decision stands without its image
