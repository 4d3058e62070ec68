"""What an ordinary production day does to an image: camera JPEG setting, lamp drift, sensor noise, a fixture
re-mounted, a lens a touch out of focus. Each change is a plain function `(image, rng) -> image` on uint8
HxWxC (or HxW) arrays, so training-time augmentation can use the same functions.

Geometric changes (shift, rotation) move the picture inside the frame but leave the outer `BORDER_PX`
pixels as they were: what enters at the edge is not what is measured. A shift is a whole number of pixels
along one axis (direction drawn from `rng`), so no resampling blurs it; a rotation turns about the centre
(sign drawn from `rng`). Noise on a grey image (three equal channels) is one field for all three, as a
grey camera gives. Running a change twice with generators in the same state gives the same result, which
is how a defective image, its good twin and its mask are moved alike.

`CHANGES` are the nuisances a good part must survive; `DEFECTS` are changes that must still be caught
(a strong blur of the whole frame, a real colour shift of a region), with the region's mask.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial

import cv2
import numpy as np

BORDER_PX = 16
_AXES = ((1, 0), (-1, 0), (0, 1), (0, -1))

Change = Callable[[np.ndarray, np.random.Generator], np.ndarray]


def jpeg(image: np.ndarray, rng: np.random.Generator, quality: int) -> np.ndarray:
    """Encoded and decoded as a camera set to `quality` would send it (OpenCV's 4:2:0 encoder)."""
    ok, buf = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    if not ok:
        msg = "JPEG encoding failed"
        raise ValueError(msg)
    return cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)


def gain(image: np.ndarray, rng: np.random.Generator, factor: float) -> np.ndarray:
    """Every level times `factor` (a lamp or sensor gain), rounded and clipped."""
    return np.clip(np.rint(image.astype(np.float32) * np.float32(factor)), 0, 255).astype(np.uint8)


def _is_grey(image: np.ndarray) -> bool:
    if image.ndim == 2 or image.shape[2] == 1:
        return True
    return bool(np.array_equal(image[..., 0], image[..., 1]) and np.array_equal(image[..., 1], image[..., 2]))


def noise(image: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    """Gaussian sensor noise of `sigma` levels (one field for all channels of a grey image)."""
    f = image.astype(np.float32)
    if _is_grey(image) and image.ndim == 3:
        f += rng.normal(0.0, sigma, image.shape[:2]).astype(np.float32)[..., None]
    else:
        f += rng.normal(0.0, sigma, image.shape).astype(np.float32)
    return np.clip(np.rint(f), 0, 255).astype(np.uint8)


def _keep_border(moved: np.ndarray, image: np.ndarray) -> np.ndarray:
    out = image.copy()
    b = BORDER_PX
    out[b:-b, b:-b] = moved[b:-b, b:-b]
    return out


def shift(image: np.ndarray, rng: np.random.Generator, px: int) -> np.ndarray:
    """The picture moved `px` whole pixels along one axis; the outer border left as it was."""
    if not 0 <= px <= BORDER_PX:
        msg = f"shift of {px} px: at most {BORDER_PX}"
        raise ValueError(msg)
    dx, dy = _AXES[int(rng.integers(len(_AXES)))]
    moved = np.roll(image, (dy * px, dx * px), axis=(0, 1))
    return _keep_border(moved, image)


def rotate(image: np.ndarray, rng: np.random.Generator, degrees: float) -> np.ndarray:
    """The picture turned by `degrees` either way about the centre (bilinear); the outer border left as it was."""
    h, w = image.shape[:2]
    m = cv2.getRotationMatrix2D(((w - 1) / 2, (h - 1) / 2), float(degrees * rng.choice([-1.0, 1.0])), 1.0)
    moved = cv2.warpAffine(image, m, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT101)
    return _keep_border(moved.reshape(image.shape), image)  # OpenCV drops a single channel


def blur(image: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    """Gaussian blur of `sigma` px (defocus)."""
    return cv2.GaussianBlur(image, (0, 0), sigma)


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
}
# Changes that move the picture: a defect's mask moves with it.
GEOMETRIC = frozenset({"shift2", "shift4", "rot0.5", "rot1"})


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
