"""The results database, overlay names from outside, and `--since` stamps compared with recorded rows."""

from __future__ import annotations

import datetime as dt
import sqlite3
from pathlib import Path

import pytest

from qorva.cli.results import parse_since
from qorva.home import db_path
from qorva.names import printable
from qorva.overlays import overlay_path
from qorva.results import SCHEMA_VERSION, ResultStore, Row, StoreError

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
              source_path=None, verdict="ERROR", error_message="boom", source_bytes=b"/d/\xffa.png")
    with ResultStore(db_path(tmp_path)) as store:
        assert store.add(row) == 1
        (back,) = store.query()
    assert back == row
    db = sqlite3.connect(str(db_path(tmp_path)))
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    db.close()


# The first schema as it shipped, before the migrations: databases on the line look like this.
_VERSION_1 = """
CREATE TABLE results (id INTEGER PRIMARY KEY AUTOINCREMENT, recorded_at TEXT NOT NULL, run_id TEXT NOT NULL,
    product_id TEXT NOT NULL, source_file TEXT, source_path TEXT, verdict TEXT NOT NULL, score REAL, threshold REAL,
    ratio REAL, structural REAL, mahalanobis REAL, logical REAL, dominant_branch TEXT, overlay_path TEXT,
    latency_ms REAL, error_message TEXT);
INSERT INTO results (recorded_at, run_id, product_id, source_file, verdict) VALUES ('2026-01-01T00:00:00.000Z',
    'r0', 'P1', 'old.png', 'OK');
PRAGMA user_version = 1;
"""


@pytest.mark.parametrize("start", ["fresh", "version-1", "current"])
def test_migrations_bring_every_database_to_this_version_and_keep_its_rows(tmp_path: Path, start: str):
    path = db_path(tmp_path)
    path.parent.mkdir(parents=True)
    if start != "fresh":
        db = sqlite3.connect(str(path))
        db.executescript(_VERSION_1)
        db.close()
    if start == "current":
        ResultStore(path).close()
    with ResultStore(path) as store:
        store.add(Row(recorded_at="2026-01-02T00:00:00.000Z", run_id="r1", product_id="P1", source_file="new.png",
                      source_path=None, verdict="NG", content_hash="h", file_size=3, file_mtime_ns=4))
        rows = store.query()
    assert [r.source_file for r in rows] == (["new.png"] if start == "fresh" else ["old.png", "new.png"])
    assert rows[-1].content_hash == "h" and rows[0].recovered == 0
    db = sqlite3.connect(str(path))
    assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
    db.close()


@pytest.mark.parametrize("create", [True, False], ids=["writer", "reader"])
def test_a_newer_database_is_refused_with_one_line(tmp_path: Path, create: bool):
    ResultStore(db_path(tmp_path)).close()
    db = sqlite3.connect(str(db_path(tmp_path)))
    db.execute(f"PRAGMA user_version = {SCHEMA_VERSION + 7}")
    db.close()
    newer, known = SCHEMA_VERSION + 7, SCHEMA_VERSION
    expected = f"results database is version {newer}, this qorva knows up to {known}: upgrade qorva"
    with pytest.raises(StoreError) as err:
        ResultStore(db_path(tmp_path), create=create)
    assert str(err.value) == expected


@pytest.mark.parametrize(
    ("name", "text"),
    [
        pytest.param(b"plain.png", "plain.png", id="plain"),
        pytest.param("제품 A.png".encode(), "제품 A.png", id="korean-utf8"),
        pytest.param(b"caf\xe9.png", "caf\\xe9.png", id="latin-1"),
        pytest.param(b"\x8c\x9f\x8d\xb8.png", "\\x8c\\x9f\\x8d\\xb8.png", id="shift-jis"),
        pytest.param(b"line\nbreak.png", "line\\x0abreak.png", id="newline"),
        pytest.param(b"red\x1b[31m.png", "red\\x1b[31m.png", id="terminal-escape"),
        pytest.param(b"back\\slash.png", "back\\\\slash.png", id="backslash"),
        pytest.param(b"looks\\xff.png", "looks\\\\xff.png", id="text-that-looks-escaped"),
    ],
)
def test_names_from_outside_are_recorded_as_one_line_that_tells_every_byte_apart(
    tmp_path: Path, name: bytes, text: str
):
    source = b"/drop/" + name
    row = Row.error("boom", run_id="r", product_id="P1", source=source)
    with ResultStore(db_path(tmp_path)) as store:
        store.add(row)
        (back,) = store.query()
    assert (back.source_file, back.source_bytes) == (text, source)
    assert back.source_path == "/drop/" + text and printable(text) == text


def test_hourly_trend_counts_each_hour_empty_ones_too():
    from qorva.report.page import hourly

    made = [("2026-12-08T14:10:00.000Z", "OK"), ("2026-12-08T14:50:00.000Z", "NG"),
            ("2026-12-08T14:59:59.999Z", "ERROR"), ("2026-12-08T16:05:00.000Z", "OK")]
    rows = [Row(t, "r", "P1", "a.png", None, v) for t, v in made]
    assert [h[1:] for h in hourly(rows)] == [(3, 1, 1, 1, 0.5), (0, 0, 0, 0, None), (1, 1, 0, 0, 0.0)]
