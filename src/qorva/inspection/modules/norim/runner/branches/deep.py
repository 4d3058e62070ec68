"""The "deep" branch: pretrained patch features (`inputs.embed`) against what good cells showed.

A projection on the training patches' 64 main directions keeps the model small and the distances fast. The cells
are modelled per position ("gauss", fixed layouts) or by a memory bank of 1,024 patches ("knn"), see `cells`.

The outer `RING` cells see the image border through the network's padding. Their features change with whatever
lies just outside the frame, so on a texture they are the noisiest cells of a good image and left out of the image
score ("deep"); the map still shows them. On a fixed layout every position has its own Gaussian and the border is
modelled like the rest, so the ring gets an image score of its own ("deep_ring"), normalised apart.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from .. import cells
from ..inputs import embed
from ..inputs.working import GRID

DIMS = 64
# The scores of each kind, levelled (`_levelled`).
SCORES = {"gauss": ("deep", "deep_ring", "deep_level"), "knn": ("deep", "deep_level")}
DEEP_BANK = 1024
RING = 2
# Share of the pretrained features' variance that the cell position explains, above which the product has a fixed
# layout (one Gaussian per position) and below which its parts move or it is a texture (a memory bank). Measured on
# 40 training images: objects on a fixture 0.83-0.94, parts loose in a tray 0.55, textures 0.19-0.41.
DEEP_ALIGNED_SHARE = 0.7
# Patches the bank is chosen from: the greedy cover costs bank size x candidates, so very large training sets
# (with flips and rotations) are sampled down first.
_CANDIDATES = 60_000
_PCA_SAMPLE = 20_000

_INNER = np.zeros((GRID, GRID), bool)
_INNER[RING:-RING, RING:-RING] = True
# Precision matrices are symmetric: their upper triangles in float16 are a quarter of the float32 matrices (a
# per-cell Gaussian in 64 dimensions at 32x32 cells: 4.2 MB instead of 16.8 MB), with no measurable AUROC cost.
_PACKED = np.triu_indices(DIMS)


@dataclass(frozen=True)
class Deep:
    kind: str  # "gauss" or "knn"
    mean: np.ndarray  # FEATURES
    proj: np.ndarray  # FEATURES x DIMS
    loc_mean: np.ndarray | None = None  # GRID x GRID x DIMS (gauss)
    loc_prec: np.ndarray | None = None  # GRID x GRID x DIMS x DIMS (gauss)
    bank: np.ndarray | None = None  # M x DIMS (knn)
    levelled: bool = False  # cells scored above the image's own level, the level a score of its own (format 5)

    NAME: ClassVar[str] = "deep"
    NEEDS: ClassVar[str] = "emb"

    @property
    def scores(self) -> tuple[str, ...]:
        own = ("deep", "deep_ring") if self.kind == "gauss" else ("deep",)
        return (*own, "deep_level") if self.levelled else own

    def project(self, emb: np.ndarray) -> np.ndarray:
        return ((emb - self.mean) @ self.proj).astype(np.float32)

    def cells(self, emb: np.ndarray) -> np.ndarray:
        """N x GRID x GRID distance of each cell to what good images showed."""
        z = self.project(emb)
        if self.kind == "gauss":
            return cells.gauss_distance(self.loc_mean, self.loc_prec, z)
        d2, _ = cells.nearest(self.bank, z.reshape(-1, DIMS))
        return np.sqrt(d2).reshape(z.shape[:3])

    def score(self, emb: np.ndarray, unseen: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        """The worst inner cell, for "gauss" the worst ring cell, and when levelled the image's level; the cells.
        Cells the camera did not see (`unseen`, N x GRID x GRID) are not judged."""
        cell_maps = self.cells(emb)
        if self.levelled:
            return _levelled(cell_maps, self.kind == "gauss", unseen)
        flat = cell_maps.reshape(len(cell_maps), -1)
        inner = flat[:, _INNER.ravel()].max(1)
        if self.kind == "knn":
            return inner[:, None], cell_maps
        return np.stack([inner, flat[:, ~_INNER.ravel()].max(1)], axis=1), cell_maps

    def arrays(self) -> dict[str, np.ndarray]:
        if self.kind == "gauss":
            packed = np.ascontiguousarray(self.loc_prec[..., _PACKED[0], _PACKED[1]].astype(np.float16))
            return {"mean": self.mean, "proj": self.proj, "loc_mean": self.loc_mean, "loc_prec": packed}
        return {"mean": self.mean, "proj": self.proj, "bank": self.bank}

    def describe(self) -> dict[str, Any]:
        out = {"kind": self.kind, "variant": embed.VARIANT, "taps": list(embed.TAPS), "dims": DIMS}
        return {**out, "levelled": True} if self.levelled else out

    @classmethod
    def load(cls, description: dict[str, Any], arrays: dict[str, np.ndarray]) -> Deep:
        levelled = bool(description.get("levelled", False))
        if description["kind"] == "knn":
            return cls("knn", arrays["mean"], arrays["proj"], bank=arrays["bank"], levelled=levelled)
        packed = arrays["loc_prec"]
        prec = np.zeros((*packed.shape[:-1], DIMS, DIMS), np.float32)
        prec[..., _PACKED[0], _PACKED[1]] = packed
        prec[..., _PACKED[1], _PACKED[0]] = packed
        prec.flags.writeable = False
        return cls("gauss", arrays["mean"], arrays["proj"], arrays["loc_mean"], prec, levelled=levelled)

    @staticmethod
    def shapes(description: dict[str, Any], dim) -> dict[str, tuple[int, ...]]:
        expected = {"kind": description.get("kind"), "variant": embed.VARIANT, "taps": list(embed.TAPS), "dims": DIMS}
        if description.get("levelled") is True:
            expected["levelled"] = True
        if description != expected or description["kind"] not in ("gauss", "knn"):
            msg = f"pretrained branch {description!r}"
            raise ValueError(msg)
        shapes = {"mean": (embed.FEATURES,), "proj": (embed.FEATURES, DIMS)}
        if description["kind"] == "gauss":
            return {**shapes, "loc_mean": (GRID, GRID, DIMS), "loc_prec": (GRID, GRID, len(_PACKED[0]))}
        return {**shapes, "bank": (max(dim("bank", 0), 1), DIMS)}


def _levelled(cell_maps: np.ndarray, ring: bool, unseen: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """Scores of cells above the image's own level: a nuisance of the whole frame (sensor noise, a JPEG setting)
    raises every cell's squared distance by about the same amount, a defect raises a few. Each cell is scored by
    how far its squared distance exceeds the median one of its part of the frame (inner cells, ring), and the
    median of the inner cells is the image's level, a score of its own: a change of the whole frame (a lens far
    out of focus) is still seen there, judged against what changed copies of good images showed. A cell the
    camera did not see counts as typical (a ratio of 1)."""
    d2 = (cell_maps * cell_maps).reshape(len(cell_maps), -1)
    inner = d2[:, _INNER.ravel()]
    level = np.median(inner, axis=1)
    above = np.sqrt(d2 / np.maximum(level, 1e-12)[:, None])
    edge = d2[:, ~_INNER.ravel()]
    ring_above = np.sqrt(edge / np.maximum(np.median(edge, axis=1), 1e-12)[:, None])
    if unseen is not None:
        hidden = unseen.reshape(len(unseen), -1)
        above[hidden] = 1.0
        ring_above[hidden[:, ~_INNER.ravel()]] = 1.0
    scores = [above[:, _INNER.ravel()].max(1)]
    if ring:
        scores.append(ring_above.max(1))
    scores.append(np.sqrt(level))
    return np.stack(scores, axis=1), above.reshape(cell_maps.shape)


def kind_of(emb: np.ndarray) -> str:
    """The cell model from the pretrained features: "gauss" for a fixed layout, "knn" for moving parts, textures."""
    return "gauss" if cells.position_share(cells.standardised(emb)) >= DEEP_ALIGNED_SHARE else "knn"


def _projection(emb: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    flat = emb.reshape(-1, emb.shape[-1])
    mean = flat.mean(0)
    pick = rng.choice(len(flat), size=min(len(flat), _PCA_SAMPLE), replace=False)
    _, _, vt = np.linalg.svd((flat[pick] - mean).astype(np.float64), full_matrices=False)
    return mean.astype(np.float32), np.ascontiguousarray(vt[:DIMS].T, dtype=np.float32)


def fit(emb: np.ndarray, kind: str, rng: np.random.Generator, share: float = 1.0, levelled: bool = True) -> Deep:
    """The branch of `kind` from training embeddings; `share` (below 1 for a fold) scales the bank."""
    mean, proj = _projection(emb, rng)
    z = Deep(kind, mean, proj).project(emb)
    if kind == "gauss":
        return Deep(kind, mean, proj, *cells.fit_gauss(z), levelled=levelled)
    flat = z.reshape(-1, DIMS)
    if len(flat) > _CANDIDATES:
        flat = flat[np.sort(rng.choice(len(flat), size=_CANDIDATES, replace=False))]
    bank = cells.fit_bank(flat, max(int(round(DEEP_BANK * share)), 1), rng)
    return Deep(kind, mean, proj, bank=bank, levelled=levelled)
