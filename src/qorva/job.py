"""The live inspection job: a folder-drop camera feeds the inspector, every verdict is recorded.

Shared by `qorva watch` and `qorva demo`. The job runs on the caller's thread; the camera's receiver
thread decodes into a small buffer (back-pressure: a slow inspector makes the camera wait, nothing is dropped).
The caller's thread checks each frame's key and hands it to a pool of `workers` inspection threads, then
records the verdicts in arrival order as they come back: decoding, inspecting and recording overlap, and
consecutive images are inspected side by side (the model's kernels, ONNX Runtime, OpenCV and NumPy, run
without the GIL). Every database call stays on the caller's thread.

No overlay is rendered that nobody writes: each image is inspected without one, and only an NG verdict is
inspected again with its overlay (OK images are nearly all of a line's images; scoring twice costs one more
inspection per NG, against a map and its rendering for every image).

Every image the camera takes gets exactly one row:

- With a camera made by `push.with_acknowledgement`, a file is moved or deleted only once its row is
  committed, so a crash (kill -9, power cut) leaves every taken but unrecorded file in the drop folder and
  the next run judges it. The camera's receiver thread notes each hand-over in the journal of the results
  database; a row closes its entry, and an entry of an earlier run marks the image as recovered.
- Before judging, the image's key (product, file name, size, modification time, hash of the pixels) is
  looked up among the rows: a file recorded just before a crash, or offered again at the next opening
  (kept, or left behind by a failed move), is disposed of without a second row.
- Any failure while handling a taken image becomes an ERROR row with the message; when no row can be
  written at all the job stops without taking more files (they stay in the folder).

Stopping (a signal, `max_images`, `duration_s`) finishes the image being inspected, closes the camera,
then inspects and records the frames the camera had already taken from the folder; files not yet
consumed stay in the folder for the next run. The guarantees as a user relies on them, and their cost:
docs/operations.md.
"""

from __future__ import annotations

import collections
import concurrent.futures
import logging
import os
import threading
import time
import uuid
from collections import Counter
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from qorva import overlays
from qorva.console import StatusLine
from qorva.errors import QorvaError
from qorva.inspection.modules.norim.runner import take_registration
from qorva.io.camera.base import CameraError
from qorva.names import shown
from qorva.results import (
    VERDICTS,
    Key,
    ResultStore,
    Row,
    Shadow,
    StoreError,
    file_key,
    image_key,
    set_aside_key,
    utc_now,
)
from qorva.schemas.common import InspectionResult
from qorva.versions import InUse

logger = logging.getLogger("qorva.job")

_READ_TIMEOUT_S = 0.1
# While inspections are in flight the loop looks at the camera and at the oldest inspection this often: a
# verdict or a new frame waits at most this long (5 ms against an inspection's 10-25 ms).
_PENDING_POLL_S = 0.005
# Old overlays are pruned at the start and then hourly: day folders are the unit, so more often gains nothing.
_PRUNE_EVERY_S = 3600.0

# The product of a taken frame from its meta (the camera's folder, the file's name); None: no product serves it.
Route = Callable[[dict[str, Any]], str | None]
# The product of the rows of frames no product serves: no product folder can have this name on Windows.
UNROUTED = "?"

# What the job prints or collects per recorded row: the row, its decoded image (None for a file the camera
# set aside) and the inspector's result (None likewise).
ResultCallback = Callable[[Row, np.ndarray | None, Any], None]


# --- collaborators: what the job asks of each ------------------------------------------------------------------


class Camera(Protocol):
    """A push camera (`PushCamera`); with `push.with_acknowledgement` it also has `ack(meta)` and an
    `on_handover` hook, which the job uses when they are there."""

    def open(self) -> None: ...
    def close(self) -> None: ...
    def read(self, timeout: float | None = None) -> tuple[np.ndarray, dict[str, Any]] | None: ...


class Inspector(Protocol):
    """The inspection module (`NorimInspector`)."""

    def inspect(self, image: np.ndarray, state: Any, *, with_overlay: bool = True) -> InspectionResult: ...


class Health(Protocol):
    """The drop folder's health (`drop_health.DropHealth`): set-aside files, files waiting, ignored suffixes."""

    handled: set[str]

    def start(self) -> None: ...
    def stop(self) -> None: ...
    def polled(self) -> None: ...
    def survey(self) -> None: ...
    def new_set_aside(self) -> list[Any]: ...  # items with `path` and `reason`


class Feed(Protocol):
    """The live page's feed (`live.LiveFeed`)."""

    def add(self, row: Row, image: np.ndarray | None, overlay: np.ndarray | None = None, *,
            located: bool = True) -> None: ...
    def beat(self) -> None: ...
    def stop(self, reason: str) -> None: ...


class Outputs(Protocol):
    """The station's outputs (`outputs.Outputs`): a message per name is queued with each row, then they are woken."""

    names: tuple[str, ...]

    def wake(self) -> None: ...
    def set_state(self, **state: Any) -> None: ...


class Kinds(Protocol):
    """The check of images unlike the good samples (`calibration.KindWatch`)."""

    def check(self, image: np.ndarray, source: object) -> None: ...


class Drift(Protocol):
    """The drift alarm of the products (`drift.DriftBoard`), told of every recorded row on the job's thread."""

    def add(self, row: Row) -> None: ...
    def tick(self) -> None: ...


class Service(Protocol):
    """The service manager (`service.Notifier`): the watchdog's ping and a status line, from the job's own loop,
    so a job that hangs stops pinging and is restarted."""

    def beat(self, status: Callable[[], str] | None = None) -> None: ...


class Models(Protocol):
    """The version a frame is judged with (`versions.Follower`): asked once per frame on the job's thread; what it
    returns (a `versions.InUse`) judges that frame, whatever it returns for later ones."""

    def current(self) -> InUse: ...


class Fixed:
    """One taught state and version for the whole run (a bare state: judged with the bundle's current version)."""

    def __init__(self, model: InUse | Any) -> None:
        self.in_use = model if isinstance(model, InUse) else InUse(model)

    def current(self) -> InUse:
        return self.in_use


@dataclass
class JobOptions:
    """How a run goes: when it ends (`max_images`, `duration_s`: None for never), whether NG overlays are
    written, how long they are kept (None: always), and how many inspection threads judge side by side."""

    max_images: int | None = None
    duration_s: float | None = None
    write_overlays: bool = True
    keep_overlays_days: float | None = None
    workers: int = 1
    # A verdict recorded later than this after its frame was taken is marked late (None: no deadline).
    deadline_ms: float | None = None
    # The part's id of a taken frame from its path and meta (`part_id.PartId`); None: rows carry none.
    part_id: Callable[[Any], str | None] | None = None
    shared_overlays: Path | None = None  # a line's shared overlay folder, written instead of the home's
    stored_overlays: bool = False  # each NG overlay also kept as a small JPEG with its row


@dataclass
class JobWatchers:
    """What looks on besides the rows, each optional: a callback per recorded row, the terminal's status line,
    the folder's health, the live page's feed, the image-kind check (one per product where several are served),
    the outputs to the line and the drift alarm."""

    on_result: ResultCallback | None = None
    status: StatusLine | None = None
    health: Health | None = None
    feed: Feed | None = None
    kinds: Kinds | Mapping[str, Kinds] | None = None
    outputs: Outputs | None = None
    drift: Drift | None = None
    service: Service | None = None


# --- the run ---------------------------------------------------------------------------------------------------


class JobError(QorvaError):
    """The job could not start or the camera failed while it ran."""


class _RecordingFailed(Exception):
    """Not even an ERROR row could be written: the job stops taking files."""


@dataclass
class _Task:
    """A taken frame on its way: key checked and handed to a worker, then recorded when its turn comes."""

    image: np.ndarray
    meta: dict[str, Any]
    source: Any
    key: Key
    handovers: list[int]
    recovered: bool
    seq: int
    model: InUse | None  # None: no product of the watch serves the frame
    # None: an image with the same key is still in flight; its key is looked up again when its turn comes.
    future: concurrent.futures.Future | None = None


@dataclass
class _Judged:
    """What a worker made of a frame: the row to record, the inspector's result and the overlay it saved."""

    row: Row
    result: Any
    card: np.ndarray | None = None
    located: bool = True
    shadow: Shadow | None = None
    jpeg: bytes | None = None  # the overlay as stored with the row


@dataclass
class JobSummary:
    """What one run of the job did; `skipped` images were recorded before and not judged again."""

    run_id: str
    counts: Counter = field(default_factory=Counter)
    seconds: float = 0.0
    reason: str = ""
    error: str | None = None
    skipped: int = 0
    recovered: int = 0
    set_aside: int = 0  # ERROR rows of files the camera set aside, counted in `counts` too
    set_aside_before: int = 0  # files set aside again whose ERROR row an earlier run recorded
    shadow: Counter = field(default_factory=Counter)  # (live verdict, candidate's verdict) of each shadowed row
    by_product: dict[str, Counter] = field(default_factory=dict)

    @property
    def n(self) -> int:
        return sum(self.counts.values())

    def count(self, row: Row) -> None:
        self.counts[row.verdict] += 1
        self.by_product.setdefault(row.product_id, Counter())[row.verdict] += 1

    def counts_text(self, product: str | None = None) -> str:
        counts = self.counts if product is None else self.by_product.get(product, Counter())
        return ", ".join(f"{v} {counts.get(v, 0)}" for v in VERDICTS)


def camera_params(folder: str | Path, **options: Any) -> dict[str, Any]:
    """The camera's parameter mapping: the folder plus every option that was given (None means default)."""
    params: dict[str, Any] = {"path": str(folder)}
    params.update({k: v for k, v in options.items() if v is not None})
    return params


class InspectionJob:
    """Camera in, recorded verdicts out; `run()` blocks until stopped and returns the summary.

    `workers` inspection threads judge consecutive frames side by side (1: one at a time, still overlapped
    with decoding and recording); rows are recorded in the order the camera handed the frames over.
    """

    def __init__(
        self, *, home: Path, state: Any, store: ResultStore, inspector: Inspector, camera: Camera,
        options: JobOptions | None = None, watchers: JobWatchers | None = None, stop: threading.Event | None = None,
        models: Models | Mapping[str, Models] | None = None, shadow: InUse | None = None, route: Route | None = None,
    ) -> None:
        self.home = Path(home)
        self.state = state
        self.product_id = str(state.product_id)
        # `models` gives each frame its taught state and version (`state` alone: that state, the current version);
        # several products: one per product, and each frame's product is `route(meta)` (None: no product serves
        # it, an ERROR row). `shadow` judges every frame of `state`'s product as well, recorded apart: it never
        # decides a verdict or a file's fate.
        if isinstance(models, Mapping):
            self.models: dict[str, Models] = dict(models)
        else:
            self.models = {self.product_id: models if models is not None else Fixed(state)}
        self.shadow = shadow
        self.route = route
        self.store = store
        self.inspector = inspector
        self.camera = camera
        self.options = options if options is not None else JobOptions()
        watchers = watchers if watchers is not None else JobWatchers()
        self.on_result = watchers.on_result
        self.status = watchers.status if watchers.status is not None else StatusLine(quiet=True)
        self.health, self.feed, self.kinds, self.drift = watchers.health, watchers.feed, watchers.kinds, watchers.drift
        self.outputs, self.service = watchers.outputs, watchers.service
        self._sends = self.outputs.names if self.outputs is not None else ()
        self.stop = stop if stop is not None else threading.Event()
        self.summary = JobSummary(run_id=uuid.uuid4().hex[:12])
        self.workers = max(1, int(self.options.workers))
        self._next_prune = 0.0
        self._seq = 0
        self._journal: Any = None
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._pending: collections.deque[_Task] = collections.deque()
        self._in_flight: Counter = Counter()  # keys of the frames handed to a worker and not recorded yet

    def run(self) -> JobSummary:
        t0 = time.monotonic()
        self._open()
        self._pool = concurrent.futures.ThreadPoolExecutor(self.workers, thread_name_prefix="qorva-inspect")
        failure: BaseException | None = None
        try:
            self._loop(t0)
        except BaseException as exc:
            failure = exc
            raise
        finally:
            self.camera.close()
            if self.health is not None:
                self.health.stop()
            clean = failure is None or isinstance(failure, (CameraError, KeyboardInterrupt))
            if clean and self.summary.reason != "store-failed":
                self._drain()
            self._abandon()
            self._close_journal(forget=clean and self.summary.reason != "store-failed")
            self.summary.seconds = time.monotonic() - t0
            self.status.close()
            self._record_set_aside()
            if self.feed is not None:
                self.feed.stop(self.summary.reason or "failed")
        return self.summary

    def _open(self) -> None:
        self._report_unrecorded()
        if self.health is not None:
            self.health.start()
        if hasattr(self.camera, "on_handover"):
            try:
                self._journal = self.store.journal()
            except StoreError as exc:  # the rows are what counts; only the "recovered" marks are lost
                logger.warning("cannot open the journal of taken images in %s: %s", self.store.where, exc)
            self.camera.on_handover = self._on_handover
        if hasattr(self.camera, "companions") and self.options.part_id is not None:
            self.camera.companions = getattr(self.options.part_id, "companions", None)
        try:
            self.camera.open()
        except CameraError as exc:
            self._close_journal(forget=False)
            raise JobError(str(exc)) from None
        except OSError as exc:
            self._close_journal(forget=False)
            msg = f"cannot open the camera: {exc}"
            raise JobError(msg) from None

    def _report_unrecorded(self) -> None:
        """Name the images that an earlier run took, never recorded, and that are gone from the folder."""
        folder = getattr(self.camera, "params", {}).get("path")
        try:
            entries = [e for p in self.models for e in self.store.unrecorded(p, self.summary.run_id)]
            # Another watcher of the product on another folder has its own images in flight.
            folders = {Path(f) for f in getattr(self.camera, "params", {}).get("paths", ())} or (
                {Path(folder)} if folder is not None else set())
            entries = [(i, p) for i, p in entries if not folders or Path(os.fsdecode(p)).parent in folders]
            gone = [(i, p) for i, p in entries if not Path(os.fsdecode(p)).exists()]
            for _, path in gone:
                logger.warning("an image taken by an earlier run was never recorded and is gone: %s", shown(path))
            self.store.forget_handovers([i for i, _ in gone])
        except StoreError as exc:
            logger.warning("cannot read the journal of taken images: %s", exc)
            return
        if len(entries) > len(gone):
            logger.warning(
                "%d images taken by an earlier run were never recorded (a crash?); judging them again",
                len(entries) - len(gone),
            )

    def _close_journal(self, *, forget: bool) -> None:
        # After a clean stop this run's remaining entries are frames the camera withdrew while closing
        # (their files stay in the folder); they were never judged, so the next run is no recovery.
        if forget:
            try:
                self.store.forget_handovers(run_id=self.summary.run_id)
            except StoreError as exc:
                logger.warning("%s", exc)
        if self._journal is not None:
            self._journal.close()
            self._journal = None

    def _on_handover(self, image: np.ndarray, meta: dict[str, Any]) -> None:
        # On the camera's receiver thread: nothing may escape, or the receive loop would end.
        try:
            meta["taken"] = time.monotonic()
            if self.options.part_id is not None:
                meta["part_id"] = self.options.part_id(meta.get("source_path") or meta.get("source_file"))
            key = file_key(self._product(meta), meta)
            meta["key"] = key
            if self._journal is not None:
                meta["journal"] = self._journal.take(key, meta.get("source_path"), self.summary.run_id)
        except Exception as exc:  # noqa: BLE001 - the journal only marks recoveries; the image goes on
            logger.warning("cannot note the hand-over of %s: %s", shown(str(meta.get("source_file"))), exc)

    def _loop(self, t0: float) -> None:
        deadline = None if self.options.duration_s is None else t0 + self.options.duration_s
        while True:
            try:
                self._record_finished()
            except _RecordingFailed as exc:
                self._store_failed(exc)
                return
            reason = self._stop_reason(deadline)
            if reason:
                self.summary.reason = reason
                return
            if not self._take_next(deadline):
                return
            self._tick()
            self._show_status(t0)

    def _take_next(self, deadline: float | None) -> bool:
        """Take one frame from the camera if a worker can have it, else wait a moment; False: stop the loop."""
        # Every worker busy and as many frames queued behind them: a worker that finishes while this thread
        # commits a row (an fsync, 2-5 ms) finds its next frame waiting. With one frame queued the workers
        # stood idle a third of the time under a steady sender (73 img/s against a backlog's 110).
        if len(self._pending) >= 2 * self.workers:
            self._wait_oldest()
            return True
        wait = _READ_TIMEOUT_S if deadline is None else max(0.0, min(_READ_TIMEOUT_S, deadline - time.monotonic()))
        try:
            frame = self.camera.read(0.0 if self._pending else wait)
        except CameraError as exc:
            self.summary.reason = "camera-failed"
            self.summary.error = str(exc)
            return False
        if frame is None:
            self._wait_oldest()
            return True
        try:
            self._take(*frame)
        except _RecordingFailed as exc:
            self._store_failed(exc)
            return False
        return True

    def _wait_oldest(self) -> None:
        if self._pending and self._pending[0].future is not None:
            concurrent.futures.wait([self._pending[0].future], timeout=_PENDING_POLL_S)

    def _store_failed(self, exc: _RecordingFailed) -> None:
        self.summary.reason = "store-failed"
        self.summary.error = str(exc)

    def _tick(self) -> None:
        """Between frames: the folder's health, the files the camera set aside, the page's heartbeat, pruning."""
        if self.health is not None:
            self.health.polled()
            self.health.survey()
            self._record_set_aside()
        if self.feed is not None:
            self.feed.beat()
        if self.outputs is not None:
            self.outputs.set_state(busy=bool(self._pending), beat=time.monotonic())
        if self.drift is not None:
            self.drift.tick()
        if self.service is not None:
            self.service.beat(self.summary.counts_text)
        keep = self.options.keep_overlays_days
        if keep is not None and time.monotonic() >= self._next_prune:
            self._next_prune = time.monotonic() + _PRUNE_EVERY_S
            removed = sum(overlays.prune(self.home, p, keep) for p in self.models)
            if removed:
                logger.info("removed %d overlay folders older than %g days", removed, keep)

    def _record_set_aside(self) -> None:
        """One ERROR row per file the camera set aside, at most once per file: the camera offers it again at
        every start and sets it aside again, and its key finds the row of the first time."""
        if self.health is None:
            return
        for item in self.health.new_set_aside():
            key = set_aside_key(self._product({"source_path": item.path}), item.path)
            try:
                if self.store.recorded(key) is not None:
                    self.summary.set_aside_before += 1
                    continue
                row = key.stamp(self._error_row(f"set aside by the camera: {item.reason}", item.path,
                                                time.perf_counter(), key.product_id))
                if self.options.part_id is not None:
                    row.part_id = self.options.part_id(item.path)
                self.store.add(row, outputs=self._sends)
                self._wake_outputs()
            except StoreError as exc:
                logger.warning("%s", exc)
                continue
            # Counted as the ERROR row it is, in the summary as on the page and in the database.
            self.summary.count(row)
            self.summary.set_aside += 1
            self._show(row, None, None)

    def _stop_reason(self, deadline: float | None) -> str:
        if self.stop.is_set():
            return "stopped"
        # Frames in flight count: they are recorded after the loop ends, so the limit is not overshot by them.
        in_flight = sum(1 for task in self._pending if task.future is not None)
        limit = self.options.max_images
        if limit is not None and self.summary.n + in_flight >= limit:
            return "max-images"
        if deadline is not None and time.monotonic() >= deadline:
            return "duration"
        return ""

    def _drain(self) -> None:
        """Record what is in flight and what the camera had already taken: those frames left the folder's
        queue, so skipping them would leave them unjudged."""
        try:
            while True:
                try:
                    frame = self.camera.read(0)
                except CameraError:
                    break
                if frame is None:
                    break
                self._take(*frame)
            self._record_finished(wait=True)
        except _RecordingFailed as exc:
            self._store_failed(exc)

    def _abandon(self) -> None:
        """Frames still in flight after a failure are neither recorded nor acknowledged: their files stay."""
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
            self._pool = None
        self._pending.clear()
        self._in_flight.clear()

    def _show_status(self, t0: float) -> None:
        elapsed = max(time.monotonic() - t0, 1e-9)
        s = self.summary
        self.status.show(
            f"watch {', '.join(self.models)}: {s.n} images ({s.counts_text()})  {s.n / elapsed:.1f} img/s"
        )

    def _take(self, image: np.ndarray, meta: dict[str, Any]) -> None:
        """Look the frame's key up, then hand it to a worker (a frame recorded before is only disposed of)."""
        source = meta.get("source_path") or meta.get("source_file")
        meta.setdefault("taken", time.monotonic())  # a camera without the hand-over hook: taken now
        if self.options.part_id is not None and "part_id" not in meta:
            meta["part_id"] = self.options.part_id(source)
        key = image_key(meta.get("key") or file_key(self._product(meta), meta), image)
        earlier, handovers, recovered = self._looked_up(key, source, meta.get("journal"))
        if earlier is not None:
            self._skip(meta, source, earlier)
            return
        self._seq += 1
        models = self.models.get(key.product_id)
        task = _Task(image, meta, source, key, handovers, recovered, self._seq,
                     models.current() if models is not None else None)
        if not self._in_flight[key]:
            task.future = self._pool.submit(self._judge_safely, task)
        self._in_flight[key] += 1
        self._pending.append(task)

    def _looked_up(self, key: Key, source: Any, journal: int | None) -> tuple[int | None, list[int], bool]:
        """The row already recorded for `key` (None: none), the journal's entries of the file, and whether an
        earlier run took this very image."""
        try:
            earlier = self.store.recorded(key)
            taken, recovered = self.store.taken_before(key, source, self.summary.run_id)
            handovers = [h for h in (journal, *taken) if h is not None]
            if earlier is not None:
                self.store.forget_handovers(handovers)
        except StoreError as exc:
            raise _RecordingFailed(str(exc)) from None
        return earlier, handovers, recovered

    def _skip(self, meta: dict[str, Any], source: Any, earlier: int) -> None:
        logger.info("%s is already recorded (row %d); not judged again", shown(source or ""), earlier)
        self.summary.skipped += 1
        self._ack(meta)

    def _record_finished(self, *, wait: bool = False) -> None:
        """Record the oldest frames whose inspection has ended, in arrival order (with `wait`, all of them)."""
        while self._pending:
            task = self._pending[0]
            if task.future is not None and not (wait or task.future.done()):
                return
            self._pending.popleft()
            self._in_flight[task.key] -= 1
            if task.future is not None:
                self._finish(task, task.future.result())
                continue
            # The same image as a frame recorded just before it: recorded now, unless that row failed.
            earlier, task.handovers, task.recovered = self._looked_up(task.key, task.source, task.meta.get("journal"))
            if earlier is not None:
                self._skip(task.meta, task.source, earlier)
            else:
                self._finish(task, self._judge_safely(task))

    def _finish(self, task: _Task, judged: _Judged) -> None:
        """Record a judged frame, then let the camera dispose of its file."""
        row = task.key.stamp(judged.row)
        row.recovered = int(task.recovered)
        # Stamped when recorded, in arrival order: with several workers an image judged before the one that
        # arrived ahead of it would otherwise print an earlier time below a later one.
        row.recorded_at = utc_now()
        row.part_id = task.meta.get("part_id")
        deadline = self.options.deadline_ms
        row.late = int(deadline is not None and (time.monotonic() - task.meta["taken"]) * 1000.0 > deadline)
        row = self._record(row, task.key, task.handovers, judged.shadow, judged.jpeg)
        self._ack(task.meta)
        self.summary.count(row)
        if judged.shadow is not None and row is judged.row:
            self.summary.shadow[(row.verdict, judged.shadow.verdict)] += 1
        self.summary.recovered += row.recovered
        if self.health is not None and row.source_file:
            self.health.handled.add(row.source_file)
        self._show(row, task.image, judged.result, judged)

    def _show(self, row: Row, image: np.ndarray | None, result: Any, judged: _Judged | None = None) -> None:
        """A recorded row to the live page and the caller (the terminal line)."""
        if self.drift is not None:
            self.drift.add(row)
        if self.feed is not None:
            card, located = (judged.card, judged.located) if judged is not None else (None, True)
            self.feed.add(row, image, card, located=located)
        if self.on_result is not None:
            self.status.clear()
            self.on_result(row, image, result)

    def _judge_safely(self, task: _Task) -> _Judged:
        """On a worker: the frame judged, or an ERROR row saying why it could not be (nothing escapes)."""
        t = time.perf_counter()
        try:
            return self._judge(task, t)
        except Exception as exc:  # noqa: BLE001 - a taken image always gets its row; this one says why
            logger.warning("cannot handle %s: %s", shown(task.source or ""), exc)
            result = InspectionResult.error("norim", f"cannot handle the image: {type(exc).__name__}: {exc}")
            row = self._error_row(result.error_message, task.source, t, task.key.product_id)
            return _Judged(row.judged_by(task.model) if task.model is not None else row, result)

    def _product(self, meta: dict[str, Any]) -> str:
        if self.route is None:
            return self.product_id
        product = self.route(meta)
        return product if product in self.models else UNROUTED

    def _judge(self, task: _Task, t: float) -> _Judged:
        image, source, model, product = task.image, task.source, task.model, task.key.product_id
        if model is None:
            why = getattr(self.route, "why", "no product of this watch serves it")
            return _Judged(self._error_row(f"no product for this file: {why}", source, t, product), None)
        kinds = self.kinds.get(product) if isinstance(self.kinds, Mapping) else self.kinds
        if kinds is not None:
            kinds.check(image, source)
        take_registration()  # an earlier image's on this thread, never this one's
        result = self._inspect(image, source, model, with_overlay=False)
        registration = take_registration()
        if self.options.write_overlays and _verdict(result) == "NG" and getattr(result, "overlay", None) is None:
            result = self._with_overlay(image, source, model, result)
            take_registration()
        row = Row.from_result(
            result,
            run_id=self.summary.run_id,
            product_id=product,
            source=source,
            latency_ms=(time.perf_counter() - t) * 1000.0,
        ).judged_by(model).with_registration(registration if _verdict(result) != "ERROR" else None)
        judged = _Judged(row, result, shadow=self._shadow(image, source) if product == self.product_id else None)
        if row.verdict == "NG" and result.overlay is not None:
            judged.located = overlays.localizable(result)
            judged.card = overlays.speaking(row, result, image)
            path = overlays.overlay_path(self.home, product, row.source_file, row.recorded_at, task.seq,
                                         shared=self.options.shared_overlays, station=str(self.store.station))
            written = overlays.write_overlay(path, judged.card, row.source_file)
            row.overlay_path = str(written) if written is not None else None
            if self.options.stored_overlays:
                judged.jpeg = overlays.stored_jpeg(judged.card)
        return judged

    def _shadow(self, image: np.ndarray, source: Any) -> Shadow | None:
        """The candidate version's verdict on the image, or None when no candidate runs (it never raises)."""
        if self.shadow is None:
            return None
        result = self._inspect(image, source, self.shadow, with_overlay=False)
        row = Row.from_result(result, run_id=self.summary.run_id, product_id=self.product_id, source=None,
                              latency_ms=0.0)
        return Shadow.of(row.judged_by(self.shadow))

    def _with_overlay(self, image: np.ndarray, source: Any, model: InUse, first: Any) -> Any:
        """The NG image scored again with its overlay; the first result stands if that fails."""
        again = self._inspect(image, source, model, with_overlay=True)
        if _verdict(again) != "NG":
            logger.warning("%s: the inspection with the overlay said %s; the first verdict stands",
                           shown(source or ""), _verdict(again))
            return first
        return again

    def _error_row(self, message: str, source: Any, t: float, product: str | None = None) -> Row:
        return Row.error(
            message, run_id=self.summary.run_id, product_id=product or self.product_id, source=source,
            latency_ms=(time.perf_counter() - t) * 1000.0,
        )

    def _record(self, row: Row, key: Key, handovers: list[int], shadow: Shadow | None = None,
                jpeg: bytes | None = None) -> Row:
        """Store `row` (with the candidate's verdict beside it and its overlay's JPEG), else an ERROR row of the same
        image; the one stored is returned."""
        try:
            self.store.add(row, handovers=handovers, outputs=self._sends, shadow=shadow, overlay_jpeg=jpeg)
            self._wake_outputs()
            return row
        except StoreError as exc:
            logger.warning("%s", exc)
            first = exc
        # The row as it was could not be stored; an ERROR row of the same image may still be.
        fallback = key.stamp(self._error_row(f"cannot record the result: {first}", row.source_path,
                                                   time.perf_counter(), key.product_id))
        fallback.recovered, fallback.latency_ms, fallback.recorded_at = row.recovered, row.latency_ms, row.recorded_at
        fallback.part_id, fallback.late = row.part_id, row.late
        fallback.model_version, fallback.model_build = row.model_version, row.model_build
        fallback.threshold_source = row.threshold_source
        try:
            self.store.add(fallback, handovers=handovers, outputs=self._sends)
        except StoreError as exc:
            msg = f"{exc}; stopped taking images, those not recorded stay in the drop folder"
            raise _RecordingFailed(msg) from None
        self._wake_outputs()
        return fallback

    def _wake_outputs(self) -> None:
        if self.outputs is not None:
            self.outputs.wake()

    def _ack(self, meta: dict[str, Any]) -> None:
        ack = getattr(self.camera, "ack", None)
        if ack is not None:
            ack(meta)

    def _inspect(self, image: np.ndarray, source: Any, model: InUse, *, with_overlay: bool) -> Any:
        try:
            # Pinned: the inspector's bundle lookups on this thread load the version this state was taught on.
            with model.pinned():
                return self.inspector.inspect(image, model.state, with_overlay=with_overlay)
        except Exception as exc:  # noqa: BLE001 - one bad image must not stop the line; it is recorded as ERROR
            logger.warning("cannot inspect %s: %s", shown(source or ""), exc)
            return InspectionResult.error("norim", f"{type(exc).__name__}: {exc}")


def _verdict(result: Any) -> str:
    verdict = getattr(result, "verdict", None)
    return str(getattr(verdict, "value", verdict))
