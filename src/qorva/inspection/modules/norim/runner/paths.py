"""The runner's view of the home folder: bundle and retraining-cache paths, with unsafe names as `NorimError`."""

from __future__ import annotations

import os
from pathlib import Path

from qorva import home as _home


class NorimError(Exception):
    """A failure of the model runner that the user can act on (missing or damaged bundle, bad name or device)."""


def check_name(value: object, what: str) -> str:
    """Return `value` if it can name exactly one folder below its parent, else raise `NorimError`."""
    try:
        return _home.check_name(value, what)
    except _home.UnsafeNameError as exc:
        raise NorimError(str(exc)) from None


def products_root(home: str | os.PathLike[str] | None = None) -> Path:
    return _home.products_dir(_home.qorva_home(home))


def bundle_dir(product_id: str, name: str, home: str | os.PathLike[str] | None = None) -> Path:
    pid = check_name(product_id, "product id")
    return _home.bundle_dir(_home.qorva_home(home), pid, check_name(name, "bundle name"))


def train_cache_dir(product_id: str, home: str | os.PathLike[str] | None = None) -> Path:
    return _home.train_cache_dir(_home.qorva_home(home), check_name(product_id, "product id"))


def backbone_cache_dir(home: str | os.PathLike[str] | None = None) -> Path:
    return _home.backbone_cache_dir(_home.qorva_home(home))
