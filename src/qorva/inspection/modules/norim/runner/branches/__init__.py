"""The model's branches. Each is a frozen dataclass of fitted arrays, read-only and shared between threads, with
the same small interface:

    <branch module>.fit(x, ...) -> Branch       fitted on the input `NEEDS` of the training images
    Branch.NAME, Branch.NEEDS                   its name, and the input it reads ("emb", "feats" or "desc")
    branch.scores                               the names of the raw scores it gives, one column each
    branch.score(x, unseen) -> (raw, cells)     raw: N x len(scores); cells: N x GRID x GRID, or None where the
                                                branch sees the image as a whole; cells the camera did not see
                                                (`unseen`, after registration) are not judged
    branch.arrays(), branch.describe()          what a bundle stores: arrays, and JSON scalars
    Branch.load(description, arrays)            the branch back from them
    Branch.shapes(description, dim)             the shapes its stored arrays must have (`dim(array, axis)` reads
                                                what the archive declares); ValueError for a description it
                                                cannot read

- `deep`: pretrained patch features, per-cell Gaussians or a memory bank (scores "deep", "deep_ring");
- `patch`: filter-bank patch features, per-cell Gaussians or a memory bank (score "patch");
- `global_stats`: whole-image statistics of the filter-bank features (score "global");
- `logical`: the product's parts: counts, sizes, colours and places (score "logical").
"""

from __future__ import annotations

from .deep import Deep
from .global_stats import Global
from .logical import Logical
from .patch import Patch

Branch = Deep | Patch | Global | Logical
# Every branch, in the order a model holds and scores them.
KINDS: dict[str, type[Branch]] = {b.NAME: b for b in (Deep, Patch, Global, Logical)}
