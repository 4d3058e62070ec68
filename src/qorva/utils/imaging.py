"""Checks on images handed to inspection modules."""

from __future__ import annotations

from typing import Any

import numpy as np


def validate_image(image: Any) -> np.ndarray:
    """Return `image` if it is a non-empty uint8 BGR image (H x W x 3); raise a clear error otherwise."""
    if not isinstance(image, np.ndarray):
        msg = f"image must be a numpy array (H x W x 3, uint8), got {type(image).__name__}"
        raise TypeError(msg)
    if image.dtype != np.uint8:
        msg = f"image must have dtype uint8, got {image.dtype}"
        raise TypeError(msg)
    if image.ndim != 3 or image.shape[2] != 3:
        msg = f"image must be a 3-channel BGR array of shape (H, W, 3), got shape {image.shape}"
        raise ValueError(msg)
    if image.shape[0] == 0 or image.shape[1] == 0:
        msg = f"image is empty: shape {image.shape}"
        raise ValueError(msg)
    return image
