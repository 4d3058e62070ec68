"""The qorva home folder: where it is, and every path under it.

Layout (everything a command writes lives here):

    <home>/products/<product>/norim/<bundle>/   trained bundles (`qorva train`)
    <home>/products/<product>/norim/state.json  taught model state (`qorva teach`)
    <home>/products/<product>/reviews/<good|defect>/  images people reviewed (`qorva review`, the live page)
    <home>/_train/norim/<product>/              retraining cache (`qorva purge` removes it)
    <home>/_cache/backbone/                     the pretrained network as an ONNX graph, built on first use
    <home>/results/results.db                   one row per inspected image (`qorva watch`)
    <home>/results/overlays/<product>/<date>/   anomaly overlays of NG images

Product ids and bundle names come from outside (command lines, taught states); each is checked with
`check_name` before it becomes a folder name.
"""

from __future__ import annotations

import contextlib
import os
import unicodedata
from collections.abc import Iterator
from pathlib import Path

ENV_VAR = "QORVA_HOME"
# The inspection module's subfolder of a product: its bundles and its taught state.
MODULE_DIR = "norim"
STATE_FILE = "state.json"
DB_NAME = "results.db"

# Windows refuses these as file names whatever the extension; bundles and caches must move between machines.
_RESERVED = {"con", "prn", "aux", "nul", *(f"com{i}" for i in range(10)), *(f"lpt{i}" for i in range(10))}
_MAX_NAME_BYTES = 200


class UnsafeNameError(ValueError):
    """A product id or bundle name that cannot name exactly one folder; callers turn it into their own error."""


def default_home() -> Path:
    """The per-user default folder.

    %LOCALAPPDATA%\\qorva on Windows; $XDG_DATA_HOME/qorva, else ~/.local/share/qorva, elsewhere.
    """
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA") or str(Path.home() / "AppData" / "Local")
        return Path(base) / "qorva"
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base) / "qorva"


def qorva_home(override: str | os.PathLike[str] | None = None) -> Path:
    """The home folder: `override` if given, else $QORVA_HOME, else the per-user default (read at every call)."""
    if override:
        return Path(override).expanduser()
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).expanduser()
    return default_home()


@contextlib.contextmanager
def use(home: str | os.PathLike[str]) -> Iterator[Path]:
    """Make `home` the home folder of the calls made inside the block, then restore the previous one.

    The framework's `teach(images, config)` and `inspect(image, state)` carry no home folder, so the model
    runner finds bundles through $QORVA_HOME, read at every call. A command or the demo sets it here for
    the time it runs instead of leaving it set, so a process that works with several homes (the demo,
    the tests) never reads one run's bundles from another's.
    """
    path = Path(home)
    previous = os.environ.get(ENV_VAR)
    os.environ[ENV_VAR] = str(path)
    try:
        yield path
    finally:
        if previous is None:
            os.environ.pop(ENV_VAR, None)
        else:
            os.environ[ENV_VAR] = previous


def check_name(value: object, what: str) -> str:
    """Return `value` if it can name exactly one folder below its parent, else raise `UnsafeNameError`."""
    if not isinstance(value, str):
        msg = f"{what} must be text, got {type(value).__name__} {value!r}"
        raise UnsafeNameError(msg)
    problem = _name_problem(value)
    if problem:
        msg = f"{what} {value!r} {problem}; use letters, digits, '-', '_' (no separators, '..' or leading dot)"
        raise UnsafeNameError(msg)
    return value


def _name_problem(value: str) -> str | None:
    if not value or not value.strip():
        return "is empty"
    if value.startswith("."):
        return "starts with a dot"
    if any(c in value for c in "/\\:"):
        return "contains a path separator or drive colon"
    if any(unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp") for c in value):
        return "contains a control character"
    if value != value.strip() or value.endswith("."):
        return "has leading/trailing spaces or a trailing dot"
    if value.split(".")[0].lower() in _RESERVED:
        return "is a reserved device name"
    if len(value.encode("utf-8")) > _MAX_NAME_BYTES:
        return f"is longer than {_MAX_NAME_BYTES} bytes"
    if Path(value).is_absolute() or Path(value).name != value:
        return "is not a plain folder name"
    return None


def products_dir(home: Path) -> Path:
    return home / "products"


def product_dir(home: Path, product_id: str) -> Path:
    return products_dir(home) / check_name(product_id, "product id")


def bundle_dir(home: Path, product_id: str, name: str) -> Path:
    return product_dir(home, product_id) / MODULE_DIR / check_name(name, "bundle name")


def state_path(home: Path, product_id: str) -> Path:
    return product_dir(home, product_id) / MODULE_DIR / STATE_FILE


def review_dir(home: Path, product_id: str, decision: str) -> Path:
    """The product's reviewed images of one decision ("good": overruled NGs, "defect": confirmed defects)."""
    return product_dir(home, product_id) / "reviews" / check_name(decision, "decision")


def train_cache_dir(home: Path, product_id: str) -> Path:
    return home / "_train" / MODULE_DIR / check_name(product_id, "product id")


def backbone_cache_dir(home: Path) -> Path:
    return home / "_cache" / "backbone"


def db_path(home: Path) -> Path:
    return home / "results" / DB_NAME


def overlays_dir(home: Path, product_id: str) -> Path:
    return home / "results" / "overlays" / check_name(product_id, "product id")
