"""Fixed-layout trays of real coins: good trays and the composition faults a tray can have.

A tray is a plate with round pockets; each pocket holds one coin cut out of the coins photograph (its
mask from `views.coin_masks`, eroded back to the coin's edge and softened by 0.8 px) or stays empty by
design. The plate is the photograph's own dark ground: the coins of its lower rows painted out with
`cv2.inpaint` and the 208x208 px below the top row scaled to the frame, with each pocket a little darker
inside a light rim. A good tray: every coin in its pocket, each nudged (and turned) a little as parts
settle, then the whole frame placed, lit and given noise as `views.JITTER` says for the pose.

Defect kinds (composition: each is visible by construction, so the visibility rule is not applied;
the mask is the changed coins before and after):

- missing_part: one coin gone (its pocket shows);
- extra_part: a coin of the tray (or a spare) in a pocket that stays empty on good trays;
- swapped_parts: two coins exchange pockets;
- resized_part: one coin 15-25% larger or smaller;
- other_part: one coin replaced by a spare coin of no pocket, scaled to the same diameter;
- recoloured: one coin 18-28% darker or brighter (another alloy, tarnish).
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import lru_cache

import cv2
import numpy as np

from . import views
from .sources import PRODUCTS, SIZE, Product, load_photo

TRAY_KINDS = ("missing_part", "extra_part", "swapped_parts", "resized_part", "other_part", "recoloured")
_RIM_PX = 4.0  # pocket radius beyond the tray's largest coin
_MASK_GROW_PX = 1


@dataclass(frozen=True)
class Placed:
    """A coin in a pocket: which coin, its size relative to the tray's scale, and its brightness."""

    slot: int
    coin: int
    scale: float = 1.0
    gain: float = 1.0


@dataclass(frozen=True)
class _Coin:
    patch: np.ndarray  # float32 BGR, the coin's bounding box with a margin
    alpha: np.ndarray  # float32 0-1, same size
    centre: tuple[float, float]  # in the patch
    radius: float  # photograph pixels


@lru_cache(maxsize=2)
def _coins(name: str) -> tuple[_Coin, ...]:
    photo = load_photo(PRODUCTS[name].photo).astype(np.float32)
    out = []
    for grown in views.coin_masks(load_photo(PRODUCTS[name].photo)):
        # The finder grows each coin by 3 px; take that back so no ground comes along.
        tight = cv2.erode(grown, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (7, 7)))
        ys, xs = np.nonzero(tight)
        y0, y1, x0, x1 = ys.min() - 4, ys.max() + 5, xs.min() - 4, xs.max() + 5
        alpha = cv2.GaussianBlur(tight[y0:y1, x0:x1].astype(np.float32) / 255, (0, 0), 0.8)
        m = cv2.moments(tight[y0:y1, x0:x1], binaryImage=True)
        centre = (m["m10"] / m["m00"], m["m01"] / m["m00"])
        out.append(_Coin(photo[y0:y1, x0:x1], alpha, centre, float(np.sqrt(m["m00"] / np.pi))))
    return tuple(out)


def _pocket_radius(product: Product) -> float:
    t = product.tray
    coins = _coins(product.name)
    return max(coins[c].radius for c in t.coins + t.spares if c is not None) * t.scale + _RIM_PX


@lru_cache(maxsize=4)
def ground(name: str) -> np.ndarray:
    """The tray's bare ground: the photograph's, its coins painted out, scaled to the frame (float32, read-only)."""
    photo = load_photo(PRODUCTS[name].photo)
    coins = np.zeros(photo.shape[:2], np.uint8)
    for m in views.coin_masks(photo):
        coins |= m
    bare = cv2.inpaint(photo, cv2.dilate(coins, np.ones((5, 5), np.uint8)), 9, cv2.INPAINT_TELEA)
    out = cv2.resize(bare[95:303, 0:208], (SIZE, SIZE), interpolation=cv2.INTER_LINEAR).astype(np.float32)
    out.setflags(write=False)
    return out


def coin_radius(name: str, coin: int) -> float:
    """A coin's radius in photograph pixels."""
    return _coins(name)[coin].radius


@lru_cache(maxsize=4)
def plate(name: str) -> np.ndarray:
    """The empty tray: the ground with the pockets."""
    product = PRODUCTS[name]
    img = ground(name)
    r = _pocket_radius(product)
    inside = np.zeros((SIZE, SIZE), np.float32)
    rim = np.zeros((SIZE, SIZE), np.float32)
    for x, y in product.tray.slots:
        c = (round(x * 16), round(y * 16))
        cv2.circle(inside, c, round(r * 16), 1.0, -1, cv2.LINE_AA, shift=4)
        cv2.circle(rim, c, round(r * 16), 1.0, 2, cv2.LINE_AA, shift=4)
    img = img * (1 - 0.25 * cv2.GaussianBlur(inside, (0, 0), 1.0))[..., None] + 28 * rim[..., None]
    out = np.clip(img, 0, 255)
    out.setflags(write=False)
    return out


def good_layout(product: Product) -> tuple[Placed, ...]:
    return tuple(Placed(i, c) for i, c in enumerate(product.tray.coins) if c is not None)


def blend_coin(
    frame: np.ndarray, cover: np.ndarray | None, product: Product, coin: int, at: tuple, scale: float, gain: float
) -> None:
    """Blend `coin` into `frame` (in place) centred at `at` = (x, y, turn in degrees), `scale` times the tray's
    scale and `gain` times as bright; add its footprint to `cover` when given."""
    c = _coins(product.name)[coin]
    x, y, deg = at
    m = cv2.getRotationMatrix2D(c.centre, float(deg), product.tray.scale * scale)
    m[:, 2] += (x - c.centre[0], y - c.centre[1])
    alpha = cv2.warpAffine(c.alpha, m, (SIZE, SIZE), flags=cv2.INTER_LINEAR)
    patch = cv2.warpAffine(c.patch, m, (SIZE, SIZE), flags=cv2.INTER_LINEAR)
    frame *= 1 - alpha[..., None]
    frame += patch * gain * alpha[..., None]
    if cover is not None:
        np.maximum(cover, alpha, out=cover)


def _place(frame: np.ndarray, cover: np.ndarray | None, product: Product, p: Placed, nudge: np.ndarray) -> None:
    x, y = product.tray.slots[p.slot]
    blend_coin(frame, cover, product, p.coin, (x + nudge[0], y + nudge[1], nudge[2]), p.scale, p.gain)


def finish(
    frame: np.ndarray, cover: np.ndarray, product: Product, rng: np.random.Generator, jitter: views.Jitter
) -> tuple[np.ndarray, np.ndarray]:
    """The filled tray placed, lit and given noise as `jitter` says (uint8 BGR), and the mask of `cover`."""
    pose = views.random_pose(rng, jitter)
    c = SIZE / 2.0
    m = cv2.getRotationMatrix2D((c, c), pose.deg, 1.0)
    m[:, 2] += (pose.dx, pose.dy)
    frame = cv2.warpAffine(frame, m, (SIZE, SIZE), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT101)
    cover = cv2.warpAffine(cover, m, (SIZE, SIZE), flags=cv2.INTER_LINEAR)
    grow = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * _MASK_GROW_PX + 1,) * 2)
    mask = cv2.dilate((cover > 0.01).astype(np.uint8) * 255, grow)
    return views.light_and_noise(frame, product, rng, jitter), mask


def render(
    product: Product,
    layout: tuple[Placed, ...],
    rng: np.random.Generator,
    jitter: views.Jitter,
    marked: tuple[Placed, ...] = (),
) -> tuple[np.ndarray, np.ndarray]:
    """The tray as uint8 BGR, and the uint8 0/255 mask of the `marked` coins (placed as they would be).

    The random draws do not depend on the layout, so one stream renders a good tray and its defective twin
    with the same nudges, placement, light and noise.
    """
    j = jitter
    nudges = rng.uniform(-1, 1, (len(product.tray.slots), 3)) * [j.part_shift_px, j.part_shift_px, j.part_turn_deg]
    frame = plate(product.name).copy()
    for p in layout:
        _place(frame, None, product, p, nudges[p.slot])
    cover = np.zeros((SIZE, SIZE), np.float32)
    for p in marked:
        _place(np.zeros((SIZE, SIZE, 3), np.float32), cover, product, p, nudges[p.slot])
    return finish(frame, cover, product, rng, jitter)


def defect_layout(
    product: Product, kind: str, rng: np.random.Generator
) -> tuple[tuple[Placed, ...], tuple[Placed, ...]]:
    """A defective layout of `kind` and the coins to mark (before and after the change)."""
    good = list(good_layout(product))
    t = product.tray
    k = int(rng.integers(len(good)))
    old = good[k]
    if kind == "missing_part":
        return tuple(good[:k] + good[k + 1 :]), (old,)
    if kind == "extra_part":
        empty = [i for i, c in enumerate(t.coins) if c is None]
        pool = [c for c in t.coins if c is not None] + list(t.spares)
        new = Placed(empty[int(rng.integers(len(empty)))], pool[int(rng.integers(len(pool)))])
        return (*good, new), (new,)
    if kind == "swapped_parts":
        other = (k + 1 + int(rng.integers(len(good) - 1))) % len(good)
        a, b = replace(old, coin=good[other].coin), replace(good[other], coin=old.coin)
        good[k], good[other] = a, b
        return tuple(good), (old, a, b, replace(b, coin=a.coin))
    if kind == "resized_part":
        new = replace(old, scale=1 + rng.uniform(0.15, 0.25) * rng.choice([-1.0, 1.0]))
    elif kind == "other_part":
        coins = _coins(product.name)
        spare = t.spares[int(rng.integers(len(t.spares)))]
        new = replace(old, coin=spare, scale=coins[old.coin].radius / coins[spare].radius)
    elif kind == "recoloured":
        new = replace(old, gain=1 + rng.uniform(0.18, 0.28) * rng.choice([-1.0, 1.0]))
    else:
        msg = f"unknown tray defect kind {kind!r}; choose one of {', '.join(TRAY_KINDS)}"
        raise ValueError(msg)
    good[k] = new
    return tuple(good), (old, new)
