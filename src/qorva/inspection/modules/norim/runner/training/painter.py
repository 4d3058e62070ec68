"""Made-up defects painted on held-out training images, so training can compare models without real defects.

Validation needs to know which combination of branches separates good images from defective ones on this
product; training has only good images. Painting plain, generic changes on held-out good images (a blob brighter
or darker than its surroundings, a thin line, a patch of another training image, a blurred spot, an erased spot,
a colour cast over the whole image, one of the product's own parts removed, repeated elsewhere, swapped with
another, resized or recoloured) gives a
stand-in: the branch that sees these on this product's material is the branch worth keeping. They are
deliberately simple; they only rank models and never set a threshold.
"""

from __future__ import annotations

import cv2
import numpy as np

from ..inputs import components
from .nuisances import is_grey

# Composition faults: they need the product's parts (components of its palette colours).
PART_KINDS = ("missing", "extra", "swap", "scale", "recolour")
KINDS = ("blob", "line", "patch", "blur", "erase", "cast", *PART_KINDS)
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
    image: np.ndarray,
    kind: str,
    rng: np.random.Generator,
    donor: np.ndarray,
    palette: components.Palette | None = None,
) -> np.ndarray | None:
    """`image` (working size, BGR uint8) with one made-up defect of `kind`; `donor` is another good image, `palette`
    the product's colours (for the composition faults `PART_KINDS`, None when the image has no part)."""
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
    if kind in PART_KINDS:
        return _part_defect(image, kind, rng, palette)
    msg = f"unknown painted defect {kind!r}; known: {', '.join(KINDS)}"
    raise ValueError(msg)


# Components that can be a part: at least this many half-size pixels, at most this share of the frame, and a box
# no wider or taller than this share of it (a grain line or the background spans the frame: no part).
_PART_MIN = components.MIN_AREA
_PART_MAX = 0.25
_PART_EXTENT = 0.6
# The parts tried first: neither specks nor a large share of the frame.
_PREFERRED = (components.MIN_AREA * 4, 0.06)
# Places tried for a part moved onto the background, or for background to fill a removed part with.
_TRIES = 30


def _labels(image: np.ndarray, palette: components.Palette) -> np.ndarray:
    idx, _ = components.assign(components.pixels(image), palette.colours)
    return idx.reshape(components.SIZE, components.SIZE)


def _parts(labels: np.ndarray, palette: components.Palette) -> list[np.ndarray]:
    """Masks (uint8 0/1, half size) of the image's parts, preferred sizes first: its whole objects where the product
    has a background (`components.objects`), else the connected regions of each palette colour."""
    if palette.objects:
        regions = [components.objects(labels, palette.background)]
    else:
        regions = [(labels == k).astype(np.uint8) for k in range(len(palette.colours))]
    total = components.SIZE**2
    preferred, others = [], []
    for region in regions:
        n, comp, stats, _ = cv2.connectedComponentsWithStats(region, connectivity=8)
        for c in range(1, n):
            area, w, h = stats[c, cv2.CC_STAT_AREA], stats[c, cv2.CC_STAT_WIDTH], stats[c, cv2.CC_STAT_HEIGHT]
            if area < _PART_MIN or area > _PART_MAX * total or max(w, h) > _PART_EXTENT * components.SIZE:
                continue
            good = _PREFERRED[0] <= area <= _PREFERRED[1] * total
            (preferred if good else others).append((comp == c).astype(np.uint8))
    return preferred or others


def _moved(out: np.ndarray, src: np.ndarray, mask: np.ndarray, m: np.ndarray) -> None:
    """The pixels of `src` under `mask` (uint8 0/1, full size) put where the affine `m` takes them, in place."""
    size = out.shape[0]
    where = cv2.warpAffine(mask.astype(np.float32), m, (size, size), flags=cv2.INTER_LINEAR) > 0.5
    out[where] = cv2.warpAffine(src, m, (size, size), flags=cv2.INTER_LINEAR)[where]


def _centre_of(mask: np.ndarray) -> np.ndarray:
    ys, xs = np.nonzero(mask)
    return np.array([xs.mean(), ys.mean()])


def _free_place(mask: np.ndarray, free: np.ndarray | None, rng: np.random.Generator) -> tuple[int, int]:
    """(dx, dy) that moves `mask` onto the frame, onto `free` pixels (the background) where it can."""
    size = mask.shape[0]
    ys, xs = np.nonzero(mask)
    best, found = -1.0, (0, 0)
    for _ in range(_TRIES if free is not None else 1):
        d = (int(rng.integers(-xs.min(), size - xs.max())), int(rng.integers(-ys.min(), size - ys.max())))
        share = 1.0 if free is None else float(free[ys + d[1], xs + d[0]].mean())
        if share > best:
            best, found = share, d
        if share >= 0.98:
            break
    return found


def _removed(image: np.ndarray, masks: list[np.ndarray], free: np.ndarray | None, rng) -> np.ndarray:
    """`image` without the parts under `masks`: filled with background from elsewhere in the image where it has a
    background (a part simply not there, as on a tray), else painted over (`cv2.inpaint`)."""
    mask = np.maximum.reduce(masks)
    if free is None:
        return cv2.inpaint(image, mask, 5, cv2.INPAINT_TELEA)
    dx, dy = _free_place(mask, free & (mask == 0), rng)
    ground = np.roll(image, (-dy, -dx), axis=(0, 1))
    soft = cv2.GaussianBlur(mask.astype(np.float32), (0, 0), 1.0)[..., None]
    return np.clip(image * (1.0 - soft) + ground * soft + 0.5, 0, 255).astype(np.uint8)


def _part_defect(image: np.ndarray, kind: str, rng: np.random.Generator, palette) -> np.ndarray | None:
    """A composition fault: one part removed, copied elsewhere, swapped with another, resized or recoloured; None
    when the image has no part to change."""
    size = image.shape[0]
    if palette is None:
        return None
    labels = _labels(image, palette)
    parts = _parts(labels, palette)
    if not parts or (kind == "swap" and len(parts) < 2):
        return None
    free = None
    if palette.objects:
        ground = np.isin(labels, palette.background).astype(np.uint8)
        free = cv2.resize(ground, (size, size), interpolation=cv2.INTER_NEAREST) > 0
    pick = rng.choice(len(parts), size=2 if kind == "swap" else 1, replace=False)
    grow = np.ones((5, 5), np.uint8)
    masks = [cv2.dilate(cv2.resize(parts[i], (size, size), interpolation=cv2.INTER_NEAREST), grow) for i in pick]
    mask = masks[0]
    if kind == "recolour":
        # Brighter or darker (another alloy, a grey camera), or a colour of its own on colour images.
        tint = rng.dirichlet((1.0, 1.0, 1.0)) * 3.0 if rng.random() < 0.5 and not is_grey(image) else np.ones(3)
        gains = 1.0 + rng.choice([-1.0, 1.0]) * rng.uniform(0.18, 0.28) * tint
        out = image.astype(np.float32)
        out[mask > 0] *= gains.astype(np.float32)
        return np.clip(out, 0, 255).astype(np.uint8)
    if kind == "extra":
        out = image.copy()
        dx, dy = _free_place(mask, None if free is None else free & (mask == 0), rng)
        _moved(out, image, mask, np.float32([[1, 0, dx], [0, 1, dy]]))
        return out
    out = _removed(image, masks, free, rng)
    if kind == "swap":
        a, b = _centre_of(masks[0]), _centre_of(masks[1])
        for m, d in ((masks[0], b - a), (masks[1], a - b)):
            _moved(out, image, m, np.float32([[1, 0, d[0]], [0, 1, d[1]]]))
    elif kind == "scale":
        factor = rng.uniform(0.75, 0.85) if rng.random() < 0.5 else rng.uniform(1.2, 1.35)
        c = _centre_of(mask)
        _moved(out, image, mask, cv2.getRotationMatrix2D((float(c[0]), float(c[1])), 0.0, factor))
    return out


def validation_set(
    works: list[np.ndarray], rng: np.random.Generator, palette: components.Palette | None = None, per_image: int = 4
) -> tuple[list, list, list]:
    """For each image, `per_image` painted copies (kinds taken in turn): the images, the index of the image each
    came from, and the kind painted on it. A composition fault on an image without parts is left out."""
    out, source, labels = [], [], []
    n = len(works)
    for i, work in enumerate(works):
        for j in range(per_image):
            kind = KINDS[(i * per_image + j) % len(KINDS)]
            donor = works[(i + 1 + int(rng.integers(max(n - 1, 1)))) % n] if n > 1 else work
            painted = paint(work, kind, rng, donor, palette)
            if painted is not None:
                out.append(painted)
                source.append(i)
                labels.append(kind)
    return out, source, labels
