"""Each working image put where, and lit as, the product's reference before any branch looks at it.

On a line a fixture re-mounted by two pixels, a part turned by a degree or a lamp 10% dimmer changes every cell of
the image a little, and a model fitted on one steady fixture reads that as a defect everywhere. Two corrections
undo what they can before the features are computed:

- registration (fixed layouts only): the translation and small rotation that best match the image to the product's
  reference (the mean of its registered training images), estimated on a `SIDE` px grey copy: phase correlation
  for the translation, refined with a Euclidean ECC fit (correlation, so insensitive to the light). Both weigh
  the whole frame, so a local defect barely moves them. The image is warped back; the offset is reported, and an
  offset beyond what training saw (`limit`) is its own finding;
- photometric normalisation: the image's brightness levels mapped onto the reference's by the gain and offset that
  best match their quantiles (the same for the three channels, so a colour cast is kept), bounded to what a lamp or
  a sensor gain does in a production day (`GAIN`, `OFFSET`): a lamp far darker still reads as a change.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from typing import Any

import cv2
import numpy as np

from .working import GRID, SIZE

SIDE = 64
# What the photometric correction may undo: a lamp or sensor gain of +-20%, an offset of +-20 levels.
GAIN = 1.2
OFFSET = 20.0
_QUANTILES = np.linspace(0.05, 0.95, 19)
# A cell of which more than this share was not seen by the camera (filled in after registration) is not judged.
UNSEEN = 0.25
# Levels this close to 0 or 255 may be clipped.
_CLIPPED = 4
# Offsets reported as beyond training when larger than this many times the largest training offset, plus a margin
# (working px, degrees) that absorbs the estimate's own noise.
_LIMIT_MARGIN = (1.5, 1.0, 0.5)


def _grey(work: np.ndarray) -> np.ndarray:
    grey = cv2.cvtColor(work, cv2.COLOR_BGR2GRAY)
    return cv2.resize(grey, (SIDE, SIDE), interpolation=cv2.INTER_AREA).astype(np.float32)


def levels(work: np.ndarray) -> np.ndarray:
    """The brightness quantiles of a working image (the photometric normalisation's view of it)."""
    grey = cv2.cvtColor(work, cv2.COLOR_BGR2GRAY)
    cum = np.cumsum(cv2.calcHist([grey], [0], None, [256], [0, 256]).ravel())
    return np.searchsorted(cum, _QUANTILES * cum[-1]).astype(np.float64)


def light(work: np.ndarray, reference_levels: np.ndarray) -> np.ndarray:
    """`work` with the gain and offset that map its levels onto `reference_levels` (bounded) applied. Levels at
    either end of the range (clipped by the sensor in one image or the other) say nothing of the gain: left out."""
    own = levels(work)
    use = (np.minimum(own, reference_levels) > _CLIPPED) & (np.maximum(own, reference_levels) < 255 - _CLIPPED)
    gain, offset = 1.0, 0.0
    if use.sum() >= 3:
        x, y = own[use], reference_levels[use]
        var = float(((x - x.mean()) ** 2).sum())
        gain = float(((x - x.mean()) * (y - y.mean())).sum() / var) if var > 1e-6 else 1.0
        gain = float(np.clip(gain, 1 / GAIN, GAIN))
        offset = float(np.clip(y.mean() - gain * x.mean(), -OFFSET, OFFSET))
    if abs(gain - 1.0) < 1e-3 and abs(offset) < 0.25:
        return work
    table = np.clip(np.arange(256) * gain + offset + 0.5, 0, 255).astype(np.uint8)
    return cv2.LUT(work, table)


@dataclass(frozen=True)
class Template:
    """A registration reference prepared once: standardised, with its steepest-descent images."""

    grey: np.ndarray  # SIDE x SIDE float32 as given
    std: np.ndarray  # SIDE^2 float32, standardised
    sd: np.ndarray  # SIDE^2 x 3 float32: d(brightness)/d(turn, dx, dy)
    window: np.ndarray

    @classmethod
    def of(cls, reference: np.ndarray) -> Template:
        ref = _standard(reference)
        gy, gx = np.gradient(ref)
        c = (SIDE - 1) / 2
        y, x = np.mgrid[0:SIDE, 0:SIDE].astype(np.float32) - c
        sd = np.stack([gy * x - gx * y, gx, gy], axis=-1).reshape(-1, 3).astype(np.float32)
        return cls(reference, ref.ravel(), sd, cv2.createHanningWindow((SIDE, SIDE), cv2.CV_32F))


def _affine(p: np.ndarray) -> np.ndarray:
    """2x3 warp (reference -> image coordinates) of a turn by p[0] radians about the centre and a move by p[1:]."""
    c = (SIDE - 1) / 2
    cos, sin = np.cos(p[0]), np.sin(p[0])
    return np.array([[cos, -sin, c - cos * c + sin * c + p[1]], [sin, cos, c - sin * c - cos * c + p[2]]], np.float32)


def _standard(x: np.ndarray) -> np.ndarray:
    return ((x - x.mean()) / (x.std() + 1e-6)).astype(np.float32)


def estimate(grey: np.ndarray, template: Template, steps: int = 8) -> np.ndarray:
    """2x3 warp taking reference coordinates to the image's (`SIDE` px): phase correlation for the translation,
    then Gauss-Newton steps on the standardised brightness (inverse compositional, residuals Huber-weighted so a
    local defect weighs little)."""
    (dx, dy), _ = cv2.phaseCorrelate(template.grey, grey, template.window)
    p = np.array([0.0, dx, dy])
    sd = template.sd
    flags = cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP
    for _ in range(steps):
        seen = cv2.warpAffine(grey, _affine(p), (SIDE, SIDE), flags=flags, borderMode=cv2.BORDER_REPLICATE)
        err = _standard(seen).ravel() - template.std
        size = np.abs(err)
        # Huber weights, the scale from the mean absolute residual (a median costs more than the whole step).
        w = np.minimum(1.0, (1.345 * 1.2533 * float(size.mean()) + 1e-6) / (size + 1e-12)).astype(np.float32)
        wsd = sd * w[:, None]
        try:
            dp = np.linalg.solve((sd.T @ wsd).astype(np.float64), (wsd.T @ err).astype(np.float64))
        except np.linalg.LinAlgError:
            break  # a flat reference: nothing to fit beyond the translation
        p -= dp
        if np.abs(dp[1:]).max() < 0.01 and abs(dp[0]) < 1e-4:
            break
    return _affine(p)


def _working_warp(warp: np.ndarray, size: int) -> np.ndarray:
    out = warp.astype(np.float64).copy()
    out[:, 2] *= size / SIDE
    # Pixel centres: the SIDE px copy's (0, 0) is the working image's ((size / SIDE - 1) / 2, ...).
    half = (size / SIDE - 1) / 2
    out[:, 2] += half - out[:, :2] @ np.array([half, half])
    return out


def offset_of(warp: np.ndarray, size: int) -> np.ndarray:
    """(dx, dy, degrees): where the working image's centre moved and how far it turned."""
    m = _working_warp(warp, size)
    c = np.array([(size - 1) / 2, (size - 1) / 2])
    moved = m[:, :2] @ c + m[:, 2] - c
    # Counter-clockwise as seen on the screen (y down), as OpenCV counts angles.
    return np.array([moved[0], moved[1], -np.degrees(np.arctan2(m[1, 0], m[0, 0]))])


def register(
    work: np.ndarray, template: Template, mean: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """`work` warped onto the reference, its offset (dx, dy in working px, degrees), and its cells the camera did
    not see (GRID x GRID bool). What it did not see in the reference's frame (a strip along the edge the picture
    moved away from) is taken from `mean`, the registered training images' mean: what is normally there; the cells
    mostly made of it are not judged (`UNSEEN`)."""
    size = work.shape[0]
    warp = estimate(_grey(work), template)
    m = _working_warp(warp, size)
    flags = cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP
    out = cv2.warpAffine(work, m, (size, size), flags=flags, borderMode=cv2.BORDER_REPLICATE)
    seen = cv2.warpAffine(_ONES[size], m, (size, size), flags=flags, borderMode=cv2.BORDER_CONSTANT)
    unseen = np.zeros((GRID, GRID), bool)
    if seen.min() < 255:
        if mean is not None:
            a = seen.astype(np.float32)[..., None] * np.float32(1 / 255)
            out = (out * a + mean * (1 - a) + 0.5).astype(np.uint8)
        unseen = cv2.resize(seen, (GRID, GRID), interpolation=cv2.INTER_AREA) < 255 * (1 - UNSEEN)
    return out, offset_of(warp, size), unseen


class _Ones(dict):
    def __missing__(self, size: int) -> np.ndarray:
        self[size] = np.full((size, size), 255, np.uint8)
        return self[size]


_ONES = _Ones()


@dataclass(frozen=True)
class Alignment:
    """What the model does to a working image before its features: registration and the light's level."""

    reference: np.ndarray | None  # SIDE x SIDE float32 grey reference (registration), or None
    levels: np.ndarray | None  # the reference's brightness quantiles (photometric normalisation), or None
    limit: np.ndarray  # |dx|, |dy| (working px) and |degrees| beyond which an offset is out of range
    mean: np.ndarray | None = None  # working-size uint8 mean of the registered training images (registration)

    def apply(self, works: list[np.ndarray]) -> tuple[list[np.ndarray], np.ndarray, np.ndarray]:
        """The aligned working images, each one's offset (N x 3: dx, dy, degrees; zeros without registration) and
        its cells the camera did not see (N x GRID x GRID bool)."""
        out, offsets, unseen = [], np.zeros((len(works), 3)), np.zeros((len(works), GRID, GRID), bool)
        for i, w in enumerate(works):
            if self.levels is not None:
                w = light(w, self.levels)
            if self.reference is not None:
                w, offsets[i], unseen[i] = register(w, self.template, self.mean)
            out.append(w)
        return out, offsets, unseen

    @cached_property
    def template(self) -> Template:
        return Template.of(self.reference)

    def beyond(self, offsets: np.ndarray) -> np.ndarray:
        """Per image: whether its offset is larger than training's."""
        return (np.abs(offsets) > self.limit).any(axis=1)

    def arrays(self) -> dict[str, np.ndarray]:
        out = {"limit": self.limit}
        if self.reference is not None:
            out["reference"] = self.reference
            out["mean"] = self.mean
        if self.levels is not None:
            out["levels"] = self.levels
        return out

    def describe(self) -> dict[str, Any]:
        return {"register": self.reference is not None, "light": self.levels is not None}

    @classmethod
    def load(cls, description: dict[str, Any], arrays: dict[str, np.ndarray]) -> Alignment:
        return cls(arrays.get("reference"), arrays.get("levels"), arrays["limit"], arrays.get("mean"))

    @staticmethod
    def shapes(description: dict[str, Any], dim) -> dict[str, tuple[int, ...]]:
        if set(description) != {"register", "light"} or not all(isinstance(v, bool) for v in description.values()):
            msg = f"alignment {description!r}"
            raise ValueError(msg)
        out = {"limit": (3,)}
        if description["register"]:
            out["reference"] = (SIDE, SIDE)
            out["mean"] = (SIZE, SIZE, 3)
        if description["light"]:
            out["levels"] = (len(_QUANTILES),)
        return out


def fit(works: list[np.ndarray], register_them: bool, normalise_light: bool = True) -> tuple[Alignment, np.ndarray]:
    """The alignment learnt from good working images, and their offsets (N x 3)."""
    lit = works
    ref_levels = None
    if normalise_light:
        ref_levels = np.median(np.stack([levels(w) for w in works]), axis=0)
        lit = [light(w, ref_levels) for w in works]
    offsets = np.zeros((len(works), 3))
    reference = None
    if register_them:
        greys = [_grey(w) for w in lit]
        reference = np.median(np.stack(greys), axis=0).astype(np.float32)
        flags = cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP
        # The median image, then twice the mean of the images registered onto the last reference.
        for _ in range(2):
            template = Template.of(reference)
            warps = [estimate(g, template) for g in greys]
            offsets = np.stack([offset_of(m, works[0].shape[0]) for m in warps])
            aligned = [cv2.warpAffine(g, m, (SIDE, SIDE), flags=flags, borderMode=cv2.BORDER_REPLICATE)
                       for g, m in zip(greys, warps, strict=True)]  # fmt: skip
            reference = np.mean(np.stack(aligned), axis=0).astype(np.float32)
    factor, px, deg = _LIMIT_MARGIN
    seen = np.abs(offsets).max(axis=0) if len(offsets) else np.zeros(3)
    limit = np.array([seen[0] * factor + px, seen[1] * factor + px, seen[2] * factor + deg])
    mean = None
    if reference is not None:
        template = Template.of(reference)
        registered = [register(w, template, None)[0] for w in lit]  # fmt: skip
        mean = (np.mean(np.stack(registered), axis=0) + 0.5).astype(np.uint8)
    return Alignment(reference, ref_levels, limit, mean), offsets
