"""Painted-in defects: each painter takes a good image and returns the defective image and its mask.

Strengths are drawn relative to the image's own local contrast (the standard deviation of luminance in a
33x33 window around the defect), so a scratch on smooth porcelain and one on gravel are drawn at
comparable visibility; the visibility rule (`visibility.py`) then keeps only what a person can see.
On grey products every defect is painted in grey (a grey camera sees no colour).

The colour/tone shift is local: a soft-edged blob of radius 18-45 px whose colour balance (colour
photographs) or brightness (grey ones) changes by 12-30%.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import cv2
import numpy as np

from .sources import SIZE

TEXTURE_KINDS = (
    "scratch_faint",
    "scratch_strong",
    "spot",
    "stain",
    "cut_paste",
    "blur",
    "tone_shift",
    "inpaint",
    "foreign",
)
OBJECT_KINDS = TEXTURE_KINDS + ("removed_part",)

_MARGIN = 14
# Stain colours (BGR): coffee/oil brown, soot, dried yellowish residue, rust, white limescale.
_STAINS = ((40, 70, 110), (35, 35, 35), (90, 170, 190), (30, 60, 140), (215, 215, 215))


@dataclass
class Canvas:
    """What a painter may use: the good image, its randomness and, for objects, the removable parts."""

    image: np.ndarray  # uint8 BGR, the good image
    rng: np.random.Generator
    grey: bool
    parts: list[tuple[str, np.ndarray]] = field(default_factory=list)
    foreign: list[np.ndarray] = field(default_factory=list)  # other photographs (uint8 BGR)

    def luma(self) -> np.ndarray:
        return cv2.cvtColor(self.image, cv2.COLOR_BGR2GRAY).astype(np.float32)

    def point(self, margin: int = _MARGIN) -> np.ndarray:
        return self.rng.uniform(margin, SIZE - margin, 2)

    def busy_point(self, margin: int, tries: int = 6) -> np.ndarray:
        """Of a few random points, the one with the most detail around it (mean gradient, 17x17).

        Blurring or filling in a flat area changes nothing anyone could see; aiming at detail keeps the
        visibility rule from discarding most of these defects on textures with flat faces (brick).
        """
        y = self.luma()
        grad = np.abs(cv2.Sobel(y, cv2.CV_32F, 1, 0)) + np.abs(cv2.Sobel(y, cv2.CV_32F, 0, 1))
        grad = cv2.blur(grad, (17, 17))
        pts = [self.point(margin) for _ in range(tries)]
        return max(pts, key=lambda p: float(grad[int(p[1]), int(p[0])]))

    def local_spread(self, c: np.ndarray, half: int = 16) -> float:
        """Standard deviation of luminance around `c`, at least 4 grey levels."""
        x, y = int(c[0]), int(c[1])
        win = self.luma()[max(0, y - half) : y + half + 1, max(0, x - half) : x + half + 1]
        return max(4.0, float(win.std()))


def _layer_mask(layer: np.ndarray, level: float) -> np.ndarray:
    return (layer > level).astype(np.uint8) * 255


def _blob(cv: Canvas, c: np.ndarray, radius: float, soft: float) -> np.ndarray:
    """An irregular soft blob: a few overlapping ellipses about `c`, blurred by `soft` px."""
    layer = np.zeros((SIZE, SIZE), np.float32)
    for _ in range(int(cv.rng.integers(3, 7))):
        off = cv.rng.normal(0, 0.35 * radius, 2)
        axes = (max(2, int(radius * cv.rng.uniform(0.5, 1.0))), max(2, int(radius * cv.rng.uniform(0.35, 0.8))))
        cv2.ellipse(
            layer, (int(c[0] + off[0]), int(c[1] + off[1])), axes, float(cv.rng.uniform(0, 180)), 0, 360, 1.0, -1
        )
    return cv2.GaussianBlur(layer, (0, 0), soft) if soft > 0 else layer


def _polygon(cv: Canvas, c: np.ndarray, radius: float) -> np.ndarray:
    """An irregular 5-9 sided polygon about `c`, as a float 0/1 layer."""
    n = int(cv.rng.integers(5, 10))
    ang = np.sort(cv.rng.uniform(0, 2 * np.pi, n))
    rad = cv.rng.uniform(0.55, 1.0, n) * radius
    pts = np.stack([c[0] + rad * np.cos(ang), c[1] + rad * np.sin(ang)], 1)
    layer = np.zeros((SIZE, SIZE), np.float32)
    cv2.fillPoly(layer, [np.round(pts * 16).astype(np.int32)], 1.0, cv2.LINE_AA, shift=4)
    return layer


def _scratch(cv: Canvas, faint: bool) -> tuple[np.ndarray, np.ndarray]:
    rng = cv.rng
    p = cv.point()
    heading = rng.uniform(0, 2 * np.pi)
    length = rng.uniform(30, 110) if faint else rng.uniform(40, 140)
    pts = [p]
    for _ in range(3):
        heading += rng.normal(0, 0.25)
        step = length / 3 * np.array([np.cos(heading), np.sin(heading)])
        pts.append(np.clip(pts[-1] + step, 3, SIZE - 4))
    layer = np.zeros((SIZE, SIZE), np.float32)
    width = 1 if faint else int(rng.integers(2, 4))
    cv2.polylines(layer, [np.round(np.array(pts) * 16).astype(np.int32)], False, 1.0, width, cv2.LINE_AA, shift=4)
    spread = cv.local_spread(p)
    if faint:
        amp = float(np.clip(rng.uniform(0.6, 1.4) * spread, 8, 45)) * rng.choice([-1.0, 1.0])
    else:
        # Deep scratches on most surfaces catch the light: bright more often than dark.
        amp = float(np.clip(rng.uniform(1.5, 3.0) * spread, 35, 130)) * (1.0 if rng.random() < 0.7 else -1.0)
    out = cv.image.astype(np.float32) + amp * layer[..., None]
    return out, _layer_mask(layer, 0.3)


def scratch_faint(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    return _scratch(cv, True)


def scratch_strong(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    return _scratch(cv, False)


def spot(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    c = cv.point()
    layer = np.zeros((SIZE, SIZE), np.float32)
    r = cv.rng.uniform(2.5, 7.0)
    cv2.circle(layer, (int(c[0] * 16), int(c[1] * 16)), int(r * 16), 1.0, -1, cv2.LINE_AA, shift=4)
    layer = cv2.GaussianBlur(layer, (0, 0), 0.8)
    amp = float(np.clip(cv.rng.uniform(1.0, 2.5) * cv.local_spread(c), 20, 110)) * cv.rng.choice([-1.0, 1.0])
    return cv.image.astype(np.float32) + amp * layer[..., None], _layer_mask(layer, 0.3)


def stain(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    c = cv.point(24)
    layer = _blob(cv, c, cv.rng.uniform(10, 28), 2.0) * np.float32(cv.rng.uniform(0.3, 0.65))
    colour = np.array(_STAINS[int(cv.rng.integers(len(_STAINS)))], np.float32)
    img = cv.image.astype(np.float32)
    out = img * (1 - layer[..., None]) + colour * layer[..., None]
    return out, _layer_mask(layer, 0.12)


def cut_paste(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    """A patch of the same image moved elsewhere (turned by a multiple of 90 degrees half the time)."""
    rng = cv.rng
    radius = rng.uniform(12, 30)
    c = cv.point(int(radius) + 4)
    region = _polygon(cv, c, radius)
    half = int(radius) + 2
    img = cv.image.astype(np.float32)
    luma = cv.luma()
    target = float(luma[region > 0.5].mean())
    # Of six candidate sources at least three radii away, the one whose brightness differs most: a patch
    # that matches its new place is a defect nobody could find.
    best, best_gap = None, -1.0
    for _ in range(6):
        s = cv.point(half + 1)
        if np.hypot(*(s - c)) < 3 * radius:
            continue
        sy, sx = int(s[1]), int(s[0])
        gap = abs(float(luma[sy - half : sy + half, sx - half : sx + half].mean()) - target)
        if gap > best_gap:
            best, best_gap = (sx, sy), gap
    if best is None:
        best = (int(SIZE - c[0]), int(SIZE - c[1]))
    sx, sy = np.clip(best, half, SIZE - half - 1)
    patch = img[sy - half : sy + half, sx - half : sx + half]
    patch = np.rot90(patch, int(rng.integers(1, 4))) if rng.random() < 0.5 else patch
    moved = img.copy()
    cy, cx = int(c[1]), int(c[0])
    y0, x0 = cy - half, cx - half
    moved[y0 : y0 + 2 * half, x0 : x0 + 2 * half] = patch
    soft = cv2.GaussianBlur(region, (0, 0), 0.7)[..., None]
    return img * (1 - soft) + moved * soft, _layer_mask(region, 0.5)


def blur(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    c = cv.busy_point(24)
    layer = np.clip(_blob(cv, c, cv.rng.uniform(14, 36), 3.0) * 1.5, 0, 1)
    img = cv.image.astype(np.float32)
    soft = cv2.GaussianBlur(img, (0, 0), cv.rng.uniform(2.0, 5.0))
    return img * (1 - layer[..., None]) + soft * layer[..., None], _layer_mask(layer, 0.5)


def tone_shift(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    c = cv.point(24)
    layer = np.clip(_blob(cv, c, cv.rng.uniform(18, 45), 4.0) * 1.5, 0, 1)
    size = cv.rng.uniform(0.12, 0.30)
    if cv.grey:
        gains = np.full(3, 1 + size * cv.rng.choice([-1.0, 1.0]), np.float32)
    else:
        direction = cv.rng.normal(0, 1, 3)
        gains = (1 + size * direction / np.linalg.norm(direction)).astype(np.float32)
    img = cv.image.astype(np.float32)
    return img * (1 + (gains - 1) * layer[..., None]), _layer_mask(layer, 0.5)


def inpaint(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    """A missing chunk filled in from its border by `cv2.inpaint`: smooth where the material was not."""
    c = cv.busy_point(26)
    mask = _layer_mask(_polygon(cv, c, cv.rng.uniform(8, 24)), 0.5)
    method = cv2.INPAINT_TELEA if cv.rng.random() < 0.5 else cv2.INPAINT_NS
    out = cv2.inpaint(cv.image, cv2.dilate(mask, np.ones((3, 3), np.uint8)), 5, method)
    return out.astype(np.float32), mask


def foreign(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    """A piece of another photograph (scaled 0.5-1.5x, turned at random) lying on the product."""
    rng = cv.rng
    radius = rng.uniform(8, 26)
    c = cv.point(int(radius) + 4)
    src = cv.foreign[int(rng.integers(len(cv.foreign)))]
    scale = rng.uniform(0.5, 1.5)
    h, w = src.shape[:2]
    sx, sy = rng.uniform(0.15 * w, 0.85 * w), rng.uniform(0.15 * h, 0.85 * h)
    m = cv2.getRotationMatrix2D((sx, sy), rng.uniform(0, 360), scale)
    m[:, 2] += (c[0] - sx, c[1] - sy)
    piece = cv2.warpAffine(src, m, (SIZE, SIZE), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT101)
    region = _polygon(cv, c, radius)
    soft = cv2.GaussianBlur(region, (0, 0), 0.7)[..., None]
    img = cv.image.astype(np.float32)
    return img * (1 - soft) + piece.astype(np.float32) * soft, _layer_mask(region, 0.5)


def removed_part(cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    """One of the object's parts painted out with `cv2.inpaint` (a coin gone, the spoon gone, ...)."""
    _, part = cv.parts[int(cv.rng.integers(len(cv.parts)))]
    mask = cv2.dilate(part, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5)))
    out = cv2.inpaint(cv.image, mask, 7, cv2.INPAINT_TELEA)
    return out.astype(np.float32), mask


PAINTERS: dict[str, Callable[[Canvas], tuple[np.ndarray, np.ndarray]]] = {
    "scratch_faint": scratch_faint,
    "scratch_strong": scratch_strong,
    "spot": spot,
    "stain": stain,
    "cut_paste": cut_paste,
    "blur": blur,
    "tone_shift": tone_shift,
    "inpaint": inpaint,
    "foreign": foreign,
    "removed_part": removed_part,
}


def paint(kind: str, cv: Canvas) -> tuple[np.ndarray, np.ndarray]:
    """The defective uint8 BGR image and its uint8 0/255 mask."""
    out, mask = PAINTERS[kind](cv)
    if cv.grey:
        out = np.repeat(cv2.cvtColor(np.clip(out, 0, 255).astype(np.float32), cv2.COLOR_BGR2GRAY)[..., None], 3, 2)
    return np.clip(np.rint(out), 0, 255).astype(np.uint8), mask
