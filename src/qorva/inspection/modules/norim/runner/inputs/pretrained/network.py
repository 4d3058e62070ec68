"""EfficientNet-Lite as an ONNX graph built from its state dict: batch norm folded, uint8 BGR in, chosen stages out.

The graph takes `image`, uint8 BGR in NHWC layout (N, H, W, 3): a batch of OpenCV images stacked as they are, so
callers convert nothing. Inside, the colour order, /255 and the ImageNet mean/std are folded into the stem
convolution. Batch, height and width are dynamic. Outputs are float32 NCHW: `stage1` ... `stage7` (strides in
`STAGE_STRIDES`) and, on request, `logits` (1000 ImageNet classes, for checking the wiring).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

INPUT = "image"
LOGITS = "logits"
OPSET = 13
# Output stride of each stage at any input size (the stem halves the image; stages 2, 3, 4 and 6 halve it again).
STAGE_STRIDES = {1: 2, 2: 4, 3: 8, 4: 16, 5: 16, 6: 32, 7: 32}
# (kernel, stride) of each stage of EfficientNet-B0's table, which Lite keeps. Blocks per stage, channels and
# expansion differ between Lite0/1/2 and are read from the state dict's shapes.
_STAGES = ((3, 1), (3, 2), (5, 2), (3, 2), (5, 1), (5, 2), (3, 1))
_BN_EPS = 1e-3
_MEAN_RGB = np.array([0.485, 0.456, 0.406], np.float32)
_STD_RGB = np.array([0.229, 0.224, 0.225], np.float32)


def stage_output(stage: int) -> str:
    """The graph output name of `stage` (1..7)."""
    return f"stage{stage}"


def build_onnx(
    weights: Mapping[str, np.ndarray],
    stages: Iterable[int],
    *,
    logits: bool = False,
    metadata: Mapping[str, str] | None = None,
) -> bytes:
    """The serialised ONNX model (opset 13) giving `stages` outputs, and `logits` when asked, from a state dict."""
    taps = sorted(set(stages))
    if not taps and not logits:
        msg = "build_onnx: ask for at least one stage (1..7) or the logits, got none"
        raise ValueError(msg)
    if any(type(s) is not int or not 1 <= s <= 7 for s in taps):
        msg = f"build_onnx: stages must be integers 1..7, got {taps}"
        raise ValueError(msg)
    g = _Graph(weights)
    x = g.stem()
    last = 7 if logits else taps[-1]
    for index, blocks in enumerate(_block_stages(weights)[:last]):
        stage = index + 1
        kernel, stride = _STAGES[index]
        for j, block in enumerate(blocks):
            name = stage_output(stage) if j == len(blocks) - 1 and stage in taps else None
            x = g.block(block, kernel, stride if j == 0 else 1, x, name)
    if logits:
        g.head(x)
    outputs = [helper.make_tensor_value_info(stage_output(s), TensorProto.FLOAT, ["N", None, None, None]) for s in taps]
    if logits:
        outputs.append(helper.make_tensor_value_info(LOGITS, TensorProto.FLOAT, ["N", 1000]))
    image = helper.make_tensor_value_info(INPUT, TensorProto.UINT8, ["N", "H", "W", 3])
    graph = helper.make_graph(g.nodes, "efficientnet_lite", [image], outputs, g.initializers)
    # IR 8 is what opset 13 shipped with. onnx would stamp its own newest IR (14 in 1.23), and a runtime older
    # than that IR refuses the file even though no operator needs it.
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=8)
    model.producer_name = "qorva"
    for key, value in (metadata or {}).items():
        model.metadata_props.add(key=key, value=value)
    onnx.checker.check_model(model)
    return model.SerializeToString()


def _block_stages(weights: Mapping[str, np.ndarray]) -> list[list[str]]:
    """Block key prefixes grouped by stage: a stage starts wherever the output width changes."""
    stages: list[list[str]] = []
    width = None
    i = 0
    while f"_blocks.{i}._project_conv.weight" in weights:
        out = weights[f"_blocks.{i}._project_conv.weight"].shape[0]
        if out != width:
            stages.append([])
            width = out
        stages[-1].append(f"_blocks.{i}")
        i += 1
    kernels = [weights[f"{b[0]}._depthwise_conv.weight"].shape[-1] for b in stages]
    if len(stages) != len(_STAGES) or kernels != [k for k, _ in _STAGES]:
        msg = f"weights are not EfficientNet-Lite: {len(stages)} stages with kernels {kernels}, expected 3,3,5,3,5,5,3"
        raise ValueError(msg)
    return stages


class _Graph:
    """Collects nodes and initializers; each layer gets its folded weights under the state dict's key prefix."""

    def __init__(self, weights: Mapping[str, np.ndarray]) -> None:
        self.w = weights
        self.nodes: list[onnx.NodeProto] = []
        self.initializers: list[onnx.TensorProto] = []
        self._six = self._const("relu6_max", np.array(6.0, np.float32))
        self._zero = self._const("relu6_min", np.array(0.0, np.float32))

    def _const(self, name: str, value: np.ndarray) -> str:
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(value), name))
        return name

    def _node(self, op: str, inputs: list[str], output: str, **attrs: object) -> str:
        self.nodes.append(helper.make_node(op, inputs, [output], name=output, **attrs))
        return output

    def _folded(self, conv: str, bn: str) -> tuple[np.ndarray, np.ndarray]:
        w = self.w[f"{conv}.weight"]
        scale = self.w[f"{bn}.weight"] / np.sqrt(self.w[f"{bn}.running_var"] + _BN_EPS)
        bias = self.w[f"{bn}.bias"] - self.w[f"{bn}.running_mean"] * scale
        if f"{conv}.bias" in self.w:
            bias = bias + self.w[f"{conv}.bias"] * scale
        return (w * scale[:, None, None, None]).astype(np.float32), bias.astype(np.float32)

    def _conv(
        self, x: str, w: np.ndarray, b: np.ndarray, prefix: str, stride: int, relu6: bool, groups: int = 1
    ) -> str:
        k = w.shape[-1]
        wn, bn = self._const(f"{prefix}.w", w), self._const(f"{prefix}.b", b)
        # Symmetric k//2 padding: measured slightly more confident than TensorFlow's asymmetric "same" on the
        # check photographs, and with odd kernels it makes every stride-s map exactly ceil(H/s) cells.
        y = self._node(
            "Conv",
            [x, wn, bn],
            f"{prefix}.conv",
            kernel_shape=[k, k],
            strides=[stride, stride],
            pads=[k // 2] * 4,
            group=groups,
        )
        return self._node("Clip", [y, self._zero, self._six], f"{prefix}.relu6") if relu6 else y

    def stem(self) -> str:
        nchw = self._node("Transpose", [INPUT], "image.nchw", perm=[0, 3, 1, 2])
        x = self._node("Cast", [nchw], "image.float", to=TensorProto.FLOAT)
        # The mean is subtracted before the convolution, not folded into its bias: its zero padding must stand
        # for the mean colour, as it did in training. Channel order, /255 and /std are folded into the weights.
        mean_bgr = (255.0 * _MEAN_RGB[::-1]).reshape(1, 3, 1, 1)
        x = self._node("Sub", [x, self._const("mean_bgr", mean_bgr)], "image.centred")
        w, b = self._folded("_conv_stem", "_bn0")
        w = w[:, ::-1] / (255.0 * _STD_RGB[::-1])[None, :, None, None]
        return self._conv(x, w.astype(np.float32), b, "stem", 2, relu6=True)

    def block(self, prefix: str, kernel: int, stride: int, x: str, output: str | None) -> str:
        y = x
        if f"{prefix}._expand_conv.weight" in self.w:  # stage 1 has no expansion
            y = self._conv(y, *self._folded(f"{prefix}._expand_conv", f"{prefix}._bn0"), f"{prefix}.expand", 1, True)
        w, b = self._folded(f"{prefix}._depthwise_conv", f"{prefix}._bn1")
        if w.shape[-1] != kernel:
            msg = f"{prefix}: depthwise kernel {w.shape[-1]}, expected {kernel} for its stage"
            raise ValueError(msg)
        y = self._conv(y, w, b, f"{prefix}.depthwise", stride, True, groups=w.shape[0])
        w, b = self._folded(f"{prefix}._project_conv", f"{prefix}._bn2")
        expand = self.w.get(f"{prefix}._expand_conv.weight")
        residual = stride == 1 and (w.shape[1] if expand is None else expand.shape[1]) == w.shape[0]
        y = self._conv(y, w, b, f"{prefix}.project", 1, False)
        if residual:
            y = self._node("Add", [x, y], f"{prefix}.add")
        if output is not None:
            self._node("Identity", [y], output)
            return output
        return y

    def head(self, x: str) -> None:
        x = self._conv(x, *self._folded("_conv_head", "_bn1"), "head", 1, True)
        x = self._node("GlobalAveragePool", [x], "head.pool")
        x = self._node("Flatten", [x], "head.flat", axis=1)
        w, b = self._const("fc.w", self.w["_fc.weight"]), self._const("fc.b", self.w["_fc.bias"])
        self._node("Gemm", [x, w, b], LOGITS, transB=1)
