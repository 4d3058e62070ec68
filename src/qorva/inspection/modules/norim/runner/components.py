"""Component descriptors for the logical branch: what parts are there, how many, how big, what colour.

A product's colours are learned as a small palette (k-means on good pixels, at training time). Each pixel of
a half-size image takes its nearest palette colour; connected regions of one colour are the image's
components. The descriptor holds, per palette colour, the number of components of a useful size, the area
they cover and the areas of the largest and smallest one, plus the share of pixels that match no palette
colour at all (a part of a colour never seen). Counting, sizing and colouring mistakes move these numbers
even when every local patch looks normal.
"""

from __future__ import annotations

import cv2
import numpy as np

from .features import opponent

SIZE = 128
# Components smaller than this (in half-size pixels) are anti-aliased edges and noise, not parts.
MIN_AREA = 12
_OPEN = np.ones((3, 3), np.uint8)


def pixels(work: np.ndarray) -> np.ndarray:
    """Half-size opponent-colour pixels, (SIZE*SIZE) x 3 float32."""
    small = cv2.resize(work, (SIZE, SIZE), interpolation=cv2.INTER_AREA)
    return opponent(small).reshape(-1, 3)


def assign(px: np.ndarray, palette: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Nearest palette index and squared distance to it for each pixel."""
    d2 = (px * px).sum(1)[:, None] - 2.0 * px @ palette.T + (palette * palette).sum(1)[None, :]
    idx = d2.argmin(1)
    return idx, np.maximum(d2[np.arange(len(px)), idx], 0.0)


def descriptor(work: np.ndarray, palette: np.ndarray, novel_d2: float) -> np.ndarray:
    """Logical descriptor of one working-size image: 4 numbers per palette colour, then the novel share."""
    idx, d2 = assign(pixels(work), palette)
    labels = idx.reshape(SIZE, SIZE)
    total = float(SIZE * SIZE)
    out = []
    for k in range(len(palette)):
        mask = cv2.morphologyEx((labels == k).astype(np.uint8), cv2.MORPH_OPEN, _OPEN)
        n, _, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8)
        areas = stats[1:n, cv2.CC_STAT_AREA]
        big = areas[areas >= MIN_AREA]
        if big.size:
            out += [float(big.size), big.sum() / total, np.sqrt(big.max() / total), np.sqrt(big.min() / total)]
        else:
            out += [0.0, 0.0, 0.0, 0.0]
    out.append(float((d2 > novel_d2).mean()))
    return np.asarray(out, dtype=np.float64)


def is_count(n_features: int) -> np.ndarray:
    """Mask of the count entries in a descriptor of `n_features` values."""
    mask = np.zeros(n_features, bool)
    mask[0 : n_features - 1 : 4] = True
    return mask
