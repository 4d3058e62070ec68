"""Several drop folders read as one camera: a station serving its products by subfolder, `<drop>/<product>/`.

Each folder has a camera of its own (its own scan, readiness, retries and disposal); the job reads them as
one. A frame carries the name of the camera it came from (`meta["route"]`, set on the receiver thread before
the job's hand-over hook runs, so the journal and the key already know the product) and is acknowledged to
that camera. Frames are taken from the cameras in turn, so a busy folder does not starve a quiet one; within
a folder they keep their arrival order.
"""

from __future__ import annotations

import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from qorva.io.camera.base import CameraError

# While no camera has a frame, each is asked again this often: a frame waits at most this long more than
# with one camera, against an inspection's 10-25 ms.
_POLL_S = 0.005


class CameraSet:
    """The cameras of `cameras` (name -> an acknowledged push camera) read as one camera."""

    def __init__(self, cameras: Mapping[str, Any]) -> None:
        self.cameras = dict(cameras)
        self.params: dict[str, Any] = {"paths": [str(Path(c.params["path"])) for c in self.cameras.values()]}
        self._order = list(self.cameras)
        self._next = 0
        self._hook: Any = None

    @property
    def on_handover(self) -> Any:
        return self._hook

    @on_handover.setter
    def on_handover(self, hook: Any) -> None:
        self._hook = hook
        for name, camera in self.cameras.items():
            camera.on_handover = self._tagging(name)

    def _tagging(self, name: str) -> Any:
        def tag(image: Any, meta: dict[str, Any]) -> None:
            meta["route"] = name
            if self._hook is not None:
                self._hook(image, meta)

        return tag

    def open(self) -> None:
        """Open every camera; if one cannot be opened, those already open are closed again."""
        for name in self.cameras:  # frames of a camera opened without a hook would carry no route
            self.cameras[name].on_handover = self._tagging(name)
        opened = []
        try:
            for camera in self.cameras.values():
                camera.open()
                opened.append(camera)
        except BaseException:
            for camera in opened:
                camera.close()
            raise

    def close(self) -> None:
        for camera in self.cameras.values():
            camera.close()

    def read(self, timeout: float | None = None) -> tuple[Any, dict[str, Any]] | None:
        """The next frame of any camera, taken in turn; None when `timeout` passes without one. A camera that
        fails ends the reading (`CameraError`), as one camera's failure ends a single-folder watch."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            for i in range(len(self._order)):
                name = self._order[(self._next + i) % len(self._order)]
                frame = self.cameras[name].read(0)
                if frame is not None:
                    self._next = (self._next + i + 1) % len(self._order)
                    frame[1].setdefault("route", name)
                    return frame
            if deadline is not None and time.monotonic() >= deadline:
                return None
            time.sleep(_POLL_S if deadline is None else max(0.0, min(_POLL_S, deadline - time.monotonic())))

    def ack(self, meta: dict[str, Any]) -> None:
        camera = self.cameras.get(meta.get("route"))
        if camera is None:
            msg = f"CameraSet: a frame of no camera of this set: {meta.get('route')!r}"
            raise CameraError(msg)
        camera.ack(meta)
