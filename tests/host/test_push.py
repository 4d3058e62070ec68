"""The push-camera base: bounded buffer, stopping, and loop failures reaching the reader."""

from __future__ import annotations

import numpy as np
import pytest

from helpers import image, png_bytes, wait_until
from qorva.io.camera.base import CameraError
from qorva.io.camera.dropnest import DropnestCamera
from qorva.io.camera.push import PushCamera, with_acknowledgement


class Counter(PushCamera):
    """Emits frames 0..n-1 as fast as the buffer takes them."""

    def __init__(self, n: int, params=None) -> None:
        super().__init__(params)
        self.n = n
        self.high_water = 0

    def _receive_loop(self) -> None:
        for i in range(self.n):
            if self._rx_stop.is_set():
                return
            self._emit(np.full((1, 1, 3), i % 256, np.uint8), {"i": i})
            self.high_water = max(self.high_water, self.pending())
        self._rx_stop.wait()


def test_back_pressure_loses_nothing_and_keeps_order():
    cam = Counter(200, {"max_queue": 3})
    cam.open()
    got = []
    while len(got) < 200:
        frame = cam.read(timeout=5)
        assert frame is not None
        got.append(frame[1]["i"])
    cam.close()
    assert got == list(range(200))
    assert cam.high_water <= 3


def test_stop_while_blocked_in_emit_leaves_the_file(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for i, name in enumerate(["a.png", "b.png", "c.png"]):
        (folder / name).write_bytes(png_bytes(image(i)))
    cam = DropnestCamera({"path": str(folder), "ready_policy": "none", "max_queue": 1, "poll_ms": 5})
    cam.open()
    assert wait_until(lambda: cam.pending() == 1 and (folder / "_processed" / "a.png").exists(), timeout=10)
    cam.close()
    assert sorted(p.name for p in folder.glob("*.png")) == ["b.png", "c.png"]
    assert cam.read(timeout=0)[1]["source_file"] == "a.png"
    with pytest.raises(CameraError, match="not open"):
        cam.read(timeout=0)


class Failing(PushCamera):
    def _receive_loop(self) -> None:
        msg = "sender broke the share"
        raise ValueError(msg)


def test_loop_error_reaches_read():
    cam = Failing()
    cam.open()
    with pytest.raises(CameraError, match="receive loop failed") as info:
        cam.read(timeout=5)
    assert isinstance(info.value.__cause__, ValueError)
    assert isinstance(cam.error, ValueError)
    cam.close()


def test_camera_loop_error_reaches_read(tmp_path):
    (tmp_path / "a.png").write_bytes(b"x")
    cam = DropnestCamera({"path": str(tmp_path), "ready_policy": "sentinel"})
    cam.open()
    cam.params["sentinel_ext"] = "/bad"  # open refuses it; changed afterwards, it fails the loop
    with pytest.raises(CameraError) as info:
        cam.read(timeout=5)
    assert isinstance(info.value.__cause__, ValueError)
    cam.close()


def test_open_failure_leaves_the_camera_closed(tmp_path):
    cam = DropnestCamera({"path": str(tmp_path / "missing")})
    with pytest.raises(CameraError):
        cam.open()
    assert not cam.is_open
    cam.close()


def test_open_and_close_are_idempotent(tmp_path):
    cam = Counter(0)
    cam.open()
    cam.open()
    cam.close()
    cam.close()
    assert not cam.is_open
    with pytest.raises(CameraError, match="not open"):
        cam.read(timeout=0)


@pytest.mark.parametrize("after", ["move", "delete"])
def test_acknowledged_handover_disposes_of_a_file_only_once_its_frame_is_acknowledged(tmp_path, after):
    folder = tmp_path / "in"
    folder.mkdir()
    for i, name in enumerate(["a.png", "b.png", "c.png"]):
        (folder / name).write_bytes(png_bytes(image(i)))
    gone = (lambda n: (folder / "_processed" / n).exists()) if after == "move" else (lambda n: True)
    left = lambda: sorted(p.name for p in folder.glob("*.png"))  # noqa: E731
    cam = with_acknowledgement(DropnestCamera)({"path": str(folder), "ready_policy": "none", "poll_ms": 5,
                                                "after": after})
    cam.open()
    frames = [cam.read(timeout=5) for _ in range(3)]
    assert [f[1]["source_file"] for f in frames] == ["a.png", "b.png", "c.png"]
    # Waiting files are neither disposed of nor offered again.
    assert cam.read(timeout=0.3) is None and left() == ["a.png", "b.png", "c.png"] and cam.waiting() == 3
    cam.ack(frames[0][1])
    assert wait_until(lambda: left() == ["b.png", "c.png"] and gone("a.png"), timeout=5)
    cam.close()
    cam.ack(frames[1][1])  # after the loop has ended: disposed of on this thread, at once
    assert left() == ["c.png"] and gone("b.png")
    cam.open()  # the file never acknowledged is offered again
    assert cam.read(timeout=5)[1]["source_file"] == "c.png"
    cam.close()
    assert left() == ["c.png"]
