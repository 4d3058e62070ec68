from __future__ import annotations

import logging
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from qorva.io.camera.dropnest import DropnestCamera

LOGGER = "qorva.camera.dropnest"


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
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def records(caplog: pytest.LogCaptureFixture) -> list[tuple[int, str]]:
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]
