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
