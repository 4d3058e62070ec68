"""Watch a drop folder: inspect every image that arrives, print and record each verdict until stopped.

Each result is one line on stdout; every image gets a row in the results database under the home
folder and each NG image its overlay PNG. Ctrl-C or SIGTERM stop cleanly: the image being inspected
is finished and recorded, files not yet taken from the folder stay there for the next run.
"""

from __future__ import annotations

import argparse
import threading
from pathlib import Path

from qorva.cli._common import camera_class, home_of, inspector, positive_float, positive_int, stop_on_signals
from qorva.cli._help import HelpFormatter
from qorva.console import StatusLine, result_line
from qorva.errors import QorvaError
from qorva.home import db_path, overlays_dir
from qorva.job import InspectionJob, JobSummary, camera_params
from qorva.products import check_product, load_state
from qorva.results import ResultStore


class WatchError(QorvaError):
    """The watch job could not start or its camera failed."""


def add_camera_options(parser: argparse.ArgumentParser) -> None:
    cam = parser.add_argument_group("camera options")
    options = [
        ("--ready-policy", {"choices": ("stable", "sentinel", "none"), "default": "stable",
                            "help": "how a file is known to be complete: size stable for --stable-ms, "
                                    "a marker file, or at once"}),
        ("--stable-ms", {"type": float, "default": 300.0, "help": "ms a file's size must stay unchanged (stable)"}),
        ("--sentinel-ext", {"default": ".done", "help": "marker suffix: img.png is complete once img.png.done exists"}),
        ("--after", {"choices": ("move", "delete", "keep"), "default": "move",
                     "help": "what to do with an inspected file"}),
        ("--processed-dir", {"default": None, "help": "where --after move puts files (default: <folder>/_processed)"}),
        ("--extensions", {"default": None,
                          "help": "accepted suffixes, comma separated (default: png,jpg,jpeg,bmp,tif,tiff)"}),
        ("--poll-ms", {"type": float, "default": 100.0, "help": "rescan interval when nothing arrived"}),
        ("--max-decode-retries", {"type": int, "default": 3, "help": "failed decodes after which a file is set aside"}),
        ("--max-queue", {"type": positive_int, "default": 4,
                         "help": "images buffered between the camera and the inspector"}),
    ]
    for flag, spec in options:
        cam.add_argument(flag, **spec)


def camera_options(args: argparse.Namespace) -> dict:
    exts = [e.strip() for e in args.extensions.split(",") if e.strip()] if args.extensions else None
    return camera_params(
        Path(args.folder).resolve(),
        ready_policy=args.ready_policy,
        stable_ms=args.stable_ms,
        sentinel_ext=args.sentinel_ext,
        after=args.after,
        processed_dir=args.processed_dir,
        extensions=exts,
        poll_ms=args.poll_ms,
        max_decode_retries=args.max_decode_retries,
        max_queue=args.max_queue,
    )


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
