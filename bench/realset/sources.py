"""The photographs the evaluation set is cut from, and the products made of them.

Every photograph ships inside a Python package (no download at run time); `README.md` beside this file
lists each with its package, file and licence. A file is found through the installed distribution's
metadata (`importlib.metadata`), without importing the package, so a package with heavy or broken imports
still serves its files.
"""

from __future__ import annotations

import importlib.metadata
from dataclasses import dataclass, field
from functools import lru_cache
from pathlib import Path

import cv2
import numpy as np

SIZE = 256


class SourceMissing(RuntimeError):
    """A product's photograph is not installed (its package is missing)."""


@dataclass(frozen=True)
class Photo:
    """One photograph inside an installed distribution."""

    package: str  # the distribution's name, as pip knows it
    path: str  # relative to the folder the distribution installs into
    licence: str

    def location(self) -> Path:
        try:
            found = Path(str(importlib.metadata.distribution(self.package).locate_file(self.path)))
        except importlib.metadata.PackageNotFoundError:
            found = None
        if found is None or not found.is_file():
            msg = f"{self.path} not found: install {self.package} (see bench/realset/README.md)"
            raise SourceMissing(msg)
        return found


@dataclass(frozen=True)
class Piece:
    """A removable part of an object, in the photograph's own pixels.

    `shape` is "circle" (cx, cy, r), "ellipse" (cx, cy, ax, ay, angle_deg), "line" (x0, y0, x1, y1, width) or
    "coins" (found by thresholding: each bright blob is one part).
    """

    name: str
    shape: str
    args: tuple[float, ...] = ()


@dataclass(frozen=True)
class Tray:
    """A fixed-layout tray of coins cut out of the coins photograph (see `tray.py`).

    Coins are numbered as `views.coin_masks` finds them. `coins[i]` lies in the pocket at `slots[i]`
    (frame pixels); None is a pocket that stays empty (where an extra part can land). `spares` are coins
    of no pocket: the "other part". `scale` takes photograph pixels to frame pixels.
    """

    slots: tuple[tuple[float, float], ...]
    coins: tuple[int | None, ...]
    spares: tuple[int, ...]
    scale: float


@dataclass(frozen=True)
class LooseTray:
    """A tray of loose coins (see `loose.py`): compartments `boxes` (x, y, w, h frame pixels), the coins each
    holds (`groups`, numbered as for `Tray`), `spares` (the "other part") and `scale` (photograph to frame)."""

    boxes: tuple[tuple[float, float, float, float], ...]
    groups: tuple[tuple[int, ...], ...]
    spares: tuple[int, ...]
    scale: float


def _grid(cols: int, rows: int, pitch: float) -> tuple[tuple[float, float], ...]:
    x0, y0 = (SIZE - (cols - 1) * pitch) / 2, (SIZE - (rows - 1) * pitch) / 2
    return tuple((x0 + c * pitch, y0 + r * pitch) for r in range(rows) for c in range(cols))


@dataclass(frozen=True)
class Product:
    """A product of the real-photo set: a texture (windows of one photograph) or an object (one pose of it)."""

    name: str
    family: str  # "texture" or "object"
    photo: Photo
    description: str
    # Textures: training windows come from `train_box`, teach and test windows from `test_box` (x, y, w, h in
    # photo pixels); the boxes never overlap, so no test pixel was ever seen in training.
    train_box: tuple[int, int, int, int] = (0, 0, 0, 0)
    test_box: tuple[int, int, int, int] = (0, 0, 0, 0)
    # Dihedral transforms the material allows: "h" flip, "v" flip, "r" 90-degree rotations (with flips: all 8).
    flips: str = ""
    regular: bool = False
    # Objects: the crop (x, y, w, h) that fills the 256x256 frame, and the parts a "removed_part" may take.
    crop: tuple[int, int, int, int] = (0, 0, 0, 0)
    parts: tuple[Piece, ...] = field(default=())
    holdout: bool = False
    tray: Tray | LooseTray | None = None  # family "tray"


_SK = "scikit-image"
_CC0 = "CC0 (scikit-image docstring)"
_COINS = Photo(_SK, "skimage/data/coins.png", "no known copyright restrictions (scikit-image docstring)")

PRODUCTS: dict[str, Product] = {
    p.name: p
    for p in (
        Product(
            "brick",
            "texture",
            Photo(_SK, "skimage/data/brick.png", _CC0),
            "brick wall, grey, regular courses",
            train_box=(0, 0, 512, 256),
            test_box=(0, 256, 512, 256),
            flips="hv",
            regular=True,
        ),
        Product(
            "gravel",
            "texture",
            Photo(_SK, "skimage/data/gravel.png", _CC0),
            "gravel, grey, stochastic",
            train_box=(0, 0, 512, 256),
            test_box=(0, 256, 512, 256),
            flips="hvr",
        ),
        Product(
            "grass",
            "texture",
            Photo(_SK, "skimage/data/grass.png", _CC0),
            "grass and clover, grey, stochastic",
            train_box=(0, 0, 512, 256),
            test_box=(0, 256, 512, 256),
            flips="hvr",
        ),
        Product(
            "tissue",
            "texture",
            Photo(_SK, "skimage/data/ihc.png", "no known copyright restrictions (scikit-image docstring)"),
            "stained tissue section, colour, glands in stroma",
            # Left/right: the glands run top to bottom, so each half holds whole glands.
            train_box=(0, 0, 256, 512),
            test_box=(256, 0, 256, 512),
            flips="hvr",
        ),
        Product(
            "glass",
            "texture",
            Photo(
                "imagecorruptions",
                "imagecorruptions/frost/frost1.png",
                "Apache-2.0 (the package's licence; the photo's origin is not stated)",
            ),
            "textured glass, blue-green, stochastic",
            train_box=(0, 0, 450, 600),
            test_box=(450, 0, 450, 600),
            flips="hv",
            holdout=True,
        ),
        Product(
            "coffee",
            "object",
            Photo(_SK, "skimage/data/coffee.png", "CC0 (scikit-image docstring)"),
            "espresso cup with spoon on a saucer",
            crop=(80, 0, 400, 400),
            parts=(
                Piece("spoon", "circle", (365, 283, 42)),
                Piece("spoon", "line", (425, 70, 388, 240, 20)),
                Piece("handle", "ellipse", (228, 268, 32, 40, 0)),
            ),
        ),
        Product(
            "coins",
            "object",
            _COINS,
            "24 ancient coins on a dark ground",
            crop=(40, 0, 303, 303),
            parts=(Piece("coin", "coins"),),
        ),
        Product(
            "flower",
            "object",
            Photo(
                "scikit-learn",
                "sklearn/datasets/images/flower.jpg",
                "CC BY 2.0, by vultilion (the package's images/README.txt)",
            ),
            "dahlia in front of foliage",
            crop=(80, 10, 400, 400),
            parts=(
                Piece("bud", "ellipse", (314, 402, 62, 26, 0)),
                Piece("petals left", "circle", (228, 150, 40)),
                Piece("petals right", "circle", (394, 220, 40)),
                Piece("petals low", "circle", (290, 306, 40)),
            ),
        ),
        Product(
            "portrait",
            "object",
            Photo(
                "matplotlib",
                "matplotlib/mpl-data/sample_data/grace_hopper.jpg",
                "US Navy photograph, public domain; shipped with matplotlib",
            ),
            "head-and-shoulders portrait in uniform",
            crop=(0, 20, 512, 512),
            parts=(
                Piece("glasses", "ellipse", (262, 192, 92, 30, 0)),
                Piece("ribbons", "ellipse", (385, 512, 62, 22, 0)),
                Piece("badge", "ellipse", (248, 88, 48, 28, 0)),
                Piece("name tag", "ellipse", (128, 492, 40, 14, 0)),
            ),
        ),
        Product(
            "motorcycle",
            "object",
            Photo(
                _SK,
                "skimage/data/motorcycle_left.png",
                "Middlebury 2014 stereo benchmark; no licence stated (scikit-image docstring)",
            ),
            "motorcycle in a workshop (frame squeezed 1.28x horizontally)",
            crop=(70, 0, 640, 500),
            parts=(
                Piece("headlight", "circle", (537, 156, 28)),
                Piece("turn signal", "circle", (573, 142, 16)),
                Piece("seat", "ellipse", (300, 205, 75, 24, -8)),
                Piece("engine cover", "circle", (372, 322, 32)),
                Piece("tank", "ellipse", (450, 170, 55, 28, -15)),
            ),
            holdout=True,
        ),
        # Trays come last: a product's random streams follow its place in this table.
        Product(
            "coin_tray",
            "tray",
            _COINS,
            "3x3 tray of 7 coins from the top two rows of the coins photograph, two pockets empty",
            tray=Tray(_grid(3, 3, 80.0), (0, 1, 2, None, 3, 4, 5, None, 6), (7, 8), 0.85),
        ),
        Product(
            "coin_tray_b",
            "tray",
            _COINS,
            "4x3 tray of 10 other coins (the bottom two rows), two pockets empty",
            tray=Tray(_grid(4, 3, 62.0), (9, 10, None, 11, 12, 13, 14, 15, 16, None, 17, 18), (19, 20), 0.72),
            holdout=True,
        ),
        # Loose trays come after them, for the same reason.
        Product(
            "loose_tray",
            "tray",
            _COINS,
            "two compartments of loose coins: three large ones left, four small bright ones right",
            tray=LooseTray(((8, 8, 118, 240), (130, 8, 118, 240)), ((0, 3, 1), (4, 5, 6, 7)), (2, 8), 0.75),
        ),
        Product(
            "loose_tray_b",
            "tray",
            _COINS,
            "two compartments of loose coins of the bottom rows: three dark large ones above, four bright below",
            tray=LooseTray(((8, 8, 240, 118), (8, 130, 240, 118)), ((15, 16, 9), (12, 14, 13, 11)), (19, 20), 0.72),
            holdout=True,
        ),
    )
}

HOLDOUT = tuple(name for name, p in PRODUCTS.items() if p.holdout)


@lru_cache(maxsize=16)
def load_photo(photo: Photo) -> np.ndarray:
    """The photograph as uint8 BGR (grey photographs replicated to 3 channels); read-only."""
    path = photo.location()
    img = cv2.imdecode(np.fromfile(str(path), np.uint8), cv2.IMREAD_COLOR)
    if img is None:
        msg = f"cannot decode {path}"
        raise SourceMissing(msg)
    img.setflags(write=False)
    return img


def is_grey(product: Product) -> bool:
    """True when the photograph has no colour: defects on it are painted in grey too."""
    img = load_photo(product.photo)
    return bool(np.abs(img[..., 0].astype(np.int16) - img[..., 2]).max() <= 2)
