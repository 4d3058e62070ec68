"""The outbox: each row's messages to the line's outputs, kept until the output's peer confirmed them.

A row and its messages are written in one transaction (`ResultStore.add(row, outputs=...)`), so a verdict
is never recorded without its messages nor sent without its row. A sender per output (`qorva.outputs`)
reads the messages waiting for it in order, hands them to its peer and marks each one `sent` only once the
peer confirmed it (an MQTT PUBACK, an HTTP 2xx, the PLC's acknowledge); a crash before that sends it again,
so delivery is at least once, in order, and a receiver drops the doubles by the row's key or sequence.

The outbox is bounded: past `max_messages` waiting messages of one output, or past `max_age_s`, the oldest
are marked `dropped` and the sender logs how many. Sent and dropped messages are deleted a day later.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from qorva.results.row import Row, format_time, utc_now

WAITING, SENT, DROPPED = "waiting", "sent", "dropped"
# Sent and dropped messages are kept this long (the page and `results --runs` count them), then deleted.
_KEEP_DONE_S = 86400.0


@dataclass
class Message:
    """One waiting message: the outbox entry's id, when it was queued, and the row it carries."""

    id: int
    queued_at: str
    row: Row


def queue(db: Any, conn: Any, row: Row, outputs: Sequence[str]) -> None:
    """Queue one message of `row` (already inserted, `row.id` set) per output, in the caller's transaction."""
    now = utc_now()
    for name in outputs:
        conn.execute(
            db.sql("INSERT INTO outbox (station, output, result_id, queued_at, state) VALUES (?, ?, ?, ?, ?)"),
            (row.station, name, row.id, now, WAITING),
        )


def next_seq(db: Any, conn: Any, station: str) -> int:
    """The station's next sequence number, taken in the caller's transaction (a row lock on PostgreSQL)."""
    found = conn.execute(
        db.sql("INSERT INTO station_seq (station, seq) VALUES (?, 1) ON CONFLICT (station)"
               " DO UPDATE SET seq = station_seq.seq + 1 RETURNING seq"),
        (station,),
    ).fetchone()
    return int(found["seq"])


def waiting(db: Any, conn: Any, station: str, output: str, after: int, limit: int) -> list[Message]:
    """The output's waiting messages after the entry `after`, oldest first, with their rows."""
    rows = conn.execute(
        db.sql("SELECT o.id AS outbox_id, o.queued_at AS queued_at, r.* FROM outbox o JOIN results r"
               " ON r.id = o.result_id WHERE o.station = ? AND o.output = ? AND o.state = ? AND o.id > ?"
               " ORDER BY o.id LIMIT ?"),
        (station, output, WAITING, after, limit),
    ).fetchall()
    messages = []
    for record in rows:
        data = dict(record)
        entry, queued = int(data.pop("outbox_id")), str(data.pop("queued_at"))
        if isinstance(data.get("source_bytes"), memoryview):
            data["source_bytes"] = bytes(data["source_bytes"])
        messages.append(Message(entry, queued, Row(**data)))
    return messages


def mark(db: Any, conn: Any, ids: Sequence[int], state: str) -> None:
    """Mark the entries `ids` sent (their peer confirmed them) or dropped, in one transaction."""
    if not ids:
        return
    now = utc_now()
    with db.transaction(conn, write=True):
        for i in ids:
            conn.execute(db.sql("UPDATE outbox SET state = ?, done_at = ? WHERE id = ? AND state = ?"),
                         (state, now, i, WAITING))


def bound(db: Any, conn: Any, station: str, output: str, *, max_messages: int, max_age_s: float | None) -> int:
    """Drop the oldest waiting messages past the cap (in count, then in age) and delete old finished ones;
    returns how many were dropped."""
    now = _dt.datetime.now(_dt.UTC)
    where = "station = ? AND output = ? AND state = ?"
    with db.transaction(conn, write=True):
        n = int(conn.execute(db.sql(f"SELECT COUNT(*) AS n FROM outbox WHERE {where}"),
                             (station, output, WAITING)).fetchone()["n"])
        ids: list[int] = []
        if n > max_messages:
            ids = [int(r["id"]) for r in conn.execute(
                db.sql(f"SELECT id FROM outbox WHERE {where} ORDER BY id LIMIT ?"),
                (station, output, WAITING, n - max_messages)).fetchall()]
        if max_age_s is not None:
            cutoff = format_time(now - _dt.timedelta(seconds=max_age_s))
            ids += [int(r["id"]) for r in conn.execute(
                db.sql(f"SELECT id FROM outbox WHERE {where} AND queued_at < ? ORDER BY id"),
                (station, output, WAITING, cutoff)).fetchall() if int(r["id"]) not in ids]
        done_at = utc_now()
        for i in ids:
            conn.execute(db.sql("UPDATE outbox SET state = ?, done_at = ? WHERE id = ?"), (DROPPED, done_at, i))
        old = format_time(now - _dt.timedelta(seconds=_KEEP_DONE_S))
        conn.execute(db.sql("DELETE FROM outbox WHERE station = ? AND output = ? AND state != ? AND done_at < ?"),
                     (station, output, WAITING, old))
    return len(ids)


@dataclass(frozen=True)
class Backlog:
    """One output's outbox: messages waiting, the oldest one's queue time, and those dropped (last day)."""

    station: str
    output: str
    waiting: int
    oldest: str | None
    dropped: int

    def age_s(self, now: _dt.datetime | None = None) -> float | None:
        if self.oldest is None:
            return None
        moment = _dt.datetime.fromisoformat(self.oldest.replace("Z", "+00:00"))
        return max(0.0, ((now or _dt.datetime.now(_dt.UTC)) - moment).total_seconds())


def backlogs(db: Any, conn: Any, station: str | None = None) -> list[Backlog]:
    """The backlog of every output (of one station, or all), by station and output."""
    sql = (
        "SELECT station, output, SUM(CASE WHEN state = 'waiting' THEN 1 ELSE 0 END) AS waiting,"
        " MIN(CASE WHEN state = 'waiting' THEN queued_at END) AS oldest,"
        " SUM(CASE WHEN state = 'dropped' THEN 1 ELSE 0 END) AS dropped FROM outbox"
        + (" WHERE station = ?" if station is not None else "")
        + " GROUP BY station, output ORDER BY station, output"
    )
    found = conn.execute(db.sql(sql), (station,) if station is not None else ()).fetchall()
    return [Backlog(r["station"], r["output"], int(r["waiting"] or 0), r["oldest"], int(r["dropped"] or 0))
            for r in found]
