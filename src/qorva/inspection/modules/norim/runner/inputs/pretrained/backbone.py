"""ImageNet EfficientNet-Lite features of uint8 BGR images: the graph built once, cached, run by ONNX Runtime.

OpenCV DNN runs the same graph where ONNX Runtime is not installed. Beside the cached graph lies a record of the
digest of its bytes and its tag (the weights' sha256, the outputs and the graph version). A graph whose bytes or
tag differ from the record, or that the runtime cannot open or run on a small image, is rebuilt from the weights
package with one logged line: a damaged cache costs one rebuild, never a wrong score or a failing command.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import logging
import os
import threading
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from qorva.files import write_atomic, write_json_atomic

from .device import cuda_index
from .network import INPUT, LOGITS, STAGE_STRIDES, build_onnx, stage_output
from .weights import load_variant, variant_info

logger = logging.getLogger("qorva.inspection.norim.runner")

# Raise when the graph built from the same weights changes (layout, folding, padding): old caches then rebuild.
GRAPH_VERSION = 1
_TAG_KEY = "qorva.backbone"
_RUNTIMES = ("auto", "onnxruntime", "opencv")


class Backbone:
    """Stage outputs (and optionally the ImageNet logits) of a pretrained EfficientNet-Lite, safe across threads.

    `taps` are stage numbers 1..7 (`STAGE_STRIDES` gives their strides). `device` is 'cpu' or 'cuda[:N]'; CUDA
    needs ONNX Runtime's CUDA provider (the `onnxruntime-gpu` wheel) and falls back to the CPU with one warning.
    `threads` is ONNX Runtime's intra-op thread count; under OpenCV DNN it can only be set process-wide
    (`cv2.setNumThreads`), which this does. `runtime` 'auto' takes ONNX Runtime when it imports, else OpenCV DNN.
    """

    def __init__(
        self,
        variant: str = "lite0",
        taps: Iterable[int] = (3, 4),
        *,
        cache_dir: str | os.PathLike[str],
        device: str = "cpu",
        threads: int = 1,
        logits: bool = False,
        runtime: str = "auto",
    ) -> None:
        info = variant_info(variant)
        self.variant = variant
        requested = tuple(taps)
        self.taps = tuple(sorted(set(requested)))
        if any(type(t) is not int or t not in STAGE_STRIDES for t in self.taps) or not (self.taps or logits):
            msg = f"Backbone: taps must be stage numbers 1..7 (or logits=True), got {requested!r}"
            raise ValueError(msg)
        if type(threads) is not int or threads < 1:
            msg = f"Backbone: threads must be a positive integer, got {threads!r}"
            raise ValueError(msg)
        if runtime not in _RUNTIMES:
            msg = f"Backbone: runtime must be one of {', '.join(_RUNTIMES)}, got {runtime!r}"
            raise ValueError(msg)
        self.outputs = tuple(stage_output(t) for t in self.taps) + ((LOGITS,) if logits else ())
        self.strides = {stage_output(t): STAGE_STRIDES[t] for t in self.taps}
        try:
            cuda_id = cuda_index(device)
        except ValueError as exc:
            msg = f"Backbone: {exc}"
            raise ValueError(msg) from None
        self.tag = f"{info.sha256} {','.join(self.outputs)} graph-v{GRAPH_VERSION}"
        name = f"efficientnet-{variant}-{info.sha256[:16]}-{'-'.join(self.outputs)}.onnx"
        self.model_path = Path(cache_dir) / name
        self.record_path = self.model_path.with_name(name + ".json")
        self._lock = threading.Lock()
        self._session: Any = None
        self._net: Any = None
        self.runtime, self.device, self.rebuilt = self._load(_onnxruntime(runtime), cuda_id, threads)

    def __call__(self, batch: Sequence[np.ndarray] | np.ndarray) -> dict[str, np.ndarray]:
        """The requested outputs (float32, NCHW) of a batch of uint8 BGR images of one size, keyed by output name."""
        x = _as_batch(batch)
        if self._session is not None:
            values = self._session.run(list(self.outputs), {INPUT: x})
        else:
            # A cv2.dnn net keeps its input and buffers on itself: two threads in forward() would corrupt both.
            with self._lock:
                self._net.setInput(x, INPUT)
                values = self._net.forward(list(self.outputs))
        return {name: np.asarray(v, dtype=np.float32) for name, v in zip(self.outputs, values, strict=True)}

    def __repr__(self) -> str:
        return f"Backbone({self.variant!r}, outputs={self.outputs}, runtime={self.runtime!r}, device={self.device!r})"

    def _load(self, ort: Any, cuda_id: int | None, threads: int) -> tuple[str, str, bool]:
        """Open the cached graph, or build it: the runtime, the device and whether the graph was (re)built."""
        model, problem = self._cached_model()
        if model is not None:
            try:
                return (*self._open(model, ort, cuda_id, threads), False)
            except Exception as exc:  # noqa: BLE001 - a cached graph that will not run is rebuilt, whatever the error
                problem = (logging.WARNING, f"it does not run here ({type(exc).__name__}: {str(exc)[:200]})")
        if problem is not None:
            logger.log(problem[0], "rebuilding the cached backbone %s: %s", self.model_path, problem[1])
        return (*self._open(self._build(), ort, cuda_id, threads), True)

    def _cached_model(self) -> tuple[bytes | None, tuple[int, str] | None]:
        """The cached graph if its bytes and tag are the recorded ones, else None and why (log level, text)."""
        try:
            data = self.model_path.read_bytes()
            record = json.loads(self.record_path.read_text(encoding="utf-8"))
        except FileNotFoundError as exc:
            # No graph: the first use. A graph without a record: made before records were kept.
            missing = Path(exc.filename or "") == self.record_path and self.model_path.exists()
            return None, (logging.INFO, "no digest recorded beside it") if missing else None
        except (OSError, ValueError) as exc:
            return None, (logging.WARNING, f"cannot read it or its record ({exc})")
        if not isinstance(record, dict) or record.get("sha256") != hashlib.sha256(data).hexdigest():
            return None, (logging.WARNING, "its bytes differ from the ones recorded when it was built")
        if record.get("tag") != self.tag:
            return None, (logging.INFO, f"its tag is {record.get('tag')!r}, expected {self.tag!r}")
        return data, None

    def _build(self) -> bytes:
        data = build_onnx(
            load_variant(self.variant), self.taps, logits=LOGITS in self.outputs, metadata={_TAG_KEY: self.tag}
        )
        self.model_path.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(self.model_path, data)
        # The record last: a graph without one is never trusted.
        write_json_atomic(self.record_path, {"sha256": hashlib.sha256(data).hexdigest(), "tag": self.tag})
        return data

    def _open(self, model: bytes, ort: Any, cuda_id: int | None, threads: int) -> tuple[str, str]:
        """Open `model` with ONNX Runtime (`ort`) or else OpenCV DNN, and run it once on a small image."""
        if ort is not None:
            self._session, device = _ort_session(ort, model, cuda_id, threads)
            runtime = "onnxruntime"
        else:
            if cuda_id is not None:
                logger.warning("device 'cuda' needs onnxruntime-gpu; OpenCV DNN runs the backbone on the CPU")
            cv2 = importlib.import_module("cv2")
            cv2.setNumThreads(threads)
            # Backend and target stay at their defaults (OpenCV's own CPU code): OpenCV 5's graph engine warns on
            # every explicit setPreferableTarget call.
            self._net = cv2.dnn.readNetFromONNX(np.frombuffer(model, np.uint8))
            runtime, device = "opencv", "cpu"
        self(np.zeros((1, 32, 32, 3), np.uint8))
        return runtime, device


def _onnxruntime(runtime: str) -> Any:
    """The ONNX Runtime module for `runtime` "auto" or "onnxruntime", None for OpenCV DNN."""
    if runtime == "opencv":
        return None
    try:
        return importlib.import_module("onnxruntime")
    except ImportError:
        if runtime == "onnxruntime":
            raise
        logger.info("onnxruntime is not installed; running the backbone with OpenCV DNN")
        return None


def _ort_session(ort: Any, model: bytes, cuda_id: int | None, threads: int) -> tuple[Any, str]:
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    # Idle pool threads spin for milliseconds by default, taking cores from concurrent inspections.
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    providers: list[Any] = ["CPUExecutionProvider"]
    if cuda_id is not None:
        available = ort.get_available_providers()
        if "CUDAExecutionProvider" in available:
            providers.insert(0, ("CUDAExecutionProvider", {"device_id": cuda_id}))
        else:
            logger.warning(
                "device 'cuda' requested but ONNX Runtime has no CUDA provider (has %s); running on the CPU",
                ", ".join(available),
            )
            cuda_id = None
    session = ort.InferenceSession(model, options, providers=providers)
    if cuda_id is not None and session.get_providers()[0] != "CUDAExecutionProvider":
        # The provider is installed but its CUDA/cuDNN libraries did not load; ONNX Runtime then uses the CPU.
        logger.warning("device 'cuda' requested but the CUDA provider did not start; running on the CPU")
        cuda_id = None
    return session, "cpu" if cuda_id is None else f"cuda:{cuda_id}"


def _as_batch(batch: Sequence[np.ndarray] | np.ndarray) -> np.ndarray:
    if isinstance(batch, np.ndarray):
        x = batch
    else:
        images = list(batch)
        if not images:
            msg = "Backbone: the batch is empty; pass at least one image"
            raise ValueError(msg)
        shapes = {getattr(im, "shape", None) for im in images}
        if len(shapes) != 1:
            msg = f"Backbone: images of a batch must share one size, got shapes {sorted(map(str, shapes))}"
            raise ValueError(msg)
        x = np.stack(images)
    if x.dtype != np.uint8 or x.ndim != 4 or x.shape[-1] != 3 or 0 in x.shape:
        msg = f"Backbone: expected uint8 BGR images (N, H, W, 3), got {x.dtype} array of shape {x.shape}"
        raise ValueError(msg)
    return np.ascontiguousarray(x)
