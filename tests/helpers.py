"""Shared test helpers: deadline waits and small image files."""

from __future__ import annotations

import time
from collections.abc import Callable
from pathlib import Path

import cv2
import numpy as np
import pytest

CAMERA_LOGGER = "qorva.camera.dropnest"


def wait_until(pred: Callable[[], object], timeout: float = 2.0, interval: float = 0.005) -> bool:
    """True as soon as `pred()` is true; False once `timeout` seconds have passed without it."""
    deadline = time.monotonic() + timeout
    while True:
        if pred():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def image(seed: int, shape: tuple[int, ...] = (12, 16, 3)) -> np.ndarray:
    """A small random uint8 image, different for every seed."""
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def png_bytes(img: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(".png", img)
    assert ok
    return buf.tobytes()


def write_png(path: Path, seed: int = 0, shape: tuple[int, ...] = (12, 16, 3)) -> np.ndarray:
    """Writes a lossless image to `path` and returns the pixels a colour decode gives back."""
    img = image(seed, shape)
    path.write_bytes(png_bytes(img))
    return cv2.imdecode(np.frombuffer(path.read_bytes(), np.uint8), cv2.IMREAD_COLOR)


def records(caplog: pytest.LogCaptureFixture, logger: str = CAMERA_LOGGER) -> list[tuple[int, str]]:
    """(level, rendered message) of the records of one logger."""
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == logger]
