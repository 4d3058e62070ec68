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


def max_pixels() -> int:
    """The largest image the readers take, width x height: the camera's default cap (`max_pixels`)."""
    from qorva.io.camera import dropnest

    return int(dropnest._DEFAULTS["max_pixels"])


def _checked_header(p: Path, data: np.ndarray, cap: int) -> None:
    """Refuse, before decoding, an image that declares more pixels than `cap` or whose data is cut short."""
    from qorva.io.camera import dropnest

    # The camera's header reader (PNG, JPEG, BMP, TIFF): one home for the rules; other formats are left
    # to OpenCV's own limit on the pixels it decodes.
    header = dropnest._image_header(data)
    if header is None:
        return
    width, height, complete = header
    if width * height > cap:
        msg = f"{p} declares {width}x{height} pixels ({width * height / 1e6:.0f} MP), more than {cap / 1e6:.0f} MP"
        raise ImageError(msg)
    if not complete:
        msg = f"cannot decode {p}: the file ends before its image does (cut, or still being written)"
        raise ImageError(msg)


def read_image(path: str | os.PathLike[str]) -> np.ndarray:
    """A BGR image from a file; `ImageError` naming the file when it is missing, empty, not an image, cut,
    or larger than `max_pixels()` (refused from its header, before it is decoded)."""
    import cv2

    p = Path(path)
    if not p.is_file():
        msg = f"no such image file: {p}"
        raise ImageError(msg)
    cap = max_pixels()
    try:
        size = p.stat().st_size
        # Eight bytes a pixel and a 64 KiB header: more than any file of an image within the cap (the
        # camera sets such a file aside unread too), so a huge non-image is never read whole.
        if size > cap * 8 + 65536:
            msg = f"{p} is {size / 1e9:.1f} GB, larger than any image of at most {cap / 1e6:.0f} MP"
            raise ImageError(msg)
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
    _checked_header(p, data, cap)
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
