"""Push cameras: a receiver thread produces frames into a bounded buffer that `read` drains."""

from __future__ import annotations

import collections
import logging
import threading
from typing import Any

import numpy as np

from .base import BaseCamera, CameraError, Frame

logger = logging.getLogger("qorva.camera.push")


class _StopRequested(Exception):
    """Raised inside `_emit` when the camera is closed while the buffer is full.

    The frame is then not handed over, so the camera does not post-process its source:
    the file stays where it is and is offered again at the next opening.
    """


class PushCamera(BaseCamera):
    """Base of cameras whose frames arrive on their own: subclasses implement the hooks.

    Hooks, called without arguments: `_prepare()` before the receiver thread starts,
    `_receive_loop()` on the receiver thread (it must return once `_rx_stop` is set),
    and `_release()` after the loop has returned. The loop hands frames over with
    `_emit(image, meta)`, which blocks while the buffer (`max_queue` deep) is full.
    """

    join_timeout_s: float = 30.0

    def __init__(self, params: dict[str, Any] | None = None) -> None:
        self.params: dict[str, Any] = params if params is not None else {}
        self._rx_stop = threading.Event()
        self._cond = threading.Condition()
        self._buffer: collections.deque[Frame] = collections.deque()
        self._thread: threading.Thread | None = None
        self._error: BaseException | None = None
        self._loop_done = True

    # --- configuration -------------------------------------------------------
    @property
    def max_queue(self) -> int:
        """Depth of the receive buffer (parameter `max_queue`, default 4, at least 1)."""
        return max(1, int(self.params.get("max_queue", 4)))

    @property
    def error(self) -> BaseException | None:
        """The exception that ended the receive loop, if one did."""
        return self._error

    @property
    def is_open(self) -> bool:
        return self._thread is not None

    # --- hooks ----------------------------------------------------------------
    def _prepare(self) -> None:
        """Open hook; raise to refuse the opening."""

    def _receive_loop(self) -> None:
        raise NotImplementedError

    def _release(self) -> None:
        """Close hook, called after the receive loop has ended."""

    # --- lifecycle --------------------------------------------------------------
    def open(self) -> None:
        """Run `_prepare`, then start the receiver thread; opening an open camera does nothing."""
        if self._thread is not None:
            if self._thread.is_alive() or not self._rx_stop.is_set():
                return
            msg = f"{type(self).__name__}: the previous receiver thread has not ended; cannot reopen"
            raise CameraError(msg)
        self._rx_stop.clear()
        self._prepare()
        with self._cond:
            self._error = None
            self._loop_done = False
        self._thread = threading.Thread(
            target=self._run, name=f"{type(self).__name__}-rx", daemon=True
        )
        self._thread.start()

    def close(self) -> None:
        """Stop the receiver thread, wait for it, then run `_release`; closing twice is harmless."""
        thread = self._thread
        if thread is None:
            return
        self._rx_stop.set()
        with self._cond:
            self._cond.notify_all()
        if thread is not threading.current_thread():
            thread.join(self.join_timeout_s)
        if thread.is_alive():
            # Releasing now would clear records the loop still uses; leave the camera closing.
            logger.error("%s: receiver thread did not end within %.0f s", type(self).__name__, self.join_timeout_s)
            return
        self._thread = None
        self._release()

    def _run(self) -> None:
        try:
            self._receive_loop()
        except _StopRequested:
            pass
        except BaseException as exc:  # noqa: BLE001 - kept and re-raised to the reader
            logger.error("%s: receive loop failed", type(self).__name__, exc_info=exc)
            with self._cond:
                self._error = exc
        finally:
            with self._cond:
                self._loop_done = True
                self._cond.notify_all()

    # --- frames -------------------------------------------------------------------
    def _emit(self, image: np.ndarray, meta: dict[str, Any]) -> None:
        """Hand a frame to the buffer, waiting while it is full (back-pressure, nothing dropped)."""
        with self._cond:
            while len(self._buffer) >= self.max_queue:
                if self._rx_stop.is_set():
                    raise _StopRequested
                self._cond.wait(0.05)
            self._buffer.append((image, meta))
            self._cond.notify_all()

    def read(self, timeout: float | None = None) -> Frame | None:
        """The next `(image, meta)`; None when `timeout` seconds pass without one.

        Frames already buffered are still returned after the camera is closed. Raises
        `CameraError` when no frame can come any more: the camera is not running, or
        its receive loop failed (the failure is the error's cause).
        """
        import time

        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while True:
                if self._buffer:
                    frame = self._buffer.popleft()
                    self._cond.notify_all()
                    return frame
                if self._error is not None:
                    msg = f"{type(self).__name__}: receive loop failed: {self._error!r}"
                    raise CameraError(msg) from self._error
                if self._thread is None or self._loop_done:
                    msg = f"{type(self).__name__}: camera is not open"
                    raise CameraError(msg)
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                self._cond.wait(0.1 if remaining is None else min(remaining, 0.1))

    def pending(self) -> int:
        """Number of frames waiting in the buffer."""
        with self._cond:
            return len(self._buffer)


class AcknowledgedHandover:
    """Opt-in for a `PushCamera` subclass whose `_emit` is followed by `_dispose(source)` of the same frame:
    the source is disposed of only once the reader has acknowledged the frame with `ack(meta)`.

    Use it first among the bases (`with_acknowledgement(DropnestCamera)` makes such a class). A host that
    records each frame acknowledges it once the record is committed; a crash before that leaves the source
    where it was, so the next opening offers it again. Each frame's meta gets the key "handover" (an int),
    and `on_handover(image, meta)`, when set, runs on the receiver thread before the frame is buffered
    (what it adds to `meta` reaches the reader).

    Threads: the camera's records (`_seen`) belong to the receiver thread, so a frame acknowledged while
    the loop runs is disposed of there, at the start of the next scan (within one poll interval when the
    folder is idle); one acknowledged after the loop has ended is disposed of on the acknowledging thread.
    A source waiting for its acknowledgement is kept in `_seen` (the set of path texts that the camera's
    scan skips, as the folder-drop camera keeps it), so no scan offers it again meanwhile; a frame that
    is never acknowledged leaves its source in place, and the next opening offers it again.
    """

    on_handover: Any = None
    # `companions(source)`, when set: the files that belong to a source (a sidecar with its part id), moved or
    # deleted right after it as the camera disposes of it (kept where it is kept).
    companions: Any = None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._ack_lock = threading.Lock()
        self._ack_next = 0
        self._ack_emitted: int | None = None  # the frame whose _dispose call comes next (receiver thread)
        self._ack_waiting: dict[int, Any] = {}  # frame -> its source, disposal deferred
        self._ack_done: set[int] = set()  # frames acknowledged, not disposed of yet
        self._ack_loop_running = False

    def ack(self, meta: dict[str, Any]) -> None:
        """The reader has finished with the frame of `meta`: its source may now be disposed of."""
        frame = meta.get("handover")
        if frame is None:
            return
        with self._ack_lock:
            self._ack_done.add(frame)
            now = not self._ack_loop_running
        if now:
            self._dispose_acknowledged()

    def waiting(self) -> int:
        """Frames handed over whose sources still wait for an acknowledgement."""
        with self._ack_lock:
            return len(self._ack_waiting)

    def _prepare(self) -> None:
        with self._ack_lock:
            # Sources of an earlier opening that were never acknowledged are still in the folder and
            # are offered again as new frames.
            self._ack_waiting.clear()
            self._ack_done.clear()
        super()._prepare()

    def _receive_loop(self) -> None:
        with self._ack_lock:
            self._ack_loop_running = True
        try:
            super()._receive_loop()
        finally:
            with self._ack_lock:
                self._ack_loop_running = False
            self._dispose_acknowledged()

    def _scan(self) -> Any:
        self._dispose_acknowledged()
        return super()._scan()

    def _emit(self, image: np.ndarray, meta: dict[str, Any]) -> None:
        with self._ack_lock:
            frame = self._ack_next
            self._ack_next += 1
        meta["handover"] = frame
        if self.on_handover is not None:
            self.on_handover(image, meta)
        super()._emit(image, meta)
        self._ack_emitted = frame

    def _dispose(self, fpath: Any) -> None:
        frame, self._ack_emitted = self._ack_emitted, None
        if frame is None:  # a disposal that follows no frame of ours: the camera's own behaviour
            super()._dispose(fpath)
            self._dispose_companions(fpath)
            return
        self._seen.add(str(fpath))
        with self._ack_lock:
            self._ack_waiting[frame] = fpath
        self._dispose_acknowledged()

    def _dispose_acknowledged(self) -> None:
        with self._ack_lock:
            ready = [f for f in self._ack_done if f in self._ack_waiting]
            sources = [self._ack_waiting.pop(f) for f in ready]
            self._ack_done.difference_update(ready)
        for fpath in sources:
            self._seen.discard(str(fpath))
            super()._dispose(fpath)
            self._dispose_companions(fpath)

    def _dispose_companions(self, fpath: Any) -> None:
        if self.companions is None or getattr(self, "_after", None) not in ("move", "delete"):
            return
        for side in self.companions(fpath):
            if side.exists():
                super()._dispose(side)


def with_acknowledgement(camera_class: type) -> type:
    """`camera_class` with `AcknowledgedHandover` in front: sources disposed of only once acknowledged."""
    return type(f"Acknowledged{camera_class.__name__}", (AcknowledgedHandover, camera_class), {})
