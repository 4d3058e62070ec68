"""The "logical" branch: the product's parts (`inputs.components`): how many, how big, what colour, where.

Each entry of an image's part descriptor is compared with the range good images showed, in units of their spread;
the image score is the largest deviation beyond that range. Counting, sizing and colouring mistakes move these
numbers even when every local patch looks normal. It has no map.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from ..inputs.components import OBJECT_ENTRIES, PER_COLOUR, Palette, entry_floor


@dataclass(frozen=True)
class Logical:
    palette: Palette  # the colours the descriptors are made with
    center: np.ndarray  # F
    scale: np.ndarray  # F: good spread of each entry
    tol: np.ndarray  # F: deviation from the centre that good images show

    NAME: ClassVar[str] = "logical"
    NEEDS: ClassVar[str] = "desc"

    @property
    def scores(self) -> tuple[str, ...]:
        """"logical" (the palette colours' parts) and, where the product has a ground, "objects" (whole objects on
        it): two scores, each normalised on its own, so neither's noise dilutes what the other sees."""
        return ("logical", "objects") if self.palette.objects else ("logical",)

    def score(self, desc: np.ndarray, unseen: np.ndarray | None = None) -> tuple[np.ndarray, None]:
        """Largest deviation beyond what good images showed, in units of good spread; 0 inside the envelope."""
        dev = np.maximum(np.abs(desc - self.center) - self.tol, 0.0) / self.scale
        if not self.palette.objects:
            return dev.max(axis=1)[:, None], None
        split = desc.shape[1] - OBJECT_ENTRIES
        return np.stack([dev[:, :split].max(axis=1), dev[:, split:].max(axis=1)], axis=1), None

    def arrays(self) -> dict[str, np.ndarray]:
        return {"palette": self.palette.colours, "center": self.center, "scale": self.scale, "tol": self.tol}

    def describe(self) -> dict[str, Any]:
        out: dict[str, Any] = {"novel_d2": float(self.palette.novel_d2)}
        return {**out, "background": list(self.palette.background)} if self.palette.objects else out

    @classmethod
    def load(cls, description: dict[str, Any], arrays: dict[str, np.ndarray]) -> Logical:
        ground = tuple(description.get("background", ()))
        return cls(Palette(arrays["palette"], float(description["novel_d2"]), ground), arrays["center"],
                   arrays["scale"], arrays["tol"])  # fmt: skip

    @staticmethod
    def shapes(description: dict[str, Any], dim) -> dict[str, tuple[int, ...]]:
        novel, ground = description.get("novel_d2"), description.get("background", [])
        colours = dim("palette", 0)
        if (
            not {"novel_d2"} <= set(description) <= {"novel_d2", "background"}
            or isinstance(novel, bool) or not isinstance(novel, int | float) or not isinstance(ground, list)
            or not all(type(k) is int and 0 <= k < colours for k in ground)
        ):  # fmt: skip
            msg = f"logical branch {description!r}"
            raise ValueError(msg)
        entries = (PER_COLOUR * colours + 1 + (OBJECT_ENTRIES if ground else 0),)
        return {"palette": (colours, 3), "center": entries, "scale": entries, "tol": entries}


def fit(desc: np.ndarray, palette: Palette) -> Logical:
    """The branch from the training images' descriptors (made with `palette`)."""
    center = np.median(desc, axis=0)
    spread = desc.std(axis=0)
    scale = np.sqrt(spread**2 + (0.05 * center) ** 2 + entry_floor(desc.shape[1], palette.objects) ** 2)
    # Deviations that good images show are tolerated: a count that varies from image to image (blobs of a
    # texture, a part that sometimes splits in two) says nothing. The largest deviation is left out, so one
    # odd training image does not make a missing part acceptable.
    dev = np.sort(np.abs(desc - center), axis=0)
    return Logical(palette, center, scale, dev[-2] if len(dev) > 1 else np.zeros_like(center))
