"""Versions of a bundle: each training adds one and never rewrites it; a pointer names the current one.

Layout of a bundle's folder `<home>/products/<product>/norim/<name>/`:

    v1/bundle.json, v1/model.npz     one folder per training, written once
    v2/...
    current                          the version a lookup by name loads ("2"), replaced in one rename

A bundle folder written before versions (`bundle.json` directly in `<name>/`) is read as version 1 as it is;
the first training that adds a version to it moves it to `v1/` in one rename (`_adopt`) and logs that it did.

`pinned(name, version)` makes every lookup of `name` on this thread load that version. The host pairs a taught
state with the version it was taught on: a training or a switch made meanwhile never hands it another bundle.
"""

from __future__ import annotations

import contextlib
import contextvars
import logging
import os
import re
import shutil
import uuid
from collections.abc import Callable, Iterator
from pathlib import Path

from qorva.files import write_atomic

from ..errors import NorimError
from .place import META_FILE

logger = logging.getLogger("qorva.inspection.norim.runner")

POINTER = "current"
_VERSION_DIR = re.compile(r"^v([1-9]\d{0,8})$")
# The pointer files read, by path: (inode, modification time, size) and the version they named. A lookup by name
# stats the pointer instead of reading it (a lookup is made for every inspection).
_pointers: dict[str, tuple[tuple[int, int, int], int]] = {}
# (bundle name, version) pairs this thread's lookups load instead of the current version.
_pins: contextvars.ContextVar[dict[str, int] | None] = contextvars.ContextVar("norim_pins", default=None)


def is_bundle_folder(folder: Path) -> bool:
    """True for a bundle name's folder: versions with their pointer, or a bundle written before versions."""
    return (folder / POINTER).is_file() or (folder / META_FILE).is_file()


def _legacy(folder: Path) -> bool:
    return (folder / META_FILE).is_file()


def listed(folder: Path) -> list[int]:
    """The versions of the bundle folder, oldest first (a folder from before versions is version 1)."""
    if _legacy(folder):
        return [1]
    try:
        names = [e.name for e in os.scandir(folder) if e.is_dir()]
    except FileNotFoundError:
        return []
    except OSError as exc:
        msg = f"cannot list the versions in {folder}: {exc}"
        raise NorimError(msg) from exc
    found = (_VERSION_DIR.match(n) for n in names)
    return sorted(int(m.group(1)) for m in found if m and (folder / m.group(0) / META_FILE).is_file())


def version_dir(folder: Path, version: int) -> Path:
    return folder if _legacy(folder) and version == 1 else folder / f"v{int(version)}"


def current(folder: Path) -> int:
    """The version a lookup by name loads: the pointer's, else (no pointer, or a damaged one) the newest."""
    if _legacy(folder):
        return 1
    pointer = folder / POINTER
    try:
        st = pointer.stat()
        seen = (st.st_ino, st.st_mtime_ns, st.st_size)
        known = _pointers.get(str(pointer))
        if known is None or known[0] != seen:
            text = pointer.read_text(encoding="ascii").strip()
            known = (seen, int(text) if text.isdigit() else 0)
            _pointers[str(pointer)] = known
        if known[1] and (folder / f"v{known[1]}" / META_FILE).is_file():
            return known[1]
    except (OSError, UnicodeDecodeError):
        pass
    found = listed(folder)
    if not found:
        msg = f"bundle {folder} holds no version; train it again with: qorva train --product P --good DIR"
        raise NorimError(msg)
    return found[-1]


def resolve(folder: Path, name: str) -> tuple[Path, int]:
    """The folder of the version a lookup of `name` loads on this thread (pinned, else current), and its number.

    The current version's folder is not checked here: the caller's reading of its files says when it is gone.
    """
    version = (_pins.get() or {}).get(name)
    if version is None:
        version = current(folder)
        return (folder if version == 1 and _legacy(folder) else folder / f"v{version}"), version
    path = version_dir(folder, version)
    if not (path / META_FILE).is_file():
        have = ", ".join(map(str, listed(folder))) or "none"
        msg = f"bundle {name!r} has no version {version} (versions: {have}; see qorva models)"
        raise NorimError(msg)
    return path, version


def pinned_version(name: object) -> int | None:
    return (_pins.get() or {}).get(name) if isinstance(name, str) else None


@contextlib.contextmanager
def pinned(name: str, version: int | None) -> Iterator[None]:
    """Lookups of `name` on this thread load `version` inside the block (None: the current one, as outside)."""
    if version is None:
        yield
        return
    token = _pins.set({**(_pins.get() or {}), name: int(version)})
    try:
        yield
    finally:
        _pins.reset(token)


def set_current(folder: Path, version: int) -> None:
    """Make `version` the one a lookup by name loads; `NorimError` when the bundle has no such version."""
    if version not in listed(folder):
        have = ", ".join(map(str, listed(folder))) or "none"
        msg = f"bundle {folder.name!r} has no version {version} (versions: {have})"
        raise NorimError(msg)
    if _legacy(folder):
        return  # version 1 is the only one, and current
    write_atomic(folder / POINTER, f"{int(version)}\n".encode("ascii"))


def add(folder: Path, write: Callable[[Path], None], *, activate: bool | None = None) -> int:
    """Write a new version of the bundle folder `folder` with `write(tmp_folder)`; its number.

    The files are written into a hidden folder beside the versions and renamed into place, so a reader sees a
    version whole or not at all. `activate`: make it current; None makes it current only when the bundle had no
    version yet (a new bundle), so a training never moves a line off the version it was taught on.
    """
    folder.parent.mkdir(parents=True, exist_ok=True)
    if not is_bundle_folder(folder) and _create(folder, write):
        return 1
    if _legacy(folder):
        _adopt(folder)
    tmp = folder / f".tmp-v-{uuid.uuid4().hex[:8]}"
    tmp.mkdir()
    try:
        write(tmp)
        version = _place(folder, tmp)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    if activate:
        set_current(folder, version)
    return version


def _create(folder: Path, write: Callable[[Path], None]) -> bool:
    """A new bundle: version 1 and its pointer, renamed into place together; False when another process made
    the bundle folder meanwhile (the version is then added to it)."""
    tmp = folder.parent / f".tmp-{folder.name}-{uuid.uuid4().hex[:8]}"
    (tmp / "v1").mkdir(parents=True)
    try:
        write(tmp / "v1")
        write_atomic(tmp / POINTER, b"1\n")
        try:
            tmp.rename(folder)
        except OSError:
            if not folder.exists():
                raise
            return False
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return True


def _place(folder: Path, tmp: Path) -> int:
    """Rename `tmp` to the next free version folder; two trainings at once get two numbers."""
    for _ in range(100):
        version = max(listed(folder), default=0) + 1
        try:
            tmp.rename(folder / f"v{version}")
            return version
        except OSError:
            if not (folder / f"v{version}").exists():
                raise
    msg = f"cannot add a version to {folder}: other trainings keep taking the next number"
    raise NorimError(msg)


def _adopt(folder: Path) -> None:
    """Move a bundle written before versions to `v1/` with its pointer, in one rename of the whole folder."""
    from .bundle import swap_into_place

    tmp = folder.parent / f".tmp-{folder.name}-{uuid.uuid4().hex[:8]}"
    tmp.mkdir()
    try:
        shutil.copytree(folder, tmp / "v1", symlinks=True)
        write_atomic(tmp / POINTER, b"1\n")
        swap_into_place(tmp, folder)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    logger.warning("bundle %s was written before versions: it is now version 1 (moved to %s)", folder, folder / "v1")
