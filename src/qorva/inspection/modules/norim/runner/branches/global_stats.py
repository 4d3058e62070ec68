"""The "global" branch: whole-image statistics of the filter-bank features, reported under "mahalanobis".

The mean and spread of the standardised patch features over the whole image, against one shrunk Gaussian of the
training images' (a Mahalanobis distance): it sees a changed material, tint or overall texture that no single cell
shows. It has no map.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from .. import stats
from ..inputs.filters import FilterView, fit_view


def image_vector(z: np.ndarray) -> np.ndarray:
    """Whole-image summary of standardised patch features (N x G x G x D -> N x 2D)."""
    flat = z.reshape(z.shape[0], -1, z.shape[-1])
    return np.concatenate([flat.mean(1), flat.std(1)], axis=1)


@dataclass(frozen=True)
class Global:
    view: FilterView
    mean: np.ndarray  # 2D
    prec: np.ndarray  # 2D x 2D

    NAME: ClassVar[str] = "global"
    NEEDS: ClassVar[str] = "feats"
    scores: ClassVar[tuple[str, ...]] = ("global",)

    def score(self, feats: np.ndarray, unseen: np.ndarray | None = None) -> tuple[np.ndarray, None]:
        d = image_vector(self.view(feats)) - self.mean
        return np.sqrt(np.maximum(np.einsum("nd,de,ne->n", d, self.prec, d), 0.0))[:, None], None

    def arrays(self) -> dict[str, np.ndarray]:
        return {"feat_mean": self.view.mean, "feat_scale": self.view.scale, "mean": self.mean, "prec": self.prec}

    def describe(self) -> dict[str, Any]:
        return {"angle_blind": self.view.isotropic}

    @classmethod
    def load(cls, description: dict[str, Any], arrays: dict[str, np.ndarray]) -> Global:
        view = FilterView(description["angle_blind"], arrays["feat_mean"], arrays["feat_scale"])
        return cls(view, arrays["mean"], arrays["prec"])

    @staticmethod
    def shapes(description: dict[str, Any], dim) -> dict[str, tuple[int, ...]]:
        if set(description) != {"angle_blind"} or not isinstance(description["angle_blind"], bool):
            msg = f"global branch {description!r}"
            raise ValueError(msg)
        d = dim("feat_mean", 0)
        return {"feat_mean": (d,), "feat_scale": (d,), "mean": (2 * d,), "prec": (2 * d, 2 * d)}


def fit(feats: np.ndarray, angle_blind: bool) -> Global:
    """The branch from the training images' filter-bank features, seen as the patch branch sees them."""
    view = fit_view(feats, angle_blind)
    v = image_vector(view(feats)).astype(np.float64)
    return Global(view, v.mean(0).astype(np.float32), stats.precision(stats.ledoit_wolf(v)).astype(np.float32))
