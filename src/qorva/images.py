"""Reading image files: the one reader every command and the model runner use."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from qorva.errors import QorvaError


class ImageError(QorvaError):
    """An image file or folder cannot be used; the message names it."""


def image_suffixes() -> tuple[str, ...]:
    """The suffixes of image files, sorted: the camera's default list, so `train` and `teach` take what it takes."""
    # The camera owns the list and imports nothing of the application; the application reads it.
    from qorva.io.camera import dropnest

    return tuple(sorted(dropnest._EXTS))


def read_image(path: str | os.PathLike[str]) -> np.ndarray:
    """A BGR image from a file; `ImageError` naming the file when it is missing, empty or not an image."""
    import cv2

    p = Path(path)
    if not p.is_file():
        msg = f"no such image file: {p}"
        raise ImageError(msg)
    try:
        # np.fromfile + imdecode reads non-ASCII paths on every platform, unlike cv2.imread.
        data = np.fromfile(p, np.uint8)
    except OSError as exc:
        msg = f"cannot read {p}: {exc.strerror or exc}"
        raise ImageError(msg) from None
    if not data.size:
        # cv2.imdecode raises on empty input instead of returning None; a zero-byte file is common in a
        # drop folder (a sender that crashed before writing) and deserves the same one-line message.
        msg = f"cannot decode {p}: the file is empty"
        raise ImageError(msg)
    image = cv2.imdecode(data, cv2.IMREAD_COLOR)
    if image is None:
        msg = f"cannot decode {p}: not a readable image ({'/'.join(image_suffixes())})"
        raise ImageError(msg)
    return image


def image_files(folder: str | os.PathLike[str], what: str = "folder") -> list[Path]:
    """The image files of a folder, sorted by name; `ImageError` when there is no such folder or no image."""
    root = Path(folder)
    if not root.is_dir():
        msg = f"{what} {root} does not exist or is not a folder"
        raise ImageError(msg)
    suffixes = image_suffixes()
    files = sorted(p for p in root.iterdir() if p.is_file() and p.suffix.lower() in suffixes)
    if not files:
        msg = f"no images ({', '.join(suffixes)}) in {what} {root}"
        raise ImageError(msg)
    return files
