"""The product's parts as the logical branch sees them: a colour palette, and per image what parts are there, how
many, how big, what colour, where.

A product's colours are learned as a small palette (k-means on good pixels, at training time). Each pixel of
a half-size image takes its nearest palette colour; connected regions of one colour are the image's
components. The descriptor holds, per palette colour, the number of components of a useful size, the area
they cover and the areas of the largest and smallest one, plus the share of pixels that match no palette
colour at all (a part of a colour never seen), and where each colour's parts lie (their area-weighted
centre). Counting, sizing and colouring mistakes move these numbers even when every local patch looks
normal; the centres catch two parts that swapped places or colours, which leaves every count and area as
it was. On products whose parts move, the centres vary from image to image and the branch learns to
ignore them.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .. import stats
from .filters import opponent

SIZE = 128
# Components smaller than this (in half-size pixels) are anti-aliased edges and noise, not parts.
MIN_AREA = 12
_OPEN = np.ones((3, 3), np.uint8)
# Entries per palette colour: count, covered area, largest and smallest area, centre x and y.
PER_COLOUR = 6


@dataclass(frozen=True)
class Palette:
    """The product's colours (opponent units) and the squared distance beyond which a pixel has a colour never seen;
    `background` the colours of the ground that parts lie on, against which whole objects are found (empty: the
    descriptor has no object entries, as in bundles before format 5)."""

    colours: np.ndarray  # K x 3 float32
    novel_d2: float
    background: tuple[int, ...] = ()

    @property
    def objects(self) -> bool:
        return bool(self.background)


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
    """Logical descriptor of one working-size image: `PER_COLOUR` numbers per palette colour, then the novel share."""
    idx, d2 = assign(pixels(work), palette)
    return _colour_entries(idx.reshape(SIZE, SIZE), d2, len(palette), novel_d2)


def _colour_entries(labels: np.ndarray, d2: np.ndarray, colours: int, novel_d2: float) -> np.ndarray:
    total = float(SIZE * SIZE)
    out = []
    for k in range(colours):
        mask = cv2.morphologyEx((labels == k).astype(np.uint8), cv2.MORPH_OPEN, _OPEN)
        n, _, stats, centroids = cv2.connectedComponentsWithStats(mask, connectivity=8)
        areas = stats[1:n, cv2.CC_STAT_AREA]
        keep = areas >= MIN_AREA
        big = areas[keep]
        if big.size:
            centre = (centroids[1:n][keep] * big[:, None]).sum(0) / big.sum() / SIZE
            out += [float(big.size), big.sum() / total, np.sqrt(big.max() / total), np.sqrt(big.min() / total)]
            out += [float(centre[0]), float(centre[1])]
        else:
            # A colour with no part has no centre; the middle keeps the entry finite and near typical values.
            out += [0.0, 0.0, 0.0, 0.0, 0.5, 0.5]
    out.append(float((d2 > novel_d2).mean()))
    return np.asarray(out, dtype=np.float64)


# Objects: whole parts against the background, whatever colours they are made of (a coin's relief spans several
# palette colours). The largest `OBJECTS` are described by size and brightness; the frame's quadrants by the area
# and number of objects in each, which is where parts that swapped compartments show.
OBJECTS = 6
_QUADRANTS = 4
OBJECT_ENTRIES = 1 + 2 * _QUADRANTS + 2 * OBJECTS
_CLOSE = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5))


def objects(labels: np.ndarray, background: tuple[int, ...]) -> np.ndarray:
    """uint8 0/1: what is not background, a part's gaps of another colour closed (half size)."""
    fg = cv2.morphologyEx((~np.isin(labels, background)).astype(np.uint8), cv2.MORPH_CLOSE, _CLOSE)
    return cv2.morphologyEx(fg, cv2.MORPH_OPEN, _OPEN)


def object_entries(work: np.ndarray, labels: np.ndarray, background: tuple[int, ...]) -> list[float]:
    """Count, area share and count per quadrant, then the largest objects' sizes and their brightness (0..1)."""
    fg = objects(labels, background)
    n, comp, stats, centroids = cv2.connectedComponentsWithStats(fg, connectivity=8)
    keep = np.flatnonzero(stats[1:, cv2.CC_STAT_AREA] >= MIN_AREA * 4) + 1
    half = SIZE // 2
    out = [float(len(keep))]
    for qy in (0, 1):
        for qx in (0, 1):
            out.append(float(fg[qy * half : (qy + 1) * half, qx * half : (qx + 1) * half].mean()))
            cx, cy = centroids[keep, 0] // half, centroids[keep, 1] // half
            out.append(float(((cx == qx) & (cy == qy)).sum()))
    grey = cv2.cvtColor(cv2.resize(work, (SIZE, SIZE), interpolation=cv2.INTER_AREA), cv2.COLOR_BGR2GRAY)
    largest = keep[np.argsort(-stats[keep, cv2.CC_STAT_AREA], kind="stable")][:OBJECTS]
    sizes = [float(np.sqrt(stats[k, cv2.CC_STAT_AREA] / SIZE**2)) for k in largest]
    bright = [float(grey[comp == k].mean() / 255.0) for k in largest]
    # An object that is not there has no size; its brightness is the others' (a missing part shows in the count
    # and the sizes, not again as a dark one).
    missing = OBJECTS - len(largest)
    return out + sizes + [0.0] * missing + bright + [float(np.mean(bright)) if bright else 0.0] * missing


def descriptors(works: list[np.ndarray], palette: Palette) -> np.ndarray:
    """N x F descriptors of working-size images."""
    rows = []
    for w in works:
        idx, d2 = assign(pixels(w), palette.colours)
        labels = idx.reshape(SIZE, SIZE)
        row = _colour_entries(labels, d2, len(palette.colours), palette.novel_d2)
        if palette.objects:
            row = np.concatenate([row, object_entries(w, labels, palette.background)])
        rows.append(row)
    return np.stack(rows)


def entry_floor(n_features: int, objects: bool = False) -> np.ndarray:
    """Smallest spread each entry of a descriptor of `n_features` values is given, in its own units.

    A count is off by whole parts, so good images agreeing on it says little below a third of a part. A
    centre moves with the fixture's pixel or two of play and with shading at part edges; 0.02 of the image
    is about 2.5 px, far below the distance between two parts. A brightness of 0.02 is 5 grey levels.
    """
    floor = np.full(n_features, 3e-3)
    colours = n_features - (OBJECT_ENTRIES if objects else 0)
    floor[0 : colours - 1 : PER_COLOUR] = 0.3
    floor[4 : colours - 1 : PER_COLOUR] = 0.03
    floor[5 : colours - 1 : PER_COLOUR] = 0.03
    if objects:
        first = colours
        floor[first] = 0.3
        floor[first + 2 : first + 1 + 2 * _QUADRANTS : 2] = 0.3
        floor[first + 1 + 2 * _QUADRANTS + OBJECTS :] = 0.02
    return floor


_PALETTE = 10
_PALETTE_SAMPLE = 30000


def fit_palette(works: list[np.ndarray], rng: np.random.Generator) -> Palette:
    """The colours of good images: k-means on a sample of their pixels, colours split by shading merged again."""
    px = np.concatenate([pixels(w) for w in works]).astype(np.float64)
    sample = px[rng.choice(len(px), size=min(len(px), _PALETTE_SAMPLE), replace=False)]
    colours = _merge_close(_kmeans(sample, _PALETTE, rng), sample)
    _, d2 = assign(sample.astype(np.float32), colours)
    # Mixed pixels on part edges are the largest distances a good image has; a colour well beyond them is new.
    return Palette(colours, float(np.quantile(d2, 0.999)) * 2.0 + 1e-4, _ground(works, colours, rng))


# A colour is the ground parts lie on when its largest connected region spans at least this share of the frame
# (typically: a part is smaller) and it covers at least `_GROUND_SHARE` of it, in the median training image.
_GROUND_EXTENT = 0.5
_GROUND_SHARE = 0.05
_GROUND_SAMPLE = 10


def _ground(works: list[np.ndarray], colours: np.ndarray, rng: np.random.Generator) -> tuple[int, ...]:
    """The palette colours of the ground, or () when the ground is every colour or none (no objects to find)."""
    pick = rng.choice(len(works), size=min(len(works), _GROUND_SAMPLE), replace=False)
    extent = np.zeros((len(pick), len(colours)))
    share = np.zeros((len(pick), len(colours)))
    for row, i in enumerate(pick):
        labels = assign(pixels(works[i]), colours)[0].reshape(SIZE, SIZE)
        for k in range(len(colours)):
            n, _, stats, _ = cv2.connectedComponentsWithStats((labels == k).astype(np.uint8), connectivity=8)
            if n > 1:
                extent[row, k] = stats[1:, cv2.CC_STAT_WIDTH : cv2.CC_STAT_HEIGHT + 1].max() / SIZE
                share[row, k] = stats[1:, cv2.CC_STAT_AREA].sum() / SIZE**2
    ground = np.flatnonzero((np.median(extent, 0) >= _GROUND_EXTENT) & (np.median(share, 0) >= _GROUND_SHARE))
    return tuple(int(k) for k in ground) if 0 < len(ground) < len(colours) else ()


def _kmeans(x: np.ndarray, k: int, rng: np.random.Generator, iters: int = 20) -> np.ndarray:
    """k-means++ then Lloyd iterations; centres sorted so the palette is independent of the draw order."""
    centres = [x[rng.integers(len(x))]]
    d2 = stats.sq_dists(x, np.asarray(centres)).min(1)
    for _ in range(1, k):
        p = d2 / d2.sum() if d2.sum() > 0 else None
        centres.append(x[rng.choice(len(x), p=p)])
        d2 = np.minimum(d2, stats.sq_dists(x, centres[-1][None]).ravel())
    c = np.asarray(centres, np.float64)
    for _ in range(iters):
        lab = stats.sq_dists(x, c).argmin(1)
        for j in range(k):
            members = x[lab == j]
            if len(members):
                c[j] = members.mean(0)
    order = np.lexsort(c.T[::-1])
    return c[order].astype(np.float32)


# Palette colours closer than this (opponent units; 0.06 is about 15 grey levels) are one colour split by
# shading or noise; left apart they cut one part or the background into fragments that count differently.
_MERGE = 0.06


def _merge_close(palette: np.ndarray, sample: np.ndarray) -> np.ndarray:
    """Merge the closest pair of colours while it is closer than `_MERGE`, weighting by pixel share."""
    centres = [c.astype(np.float64) for c in palette]
    labels = stats.sq_dists(sample, np.asarray(centres)).argmin(1)
    weights = [float((labels == k).sum()) + 1.0 for k in range(len(centres))]
    while len(centres) > 1:
        c = np.asarray(centres)
        d = np.sqrt(stats.sq_dists(c, c)) + np.eye(len(c)) * 1e9
        i, j = np.unravel_index(d.argmin(), d.shape)
        if d[i, j] >= _MERGE:
            break
        w = weights[i] + weights[j]
        centres[i] = (centres[i] * weights[i] + centres[j] * weights[j]) / w
        weights[i] = w
        del centres[j], weights[j]
    out = np.asarray(centres, np.float32)
    return out[np.lexsort(out.T[::-1])]
