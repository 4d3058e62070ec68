"""Made-up defects painted on held-out training images, so training can compare models without real defects.

Validation needs to know which combination of branches separates good images from defective ones on this
product; training has only good images. Painting plain, generic changes on held-out good images (a blob brighter
or darker than its surroundings, a thin line, a patch of another training image, a blurred spot, an erased spot,
a colour cast over the whole image, one of the product's own parts removed or repeated elsewhere) gives a
stand-in: the branch that sees these on this product's material is the branch worth keeping. They are
deliberately simple; they only rank models and never set a threshold.
"""

from __future__ import annotations

import cv2
import numpy as np

from ..inputs import components

KINDS = ("blob", "line", "patch", "blur", "erase", "cast", "missing", "extra")
_MARGIN = 20


def _centre(rng: np.random.Generator, size: int) -> tuple[int, int]:
    return int(rng.integers(_MARGIN, size - _MARGIN)), int(rng.integers(_MARGIN, size - _MARGIN))


def _soft_blob(size: int, rng: np.random.Generator, lo: int, hi: int) -> np.ndarray:
    """A float32 0..1 mask of one soft-edged ellipse of radius lo..hi px."""
    mask = np.zeros((size, size), np.float32)
    a, b = int(rng.integers(lo, hi + 1)), int(rng.integers(lo, hi + 1))
    cv2.ellipse(mask, _centre(rng, size), (a, b), float(rng.uniform(0, 180)), 0, 360, 1.0, -1, cv2.LINE_AA)
    return cv2.GaussianBlur(mask, (0, 0), 1.0)[..., None]


def _mix(image: np.ndarray, other: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    out = image.astype(np.float32) * (1.0 - alpha) + other.astype(np.float32) * alpha
    return np.clip(out, 0, 255).astype(np.uint8)


def _contrast(image: np.ndarray, rng: np.random.Generator, lo: float, hi: float) -> np.ndarray:
    """A colour about lo..hi grey levels away from the image's mean, lighter on dark images and darker on light."""
    mean = image.reshape(-1, 3).mean(0)
    sign = -1.0 if mean.mean() > 127 else 1.0
    return np.clip(mean + sign * rng.uniform(lo, hi) + rng.normal(0, 10, 3), 0, 255)


def paint(
    image: np.ndarray, kind: str, rng: np.random.Generator, donor: np.ndarray, palette: np.ndarray | None = None
) -> np.ndarray:
    """`image` (working size, BGR uint8) with one made-up defect of `kind`; `donor` is another good image, `palette`
    the product's colours (for the part defects "missing" and "extra")."""
    size = image.shape[0]
    if kind == "blob":
        colour = np.broadcast_to(_contrast(image, rng, 20, 45), image.shape)
        return _mix(image, colour, _soft_blob(size, rng, 3, 10))
    if kind == "line":
        out = image.copy()
        pts = [_centre(rng, size)]
        for _ in range(int(rng.integers(1, 4))):
            step = rng.normal(0, 25, 2)
            pts.append(tuple(int(np.clip(v, 8, size - 8)) for v in np.add(pts[-1], step)))
        colour = tuple(float(c) for c in _contrast(image, rng, 25, 55))
        cv2.polylines(out, [np.array(pts, np.int32)], False, colour, int(rng.integers(1, 3)), cv2.LINE_AA)
        return out
    if kind == "patch":
        side = int(rng.integers(14, 40))
        y, x = (int(v) for v in rng.integers(0, size - side, 2))
        ty, tx = (int(v) - side // 2 for v in _centre(rng, size))
        out = image.copy()
        out[ty : ty + side, tx : tx + side] = donor[y : y + side, x : x + side]
        return out
    if kind == "blur":
        return _mix(image, cv2.GaussianBlur(image, (0, 0), float(rng.uniform(1.5, 3.0))), _soft_blob(size, rng, 8, 18))
    if kind == "erase":
        fill = np.broadcast_to(image.reshape(-1, 3).mean(0), image.shape)
        return _mix(image, fill, _soft_blob(size, rng, 6, 16))
    if kind == "cast":
        gain = np.ones(3, np.float32)
        gain[int(rng.integers(3))] = float(rng.choice([-1.0, 1.0]) * rng.uniform(0.08, 0.14) + 1.0)
        return np.clip(image.astype(np.float32) * gain, 0, 255).astype(np.uint8)
    if kind in ("missing", "extra"):
        return _part_defect(image, kind, rng, palette)
    msg = f"unknown painted defect {kind!r}; known: {', '.join(KINDS)}"
    raise ValueError(msg)


def _part_defect(image: np.ndarray, kind: str, rng: np.random.Generator, palette: np.ndarray | None) -> np.ndarray:
    """One part of the image (a connected region of one palette colour) removed, or copied to another place."""
    size = image.shape[0]
    if palette is None:
        return image.copy()
    idx, _ = components.assign(components.pixels(image), palette)
    labels = idx.reshape(components.SIZE, components.SIZE)
    scale = size / components.SIZE
    candidates = []
    for k in range(len(palette)):
        n, comp, stats, _ = cv2.connectedComponentsWithStats((labels == k).astype(np.uint8), connectivity=8)
        for c in range(1, n):
            area = stats[c, cv2.CC_STAT_AREA]
            if components.MIN_AREA * 4 <= area <= 0.06 * components.SIZE**2:
                candidates.append((comp == c, stats[c]))
    if not candidates:
        return image.copy()
    small, box = candidates[int(rng.integers(len(candidates)))]
    grown = cv2.resize(small.astype(np.uint8), (size, size), interpolation=cv2.INTER_NEAREST)
    mask = cv2.dilate(grown, np.ones((5, 5), np.uint8))
    if kind == "missing":
        return cv2.inpaint(image, mask, 5, cv2.INPAINT_TELEA)
    x, y, w, h = (int(round(v * scale)) for v in box[:4])
    ty, tx = (int(v) for v in rng.integers(0, size - max(h, w) - 1, 2))
    out = image.copy()
    region = mask[y : y + h, x : x + w].astype(bool)
    out[ty : ty + h, tx : tx + w][region] = image[y : y + h, x : x + w][region]
    return out


def validation_set(
    works: list[np.ndarray], rng: np.random.Generator, palette: np.ndarray | None = None, per_image: int = 4
) -> tuple[list, list, list]:
    """For each image, `per_image` painted copies (kinds taken in turn): the images, the index of the image each
    came from, and the kind painted on it."""
    out, source, labels = [], [], []
    n = len(works)
    for i, work in enumerate(works):
        for j in range(per_image):
            kind = KINDS[(i * per_image + j) % len(KINDS)]
            donor = works[(i + 1 + int(rng.integers(max(n - 1, 1)))) % n] if n > 1 else work
            out.append(paint(work, kind, rng, donor, palette))
            source.append(i)
            labels.append(kind)
    return out, source, labels
