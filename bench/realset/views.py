"""Good images: texture windows and object poses, deterministic per (product, seed, split, index).

Textures: a 256x256 window of the photograph at its own scale (no resampling), from the split's box, under
one of the dihedral transforms the material allows, with a small gain change (+-3%) and sensor noise
(sigma 1-2 grey levels) so that two overlapping windows are never the same pixels.

Objects: the product's crop resized to 256x256 once (area filter), then shifted +-3 px and turned up to 3
degrees about the centre, lit differently (gain 0.88-1.12, offset +-8 levels, a linear fall-off of up to 5%
across the frame, a colour balance of +-2% per channel on colour photographs) and given sensor noise
(sigma 1.5-3). The "steady" pose is one camera on one fixture under one lamp: shift +-0.5 px, turn 0.2
degrees, gain 0.98-1.02, offset +-2, fall-off 1%, balance +-0.5%, noise sigma 0.5-1 (see `JITTER`).
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import cv2
import numpy as np

from .sources import PRODUCTS, SIZE, Piece, Product, is_grey, load_photo

SPLITS = ("train", "teach", "test")
# Teach and test windows come from one box; one stream of positions feeds both so none repeats.
_STREAM = {"train": 1, "teach": 2, "test": 2}


@dataclass(frozen=True)
class Jitter:
    """How much good images of an object vary: placement, lighting and sensor noise (ranges drawn uniformly)."""

    shift_px: float
    turn_deg: float
    gain: tuple[float, float]
    offset: float
    falloff: float
    balance: tuple[float, float]
    noise: tuple[float, float]
    part_shift_px: float  # trays: each part in its slot
    part_turn_deg: float


# "usual": a part placed by hand or on a conveyor under changing light; "steady": a fixture, one lamp.
# Both draw the same random numbers in the same order, so a pose only scales them.
JITTER = {
    "usual": Jitter(3.0, 3.0, (0.88, 1.12), 8.0, 0.05, (0.98, 1.02), (1.5, 3.0), 1.5, 3.0),
    "steady": Jitter(0.5, 0.2, (0.98, 1.02), 2.0, 0.01, (0.995, 1.005), (0.5, 1.0), 0.5, 1.0),
}


def rng_for(product: str, seed: int, *tags: int) -> np.random.Generator:
    """The random stream of one draw; products, seeds and tags never share a stream."""
    return np.random.default_rng([list(PRODUCTS).index(product) + 1, seed, *tags])


# ---------------------------------------------------------------- textures


def _dihedral(flips: str) -> list[tuple[int, bool]]:
    """(quarter turns, mirror) pairs allowed by `flips`: "h"/"v" flips, "r" 90-degree turns."""
    if "r" in flips:
        return [(k, m) for k in range(4) for m in (False, True)]
    out = [(0, False)]
    if "h" in flips:
        out.append((0, True))
    if "v" in flips:
        out.append((2, True))  # a vertical flip is a horizontal one turned by 180 degrees
    if "h" in flips and "v" in flips:
        out.append((2, False))
    return out


def _transform(img: np.ndarray, turns: int, mirror: bool) -> np.ndarray:
    out = img[:, ::-1] if mirror else img
    return np.ascontiguousarray(np.rot90(out, turns))


@dataclass(frozen=True)
class Window:
    """Where a texture window was cut: top-left in the photograph and the transform applied."""

    x: int
    y: int
    turns: int
    mirror: bool


def window_grid(product: Product, split: str) -> tuple[int, int, int]:
    """(positions along x, positions along y, transforms) of a split's box."""
    _, _, w, h = product.train_box if split == "train" else product.test_box
    return w - SIZE + 1, h - SIZE + 1, len(_dihedral(product.flips))


def plan_windows(product: Product, seed: int, split: str, n: int) -> list[Window]:
    """`n` distinct windows of the split (positions and transforms drawn without replacement).

    Teach and test share a box and a stream: teach takes the even draws, test the odd ones, so neither
    depends on how many the other takes.
    """
    nx, ny, nt = window_grid(product, split)
    total = nx * ny * nt
    step, first = (1, 0) if split == "train" else (2, SPLITS.index(split) - 1)
    if first + step * n > total:
        msg = f"{product.name}: {n} {split} windows asked of a box that holds {total // step}"
        raise ValueError(msg)
    rng = rng_for(product.name, seed, 100 + _STREAM[split])
    # A permutation of a grid of up to 10^5 cells is cheap; a bigger box draws with rejection of repeats.
    need = first + step * n
    if total <= 200_000:
        cells = rng.permutation(total)[first:need:step]
    else:
        seen: dict[int, None] = {}
        while len(seen) < need:
            seen.setdefault(int(rng.integers(total)), None)
        cells = np.fromiter(seen, np.int64)[first:need:step]
    bx, by = (product.train_box if split == "train" else product.test_box)[:2]
    transforms = _dihedral(product.flips)
    out = []
    for c in cells:
        t, rest = divmod(int(c), nx * ny)
        y, x = divmod(rest, nx)
        out.append(Window(bx + x, by + y, *transforms[t]))
    return out


def random_window(product: Product, rng: np.random.Generator, split: str = "test") -> Window:
    """One window of the split drawn with replacement (the base of a defective image)."""
    nx, ny, _ = window_grid(product, split)
    bx, by = (product.train_box if split == "train" else product.test_box)[:2]
    transforms = _dihedral(product.flips)
    t = transforms[int(rng.integers(len(transforms)))]
    return Window(bx + int(rng.integers(nx)), by + int(rng.integers(ny)), *t)


def render_window(product: Product, win: Window, rng: np.random.Generator) -> np.ndarray:
    """The window as a good uint8 BGR image."""
    photo = load_photo(product.photo)
    crop = _transform(photo[win.y : win.y + SIZE, win.x : win.x + SIZE], win.turns, win.mirror).astype(np.float32)
    crop *= np.float32(rng.uniform(0.97, 1.03))
    return _finish(crop, rng, product, float(rng.uniform(1.0, 2.0)))


def window_overlap(windows: list[Window], others: list[Window] | None = None) -> float:
    """Mean shared area (share of a window) over pairs of windows, ignoring their transforms."""
    a = np.array([(w.x, w.y) for w in windows], np.float64)
    b = a if others is None else np.array([(w.x, w.y) for w in others], np.float64)
    ov = np.clip(SIZE - np.abs(a[:, None, :] - b[None, :, :]), 0, None).prod(-1) / SIZE**2
    if others is None:
        ov = ov[~np.eye(len(a), dtype=bool)]
    return float(ov.mean()) if ov.size else 0.0


# ---------------------------------------------------------------- objects


@lru_cache(maxsize=16)
def _object_base(name: str) -> np.ndarray:
    """The crop resized to the frame once: an area filter before the sub-pixel pose warp avoids aliasing."""
    product = PRODUCTS[name]
    x, y, w, h = product.crop
    photo = load_photo(product.photo)
    # A margin of 8% keeps real pixels (not reflections) under the frame edge when the pose shifts and turns.
    mx, my = int(0.08 * w), int(0.08 * h)
    x0, y0 = max(0, x - mx), max(0, y - my)
    x1, y1 = min(photo.shape[1], x + w + mx), min(photo.shape[0], y + h + my)
    sx, sy = SIZE / w, SIZE / h
    base = cv2.resize(photo[y0:y1, x0:x1], (round((x1 - x0) * sx), round((y1 - y0) * sy)), interpolation=cv2.INTER_AREA)
    base.setflags(write=False)
    return base


def _base_origin(product: Product) -> tuple[float, float, float, float]:
    """(x, y) of the frame's top-left inside the base, and the photo-to-frame scales."""
    x, y, w, h = product.crop
    mx, my = int(0.08 * w), int(0.08 * h)
    x0, y0 = max(0, x - mx), max(0, y - my)
    sx, sy = SIZE / w, SIZE / h
    return (x - x0) * sx, (y - y0) * sy, sx, sy


@dataclass(frozen=True)
class Pose:
    """An object's placement: shift in pixels and turn in degrees about the frame centre."""

    dx: float
    dy: float
    deg: float


def random_pose(rng: np.random.Generator, jitter: Jitter = JITTER["usual"]) -> Pose:
    j = jitter
    return Pose(*rng.uniform(-j.shift_px, j.shift_px, 2), rng.uniform(-j.turn_deg, j.turn_deg))


def _pose_matrix(product: Product, pose: Pose) -> np.ndarray:
    ox, oy, _, _ = _base_origin(product)
    c = SIZE / 2.0
    m = cv2.getRotationMatrix2D((c, c), pose.deg, 1.0)
    m[:, 2] += (pose.dx, pose.dy)
    # Base pixel (u, v) sits at frame pixel (u - ox, v - oy) before the pose.
    shift = np.array([[1, 0, -ox], [0, 1, -oy], [0, 0, 1]], np.float64)
    return m @ shift


def render_object(
    product: Product, pose: Pose, rng: np.random.Generator, jitter: Jitter = JITTER["usual"]
) -> np.ndarray:
    """The object under `pose`, with new lighting and noise from `rng`, as uint8 BGR."""
    base = _object_base(product.name)
    img = cv2.warpAffine(
        base, _pose_matrix(product, pose), (SIZE, SIZE), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT101
    )
    return light_and_noise(img, product, rng, jitter)


def light_and_noise(img: np.ndarray, product: Product, rng: np.random.Generator, jitter: Jitter) -> np.ndarray:
    """A placed frame lit (gain, offset, fall-off, colour balance) and given sensor noise, as uint8 BGR."""
    j = jitter
    gain = rng.uniform(*j.gain)
    offset = rng.uniform(-j.offset, j.offset)
    a, b = rng.uniform(-j.falloff, j.falloff, 2)
    ramp = np.linspace(-1, 1, SIZE, dtype=np.float32)
    light = 1 + a * ramp[None, :] + b * ramp[:, None]
    img = img.astype(np.float32) * (gain * light)[..., None] + offset
    if not is_grey(product):
        img *= rng.uniform(*j.balance, 3).astype(np.float32)
    return _finish(img, rng, product, float(rng.uniform(*j.noise)))


def part_masks(product: Product, pose: Pose) -> list[tuple[str, np.ndarray]]:
    """Each removable part as (name, uint8 0/255 mask) in the frame under `pose`; parts of one name merge."""
    ox, oy, sx, sy = _base_origin(product)
    x, y, _, _ = product.crop
    m = _pose_matrix(product, pose)
    merged: dict[str, np.ndarray] = {}
    for name, photo_mask in _photo_parts(product.name):
        # Photo pixel -> base pixel is a scale about the crop's corner; then the pose matrix.
        to_base = np.array([[sx, 0, ox - x * sx], [0, sy, oy - y * sy], [0, 0, 1]], np.float64)
        full = m @ to_base
        frame = cv2.warpAffine(photo_mask, full, (SIZE, SIZE), flags=cv2.INTER_LINEAR)
        frame = (frame > 127).astype(np.uint8) * 255
        if frame.any():
            merged[name] = np.maximum(merged[name], frame) if name in merged else frame
    return list(merged.items())


@lru_cache(maxsize=16)
def _photo_parts(name: str) -> tuple[tuple[str, np.ndarray], ...]:
    product = PRODUCTS[name]
    photo = load_photo(product.photo)
    out = []
    for part in product.parts:
        if part.shape == "coins":
            out.extend((f"{part.name} {i + 1}", m) for i, m in enumerate(coin_masks(photo)))
        else:
            out.append((part.name, _draw_part(part, photo.shape[:2])))
    return tuple(out)


def _draw_part(part: Piece, shape: tuple[int, int]) -> np.ndarray:
    mask = np.zeros(shape, np.uint8)
    a = part.args
    if part.shape == "circle":
        cv2.circle(mask, (int(a[0]), int(a[1])), int(a[2]), 255, -1)
    elif part.shape == "ellipse":
        cv2.ellipse(mask, (int(a[0]), int(a[1])), (int(a[2]), int(a[3])), a[4], 0, 360, 255, -1)
    elif part.shape == "line":
        cv2.line(mask, (int(a[0]), int(a[1])), (int(a[2]), int(a[3])), 255, int(a[4]))
    else:
        msg = f"unknown part shape {part.shape!r}"
        raise ValueError(msg)
    return mask


def coin_masks(photo: np.ndarray) -> list[np.ndarray]:
    """One mask per coin: the coins are brighter than the ground; holes in the relief are filled."""
    grey = cv2.GaussianBlur(cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY), (0, 0), 2)
    _, fg = cv2.threshold(grey, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    fg = cv2.morphologyEx(fg, cv2.MORPH_OPEN, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5)))
    contours, _ = cv2.findContours(fg, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    masks = []
    for c in contours:
        # Coins are 40-70 px across in the 384x303 photograph; smaller blobs are glints on the ground.
        _, _, w, h = cv2.boundingRect(c)
        # The bright frame at the photograph's top edge is one long blob, not a coin.
        if cv2.contourArea(c) < 600 or w > 1.6 * h or h > 1.6 * w:
            continue
        m = np.zeros(photo.shape[:2], np.uint8)
        cv2.drawContours(m, [c], -1, 255, -1)
        masks.append(cv2.dilate(m, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (7, 7))))
    masks.sort(key=lambda m: tuple(np.argwhere(m)[0]))
    return masks


# ---------------------------------------------------------------- shared


def _finish(img: np.ndarray, rng: np.random.Generator, product: Product, sigma: float) -> np.ndarray:
    noise = rng.normal(0.0, sigma, img.shape[:2]).astype(np.float32)
    if is_grey(product):
        # A grey camera: one noise field for the three replicated channels keeps the image grey.
        img = img + noise[..., None]
    else:
        img = img + rng.normal(0.0, sigma, img.shape).astype(np.float32)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def check_pose(product: Product, pose: str) -> Jitter:
    """The jitter of `pose`; textures have no pose (their windows are cut at random places)."""
    if pose not in JITTER:
        msg = f"unknown pose {pose!r}; choose one of {', '.join(JITTER)}"
        raise ValueError(msg)
    if product.family == "texture" and pose != "usual":
        msg = f"{product.name} is a texture: it has no {pose!r} pose"
        raise ValueError(msg)
    return JITTER[pose]
