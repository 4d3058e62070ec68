"""People's decisions about recorded rows: an NG overruled as a good part, or confirmed as a defect.

Every decision is kept, with who made it, where and when (the audit); the latest one on a row is the one
that counts, so a decision is changed by deciding again. The queue is the NG rows nobody has decided on.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from qorva.results.row import Row, utc_now
from qorva.results.store import ResultStore, StoreError, row_from

# The decisions, as stored and as a person reads them.
DECISIONS = {"good": "good part", "defect": "defect confirmed"}


@dataclass
class Review:
    """One decision on the row `result_id`; `image_path` is the copy of the image in the review store."""

    result_id: int
    product_id: str
    decision: str
    reviewer: str
    via: str
    note: str | None = None
    station: str | None = None
    reviewed_at: str = ""
    image_path: str | None = None
    id: int | None = None

    @property
    def label(self) -> str:
        return DECISIONS.get(self.decision, self.decision)


_COLUMNS = ("result_id", "product_id", "decision", "note", "reviewer", "station", "via", "reviewed_at", "image_path")


def _require(store: ResultStore) -> None:
    if "reviews" not in store.tables:
        msg = f"the results database {store.where} is of an earlier version with no reviews: run 'qorva watch' once"
        raise StoreError(msg)


def record(store: ResultStore, review: Review) -> int:
    """Store one decision (now, at the store's station unless it names its own); returns its id."""
    _require(store)
    if review.decision not in DECISIONS:
        msg = f"not a decision: {review.decision!r} (one of {', '.join(DECISIONS)})"
        raise ValueError(msg)
    review.reviewed_at = review.reviewed_at or utc_now()
    review.station = review.station or store.station
    values = [getattr(review, c) for c in _COLUMNS]
    review.id = store.transact("record a review in",
                               lambda conn: store.db.insert(conn, "reviews", _COLUMNS, values, unique="id"))
    return int(review.id)


def _reviews(records: Sequence[Any]) -> list[Review]:
    return [Review(**{k: r[k] for k in (*_COLUMNS, "id")}) for r in records]


def history(store: ResultStore, result_id: int) -> list[Review]:
    """Every decision on the row, oldest first."""
    if "reviews" not in store.tables:
        return []
    return _reviews(store.read("SELECT * FROM reviews WHERE result_id = ? ORDER BY id", (int(result_id),)))


def listed(store: ResultStore, *, product_id: str | None = None, limit: int = 50) -> list[Review]:
    """The latest `limit` decisions (of one product), oldest first."""
    if "reviews" not in store.tables:
        return []
    where = " WHERE product_id = ?" if product_id else ""
    found = store.read(f"SELECT * FROM reviews{where} ORDER BY id DESC LIMIT ?",
                       [*([product_id] if product_id else []), int(limit)])
    return list(reversed(_reviews(found)))


def latest(store: ResultStore, result_ids: Sequence[int]) -> dict[int, Review]:
    """The decision that counts for each of the rows that has one."""
    if "reviews" not in store.tables or not result_ids:
        return {}
    out: dict[int, Review] = {}
    ids = sorted({int(i) for i in result_ids})
    for start in range(0, len(ids), 500):  # bounded parameter lists, as both engines want
        part = ids[start : start + 500]
        marks = ", ".join("?" for _ in part)
        found = store.read(f"SELECT * FROM reviews WHERE result_id IN ({marks}) ORDER BY id", part)
        out.update({r.result_id: r for r in _reviews(found)})
    return out


def queue(store: ResultStore, *, product_id: str | None = None, station: str | None = None,
          limit: int = 50) -> list[Row]:
    """The NG rows nobody has decided on yet, newest first (at most `limit`)."""
    where, args = ["verdict = 'NG'"], []
    for column, value in (("product_id", product_id), ("station", station)):
        if value is not None:
            where.append(f"{column} = ?")
            args.append(value)
    if "reviews" in store.tables:
        where.append("NOT EXISTS (SELECT 1 FROM reviews WHERE reviews.result_id = results.id)")
    sql = f"SELECT * FROM results WHERE {' AND '.join(where)} ORDER BY id DESC LIMIT ?"
    return [row_from(r) for r in store.read(sql, [*args, int(limit)])]


def decided(store: ResultStore, product_id: str, decision: str) -> list[tuple[Row, Review]]:
    """The rows of a product whose decision that counts is `decision`, oldest first."""
    if "reviews" not in store.tables:
        return []
    ids = [int(r["result_id"]) for r in store.read(
        "SELECT DISTINCT result_id FROM reviews WHERE product_id = ?", (product_id,))]
    counts = {i: r for i, r in latest(store, ids).items() if r.decision == decision}
    rows = [store.row(i) for i in sorted(counts)]
    return [(row, counts[row.id]) for row in rows if row is not None and row.id is not None]
