"""Loaded bundles kept per (version folder, device), reloaded when the folder on disk changes."""

from __future__ import annotations

import logging
import threading
import time
from collections import OrderedDict
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from ..errors import NorimError
from ..inputs import embed
from ..model import NorimModel
from . import bundle, place, versions

logger = logging.getLogger("qorva.inspection.norim.runner")

MAX_BUNDLES = 8
_SWAP_WAIT_S = 2.0
_lock = threading.Lock()
_loaded: OrderedDict[tuple[str, str], tuple[tuple[int, ...], Bundle]] = OrderedDict()
_warned: set[str] = set()
# (products folder, bundle name) -> the bundle's folder found there. Listing the products folder took 3% of
# an inspection; a cached folder is used while its version's files can be stamped, and a bundle that disappears
# (deleted, moved to another product, caught between the two renames of a move to versions) is looked up again.
_found: dict[tuple[str, str], Path] = {}


class Bundle(Mapping[str, Any]):
    """A loaded bundle: a read-only mapping of its description (`device`, `name`, `product_id`, ...) and the model."""

    def __init__(self, meta: dict[str, Any], model: NorimModel, net: object = None) -> None:
        self._meta = dict(meta)
        self.model = model
        self.net = net  # the pretrained network the deep branch scores with (None without one)

    def __getitem__(self, key: str) -> Any:
        return self._meta[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._meta)

    def __len__(self) -> int:
        return len(self._meta)

    def __repr__(self) -> str:
        m = self._meta
        return f"Bundle({m.get('name')!r}, product={m.get('product_id')!r}, device={m.get('device')!r})"


def get(name: object, device: object = None, home: place.Home = None) -> Bundle:
    wanted = embed.parse_device(device)
    deadline = time.monotonic() + _SWAP_WAIT_S
    while True:
        try:
            return _get(name, device, wanted, home)
        except NorimError:
            # Retraining replaces a bundle with two renames; a reader caught between them waits for the
            # new bundle instead of reporting a missing one.
            if time.monotonic() > deadline or not place.swap_in_progress(name, home):
                raise
            time.sleep(0.01)


def _located(name: object, home: place.Home) -> tuple[Path, tuple[int, ...]]:
    """The folder of the version of `name` to load and its stamp, listing the products folder only on a cache miss."""
    where = (str(place.products_root(home)), name) if isinstance(name, str) else None
    with _lock:
        folder = _found.get(where) if where is not None else None
    if folder is not None:
        try:
            path, _ = versions.resolve(folder, name)
            return path, bundle.stamp(path)
        except NorimError:
            pass
    folder = place.named(name, home)
    path, _ = versions.resolve(folder, str(name))
    current = bundle.stamp(path)
    if where is not None:
        with _lock:
            _found[where] = folder
    return path, current


def _get(name: object, device: object, wanted: str, home: place.Home) -> Bundle:
    path, current = _located(name, home)
    key = (str(path), str(device))
    with _lock:
        hit = _loaded.get(key)
        if hit is not None and hit[0] == current:
            _loaded.move_to_end(key)
            return hit[1]
    # Loading happens outside the lock so a slow disk does not stall scoring of other bundles; two threads
    # may then load the same bundle once each, which is harmless.
    model, meta = bundle.read(path)
    net = _network(path, wanted, home) if model.needs_network else None
    used = net.device if net is not None else "cpu"
    meta = {**meta, "device": used, "requested_device": device, "path": str(path)}
    loaded = Bundle(meta, model, net)
    warn_key = f"{path}|{meta.get('build_id')}"
    with _lock:
        # The weight-free branches run on the CPU; a network that cannot use the GPU has said so itself.
        if net is None and wanted != "cpu" and warn_key not in _warned:
            _warned.add(warn_key)
            logger.warning("norim bundle %s: device %r is not available here; running on the CPU", path, device)
        _loaded[key] = (current, loaded)
        _loaded.move_to_end(key)
        while len(_loaded) > MAX_BUNDLES:
            _loaded.popitem(last=False)
    return loaded


def _network(path: Path, device: str, home: place.Home) -> Any:
    """The pretrained network a bundle with the deep branch scores with, on `device` where it can run."""
    try:
        return embed.network(device, place.backbone_cache_dir(home))
    except embed.DeepUnavailable as exc:
        msg = (
            f"bundle {path} needs the pretrained features, which cannot run here: {exc}; "
            "or retrain it with --backbone none"
        )
        raise NorimError(msg) from None


def clear() -> None:
    """Forget every loaded bundle (tests, or a host that wants the memory back)."""
    with _lock:
        _loaded.clear()
        _warned.clear()
        _found.clear()
