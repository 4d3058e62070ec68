"""The products one `watch` serves: each one's taught state, and how a dropped file finds its product.

One product: every file of the drop folder is its. Several: by subfolder, `<drop>/<product>/` (a camera
per subfolder, made when missing), or by the file's name, a regular expression whose group `product` (or
first group) names it, in the drop folder itself. Each product is judged with its own taught state: its
bundle, its threshold. A file whose name names no product served here is an ERROR row, never a guess.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from qorva import calibration
from qorva.errors import QorvaError
from qorva.names import printable
from qorva.products import load_calibration, load_state


class ServingError(QorvaError):
    """The products cannot be served as asked."""


class NameRoute:
    """The product of a file from its name: `pattern` searched in the name, its group `product` (or first)."""

    def __init__(self, pattern: re.Pattern[str]) -> None:
        self.pattern = pattern
        self.why = f"its name does not match --product-pattern {pattern.pattern!r} with a product served here"

    def __call__(self, meta: dict[str, Any]) -> str | None:
        source = str(meta.get("source_path") or meta.get("source_file") or "")
        found = self.pattern.search(Path(source).name)
        if found is None:
            return None
        return found.group("product") if "product" in self.pattern.groupindex else found.group(1)


def folder_route(meta: dict[str, Any]) -> str | None:
    """The product of a frame taken from the folder `<drop>/<product>/` (set by `cameras.CameraSet`)."""
    return meta.get("route")


def product_pattern(text: str) -> re.Pattern[str]:
    """`--product-pattern`: a regular expression with a group that names the product."""
    try:
        pattern = re.compile(text)
    except re.error as exc:
        msg = f"not a regular expression: {text!r} ({exc})"
        raise ValueError(msg) from None
    if not pattern.groups:
        msg = f"{text!r} has no group naming the product, e.g. '^(?P<product>[A-Za-z0-9-]+)_'"
        raise ValueError(msg)
    return pattern


@dataclass
class Serving:
    """What a watch serves: its products in order, their states and teach records, the folder of each
    camera (name -> folder; one camera named "" for a single folder) and the route of frames (None: one
    product, no routing)."""

    products: list[str]
    states: dict[str, Any]
    taught: dict[str, dict[str, Any]]
    folders: dict[str, Path] = field(default_factory=dict)
    route: Any = None

    @property
    def several(self) -> bool:
        return len(self.products) > 1


def serving(home: Path, products: Sequence[str], folder: Path, pattern: re.Pattern[str] | None, *,
            allow_stale: bool) -> Serving:
    """The products as they will be served; `ServingError` or the products' own errors when one cannot be."""
    chosen = list(dict.fromkeys(products))
    states = {p: load_state(home, p) for p in chosen}
    taught = {p: load_calibration(home, p) for p in chosen}
    for p in chosen:
        calibration.check_fresh(p, taught[p], allow_stale=allow_stale, home=home)
    if pattern is not None:
        return Serving(chosen, states, taught, {"": folder}, NameRoute(pattern))
    if len(chosen) == 1:
        return Serving(chosen, states, taught, {"": folder}, None)
    folders = {p: folder / p for p in chosen}
    for p, sub in folders.items():
        if sub.exists() and not sub.is_dir():
            msg = f"{printable(sub)} is a file: product {p}'s images go into the folder {printable(sub)}"
            raise ServingError(msg)
        sub.mkdir(exist_ok=True)
    return Serving(chosen, states, taught, folders, folder_route)
