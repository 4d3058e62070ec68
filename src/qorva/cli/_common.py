"""Helpers the commands share: the home folder, reading images, loading the modules with clear errors."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

import numpy as np

from qorva.errors import QorvaError
from qorva.home import ENV_VAR, qorva_home
from qorva.progress import Progress

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff")


class ImageError(QorvaError):
    """An image file or folder given on the command line cannot be used."""


class ModuleMissingError(QorvaError):
    """A native module is not built or not installed."""


def home_of(args: argparse.Namespace) -> Path:
    """The home folder of this run; also published as $QORVA_HOME, where the model runner looks for bundles."""
    home = qorva_home(getattr(args, "home", None)).resolve()
    os.environ[ENV_VAR] = str(home)
    return home


def inspector() -> Any:
    """A `NorimInspector`, or a clear error when the extension module is missing."""
    try:
        from qorva.inspection.modules.norim.inspector import NorimInspector
    except ImportError as exc:
        msg = f"the inspector module cannot be loaded ({exc}); reinstall qorva or run 'make native'"
        raise ModuleMissingError(msg) from None
    return NorimInspector()


def camera_class() -> Any:
    try:
        from qorva.io.camera.dropnest import DropnestCamera
    except ImportError as exc:
        msg = f"the camera module cannot be loaded ({exc}); reinstall qorva or run 'make native'"
        raise ModuleMissingError(msg) from None
    return DropnestCamera


def read_image(path: str | os.PathLike[str]) -> np.ndarray:
    """A BGR image from a file; `ImageError` naming the file when it is missing or not an image."""
    import cv2

    p = Path(path)
    if not p.is_file():
        msg = f"no such image file: {p}"
        raise ImageError(msg)
    try:
        # np.fromfile + imdecode reads non-ASCII paths on every platform, unlike cv2.imread.
        data = np.fromfile(str(p), np.uint8)
    except OSError as exc:
        msg = f"cannot read {p}: {exc.strerror or exc}"
        raise ImageError(msg) from None
    image = cv2.imdecode(data, cv2.IMREAD_COLOR) if data.size else None
    if image is None:
        msg = f"{p} is not a readable image (.png/.jpg/.bmp/.tif)"
        raise ImageError(msg)
    return image


def image_files(folder: str | os.PathLike[str], what: str = "folder") -> list[Path]:
    """The image files of a folder, sorted by name; `ImageError` when there is no such folder or no image."""
    root = Path(folder)
    if not root.is_dir():
        msg = f"{what} {root} does not exist or is not a folder"
        raise ImageError(msg)
    files = sorted(p for p in root.iterdir() if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES)
    if not files:
        msg = f"no images ({', '.join(IMAGE_SUFFIXES)}) in {what} {root}"
        raise ImageError(msg)
    return files


def read_images(files: list[Path], desc: str, *, quiet: bool) -> list[np.ndarray]:
    images = []
    with Progress(len(files), desc, quiet=quiet, unit="img") as bar:
        for f in files:
            images.append(read_image(f))
            bar.update()
    return images


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
