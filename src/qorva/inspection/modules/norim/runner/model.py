"""The model: named branches, their scores' held-out normalisation, the anomaly map, and the training images.

An image is scored by every branch that gives a kept score; each raw score becomes a z-score (`normalise`), the
image's score is the largest z and the branch that gives it names the cause. The map is the cells of the map
branch ("deep" where the model has it, else "patch"), in units of a typical good image's worst cell. The layout of
the whole is described in docs/model.md.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import cv2
import numpy as np

from . import normalise
from .branches import Branch
from .choices import BRANCHES, REPORTED_AS
from .inputs import Inputs
from .inputs.align import Alignment
from .inputs.working import image_digest


@dataclass(frozen=True)
class NorimModel:
    """A trained model; read-only, shared between threads."""

    branches: tuple[Branch, ...]  # fitted branches, in `branches.KINDS` order
    active: tuple[str, ...]  # the scores kept, in `choices.SCORES` order
    norm: np.ndarray  # len(active) x 2: mean and std of log1p(held-out raw score)
    map_branch: str  # the branch whose cells are the map
    map_scale: float  # raw cell score of a typical good image's worst cell (of the map branch)
    train_hashes: np.ndarray  # n x 16 uint8: digests of the training images at working size
    train_raw: np.ndarray  # n x len(active): each training image's raw scores while it was held out
    align: Alignment | None = None  # registration and light level applied before the features (format 5 on)

    def branch(self, name: str) -> Branch | None:
        return next((b for b in self.branches if b.NAME == name), None)

    @property
    def needs_network(self) -> bool:
        return any(b.NEEDS == "emb" for b in self.branches)

    def inputs(self, works: list[np.ndarray], net: Any) -> Inputs:
        """The branches' inputs of working images, aligned first where the model aligns them."""
        logical = self.branch("logical")
        palette = logical.palette if logical is not None else None
        if self.align is None:
            return Inputs(works, net=net, palette=palette)
        aligned, offsets, unseen = self.align.apply(works)
        return Inputs(aligned, net=net, palette=palette, originals=works, offsets=offsets, unseen=unseen)

    def raw(self, inputs: Inputs) -> tuple[np.ndarray, np.ndarray]:
        """Raw kept scores (N x len(active)) and the map cells (N x GRID x GRID, in units of a good image's worst
        cell) of a batch.

        An image the model was trained on gets the scores it had while held out: a model scores its own training
        images too well, and a threshold calibrated on them would reject unseen good images.
        """
        columns: dict[str, np.ndarray] = {}
        cell_maps = None
        for branch in self.branches:
            if branch.NAME != self.map_branch and not set(branch.scores) & set(self.active):
                continue
            raw, cells = branch.score(getattr(inputs, branch.NEEDS), inputs.unseen)
            columns.update(zip(branch.scores, raw.T, strict=True))
            if branch.NAME == self.map_branch:
                cell_maps = cells
        raw = np.stack([columns[s] for s in self.active], axis=1)
        for i, hit in enumerate(self.training_rows(inputs.originals)):
            if hit >= 0:
                raw[i] = self.train_raw[hit]
        return raw, cell_maps / self.map_scale

    def training_rows(self, works: list[np.ndarray]) -> list[int]:
        """For each working image, its row among the training images, or -1."""
        if not len(self.train_hashes):
            return [-1] * len(works)
        out = []
        for w in works:
            hit = np.flatnonzero((self.train_hashes == image_digest(w)).all(axis=1))
            out.append(int(hit[0]) if hit.size else -1)
        return out

    def z(self, raw: np.ndarray) -> np.ndarray:
        return normalise.z_scores(raw, self.norm)

    def parts(self, z: np.ndarray) -> dict[str, float]:
        """The result's branch values: the largest z of the kept scores reporting under each key, in key order."""
        out: dict[str, float] = {}
        for name, value in zip(self.active, z, strict=True):
            key = REPORTED_AS[name]
            out[key] = max(out.get(key, -np.inf), float(value))
        return {k: out[k] for k in BRANCHES if k in out}


def combine(z: np.ndarray) -> np.ndarray:
    """The image score: the largest z."""
    return z.max(axis=-1)


def anomaly_map(cell_map: np.ndarray, height: int, width: int) -> np.ndarray:
    """Cell scores spread over the image's own HxW (float32), in units of a good image's worst cell (good ~ <= 1)."""
    return cv2.resize(cell_map.astype(np.float32), (width, height), interpolation=cv2.INTER_LINEAR)
