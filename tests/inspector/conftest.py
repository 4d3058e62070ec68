from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest

from qorva.inspection.base import ModelState
from qorva.inspection.modules.norim import inspector as inspector_module
from qorva.inspection.modules.norim import runner as runner_module

BRANCHES = {"structural": 0.1, "mahalanobis": 0.05, "logical": 0.02}


@dataclass
class FakeRunner:
    """The runner's members, substituted on the real runner module; records every call."""

    good_scores: Any = field(default_factory=lambda: [0.1, 0.2, 0.3])
    device: Any = "cpu"
    score: Any = 0.5
    amap: Any = None
    parts: Any = field(default_factory=lambda: dict(BRANCHES))
    scored: Any = None  # when set, score_image returns this as is
    bundle_error: BaseException | None = None
    score_error: BaseException | None = None
    calls: list[tuple] = field(default_factory=list)

    def get_bundle(self, name, device):
        self.calls.append(("get_bundle", name, device))
        if self.bundle_error is not None:
            raise self.bundle_error
        return {"device": self.device, "name": name}

    def score_good_images(self, bundle, images):
        self.calls.append(("score_good_images", bundle["name"], len(images)))
        return self.good_scores

    def score_image(self, bundle, image, *, with_map):
        self.calls.append(("score_image", bundle["name"], with_map))
        if self.score_error is not None:
            raise self.score_error
        if self.scored is not None:
            return self.scored
        return self.score, self.amap, self.parts

    def purge_train_cache(self, product_id):
        self.calls.append(("purge_train_cache", product_id))
        return 1234

    def called(self, member: str) -> list[tuple]:
        return [c[1:] for c in self.calls if c[0] == member]


@pytest.fixture
def fake_runner(monkeypatch: pytest.MonkeyPatch) -> FakeRunner:
    fake = FakeRunner()
    for member in ("get_bundle", "score_good_images", "score_image", "purge_train_cache"):
        monkeypatch.setattr(runner_module, member, getattr(fake, member))
    return fake


@pytest.fixture
def norim():
    return inspector_module.NorimInspector()


@pytest.fixture
def img() -> np.ndarray:
    return np.full((8, 8, 3), 100, np.uint8)


@pytest.fixture
def images() -> list[np.ndarray]:
    return [np.full((8, 8, 3), v, np.uint8) for v in range(3)]


@pytest.fixture
def make_state():
    """A taught state for product P1 whose bundle is P1, with `threshold` and extra params."""

    def make(threshold: Any = 0.5, **params: Any) -> ModelState:
        base = {"weights": "P1", "sigma": 2.0, "device": "cpu", "product_id": "P1"}
        return ModelState(module="norim", product_id="P1", threshold=threshold, params={**base, **params})

    return make
