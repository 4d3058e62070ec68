"""The record of each inspected image: one row shape for the results database, `qorva inspect` and `qorva results`."""

from __future__ import annotations

import datetime as _dt
import logging
import math
import os
import re
import sqlite3
from collections.abc import Sequence
from dataclasses import asdict, dataclass, fields
from pathlib import Path
from typing import Any

import numpy as np

from qorva.errors import QorvaError
from qorva.files import write_atomic
from qorva.home import overlays_dir
from qorva.names import printable, raw, shown
from qorva.schemas.common import Verdict

logger = logging.getLogger("qorva.results")

VERDICTS = tuple(v.value for v in Verdict)

# Each entry migrates the database from the version before it to its own (its position + 1); they run in
# order at open, all in one transaction, and `PRAGMA user_version` records the last one applied. Add a
# migration at the end; never edit one that has shipped: databases on the line have already run it.
_MIGRATIONS: tuple[str, ...] = (
    # 1: one row per inspected image.
    """
    CREATE TABLE IF NOT EXISTS results (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        recorded_at TEXT NOT NULL,
        run_id TEXT NOT NULL,
        product_id TEXT NOT NULL,
        source_file TEXT,
        source_path TEXT,
        verdict TEXT NOT NULL,
        score REAL,
        threshold REAL,
        ratio REAL,
        structural REAL,
        mahalanobis REAL,
        logical REAL,
        dominant_branch TEXT,
        overlay_path TEXT,
        latency_ms REAL,
        error_message TEXT
    );
    CREATE INDEX IF NOT EXISTS results_product_time ON results (product_id, recorded_at);
    """,
    # 2: the raw bytes of the source path, the key of each image (name, size, modification time, content
    # hash) that keeps an image from being recorded twice, and the journal of images handed over but not
    # yet recorded, which a run after a crash uses to mark the images it judges again as recovered.
    """
    ALTER TABLE results ADD COLUMN source_bytes BLOB;
    ALTER TABLE results ADD COLUMN file_size INTEGER;
    ALTER TABLE results ADD COLUMN file_mtime_ns INTEGER;
    ALTER TABLE results ADD COLUMN content_hash TEXT;
    ALTER TABLE results ADD COLUMN recovered INTEGER NOT NULL DEFAULT 0;
    CREATE INDEX results_content ON results (content_hash);
    CREATE TABLE handovers (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        taken_at TEXT NOT NULL,
        run_id TEXT NOT NULL,
        product_id TEXT NOT NULL,
        source_file TEXT NOT NULL,
        source_bytes BLOB NOT NULL,
        file_size INTEGER,
        file_mtime_ns INTEGER
    );
    CREATE INDEX handovers_source ON handovers (source_bytes);
    """,
)
SCHEMA_VERSION = len(_MIGRATIONS)


class StoreError(QorvaError):
    """The home folder or the results database cannot be used."""


def _number(value: Any) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


# The path of an image as a camera or the command line gives it.
Source = str | bytes | os.PathLike | None


@dataclass
class Row:
    """One inspected image as recorded; `recorded_at` is UTC ISO-8601 with milliseconds.

    The branch columns are the runner's `BRANCHES`, one column each. `source_file` and `source_path` are
    the names as `names.shown` writes them (one line, every byte told apart), `source_bytes` the path's
    raw bytes. `file_size`, `file_mtime_ns` and `content_hash` with the product and the file name are the
    image's key; `recovered` is 1 for an image that an earlier run had taken and never recorded.
    """

    recorded_at: str
    run_id: str
    product_id: str
    source_file: str | None
    source_path: str | None
    verdict: str
    score: float | None = None
    threshold: float | None = None
    ratio: float | None = None
    structural: float | None = None
    mahalanobis: float | None = None
    logical: float | None = None
    dominant_branch: str | None = None
    overlay_path: str | None = None
    latency_ms: float | None = None
    error_message: str | None = None
    source_bytes: bytes | None = None
    file_size: int | None = None
    file_mtime_ns: int | None = None
    content_hash: str | None = None
    recovered: int = 0
    id: int | None = None

    @classmethod
    def from_result(
        cls, result: Any, *, run_id: str, product_id: str, source: Source, latency_ms: float
    ) -> Row:
        """The row of one `InspectionResult`, recorded now; a verdict on a non-finite score becomes ERROR."""
        from qorva.inspection.modules.norim.runner import BRANCHES

        verdict = str(getattr(result.verdict, "value", result.verdict))
        score = _number(result.score)
        error = getattr(result, "error_message", None)
        if verdict != "ERROR" and (score is None or not math.isfinite(score)):
            # A verdict on a score that is not a number is no verdict.
            verdict, error = "ERROR", f"non-finite score {result.score!r}"
        details = result.details if isinstance(result.details, dict) else {}
        branch = details.get("branch") if isinstance(details.get("branch"), dict) else {}
        dominant = details.get("dominant_branch")
        return cls(
            **_source_fields(source),
            recorded_at=utc_now(),
            run_id=run_id,
            product_id=product_id,
            verdict=verdict,
            score=score if verdict != "ERROR" else None,
            threshold=_number(result.threshold),
            ratio=_number(details.get("ratio_over_threshold")),
            **{name: _number(branch.get(name)) for name in BRANCHES},
            dominant_branch=None if dominant is None else printable(dominant),
            latency_ms=round(latency_ms, 2),
            error_message=None if error is None else printable(error),
        )

    @classmethod
    def error(cls, message: str, *, run_id: str, product_id: str, source: Source, latency_ms: float = 0.0) -> Row:
        """An ERROR row for an image that could not be judged or recorded as it was; `message` says why."""
        return cls(
            **_source_fields(source),
            recorded_at=utc_now(),
            run_id=run_id,
            product_id=printable(product_id),
            verdict="ERROR",
            latency_ms=round(latency_ms, 2),
            error_message=printable(message),
        )

    def to_record(self) -> dict[str, Any]:
        """The row as printed by `--format json`: `id` (None before it is recorded), then every column.

        The raw bytes of the source path are written in hexadecimal (JSON and CSV carry no bytes).
        """
        record = {"id": self.id, **{c: getattr(self, c) for c in COLUMNS}}
        if isinstance(self.source_bytes, bytes):
            record["source_bytes"] = self.source_bytes.hex()
        return record


def _source_fields(source: Any) -> dict[str, Any]:
    """`source_file`, `source_path` and `source_bytes` of an image's path (None when it has none)."""
    if source is None:
        return {"source_file": None, "source_path": None, "source_bytes": None}
    data = raw(source)
    return {"source_file": shown(Path(os.fsdecode(data)).name), "source_path": shown(data), "source_bytes": data}


COLUMNS = tuple(f.name for f in fields(Row) if f.name != "id")


def utc_now() -> str:
    return format_time(_dt.datetime.now(_dt.UTC))


def format_time(moment: _dt.datetime) -> str:
    return moment.astimezone(_dt.UTC).strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


# --- overlays ----------------------------------------------------------------------------------------------

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def overlay_path(home: Path, product_id: str, source_file: str | None, recorded_at: str, seq: int) -> Path:
    """Where the overlay of one image goes; the source name is reduced to safe characters (it comes from outside)."""
    stem = _UNSAFE.sub("_", Path(source_file or "image").stem).strip("._") or "image"
    day = recorded_at[:10]
    stamp = recorded_at[11:23].replace(":", "").replace(".", "")
    return overlays_dir(home, product_id) / day / f"{stamp}_{seq:05d}_{stem[:80]}.png"


def write_overlay(path: Path, overlay: np.ndarray, source: object) -> Path | None:
    """Write an anomaly overlay as PNG and return `path`; on failure log why and return None.

    A full disk or an unwritable folder must not stop the inspection: the verdict is what counts.
    """
    import cv2

    try:
        ok, buf = cv2.imencode(".png", np.ascontiguousarray(overlay))
        if not ok:
            msg = "PNG encoding failed"
            raise ValueError(msg)
        write_atomic(path, buf.tobytes())
    except (OSError, ValueError, cv2.error) as exc:
        logger.warning("cannot write the overlay of %s to %s: %s", source, path, exc)
        return None
    return path


# --- results database --------------------------------------------------------------------------------------


class ResultStore:
    """SQLite results in WAL mode: each row is committed on its own, so a killed process loses nothing recorded.

    Opening migrates an older database to this version (`_MIGRATIONS`) and refuses a newer one; with
    `create=False` (readers) nothing is created or migrated.
    """

    def __init__(self, path: Path, *, create: bool = True) -> None:
        self.path = Path(path)
        if create:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        elif not self.path.exists():
            msg = f"no results database at {self.path}"
            raise StoreError(msg)
        try:
            self._db = _connect(self.path)
            if create:
                self._db.execute("PRAGMA journal_mode = WAL")
                self._db.execute("PRAGMA synchronous = FULL")
            self._migrate(apply=create)
        except sqlite3.Error as exc:
            msg = f"cannot open the results database {self.path}: {exc}"
            raise StoreError(msg) from None

    def _migrate(self, *, apply: bool) -> None:
        # IMMEDIATE takes the write lock before the version is read: two processes opening an old database
        # at once migrate it once, the second one finds it done.
        self._db.execute("BEGIN IMMEDIATE" if apply else "BEGIN")
        try:
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            if version > SCHEMA_VERSION:
                msg = f"results database is version {version}, this qorva knows up to {SCHEMA_VERSION}: upgrade qorva"
                raise StoreError(msg)
            for script in _MIGRATIONS[version:] if apply else ():
                for statement in filter(str.strip, script.split(";")):
                    self._db.execute(statement)
            if apply and version < SCHEMA_VERSION:
                self._db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            self._db.execute("COMMIT")
        except BaseException:
            self._db.execute("ROLLBACK")
            raise

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> ResultStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def add(self, row: Row, *, handovers: Sequence[int] = ()) -> int:
        """Record one row and return its id; the journal's entries `handovers` are closed with it."""
        values = asdict(row)
        cols = ", ".join(COLUMNS)
        marks = ", ".join("?" for _ in COLUMNS)
        try:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                cur = self._db.execute(f"INSERT INTO results ({cols}) VALUES ({marks})", [values[c] for c in COLUMNS])
                if handovers:
                    self._db.executemany("DELETE FROM handovers WHERE id = ?", [(h,) for h in handovers])
                self._db.execute("COMMIT")
            except BaseException:
                self._db.execute("ROLLBACK")
                raise
        except (sqlite3.Error, ValueError) as exc:  # ValueError: text SQLite cannot encode
            msg = f"cannot record a result in {self.path}: {exc}"
            raise StoreError(msg) from None
        row.id = int(cur.lastrowid)
        return row.id

    def recorded(self, key: Key) -> int | None:
        """The id of the row already recorded for the image `key`, if there is one."""
        sql = (
            "SELECT id FROM results WHERE content_hash = ? AND product_id = ? AND source_file = ?"
            " AND file_size IS ? AND file_mtime_ns IS ? ORDER BY id LIMIT 1"
        )
        found = self._read(sql, key.values())
        return int(found[0][0]) if found else None

    def taken_before(self, key: Key, source: Source, run_id: str) -> tuple[list[int], bool]:
        """The journal entries of earlier runs for the file at `source`, and whether one of them took the
        very image `key` (same name, size and modification time: the journal has no hash of the pixels).

        Recording the file closes them all: an entry whose file has since been rewritten under the same
        name would otherwise be reported as unrecorded at every start.
        """
        sql = (
            "SELECT id, file_size, file_mtime_ns FROM handovers WHERE source_bytes = ? AND product_id = ?"
            " AND run_id != ?"
        )
        found = self._read(sql, (raw(source or b""), key.product_id, run_id))
        same = any((r[1], r[2]) == (key.file_size, key.file_mtime_ns) for r in found)
        return [int(r[0]) for r in found], same

    def unrecorded(self, product_id: str, run_id: str) -> list[tuple[int, bytes]]:
        """(id, raw source path) of the images that earlier runs took for the product and never recorded."""
        sql = "SELECT id, source_bytes FROM handovers WHERE product_id = ? AND run_id != ? ORDER BY id"
        return [(int(r[0]), bytes(r[1])) for r in self._read(sql, (product_id, run_id))]

    def forget_handovers(self, ids: Sequence[int] = (), *, run_id: str | None = None) -> None:
        """Delete journal entries: those of `ids`, and every entry of the run `run_id`."""
        try:
            self._db.executemany("DELETE FROM handovers WHERE id = ?", [(i,) for i in ids])
            if run_id is not None:
                self._db.execute("DELETE FROM handovers WHERE run_id = ?", (run_id,))
        except sqlite3.Error as exc:
            msg = f"cannot update {self.path}: {exc}"
            raise StoreError(msg) from None

    def journal(self) -> HandoverJournal:
        """A connection of its own for the camera's receiver thread, which notes each image it hands over."""
        return HandoverJournal(self.path)

    def _read(self, sql: str, args: Sequence[Any]) -> list[sqlite3.Row]:
        try:
            return self._db.execute(sql, args).fetchall()
        except sqlite3.Error as exc:
            msg = f"cannot read the results database {self.path}: {exc}"
            raise StoreError(msg) from None

    def query(
        self,
        *,
        product_id: str | None = None,
        since: str | None = None,
        verdicts: Sequence[str] = (),
        run_id: str | None = None,
        limit: int | None = None,
    ) -> list[Row]:
        """Rows in recording order, filtered; with `limit` the most recent ones."""
        where, args = [], []
        for column, value in (("product_id = ?", product_id), ("recorded_at >= ?", since), ("run_id = ?", run_id)):
            if value is not None:
                where.append(column)
                args.append(value)
        if verdicts:
            where.append(f"verdict IN ({', '.join('?' for _ in verdicts)})")
            args.extend(verdicts)
        sql = "SELECT * FROM results"
        if where:
            sql += " WHERE " + " AND ".join(where)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT ?"
            args.append(int(limit))
        # A database of an older version lacks the newer columns: the row's defaults stand in for them.
        return [Row(**dict(r)) for r in reversed(self._read(sql, args))]


    def runs(self, product_id: str | None = None) -> list[RunInfo]:
        """The recorded runs, oldest first: id, product, first and last time, counts per verdict."""
        sql = (
            "SELECT run_id, product_id, MIN(recorded_at), MAX(recorded_at), COUNT(*),"
            " SUM(verdict = 'OK'), SUM(verdict = 'NG'), SUM(verdict = 'ERROR') FROM results"
            + (" WHERE product_id = ?" if product_id is not None else "")
            + " GROUP BY run_id, product_id ORDER BY MIN(id)"
        )
        return [RunInfo(*r) for r in self._read(sql, () if product_id is None else (product_id,))]


@dataclass(frozen=True)
class RunInfo:
    """One run of `watch` (or the demo) as recorded."""

    run_id: str
    product_id: str
    first: str
    last: str
    n: int
    ok: int
    ng: int
    error: int


@dataclass(frozen=True)
class Key:
    """What tells one image from every other: the product, its file name, size, modification time and pixels."""

    product_id: str
    source_file: str
    file_size: int | None
    file_mtime_ns: int | None
    content_hash: str

    def values(self) -> tuple[Any, ...]:
        return (self.content_hash, self.product_id, self.source_file, self.file_size, self.file_mtime_ns)


class HandoverJournal:
    """The images a camera has handed over and the job has not recorded yet, noted as they are handed over.

    Commits here are not synced to disk (synchronous NORMAL): an entry lost in a power cut only means that
    the image, still in the drop folder, is judged again without being marked as recovered.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        # Made on the job's thread, used only by the receiver thread afterwards.
        self._db = _connect(path, check_same_thread=False)
        self._db.execute("PRAGMA synchronous = NORMAL")

    def take(self, key: Key, source: Source, run_id: str) -> int:
        """Note the hand-over of the image `key` (its content hash is not used) and return the entry's id."""
        sql = (
            "INSERT INTO handovers (taken_at, run_id, product_id, source_file, source_bytes, file_size,"
            " file_mtime_ns) VALUES (?, ?, ?, ?, ?, ?, ?)"
        )
        args = (utc_now(), run_id, key.product_id, key.source_file, raw(source or b""), key.file_size,
                key.file_mtime_ns)
        return int(self._db.execute(sql, args).lastrowid)

    def close(self) -> None:
        self._db.close()


def _connect(path: Path, *, check_same_thread: bool = True) -> sqlite3.Connection:
    # Autocommit (isolation_level None): a row is durable as soon as its statement or transaction returns.
    db = sqlite3.connect(str(path), timeout=10.0, isolation_level=None, check_same_thread=check_same_thread)
    db.row_factory = sqlite3.Row
    db.execute("PRAGMA busy_timeout = 10000")
    return db
