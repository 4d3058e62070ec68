"""The live inspection job: a folder-drop camera feeds the inspector, every verdict is recorded.

Shared by `qorva watch` and `qorva demo`. The job runs on the caller's thread; the camera's receiver
thread fills a small buffer (back-pressure: a slow inspector makes the camera wait, nothing is dropped).
Stopping (a signal, `max_images`, `duration_s`) finishes the image being inspected, closes the camera,
then inspects and records the frames the camera had already taken from the folder, so every consumed
file has its row; files not yet consumed stay in the folder for the next run.
"""

from __future__ import annotations

import contextlib
import logging
import math
import signal
import sys
import threading
import time
import uuid
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from qorva.errors import QorvaError
from qorva.store import ResultStore, Row, overlay_path, utc_now, write_atomic

logger = logging.getLogger("qorva.job")

_READ_TIMEOUT_S = 0.1
_VERDICTS = ("OK", "NG", "ERROR")

ResultCallback = Callable[[Row, np.ndarray, Any], None]


class JobError(QorvaError):
    """The job could not start or the camera failed while it ran."""


@dataclass
class JobSummary:
    """What one run of the job did."""

    run_id: str
    counts: Counter = field(default_factory=Counter)
    latencies_ms: list[float] = field(default_factory=list)
    seconds: float = 0.0
    reason: str = ""
    error: str | None = None

    @property
    def n(self) -> int:
        return sum(self.counts.values())

    def counts_text(self) -> str:
        return ", ".join(f"{v} {self.counts.get(v, 0)}" for v in _VERDICTS)


class StatusLine:
    """One self-rewriting line on stderr; silent off a terminal or when quiet."""

    def __init__(self, *, quiet: bool = False, stream: TextIO | None = None, interval_s: float = 0.2) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = not quiet and bool(getattr(self.stream, "isatty", lambda: False)())
        self.interval_s = interval_s
        self._last = 0.0
        self._shown = False

    def show(self, text: str, *, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (not force and now - self._last < self.interval_s):
            return
        self._last = now
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()
        self._shown = True

    def clear(self) -> None:
        """Erase the line so that a result printed on stdout starts on a clean line."""
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False


@contextlib.contextmanager
def stop_on_signals(stop: threading.Event) -> Iterator[dict[str, bool]]:
    """Turn SIGINT and SIGTERM into `stop` while the block runs; the dict tells which one came.

    A second Ctrl-C raises `KeyboardInterrupt` as usual, for when a clean stop hangs.
    """
    seen = {"interrupted": False, "terminated": False}
    if threading.current_thread() is not threading.main_thread():
        yield seen
        return

    def on_int(signum: int, frame: object) -> None:
        if seen["interrupted"]:
            raise KeyboardInterrupt
        seen["interrupted"] = True
        stop.set()

    def on_term(signum: int, frame: object) -> None:
        seen["terminated"] = True
        stop.set()

    old_int = signal.signal(signal.SIGINT, on_int)
    old_term = signal.signal(signal.SIGTERM, on_term)
    try:
        yield seen
    finally:
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGTERM, old_term)


def camera_params(folder: str | Path, **options: Any) -> dict[str, Any]:
    """The camera's parameter mapping: the folder plus every option that was given (None means default)."""
    params: dict[str, Any] = {"path": str(folder)}
    params.update({k: v for k, v in options.items() if v is not None})
    return params


def _verdict_text(verdict: Any) -> str:
    return str(getattr(verdict, "value", verdict))


def _number(value: Any) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


class InspectionJob:
    """Camera in, recorded verdicts out; `run()` blocks until stopped and returns the summary."""

    def __init__(
        self,
        *,
        home: Path,
        state: Any,
        params: dict[str, Any],
        store: ResultStore,
        overlays: bool = True,
        max_images: int | None = None,
        duration_s: float | None = None,
        stop: threading.Event | None = None,
        on_result: ResultCallback | None = None,
        status: StatusLine | None = None,
        inspector: Any = None,
        camera: Any = None,
    ) -> None:
        self.home = Path(home)
        self.state = state
        self.product_id = str(state.product_id)
        self.params = params
        self.store = store
        self.overlays = overlays
        self.max_images = max_images
        self.duration_s = duration_s
        self.stop = stop if stop is not None else threading.Event()
        self.on_result = on_result
        self.status = status if status is not None else StatusLine(quiet=True)
        self._inspector = inspector
        self._camera = camera
        self.summary = JobSummary(run_id=uuid.uuid4().hex[:12])
        self._seq = 0

    # --- collaborators: handed in by the caller, or the real modules on first use -------------------------
    def _make_inspector(self) -> Any:
        if self._inspector is None:
            from qorva.inspection.modules.norim.inspector import NorimInspector

            self._inspector = NorimInspector()
        return self._inspector

    def _make_camera(self) -> Any:
        if self._camera is None:
            from qorva.io.camera.dropnest import DropnestCamera

            self._camera = DropnestCamera(self.params)
        return self._camera

    # --- the loop ------------------------------------------------------------------------------------------
    def run(self) -> JobSummary:
        from qorva.io.camera.base import CameraError

        inspector = self._make_inspector()
        camera = self._make_camera()
        t0 = time.monotonic()
        deadline = None if self.duration_s is None else t0 + self.duration_s
        try:
            camera.open()
        except CameraError as exc:
            raise JobError(str(exc)) from None
        except OSError as exc:
            msg = f"cannot open the camera on {self.params.get('path')}: {exc}"
            raise JobError(msg) from None
        failure: BaseException | None = None
        try:
            while True:
                if self.stop.is_set():
                    self.summary.reason = "stopped"
                    break
                if self.max_images is not None and self.summary.n >= self.max_images:
                    self.summary.reason = "max-images"
                    break
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    self.summary.reason = "duration"
                    break
                wait = _READ_TIMEOUT_S if deadline is None else max(0.0, min(_READ_TIMEOUT_S, deadline - now))
                try:
                    frame = camera.read(wait)
                except CameraError as exc:
                    failure = exc
                    self.summary.reason = "camera-failed"
                    self.summary.error = str(exc)
                    break
                if frame is not None:
                    self._handle(inspector, *frame)
                self._show_status(t0)
        except BaseException as exc:
            failure = exc
            raise
        finally:
            camera.close()
            if failure is None or isinstance(failure, (CameraError, KeyboardInterrupt)):
                self._drain(inspector, camera, CameraError)
            self.summary.seconds = time.monotonic() - t0
            self.status.clear()
        return self.summary

    def _drain(self, inspector: Any, camera: Any, camera_error: type[BaseException]) -> None:
        # These files are already out of the drop folder (moved or deleted): skipping them would lose them.
        while True:
            try:
                frame = camera.read(0)
            except camera_error:
                return
            if frame is None:
                return
            self._handle(inspector, *frame)

    def _show_status(self, t0: float) -> None:
        elapsed = max(time.monotonic() - t0, 1e-9)
        s = self.summary
        self.status.show(
            f"watch {self.product_id}: {s.n} images ({s.counts_text()})  {s.n / elapsed:.1f} img/s"
        )

    def _handle(self, inspector: Any, image: np.ndarray, meta: dict[str, Any]) -> Row:
        from qorva.schemas.common import InspectionResult

        source_file = meta.get("source_file")
        t = time.perf_counter()
        try:
            result = inspector.inspect(image, self.state, with_overlay=self.overlays)
        except Exception as exc:  # noqa: BLE001 - one bad image must not stop the line; it is recorded as ERROR
            logger.warning("cannot inspect %s: %s", source_file, exc)
            result = InspectionResult.error("norim", f"{type(exc).__name__}: {exc}")
        latency_ms = (time.perf_counter() - t) * 1000.0
        verdict = _verdict_text(result.verdict)
        score = _number(result.score)
        error = getattr(result, "error_message", None)
        if verdict != "ERROR" and (score is None or not math.isfinite(score)):
            # A verdict on a score that is not a number is no verdict.
            verdict, error = "ERROR", f"non-finite score {result.score!r}"
        details = result.details or {}
        branch = details.get("branch") or {}
        recorded_at = utc_now()
        self._seq += 1
        ov = None
        if verdict == "NG" and result.overlay is not None:
            ov = self._write_overlay(result.overlay, source_file, recorded_at)
        row = Row(
            recorded_at=recorded_at,
            run_id=self.summary.run_id,
            product_id=self.product_id,
            source_file=source_file,
            source_path=meta.get("source_path"),
            verdict=verdict,
            score=score if verdict != "ERROR" else None,
            threshold=_number(result.threshold),
            ratio=_number(details.get("ratio_over_threshold")),
            structural=_number(branch.get("structural")),
            mahalanobis=_number(branch.get("mahalanobis")),
            logical=_number(branch.get("logical")),
            dominant_branch=details.get("dominant_branch"),
            overlay_path=str(ov) if ov is not None else None,
            latency_ms=round(latency_ms, 2),
            error_message=error,
        )
        self.store.add(row)
        self.summary.counts[verdict] += 1
        self.summary.latencies_ms.append(latency_ms)
        if self.on_result is not None:
            self.status.clear()
            self.on_result(row, image, result)
        return row

    def _write_overlay(self, overlay: np.ndarray, source_file: str | None, recorded_at: str) -> Path | None:
        import cv2

        path = overlay_path(self.home, self.product_id, source_file, recorded_at, self._seq)
        try:
            ok, buf = cv2.imencode(".png", np.ascontiguousarray(overlay))
            if not ok:
                msg = "PNG encoding failed"
                raise ValueError(msg)
            write_atomic(path, buf.tobytes())
        except (OSError, ValueError, cv2.error) as exc:
            logger.warning("cannot write the overlay of %s to %s: %s", source_file, path, exc)
            return None
        return path


def result_line(row: Row) -> str:
    """The one line printed per image: local time, file, verdict, score/threshold, dominant branch, latency."""
    import datetime as dt

    when = dt.datetime.fromisoformat(row.recorded_at.replace("Z", "+00:00")).astimezone()
    stamp = when.strftime("%H:%M:%S.") + f"{when.microsecond // 1000:03d}"
    if row.verdict == "ERROR":
        what = f"ERROR  {row.error_message}"
    else:
        what = f"{row.verdict:<5}  {row.score:8.4f} / {row.threshold:.4f}  {row.dominant_branch or '-':<11}"
    return f"{stamp}  {row.source_file}  {what}  {row.latency_ms:.0f} ms"
