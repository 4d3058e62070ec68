"""Watch a drop folder: inspect every image that arrives, print and record each verdict until stopped.

Each result is one line on stdout; every image the camera takes gets exactly one row in the results
database under the home folder and each NG image its overlay PNG. A file is moved or deleted only once
its row is committed, so after a crash the next watch judges what was taken but never recorded. One
watcher per folder: a second one exits at once naming the first. Ctrl-C or SIGTERM stop cleanly: the
image being inspected is finished and recorded, files not yet taken stay in the folder for the next run.
"""

from __future__ import annotations

import argparse
import threading
from pathlib import Path
from typing import Any

from qorva.cli._common import (
    camera_class,
    camera_module,
    duration_s,
    float_in,
    home_of,
    inspector,
    int_in,
    name_of,
    plain_text,
    positive_int,
    stop_on_signals,
)
from qorva.cli._help import HelpFormatter
from qorva.console import StatusLine, result_line
from qorva.errors import QorvaError
from qorva.folder_lock import FolderLock
from qorva.home import db_path, overlays_dir
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobSummary, camera_params
from qorva.names import printable
from qorva.products import load_state
from qorva.results import ResultStore


class WatchError(QorvaError):
    """The watch job could not start or its camera failed."""


_suffix = plain_text("a suffix in --extensions", max_len=16)


def _extensions(text: str) -> list[str]:
    suffixes = [_suffix(e.strip()) for e in text.split(",") if e.strip()]
    if not suffixes:
        msg = f"--extensions lists no suffix: {text!r}"
        raise argparse.ArgumentTypeError(msg)
    return suffixes


# Each option sets the camera parameter of the same name; its default is the camera's own, from `_DEFAULTS`.
_CAMERA_OPTIONS: dict[str, dict[str, Any]] = {
    "ready_policy": {
        "choices": ("stable", "sentinel", "none"),
        "help": "how a file is known to be complete: size stable for --stable-ms, a marker file, or at once",
    },
    # A day: a sender pausing longer than that has failed; past it the camera's clock arithmetic gains nothing.
    "stable_ms": {"type": float_in(0, 86_400_000), "help": "ms a file's size must stay unchanged (stable)"},
    "sentinel_ext": {
        "type": plain_text("--sentinel-ext"), "help": "marker suffix: img.png is complete once img.png.done exists"
    },
    "after": {"choices": ("move", "delete", "keep"), "help": "what to do with an inspected file"},
    "processed_dir": {"help": "where --after move puts files (default: <folder>/_processed)"},
    "extensions": {"type": _extensions, "help": "accepted suffixes, comma separated (default: {})"},
    # An hour: the idle wait is handed to Event.wait, which refuses timeouts past a few hundred years.
    "poll_ms": {"type": float_in(0, 3_600_000), "help": "rescan interval when nothing arrived"},
    "max_decode_retries": {"type": int_in(1, 1000), "help": "failed decodes after which a file is set aside"},
    # Ten gigapixels: beyond any area-scan camera and beyond what OpenCV decodes (2^30 pixels by default).
    "max_pixels": {"type": int_in(1, 10**10), "help": "largest image taken, width x height; larger are set aside"},
    # Each buffered frame holds a decoded image (up to the camera's size cap): the depth bounds the memory.
    "max_queue": {"type": int_in(1, 1000), "help": "images buffered between the camera and the inspector"},
}


def add_camera_options(parser: argparse.ArgumentParser) -> None:
    module = camera_module()
    suffixes = ",".join(sorted(e.lstrip(".") for e in module._EXTS))
    cam = parser.add_argument_group("camera options")
    for key, spec in _CAMERA_OPTIONS.items():
        spec = {**spec, "help": spec["help"].format(suffixes), "default": module._DEFAULTS[key]}
        cam.add_argument("--" + key.replace("_", "-"), **spec)


def camera_options(args: argparse.Namespace) -> dict[str, Any]:
    options = {key: getattr(args, key) for key in _CAMERA_OPTIONS}
    return camera_params(Path(args.folder).resolve(), **options)


def check_args(args: argparse.Namespace) -> str | None:
    """What is wrong with a combination of values, for a usage error; None when nothing is."""
    if args.processed_dir and _same_folder(Path(args.processed_dir), Path(args.folder)):
        return f"--processed-dir {args.processed_dir} is the drop folder itself; moved files would be taken again"
    return None


def _same_folder(a: Path, b: Path) -> bool:
    try:
        return a.resolve() == b.resolve() or (a.exists() and b.exists() and a.samefile(b))
    except OSError:
        return False


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "watch",
        help="inspect images as they are dropped into a folder",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"), help="product id (taught with 'qorva teach')"
    )
    parser.add_argument("--folder", required=True, help="the drop folder senders write into (must exist)")
    parser.add_argument(
        "--max-images", type=positive_int, default=None, help="stop after this many images (default: no limit)"
    )
    parser.add_argument(
        "--duration", type=duration_s, default=None,
        help="stop after this long: seconds, or 30s, 5m, 2h, 1.5d (default: until stopped)",
    )
    parser.add_argument("--no-overlays", action="store_true", help="do not render or write NG overlays (faster)")
    add_camera_options(parser)
    return parser


def summary_line(product: str, folder: str, summary: JobSummary, home: Path) -> str:
    rate = summary.n / summary.seconds if summary.seconds > 0 else 0.0
    extra = "".join(
        f", {n} {what}" for n, what in ((summary.recovered, "recovered after a crash"),
                                        (summary.skipped, "already recorded, not judged again")) if n
    )
    return (
        f"watched {printable(folder)} for {product}: {summary.n} images ({summary.counts_text()}{extra}) "
        f"in {summary.seconds:.1f} s, {rate:.1f} img/s; results in {db_path(home)}, overlays in "
        f"{overlays_dir(home, product)}"
    )


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = args.product
    state = load_state(home, product)
    folder = Path(args.folder)
    if not folder.is_dir():
        msg = f"drop folder {printable(folder)} does not exist or is not a folder; create it or point --folder at it"
        raise WatchError(msg)
    camera = with_acknowledgement(camera_class())(camera_options(args))
    stop = threading.Event()
    with FolderLock(folder), ResultStore(db_path(home)) as store, stop_on_signals(stop) as signals:
        job = InspectionJob(
            home=home,
            state=state,
            store=store,
            overlays=not args.no_overlays,
            max_images=args.max_images,
            duration_s=args.duration,
            stop=stop,
            on_result=lambda row, image, result: print(result_line(row), flush=True),
            status=StatusLine(quiet=args.quiet),
            inspector=inspector(),
            camera=camera,
        )
        summary = job.run()
    print(summary_line(product, str(folder), summary, home), flush=True)
    if summary.error:
        what = "results cannot be recorded" if summary.reason == "store-failed" else "the camera stopped"
        msg = f"{what}: {summary.error}"
        raise WatchError(msg)
    if signals["interrupted"]:
        raise KeyboardInterrupt
    return 0
