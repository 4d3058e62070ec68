"""The drift alarm: the line's NG rate or its median score leaves the band the teach samples set.

Two signals over the last `window_s` seconds of recorded verdicts, judged once at least `min_images`
images are in the window:

- the NG rate above `ng_rate_max`: a lamp going, a lens fogging or a lot of parts unlike the taught ones
  turns good parts NG long before anyone counts;
- the median score leaving its band: the teach samples' median, give or take four standard errors of the
  difference of two medians (the teach samples' and the window's, 1.2533 x sd / sqrt(n) each), so a drift
  is seen while the parts are still judged OK. The median of every judged image, defects included, moves
  little for a few defects and with the whole line for a drift.

An alarm is raised once, logged and recorded; it clears when its signal is back inside the band with a
margin (no flapping at the edge), and stays on the page until someone acknowledges it (with a token, on the
page); the acknowledgement is recorded with who, when and where.
"""

from __future__ import annotations

import collections
import logging
import math
import statistics
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass
from typing import Any

from qorva.results import ResultStore, StoreError, utc_now

logger = logging.getLogger("qorva.drift")

WINDOW_S = 600.0
MIN_IMAGES = 20
# Without a rate given: three times the share of good samples the taught threshold rejects, and at least 5%.
NG_RATE_FLOOR = 0.05
# The median's band, in standard errors of the difference of two medians.
_Z = 4.0
# A signal clears when back inside this share of its band's width: an alarm does not flap at the edge.
_CLEAR_MARGIN = 0.8
# The verdicts kept for the window; a minute of a fast line holds a few thousand.
_MAX_KEPT = 100_000


@dataclass(frozen=True)
class Band:
    """Where a line's figures stay while nothing drifts: NG rate at most `ng_rate_max`; the median score
    within `score_sd` of `score_median` scaled by the window's size (see `score_band`)."""

    ng_rate_max: float
    score_median: float | None
    score_sd: float | None
    n_teach: int
    window_s: float = WINDOW_S
    min_images: int = MIN_IMAGES

    def score_band(self, m: int) -> tuple[float, float] | None:
        """(low, high) of the window's median score with `m` images; None without teach scores."""
        if self.score_median is None or not self.score_sd or self.n_teach < 2 or m < 1:
            return None
        half = _Z * 1.2533 * self.score_sd * math.sqrt(1 / self.n_teach + 1 / m)
        return self.score_median - half, self.score_median + half


def band_from_teach(params: dict[str, Any], *, window_s: float = WINDOW_S, ng_rate: float | None = None,
                    min_images: int = MIN_IMAGES) -> Band:
    """The band a product's taught state sets (its good samples' scores and expected false-positive rate)."""
    scores = [float(s) for s in params.get("good_scores") or [] if s is not None and math.isfinite(float(s))]
    if ng_rate is None:
        ng_rate = max(NG_RATE_FLOOR, 3 * float(params.get("expected_fp_rate") or 0.0))
    return Band(
        ng_rate_max=min(1.0, ng_rate),
        score_median=statistics.median(scores) if scores else None,
        score_sd=statistics.pstdev(scores) if len(scores) > 1 else None,
        n_teach=len(scores),
        window_s=window_s,
        min_images=min_images,
    )


@dataclass
class Alarm:
    """One raised alarm, as recorded and as the page shows it."""

    kind: str  # "ng_rate" or "score"
    product_id: str
    message: str
    value: float
    low: float | None
    high: float | None
    raised_at: str
    station: str | None = None
    id: int | None = None
    cleared_at: str | None = None
    acknowledged_at: str | None = None
    acknowledged_by: str | None = None
    acknowledged_station: str | None = None
    note: str | None = None

    @property
    def done(self) -> bool:
        """Cleared and acknowledged: off the page."""
        return self.cleared_at is not None and self.acknowledged_at is not None


_ALARM_COLUMNS = ("station", "product_id", "run_id", "kind", "raised_at", "value", "low", "high", "message")


class DriftWatch:
    """Judges a product's drift after each recorded verdict (on the job's thread) and keeps its alarms.

    `store` records the alarms (on the job's thread too); the page reads `alarms()` and acknowledges from
    its own threads through `acknowledge`.
    """

    def __init__(self, band: Band, product_id: str, *, store: ResultStore | None = None, run_id: str = "",
                 clock: Callable[[], float] = time.time) -> None:
        self.band, self.product_id, self.store, self.run_id = band, product_id, store, run_id
        self.clock = clock
        self._seen: collections.deque[tuple[float, str, float | None]] = collections.deque(maxlen=_MAX_KEPT)
        self._active: dict[str, Alarm] = {}
        self._shown: list[Alarm] = []
        self._lock = threading.Lock()
        self._next = 0.0
        self._pending = False

    def add(self, row: Any) -> None:
        """One recorded verdict; the signals are judged at most once a second (`tick` judges the rest)."""
        if row.verdict not in ("OK", "NG") or row.product_id != self.product_id:
            return
        self._seen.append((self.clock(), row.verdict, row.score))
        self._pending = True
        if len(self._seen) == self.band.min_images:  # the first judgement as soon as there is one to make
            self._next = 0.0
        self.tick()

    def tick(self) -> None:
        """Judge the verdicts added since the last judgement, once a second at most."""
        now = self.clock()
        if self._pending and now >= self._next:
            self._next, self._pending = now + 1.0, False
            self.judge(now)

    def judge(self, now: float) -> None:
        while self._seen and self._seen[0][0] < now - self.band.window_s:
            self._seen.popleft()
        n = len(self._seen)
        if n < self.band.min_images:
            return
        minutes = f"{self.band.window_s / 60:g} min"
        rate = sum(v == "NG" for _, v, _ in self._seen) / n
        high = self.band.ng_rate_max
        self._signal("ng_rate", rate > high, rate < high * _CLEAR_MARGIN, rate, None, high,
                     f"NG rate {100 * rate:.1f}% over the last {minutes} ({n} images), above {100 * high:.1f}%")
        scores = [s for _, _, s in self._seen if s is not None]
        band = self.band.score_band(len(scores))
        if band is None or not scores:
            return
        med, (low, top) = statistics.median(scores), band
        centre, half = (low + top) / 2, (top - low) / 2
        self._signal("score", not low <= med <= top, abs(med - centre) < half * _CLEAR_MARGIN, med, low, top,
                     f"median score {med:.3f} over the last {minutes} ({len(scores)} images), outside "
                     f"{low:.3f} to {top:.3f} set by the teach samples")

    def _signal(self, kind: str, out: bool, back: bool, value: float, low: float | None, high: float | None,
                message: str) -> None:
        active = self._active.get(kind)
        if out and active is None:
            alarm = Alarm(kind, self.product_id, message, value, low, high, utc_now(),
                          station=getattr(self.store, "station", None))
            logger.warning("drift alarm (%s): %s", self.product_id, message)
            alarm.id = self._record(alarm)
            with self._lock:
                self._active[kind] = alarm
                self._shown.append(alarm)
        elif back and active is not None:
            with self._lock:
                active.cleared_at = utc_now()
                del self._active[kind]
            logger.warning("drift alarm (%s) cleared: %s back in its band (%.3f)", self.product_id,
                           "NG rate" if kind == "ng_rate" else "median score", value)
            self._update(active, "cleared_at = ?", [active.cleared_at])

    def _record(self, alarm: Alarm) -> int | None:
        if self.store is None or "alarms" not in self.store.tables:
            return None
        values = [alarm.station, alarm.product_id, self.run_id, alarm.kind, alarm.raised_at, alarm.value, alarm.low,
                  alarm.high, alarm.message]
        try:
            return self.store.transact("record an alarm in", lambda conn: self.store.db.insert(
                conn, "alarms", _ALARM_COLUMNS, values, unique="id"))
        except StoreError as exc:
            logger.warning("%s", exc)
            return None

    def _update(self, alarm: Alarm, assignments: str, values: Sequence[Any]) -> None:
        if self.store is None or alarm.id is None:
            return
        sql = self.store.db.sql(f"UPDATE alarms SET {assignments} WHERE id = ?")
        try:
            self.store.transact("record an alarm in", lambda conn: conn.execute(sql, (*values, alarm.id)))
        except StoreError as exc:
            logger.warning("%s", exc)

    def alarms(self) -> list[dict[str, Any]]:
        """The alarms the page shows: active ones, and cleared ones nobody acknowledged yet."""
        with self._lock:
            self._shown = [a for a in self._shown if not a.done]
            return [{**asdict(a), "active": a.cleared_at is None} for a in self._shown]

    def acknowledged(self, alarm_id: int, *, who: str, station: str | None, note: str | None, at: str) -> bool:
        """Mark a shown alarm acknowledged (already recorded by the caller); False when it is not shown."""
        with self._lock:
            for alarm in self._shown:
                if alarm.id == alarm_id and alarm.acknowledged_at is None:
                    alarm.acknowledged_at, alarm.acknowledged_by = at, who
                    alarm.acknowledged_station, alarm.note = station, note
                    logger.warning("drift alarm (%s) acknowledged by %s: %s", self.product_id, who, alarm.message)
                    return True
        return False


def record_acknowledgement(store: ResultStore, alarm_id: int, *, who: str, station: str | None,
                           note: str | None) -> str | None:
    """Record who acknowledged the alarm `alarm_id`; the time, or None when it was acknowledged already."""
    at = utc_now()
    sql = store.db.sql("UPDATE alarms SET acknowledged_at = ?, acknowledged_by = ?, acknowledged_station = ?,"
                       " note = ? WHERE id = ? AND acknowledged_at IS NULL")
    changed = store.transact("acknowledge an alarm in",
                             lambda conn: conn.execute(sql, (at, who, station, note, int(alarm_id))).rowcount)
    return at if changed else None


class DriftBoard:
    """The drift alarms of several products, each told of its own rows."""

    def __init__(self, watches: Mapping[str, DriftWatch]) -> None:
        self.watches = watches

    def add(self, row: Any) -> None:
        watch = self.watches.get(row.product_id)
        if watch is not None:
            watch.add(row)

    def tick(self) -> None:
        for watch in self.watches.values():
            watch.tick()
