"""The results database: each row committed on its own, retried through a lost connection, never doubled."""

from __future__ import annotations

import hashlib
import json
import logging
import re
import socket
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from qorva.database import Database, DriverMissing, open_database
from qorva.errors import QorvaError
from qorva.names import raw
from qorva.results import outbox
from qorva.results.journal import HandoverJournal
from qorva.results.key import Key
from qorva.results.row import COLUMNS, SHADOW_COLUMNS, VERDICTS, Row, Shadow, Source
from qorva.results.schema import MIGRATIONS, SCHEMA_VERSION

logger = logging.getLogger("qorva.results")


class StoreError(QorvaError):
    """The home folder or the results database cannot be used."""


class NoResults(StoreError):
    """A reader found no results database at `where` (nothing was recorded there yet)."""

    def __init__(self, where: str) -> None:
        super().__init__(f"no results database at {where}")
        self.where = where


def default_station() -> str:
    """The name of this station in a shared database: the host name."""
    return socket.gethostname() or "station"


# The schema version that added the candidate versions' verdicts (`shadow_results`).
_SHADOW_SCHEMA = 5
# Tables that a database of an earlier version lacks: a reader finds no review, alarm or stored overlay there.
_LATER_TABLES = ("reviews", "alarms", "overlay_images")
# A lost connection is tried again after 0.5 s, doubling up to 10 s between tries.
_RETRY_FIRST_S = 0.5
_RETRY_MAX_S = 10.0


def row_key(row: Row) -> str | None:
    """The unique key of a row: its station and image key, hashed; None for a row without an image key."""
    if row.content_hash is None:
        return None
    parts = [row.station, row.product_id, row.source_file, row.file_size, row.file_mtime_ns, row.content_hash]
    return hashlib.sha256(json.dumps(parts).encode()).hexdigest()[:32]


class ResultStore:
    """The results database: each row committed on its own, so a killed process loses nothing recorded.

    `target` is the path of a SQLite file (WAL) or a `postgresql://` URL, the line's shared store. Opening
    migrates an older database to this version (`MIGRATIONS`) and refuses a newer one; with `create=False`
    (readers) nothing is created or migrated, `NoResults` says there is nothing to read, and a database of an
    earlier version is read with the columns it has.

    A lost connection (server restarted, network cut) is made again and the call retried, the first time
    after 0.5 s, then at most every 10 s: until `stop` is set when it is given (the watch job holds its
    frames meanwhile; their files stay in the drop folder), else for `retry_s` seconds (default: 30 for a
    writer, 5 for a reader, whom a person waits for). A row whose commit was cut off is inserted again and,
    if it had been committed, found by its unique key: never doubled. A server that answers and refuses (a
    wrong password, no such database) is not waited for: that ends at once in one line.
    """

    def __init__(
        self, target: str | Path, *, create: bool = True, station: str | None = None,
        stop: threading.Event | None = None, retry_s: float | None = None, synced: bool = True,
    ) -> None:
        try:
            self.db: Database = open_database(target)
        except DriverMissing as exc:
            raise StoreError(str(exc)) from None
        self.path = getattr(self.db, "path", self.db.where)
        self.where = self.db.where
        self.station = station or default_station()
        self.stop = stop
        self.retry_s = retry_s if retry_s is not None else 30.0 if create else 5.0
        self._conn: Any = None
        self._writer = create
        # Unsynced (an outbox sender's own store): a mark lost in a power cut only sends a message again.
        self._synced = synced
        self.columns: frozenset[str] = frozenset()
        self.schema = 0  # the database's schema version as opened
        self.tables: frozenset[str] = frozenset()  # of `_LATER_TABLES`, those this database has
        if not create and not self._call("open the results database", lambda conn: True, connect=False):
            raise NoResults(self.where)
        self._call("open the results database", self._migrate)

    def _migrate(self, conn: Any) -> bool:
        with self.db.transaction(conn, write=self._writer):
            version = self.db.version(conn, migrating=self._writer)
            if version > SCHEMA_VERSION:
                msg = f"results database is version {version}, this qorva knows up to {SCHEMA_VERSION}: upgrade qorva"
                raise StoreError(msg)
            if not self._writer and version == 0:
                raise NoResults(self.where)
            for script in MIGRATIONS[version:] if self._writer else ():
                for statement in filter(str.strip, script.split(";")):
                    conn.execute(self.db.ddl(statement))
            if self._writer and version < SCHEMA_VERSION:
                self.db.set_version(conn, SCHEMA_VERSION)
            # A reader leaves an older database as it is and reads the columns it has (the rest are the row's
            # defaults); a `watch` of this version migrates it when it opens it.
            found = conn.execute(self.db.sql("SELECT * FROM results LIMIT 0")).description
            self.columns = frozenset(d[0] for d in found)
            self.schema = SCHEMA_VERSION if self._writer else version
            self.tables = frozenset(t for t in _LATER_TABLES if self._has_table(conn, t))
        return True

    def _has_table(self, conn: Any, table: str) -> bool:
        sql = ("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?" if self.db.sql("?") == "?"
               else "SELECT to_regclass(?) IS NOT NULL AS name")
        found = conn.execute(self.db.sql(sql), (table,)).fetchone()
        return bool(found and found["name"])

    def _column(self, name: str, aggregate: str = "") -> str:
        """`name` in SQL, or NULL where an older database lacks the column (no row there has a value in it)."""
        if name not in self.columns:
            return "NULL"
        return f"{aggregate}({name})" if aggregate else name

    def _call(self, what: str, fn: Callable[[Any], Any], *, connect: bool = True) -> Any:
        """`fn(connection)`; while the server is out of reach the connection is made again and `fn` retried."""
        lost_at, delay = None, _RETRY_FIRST_S
        while True:
            try:
                if not connect:
                    return self.db.exists()
                if self._conn is None:
                    self._conn = self.db.connect(writer=self._writer)
                    if not self._synced and self.db.sql("?") == "?":
                        self._conn.execute("PRAGMA synchronous = NORMAL")
                result = fn(self._conn)
            except (*self.db.errors, ValueError) as exc:  # ValueError: text the engine cannot store
                text = self.db.scrub(_one_line(exc))
                if not self.db.lost(exc, self._conn):
                    msg = f"cannot {what} {self.where}: {text}{_hint(text)}"
                    raise StoreError(msg) from None
                self._forget_connection()
                if lost_at is None:
                    lost_at = time.monotonic()
                    logger.warning("results database %s is out of reach, trying again: %s", self.where, text)
                if self._give_up(lost_at, delay):
                    msg = f"results database {self.where} out of reach for {time.monotonic() - lost_at:.0f} s: "
                    raise StoreError(msg + text) from None
                delay = min(delay * 2, _RETRY_MAX_S)
                continue
            if lost_at is not None:
                logger.warning("results database %s reached again after %.1f s", self.where, time.monotonic() - lost_at)
            return result

    def _give_up(self, lost_at: float, delay: float) -> bool:
        if self.stop is not None:
            return self.stop.wait(delay)
        if time.monotonic() + delay > lost_at + self.retry_s:
            return True
        time.sleep(delay)
        return False

    def _forget_connection(self) -> None:
        if self._conn is not None:
            try:
                self._conn.close()
            except Exception:  # noqa: BLE001, S110 - a broken connection may fail to close; it is dropped anyway
                pass
        self._conn = None

    def close(self) -> None:
        self._forget_connection()

    def __enter__(self) -> ResultStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def add(
        self, row: Row, *, handovers: Sequence[int] = (), outputs: Sequence[str] = (), shadow: Shadow | None = None,
        overlay_jpeg: bytes | None = None,
    ) -> int:
        """Record one row with the station's next sequence number and return its id; the journal's entries
        `handovers` are closed, a message per output in `outputs` is queued in the outbox, the verdict of a
        candidate version (`shadow`) is kept beside it and the overlay's small JPEG `overlay_jpeg` stored with
        it, all in one transaction."""
        if row.station is None:
            row.station = self.station
        row.row_key = row_key(row)
        jpeg = overlay_jpeg if overlay_jpeg and "overlay_images" in self.tables else None
        self._call("record a result in", lambda conn: self._insert(conn, row, handovers, outputs, shadow, jpeg))
        return row.id

    def _insert(
        self, conn: Any, row: Row, handovers: Sequence[int], outputs: Sequence[str], shadow: Shadow | None,
        jpeg: bytes | None = None,
    ) -> None:
        with self.db.transaction(conn, write=True):
            # Committed before the connection was lost, or recorded by another path: that row, its number
            # and its messages stand.
            found = None if row.row_key is None else conn.execute(
                self.db.sql("SELECT id, seq FROM results WHERE row_key = ?"), (row.row_key,)).fetchone()
            if found is None:
                row.seq = outbox.next_seq(self.db, conn, row.station)
                made = self.db.insert(conn, "results", COLUMNS, [getattr(row, c) for c in COLUMNS], unique="row_key")
                row.id = made if made is not None else int(conn.execute(
                    self.db.sql("SELECT id FROM results WHERE row_key = ?"), (row.row_key,)).fetchone()["id"])
                outbox.queue(self.db, conn, row, outputs)
                if jpeg is not None and made is not None:
                    conn.execute(self.db.sql("INSERT INTO overlay_images (result_id, jpeg) VALUES (?, ?)"),
                                 (row.id, jpeg))
            else:
                row.id, row.seq = int(found["id"]), found["seq"]
            for h in handovers:
                conn.execute(self.db.sql("DELETE FROM handovers WHERE id = ?"), (h,))
            if shadow is not None:
                kept = [row.id, *(getattr(shadow, c) for c in SHADOW_COLUMNS)]
                self.db.insert(conn, "shadow_results", ("result_id", *SHADOW_COLUMNS), kept, unique="result_id")

    # --- the outbox, for the senders of `qorva.outputs` (each on a store of its own) ----------------------------

    def waiting(self, output: str, *, after: int = 0, limit: int = 100) -> list[outbox.Message]:
        """This station's messages for `output` not yet confirmed, after the entry `after`, oldest first."""
        return self._call("read the outbox of", lambda c: outbox.waiting(self.db, c, self.station, output, after,
                                                                          limit))

    def mark(self, ids: Sequence[int], state: str = outbox.SENT) -> None:
        """Mark outbox entries sent (confirmed by their peer) or dropped."""
        self._call("update the outbox of", lambda c: outbox.mark(self.db, c, ids, state))

    def bound(self, output: str, *, max_messages: int, max_age_s: float | None) -> int:
        """Drop the oldest waiting messages of `output` past the cap; returns how many."""
        return self._call("bound the outbox of", lambda c: outbox.bound(
            self.db, c, self.station, output, max_messages=max_messages, max_age_s=max_age_s))

    def backlogs(self, station: str | None = None) -> list[outbox.Backlog]:
        """Each output's messages waiting, the oldest one's time and those dropped (empty before version 4)."""
        if "seq" not in self.columns:
            return []
        return self._call("read the outbox of", lambda c: outbox.backlogs(self.db, c, station))

    def recorded(self, key: Key) -> int | None:
        """The id of the row this station already recorded for the image `key`, if there is one."""
        # Rows of databases before version 3 have no station: they were recorded by the station that owns the file.
        sql = (
            "SELECT id FROM results WHERE content_hash = ? AND product_id = ? AND source_file = ?"
            f" AND file_size {self._same} ? AND file_mtime_ns {self._same} ? AND (station = ? OR station IS NULL)"
            " ORDER BY id LIMIT 1"
        )
        found = self._read(sql, (*key.values(), self.station))
        return int(found[0]["id"]) if found else None

    @property
    def _same(self) -> str:
        # Equality that holds between two NULLs: a file that could not be examined has no size or time.
        return "IS" if self.db.sql("?") == "?" else "IS NOT DISTINCT FROM"

    def taken_before(self, key: Key, source: Source, run_id: str) -> tuple[list[int], bool]:
        """The journal entries of earlier runs of this station for the file at `source`, and whether one of
        them took the very image `key` (same name, size and modification time: the journal has no hash of the
        pixels).

        Recording the file closes them all: an entry whose file has since been rewritten under the same
        name would otherwise be reported as unrecorded at every start.
        """
        sql = (
            "SELECT id, file_size, file_mtime_ns FROM handovers WHERE source_bytes = ? AND product_id = ?"
            " AND run_id != ? AND (station = ? OR station IS NULL)"
        )
        found = self._read(sql, (raw(source or b""), key.product_id, run_id, self.station))
        same = any((r["file_size"], r["file_mtime_ns"]) == (key.file_size, key.file_mtime_ns) for r in found)
        return [int(r["id"]) for r in found], same

    def unrecorded(self, product_id: str, run_id: str) -> list[tuple[int, bytes]]:
        """(id, raw source path) of the images that earlier runs of this station took and never recorded."""
        sql = (
            "SELECT id, source_bytes FROM handovers WHERE product_id = ? AND run_id != ?"
            " AND (station = ? OR station IS NULL) ORDER BY id"
        )
        return [(int(r["id"]), bytes(r["source_bytes"])) for r in self._read(sql, (product_id, run_id, self.station))]

    def forget_handovers(self, ids: Sequence[int] = (), *, run_id: str | None = None) -> None:
        """Delete journal entries: those of `ids`, and every entry of the run `run_id`."""

        def delete(conn: Any) -> None:
            for i in ids:
                conn.execute(self.db.sql("DELETE FROM handovers WHERE id = ?"), (i,))
            if run_id is not None:
                conn.execute(self.db.sql("DELETE FROM handovers WHERE run_id = ?"), (run_id,))

        self._call("update", delete)

    def journal(self) -> HandoverJournal:
        """A connection of its own for the camera's receiver thread, which notes each image it hands over."""
        try:
            return HandoverJournal(self.db, self.station)
        except self.db.errors as exc:
            msg = f"cannot open the journal in {self.where}: {self.db.scrub(_one_line(exc))}"
            raise StoreError(msg) from None

    def _read(self, sql: str, args: Sequence[Any]) -> list[Any]:
        sql = self.db.sql(sql)
        return self._call("read the results database", lambda conn: conn.execute(sql, tuple(args)).fetchall())

    def read(self, sql: str, args: Sequence[Any] = ()) -> list[Any]:
        """The records of one query (`?` marks), retried through a lost connection like every call here."""
        return self._read(sql, args)

    def transact(self, what: str, fn: Callable[[Any], Any]) -> Any:
        """`fn(connection)` inside one write transaction, retried through a lost connection; `what` names the
        work in an error ("cannot <what> <database>")."""

        def run(conn: Any) -> Any:
            with self.db.transaction(conn, write=True):
                return fn(conn)

        return self._call(what, run)

    def overlay_image(self, result_id: int) -> bytes | None:
        """The overlay JPEG stored with the row `result_id`, if one was."""
        if "overlay_images" not in self.tables:
            return None
        found = self._read("SELECT jpeg FROM overlay_images WHERE result_id = ?", (int(result_id),))
        return bytes(found[0]["jpeg"]) if found else None

    def row(self, result_id: int) -> Row | None:
        """The row of id `result_id`, if there is one."""
        found = self._read("SELECT * FROM results WHERE id = ?", (int(result_id),))
        return row_from(found[0]) if found else None

    def query(
        self,
        *,
        product_id: str | None = None,
        since: str | None = None,
        verdicts: Sequence[str] = (),
        run_id: str | None = None,
        limit: int | None = None,
        station: str | None = None,
        until: str | None = None,
    ) -> list[Row]:
        """Rows in recording order, filtered (`since` included, `until` not); with `limit` the most recent ones."""
        where, args = [], []
        filters = (("product_id = ?", product_id), ("recorded_at >= ?", since), ("recorded_at < ?", until),
                   ("run_id = ?", run_id), (f"{self._column('station')} = ?", station))
        for column, value in filters:
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
        return [row_from(r) for r in reversed(self._read(sql, args))]

    def shadows(self, ids: Sequence[int]) -> dict[int, Shadow]:
        """The candidate version's verdicts kept beside the rows `ids` (none in a database from before them)."""
        if self.schema < _SHADOW_SCHEMA or not ids:
            return {}
        out: dict[int, Shadow] = {}
        wanted = sorted(set(ids))
        for start in range(0, len(wanted), 500):  # bounded IN lists: SQLite allows 32,766 parameters at most
            part = wanted[start : start + 500]
            sql = f"SELECT * FROM shadow_results WHERE result_id IN ({', '.join('?' for _ in part)})"
            for r in self._read(sql, part):
                out[int(r["result_id"])] = Shadow(**{c: r[c] for c in SHADOW_COLUMNS})
        return out

    def products(self) -> list[str]:
        """The products that have rows here, sorted."""
        return sorted(str(r["product_id"]) for r in self._read("SELECT DISTINCT product_id FROM results", ()))

    def runs(self, product_id: str | None = None, station: str | None = None) -> list[RunInfo]:
        """The recorded runs, oldest first: id, product, station, first and last time, counts per verdict."""
        counts = ", ".join(f"SUM(CASE WHEN verdict = '{v}' THEN 1 ELSE 0 END) AS n_{v.lower()}" for v in VERDICTS)
        station_is = f"{self._column('station')} = ?"
        where = [c for c, v in (("product_id = ?", product_id), (station_is, station)) if v is not None]
        sql = (
            f"SELECT run_id, product_id, {self._column('station', 'MIN')} AS station, MIN(recorded_at) AS first,"
            f" MAX(recorded_at) AS last, COUNT(*) AS n, {counts} FROM results"
            + (" WHERE " + " AND ".join(where) if where else "")
            + " GROUP BY run_id, product_id ORDER BY MIN(id)"
        )
        found = self._read(sql, [v for v in (product_id, station) if v is not None])
        return [RunInfo(r["run_id"], r["product_id"], r["first"], r["last"], int(r["n"]), int(r["n_ok"] or 0),
                        int(r["n_ng"] or 0), int(r["n_error"] or 0), station=r["station"]) for r in found]


def row_from(record: Any) -> Row:
    """A `Row` of a database record (the columns an older database lacks take the row's defaults)."""
    data = dict(record)
    if isinstance(data.get("source_bytes"), memoryview):
        data["source_bytes"] = bytes(data["source_bytes"])
    return Row(**data)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _hint(message: str) -> str:
    """What to do about a server that refused the connection (see docs/operations.md)."""
    if "password authentication" in message or "fe_sendauth" in message:
        return "; give the password in PGPASSWORD or a password file (~/.pgpass), see docs/operations.md"
    if re.search(r"\b(role|database) \S+ does not exist", message):
        return "; create the role and database first, see docs/operations.md"
    return ""


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
    station: str | None = None
