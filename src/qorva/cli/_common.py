"""Helpers the commands share: the home folder, reading images, loading the modules with clear errors, signals."""

from __future__ import annotations

import argparse
import contextlib
import signal
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from qorva.console import Progress
from qorva.errors import QorvaError
from qorva.home import qorva_home
from qorva.images import read_image


class ModuleMissingError(QorvaError):
    """A native module is not built or not installed."""


def home_of(args: argparse.Namespace) -> Path:
    """The home folder of this run: --home, else $QORVA_HOME, else the per-user folder."""
    return qorva_home(getattr(args, "home", None)).resolve()


def inspector() -> Any:
    """A `NorimInspector`, or a clear error when the extension module is missing."""
    try:
        from qorva.inspection.modules.norim.inspector import NorimInspector
    except ImportError as exc:
        msg = f"the inspector module cannot be loaded ({exc}); reinstall qorva or run 'make native'"
        raise ModuleMissingError(msg) from None
    return NorimInspector()


def camera_module() -> Any:
    """The `dropnest` extension module, or a clear error when it is missing."""
    try:
        from qorva.io.camera import dropnest
    except ImportError as exc:
        msg = f"the camera module cannot be loaded ({exc}); reinstall qorva or run 'make native'"
        raise ModuleMissingError(msg) from None
    return dropnest


def camera_class() -> Any:
    return camera_module().DropnestCamera


def read_images(files: list[Path], desc: str, *, quiet: bool) -> list[np.ndarray]:
    images = []
    with Progress(len(files), desc, quiet=quiet, unit="img") as bar:
        for f in files:
            images.append(read_image(f))
            bar.update()
    return images


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        msg = f"must be at least 1, got {value}"
        raise argparse.ArgumentTypeError(msg)
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        msg = f"must be greater than 0, got {text}"
        raise argparse.ArgumentTypeError(msg)
    return value


@contextlib.contextmanager
def stop_on_signals(stop: threading.Event) -> Iterator[dict[str, bool]]:
    """Turn SIGINT and SIGTERM into `stop` while the block runs; the dict tells which one came.

    A second Ctrl-C raises `KeyboardInterrupt` as usual, for when a clean stop hangs.
    """
    seen = {"interrupted": False, "terminated": False}
    if threading.current_thread() is not threading.main_thread():
        yield seen
        return

    def on_int(signum: int, frame: object) -> None:
        if seen["interrupted"]:
            raise KeyboardInterrupt
        seen["interrupted"] = True
        stop.set()

    def on_term(signum: int, frame: object) -> None:
        seen["terminated"] = True
        stop.set()

    old_int = signal.signal(signal.SIGINT, on_int)
    old_term = signal.signal(signal.SIGTERM, on_term)
    try:
        yield seen
    finally:
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGTERM, old_term)


def human_bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "KB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    return f"{n} B"


def one_line(text: object) -> str:
    """Messages from the modules may span lines; the command line reports a failure on one."""
    return " ".join(str(text).split("\n")).strip()
