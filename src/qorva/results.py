"""The record of each inspected image: one row shape for the results database, `qorva inspect` and `qorva results`."""

from __future__ import annotations

import datetime as _dt
import logging
import math
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
from qorva.schemas.common import Verdict

logger = logging.getLogger("qorva.results")

VERDICTS = tuple(v.value for v in Verdict)
_SCHEMA_VERSION = 1

_SCHEMA = """
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
"""


class StoreError(QorvaError):
    """The home folder or the results database cannot be used."""


def _number(value: Any) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


@dataclass
class Row:
    """One inspected image as recorded; `recorded_at` is UTC ISO-8601 with milliseconds.

    The branch columns are the runner's `BRANCHES`, one column each.
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
    id: int | None = None

    @classmethod
    def from_result(
        cls,
        result: Any,
        *,
        run_id: str,
        product_id: str,
        source_file: str | None,
        source_path: str | None,
        latency_ms: float,
    ) -> Row:
        """The row of one `InspectionResult`, recorded now; a verdict on a non-finite score becomes ERROR."""
        from qorva.inspection.modules.norim.runner import BRANCHES

        verdict = str(getattr(result.verdict, "value", result.verdict))
        score = _number(result.score)
        error = getattr(result, "error_message", None)
        if verdict != "ERROR" and (score is None or not math.isfinite(score)):
            # A verdict on a score that is not a number is no verdict.
            verdict, error = "ERROR", f"non-finite score {result.score!r}"
        details = result.details or {}
        branch = details.get("branch") or {}
        return cls(
            recorded_at=utc_now(),
            run_id=run_id,
            product_id=product_id,
            source_file=source_file,
            source_path=source_path,
            verdict=verdict,
            score=score if verdict != "ERROR" else None,
            threshold=_number(result.threshold),
            ratio=_number(details.get("ratio_over_threshold")),
            **{name: _number(branch.get(name)) for name in BRANCHES},
            dominant_branch=details.get("dominant_branch"),
            latency_ms=round(latency_ms, 2),
            error_message=error,
        )

    def to_record(self) -> dict[str, Any]:
        """The row as printed by `--format json`: `id` (None before it is recorded), then every column."""
        return {"id": self.id, **{c: getattr(self, c) for c in COLUMNS}}


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
    """SQLite results in WAL mode: each row is committed on its own, so a killed process loses nothing recorded."""

    def __init__(self, path: Path, *, create: bool = True) -> None:
        self.path = Path(path)
        if create:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        elif not self.path.exists():
            msg = f"no results database at {self.path}"
            raise StoreError(msg)
        try:
            # Autocommit (isolation_level None): a row is durable as soon as `add` returns.
            self._db = sqlite3.connect(str(self.path), timeout=10.0, isolation_level=None)
            self._db.row_factory = sqlite3.Row
            self._db.execute("PRAGMA busy_timeout = 10000")
            if create:
                self._create()
        except sqlite3.Error as exc:
            msg = f"cannot open the results database {self.path}: {exc}"
            raise StoreError(msg) from None

    def _create(self) -> None:
        self._db.execute("PRAGMA journal_mode = WAL")
        self._db.execute("PRAGMA synchronous = FULL")
        self._db.executescript(_SCHEMA)
        version = self._db.execute("PRAGMA user_version").fetchone()[0]
        if version == 0:
            self._db.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")
        elif version > _SCHEMA_VERSION:
            msg = f"results database {self.path} is of a newer format ({version}); upgrade qorva"
            raise StoreError(msg)

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> ResultStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def add(self, row: Row) -> int:
        """Record one row and return its id."""
        values = asdict(row)
        cols = ", ".join(COLUMNS)
        marks = ", ".join("?" for _ in COLUMNS)
        try:
            cur = self._db.execute(f"INSERT INTO results ({cols}) VALUES ({marks})", [values[c] for c in COLUMNS])
        except sqlite3.Error as exc:
            msg = f"cannot record a result in {self.path}: {exc}"
            raise StoreError(msg) from None
        row.id = int(cur.lastrowid)
        return row.id

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
        if product_id is not None:
            where.append("product_id = ?")
            args.append(product_id)
        if since is not None:
            where.append("recorded_at >= ?")
            args.append(since)
        if verdicts:
            where.append(f"verdict IN ({', '.join('?' for _ in verdicts)})")
            args.extend(verdicts)
        if run_id is not None:
            where.append("run_id = ?")
            args.append(run_id)
        sql = "SELECT * FROM results"
        if where:
            sql += " WHERE " + " AND ".join(where)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT ?"
            args.append(int(limit))
        try:
            rows = self._db.execute(sql, args).fetchall()
        except sqlite3.Error as exc:
            msg = f"cannot read the results database {self.path}: {exc}"
            raise StoreError(msg) from None
        return [Row(**dict(r)) for r in reversed(rows)]
