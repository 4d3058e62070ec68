"""Trays of loose real coins: compartments whose coins lie anywhere inside, and the composition faults.

A loose tray is the tray plate's ground (`tray.ground`) divided into compartments by a light rim; each
compartment holds its own group of coins (cut out of the coins photograph as for fixed trays), dropped at
places drawn anew for every tray and turned at random. Nothing is where it was on another good tray, so a
fault is no local change: what tells a good tray from a bad one is how many coins each compartment holds,
how big and how bright they are, and which group lies where: what the model's part-composition branch
must see.

The places are drawn before the layout is consulted (each compartment draws one place more than its group
needs, where an extra coin lands), so a defective tray and its good twin share every place, turn, light
and noise draw. Defect kinds are the fixed tray's (`tray.TRAY_KINDS`): a coin missing, an extra coin in a
compartment, two coins of different compartments swapped, a coin 15-25% larger or smaller, a coin of no
group in a coin's place, a coin 18-28% darker or brighter.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import cv2
import numpy as np

from . import views
from .sources import PRODUCTS, SIZE, Product

_RIM = 3  # px of light rim drawn around each compartment
_GAP = 3.0  # px between two coins' places
_TRIES = 2000


@dataclass(frozen=True)
class Placed:
    """A coin at a place: `place` is (compartment, index), then the coin and its size and brightness."""

    place: tuple[int, int]
    coin: int
    scale: float = 1.0
    gain: float = 1.0


def good_layout(product: Product) -> tuple[Placed, ...]:
    return tuple(Placed((c, j), coin) for c, group in enumerate(product.tray.groups) for j, coin in enumerate(group))


def _place_radius(product: Product, c: int) -> float:
    from .tray import coin_radius

    t = product.tray
    largest = max(coin_radius(product.name, k) for k in (*t.groups[c], *t.spares))
    return largest * t.scale * 1.1 + _GAP / 2


def _places(product: Product, rng: np.random.Generator) -> dict[tuple[int, int], tuple[float, float, float]]:
    """(x, y, turn in degrees) of every place of every compartment; one more place than the group needs."""
    out = {}
    for c, (x0, y0, w, h) in enumerate(product.tray.boxes):
        r = _place_radius(product, c)
        taken: list[tuple[float, float]] = []
        for j in range(len(product.tray.groups[c]) + 1):
            for _ in range(_TRIES):
                x, y = rng.uniform(x0 + r + _RIM, x0 + w - r - _RIM), rng.uniform(y0 + r + _RIM, y0 + h - r - _RIM)
                if all(np.hypot(x - a, y - b) >= 2 * r for a, b in taken):
                    break
            taken.append((x, y))
            out[(c, j)] = (float(x), float(y), float(rng.uniform(0, 360)))
    return out


def plate(product: Product) -> np.ndarray:
    """The empty tray: the ground with a light rim around each compartment, float32."""
    from .tray import ground

    img = ground(product.name).copy()
    rim = np.zeros((SIZE, SIZE), np.float32)
    for x0, y0, w, h in product.tray.boxes:
        cv2.rectangle(rim, (round(x0), round(y0)), (round(x0 + w) - 1, round(y0 + h) - 1), 1.0, _RIM)
    return img + 28 * cv2.GaussianBlur(rim, (0, 0), 0.8)[..., None]


def render(
    product: Product,
    layout: tuple[Placed, ...],
    rng: np.random.Generator,
    jitter: views.Jitter,
    marked: tuple[Placed, ...] = (),
) -> tuple[np.ndarray, np.ndarray]:
    """The tray as uint8 BGR and the uint8 0/255 mask of the `marked` coins (at their places)."""
    from .tray import blend_coin, finish

    places = _places(product, rng)
    frame = plate(product)
    for p in layout:
        blend_coin(frame, None, product, p.coin, places[p.place], p.scale, p.gain)
    cover = np.zeros((SIZE, SIZE), np.float32)
    for p in marked:
        blend_coin(np.zeros((SIZE, SIZE, 3), np.float32), cover, product, p.coin, places[p.place], p.scale, p.gain)
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
        c = int(rng.integers(len(t.groups)))
        new = Placed((c, len(t.groups[c])), t.groups[c][int(rng.integers(len(t.groups[c])))])
        return (*good, new), (new,)
    if kind == "swapped_parts":
        others = [i for i, p in enumerate(good) if p.place[0] != old.place[0]]
        other = others[int(rng.integers(len(others)))]
        a, b = replace(old, coin=good[other].coin), replace(good[other], coin=old.coin)
        good[k], good[other] = a, b
        return tuple(good), (old, a, b, replace(b, coin=a.coin))
    if kind == "resized_part":
        new = replace(old, scale=1 + rng.uniform(0.15, 0.25) * rng.choice([-1.0, 1.0]))
    elif kind == "other_part":
        from .tray import coin_radius

        spare = t.spares[int(rng.integers(len(t.spares)))]
        new = replace(old, coin=spare, scale=coin_radius(product.name, old.coin) / coin_radius(product.name, spare))
    elif kind == "recoloured":
        new = replace(old, gain=1 + rng.uniform(0.18, 0.28) * rng.choice([-1.0, 1.0]))
    else:
        from .tray import TRAY_KINDS

        msg = f"unknown tray defect kind {kind!r}; choose one of {', '.join(TRAY_KINDS)}"
        raise ValueError(msg)
    good[k] = new
    return tuple(good), (old, new)


def is_loose(name: str) -> bool:
    return getattr(PRODUCTS[name].tray, "groups", None) is not None
