"""The runner's vocabulary: what training can be asked for, and the names of the model's scores and result keys.

Imports nothing heavy: the command line builds its options from it.
"""

from __future__ import annotations

# The structural model: "gauss" (one Gaussian per cell position: parts on a fixture), "knn" (a memory bank of good
# patches: parts that move, textures), or chosen from the training images.
STRUCTURAL = ("auto", "gauss", "knn")
# The feature extractor: "lite0" (ImageNet-pretrained EfficientNet-Lite0 beside the weight-free branches), "none"
# (the weight-free branches alone), "auto" (lite0 where it can run here, else none with a warning).
BACKBONES = ("auto", "lite0", "none")
# What `train` uses when the caller names none (the test suite sets "none" here: it trains in seconds).
DEFAULT_BACKBONE = "auto"
# Copies added to the training images, for products whose orientation does not matter: quarter turns ("r1".."r3")
# then flips ("h" left-right, "v" top-bottom). They need the pretrained features.
AUGMENTS: dict[str, tuple[str, ...]] = {
    "": (),
    "h": ("h",),
    "v": ("v",),
    "hv": ("h", "v", "hv"),
    "r": ("r1", "r2", "r3"),
    "hvr": ("h", "v", "hv", "r1", "r2", "r3", "r1h", "r1v"),
}

# The keys a result reports its branches under, in this order; they are stored in result rows. "mahalanobis" is
# the whole-image statistics (named after its distance).
BRANCHES = ("structural", "mahalanobis", "logical")
# The model's scores, in the order a model keeps them, and the key each reports under.
REPORTED_AS = {
    "deep": "structural",  # the pretrained features' worst inner cell
    "deep_ring": "structural",  # ... and their worst border cell (fixed layouts)
    "deep_level": "mahalanobis",  # ... and how far the whole frame is from good images (its median cell)
    "patch": "structural",  # the filter-bank features' worst cell
    "global": "mahalanobis",  # whole-image statistics of the filter-bank features
    "logical": "logical",  # counts, sizes, colours and places of the product's parts
    "objects": "logical",  # ... and of whole objects on the ground they lie on
}
SCORES = tuple(REPORTED_AS)
