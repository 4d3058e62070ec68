"""Helpers the commands share: the home folder, reading images, loading the modules with clear errors, signals."""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import re
import signal
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from qorva.console import Progress
from qorva.errors import QorvaError
from qorva.home import UnsafeNameError, check_name, qorva_home
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


# --- option types: each value is checked when the command line is parsed (a usage error, exit 2) ------------


def int_in(low: int, high: int) -> Callable[[str], int]:
    """An option type: an integer from `low` to `high`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            msg = f"not a whole number: {text!r}"
            raise argparse.ArgumentTypeError(msg) from None
        if not low <= value <= high:
            msg = f"must be from {low} to {high}, got {value}"
            raise argparse.ArgumentTypeError(msg)
        return value

    parse.__name__ = "integer"
    return parse


def float_in(low: float, high: float) -> Callable[[str], float]:
    """An option type: a finite number from `low` to `high`."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            msg = f"not a number: {text!r}"
            raise argparse.ArgumentTypeError(msg) from None
        if not (math.isfinite(value) and low <= value <= high):
            msg = f"must be at least {low:g} and at most {high:g}, got {text}"
            raise argparse.ArgumentTypeError(msg)
        return value

    parse.__name__ = "number"
    return parse


positive_int = int_in(1, 10**9)

_DURATION = re.compile(r"^(\d+(?:\.\d+)?)\s*([smhd]?)$")
_UNIT_S = {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}


def duration_s(text: str) -> float:
    """An option type: a positive duration in seconds, as 30, 30s, 5m, 2h or 1.5d."""
    m = _DURATION.match(text.strip().lower())
    seconds = float(m.group(1)) * _UNIT_S[m.group(2)] if m else math.nan
    if not (math.isfinite(seconds) and 0 < seconds <= 365 * 86400):
        msg = f"not a duration: {text!r}; use seconds or 30s, 5m, 2h, 1.5d (up to a year)"
        raise argparse.ArgumentTypeError(msg)
    return seconds


def name_of(what: str) -> Callable[[str], str]:
    """An option type: a product id or bundle name that names exactly one folder (no separators, no '..')."""

    def parse(text: str) -> str:
        try:
            return check_name(text, what)
        except UnsafeNameError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    parse.__name__ = what
    return parse


def plain_text(what: str, *, max_len: int = 64) -> Callable[[str], str]:
    """An option type: short text without path separators or control characters (a suffix, a marker)."""

    def parse(text: str) -> str:
        if not text or len(text) > max_len or any(c in text for c in "/\\\0") or not text.isprintable():
            msg = f"{what} must be 1 to {max_len} printable characters without '/' or '\\', got {text!r}"
            raise argparse.ArgumentTypeError(msg)
        return text

    parse.__name__ = what
    return parse


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


def add_db_options(parser: argparse.ArgumentParser, *, filter_station: bool) -> None:
    """`--db` (where the results are) and `--station` (a filter for readers; watch names itself with it)."""
    parser.add_argument(
        "--db", default=None, metavar="URL",
        help="results database: a SQLite file, or postgresql://user@host/db for a line's shared store "
             "(default: <home>/results/results.db)",
    )
    if filter_station:
        parser.add_argument("--station", type=plain_text("--station"), default=None,
                            help="only the results of this station (default: every station)")


def results_target(args: argparse.Namespace, home: Path) -> str | Path:
    """The database `--db` names, else the home folder's SQLite file."""
    from qorva.database import has_password
    from qorva.home import db_path

    if has_password(args.db):
        logging.getLogger("qorva.cli").warning(
            "the password in --db is visible to every user of this PC in its process list; give it in "
            "PGPASSWORD or a password file instead (docs/operations.md)"
        )
    return args.db if args.db else db_path(home)
