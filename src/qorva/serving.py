"""The products one `watch` serves: each one's taught version, and how a dropped file finds its product.

One product: every file of the drop folder is its. Several: by subfolder, `<drop>/<product>/` (a camera
per subfolder, made when missing, each folder locked), or by the file's name, a regular expression whose
group `product` (or first group) names it, in the drop folder itself. Each product is judged with its own
taught version (its bundle, its threshold), switched on its own when it is taught again. A file whose name
names no product served here is an ERROR row, never a guess.
"""

from __future__ import annotations

import contextlib
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from qorva.errors import QorvaError
from qorva.names import printable


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
    """What a watch serves: its products in order, the taught version each is judged with, the folder of each
    camera (name -> folder; one camera named "" for a single folder) and the route of frames (None: one
    product, no routing)."""

    products: list[str]
    models: dict[str, Any]  # product -> versions.InUse
    folders: dict[str, Path] = field(default_factory=dict)
    route: Any = None

    @property
    def first(self) -> Any:
        return self.models[self.products[0]]


def serving(home: Path, products: Sequence[str], folder: Path, pattern: re.Pattern[str] | None, *,
            allow_stale: bool) -> Serving:
    """The products as they will be served; `ServingError` or the products' own errors when one cannot be."""
    from qorva import versions

    chosen = list(dict.fromkeys(products))
    models = {p: versions.in_use(home, p, allow_stale=allow_stale) for p in chosen}
    if pattern is not None:
        return Serving(chosen, models, {"": folder}, NameRoute(pattern))
    if len(chosen) == 1:
        return Serving(chosen, models, {"": folder}, None)
    folders = {p: folder / p for p in chosen}
    for p, sub in folders.items():
        if sub.exists() and not sub.is_dir():
            msg = f"{printable(sub)} is a file: product {p}'s images go into the folder {printable(sub)}"
            raise ServingError(msg)
        sub.mkdir(exist_ok=True)
    return Serving(chosen, models, folders, folder_route)


def cameras(served: Serving, params: Sequence[dict[str, Any]], make: Any) -> Any:
    """One camera (`make(params)`) per folder of `served`; several are read as one (`cameras.CameraSet`)."""
    from qorva.cameras import CameraSet

    made = [make({k: v for k, v in p.items() if v is not None}) for p in params]
    return made[0] if len(made) == 1 else CameraSet(dict(zip(served.folders, made, strict=True)))


@contextlib.contextmanager
def locks(folders: Sequence[Path]) -> Iterator[None]:
    """One watcher per folder: the drop folder's lock, and each product subfolder's."""
    from qorva.folder_lock import FolderLock

    with contextlib.ExitStack() as stack:
        seen: set[Path] = set()
        for folder in folders:
            if folder.resolve() not in seen:
                seen.add(folder.resolve())
                stack.enter_context(FolderLock(folder))
        yield


def product_list(text: str) -> list[str]:
    """`--product`: one product id, or several separated by commas (a station file's list)."""
    from qorva.home import UnsafeNameError, check_name

    ids = [t.strip() for t in text.split(",") if t.strip()]
    if not ids:
        msg = f"no product id in {text!r}"
        raise ValueError(msg)
    try:
        return list(dict.fromkeys(check_name(i, "product id") for i in ids))
    except UnsafeNameError as exc:
        raise ValueError(str(exc)) from None
