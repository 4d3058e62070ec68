"""The journal of hand-overs: the images a camera handed over that the job has not recorded yet."""

from __future__ import annotations

from typing import Any

from qorva.database import Database
from qorva.names import raw
from qorva.results.key import Key
from qorva.results.row import Source, utc_now


class HandoverJournal:
    """The images a camera has handed over and the job has not recorded yet, noted as they are handed over.

    SQLite commits here are not synced to disk (synchronous NORMAL): an entry lost in a power cut only means
    that the image, still in the drop folder, is judged again without being marked as recovered. A lost
    connection is made again at the next entry.
    """

    def __init__(self, db: Database, station: str) -> None:
        self.db, self.station = db, station
        # Made on the job's thread, used only by the receiver thread afterwards.
        self._conn: Any = self._connect()

    def _connect(self) -> Any:
        conn = self.db.connect(writer=True, shared=True)
        if self.db.sql("?") == "?":
            conn.execute("PRAGMA synchronous = NORMAL")
        return conn

    def take(self, key: Key, source: Source, run_id: str) -> int:
        """Note the hand-over of the image `key` (its content hash is not used) and return the entry's id."""
        if self._conn is None:
            self._conn = self._connect()
        columns = ("taken_at", "run_id", "product_id", "source_file", "source_bytes", "file_size", "file_mtime_ns",
                   "station")
        values = [utc_now(), run_id, key.product_id, key.source_file, raw(source or b""), key.file_size,
                  key.file_mtime_ns, self.station]
        try:
            made = self.db.insert(self._conn, "handovers", columns, values, unique="id")
        except self.db.errors as exc:
            if self.db.lost(exc, self._conn):
                self.close()
            raise
        return int(made)

    def close(self) -> None:
        if self._conn is not None:
            try:
                self._conn.close()
            finally:
                self._conn = None
