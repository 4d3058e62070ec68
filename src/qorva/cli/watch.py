"""Watch a drop folder: inspect every image that arrives, print and record each verdict until stopped.

Each result is one line on stdout; every image gets a row in the results database under the home
folder and each NG image its overlay PNG. Ctrl-C or SIGTERM stop cleanly: the image being inspected
is finished and recorded, files not yet taken from the folder stay there for the next run.
"""

from __future__ import annotations

import argparse
import threading
from pathlib import Path
from typing import Any

from qorva.cli._common import (
    camera_class,
    camera_module,
    home_of,
    inspector,
    positive_float,
    positive_int,
    stop_on_signals,
)
from qorva.cli._help import HelpFormatter
from qorva.console import StatusLine, result_line
from qorva.errors import QorvaError
from qorva.home import db_path, overlays_dir
from qorva.job import InspectionJob, JobSummary, camera_params
from qorva.products import check_product, load_state
from qorva.results import ResultStore


class WatchError(QorvaError):
    """The watch job could not start or its camera failed."""


# Each option sets the camera parameter of the same name; its default is the camera's own, from `_DEFAULTS`.
_CAMERA_OPTIONS: dict[str, dict[str, Any]] = {
    "ready_policy": {
        "choices": ("stable", "sentinel", "none"),
        "help": "how a file is known to be complete: size stable for --stable-ms, a marker file, or at once",
    },
    "stable_ms": {"type": float, "help": "ms a file's size must stay unchanged (stable)"},
    "sentinel_ext": {"help": "marker suffix: img.png is complete once img.png.done exists"},
    "after": {"choices": ("move", "delete", "keep"), "help": "what to do with an inspected file"},
    "processed_dir": {"help": "where --after move puts files (default: <folder>/_processed)"},
    "extensions": {"help": "accepted suffixes, comma separated (default: {})"},
    "poll_ms": {"type": float, "help": "rescan interval when nothing arrived"},
    "max_decode_retries": {"type": int, "help": "failed decodes after which a file is set aside"},
    "max_queue": {"type": positive_int, "help": "images buffered between the camera and the inspector"},
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
    if args.extensions:
        options["extensions"] = [e.strip() for e in args.extensions.split(",") if e.strip()]
    return camera_params(Path(args.folder).resolve(), **options)


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "watch",
        help="inspect images as they are dropped into a folder",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", required=True, help="product id (taught with 'qorva teach')")
    parser.add_argument("--folder", required=True, help="the drop folder senders write into (must exist)")
    parser.add_argument(
        "--max-images", type=positive_int, default=None, help="stop after this many images (default: no limit)"
    )
    parser.add_argument(
        "--duration", type=positive_float, default=None, help="stop after this many seconds (default: until stopped)"
    )
    parser.add_argument("--no-overlays", action="store_true", help="do not render or write NG overlays (faster)")
    add_camera_options(parser)
    return parser


def summary_line(product: str, folder: str, summary: JobSummary, home: Path) -> str:
    rate = summary.n / summary.seconds if summary.seconds > 0 else 0.0
    return (
        f"watched {folder} for {product}: {summary.n} images ({summary.counts_text()}) in {summary.seconds:.1f} s, "
        f"{rate:.1f} img/s; results in {db_path(home)}, overlays in {overlays_dir(home, product)}"
    )


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = check_product(args.product)
    state = load_state(home, product)
    folder = Path(args.folder)
    if not folder.is_dir():
        msg = f"drop folder {folder} does not exist or is not a folder; create it or point --folder at it"
        raise WatchError(msg)
    params = camera_options(args)
    camera = camera_class()(params)
    stop = threading.Event()
    with ResultStore(db_path(home)) as store, stop_on_signals(stop) as signals:
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
        msg = f"the camera stopped: {summary.error}"
        raise WatchError(msg)
    if signals["interrupted"]:
        raise KeyboardInterrupt
    return 0
