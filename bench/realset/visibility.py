"""The visibility rule: keep a painted defect only if a person could see it.

A person finds a defect by comparing a region with what lies around it. So the rule measures, for the
defect's mask M and a ring R around it (6 px wide, 1 px away from M so a soft edge does not count twice),
five contrasts between M and R: mean luminance, mean of two colour-opponent channels (R-G and (R+G)/2-B),
luminance spread (std) and mean gradient magnitude (Sobel, in grey levels per pixel). A defect's change is
the difference of these contrasts between the defective and the good image.

What counts as unusual depends on the material: the same contrasts vary across good material too
(a dark stone beside a light one in gravel, a rim beside a face on a coin). Their spread over good
material is measured where the defect lies:

- stochastic textures (gravel, grass): the same mask and ring placed at 48 random places of the same good
  window;
- regular textures (brick): the same mask and ring at the 24 places of the good window that look most like
  the defect's own place (normalised cross-correlation peaks), i.e. the same phase of the pattern: a person
  judges a broken mortar line against other mortar lines, not against brick faces;
- objects (fixed layout): the same mask and ring at the same place on 12 other good images of the object
  (other poses, lighting and noise draws).

visibility z = max over the five contrasts of |change| / max(spread, floor), with floors of 3 grey levels
for means and 2 for spread and gradient (below that a change is lost in sensor noise). A defect is kept when
z >= 3: its contrast is as far from good material as 3 standard deviations, which a good placement reaches
by chance about once in a hundred. A cut-and-paste patch with the same statistics as its new place, or a
blur of a smooth area, changes nothing a person could see and is dropped. The pictures that
`sheet.write_sheet` makes show, per kind, the least visible defect kept and the most visible ones dropped.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .sources import SIZE

THRESHOLD = 3.0
STATS = ("luminance", "red-green", "yellow-blue", "spread", "gradient")
_FLOORS = np.array([3.0, 3.0, 3.0, 2.0, 2.0])
_RING_PX = 6
_GAP_PX = 1
TEXTURE_PLACEMENTS = 48
REGULAR_PLACES = 24
OBJECT_REFERENCES = 12


@dataclass(frozen=True)
class Visibility:
    """The rule's verdict on one defect."""

    z: float
    stat: str  # the contrast that decided
    change: tuple[float, ...]  # the five changes, grey levels

    @property
    def visible(self) -> bool:
        return self.z >= THRESHOLD


def planes(image: np.ndarray) -> np.ndarray:
    """4 x H x W float32: luminance, the two opponent colours, gradient magnitude of luminance."""
    f = image.astype(np.float32)
    b, g, r = f[..., 0], f[..., 1], f[..., 2]
    y = 0.114 * b + 0.587 * g + 0.299 * r
    gx = cv2.Sobel(y, cv2.CV_32F, 1, 0, ksize=3) / 8
    gy = cv2.Sobel(y, cv2.CV_32F, 0, 1, ksize=3) / 8
    return np.stack([y, r - g, (r + g) / 2 - b, np.sqrt(gx * gx + gy * gy)])


@dataclass(frozen=True)
class _Region:
    """The mask and its ring inside their common bounding box."""

    y: int
    x: int
    inner: np.ndarray  # bool, bbox-sized
    ring: np.ndarray


def _region(mask: np.ndarray) -> _Region:
    m = mask > 0
    outer = cv2.dilate(
        m.astype(np.uint8), cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * (_RING_PX + _GAP_PX) + 1,) * 2)
    )
    near = cv2.dilate(m.astype(np.uint8), cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * _GAP_PX + 1,) * 2))
    ys, xs = np.nonzero(outer)
    y0, y1, x0, x1 = ys.min(), ys.max() + 1, xs.min(), xs.max() + 1
    ring = (outer > 0) & (near == 0)
    return _Region(int(y0), int(x0), m[y0:y1, x0:x1], ring[y0:y1, x0:x1])


def _contrasts(pl: np.ndarray, reg: _Region, y: int, x: int) -> np.ndarray:
    h, w = reg.inner.shape
    win = pl[:, y : y + h, x : x + w]
    mi, ri = win[:, reg.inner], win[:, reg.ring]
    return np.array(
        [
            mi[0].mean() - ri[0].mean(),
            mi[1].mean() - ri[1].mean(),
            mi[2].mean() - ri[2].mean(),
            mi[0].std() - ri[0].std(),
            mi[3].mean() - ri[3].mean(),
        ]
    )


def _same_phase(luma: np.ndarray, reg: _Region, count: int) -> list[tuple[int, int]]:
    """Top-left corners of the `count` places that best match the region's own place (greedy peaks)."""
    h, w = reg.inner.shape
    score = cv2.matchTemplate(luma, luma[reg.y : reg.y + h, reg.x : reg.x + w], cv2.TM_CCOEFF_NORMED)
    # The defect's own place and its immediate neighbours match trivially.
    score[max(0, reg.y - h // 2) : reg.y + h // 2 + 1, max(0, reg.x - w // 2) : reg.x + w // 2 + 1] = -2
    out = []
    order = np.argsort(score, axis=None)[::-1]
    taken = np.zeros(score.shape, bool)
    for flat in order:
        y, x = divmod(int(flat), score.shape[1])
        if taken[y, x]:
            continue
        out.append((y, x))
        if len(out) == count:
            break
        # Neighbouring pixels of one peak are one place seen twice.
        taken[max(0, y - 3) : y + 4, max(0, x - 3) : x + 4] = True
    return out


def judge(
    defective: np.ndarray,
    good: np.ndarray,
    mask: np.ndarray,
    rng: np.random.Generator,
    references: list[np.ndarray] | None = None,
    regular: bool = False,
) -> Visibility:
    """The rule for one defect: `references` (planes of other good images) for objects, None for textures."""
    if not (mask > 0).any():
        return Visibility(0.0, STATS[0], (0.0,) * len(STATS))
    reg = _region(mask)
    good_pl = planes(good)
    change = _contrasts(planes(defective), reg, reg.y, reg.x) - _contrasts(good_pl, reg, reg.y, reg.x)
    h, w = reg.inner.shape
    if references is None and regular:
        places = _same_phase(good_pl[0], reg, REGULAR_PLACES)
        samples = np.array([_contrasts(good_pl, reg, y, x) for y, x in places])
    elif references is None:
        ys = rng.integers(0, SIZE - h + 1, TEXTURE_PLACEMENTS)
        xs = rng.integers(0, SIZE - w + 1, TEXTURE_PLACEMENTS)
        samples = np.array([_contrasts(good_pl, reg, int(y), int(x)) for y, x in zip(ys, xs, strict=True)])
    else:
        samples = np.array([_contrasts(pl, reg, reg.y, reg.x) for pl in references])
    # Median absolute deviation, not std: on a regular texture most placements land on brick faces and a few
    # on mortar, and those few would otherwise set the spread of a face.
    mad = 1.4826 * np.median(np.abs(samples - np.median(samples, 0)), 0)
    spread = np.maximum(mad, _FLOORS)
    z = np.abs(change) / spread
    k = int(np.argmax(z))
    return Visibility(float(z[k]), STATS[k], tuple(float(v) for v in change))
