"""The part of the camera's picture a product is judged on.

A product may set a rectangle of the picture (`roi`, x, y, width, height in the camera's pixels) that is cut out
before anything looks at the image, and a mask of regions where anything goes (`ignore`: nonzero pixels, at the
size of the picture or of the rectangle). Ignored pixels of the working image are replaced by what the training
images showed there (their per-pixel median), in training and in scoring alike, so nothing there is ever unusual,
and the anomaly map is zero there. Both are kept in the bundle's description: every version has its own.
"""

from __future__ import annotations

import base64
from dataclasses import dataclass, field
from typing import Any

import cv2
import numpy as np

from ..errors import NorimError
from .working import SIZE, checked, to_working


@dataclass(frozen=True)
class Region:
    image_size: tuple[int, int]  # (width, height) of the pictures the region was set on
    roi: tuple[int, int, int, int] | None = None  # x, y, width, height
    ignore: np.ndarray | None = None  # uint8 0/1 mask as given (picture or rectangle size)
    fill: np.ndarray | None = None  # the training images' median working image, put where anything goes
    # The mask at the sizes asked for so far: made once, not for every image scored.
    _sized: dict[tuple[int, int], np.ndarray] = field(default_factory=dict, compare=False, repr=False)

    @property
    def box(self) -> tuple[int, int, int, int]:
        """The rectangle judged: the roi, or the whole picture."""
        return self.roi if self.roi is not None else (0, 0, *self.image_size)

    def check(self, image: object) -> np.ndarray:
        image = checked(image)
        w, h = self.image_size
        if (image.shape[1], image.shape[0]) != (w, h):
            x, y, rw, rh = self.box
            msg = (
                f"image is {image.shape[1]}x{image.shape[0]} but this product's region ({x},{y},{rw},{rh}) was set "
                f"on {w}x{h} images; retrain with this camera's images"
            )
            raise NorimError(msg)
        return image

    def cut(self, image: object) -> np.ndarray:
        """The working image of the judged rectangle, before ignored pixels are filled."""
        image = self.check(image)
        x, y, w, h = self.box
        return to_working(np.ascontiguousarray(image[y : y + h, x : x + w]) if self.roi is not None else image)

    def working(self, image: object) -> np.ndarray:
        work = self.cut(image)
        ignored = self.ignored()
        if ignored is not None and self.fill is not None:
            work = work.copy()
            work[ignored] = self.fill[ignored]
        return work

    def ignored(self, width: int = SIZE, height: int = SIZE) -> np.ndarray | None:
        """Where anything goes (bool, height x width over the judged rectangle), None with no mask."""
        if self.ignore is None:
            return None
        found = self._sized.get((width, height))
        if found is None:
            mask = self.ignore
            if self.roi is not None and (mask.shape[1], mask.shape[0]) == self.image_size:
                x, y, w, h = self.roi
                mask = mask[y : y + h, x : x + w]
            found = cv2.resize(mask.astype(np.float32), (width, height), interpolation=cv2.INTER_AREA) >= 0.5
            self._sized[(width, height)] = found  # two threads may both make it: the same array
        return found

    def place(self, amap: np.ndarray) -> np.ndarray:
        """The map over the judged rectangle (float32) made a map over the whole picture: zero outside and where
        anything goes."""
        ignored = self.ignored(amap.shape[1], amap.shape[0])
        if ignored is not None:
            amap = np.where(ignored, np.float32(0), amap)
        if self.roi is None:
            return amap
        x, y, w, h = self.roi
        full = np.zeros((self.image_size[1], self.image_size[0]), np.float32)
        full[y : y + h, x : x + w] = amap
        return full

    def describe(self) -> dict[str, Any]:
        out: dict[str, Any] = {"image_size": list(self.image_size), "roi": list(self.roi) if self.roi else None}
        if self.ignore is not None and self.fill is not None:
            out["ignore_png"] = _png(self.ignore * np.uint8(255))
            out["fill_png"] = _png(self.fill)
        return out


def made(images: list[np.ndarray], roi: tuple[int, int, int, int] | None, ignore: np.ndarray | None) -> Region | None:
    """The region training images are cut to (None without roi and mask); `NorimError` when they do not fit it."""
    if roi is None and ignore is None:
        return None
    h, w = checked(images[0]).shape[:2]
    for i, im in enumerate(images):
        checked(im)
        if im.shape[:2] != (h, w):
            msg = (
                f"a region needs every training image the same size: image {i + 1} is "
                f"{im.shape[1]}x{im.shape[0]}, the first {w}x{h}"
            )
            raise NorimError(msg)
    if roi is not None:
        x, y, rw, rh = roi
        if x < 0 or y < 0 or rw < 8 or rh < 8 or x + rw > w or y + rh > h:
            msg = f"roi {x},{y},{rw},{rh} does not fit in the {w}x{h} images (x,y >= 0, width and height >= 8)"
            raise NorimError(msg)
    if ignore is not None:
        ignore = _mask(ignore, (w, h), roi)
    region = Region((w, h), roi, ignore)
    if ignore is None:
        return region
    fill = np.median(np.stack([region.cut(im) for im in images]), axis=0).astype(np.uint8)
    return Region((w, h), roi, ignore, fill)


def _mask(mask: np.ndarray, size: tuple[int, int], roi: tuple[int, int, int, int] | None) -> np.ndarray:
    if mask.ndim == 3:
        mask = mask.max(axis=2)
    shape = (mask.shape[1], mask.shape[0])
    fits = [size] if roi is None else [size, (roi[2], roi[3])]
    if shape not in fits:
        sizes = " or ".join(f"{a}x{b}" for a, b in fits)
        msg = f"the ignore mask is {shape[0]}x{shape[1]}; it must be {sizes} (the images{' or the roi' if roi else ''})"
        raise NorimError(msg)
    out = (mask > 0).astype(np.uint8)
    if out.all():
        msg = "the ignore mask covers everything: nothing would be judged"
        raise NorimError(msg)
    return out


def from_meta(meta: dict[str, Any]) -> Region | None:
    """The region a bundle's description holds (None for a bundle judged on the whole picture)."""
    d = meta.get("region")
    if not d:
        return None
    roi = tuple(int(v) for v in d["roi"]) if d.get("roi") else None
    ignore = fill = None
    if d.get("ignore_png"):
        ignore = (_unpng(d["ignore_png"], cv2.IMREAD_GRAYSCALE) > 0).astype(np.uint8)
        fill = _unpng(d["fill_png"], cv2.IMREAD_COLOR)
    w, h = (int(v) for v in d["image_size"])
    return Region((w, h), roi, ignore, fill)  # type: ignore[arg-type]


def _png(a: np.ndarray) -> str:
    ok, buf = cv2.imencode(".png", a)
    if not ok:
        msg = "cannot encode the region's mask"
        raise NorimError(msg)
    return base64.b64encode(buf.tobytes()).decode("ascii")


def _unpng(text: str, flags: int) -> np.ndarray:
    a = cv2.imdecode(np.frombuffer(base64.b64decode(text), np.uint8), flags)
    if a is None:
        msg = "the bundle's region cannot be read (damaged bundle.json)"
        raise NorimError(msg)
    return a
