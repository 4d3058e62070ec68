"""What an ordinary production day does to an image: camera JPEG setting, lamp drift, sensor noise, a fixture
re-mounted, a lens a touch out of focus. Each change is a plain function `(image, rng) -> image` on uint8
HxWxC (or HxW) arrays. The changes themselves are stated once, in the runner's training module
(`runner.training.nuisances`: training adds copies changed by them); this module draws them as the bench
applies them, at fixed strengths.

Geometric changes move the whole picture, as a re-mounted fixture or camera does: a shift is a whole number
of pixels along one axis (direction drawn from `rng`), so no resampling blurs it, a rotation turns about the
centre (sign drawn from `rng`); what enters at the edge is the picture mirrored there (the frame cannot show
what lay outside it). `shift4k` is the 4-px shift of the first measurements, which kept the outer
`BORDER_PX` pixels as they were (the picture moves inside a frame that stays: a seam 16 px from the edge).
Noise on a grey image (three equal channels) is one field for all three, as a grey camera gives. Running a
change twice with generators in the same state gives the same result, which is how a defective image, its
good twin and its mask are moved alike.

`CHANGES` are the nuisances a good part must survive; `DEFECTS` are changes that must still be caught
(a strong blur of the whole frame, a real colour shift of a region), with the region's mask.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial

import cv2
import numpy as np

from qorva.inspection.modules.norim.runner.training import nuisances as day

BORDER_PX = 16
_AXES = ((1, 0), (-1, 0), (0, 1), (0, -1))

Change = Callable[[np.ndarray, np.random.Generator], np.ndarray]


def jpeg(image: np.ndarray, rng: np.random.Generator, quality: int) -> np.ndarray:
    """Encoded and decoded as a camera set to `quality` would send it (OpenCV's 4:2:0 encoder)."""
    return day.jpeg(image, quality)


def gain(image: np.ndarray, rng: np.random.Generator, factor: float) -> np.ndarray:
    """Every level times `factor` (a lamp or sensor gain), rounded and clipped."""
    return day.gain(image, factor)


_is_grey = day.is_grey


def noise(image: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    """Gaussian sensor noise of `sigma` levels (one field for all channels of a grey image)."""
    return day.noise(image, rng, sigma)


def _keep_border(moved: np.ndarray, image: np.ndarray) -> np.ndarray:
    out = image.copy()
    b = BORDER_PX
    out[b:-b, b:-b] = moved[b:-b, b:-b]
    return out


def shift(image: np.ndarray, rng: np.random.Generator, px: int, keep_border: bool = False) -> np.ndarray:
    """The picture moved `px` whole pixels along one axis (mirrored in at the edge it leaves), or with
    `keep_border` moved inside an outer border that stays as it was."""
    if not 0 <= px <= BORDER_PX:
        msg = f"shift of {px} px: at most {BORDER_PX}"
        raise ValueError(msg)
    dx, dy, _ = _shift_motion(rng, px)
    if keep_border:
        return _keep_border(np.roll(image, (int(dy), int(dx)), axis=(0, 1)), image)
    return day.moved(image, dx, dy, 0.0)


def _shift_motion(rng: np.random.Generator, px: int) -> tuple[float, float, float]:
    dx, dy = _AXES[int(rng.integers(len(_AXES)))]
    return float(dx * px), float(dy * px), 0.0


def rotate(image: np.ndarray, rng: np.random.Generator, degrees: float) -> np.ndarray:
    """The picture turned by `degrees` either way about the centre (bilinear, mirrored in at the corners)."""
    return day.moved(image, *_turn_motion(rng, degrees))


def _turn_motion(rng: np.random.Generator, degrees: float) -> tuple[float, float, float]:
    return 0.0, 0.0, float(degrees * rng.choice([-1.0, 1.0]))


def motion(name: str, rng: np.random.Generator) -> tuple[float, float, float] | None:
    """(dx, dy, degrees) by which change `name` moves the whole picture, drawn as the change draws it (a generator
    in the same state gives the move the change makes); None for a change that moves nothing or keeps the border.
    The bench renders an object's good image again under that move, so real content enters at the edge."""
    moves = {"shift2": partial(_shift_motion, px=2), "shift4": partial(_shift_motion, px=4),
             "rot0.5": partial(_turn_motion, degrees=0.5), "rot1": partial(_turn_motion, degrees=1.0)}  # fmt: skip
    return moves[name](rng) if name in moves else None


def blur(image: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    """Gaussian blur of `sigma` px (defocus)."""
    return day.blur(image, sigma)


def colour_region(image: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """A real colour shift of a region: a soft-edged disc (radius 40-70 px) whose channel gains change by
    20-30% (a tint on colour images, brighter or darker on grey ones). Returns the image and its mask."""
    h, w = image.shape[:2]
    r = rng.uniform(40, 70)
    c = rng.uniform(BORDER_PX + r * 0.5, (w - BORDER_PX - r * 0.5, h - BORDER_PX - r * 0.5))
    layer = np.zeros((h, w), np.float32)
    cv2.circle(layer, (round(c[0] * 16), round(c[1] * 16)), round(r * 16), 1.0, -1, cv2.LINE_AA, shift=4)
    layer = cv2.GaussianBlur(layer, (0, 0), 4.0)
    size = rng.uniform(0.20, 0.30)
    if _is_grey(image):
        gains = np.full(3, 1 + size * rng.choice([-1.0, 1.0]), np.float32)
    else:
        d = rng.normal(0, 1, 3)
        gains = (1 + size * d / np.linalg.norm(d)).astype(np.float32)
    f = image.astype(np.float32) * (1 + (gains - 1) * layer[..., None])
    return np.clip(np.rint(f), 0, 255).astype(np.uint8), (layer > 0.5).astype(np.uint8) * 255


CHANGES: dict[str, Change] = {
    "none": lambda image, rng: image,
    "jpeg95": partial(jpeg, quality=95),
    "jpeg85": partial(jpeg, quality=85),
    "jpeg75": partial(jpeg, quality=75),
    "gain+10": partial(gain, factor=1.10),
    "gain-10": partial(gain, factor=0.90),
    "noise3": partial(noise, sigma=3.0),
    "shift2": partial(shift, px=2),
    "shift4": partial(shift, px=4),
    "rot0.5": partial(rotate, degrees=0.5),
    "rot1": partial(rotate, degrees=1.0),
    "blur0.7": partial(blur, sigma=0.7),
    "shift4k": partial(shift, px=4, keep_border=True),
}
# Changes that move the picture: a defect's mask moves with it.
GEOMETRIC = frozenset({"shift2", "shift4", "rot0.5", "rot1", "shift4k"})


def strong_blur(image: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, None]:
    """A lens far out of focus (sigma 2 px): the whole frame is the defect (no mask)."""
    return blur(image, rng, 2.0), None


# Changes that are defects, returning the image and the changed region's mask (None: the whole frame);
# recall is reported for them, not false positives.
DEFECTS: dict[str, Callable[[np.ndarray, np.random.Generator], tuple[np.ndarray, np.ndarray | None]]] = {
    "blur2": strong_blur,
    "colour_region": colour_region,
}


def move_mask(name: str, mask: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """A defect's mask after change `name` (drawn from a generator in the state the image's was)."""
    if name not in GEOMETRIC:
        return mask
    return ((CHANGES[name](mask, rng) > 127) * 255).astype(np.uint8)
