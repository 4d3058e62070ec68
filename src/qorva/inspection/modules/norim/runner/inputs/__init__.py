"""What the branches see of an image: the working image, its pretrained embedding, filter-bank features, parts.

`Inputs` holds them for a batch of working-size images, each computed once, on first use.
"""

from __future__ import annotations

from functools import cached_property
from typing import Any

import numpy as np

from . import components, embed, filters
from .working import GRID


class Inputs:
    """Per-image inputs of a batch of working-size images: `emb` (pretrained, needs `net`), `feats` (filter bank)
    and `desc` (part descriptors, needs `palette`); given ones are kept, the others computed on first use.

    `works` are the images the branches see (aligned where the model aligns); `originals` the working images as
    they came (what names a training image), `offsets` each one's registration (N x 3: dx, dy, degrees) and
    `unseen` its cells the camera did not see (N x GRID x GRID bool), which no branch judges."""

    def __init__(
        self,
        works: list[np.ndarray],
        *,
        net: Any = None,
        palette: components.Palette | None = None,
        originals: list[np.ndarray] | None = None,
        offsets: np.ndarray | None = None,
        unseen: np.ndarray | None = None,
        **given: np.ndarray,
    ) -> None:
        self.works = works
        self.net = net
        self.palette = palette
        self.originals = works if originals is None else originals
        self.offsets = np.zeros((len(works), 3)) if offsets is None else offsets
        self.unseen = np.zeros((len(works), GRID, GRID), bool) if unseen is None else unseen
        self.__dict__.update(given)

    def __len__(self) -> int:
        return len(self.works)

    @cached_property
    def emb(self) -> np.ndarray:
        return embed.embed(self.works, self.net)

    @cached_property
    def feats(self) -> np.ndarray:
        return filters.batch_features(self.works)

    @cached_property
    def desc(self) -> np.ndarray:
        if self.palette is None:
            msg = "part descriptors need the product's palette"
            raise ValueError(msg)
        return components.descriptors(self.works, self.palette)

    def computed(self) -> dict[str, np.ndarray]:
        return {k: self.__dict__[k] for k in ("emb", "feats", "desc") if k in self.__dict__}

    def take(self, idx: np.ndarray) -> Inputs:
        """The images at `idx`, with the inputs computed so far."""
        given = {k: v[idx] for k, v in self.computed().items()}
        originals = [self.originals[i] for i in idx]
        return Inputs([self.works[i] for i in idx], net=self.net, palette=self.palette, originals=originals,
                      offsets=self.offsets[idx], unseen=self.unseen[idx], **given)  # fmt: skip

    @staticmethod
    def joined(parts: list[Inputs]) -> Inputs:
        """One batch of the images of `parts`, with the inputs all of them have computed."""
        keys = set.intersection(*(set(p.computed()) for p in parts))
        given = {k: np.concatenate([p.computed()[k] for p in parts]) for k in keys}
        first = parts[0]
        return Inputs(
            [w for p in parts for w in p.works], net=first.net, palette=first.palette,
            originals=[w for p in parts for w in p.originals], offsets=np.concatenate([p.offsets for p in parts]),
            unseen=np.concatenate([p.unseen for p in parts]), **given,
        )  # fmt: skip
