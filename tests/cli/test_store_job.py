"""The results store, the `--since` parser and the job's handling of frames, without subprocesses."""

from __future__ import annotations

import datetime as dt
import math
import sqlite3
from pathlib import Path

import numpy as np
import pytest

from qorva.cli.results import parse_since
from qorva.inspection.base import ModelState
from qorva.io.camera.base import CameraError
from qorva.job import InspectionJob
from qorva.schemas.common import InspectionResult, Verdict
from qorva.store import ResultStore, Row, StoreError, db_path, overlay_path

_NOW = dt.datetime(2026, 12, 8, 14, 0, 0, tzinfo=dt.UTC)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        pytest.param("30m", "2026-12-08T13:30:00.000Z", id="minutes"),
        pytest.param("2h", "2026-12-08T12:00:00.000Z", id="hours"),
        pytest.param("1.5d", "2026-12-07T02:00:00.000Z", id="fractional-days"),
        pytest.param("today", "2026-12-08T00:00:00.000Z", id="today"),
        pytest.param("2026-12-08T14:30+02:00", "2026-12-08T12:30:00.000Z", id="offset"),
        pytest.param("2026-12-08T14:30Z", "2026-12-08T14:30:00.000Z", id="zulu"),
    ],
)
def test_since_becomes_a_utc_stamp_comparable_with_recorded_rows(text: str, expected: str):
    assert parse_since(text, now=_NOW) == expected


@pytest.mark.parametrize("name", ["../../etc/passwd.png", "a b/..\\c.png", "", "..", "\x00bad.png"])
def test_overlay_names_from_outside_stay_in_the_overlay_folder(tmp_path: Path, name: str):
    path = overlay_path(tmp_path, "P1", name, "2026-12-08T14:00:00.123Z", 7)
    root = tmp_path / "results" / "overlays" / "P1" / "2026-12-08"
    assert path.parent == root and path.name.endswith(".png")
    assert all(c.isalnum() or c in "._-" for c in path.name)


def test_store_is_wal_and_round_trips_rows(tmp_path: Path):
    row = Row(recorded_at="2026-12-08T14:00:00.000Z", run_id="r", product_id="P1", source_file="a.png",
              source_path=None, verdict="ERROR", error_message="boom")
    with ResultStore(db_path(tmp_path)) as store:
        assert store.add(row) == 1
        (back,) = store.query()
    assert back == row
    db = sqlite3.connect(str(db_path(tmp_path)))
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    db.execute("PRAGMA user_version = 99")
    db.close()
    with pytest.raises(StoreError, match="newer format"):
        ResultStore(db_path(tmp_path))


class _Camera:
    """Hands out a fixed list of frames, then reports the camera closed, as PushCamera does."""

    def __init__(self, frames):
        self.frames = list(frames)
        self.closed = False

    def open(self):
        pass

    def close(self):
        self.closed = True

    def read(self, timeout=None):
        if self.frames:
            return self.frames.pop(0)
        raise CameraError("camera is not open")


class _Inspector:
    def __init__(self, outcomes):
        self.outcomes = list(outcomes)

    def inspect(self, image, state, *, with_overlay=True):
        out = self.outcomes.pop(0)
        if isinstance(out, Exception):
            raise out
        return out


def _result(verdict: Verdict, score: float) -> InspectionResult:
    return InspectionResult(verdict=verdict, score=score, threshold=1.0, module="norim",
                            details={"branch": {"structural": score}, "dominant_branch": "structural"},
                            overlay=np.zeros((4, 4, 3), np.uint8))


def test_job_records_failures_as_errors_and_keeps_going(tmp_path: Path):
    img = np.zeros((4, 4, 3), np.uint8)
    frames = [(img, {"source_file": f"f{i}.png", "source_path": f"/d/f{i}.png"}) for i in range(4)]
    outcomes = [RuntimeError("decoder exploded"), _result(Verdict.OK, math.nan), _result(Verdict.NG, 5.0),
                _result(Verdict.OK, 0.5)]
    camera = _Camera(frames)
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(db_path(tmp_path)) as store:
        summary = InspectionJob(home=tmp_path, state=state, params={}, store=store, camera=camera,
                                inspector=_Inspector(outcomes)).run()
        rows = store.query()
    assert [r.verdict for r in rows] == ["ERROR", "ERROR", "NG", "OK"]
    assert "decoder exploded" in rows[0].error_message and "non-finite" in rows[1].error_message
    assert rows[1].score is None
    assert rows[2].overlay_path and Path(rows[2].overlay_path).is_file() and rows[3].overlay_path is None
    assert summary.reason == "camera-failed" and camera.closed
