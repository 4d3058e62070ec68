"""Loaded bundles kept per (bundle folder, device), reloaded when the folder on disk changes."""

from __future__ import annotations

import glob
import logging
import os
import threading
import time
from collections import OrderedDict
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from qorva.home import MODULE_DIR

from . import deep
from .bundle import find_bundle, read_bundle, stamp
from .hybrid import HybridModel
from .model import Model
from .paths import NorimError, backbone_cache_dir, products_root

logger = logging.getLogger("qorva.inspection.norim.runner")

MAX_BUNDLES = 8
_SWAP_WAIT_S = 2.0
_lock = threading.Lock()
_loaded: OrderedDict[tuple[str, str], tuple[tuple[int, ...], Bundle]] = OrderedDict()
_warned: set[str] = set()
# (products folder, bundle name) -> the bundle folder found there. Listing the products folder took 3% of
# an inspection; a cached folder is used while its files can be stamped, and a bundle that disappears
# (deleted, moved to another product, caught between the two renames of a retraining) is looked up again.
_found: dict[tuple[str, str], Path] = {}


class Bundle(Mapping[str, Any]):
    """A loaded bundle: a read-only mapping of its description (`device`, `name`, `product_id`, ...) and the model."""

    def __init__(self, meta: dict[str, Any], model: Model | HybridModel, net: object = None) -> None:
        self._meta = dict(meta)
        self.model = model
        self.net = net  # the pretrained feature extractor a format-3 model scores with

    def __getitem__(self, key: str) -> Any:
        return self._meta[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._meta)

    def __len__(self) -> int:
        return len(self._meta)

    def __repr__(self) -> str:
        m = self._meta
        return f"Bundle({m.get('name')!r}, product={m.get('product_id')!r}, device={m.get('device')!r})"


def resolve_device(device: object) -> tuple[str, bool]:
    """The device actually used and whether a GPU request fell back to the CPU."""
    if device is None:
        return "cpu", False
    if isinstance(device, str):
        d = device.strip().lower()
        if d in ("", "auto", "cpu"):
            return "cpu", False
        if d == "cuda" or (d.startswith("cuda:") and d[5:].isdigit()):
            return "cpu", True
    msg = f"unknown device {device!r}; use 'cpu', 'auto' or 'cuda[:N]' (runs on the CPU)"
    raise NorimError(msg)


def _swap_in_progress(name: object, home: str | os.PathLike[str] | None) -> bool:
    if not isinstance(name, str):
        return False
    return any(products_root(home).glob(f"*/{MODULE_DIR}/.old-{glob.escape(name)}-*"))


def get(name: object, device: object = None, home: str | os.PathLike[str] | None = None) -> Bundle:
    used, fell_back = resolve_device(device)
    deadline = time.monotonic() + _SWAP_WAIT_S
    while True:
        try:
            return _get(name, device, used, fell_back, home)
        except NorimError:
            # Retraining replaces a bundle with two renames; a reader caught between them waits for the
            # new bundle instead of reporting a missing one.
            if time.monotonic() > deadline or not _swap_in_progress(name, home):
                raise
            time.sleep(0.01)


def _located(name: object, home: str | os.PathLike[str] | None) -> tuple[Path, tuple[int, ...]]:
    """The bundle folder of `name` and its stamp, listing the products folder only on a cache miss."""
    where = (str(products_root(home)), name) if isinstance(name, str) else None
    with _lock:
        path = _found.get(where) if where is not None else None
    if path is not None:
        try:
            return path, stamp(path)
        except NorimError:
            pass
    path = find_bundle(name, home)
    current = stamp(path)
    if where is not None:
        with _lock:
            _found[where] = path
    return path, current


def _get(name: object, device: object, used: str, fell_back: bool, home: str | os.PathLike[str] | None) -> Bundle:
    path, current = _located(name, home)
    key = (str(path), str(device))
    with _lock:
        hit = _loaded.get(key)
        if hit is not None and hit[0] == current:
            _loaded.move_to_end(key)
            return hit[1]
    # Loading happens outside the lock so a slow disk does not stall scoring of other bundles; two threads
    # may then load the same bundle once each, which is harmless.
    model, meta = read_bundle(path)
    net = None
    if isinstance(model, HybridModel):
        net, used, fell_back = _network(path, device, home)
    meta = {**meta, "device": used, "requested_device": device, "path": str(path)}
    bundle = Bundle(meta, model, net)
    warn_key = f"{path}|{meta.get('build_id')}"
    with _lock:
        if fell_back and warn_key not in _warned:
            _warned.add(warn_key)
            logger.warning("norim bundle %s: device %r is not available here; running on the CPU", path, device)
        _loaded[key] = (current, bundle)
        _loaded.move_to_end(key)
        while len(_loaded) > MAX_BUNDLES:
            _loaded.popitem(last=False)
    return bundle


def _network(path, device: object, home: str | os.PathLike[str] | None) -> tuple[object, str, bool]:
    """The pretrained feature extractor for a format-3 bundle on `device`, the device it runs on, and whether a
    GPU request fell back to the CPU (ONNX Runtime has logged why)."""
    wanted = (
        "cpu" if device is None or str(device).strip().lower() in ("", "auto", "cpu") else str(device).strip().lower()
    )
    try:
        net = deep.backbone(wanted, backbone_cache_dir(home))
    except deep.DeepUnavailable as exc:
        msg = (
            f"bundle {path} needs the pretrained features, which cannot run here: {exc}; "
            "or retrain it with --backbone none"
        )
        raise NorimError(msg) from None
    return net, net.device, False


def clear() -> None:
    """Forget every loaded bundle (tests, or a host that wants the memory back)."""
    with _lock:
        _loaded.clear()
        _warned.clear()
        _found.clear()
