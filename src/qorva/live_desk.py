"""The live page's side that reads and writes the results database: the review queue, reviews, alarm
acknowledgements, the overlays of rows and the supervisor's report with its filters.

The page's server answers each request on a thread of its own; every request here opens its own
connection to the database (the job's connection stays on the job's thread), reads or writes, and closes
it. What the page polls every second (the queue, the decisions on the latest verdicts) is kept for
`_CACHE_S`, so viewers do not multiply the database's load. Changes pass `access.Tokens.check` first (the
server does that); here they are carried out and recorded with who, when and where.
"""

from __future__ import annotations

import argparse
import base64
import logging
import tempfile
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from qorva import drift, report
from qorva.errors import QorvaError
from qorva.names import printable
from qorva.report import page
from qorva.results import VERDICTS, ResultStore, StoreError, reviews
from qorva.review_store import MAX_NOTE, MAX_WHO, ReviewError, clean_text, review

logger = logging.getLogger("qorva.live")

_CACHE_S = 2.0
QUEUE_SHOWN = 24
# The served report reads at most this many rows: a week of a fast line is for `qorva report`.
_REPORT_ROWS = 20_000


class Rejected(Exception):
    """A change or a query the page cannot make: the HTTP status and a one-line reason."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status, self.reason = status, reason


@dataclass
class LiveDesk:
    """What the page's server asks of the database; `open_store` opens a connection of the request's own."""

    open_store: Callable[[], ResultStore]
    home: Path
    station: str
    products: Sequence[str]
    writable: bool = False
    look_in: Sequence[Path] = ()
    drifts: Mapping[str, drift.DriftWatch] = field(default_factory=dict)
    shared_overlays: Path | None = None
    good_scores: Mapping[str, Sequence[float]] = field(default_factory=dict)
    _cached: tuple[float, tuple[int, ...], dict[str, Any]] | None = None
    _lock: threading.Lock = field(default_factory=threading.Lock)

    def _store(self) -> ResultStore:
        try:
            return self.open_store()
        except QorvaError as exc:
            raise Rejected(503, f"the results database cannot be read: {exc}") from None

    # --- what the page polls ------------------------------------------------------------------------------

    def snapshot(self, recent_ids: Sequence[int]) -> dict[str, Any]:
        """The unreviewed NGs of this station (newest first) and the decisions on the rows `recent_ids`."""
        ids = tuple(sorted(i for i in recent_ids if i is not None))
        with self._lock:
            if self._cached and self._cached[1] == ids and time.monotonic() < self._cached[0]:
                return self._cached[2]
        try:
            with self._store() as store:
                queue = [r for p in self.products
                         for r in reviews.queue(store, product_id=p, station=self.station, limit=QUEUE_SHOWN)]
                decided = reviews.latest(store, ids)
        except (Rejected, StoreError) as exc:
            logger.debug("the review queue cannot be read: %s", exc)
            return {"queue": [], "decided": {}}
        queue.sort(key=lambda r: -(r.id or 0))
        found = {
            "queue": [{"id": r.id, "file": printable(r.source_file or "-"), "product": r.product_id,
                       "score": r.score, "threshold": r.threshold, "dominant": r.dominant_branch,
                       "time": r.recorded_at} for r in queue[:QUEUE_SHOWN]],
            "decided": {str(i): _decision(v) for i, v in decided.items()},
        }
        with self._lock:
            self._cached = (time.monotonic() + _CACHE_S, ids, found)
        return found

    def forget(self) -> None:
        """Drop what was kept: a change was made."""
        with self._lock:
            self._cached = None

    # --- changes ------------------------------------------------------------------------------------------

    def review(self, body: dict[str, Any], holder: str, client: str) -> dict[str, Any]:
        """Record a decision on a row (`row`, `decision`, optional `note` and `who`)."""
        result_id, decision = _int(body.get("row"), "row"), body.get("decision")
        if decision not in reviews.DECISIONS:
            raise Rejected(400, f"decision must be one of {', '.join(reviews.DECISIONS)}")
        who = _who(holder, body)
        try:
            with self._store() as store:
                done = review(store, self.home, result_id, decision, reviewer=who, via=f"live page from {client}",
                              note=_text(body.get("note"), MAX_NOTE), look_in=self.look_in, station=self.station)
        except ReviewError as exc:
            raise Rejected(404 if "no row" in str(exc) else 409, str(exc)) from None
        except StoreError as exc:
            raise Rejected(503, str(exc)) from None
        self.forget()
        kept = "image kept" if done.kept else f"image not kept: {done.missing}"
        return {"ok": True, "row": result_id, "decision": _decision(done.review),
                "message": f"row {result_id} marked {done.review.label} by {who}; {kept}"}

    def acknowledge(self, body: dict[str, Any], holder: str, client: str) -> dict[str, Any]:
        """Acknowledge a drift alarm (`alarm`, optional `note` and `who`)."""
        alarm_id, who = _int(body.get("alarm"), "alarm"), _who(holder, body)
        note = _text(body.get("note"), MAX_NOTE)
        try:
            with self._store() as store:
                at = drift.record_acknowledgement(store, alarm_id, who=who, station=self.station, note=note)
        except StoreError as exc:
            raise Rejected(503, str(exc)) from None
        if at is None:
            raise Rejected(409, f"alarm {alarm_id} is unknown or acknowledged already")
        for watch in self.drifts.values():
            watch.acknowledged(alarm_id, who=who, station=self.station, note=note, at=at)
        logger.info("alarm %d acknowledged by %s from %s", alarm_id, who, client)
        return {"ok": True, "alarm": alarm_id, "message": f"alarm acknowledged by {who}"}

    # --- pictures and the report --------------------------------------------------------------------------

    def overlay(self, result_id: int) -> tuple[bytes, str] | None:
        """The overlay of a row (bytes, content type): its file under this home or the shared folder, else
        the JPEG the database keeps."""
        try:
            with self._store() as store:
                row = store.row(result_id)
                if row is None or row.verdict != "NG":
                    return None
                run = report.Run(row.product_id, [row], home=self.home, shared_overlays=self.shared_overlays,
                                 stored_overlay=store.overlay_image)
                found = report.overlay_bytes(run, row)
        except (Rejected, StoreError):
            return None
        if found is None:
            return None
        data, suffix = found
        return data, "image/png" if suffix.lower() == ".png" else "image/jpeg"

    def report_page(self, query: Mapping[str, str]) -> str:
        """The supervisor's report of the rows the query selects (product, verdict, since, until, station)."""
        filters = _filters(query)
        try:
            with self._store() as store:
                rows = store.query(limit=_REPORT_ROWS, **filters)
                decisions = reviews.latest(store, [r.id for r in rows if r.id is not None])
                products = store.products()
        except StoreError as exc:
            raise Rejected(503, str(exc)) from None
        product = filters["product_id"] or ""
        run = report.Run(product, rows, list(self.good_scores.get(product, ())), home=self.home,
                         title=f"qorva: {product or 'every product'}, station {self.station}", decisions=decisions,
                         notes=_notes(query, len(rows)))
        served = page.Served(dict(query), self.writable, "/report.csv?" + _encode(query),
                             _histogram(run), products)
        ng = sorted((r for r in rows if r.verdict == "NG"), key=lambda r: -(r.score or 0.0))[: report.MAX_NG_TILES]
        links = {r.id: f"/overlay/{r.id}" for r in ng}
        return page.render(run, report.summary(run), ng=ng, near=[], links=links, thumbs={},
                           max_rows=report.MAX_ROWS, served=served)

    def report_csv(self, query: Mapping[str, str]) -> str:
        filters = _filters(query)
        try:
            with self._store() as store:
                rows = store.query(limit=_REPORT_ROWS, **filters)
                return report.rows_csv(rows, reviews.latest(store, [r.id for r in rows if r.id is not None]))
        except StoreError as exc:
            raise Rejected(503, str(exc)) from None


def _decision(made: reviews.Review) -> dict[str, Any]:
    return {"decision": made.decision, "label": made.label, "who": made.reviewer, "at": made.reviewed_at,
            "note": made.note}


def _int(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 < value < 2**63:
        raise Rejected(400, f"{what} must be a row's whole-number id")
    return value


def _text(value: object, limit: int) -> str | None:
    if value is not None and not isinstance(value, str):
        raise Rejected(400, "a note is text")
    return clean_text(value, limit)


def _who(holder: str, body: dict[str, Any]) -> str:
    """Who made the change: the holder of a named token, else the name the person gave."""
    if holder:
        return holder
    who = _text(body.get("who"), MAX_WHO)
    if not who:
        raise Rejected(400, "give your name: this token is shared, and every change records who made it")
    return who


def _filters(query: Mapping[str, str]) -> dict[str, Any]:
    """The store's filters of a report's query; `Rejected` for a value that is no filter."""
    from qorva.cli.results import parse_since

    out: dict[str, Any] = {"product_id": query.get("product") or None, "station": query.get("station") or None}
    verdict = query.get("verdict") or None
    if verdict is not None and verdict not in VERDICTS:
        raise Rejected(400, f"verdict must be one of {', '.join(VERDICTS)}")
    out["verdicts"] = (verdict,) if verdict else ()
    for key in ("since", "until"):
        text = (query.get(key) or "").strip()
        try:
            out[key] = parse_since(text) if text and text != "now" else None
        except argparse.ArgumentTypeError as exc:
            raise Rejected(400, f"{key}: {exc}") from None
    if out["since"] is None:  # a page that opens on every row of a year would take a while
        out["since"] = parse_since("8h")
    return out


def _notes(query: Mapping[str, str], n: int) -> list[str]:
    chosen = ", ".join(f"{k} {printable(v)}" for k, v in query.items() if v) or "the last 8 hours"
    more = f" (the newest {_REPORT_ROWS}; 'qorva report' writes them all)" if n >= _REPORT_ROWS else ""
    return [f"Rows of {chosen}: {n}{more}."]


def _encode(query: Mapping[str, str]) -> str:
    import urllib.parse

    return urllib.parse.urlencode({k: v for k, v in query.items() if v})


def _histogram(run: report.Run) -> str:
    """The score histogram as a data: URI (the served page has no folder of its own)."""
    from qorva.report import figures

    with tempfile.TemporaryDirectory(prefix="qorva-page-") as tmp:
        path = Path(tmp) / "scores.png"
        threshold = next((r.threshold for r in reversed(run.rows) if r.threshold is not None), None)
        figures.score_histogram(path, [r.score for r in run.rows if r.verdict == "OK"],
                                [r.score for r in run.rows if r.verdict == "NG"], run.good_scores, threshold)
        return "data:image/png;base64," + base64.b64encode(path.read_bytes()).decode("ascii")
