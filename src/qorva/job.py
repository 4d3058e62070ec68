"""The live inspection job: a folder-drop camera feeds the inspector, every verdict is recorded.

Shared by `qorva watch` and `qorva demo`. The job runs on the caller's thread; the camera's receiver
thread fills a small buffer (back-pressure: a slow inspector makes the camera wait, nothing is dropped).
Stopping (a signal, `max_images`, `duration_s`) finishes the image being inspected, closes the camera,
then inspects and records the frames the camera had already taken from the folder, so every consumed
file has its row; files not yet consumed stay in the folder for the next run.
"""

from __future__ import annotations

import logging
import threading
import time
import uuid
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from qorva.console import StatusLine
from qorva.errors import QorvaError
from qorva.io.camera.base import CameraError
from qorva.results import VERDICTS, ResultStore, Row, overlay_path, write_overlay
from qorva.schemas.common import InspectionResult

logger = logging.getLogger("qorva.job")

_READ_TIMEOUT_S = 0.1

ResultCallback = Callable[[Row, np.ndarray, Any], None]


class JobError(QorvaError):
    """The job could not start or the camera failed while it ran."""


@dataclass
class JobSummary:
    """What one run of the job did."""

    run_id: str
    counts: Counter = field(default_factory=Counter)
    seconds: float = 0.0
    reason: str = ""
    error: str | None = None

    @property
    def n(self) -> int:
        return sum(self.counts.values())

    def counts_text(self) -> str:
        return ", ".join(f"{v} {self.counts.get(v, 0)}" for v in VERDICTS)


def camera_params(folder: str | Path, **options: Any) -> dict[str, Any]:
    """The camera's parameter mapping: the folder plus every option that was given (None means default)."""
    params: dict[str, Any] = {"path": str(folder)}
    params.update({k: v for k, v in options.items() if v is not None})
    return params


class InspectionJob:
    """Camera in, recorded verdicts out; `run()` blocks until stopped and returns the summary."""

    def __init__(
        self,
        *,
        home: Path,
        state: Any,
        store: ResultStore,
        inspector: Any,
        camera: Any,
        overlays: bool = True,
        max_images: int | None = None,
        duration_s: float | None = None,
        stop: threading.Event | None = None,
        on_result: ResultCallback | None = None,
        status: StatusLine | None = None,
    ) -> None:
        self.home = Path(home)
        self.state = state
        self.product_id = str(state.product_id)
        self.store = store
        self.inspector = inspector
        self.camera = camera
        self.overlays = overlays
        self.max_images = max_images
        self.duration_s = duration_s
        self.stop = stop if stop is not None else threading.Event()
        self.on_result = on_result
        self.status = status if status is not None else StatusLine(quiet=True)
        self.summary = JobSummary(run_id=uuid.uuid4().hex[:12])
        self._seq = 0

    def run(self) -> JobSummary:
        t0 = time.monotonic()
        self._open()
        failure: BaseException | None = None
        try:
            self._loop(t0)
        except BaseException as exc:
            failure = exc
            raise
        finally:
            self.camera.close()
            if failure is None or isinstance(failure, (CameraError, KeyboardInterrupt)):
                self._drain()
            self.summary.seconds = time.monotonic() - t0
            self.status.clear()
        return self.summary

    def _open(self) -> None:
        try:
            self.camera.open()
        except CameraError as exc:
            raise JobError(str(exc)) from None
        except OSError as exc:
            msg = f"cannot open the camera: {exc}"
            raise JobError(msg) from None

    def _loop(self, t0: float) -> None:
        deadline = None if self.duration_s is None else t0 + self.duration_s
        while True:
            reason = self._stop_reason(deadline)
            if reason:
                self.summary.reason = reason
                return
            wait = _READ_TIMEOUT_S if deadline is None else max(0.0, min(_READ_TIMEOUT_S, deadline - time.monotonic()))
            try:
                frame = self.camera.read(wait)
            except CameraError as exc:
                self.summary.reason = "camera-failed"
                self.summary.error = str(exc)
                return
            if frame is not None:
                self._handle(*frame)
            self._show_status(t0)

    def _stop_reason(self, deadline: float | None) -> str:
        if self.stop.is_set():
            return "stopped"
        if self.max_images is not None and self.summary.n >= self.max_images:
            return "max-images"
        if deadline is not None and time.monotonic() >= deadline:
            return "duration"
        return ""

    def _drain(self) -> None:
        # These files are already out of the drop folder (moved or deleted): skipping them would lose them.
        while True:
            try:
                frame = self.camera.read(0)
            except CameraError:
                return
            if frame is None:
                return
            self._handle(*frame)

    def _show_status(self, t0: float) -> None:
        elapsed = max(time.monotonic() - t0, 1e-9)
        s = self.summary
        self.status.show(
            f"watch {self.product_id}: {s.n} images ({s.counts_text()})  {s.n / elapsed:.1f} img/s"
        )

    def _handle(self, image: np.ndarray, meta: dict[str, Any]) -> Row:
        t = time.perf_counter()
        result = self._inspect(image, meta.get("source_file"))
        row = Row.from_result(
            result,
            run_id=self.summary.run_id,
            product_id=self.product_id,
            source_file=meta.get("source_file"),
            source_path=meta.get("source_path"),
            latency_ms=(time.perf_counter() - t) * 1000.0,
        )
        self._seq += 1
        if row.verdict == "NG" and result.overlay is not None:
            path = overlay_path(self.home, self.product_id, row.source_file, row.recorded_at, self._seq)
            written = write_overlay(path, result.overlay, row.source_file)
            row.overlay_path = str(written) if written is not None else None
        self.store.add(row)
        self.summary.counts[row.verdict] += 1
        if self.on_result is not None:
            self.status.clear()
            self.on_result(row, image, result)
        return row

    def _inspect(self, image: np.ndarray, source_file: str | None) -> Any:
        try:
            return self.inspector.inspect(image, self.state, with_overlay=self.overlays)
        except Exception as exc:  # noqa: BLE001 - one bad image must not stop the line; it is recorded as ERROR
            logger.warning("cannot inspect %s: %s", source_file, exc)
            return InspectionResult.error("norim", f"{type(exc).__name__}: {exc}")
