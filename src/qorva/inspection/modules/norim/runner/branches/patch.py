"""The "patch" branch: the fixed filter bank's patch features (`inputs.filters`) against what good cells showed.

It sees colour and fine texture the pretrained features average away. The cells are modelled per position ("gauss",
aligned products) or by a memory bank ("knn", parts that move and textures), see `cells`. In the bank each patch
is also compared with its nearest good patches (a local density correction: sparse but normal patches are not
flagged), and its features are angle-blind (`filters.isotropic`). The image score is the worst cell.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from .. import cells, stats
from ..inputs.filters import FilterView, fit_view
from ..inputs.working import GRID

# Patches in the memory bank of the weight-free model, and beside the pretrained branch: there it scores each image
# in half the time (2 ms instead of 4), which the 20 ms budget of an image needs; on the benches it cost no AUROC.
PATCH_BANK = 2048
PATCH_BANK_BESIDE_DEEP = 1024
# Share of the filter-bank features' variance explained by cell position above which the product counts as
# aligned (per-cell Gaussians); below it parts move and a memory bank is used.
FILTER_ALIGNED_SHARE = 0.5
# The density correction: the distance from a bank patch to its k-th nearest training patch.
DENSITY_K = 3

# Filters see a mirrored image beyond the border, so cells on the border (and more so in a corner) have
# statistics of their own; in the memory bank they are matched only with patches of the same ring, which
# the large weight enforces. Without it the border cells of textures were most of the false alarms.
RING_CLASSES = 4
_RING_WEIGHT = 100.0


def _ring_code() -> np.ndarray:
    idx = np.arange(GRID)
    edge = np.minimum(idx, GRID - 1 - idx)
    ey, ex = np.meshgrid(edge, edge, indexing="ij")
    ring = np.where(
        (ey == 0) & (ex == 0), 0, np.where(np.minimum(ey, ex) == 0, 1, np.where(np.minimum(ey, ex) == 1, 2, 3))
    )
    return (np.eye(RING_CLASSES, dtype=np.float32)[ring] * _RING_WEIGHT).reshape(GRID * GRID, RING_CLASSES)


_RING = _ring_code()


def _queries(whiten: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Whitened patch features with the ring code appended, (N*G*G) x (D + RING_CLASSES) float32."""
    q = (z.reshape(-1, z.shape[-1]) @ whiten).astype(np.float32)
    return np.concatenate([q, np.tile(_RING, (z.shape[0], 1))], axis=1)


@dataclass(frozen=True)
class Patch:
    view: FilterView  # angle-blind for "knn"
    kind: str  # "gauss" or "knn"
    loc_mean: np.ndarray | None = None  # GRID x GRID x D (gauss)
    loc_prec: np.ndarray | None = None  # GRID x GRID x D x D (gauss)
    whiten: np.ndarray | None = None  # D x D (knn)
    bank: np.ndarray | None = None  # M x (D + RING_CLASSES): whitened features and ring code (knn)
    bank_r: np.ndarray | None = None  # M: each bank patch's density radius (knn)

    NAME: ClassVar[str] = "patch"
    NEEDS: ClassVar[str] = "feats"
    scores: ClassVar[tuple[str, ...]] = ("patch",)

    def cells(self, feats: np.ndarray) -> np.ndarray:
        """N x GRID x GRID distance of each cell to what good images showed."""
        z = self.view(feats)
        if self.kind == "gauss":
            return cells.gauss_distance(self.loc_mean, self.loc_prec, z)
        d2, j = cells.nearest(self.bank, _queries(self.whiten, z))
        return np.maximum(np.sqrt(d2) - self.bank_r[j], 0.0).reshape(z.shape[:-1])

    def score(self, feats: np.ndarray, unseen: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        """The worst cell the camera saw, and the cells."""
        cell_maps = self.cells(feats)
        if unseen is not None and unseen.any():
            cell_maps = np.where(unseen, 0.0, cell_maps).astype(cell_maps.dtype)
        return cell_maps.reshape(len(cell_maps), -1).max(1)[:, None], cell_maps

    def arrays(self) -> dict[str, np.ndarray]:
        out = {"feat_mean": self.view.mean, "feat_scale": self.view.scale}
        if self.kind == "gauss":
            return {**out, "loc_mean": self.loc_mean, "loc_prec": self.loc_prec}
        return {**out, "whiten": self.whiten, "bank": self.bank, "bank_r": self.bank_r}

    def describe(self) -> dict[str, Any]:
        return {"kind": self.kind}

    @classmethod
    def load(cls, description: dict[str, Any], arrays: dict[str, np.ndarray]) -> Patch:
        kind = description["kind"]
        view = FilterView(kind == "knn", arrays["feat_mean"], arrays["feat_scale"])
        if kind == "gauss":
            return cls(view, kind, arrays["loc_mean"], arrays["loc_prec"])
        return cls(view, kind, whiten=arrays["whiten"], bank=arrays["bank"], bank_r=arrays["bank_r"])

    @staticmethod
    def shapes(description: dict[str, Any], dim) -> dict[str, tuple[int, ...]]:
        if description != {"kind": description.get("kind")} or description["kind"] not in ("gauss", "knn"):
            msg = f"patch branch {description!r}"
            raise ValueError(msg)
        d = dim("feat_mean", 0)
        if description["kind"] == "gauss":
            return {"feat_mean": (d,), "feat_scale": (d,), "loc_mean": (GRID, GRID, d), "loc_prec": (GRID, GRID, d, d)}
        m = dim("bank", 0)
        return {"feat_mean": (d,), "feat_scale": (d,), "whiten": (d, d), "bank": (m, d + RING_CLASSES), "bank_r": (m,)}


def layout(feats: np.ndarray, structural: str) -> tuple[str, float]:
    """The cell model for these filter-bank features (`structural` unless "auto") and the position share."""
    share = cells.position_share(cells.standardised(feats))
    kind = structural if structural != "auto" else ("gauss" if share >= FILTER_ALIGNED_SHARE else "knn")
    return kind, share


def fit(
    feats: np.ndarray, kind: str, rng: np.random.Generator, share: float = 1.0, bank_size: int = PATCH_BANK
) -> Patch:
    """The branch of `kind` from the training images' filter-bank features; `share` (below 1 for a fold) scales the
    bank and its density radius."""
    view = fit_view(feats, kind == "knn")
    z = view(feats)
    if kind == "gauss":
        return Patch(view, kind, *cells.fit_gauss(z))
    whiten = stats.whitener(stats.ledoit_wolf(z.reshape(-1, z.shape[-1]).astype(np.float64))).astype(np.float32)
    q = _queries(whiten, z)
    bank = cells.fit_bank(q, max(int(round(bank_size * share)), 1), rng)
    return Patch(view, kind, whiten=whiten, bank=bank, bank_r=stats.kth_nearest(bank, q, DENSITY_K * share))
