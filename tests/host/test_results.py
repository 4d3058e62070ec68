"""The results database, overlay names from outside, and `--since` stamps compared with recorded rows."""

from __future__ import annotations

import datetime as dt
import sqlite3
from pathlib import Path

import pytest

from qorva.cli.results import parse_since
from qorva.home import db_path
from qorva.results import ResultStore, Row, StoreError, overlay_path

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
