"""Where bundles and caches live in the home folder, and the one place a bundle name becomes a folder.

A bundle is `<home>/products/<product_id>/norim/<name>/`, its versions below it (`versions`), and is found by its
name alone (the inspector knows no product): `named` looks under every product, `find` goes on to the version.
Names from outside are checked (`NorimError` for an unsafe one).
"""

from __future__ import annotations

import glob
import os
from pathlib import Path

from qorva import home as _home
from qorva.home import MODULE_DIR

from ..errors import NorimError

META_FILE = "bundle.json"
ARRAYS_FILE = "model.npz"

Home = str | os.PathLike[str] | None


def check_name(value: object, what: str) -> str:
    """Return `value` if it can name exactly one folder below its parent, else raise `NorimError`."""
    try:
        return _home.check_name(value, what)
    except _home.UnsafeNameError as exc:
        raise NorimError(str(exc)) from None


def products_root(home: Home = None) -> Path:
    return _home.products_dir(_home.qorva_home(home))


def bundle_folder(product_id: str, name: str, home: Home = None) -> Path:
    """The folder a training of `product_id` writes the bundle `name` to."""
    pid = check_name(product_id, "product id")
    return _home.bundle_dir(_home.qorva_home(home), pid, check_name(name, "bundle name"))


def train_cache_dir(product_id: str, home: Home = None) -> Path:
    return _home.train_cache_dir(_home.qorva_home(home), check_name(product_id, "product id"))


def backbone_cache_dir(home: Home = None) -> Path:
    return _home.backbone_cache_dir(_home.qorva_home(home))


def owners(name: object, home: Home = None) -> list[str]:
    """The products holding a bundle called `name`, sorted; `NorimError` for an unsafe name or an unlistable home."""
    from . import versions

    bundle = check_name(name, "bundle name")
    root = products_root(home)
    try:
        products = sorted(os.scandir(root), key=lambda e: e.name)
    except FileNotFoundError:
        return []
    except OSError as exc:
        msg = f"cannot list {root}: {exc}"
        raise NorimError(msg) from exc
    return [
        e.name
        for e in products
        if not e.name.startswith(".") and e.is_dir() and versions.is_bundle_folder(Path(e.path) / MODULE_DIR / bundle)
    ]


def named(name: object, home: Home = None) -> Path:
    """The folder of the bundle called `name` with all its versions: the one product holding it; `NorimError` for
    none or several."""
    found = owners(name, home)
    root = products_root(home)
    where = root / "*" / MODULE_DIR / str(name)
    if not found:
        msg = f"bundle {name!r} not found (looked for {where}); train it with: qorva train --product P --good DIR"
        raise NorimError(msg)
    if len(found) > 1:
        msg = f"bundle name {name!r} is ambiguous: found under products {', '.join(found)} ({where}); rename one"
        raise NorimError(msg)
    return root / found[0] / MODULE_DIR / str(name)


def find(name: object, home: Home = None) -> Path:
    """The folder of the version of bundle `name` a lookup loads here: the version pinned on this thread, else the
    current one (`versions`). Every lookup of a bundle by name goes through here (loading, its description, its
    training images)."""
    from . import versions

    return versions.resolve(named(name, home), str(name))[0]


def swap_in_progress(name: object, home: Home = None) -> bool:
    """True while a bundle folder of this name is replaced (between the two renames of `bundle.swap_into_place`)."""
    if not isinstance(name, str):
        return False
    return any(products_root(home).glob(f"*/{MODULE_DIR}/.old-{glob.escape(name)}-*"))
