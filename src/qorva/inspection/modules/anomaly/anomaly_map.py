"""Rendering of anomaly maps over the inspected image."""

from __future__ import annotations

import cv2
import numpy as np

from qorva.utils.imaging import validate_image

_ALPHA = 0.45
_OUTLINE_BGR = (0, 0, 255)


def render_overlay(image: np.ndarray, amap: np.ndarray, viz_thr: float) -> np.ndarray:
    """The image with the regions where the map is at or above `viz_thr` coloured and outlined.

    The map is resized to the image; the colour follows the map's value (JET, scaled from
    `viz_thr` to the map's maximum) and is blended over the hot regions only, so the part
    stays recognisable; each hot region gets a red outline. Returns a new uint8 BGR image
    of the image's size.
    """
    validate_image(image)
    amap = np.asarray(amap, dtype=np.float32)
    if amap.ndim == 3 and amap.shape[2] == 1:
        amap = amap[:, :, 0]
    if amap.ndim != 2 or amap.size == 0:
        msg = f"anomaly map must be a non-empty 2-D array, got shape {amap.shape}"
        raise ValueError(msg)
    h, w = image.shape[:2]
    amap = np.nan_to_num(amap, nan=0.0, posinf=0.0, neginf=0.0)
    if amap.shape != (h, w):
        amap = cv2.resize(amap, (w, h), interpolation=cv2.INTER_LINEAR)
    hot = amap >= np.float32(viz_thr)
    out = image.copy()
    if not hot.any():
        return out
    top = float(amap.max())
    span = max(top - float(viz_thr), 1e-12)
    scaled = np.clip((amap - np.float32(viz_thr)) / np.float32(span), 0.0, 1.0)
    colour = cv2.applyColorMap((scaled * 255.0).astype(np.uint8), cv2.COLORMAP_JET)
    blended = cv2.addWeighted(image, 1.0 - _ALPHA, colour, _ALPHA, 0.0)
    out[hot] = blended[hot]
    contours, _ = cv2.findContours(hot.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    thickness = max(1, round(min(h, w) / 256))
    cv2.drawContours(out, contours, -1, _OUTLINE_BGR, thickness)
    return out
