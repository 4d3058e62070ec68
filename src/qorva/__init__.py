"""qorva: machine-vision inspection host with the folder-drop camera and the NORIM inspector."""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("qorva")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+src"
