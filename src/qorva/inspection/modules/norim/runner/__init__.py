"""NORIM model runner: loads trained bundles and scores images for the inspector.

Calls the inspector makes (each looked up on this module at every use):

- `get_bundle(name, device=None) -> Bundle`: the bundle called `name`, found among the products as
  `<home>/products/<product_id>/norim/<name>/` (home: `qorva.home.qorva_home()`, i.e. $QORVA_HOME or the
  per-user folder, read at every call). The result is a read-only mapping; `bundle["device"]` is the device
  actually used ("cpu"). `device` None, "auto" or "cpu" run on the CPU; "cuda" or "cuda:N" fall back to the
  CPU with one logged warning per bundle; anything else is a `NorimError`. Loaded bundles are cached per
  (bundle, device), reloaded when the bundle on disk is replaced, at most 8 kept; safe across threads.
  `NorimError` when the name is unsafe (separators, "..", absolute/drive paths, control characters,
  leading dot, empty), when no bundle or several bundles of that name exist (the message says where it
  looked), or when the bundle is damaged or of another format version.
- `score_good_images(bundle, images) -> list[float]`: one finite score per image, in order, as a batch.
- `score_image(bundle, image, *, with_map) -> (score, amap, parts)`: `score` a float; `amap` a float32
  array of the image's own HxW (None, and not computed, when `with_map` is false); `parts` the dict
  {"structural", "mahalanobis", "logical"} in that order.
- `purge_train_cache(product_id) -> int`: deletes `<home>/_train/norim/<product_id>/` (removing links
  without following them, never touching `products/`) and returns the bytes of regular files freed;
  0 when there is no cache.
- `NorimError`: every failure the runner reports as its own.

Scores. Each branch is normalised on good images held out at training time (k-fold):
`t = (log1p(raw) - mean) / std` over their raw scores, then z is the normal quantile of t under a standard
Gumbel distribution (good scores are maxima; see `tails`), so 0 is about a typical good image, good images
come out close to N(0, 1), and the branches are comparable.
The combined score is the largest of the three z values, so the largest part names the cause. With the
inspector's threshold (mean + 2 std of good scores) a good image sits near 0-1 and a clear defect far
above. The map is the structural branch's per-cell score, bilinearly spread over the image, in units of a
typical good image's worst cell (good images stay near or below 1).

Images are uint8 BGR HxWx3 arrays of any size; they are resized to the working size (256x256).
Training: `train(product_id, images, name=None, seed=0, ...)` here, or `qorva train`; see `training`.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from . import hybrid, loaded, train_cache
from .features import to_working
from .loaded import Bundle
from .model import BRANCHES, anomaly_map, combine, normalise, score_works
from .paths import NorimError
from .training import TrainResult, read_folder, train

__all__ = [
    "BRANCHES",
    "Bundle",
    "NorimError",
    "TrainResult",
    "get_bundle",
    "purge_train_cache",
    "read_folder",
    "score_good_images",
    "score_image",
    "train",
]

# Images scored together: bounds the memory of a batch to a few tens of MB whatever the caller passes.
_BATCH = 16


def get_bundle(name: str, device: str | None = None) -> Bundle:
    """The loaded bundle `name` (cached), on `device` (None/"auto"/"cpu"; "cuda" falls back to the CPU)."""
    return loaded.get(name, device)


def _model(bundle: object):
    model = getattr(bundle, "model", None)
    if not isinstance(bundle, Bundle) or model is None:
        msg = f"not a bundle from get_bundle: {type(bundle).__name__}"
        raise NorimError(msg)
    return model


def _finite(values: np.ndarray, what: str) -> None:
    if not np.isfinite(values).all():
        msg = f"{what}: non-finite score (damaged bundle or unusual image)"
        raise NorimError(msg)


def _scored(bundle: Bundle, works: list[np.ndarray]):
    """Normalised z (N x branches) and the scoring result of working-size images, for either bundle format."""
    model = _model(bundle)
    if isinstance(model, hybrid.HybridModel):
        scored = hybrid.score_works(model, works, bundle.net)
        return hybrid.normalise(model, scored.raw), scored
    scored = score_works(model, works)
    return normalise(model, scored.raw), scored


def score_good_images(bundle: Bundle, images: Sequence[np.ndarray]) -> list[float]:
    """One combined score per image, in order."""
    _model(bundle)
    works = [to_working(im) for im in images]
    out: list[float] = []
    for s in range(0, len(works), _BATCH):
        z, _ = _scored(bundle, works[s : s + _BATCH])
        scores = combine(z)
        _finite(scores, "score_good_images")
        out.extend(float(v) for v in scores)
    return out


def score_image(
    bundle: Bundle, image: np.ndarray, *, with_map: bool
) -> tuple[float, np.ndarray | None, dict[str, float]]:
    """Score one image: (combined score, float32 HxW map or None, branch z-scores)."""
    model = _model(bundle)
    z, scored = _scored(bundle, [to_working(image)])
    z = z[0]
    _finite(z, "score_image")
    if isinstance(model, hybrid.HybridModel):
        parts = hybrid.parts(model, z)
        amap = hybrid.anomaly_map(scored.cell_maps[0], image.shape[0], image.shape[1]) if with_map else None
    else:
        parts = {b: float(v) for b, v in zip(BRANCHES, z, strict=True)}
        amap = anomaly_map(model, scored.cell_maps[0], image.shape[0], image.shape[1]) if with_map else None
    return float(combine(z)), amap, parts


def purge_train_cache(product_id: str) -> int:
    """Delete the product's retraining cache; bytes freed (0 when there was none)."""
    return train_cache.purge(product_id)
