from __future__ import annotations

import hashlib
import json
import logging
import sys
import threading
from pathlib import Path

import cv2
import numpy as np
import onnx
import pytest
from onnx import numpy_helper
from skimage import data as photos

from qorva.inspection.modules.norim.runner.inputs.pretrained.backbone import Backbone
from qorva.inspection.modules.norim.runner.inputs.pretrained.weights import load_variant

RUNTIMES = ("onnxruntime", "opencv")


@pytest.fixture(scope="module")
def cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("backbone-cache")


def photo(name: str, size: int = 224) -> np.ndarray:
    """A photograph shipped with scikit-image as OpenCV holds it (BGR): shorter side 256/224 of `size`, centre crop."""
    bgr = np.ascontiguousarray(getattr(photos, name)()[:, :, ::-1])
    h, w = bgr.shape[:2]
    scale = round(size * 256 / 224) / min(h, w)
    bgr = cv2.resize(bgr, (round(w * scale), round(h * scale)), interpolation=cv2.INTER_AREA)
    y, x = (bgr.shape[0] - size) // 2, (bgr.shape[1] - size) // 2
    return np.ascontiguousarray(bgr[y : y + size, x : x + size])


# ImageNet classes: 281-287 are the domestic and small wild cats, 967 is espresso.
@pytest.mark.parametrize("runtime", RUNTIMES)
@pytest.mark.parametrize(
    ("name", "classes"),
    [
        pytest.param("chelsea", set(range(281, 288)), id="chelsea-cat"),
        pytest.param("coffee", {967}, id="coffee-espresso"),
    ],
)
def test_photograph_lands_in_its_imagenet_class(cache: Path, runtime: str, name: str, classes: set[int]) -> None:
    net = Backbone("lite0", (), logits=True, cache_dir=cache, runtime=runtime)
    logits = net([photo(name)])["logits"]
    assert logits.shape == (1, 1000)
    assert classes & set(np.argsort(-logits[0])[:5].tolist())


def _conv(x: np.ndarray, w: np.ndarray, stride: int = 1, depthwise: bool = False) -> np.ndarray:
    p = w.shape[-1] // 2
    win = np.lib.stride_tricks.sliding_window_view(np.pad(x, ((0, 0), (p, p), (p, p))), w.shape[-2:], axis=(1, 2))
    win = win[:, ::stride, ::stride]
    return np.einsum("chwij,cij->chw", win, w[:, 0]) if depthwise else np.einsum("chwij,ocij->ohw", win, w)


@pytest.mark.parametrize("runtime", RUNTIMES)
def test_stage2_matches_a_plain_numpy_forward_pass(cache: Path, runtime: str) -> None:
    """Unfolded batch norm, explicit RGB normalisation: catches colour order, scaling, folding and padding slips."""
    sd = {k: v.astype(np.float64) for k, v in load_variant("lite0").items()}

    def bn(x: np.ndarray, key: str, relu6: bool = True) -> np.ndarray:
        c = (slice(None), None, None)
        y = (x - sd[f"{key}.running_mean"][c]) / np.sqrt(sd[f"{key}.running_var"][c] + 1e-3)
        y = y * sd[f"{key}.weight"][c] + sd[f"{key}.bias"][c]
        return np.clip(y, 0, 6) if relu6 else y

    image = photo("chelsea", 64)[10:51, 3:56]  # odd sizes: every map must have ceil(side / stride) cells
    x = image[:, :, ::-1].transpose(2, 0, 1) / 255.0
    x = (x - np.array([0.485, 0.456, 0.406])[:, None, None]) / np.array([0.229, 0.224, 0.225])[:, None, None]
    x = bn(_conv(x, sd["_conv_stem.weight"], 2), "_bn0")
    x = bn(_conv(x, sd["_blocks.0._depthwise_conv.weight"], depthwise=True), "_blocks.0._bn1")
    x = bn(_conv(x, sd["_blocks.0._project_conv.weight"]), "_blocks.0._bn2", relu6=False)
    for i, stride in ((1, 2), (2, 1)):
        b = f"_blocks.{i}"
        y = bn(_conv(x, sd[f"{b}._expand_conv.weight"]), f"{b}._bn0")
        y = bn(_conv(y, sd[f"{b}._depthwise_conv.weight"], stride, depthwise=True), f"{b}._bn1")
        y = bn(_conv(y, sd[f"{b}._project_conv.weight"]), f"{b}._bn2", relu6=False)
        x = x + y if stride == 1 else y
    batch = [image, np.ascontiguousarray(image[::-1])]  # a second image: rows of a batch must not mix
    got = Backbone("lite0", (2,), cache_dir=cache, runtime=runtime)(batch)["stage2"][0]
    assert got.shape == x.shape == (24, 11, 14)
    assert np.abs(got - x).max() <= 1e-4 * np.abs(x).max()


def _retag(path: Path) -> None:
    model = onnx.load(path)
    model.metadata_props[0].value = "0" * 64 + " stage1 graph-v1"
    path.write_bytes(model.SerializeToString())


def _tamper(path: Path) -> None:
    """One weight changed, the tag kept: the graph still says it is the right one."""
    model = onnx.load(path)
    weights = model.graph.initializer[0]
    changed = numpy_helper.to_array(weights).copy()
    changed.flat[0] += 1.0
    weights.CopyFrom(numpy_helper.from_array(changed, weights.name))
    path.write_bytes(model.SerializeToString())


def _recorded(edit):
    """The graph edited and its record rewritten to match: intact bytes that the runtime refuses."""

    def damage(path: Path) -> None:
        model = onnx.load(path)
        edit(model)
        data = model.SerializeToString()
        path.write_bytes(data)
        record = path.with_name(path.name + ".json")
        record.write_text(json.dumps({**json.loads(record.read_text()), "sha256": hashlib.sha256(data).hexdigest()}))

    return damage


def _unknown_op(model) -> None:
    model.graph.node[0].op_type = "NoSuchOp"


def _wrong_weight_shape(model) -> None:
    conv = next(n for n in model.graph.node if n.op_type == "Conv")
    stem = next(t for t in model.graph.initializer if t.name == conv.input[1])
    stem.CopyFrom(numpy_helper.from_array(np.zeros((3, 7, 1, 1), np.float32), stem.name))


@pytest.mark.parametrize(
    ("damage", "rebuilt", "logged"),
    [
        pytest.param(lambda p: None, False, None, id="valid-cache-is-used"),
        pytest.param(lambda p: p.unlink(), True, None, id="missing"),
        pytest.param(lambda p: p.with_name(p.name + ".json").unlink(), True, logging.INFO, id="made-before-records"),
        pytest.param(_retag, True, logging.WARNING, id="other-weights-hash"),
        pytest.param(_tamper, True, logging.WARNING, id="tampered-tag-kept"),
        pytest.param(lambda p: p.write_bytes(p.read_bytes()[:5000]), True, logging.WARNING, id="truncated"),
        pytest.param(_recorded(_unknown_op), True, logging.WARNING, id="unknown-op"),
        pytest.param(_recorded(_wrong_weight_shape), True, logging.WARNING, id="does-not-run"),
    ],
)
def test_cache_is_rebuilt_unless_it_is_the_graph_recorded_and_runs(tmp_path: Path, caplog, damage, rebuilt, logged):
    first = Backbone("lite0", (1,), cache_dir=tmp_path)
    assert first.rebuilt and first.model_path.exists()
    damage(first.model_path)
    with caplog.at_level(logging.INFO, logger="qorva.inspection.norim.runner"):
        again = Backbone("lite0", (1,), cache_dir=tmp_path)
    records = [r.levelno for r in caplog.records if r.name == "qorva.inspection.norim.runner"]
    assert again.rebuilt == rebuilt and records == ([logged] if logged else [])
    assert onnx.load(again.model_path).metadata_props[0].value == first.tag
    # Graph and record, no temporary file left behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == [first.model_path.name, first.record_path.name]
    image = photo("coffee", 64)
    np.testing.assert_array_equal(first([image])["stage1"], again([image])["stage1"])


def test_cuda_without_its_provider_runs_on_the_cpu_with_one_warning(
    cache: Path, caplog: pytest.LogCaptureFixture
) -> None:
    ort = pytest.importorskip("onnxruntime")
    if "CUDAExecutionProvider" in ort.get_available_providers():
        pytest.skip("this machine has the CUDA provider")
    with caplog.at_level(logging.WARNING):
        net = Backbone("lite0", (1,), cache_dir=cache, device="cuda")
        net([photo("coffee", 32)])
    assert net.device == "cpu"
    assert len(caplog.records) == 1 and "cuda" in caplog.records[0].getMessage()


def test_opencv_runs_the_graph_when_onnxruntime_is_missing(cache: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "onnxruntime", None)  # makes `import onnxruntime` raise ImportError
    assert Backbone("lite0", (1,), cache_dir=cache).runtime == "opencv"


def test_concurrent_opencv_calls_give_each_caller_its_own_result(cache: Path) -> None:
    net = Backbone("lite0", (3,), cache_dir=cache, runtime="opencv")
    images = [photo(n, 96) for n in ("coffee", "chelsea", "rocket", "astronaut")]
    expected = [net([im])["stage3"] for im in images]
    wrong: list[int] = []

    def work(i: int) -> None:
        for _ in range(10):
            if not np.array_equal(net([images[i]])["stage3"], expected[i]):
                wrong.append(i)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not wrong and not any(t.is_alive() for t in threads)
