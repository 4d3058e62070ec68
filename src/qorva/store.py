"""The results database and the files kept per product under the qorva home folder.

Home layout (everything a command writes lives here):

    <home>/products/<product>/norim/<bundle>/   trained bundles (`qorva train`)
    <home>/products/<product>/norim/state.json  taught model state (`qorva teach`)
    <home>/_train/norim/<product>/              retraining cache (`qorva purge` removes it)
    <home>/results/results.db                   one row per inspected image (`qorva watch`)
    <home>/results/overlays/<product>/<date>/   anomaly overlays of NG images
"""

from __future__ import annotations

import datetime as _dt
import os
import re
import sqlite3
import uuid
from collections.abc import Iterator, Sequence
from dataclasses import asdict, dataclass, fields
from pathlib import Path
from typing import Any

from qorva.errors import QorvaError

STATE_FILE = "state.json"
DB_NAME = "results.db"
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


class ProductError(QorvaError):
    """A product id that is unsafe, unknown or not taught yet."""


@dataclass
class Row:
    """One inspected image as recorded; `recorded_at` is UTC ISO-8601 with milliseconds."""

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


COLUMNS = tuple(f.name for f in fields(Row) if f.name != "id")


def utc_now() -> str:
    return format_time(_dt.datetime.now(_dt.UTC))


def format_time(moment: _dt.datetime) -> str:
    return moment.astimezone(_dt.UTC).strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


# --- products ----------------------------------------------------------------------------------------------


def check_product(product_id: str) -> str:
    """`product_id` if it names exactly one folder under products/, else `ProductError`."""
    from qorva.inspection.modules.norim.runner.paths import NorimError, check_name

    try:
        return check_name(product_id, "product id")
    except NorimError as exc:
        raise ProductError(str(exc)) from None


def product_dir(home: Path, product_id: str) -> Path:
    return home / "products" / check_product(product_id)


def state_path(home: Path, product_id: str) -> Path:
    return product_dir(home, product_id) / "norim" / STATE_FILE


def require_product(home: Path, product_id: str) -> Path:
    """The product's folder; `ProductError` naming the fix when it was never trained."""
    folder = product_dir(home, product_id)
    if not folder.is_dir():
        known = known_products(home)
        hint = f" (known: {', '.join(known)})" if known else ""
        msg = (
            f"unknown product {product_id!r}: no folder {folder}{hint}; "
            f"run 'qorva train --product {product_id} --good DIR' first"
        )
        raise ProductError(msg)
    return folder


def known_products(home: Path) -> list[str]:
    root = home / "products"
    try:
        return sorted(p.name for p in root.iterdir() if p.is_dir())
    except OSError:
        return []


def write_atomic(path: Path, data: bytes) -> None:
    """Write `data` to `path` through a temporary file in the same folder, so readers never see half a file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    # Not mkstemp: its 0600 mode would make reports and overlays unreadable to the rest of the line.
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex[:12]}.tmp")
    try:
        with open(tmp, "xb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def save_state(home: Path, state: Any) -> Path:
    """Store a `ModelState` as the product's taught state; returns the file written."""
    path = state_path(home, state.product_id)
    write_atomic(path, (state.to_json(indent=2) + "\n").encode("utf-8"))
    return path


def load_state(home: Path, product_id: str) -> Any:
    """The product's taught `ModelState`; `ProductError` when the product is unknown, untaught or damaged."""
    from qorva.inspection.base import ModelState

    require_product(home, product_id)
    path = state_path(home, product_id)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        msg = f"product {product_id!r} is not taught yet: no {path};"
        msg += f" run 'qorva teach --product {product_id} --good DIR'"
        raise ProductError(msg) from None
    except OSError as exc:
        msg = f"cannot read the taught state {path}: {exc}"
        raise ProductError(msg) from None
    try:
        return ModelState.from_json(text)
    except ValueError as exc:
        msg = f"taught state {path} is damaged ({exc}); teach the product again"
        raise ProductError(msg) from None


# --- overlays ----------------------------------------------------------------------------------------------

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def overlay_path(home: Path, product_id: str, source_file: str | None, recorded_at: str, seq: int) -> Path:
    """Where the overlay of one image goes; the source name is reduced to safe characters (it comes from outside)."""
    stem = _UNSAFE.sub("_", Path(source_file or "image").stem).strip("._") or "image"
    day = recorded_at[:10]
    stamp = recorded_at[11:23].replace(":", "").replace(".", "")
    return home / "results" / "overlays" / check_product(product_id) / day / f"{stamp}_{seq:05d}_{stem[:80]}.png"


# --- results database --------------------------------------------------------------------------------------


def db_path(home: Path) -> Path:
    return home / "results" / DB_NAME


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
                self._db.execute("PRAGMA journal_mode = WAL")
                self._db.execute("PRAGMA synchronous = FULL")
                self._db.executescript(_SCHEMA)
                version = self._db.execute("PRAGMA user_version").fetchone()[0]
                if version == 0:
                    self._db.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")
                elif version > _SCHEMA_VERSION:
                    msg = f"results database {self.path} is of a newer format ({version}); upgrade qorva"
                    raise StoreError(msg)
        except sqlite3.Error as exc:
            msg = f"cannot open the results database {self.path}: {exc}"
            raise StoreError(msg) from None

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

    def __iter__(self) -> Iterator[Row]:
        return iter(self.query())
