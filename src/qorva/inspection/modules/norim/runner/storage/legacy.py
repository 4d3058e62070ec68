"""Bundles of formats 2 and 3, read into today's model: their descriptions and array names, translated.

- 2: the weight-free model (`--backbone none`): the patch, global and logical branches on the filter-bank
  features, all kept, the map from the patch branch. Its arrays carry no branch name (`bank`, `img_prec`, ...).
- 3: the pretrained branch beside them, the kept ones chosen per product; the weight-free branches' arrays
  (all of them, kept or not) under `classic_`, the pretrained ones under `deep_`; the map from the deep branch.
Both store the arrays as today's branches do (a deep precision packed, a filter precision in full), so reading
them is renaming.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

VERSIONS = (2, 3)
_KINDS = ("gauss", "knn")
# Today's array name of each weight-free branch -> its name in formats 2 and 3 (there under "classic_").
_WEIGHT_FREE = {
    "patch.feat_mean": "feat_mean", "patch.feat_scale": "feat_scale", "patch.loc_mean": "loc_mean",
    "patch.loc_prec": "loc_prec", "patch.whiten": "knn_whiten", "patch.bank": "bank", "patch.bank_r": "bank_r",
    "global.feat_mean": "feat_mean", "global.feat_scale": "feat_scale", "global.mean": "img_mean",
    "global.prec": "img_prec", "logical.palette": "palette", "logical.center": "logic_center",
    "logical.scale": "logic_scale", "logical.tol": "logic_tol",
}  # fmt: skip
_DEEP = {f"deep.{f}": f"deep_{f}" for f in ("mean", "proj", "loc_mean", "loc_prec", "bank")}


@dataclass(frozen=True)
class Layout:
    """What a bundle's arrays are: the scores kept, the map, each stored branch's description, and (for the older
    formats) the stored name of each array ("branch.field" -> name)."""

    active: tuple[str, ...]
    map_branch: str
    map_scale: float
    branches: dict[str, dict[str, Any]]
    names: dict[str, str] = field(default_factory=dict)
    align: dict[str, Any] | None = None  # the alignment's description (format 5 on)

    def stored(self, key: str) -> str:
        return self.names.get(key, key)


def same_features(meta: dict[str, Any]) -> bool:
    """Whether a bundle of this description was made on today's features (formats 2 and 3 name their kind)."""
    return meta.get("format_version") not in VERSIONS or meta.get("kind") in _KINDS


def layout(meta: dict[str, Any]) -> Layout:
    """The layout a format-2 or format-3 description states; ValueError (or KeyError) for one it cannot."""
    novel = {"novel_d2": float(meta["novel_d2"])}
    if meta["format_version"] == 2:
        kind = meta["kind"]
        branches = {"patch": {"kind": kind}, "global": {"angle_blind": kind == "knn"}, "logical": novel}
        return Layout(("patch", "global", "logical"), "patch", float(meta["map_scale"]), branches, _WEIGHT_FREE)
    active = meta["active"]
    if not isinstance(active, list) or not active or meta.get("classic_kind") not in _KINDS:
        msg = f"branches {active!r}"
        raise ValueError(msg)
    kind = meta["classic_kind"]
    deep = {"kind": meta["kind"], "variant": meta.get("variant"), "taps": meta.get("taps"), "dims": meta.get("dims")}
    weight_free = {"patch": {"kind": kind}, "global": {"angle_blind": kind == "knn"}, "logical": novel}
    branches = {"deep": deep, **{b: d for b, d in weight_free.items() if b in active}}
    names = {**{k: f"classic_{v}" for k, v in _WEIGHT_FREE.items()}, **_DEEP}
    return Layout(tuple(active), "deep", float(meta["map_scale"]), branches, names)
