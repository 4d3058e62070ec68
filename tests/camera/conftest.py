from __future__ import annotations

import logging
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from helpers import CAMERA_LOGGER
from qorva.io.camera.dropnest import DropnestCamera


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    d = tmp_path / "in"
    d.mkdir()
    return d


@pytest.fixture
def make_camera(folder: Path) -> Callable[..., DropnestCamera]:
    """Builds cameras on `folder` (override with path=...); every one is closed afterwards."""
    made: list[DropnestCamera] = []

    def make(prepare: bool = False, **params: Any) -> DropnestCamera:
        params.setdefault("path", str(folder))
        cam = DropnestCamera(params)
        made.append(cam)
        if prepare:
            cam._prepare()
        return cam

    yield make
    for cam in made:
        cam.close()


@pytest.fixture
def camlog(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.DEBUG, logger=CAMERA_LOGGER)
    return caplog
