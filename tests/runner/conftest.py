from __future__ import annotations

import cv2
import numpy as np
import pytest

from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner.storage import loaded


def board(rng: np.random.Generator, size: int = 96) -> np.ndarray:
    """A small aligned product: a grey board with two coloured parts and a little sensor noise."""
    img = np.full((size, size, 3), 120, np.uint8)
    cv2.rectangle(img, (10, 10), (40, 40), (40, 40, 200), -1)
    cv2.circle(img, (65, 65), 14, (200, 120, 30), -1)
    noise = rng.normal(0.0, 3.0, img.shape)
    return np.clip(img + noise, 0, 255).astype(np.uint8)


@pytest.fixture(scope="session")
def goods() -> list[np.ndarray]:
    rng = np.random.default_rng(7)
    return [board(rng) for _ in range(10)]


@pytest.fixture(scope="session")
def trained_home(tmp_path_factory: pytest.TempPathFactory, goods: list[np.ndarray]):
    home = tmp_path_factory.mktemp("home")
    runner.train("P1", goods[:8], home=home, backbone="none")
    return home


@pytest.fixture(autouse=True)
def _fresh_cache():
    loaded.clear()
    yield
    loaded.clear()


@pytest.fixture
def trained(trained_home, monkeypatch: pytest.MonkeyPatch):
    """The shared trained home (product P1, bundle P1) as $QORVA_HOME; tests must not modify it."""
    monkeypatch.setenv("QORVA_HOME", str(trained_home))
    return trained_home


@pytest.fixture
def home(tmp_path, monkeypatch: pytest.MonkeyPatch):
    """An empty home of the test's own as $QORVA_HOME."""
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    return tmp_path
