"""Fixed filter-bank features on the cell grid: what the weight-free patch and global branches see.

Working images are converted to opponent colour channels and filtered with a fixed bank: local means, derivative
energies and band-pass (difference of Gaussians) responses at three scales, and local contrast. Responses
are averaged over `CELL` x `CELL` cells; energies are log-compressed so per-cell statistics are close to
Gaussian. A thin-line response (max over the cell of the fine band-pass) keeps 1-2 px scratches visible
after pooling.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .working import CELL, GRID, SIZE

_EPS = 1e-3


# Opponent colour axes (intensity, red-green, yellow-blue) from BGR in 0..1: a linear map costs a fifth of
# a Lab conversion and separates brightness from colour just as well for the filters below.
_OPPONENT = np.array([[1 / 3, 1 / 3, 1 / 3], [0.0, -0.5, 0.5], [0.5, -0.25, -0.25]], dtype=np.float32) * np.float32(
    1.0 / 255.0
)


def opponent(work: np.ndarray) -> np.ndarray:
    """Float32 opponent colour channels (intensity 0..1, two centred colour axes) of a BGR uint8 image."""
    return cv2.transform(work.astype(np.float32), _OPPONENT)


def _pool(x: np.ndarray) -> np.ndarray:
    return cv2.resize(x, (GRID, GRID), interpolation=cv2.INTER_AREA)


def _logpool(x: np.ndarray) -> np.ndarray:
    return np.log(_pool(x) + _EPS)


def patch_features(work: np.ndarray) -> np.ndarray:
    """GRID x GRID x D float32 features of one working-size image."""
    x = opponent(work)
    L = x[..., 0]
    ab = x[..., 1:]
    feats: list[np.ndarray] = []
    g1 = cv2.GaussianBlur(x, (0, 0), 1.0)
    g2 = cv2.GaussianBlur(x, (0, 0), 2.0)
    # sigma 4 on the half-size image of the sigma-2 blur costs a quarter and is as smooth.
    half = cv2.GaussianBlur(cv2.resize(g2, (SIZE // 2, SIZE // 2), interpolation=cv2.INTER_AREA), (0, 0), 1.7)
    g4 = cv2.resize(half, (SIZE, SIZE), interpolation=cv2.INTER_LINEAR)
    # Local means of every channel place colour and brightness; the cell mean is the plainest layout cue.
    feats.append(_pool(x))
    # Fine band-pass on L catches thin scratches and small spots; max over the cell keeps a 1 px line from
    # being averaged away by the 63 other pixels of its cell.
    dog1 = L - g1[..., 0]
    a1 = np.abs(dog1)
    feats.append(_logpool(a1)[..., None])
    cell_max = cv2.dilate(a1, np.ones((CELL, CELL), np.uint8))[CELL // 2 :: CELL, CELL // 2 :: CELL]
    feats.append(np.log(cell_max + _EPS)[..., None])
    feats.append(_pool(dog1)[..., None])
    # Coarser band-pass responses of all channels: blobs, contamination, colour spots.
    dog2 = g1 - g2
    dog4 = g2 - g4
    feats.append(_logpool(np.abs(dog2)))
    feats.append(_logpool(np.abs(dog4[..., 0])).reshape(GRID, GRID, 1))
    feats.append(_pool(dog4))
    # Oriented derivative energies of L: edges of parts, cracks, direction of texture.
    for g in (g1[..., 0], g2[..., 0]):
        dx = cv2.Sobel(g, cv2.CV_32F, 1, 0, ksize=3)
        dy = cv2.Sobel(g, cv2.CV_32F, 0, 1, ksize=3)
        feats.append(_logpool(dx * dx).reshape(GRID, GRID, 1))
        feats.append(_logpool(dy * dy).reshape(GRID, GRID, 1))
    # Local contrast of the colour channels: a stain is flat in L but not in a/b.
    mab = _pool(ab)
    var_ab = _pool(ab * ab) - mab * mab
    feats.append(0.5 * np.log(np.maximum(var_ab, 0.0) + _EPS * _EPS))
    return np.concatenate([f.reshape(GRID, GRID, -1) for f in feats], axis=2).astype(np.float32, copy=False)


# Columns of log-pooled squared x and y derivatives of L at two scales (see `patch_features`).
_DIRECTIONAL = ((13, 14), (15, 16))


def isotropic(feats: np.ndarray) -> np.ndarray:
    """Features with each x/y derivative-energy pair replaced by their sum: blind to the angle of an edge.

    Parts that lie at any angle put their edges at every angle; a memory bank cannot hold every angle of
    every edge, but it holds every strength of edge.
    """
    keep = [i for i in range(feats.shape[-1]) if all(i not in pair for pair in _DIRECTIONAL)]
    sums = [np.log(np.exp(feats[..., a]) + np.exp(feats[..., b])) for a, b in _DIRECTIONAL]
    return np.concatenate([feats[..., keep], np.stack(sums, axis=-1)], axis=-1).astype(np.float32)


def batch_features(works: list[np.ndarray]) -> np.ndarray:
    """N x GRID x GRID x D features of working-size images."""
    return np.stack([patch_features(w) for w in works])


@dataclass(frozen=True)
class FilterView:
    """How a branch sees the filter-bank features: angle-blind or not (`isotropic`), then standardised."""

    isotropic: bool
    mean: np.ndarray  # D
    scale: np.ndarray  # D

    def __call__(self, feats: np.ndarray) -> np.ndarray:
        """N x GRID x GRID x D float32 standardised features."""
        x = isotropic(feats) if self.isotropic else feats
        return ((x - self.mean) / self.scale).astype(np.float32)


def fit_view(feats: np.ndarray, angle_blind: bool) -> FilterView:
    """The view standardising the features of these images (angle-blind ones where `angle_blind`)."""
    x = isotropic(feats) if angle_blind else feats
    flat = x.reshape(-1, x.shape[-1])
    return FilterView(angle_blind, flat.mean(0).astype(np.float32), (flat.std(0) + 1e-6).astype(np.float32))
