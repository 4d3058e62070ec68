"""Watch a drop folder: inspect every image that arrives, print and record each verdict until stopped.

Each result is one line on stdout; every image the camera takes gets exactly one row in the results
database under the home folder and each NG image its overlay PNG. A file is moved or deleted only once
its row is committed, so after a crash the next watch judges what was taken but never recorded. One
watcher per folder: a second one exits at once naming the first. Ctrl-C or SIGTERM stop cleanly: the
image being inspected is finished and recorded, files not yet taken stay in the folder for the next run.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import re
import sys
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

from qorva import access, calibration, drift
from qorva.cameras import CameraSet
from qorva.cli._common import (
    add_db_options,
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
    results_target,
    stop_on_signals,
)
from qorva.cli._help import HelpFormatter
from qorva.console import LOG_FORMAT, OneLineFormatter, StatusLine, result_line
from qorva.database import is_url
from qorva.drop_health import DropHealth
from qorva.errors import QorvaError
from qorva.folder_lock import FolderLock
from qorva.home import overlays_dir
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, JobSummary, JobWatchers, camera_params
from qorva.live import LiveFeed, LiveServer, parse_address
from qorva.live_desk import LiveDesk
from qorva.names import printable
from qorva.results import ResultStore, default_station
from qorva.serving import Serving, product_pattern, serving

logger = logging.getLogger("qorva.watch")


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
    for key, option in _CAMERA_OPTIONS.items():
        option = {**option, "help": option["help"].format(suffixes), "default": module._DEFAULTS[key]}
        cam.add_argument("--" + key.replace("_", "-"), **option)


def camera_options(args: argparse.Namespace) -> dict[str, Any]:
    options = {key: getattr(args, key) for key in _CAMERA_OPTIONS}
    return camera_params(Path(args.folder).resolve(), **options)


def _pattern(text: str) -> re.Pattern[str]:
    try:
        return product_pattern(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def check_args(args: argparse.Namespace) -> str | None:
    """What is wrong with a combination of values, for a usage error; None when nothing is."""
    if args.processed_dir and _same_folder(Path(args.processed_dir), Path(args.folder)):
        return f"--processed-dir {args.processed_dir} is the drop folder itself; moved files would be taken again"
    if args.token_file and args.serve is None:
        return "--token-file opens the live page to changes: it needs --serve"
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
        "--product", required=True, action="append", type=name_of("product id"),
        help="product id (taught with 'qorva teach'); repeat it to serve several, each from its subfolder "
             "<folder>/<product>/ (made when missing) unless --product-pattern is given",
    )
    parser.add_argument(
        "--product-pattern", type=_pattern, default=None, metavar="REGEX",
        help="serve several products from the folder itself: the file name's match of REGEX, its group "
             "'product' (or first group), names each file's product (default: by subfolder)",
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
    _add_job_options(parser)
    add_camera_options(parser)
    return parser


def _address(text: str) -> tuple[str, int]:
    try:
        return parse_address(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _add_job_options(parser: argparse.ArgumentParser) -> None:
    job = parser.add_argument_group("production options")
    job.add_argument(
        "--serve", type=_address, default=None, metavar="[HOST:]PORT",
        help="serve a live page of the job on this address (host: localhost unless given; default: no page)",
    )
    job.add_argument("--format", choices=("text", "jsonl"), default="text",
                     help="stdout: one line per verdict, or one JSON object per verdict")
    job.add_argument("--log-file", default=None, metavar="FILE",
                     help="also append log records (information and above) to FILE (default: none)")
    job.add_argument(
        "--keep-overlays", type=float_in(0, 36500), default=None, metavar="DAYS",
        help="delete NG overlays older than DAYS at the start and hourly; rows stay (default: keep all)",
    )
    add_db_options(job, filter_station=False)
    job.add_argument(
        "--station", type=plain_text("--station"), default=default_station(),
        help="this watch's name in a shared database; rows carry it (default: the host name)",
    )
    job.add_argument("--allow-stale", action="store_true",
                     help="watch even when the bundle was retrained after the teach (default: refuse)")
    # 64: beyond that the frames in flight hold more memory than they win time (each holds a decoded image).
    job.add_argument("--workers", type=int_in(1, 64), default=os.cpu_count() or 1, metavar="N",
                     help="images inspected side by side, one core each (default: the CPU count)")
    job.add_argument("--overlay-dir", default=None, metavar="DIR",
                     help="write NG overlays into this shared folder (a line's share) instead of the home's")
    job.add_argument("--db-overlays", choices=("auto", "on", "off"), default="auto",
                     help="keep each NG overlay as a small JPEG with its row, for reports on any PC "
                          "(auto: on with a PostgreSQL --db)")
    _add_page_options(parser)


def _add_page_options(parser: argparse.ArgumentParser) -> None:
    page = parser.add_argument_group("review and drift alarm")
    page.add_argument("--token-file", default=None, metavar="FILE",
                      help="let holders of a token of FILE review rows and acknowledge alarms on the live page "
                           "(made with one random token if missing; default: the page is read-only)")
    page.add_argument("--alarm-window", type=duration_s, default=drift.WINDOW_S, metavar="DURATION",
                      help="the drift alarm judges the verdicts of this last stretch: 10m, 1h")
    page.add_argument("--alarm-ng-rate", type=float_in(0, 100), default=None, metavar="PCT",
                      help="alarm above this NG rate in percent (default: 3x the teach samples' false-positive "
                           f"rate, at least {100 * drift.NG_RATE_FLOOR:g})")
    page.add_argument("--no-alarm", action="store_true", help="no drift alarm")


def summary_line(products: Sequence[str], folder: str, summary: JobSummary, home: Path, where: str) -> str:
    rate = summary.n / summary.seconds if summary.seconds > 0 else 0.0
    extra = "".join(
        f", {n} {what}" for n, what in ((summary.set_aside, "of the ERROR set aside by the camera (undecodable or "
                                                             "too large)"),
                                        (summary.recovered, "recovered after a crash"),
                                        (summary.skipped, "already recorded, not judged again"),
                                        (summary.set_aside_before, "set aside by the camera again, recorded before"))
        if n
    )
    several = len(products) > 1 or set(summary.by_product) - set(products)
    order = [*products, *sorted(set(summary.by_product) - set(products))]
    each = "; " + "; ".join(f"{p}: {summary.counts_text(p)}" for p in order) if several else ""
    overlays = overlays_dir(home, products[0]) if len(products) == 1 else overlays_dir(home, products[0]).parent
    return (
        f"watched {printable(folder)} for {', '.join(products)}: {summary.n} images ({summary.counts_text()}{extra}"
        f"{each}) in {summary.seconds:.1f} s, {rate:.1f} img/s; results in {where}, overlays in {overlays}"
    )


def _banner(args: argparse.Namespace, served: Serving, home: Path, page: str | None, where: str) -> str:
    options = camera_options(args)
    each = ", ".join(f"{p}: threshold {st.threshold:.4f} (sigma {st.params.get('sigma')}, bundle "
                     f"{st.params.get('weights')})" for p, st in served.states.items())
    how = ("" if served.route is None else " by file name" if args.product_pattern is not None
           else " by subfolder <folder>/<product>/")
    return (
        f"watch {each}{how}; folder {printable(Path(args.folder).resolve())}; policy {options.get('ready_policy')}, "
        f"after {options.get('after')}; home {home}; lock {Path(args.folder).resolve() / '.qorva-watch.lock'}; "
        f"station {printable(args.station)}, {args.workers} workers; results {where}"
        + (f"; live page {page}" if page else "")
    )


@contextlib.contextmanager
def _log_file(path: str | None) -> Iterator[None]:
    """Log records of information and above also go to `path`, for the whole run."""
    if path is None:
        yield
        return
    try:
        handler = logging.FileHandler(path, encoding="utf-8")
    except OSError as exc:
        msg = f"cannot open the log file {path}: {exc.strerror or exc}"
        raise WatchError(msg) from None
    root = logging.getLogger()
    handler.setFormatter(OneLineFormatter(LOG_FORMAT))  # a file keeps the time of each record
    handler.setLevel(logging.INFO)
    old = root.level
    root.addHandler(handler)
    root.setLevel(min(old, logging.INFO))
    kept = [h for h in root.handlers if h is not handler and h.level == logging.NOTSET]
    for h in kept:  # the terminal keeps its level (warnings unless --debug)
        h.setLevel(old)
    try:
        yield
    finally:
        root.removeHandler(handler)
        root.setLevel(old)
        for h in kept:
            h.setLevel(logging.NOTSET)
        handler.close()


def _tokens(args: argparse.Namespace) -> access.Tokens | None:
    if args.token_file is None:
        return None
    path = Path(args.token_file)
    if not path.exists():
        access.create(path)
        print(f"wrote a new token to {path}: give it to those who may review and acknowledge on the live page",
              file=sys.stderr)
    if args.after == "delete":
        logger.warning("with --after delete a reviewed image is gone before anyone reviews it: the review store "
                       "keeps no image to teach with (--after move keeps them in _processed)")
    return access.Tokens(path)


def _desk(args: argparse.Namespace, home: Path, served: Serving, drifts: dict[str, Any], writable: bool) -> LiveDesk:
    target = results_target(args, home)
    processed = [Path(c["processed_dir"] or Path(c["path"]) / "_processed") for c in _camera_params(args, served)]
    return LiveDesk(
        open_store=lambda: ResultStore(target, create=False, station=args.station, retry_s=3.0), home=home,
        station=args.station, products=served.products, writable=writable, look_in=processed, drifts=drifts,
        shared_overlays=Path(args.overlay_dir) if args.overlay_dir else None,
        good_scores={p: [float(v) for v in st.params.get("good_scores") or []] for p, st in served.states.items()},
    )


@contextlib.contextmanager
def _live(args: argparse.Namespace, served: Serving, health: DropHealth, home: Path,
          drifts: dict[str, Any]) -> Iterator[LiveFeed | None]:
    if args.serve is None:
        yield None
        return
    tokens = _tokens(args)
    first = served.states[served.products[0]]
    feed = LiveFeed(product=", ".join(served.products), folder=str(Path(args.folder).resolve()),
                    threshold=first.threshold, health=health, station=args.station,
                    desk=_desk(args, home, served, drifts, writable=tokens is not None))
    feed.info["products"] = served.products
    feed.info["thresholds"] = {p: st.threshold for p, st in served.states.items()}
    try:
        server = LiveServer(feed, *args.serve, tokens=tokens).start()
    except OSError as exc:
        msg = f"cannot serve the live page on {args.serve[0]}:{args.serve[1]}: {exc.strerror or exc}"
        raise WatchError(msg) from None
    feed.info["url"] = server.url
    if not server.local:
        what = "changes with a token" if tokens is not None else "read-only"
        logger.warning("the live page %s is open to every PC that reaches this one on the network (%s); "
                       "--serve PORT keeps it on this PC", server.url, what)
    try:
        yield feed
    finally:
        server.close()


def _drifts(args: argparse.Namespace, served: Serving, store: ResultStore) -> dict[str, drift.DriftWatch]:
    if args.no_alarm:
        return {}
    rate = None if args.alarm_ng_rate is None else args.alarm_ng_rate / 100
    return {p: drift.DriftWatch(drift.band_from_teach(st.params, window_s=args.alarm_window, ng_rate=rate), p,
                                store=store) for p, st in served.states.items()}


def _printer(fmt: str) -> Any:
    if fmt == "jsonl":
        return lambda row, image, result: print(json.dumps(row.to_record(), ensure_ascii=False), flush=True)
    return lambda row, image, result: print(result_line(row), flush=True)


def _camera_params(args: argparse.Namespace, served: Serving) -> list[dict[str, Any]]:
    """The parameters of each camera: the drop folder's, or each product's subfolder's."""
    options = camera_options(args)
    return [{**options, "path": str(folder.resolve()), "processed_dir": options.get("processed_dir")}
            for folder in served.folders.values()]


def _camera(args: argparse.Namespace, served: Serving) -> Any:
    made = [with_acknowledgement(camera_class())({k: v for k, v in c.items() if v is not None})
            for c in _camera_params(args, served)]
    return made[0] if len(made) == 1 else CameraSet(dict(zip(served.folders, made, strict=True)))


def _served(args: argparse.Namespace, home: Path) -> Serving:
    folder = Path(args.folder)
    if not folder.is_dir():
        msg = f"drop folder {printable(folder)} does not exist or is not a folder; create it or point --folder at it"
        raise WatchError(msg)
    return serving(home, args.product, folder, args.product_pattern, allow_stale=args.allow_stale)


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    served = _served(args, home)
    options = camera_options(args)
    # No --extensions: the camera takes its own list, _EXTS.
    accepted = options.get("extensions") or sorted(camera_module()._EXTS)
    folders = [f.resolve() for f in served.folders.values()]
    health = DropHealth(folders[0], accepted, options.get("sentinel_ext") or "", more=folders[1:])
    camera = _camera(args, served)
    stop = threading.Event()
    drifts: dict[str, Any] = {}
    # The locks first: a second watcher exits at once, before it waits for a database out of reach.
    with _log_file(args.log_file), _locks([Path(args.folder), *served.folders.values()]), \
            ResultStore(results_target(args, home), station=args.station, stop=stop) as store, \
            _live(args, served, health, home, drifts) as feed, stop_on_signals(stop) as signals:
        banner = _banner(args, served, home, feed.info["url"] if feed else None, store.where)
        print(banner, file=sys.stderr, flush=True)
        logger.info("%s", banner)
        drifts.update(_drifts(args, served, store))
        stored = args.db_overlays == "on" or (args.db_overlays == "auto" and is_url(store.where))
        options = JobOptions(max_images=args.max_images, duration_s=args.duration, workers=args.workers,
                             write_overlays=not args.no_overlays, keep_overlays_days=args.keep_overlays,
                             shared_overlays=Path(args.overlay_dir) if args.overlay_dir else None,
                             stored_overlays=stored)
        watchers = JobWatchers(on_result=_printer(args.format), status=StatusLine(quiet=args.quiet), health=health,
                               feed=feed, kinds={p: calibration.KindWatch(t) for p, t in served.taught.items()},
                               drift=drift.DriftBoard(drifts) if drifts else None)
        job = InspectionJob(home=home, state=served.states[served.products[0]], store=store, inspector=inspector(),
                            camera=camera, options=options, watchers=watchers, stop=stop, states=served.states,
                            route=served.route)
        for watch in drifts.values():
            watch.run_id = job.summary.run_id
        summary = job.run()
        line = summary_line(served.products, str(args.folder), summary, home, store.where)
        logger.info("%s", line)
    print(line, file=sys.stderr if args.format == "jsonl" else sys.stdout, flush=True)
    if summary.error:
        what = "results cannot be recorded" if summary.reason == "store-failed" else "the camera stopped"
        msg = f"{what}: {summary.error}"
        raise WatchError(msg)
    if signals["interrupted"]:
        raise KeyboardInterrupt
    return 0


@contextlib.contextmanager
def _locks(folders: list[Path]) -> Iterator[None]:
    """One watcher per folder: the drop folder's lock, and each product subfolder's."""
    with contextlib.ExitStack() as stack:
        seen: set[Path] = set()
        for folder in folders:
            if folder.resolve() not in seen:
                seen.add(folder.resolve())
                stack.enter_context(FolderLock(folder))
        yield
