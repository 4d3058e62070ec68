"""Built-in synthetic products: good images, defective images and ground-truth masks, deterministic per seed.

Used by `qorva demo`, the tests and the benchmarks, so the whole chain can be tried without a camera.

Products (`PRODUCTS[name].kinds` lists the defect kinds that make sense for each):

- "assembly": a circuit board with a fixed layout of parts (chip with pins, resistor, capacitor, round
  part, connector, two small caps), aligned to a pixel; every defect kind.
- "texture": a woven-looking random-phase texture (same spectrum, new phases every image), nothing at a
  fixed place; the structural kinds plus "wrong_colour" (another material tint) and "wrong_size" (a coarser
  weave).
- "tray": loose parts in a tray, four washers and three pins at random places and angles; the structural
  kinds plus "missing", "extra", "swapped" (a washer where a pin should be), "wrong_colour", "wrong_size".

Defect kinds: structural (local, with a pixel mask) "scratch", "subtle_scratch" (1-2 px, low contrast),
"spot", "crack", "contamination", "missing_chunk"; logical (composition) "missing", "extra", "swapped",
"wrong_colour", "wrong_size". Masks mark the defective pixels; a defect of the whole image (another
texture tint or weave) has an all-ones mask.

API:

- `good_images(product, n, seed, size=256) -> list[np.ndarray]`: `n` good BGR uint8 size x size images.
- `defect_images(product, n, seed, kinds=None, size=256) -> list[(image, mask, kind)]`: `n` images of each
  kind (all kinds of the product when `kinds` is None), kind by kind; `mask` is uint8 0/255 of size x size.
- `good_image(product, seed, index=0, size=256)`, `defect_image(product, kind, seed, index=0, size=256)`:
  one image (and mask).
The same arguments always give the same pixels; good and defective images of one seed never share a base.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import cv2
import numpy as np

STRUCTURAL_KINDS = ("scratch", "subtle_scratch", "spot", "crack", "contamination", "missing_chunk")
LOGICAL_KINDS = ("missing", "extra", "swapped", "wrong_colour", "wrong_size")
KINDS = STRUCTURAL_KINDS + LOGICAL_KINDS


@dataclass(frozen=True)
class ProductInfo:
    """One built-in product: what it looks like and which defect kinds it has."""

    name: str
    description: str
    aligned: bool
    kinds: tuple[str, ...]


PRODUCTS: dict[str, ProductInfo] = {
    "assembly": ProductInfo("assembly", "circuit board with a fixed layout of parts", True, KINDS),
    "texture": ProductInfo(
        "texture", "random-phase woven texture", False, STRUCTURAL_KINDS + ("wrong_colour", "wrong_size")
    ),
    "tray": ProductInfo("tray", "loose washers and pins in a tray", False, STRUCTURAL_KINDS + LOGICAL_KINDS),
}
_INDEX = {name: i for i, name in enumerate(PRODUCTS)}
_GOOD, _DEFECT = 1, 2


@dataclass(frozen=True)
class _Part:
    shape: str  # "rect", "circle", "ring", "chip"
    cx: float  # centre, unit coordinates
    cy: float
    w: float  # width (rect/chip) or outer radius (circle/ring), unit
    h: float  # height (rect/chip) or inner radius (ring), unit
    colour: tuple[int, int, int]
    angle: float = 0.0


def _rng(product: str, tag: int, seed: int, index: int, kind: str = "") -> np.random.Generator:
    kind_no = KINDS.index(kind) + 1 if kind else 0
    return np.random.default_rng([_INDEX[product], tag, seed, index, kind_no])


def _check(product: str, size: int) -> ProductInfo:
    if product not in PRODUCTS:
        msg = f"unknown synthetic product {product!r}; choose one of {', '.join(PRODUCTS)}"
        raise ValueError(msg)
    if size < 32:
        msg = f"size must be at least 32, got {size}"
        raise ValueError(msg)
    return PRODUCTS[product]


# ---------------------------------------------------------------- drawing


def _draw_part(canvas: np.ndarray, part: _Part, size: int, colour: tuple[int, ...] | None = None) -> None:
    col = tuple(int(c) for c in (colour if colour is not None else part.colour))
    centre = (part.cx * size, part.cy * size)
    if part.shape in ("rect", "chip"):
        box = cv2.boxPoints((centre, (part.w * size, part.h * size), part.angle))
        cv2.fillPoly(canvas, [np.round(box * 16).astype(np.int32)], col, cv2.LINE_AA, shift=4)
        if part.shape == "chip" and colour is None:
            # Pins along both long sides: fine, regular structure that local features must learn.
            pins = 7
            for k in range(pins):
                px = part.cx - part.w / 2 + (k + 0.5) * part.w / pins
                for side in (-1, 1):
                    py = part.cy + side * (part.h / 2 + 0.025)
                    pin = cv2.boxPoints(((px * size, py * size), (0.018 * size, 0.05 * size), 0))
                    cv2.fillPoly(canvas, [np.round(pin * 16).astype(np.int32)], (190, 190, 195), cv2.LINE_AA, shift=4)
    else:
        c = (int(round(centre[0] * 16)), int(round(centre[1] * 16)))
        cv2.circle(canvas, c, int(round(part.w * size * 16)), col, -1, cv2.LINE_AA, shift=4)
        if part.shape == "ring" and colour is None:
            cv2.circle(canvas, c, int(round(part.h * size * 16)), (0, 0, 0), -1, cv2.LINE_AA, shift=4)


def _part_mask(part: _Part, size: int) -> np.ndarray:
    m3 = np.zeros((size, size, 3), np.uint8)
    _draw_part(m3, replace(part, shape="rect" if part.shape == "chip" else part.shape), size, (255, 255, 255))
    if part.shape == "ring":
        c = (int(round(part.cx * size * 16)), int(round(part.cy * size * 16)))
        cv2.circle(m3, c, int(round(part.h * size * 16)), (0, 0, 0), -1, cv2.LINE_AA, shift=4)
    return (m3[..., 0] > 127).astype(np.uint8) * 255


def _noise(img: np.ndarray, rng: np.random.Generator, sigma: float) -> np.ndarray:
    out = img.astype(np.float32) + rng.normal(0.0, sigma, img.shape).astype(np.float32)
    return np.clip(out, 0, 255).astype(np.uint8)


# ---------------------------------------------------------------- assembly

_BOARD = (38, 92, 34)
_ASSEMBLY = (
    _Part("chip", 0.46, 0.46, 0.30, 0.22, (28, 28, 30)),
    _Part("rect", 0.16, 0.16, 0.14, 0.07, (40, 40, 190)),  # resistor (red)
    _Part("rect", 0.80, 0.16, 0.14, 0.07, (190, 90, 40)),  # capacitor (blue): same size, so a swap is logical
    _Part("circle", 0.20, 0.80, 0.075, 0.0, (40, 200, 225)),
    _Part("rect", 0.78, 0.79, 0.26, 0.12, (215, 215, 210)),
    _Part("circle", 0.44, 0.84, 0.03, 0.0, (70, 120, 160)),
    _Part("circle", 0.56, 0.84, 0.03, 0.0, (70, 120, 160)),
)

_ALT_COLOURS = ((40, 40, 190), (190, 90, 40), (40, 200, 225), (215, 215, 210), (60, 160, 60), (160, 60, 160))


def _board(size: int, rng: np.random.Generator) -> np.ndarray:
    img = np.empty((size, size, 3), np.float32)
    img[:] = _BOARD
    # Traces: thin lighter lines at fixed places, part of the layout.
    for y in (0.30, 0.62):
        cv2.line(img, (int(0.05 * size), int(y * size)), (int(0.28 * size), int(y * size)), (60, 130, 60), 2)
    cv2.line(img, (int(0.66 * size), int(0.35 * size)), (int(0.95 * size), int(0.35 * size)), (60, 130, 60), 2)
    gain = 1.0 + rng.uniform(-0.03, 0.03)
    return np.clip(img * gain, 0, 255).astype(np.uint8)


def _render_assembly(parts: tuple[_Part, ...], size: int, rng: np.random.Generator) -> np.ndarray:
    img = _board(size, rng)
    for part in parts:
        _draw_part(img, part, size)
    # Fixtures hold boards to about a pixel; the shift is applied to the whole rendered board.
    dx, dy = rng.uniform(-1.0, 1.0, 2)
    img = cv2.warpAffine(img, np.float32([[1, 0, dx], [0, 1, dy]]), (size, size), borderMode=cv2.BORDER_REPLICATE)
    return _noise(img, rng, 2.5)


# ---------------------------------------------------------------- texture


def _spectrum(size: int, scale: float) -> np.ndarray:
    fy = np.fft.fftfreq(size)[:, None]
    fx = np.fft.fftfreq(size)[None, :]
    r = np.hypot(fx, fy)
    f0 = 0.085 / scale
    ring = np.exp(-(((r - f0) / 0.02) ** 2))
    # Two weave directions on top of a broad band give the texture a direction without making it periodic.
    warp = np.exp(-(((np.abs(fx) - f0) / 0.012) ** 2 + (fy / 0.012) ** 2))
    weft = np.exp(-(((np.abs(fy) - f0 * 1.3) / 0.012) ** 2 + (fx / 0.012) ** 2))
    amp = 0.5 * ring + 2.0 * warp + 1.5 * weft
    amp[0, 0] = 0.0
    return amp


_TEXTURE_TINT = np.array([70.0, 120.0, 150.0], np.float32)


def _render_texture(size: int, rng: np.random.Generator, scale: float = 1.0, tint=None) -> np.ndarray:
    phase = rng.uniform(0.0, 2 * np.pi, (size, size))
    field = np.real(np.fft.ifft2(_spectrum(size, scale) * np.exp(1j * phase)))
    field = (field - field.mean()) / (field.std() + 1e-12)
    base = _TEXTURE_TINT if tint is None else np.asarray(tint, np.float32)
    img = base[None, None, :] * (1.0 + 0.22 * field[..., None].astype(np.float32))
    return _noise(np.clip(img, 0, 255), rng, 2.0)


# ---------------------------------------------------------------- tray

_TRAY = (182, 186, 188)
_WASHER = (60, 165, 205)
_PIN = (150, 70, 35)


def _washer(cx: float, cy: float, s: float = 1.0, colour=_WASHER) -> _Part:
    return _Part("ring", cx, cy, 0.06 * s, 0.026 * s, colour)


def _pin(cx: float, cy: float, angle: float, s: float = 1.0, colour=_PIN) -> _Part:
    return _Part("rect", cx, cy, 0.17 * s, 0.045 * s, colour, angle)


def _radius(p: _Part) -> float:
    return p.w if p.shape in ("ring", "circle") else 0.5 * float(np.hypot(p.w, p.h))


def _place(rng: np.random.Generator, placed: list[_Part], make, tries: int = 200) -> _Part:
    for _ in range(tries):
        cand = make(rng.uniform(0.17, 0.83), rng.uniform(0.17, 0.83))
        if all(np.hypot(cand.cx - p.cx, cand.cy - p.cy) > _radius(cand) + _radius(p) + 0.02 for p in placed):
            return cand
    return cand


def _tray_parts(rng: np.random.Generator) -> list[_Part]:
    parts: list[_Part] = []
    for _ in range(4):
        parts.append(_place(rng, parts, lambda x, y: _washer(x, y)))
    for _ in range(3):
        angle = float(rng.uniform(0, 180))
        parts.append(_place(rng, parts, lambda x, y, a=angle: _pin(x, y, a)))
    return parts


def _render_tray(parts: list[_Part], size: int, rng: np.random.Generator) -> np.ndarray:
    img = np.empty((size, size, 3), np.uint8)
    img[:] = _TRAY
    rim = max(2, size // 32)
    cv2.rectangle(img, (0, 0), (size - 1, size - 1), (120, 124, 128), rim)
    for part in parts:
        if part.shape == "ring":
            # The washer's hole shows the tray through it.
            _draw_part(img, replace(part, shape="circle"), size)
            c = (int(round(part.cx * size * 16)), int(round(part.cy * size * 16)))
            cv2.circle(img, c, int(round(part.h * size * 16)), _TRAY, -1, cv2.LINE_AA, shift=4)
        else:
            _draw_part(img, part, size)
    return _noise(img, rng, 2.5)


# ---------------------------------------------------------------- structural defects


def _random_point(rng: np.random.Generator, size: int, margin: float = 0.12) -> np.ndarray:
    return rng.uniform(margin * size, (1 - margin) * size, 2)


def _stroke(img: np.ndarray, mask: np.ndarray, pts: np.ndarray, width: int, delta: float) -> None:
    layer = np.zeros(img.shape[:2], np.float32)
    cv2.polylines(layer, [np.round(pts * 16).astype(np.int32)], False, 1.0, width, cv2.LINE_AA, shift=4)
    _blend(img, layer, delta)
    mask[layer > 0.25] = 255


def _blend(img: np.ndarray, layer: np.ndarray, delta) -> None:
    out = img.astype(np.float32) + layer[..., None] * np.asarray(delta, np.float32)
    img[:] = np.clip(out, 0, 255).astype(np.uint8)


def _structural(
    img: np.ndarray, kind: str, rng: np.random.Generator, fill: np.ndarray, at: np.ndarray | None = None
) -> np.ndarray:
    """Apply one local defect in place; returns its mask.

    `fill` is what shows through a missing chunk, `at` where the chunk is (random when None).
    """
    size = img.shape[0]
    mask = np.zeros((size, size), np.uint8)
    # Drawn for every kind, so each kind's later draws (and so its pixels for a seed) stay the same.
    sign = rng.choice([-1.0, 1.0])
    if kind in ("scratch", "subtle_scratch"):
        _scratch(img, mask, rng, sign, fine=kind == "subtle_scratch")
    elif kind == "spot":
        _spot(img, mask, rng, sign)
    elif kind == "crack":
        _crack(img, mask, rng)
    elif kind == "contamination":
        _contamination(img, mask, rng)
    elif kind == "missing_chunk":
        _missing_chunk(img, mask, rng, fill, at)
    else:  # pragma: no cover - guarded by the callers
        msg = f"not a structural kind: {kind}"
        raise ValueError(msg)
    return mask


def _scratch(img: np.ndarray, mask: np.ndarray, rng: np.random.Generator, sign: float, *, fine: bool) -> None:
    size = img.shape[0]
    p0 = _random_point(rng, size)
    length = rng.uniform(0.18, 0.35) * size
    angle = rng.uniform(0, np.pi)
    p1 = np.clip(p0 + length * np.array([np.cos(angle), np.sin(angle)]), 2, size - 3)
    if fine:
        _stroke(img, mask, np.stack([p0, p1]), 1, sign * rng.uniform(18, 26))
    else:
        _stroke(img, mask, np.stack([p0, p1]), 2, sign * rng.uniform(55, 80))


def _spot(img: np.ndarray, mask: np.ndarray, rng: np.random.Generator, sign: float) -> None:
    size = img.shape[0]
    c = _random_point(rng, size)
    r = rng.uniform(0.012, 0.025) * size
    layer = np.zeros((size, size), np.float32)
    cv2.circle(layer, (int(c[0] * 16), int(c[1] * 16)), int(r * 16), 1.0, -1, cv2.LINE_AA, shift=4)
    _blend(img, layer, sign * rng.uniform(50, 80))
    mask[layer > 0.25] = 255


def _crack(img: np.ndarray, mask: np.ndarray, rng: np.random.Generator) -> None:
    size = img.shape[0]
    pts = [_random_point(rng, size, 0.2)]
    heading = rng.uniform(0, 2 * np.pi)
    for _ in range(int(rng.integers(6, 10))):
        heading += rng.normal(0, 0.6)
        step = rng.uniform(0.02, 0.045) * size
        pts.append(np.clip(pts[-1] + step * np.array([np.cos(heading), np.sin(heading)]), 2, size - 3))
    _stroke(img, mask, np.asarray(pts), int(rng.integers(1, 3)), -rng.uniform(60, 90))


def _contamination(img: np.ndarray, mask: np.ndarray, rng: np.random.Generator) -> None:
    size = img.shape[0]
    c = _random_point(rng, size)
    layer = np.zeros((size, size), np.float32)
    for _ in range(int(rng.integers(3, 6))):
        off = rng.normal(0, 0.02 * size, 2)
        axes = (int(rng.uniform(0.015, 0.04) * size), int(rng.uniform(0.01, 0.03) * size))
        centre = (int(c[0] + off[0]), int(c[1] + off[1]))
        cv2.ellipse(layer, centre, axes, float(rng.uniform(0, 180)), 0, 360, 1.0, -1, cv2.LINE_AA)
    layer = cv2.GaussianBlur(layer, (0, 0), 1.2) * rng.uniform(0.55, 0.75)
    stain = np.array([30, 60, 95], np.float32)  # a brownish oil stain
    out = img.astype(np.float32) * (1 - layer[..., None]) + stain * layer[..., None]
    img[:] = np.clip(out, 0, 255).astype(np.uint8)
    mask[layer > 0.15] = 255


def _missing_chunk(
    img: np.ndarray, mask: np.ndarray, rng: np.random.Generator, fill: np.ndarray, at: np.ndarray | None
) -> None:
    size = img.shape[0]
    c = _random_point(rng, size, 0.2) if at is None else at
    n = int(rng.integers(5, 8))
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = rng.uniform(0.025, 0.05, n) * size
    poly = np.stack([c[0] + radii * np.cos(angles), c[1] + radii * np.sin(angles)], 1)
    region = np.zeros((size, size), np.uint8)
    cv2.fillPoly(region, [np.round(poly * 16).astype(np.int32)], 255, cv2.LINE_AA, shift=4)
    # Only pixels that change are defective: a chunk of bare board over bare board is invisible.
    sel = (region > 127) & (np.abs(img.astype(np.int16) - fill).max(2) > 30)
    img[sel] = fill[sel]
    mask[sel] = 255


# ---------------------------------------------------------------- public API


def good_image(product: str, seed: int, index: int = 0, size: int = 256) -> np.ndarray:
    """One good image of `product`."""
    _check(product, size)
    return _good(product, _rng(product, _GOOD, seed, index), size)


def _good(product: str, rng: np.random.Generator, size: int) -> np.ndarray:
    if product == "assembly":
        return _render_assembly(_ASSEMBLY, size, rng)
    if product == "texture":
        return _render_texture(size, rng)
    return _render_tray(_tray_parts(rng), size, rng)


def good_images(product: str, n: int, seed: int, size: int = 256) -> list[np.ndarray]:
    """`n` good images of `product`."""
    return [good_image(product, seed, i, size) for i in range(n)]


def defect_image(product: str, kind: str, seed: int, index: int = 0, size: int = 256) -> tuple[np.ndarray, np.ndarray]:
    """One defective image of `product` with defect `kind`, and its uint8 0/255 mask."""
    info = _check(product, size)
    if kind not in info.kinds:
        msg = f"product {product!r} has no defect kind {kind!r}; its kinds are {', '.join(info.kinds)}"
        raise ValueError(msg)
    rng = _rng(product, _DEFECT, seed, index, kind)
    if product == "assembly":
        return _assembly_defect(kind, rng, size)
    if product == "texture":
        return _texture_defect(kind, rng, size)
    return _tray_defect(kind, rng, size)


def defect_images(
    product: str, n: int, seed: int, kinds: tuple[str, ...] | list[str] | None = None, size: int = 256
) -> list[tuple[np.ndarray, np.ndarray, str]]:
    """`n` defective images of each kind (the product's kinds when None), kind by kind: (image, mask, kind)."""
    info = _check(product, size)
    out = []
    for kind in info.kinds if kinds is None else kinds:
        for i in range(n):
            image, mask = defect_image(product, kind, seed, i, size)
            out.append((image, mask, kind))
    return out


def _union(size: int, parts) -> np.ndarray:
    mask = np.zeros((size, size), np.uint8)
    for p in parts:
        mask |= _part_mask(p, size)
    return mask


def _assembly_defect(kind: str, rng: np.random.Generator, size: int) -> tuple[np.ndarray, np.ndarray]:
    parts = list(_ASSEMBLY)
    if kind in STRUCTURAL_KINDS:
        img = _render_assembly(tuple(parts), size, rng)
        fill = _noise(_board(size, rng), rng, 2.5)  # a chunk broken out of a part shows bare board
        at = None
        if kind == "missing_chunk":
            part = parts[int(rng.integers(len(parts)))]
            at = np.array([part.cx, part.cy]) * size
            at[0] += rng.choice([-0.5, 0.5]) * (part.w if part.shape in ("rect", "chip") else part.w * 2) * size
        return img, _structural(img, kind, rng, fill, at)
    k = int(rng.integers(1, len(parts)))
    changed: list[_Part] = []
    if kind == "missing":
        changed = [parts.pop(k)]
    elif kind == "extra":
        # A second small cap on free board space, where no part belongs.
        spot = [(0.12, 0.45), (0.90, 0.52), (0.62, 0.14), (0.34, 0.66)][int(rng.integers(4))]
        extra = replace(_ASSEMBLY[5], cx=spot[0], cy=spot[1])
        parts.append(extra)
        changed = [extra]
    elif kind == "swapped":
        a, b = parts[1], parts[2]
        parts[1] = replace(a, colour=b.colour)
        parts[2] = replace(b, colour=a.colour)
        changed = [a, b]
    elif kind == "wrong_colour":
        old = parts[k]
        far = [c for c in _ALT_COLOURS if np.abs(np.subtract(c, old.colour)).sum() > 150]
        parts[k] = replace(old, colour=far[int(rng.integers(len(far)))])
        changed = [old]
    else:  # wrong_size
        old = parts[k]
        s = rng.choice([0.7, 1.35])
        parts[k] = replace(old, w=old.w * s, h=old.h * s)
        changed = [old, parts[k]]
    img = _render_assembly(tuple(parts), size, rng)
    return img, _union(size, changed)


def _texture_defect(kind: str, rng: np.random.Generator, size: int) -> tuple[np.ndarray, np.ndarray]:
    if kind == "wrong_colour":
        tint = _TEXTURE_TINT * np.array([1.0, 0.85, 1.15], np.float32) + rng.uniform(-3, 3, 3).astype(np.float32)
        return _render_texture(size, rng, tint=tint), np.full((size, size), 255, np.uint8)
    if kind == "wrong_size":
        return _render_texture(size, rng, scale=1.45), np.full((size, size), 255, np.uint8)
    img = _render_texture(size, rng)
    # A hole in the cloth shows the dark table below.
    fill = _noise(np.full((size, size, 3), 35, np.uint8), rng, 2.0)
    return img, _structural(img, kind, rng, fill)


def _tray_defect(kind: str, rng: np.random.Generator, size: int) -> tuple[np.ndarray, np.ndarray]:
    parts = _tray_parts(rng)
    if kind in STRUCTURAL_KINDS:
        img = _render_tray(parts, size, rng)
        fill = _noise(np.full((size, size, 3), 60, np.uint8), rng, 2.0)
        return img, _structural(img, kind, rng, fill)
    k = int(rng.integers(len(parts)))
    old = parts[k]
    changed: list[_Part]
    if kind == "missing":
        parts.pop(k)
        changed = [old]
    elif kind == "extra":
        make = (
            (lambda x, y: _washer(x, y))
            if rng.random() < 0.5
            else (lambda x, y: _pin(x, y, float(rng.uniform(0, 180))))
        )
        new = _place(rng, parts, make)
        parts.append(new)
        changed = [new]
    elif kind == "swapped":
        new = _pin(old.cx, old.cy, float(rng.uniform(0, 180))) if old.shape == "ring" else _washer(old.cx, old.cy)
        parts[k] = new
        changed = [old, new]
    elif kind == "wrong_colour":
        parts[k] = replace(old, colour=(60, 60, 185) if old.shape == "ring" else (40, 150, 60))
        changed = [old]
    else:  # wrong_size
        s = rng.choice([0.65, 1.4])
        parts[k] = replace(old, w=old.w * s, h=old.h * s)
        changed = [old, parts[k]]
    img = _render_tray(parts, size, rng)
    return img, _union(size, changed)
