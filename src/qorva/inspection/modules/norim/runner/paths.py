"""Where bundles and the retraining cache live, and the checks that keep outside names inside them."""

from __future__ import annotations

import os
import unicodedata
from pathlib import Path

from qorva.home import qorva_home


class NorimError(Exception):
    """A failure of the model runner that the user can act on (missing or damaged bundle, bad name or device)."""


# Windows refuses these as file names whatever the extension; bundles and caches must move between machines.
_RESERVED = {"con", "prn", "aux", "nul", *(f"com{i}" for i in range(10)), *(f"lpt{i}" for i in range(10))}
_MAX_NAME_BYTES = 200


def check_name(value: object, what: str) -> str:
    """Return `value` if it can name exactly one folder below its parent, else raise `NorimError`."""
    if not isinstance(value, str):
        msg = f"{what} must be text, got {type(value).__name__} {value!r}"
        raise NorimError(msg)
    problem = None
    if not value or not value.strip():
        problem = "is empty"
    elif value.startswith("."):
        problem = "starts with a dot"
    elif any(c in value for c in "/\\:"):
        problem = "contains a path separator or drive colon"
    elif any(unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp") for c in value):
        problem = "contains a control character"
    elif value != value.strip() or value.endswith("."):
        problem = "has leading/trailing spaces or a trailing dot"
    elif value.split(".")[0].lower() in _RESERVED:
        problem = "is a reserved device name"
    elif len(value.encode("utf-8")) > _MAX_NAME_BYTES:
        problem = f"is longer than {_MAX_NAME_BYTES} bytes"
    elif os.path.isabs(value) or Path(value).name != value:
        problem = "is not a plain folder name"
    if problem:
        msg = f"{what} {value!r} {problem}; use letters, digits, '-', '_' (no separators, '..' or leading dot)"
        raise NorimError(msg)
    return value


def products_root(home: str | os.PathLike[str] | None = None) -> Path:
    return qorva_home(home) / "products"


def bundle_dir(product_id: str, name: str, home: str | os.PathLike[str] | None = None) -> Path:
    pid = check_name(product_id, "product id")
    return products_root(home) / pid / "norim" / check_name(name, "bundle name")


def train_cache_dir(product_id: str, home: str | os.PathLike[str] | None = None) -> Path:
    return qorva_home(home) / "_train" / "norim" / check_name(product_id, "product id")
