"""The working image: every image is checked and resized to one square size before anything looks at it."""

from __future__ import annotations

import hashlib

import cv2
import numpy as np

from ..errors import NorimError

SIZE = 256
CELL = 8
# Cells per side of the grid every branch scores on.
GRID = SIZE // CELL


def to_working(image: object, size: int = SIZE) -> np.ndarray:
    """Check a BGR uint8 image and resize it to size x size (uint8).

    The aspect ratio is not kept: every image of a product comes from the same camera framing.
    """
    image = checked(image)
    if image.shape[0] == size and image.shape[1] == size:
        return np.ascontiguousarray(image)
    shrink = image.shape[0] > size or image.shape[1] > size
    return cv2.resize(image, (size, size), interpolation=cv2.INTER_AREA if shrink else cv2.INTER_LINEAR)


def checked(image: object) -> np.ndarray:
    """`image` when it is a BGR uint8 image of at least 8x8; `NorimError` saying what it is otherwise."""
    if not isinstance(image, np.ndarray):
        msg = f"image must be a numpy array, got {type(image).__name__}"
        raise NorimError(msg)
    if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3 or min(image.shape[:2]) < 8:
        msg = f"image must be uint8 HxWx3 (BGR) of at least 8x8, got {image.dtype} {image.shape}"
        raise NorimError(msg)
    return image


def image_digest(work: np.ndarray) -> np.ndarray:
    """16 bytes (uint8) naming a working image: how a model recognises its own training images."""
    return np.frombuffer(hashlib.blake2b(work.tobytes(), digest_size=16).digest(), np.uint8)
