"""Held-out folds whose held-out images share no material with the images the fold's model is fitted on.

Every branch is normalised by the scores of training images that its model did not see (k-fold). That is only
worth something if a held-out image is as new to the model as tomorrow's images are. Frames cut from one sheet,
one roll or one wall overlap: a held-out frame then finds most of its own pixels among the fitted ones, scores too
low, and the normalisation under-estimates how new material scores (on textures every image came out as unusual).

Two training images are near-duplicates when one holds a shifted copy of the other's content: their phase
correlation has a clear peak (response at least `_PEAK`) away from the origin (more than `_SHIFT` px at working
size). Parts on a fixture peak at the origin, every image alike; that is the product, not shared material, and
such pairs are not counted. Near-duplicates always fall in the same fold; when they chain into one group too large
for that, each fold instead leaves out of its fit every image that is a near-duplicate of one it holds out.
"""

from __future__ import annotations

import cv2
import numpy as np

_SIDE = 128
_PEAK = 0.5
_SHIFT = 8.0
# A fold's model needs enough images to be a model: below this share of the others, the exclusion is not applied.
_MIN_FIT_SHARE = 0.4


def _prepared(work: np.ndarray) -> np.ndarray:
    small = cv2.resize(work, (_SIDE, _SIDE), interpolation=cv2.INTER_AREA)
    grey = cv2.cvtColor(small, cv2.COLOR_BGR2GRAY).astype(np.float32)
    return grey - grey.mean()


def near_duplicates(works: list[np.ndarray]) -> np.ndarray:
    """n x n bool: pairs of working-size images where one holds a shifted copy of the other's content."""
    n = len(works)
    grey = [_prepared(w) for w in works]
    window = cv2.createHanningWindow((_SIDE, _SIDE), cv2.CV_32F)
    scale = works[0].shape[0] / _SIDE if n else 1.0
    dup = np.zeros((n, n), bool)
    for i in range(n):
        for j in range(i + 1, n):
            (dx, dy), response = cv2.phaseCorrelate(grey[i], grey[j], window)
            dup[i, j] = dup[j, i] = response >= _PEAK and np.hypot(dx, dy) * scale > _SHIFT
    return dup


def _groups(dup: np.ndarray) -> list[np.ndarray]:
    """Connected groups of the near-duplicate graph."""
    n = len(dup)
    label = -np.ones(n, int)
    for start in range(n):
        if label[start] >= 0:
            continue
        stack, label[start] = [start], start
        while stack:
            i = stack.pop()
            for j in np.flatnonzero(dup[i] & (label < 0)):
                label[j] = start
                stack.append(j)
    return [np.flatnonzero(label == g) for g in np.unique(label)]


def plain(n: int, k: int, rng: np.random.Generator) -> list[tuple[np.ndarray, np.ndarray]]:
    """(fit indices, held-out indices) for each of `k` folds of a random permutation of `n` images (the weight-free
    model's folds, which ignore near-duplicates); every image is held out exactly once."""
    order = rng.permutation(n)
    held = [np.sort(order[f::k]) for f in range(k)]
    return [(np.setdiff1d(np.arange(n), h), h) for h in held]


def by_material(dup: np.ndarray, k: int, rng: np.random.Generator) -> list[tuple[np.ndarray, np.ndarray]]:
    """(fit indices, held-out indices) for each of `k` folds of the images whose `near_duplicates` are `dup`;
    every image is held out exactly once."""
    n = len(dup)
    groups = _groups(dup)
    if max(len(g) for g in groups) <= n / k:
        # Whole groups into the fold that holds fewest so far, largest groups first, ties broken at random.
        order = sorted(range(len(groups)), key=lambda g: (-len(groups[g]), rng.random()))
        members: list[list[int]] = [[] for _ in range(k)]
        for g in order:
            members[min(range(k), key=lambda f: len(members[f]))].extend(groups[g].tolist())
        held = [np.sort(np.asarray(m, int)) for m in members if m]
        return [(np.setdiff1d(np.arange(n), h), h) for h in held]
    perm = rng.permutation(n)
    out = []
    for f in range(k):
        held = np.sort(perm[f::k])
        fit = np.setdiff1d(np.arange(n), held)
        apart = fit[~dup[np.ix_(fit, held)].any(axis=1)]
        out.append((apart if len(apart) >= _MIN_FIT_SHARE * len(fit) else fit, held))
    return out
