"""What an ordinary production day does to a good image, and the changed copies training adds of each one.

A line's first week brings a camera's JPEG setting, a lamp or sensor gain that drifts, sensor noise, a fixture
re-mounted by a pixel or two, a part turned by a degree, a lens a touch out of focus. None of these is a defect,
yet each moves every cell's features a little; a model fitted on clean images of one steady fixture reads them as
a change everywhere. Training therefore fits the Gaussians and banks on each image and `COPIES` changed copies of
it (`copies`), so "normal" spans them; the held-out images that normalise the scores and the painted defects that
choose the branches stay clean, so neither threshold nor choice hides a defect behind a nuisance.

Each change is a plain function on uint8 HxWxC arrays; the nuisance bench applies the same functions to test
images (with its own draws and strengths).
"""

from __future__ import annotations

import cv2
import numpy as np

# Changed copies of each training image.
COPIES = 3


def jpeg(image: np.ndarray, quality: int, sampling: int | None = None) -> np.ndarray:
    """Encoded and decoded as a camera set to `quality` would send it; `sampling` one of OpenCV's
    `IMWRITE_JPEG_SAMPLING_FACTOR_*` (None: the encoder's default 4:2:0)."""
    params = [cv2.IMWRITE_JPEG_QUALITY, int(quality)]
    if sampling is not None:
        params += [cv2.IMWRITE_JPEG_SAMPLING_FACTOR, int(sampling)]
    ok, buf = cv2.imencode(".jpg", image, params)
    if not ok:
        msg = "JPEG encoding failed"
        raise ValueError(msg)
    return cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)


def gain(image: np.ndarray, factor: float) -> np.ndarray:
    """Every level times `factor` (a lamp or sensor gain), rounded and clipped."""
    return np.clip(np.rint(image.astype(np.float32) * np.float32(factor)), 0, 255).astype(np.uint8)


def is_grey(image: np.ndarray) -> bool:
    if image.ndim == 2 or image.shape[2] == 1:
        return True
    return bool(np.array_equal(image[..., 0], image[..., 1]) and np.array_equal(image[..., 1], image[..., 2]))


def noise(image: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    """Gaussian sensor noise of `sigma` levels (one field for all channels of a grey image)."""
    f = image.astype(np.float32)
    if image.ndim == 3 and is_grey(image):
        f += rng.normal(0.0, sigma, image.shape[:2]).astype(np.float32)[..., None]
    else:
        f += rng.normal(0.0, sigma, image.shape).astype(np.float32)
    return np.clip(np.rint(f), 0, 255).astype(np.uint8)


def blur(image: np.ndarray, sigma: float) -> np.ndarray:
    """Gaussian blur of `sigma` px (defocus)."""
    return cv2.GaussianBlur(image, (0, 0), sigma)


def moved(image: np.ndarray, dx: float, dy: float, degrees: float) -> np.ndarray:
    """The picture turned by `degrees` about the centre and moved by (dx, dy) px (bilinear, edges mirrored)."""
    h, w = image.shape[:2]
    m = cv2.getRotationMatrix2D(((w - 1) / 2, (h - 1) / 2), float(degrees), 1.0)
    m[:, 2] += (dx, dy)
    out = cv2.warpAffine(image, m, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT101)
    return out.reshape(image.shape)  # OpenCV drops a single channel


_SAMPLINGS = (cv2.IMWRITE_JPEG_SAMPLING_FACTOR_420, cv2.IMWRITE_JPEG_SAMPLING_FACTOR_422,
              cv2.IMWRITE_JPEG_SAMPLING_FACTOR_444)  # fmt: skip


def changed(work: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """One changed copy of a good working image: each change drawn with its own chance and strength, in the order
    a line applies them (placement, light, optics, sensor, encoder)."""
    out = work
    if rng.random() < 0.5:
        out = moved(out, *rng.uniform(-2.0, 2.0, 2), rng.uniform(-1.0, 1.0))
    if rng.random() < 0.5:
        out = gain(out, rng.uniform(0.88, 1.12))
    if rng.random() < 0.3:
        out = blur(out, rng.uniform(0.3, 0.8))
    if rng.random() < 0.5:
        out = noise(out, rng, rng.uniform(1.0, 4.0))
    if rng.random() < 0.6:
        out = jpeg(out, int(rng.integers(70, 96)), _SAMPLINGS[int(rng.integers(len(_SAMPLINGS)))])
    return out


def copies(work: np.ndarray, rng: np.random.Generator, n: int = COPIES) -> list[np.ndarray]:
    """`n` changed copies of a good working image."""
    return [changed(work, rng) for _ in range(n)]
