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
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from qorva import calibration, drift, station, versions
from qorva.cli._common import (
    add_db_options,
    camera_class,
    camera_module,
    duration_s,
    float_in,
    home_of,
    inspector,
    int_in,
    plain_text,
    positive_int,
    results_target,
    stop_on_signals,
)
from qorva.cli._help import HelpFormatter
from qorva.cli._watch_page import add_page_options, drifts, live
from qorva.console import LOG_FORMAT, OneLineFormatter, StatusLine, result_line
from qorva.database import is_url
from qorva.database import shown as database_shown
from qorva.drop_health import DropHealth
from qorva.errors import QorvaError
from qorva.home import overlays_dir
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, JobSummary, JobWatchers, camera_params
from qorva.live import LiveFeed, parse_address
from qorva.names import printable
from qorva.part_id import PartId, pattern
from qorva.results import ResultStore, default_station
from qorva.service import Notifier
from qorva.serving import Serving, cameras, locks, product_list, product_pattern, serving

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


def check_args(args: argparse.Namespace) -> str | None:
    """What is wrong with a combination of values, for a usage error; None when nothing is."""
    if args.processed_dir and _same_folder(Path(args.processed_dir), Path(args.folder)):
        return f"--processed-dir {args.processed_dir} is the drop folder itself; moved files would be taken again"
    if args.token_file and args.serve is None:
        return "--token-file opens the live page to changes: it needs --serve"
    if args.shadow is not None and len(args.product) > 1:
        return "--shadow judges one product's candidate version: serve that product alone"
    return None


class _Products(argparse.Action):
    """`--product`: repeated or comma separated, several products; the first given replaces a station file's."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        before = list(getattr(namespace, self.dest) or []) if getattr(namespace, "_products_given", False) else []
        setattr(namespace, self.dest, list(dict.fromkeys([*before, *values])))
        namespace._products_given = True


def _product_ids(text: str) -> list[str]:
    try:
        return product_list(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _pattern(text: str) -> re.Pattern[str]:
    try:
        return product_pattern(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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
    parser.add_argument("--config", default=None, metavar="FILE",
                        help="a station file (TOML) with any of these options and the outputs; the command line "
                             "overrides it (docs/line.md)")
    parser.add_argument("--check", action="store_true",
                        help="check the options and the station file, print what would run, and exit")
    parser.add_argument(
        "--product", required=True, action=_Products, type=_product_ids,
        help="product id (taught with 'qorva teach'); repeat it (or separate ids by commas) to serve several, each "
             "from its subfolder <folder>/<product>/ (made when missing) unless --product-pattern is given",
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
                     help="watch even when the version the product was taught on is gone (default: refuse)")
    job.add_argument("--part-id", type=pattern, default=None, metavar="REGEX",
                     help="the part's id from the file name: a regular expression with a group (?P<part>...) "
                          "(default: no part ids)")
    job.add_argument("--part-id-sidecar", type=plain_text("--part-id-sidecar"), default=None, metavar="KEY",
                     help="the part's id from KEY of the JSON file beside the image (<stem>.json), before --part-id")
    job.add_argument("--deadline-ms", type=float_in(1, 3_600_000), default=None, metavar="MS",
                     help="a verdict recorded later than MS after its image was taken is sent as late, result "
                          "code 3 (default: no deadline)")
    job.add_argument("--shadow", type=int_in(1, 10**9), default=None, metavar="VERSION",
                     help="also judge every image with this taught version of the bundle, recorded apart: it never "
                          "decides a verdict or moves a file ('qorva report' compares; default: none)")
    # 64: beyond that the frames in flight hold more memory than they win time (each holds a decoded image).
    job.add_argument("--workers", type=int_in(1, 64), default=os.cpu_count() or 1, metavar="N",
                     help="images inspected side by side, one core each (default: the CPU count)")
    job.add_argument("--overlay-dir", default=None, metavar="DIR",
                     help="write NG overlays into this shared folder (a line's share) instead of the home's")
    job.add_argument("--db-overlays", choices=("auto", "on", "off"), default="auto",
                     help="keep each NG overlay as a small JPEG with its row, for reports on any PC "
                          "(auto: on with a PostgreSQL --db)")
    add_page_options(parser)


def shadow_line(summary: JobSummary, shadow: versions.InUse | None) -> str:
    """How the candidate version agreed with the verdicts, for the summary; empty without one."""
    pairs = summary.shadow
    if shadow is None or not pairs:
        return ""
    n = sum(pairs.values())
    same = sum(c for (live, cand), c in pairs.items() if live == cand)
    differ = ", ".join(f"{c} {live} here and {cand} by {shadow.label}" for (live, cand), c in sorted(pairs.items())
                       if live != cand)
    return f"; shadow {shadow.label} agreed on {same} of {n}" + (f" ({differ})" if differ else "")


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
    order = [*products, *sorted(set(summary.by_product) - set(products))]
    each = "; " + "; ".join(f"{p}: {summary.counts_text(p)}" for p in order) if len(order) > 1 else ""
    overlays = overlays_dir(home, products[0]) if len(products) == 1 else overlays_dir(home, products[0]).parent
    return (
        f"watched {printable(folder)} for {', '.join(products)}: {summary.n} images ({summary.counts_text()}{extra}"
        f"{each}) in {summary.seconds:.1f} s, {rate:.1f} img/s; results in {where}, overlays in {overlays}"
    )


def _banner(args: argparse.Namespace, served: Serving, home: Path, page: str | None, where: str,
            shadow: versions.InUse | None) -> str:
    options = camera_options(args)
    each = ", ".join(f"{p}: {m.describe()}" for p, m in served.models.items())
    how = ("" if served.route is None else " by file name" if args.product_pattern is not None
           else " by subfolder <folder>/<product>/")
    return (
        f"watch {each}{how}" + (f", shadow {shadow.describe()}" if shadow is not None else "") + "; "
        f"folder {printable(Path(args.folder).resolve())}; policy {options.get('ready_policy')}, after "
        f"{options.get('after')}; home {home}; lock {Path(args.folder).resolve() / '.qorva-watch.lock'}; "
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


def _printer(fmt: str) -> Any:
    if fmt == "jsonl":
        return lambda row, image, result: print(json.dumps(row.to_record(), ensure_ascii=False), flush=True)
    return lambda row, image, result: print(result_line(row), flush=True)


def prepare(parser: argparse.ArgumentParser, argv: list[str]) -> None:
    """Read the station file `--config` names, if any: its values become the defaults of the options."""
    path = next((argv[i + 1] for i, a in enumerate(argv[:-1]) if a == "--config"), None)
    path = next((a.split("=", 1)[1] for a in argv if a.startswith("--config=")), path)
    if path is None:
        return
    from_file = station.apply(parser, station.read(path), path)
    parser.set_defaults(_from_file=from_file, _given=station.given_on_command_line(parser, argv))


def _outputs(args: argparse.Namespace, target: str | Path) -> Any:
    """The station file's outputs, built and checked, not started (None: the file has none)."""
    from qorva.outputs import OutputConfigError, build

    tables = getattr(args, "station_outputs", None) or {}
    if not tables:
        return None
    try:
        return build(tables, getattr(args, "station_products", None), args.station,
                     lambda stop: ResultStore(target, station=args.station, stop=stop, synced=False))
    except OutputConfigError as exc:
        msg = f"station file {args.config}: {exc}"
        raise WatchError(msg) from None


def _warm(ins: Any, model: versions.InUse) -> None:
    """Inspect a blank image of the taught size once, so the first part is not the one that loads the model."""
    kinds = model.calibration.get("kinds") or {}
    try:
        w, h = (int(v) for v in (kinds.get("size") or ["256x256"])[0].split("x"))
    except ValueError:
        w, h = 256, 256
    gray = (kinds.get("channels") or [""])[0] == "gray"
    image = np.full((h, w) if gray else (h, w, 3), 128, np.uint8)
    t = time.perf_counter()
    try:
        with model.pinned():
            ins.inspect(image, model.state, with_overlay=True)
    except Exception as exc:  # noqa: BLE001 - the first image pays for the loading instead; it says why
        logger.warning("cannot warm the model up: %s", exc)
        return
    logger.info("model warmed up in %.2f s", time.perf_counter() - t)


def _check_report(args: argparse.Namespace, served: Serving, shadow: versions.InUse | None, home: Path,
                  where: str, outputs: Any) -> int:
    """`--check`: every option with where its value comes from, the outputs, and nothing started."""
    from_file, given = set(getattr(args, "_from_file", ())), set(getattr(args, "_given", ()))
    print(_banner(args, served, home, None, where, shadow))
    for key in sorted(vars(args)):
        if key.startswith("_") or key in ("station_outputs", "station_products", "check"):
            continue
        source = "command line" if key in given else "station file" if key in from_file else "default"
        value = getattr(args, key)
        value = value.pattern if hasattr(value, "pattern") else value
        print(f"  {key:<22} {printable(database_shown(value) if key == 'db' else value):<40} {source}")
    for sender in outputs.senders if outputs is not None else ():
        print(f"  output {sender.output.name}: {sender.output.describe()}")
    n = len(outputs.senders) if outputs is not None else 0
    print(f"{args.config or 'the options'}: valid; watch would start with {n} outputs", file=sys.stderr)
    return 0


def _shadow(home: Path, product: str, model: versions.InUse, version: int | None) -> versions.InUse | None:
    """The candidate version with its own taught state, loaded before the first image."""
    from qorva.inspection.modules.norim import runner

    if version is None:
        return None
    found = versions.taught_state(home, model.bundle, version, product)
    if found is None:
        msg = (f"--shadow {version}: version {version} of {model.bundle} is not taught; teach it first with "
               f"'qorva teach --product {product} --version {version} --candidate --good DIR'")
        raise WatchError(msg)
    shadow = versions.paired(home, *found)
    try:
        with shadow.pinned():
            runner.get_bundle(shadow.bundle, shadow.state.params.get("device"))
    except runner.NorimError as exc:
        msg = f"--shadow {version}: {exc}"
        raise WatchError(msg) from None
    return shadow


def _switched(feed: LiveFeed | None, product: str, first: bool) -> Any:
    def announce(new: versions.InUse, text: str) -> None:
        print(text, file=sys.stderr, flush=True)
        if feed is not None:
            feed.info["thresholds"] = {**feed.info.get("thresholds", {}), product: new.threshold}
            if first:
                feed.info.update(model=new.describe(), threshold=new.threshold)
    return announce


def _served(args: argparse.Namespace, home: Path) -> Serving:
    folder = Path(args.folder)
    if not folder.is_dir():
        msg = f"drop folder {printable(folder)} does not exist or is not a folder; create it or point --folder at it"
        raise WatchError(msg)
    return serving(home, args.product, folder, args.product_pattern, allow_stale=args.allow_stale)


def _camera_params(args: argparse.Namespace, served: Serving) -> list[dict[str, Any]]:
    """The parameters of each camera: the drop folder's, or each product's subfolder's."""
    options = camera_options(args)
    return [{**options, "path": str(folder.resolve())} for folder in served.folders.values()]


def _watchers(args: argparse.Namespace, served: Serving, health: DropHealth, feed: LiveFeed | None, sending: Any,
              alarms: dict[str, Any], notifier: Notifier) -> JobWatchers:
    kinds = {p: calibration.KindWatch(m.calibration) for p, m in served.models.items()}
    return JobWatchers(on_result=_printer(args.format), status=StatusLine(quiet=args.quiet), health=health,
                       feed=feed, kinds=kinds, outputs=sending, drift=drift.DriftBoard(alarms) if alarms else None,
                       service=notifier if notifier.active else None)


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    served = _served(args, home)
    shadow = _shadow(home, served.products[0], served.first, args.shadow)
    target = results_target(args, home)
    outputs = _outputs(args, target)
    if args.check:
        return _check_report(args, served, shadow, home, database_shown(target), outputs)
    params = _camera_params(args, served)
    # No --extensions: the camera takes its own list, _EXTS.
    accepted = params[0].get("extensions") or sorted(camera_module()._EXTS)
    folders = [Path(p["path"]) for p in params]
    health = DropHealth(folders[0], accepted, params[0].get("sentinel_ext") or "", more=folders[1:])
    camera = cameras(served, params, with_acknowledgement(camera_class()))
    processed = [Path(p.get("processed_dir") or Path(p["path"]) / "_processed") for p in params]
    stop, notifier = threading.Event(), Notifier()
    alarms: dict[str, Any] = {}
    # The locks first: a second watcher exits at once, before it waits for a database out of reach.
    with _log_file(args.log_file), locks([Path(args.folder), *served.folders.values()]), \
            ResultStore(target, station=args.station, stop=stop) as store, \
            live(args, home, served, health, processed, alarms) as feed, stop_on_signals(stop) as signals, \
            _sending(outputs) as sending, contextlib.closing(notifier):
        ins = inspector()
        for model in served.models.values():
            _warm(ins, model)
        banner = _banner(args, served, home, feed.info["url"] if feed else None, store.where, shadow)
        print(banner, file=sys.stderr, flush=True)
        logger.info("%s", banner)
        notifier.ready(f"watching {args.folder} for {', '.join(served.products)}")
        if sending is not None:
            sending.set_state(ready=True, beat=time.monotonic())
            if feed is not None:
                feed.sources["outputs"] = sending.status
        alarms.update(drifts(args, served, store))
        followers = {p: versions.Follower(home, p, m, announce=_switched(feed, p, p == served.products[0]))
                     for p, m in served.models.items()}
        job = InspectionJob(home=home, state=served.first.state, store=store, inspector=ins, camera=camera,
                            options=_job_options(args, is_url(store.where)), stop=stop, models=followers,
                            watchers=_watchers(args, served, health, feed, sending, alarms, notifier), shadow=shadow,
                            route=served.route)
        for watch in alarms.values():
            watch.run_id = job.summary.run_id
        summary = job.run()
        if sending is not None:
            sending.set_state(ready=False, busy=False, fault=_FAULTS.get(summary.reason, 0))
        line = summary_line(served.products, str(args.folder), summary, home, store.where) + shadow_line(summary,
                                                                                                         shadow)
        logger.info("%s", line)
        notifier.stopping(line)
    print(line, file=sys.stderr if args.format == "jsonl" else sys.stdout, flush=True)
    if summary.error:
        what = "results cannot be recorded" if summary.reason == "store-failed" else "the camera stopped"
        msg = f"{what}: {summary.error}"
        raise WatchError(msg)
    if signals["interrupted"]:
        raise KeyboardInterrupt
    return 0


# The fault code the outputs show when the job ends for a reason other than a stop (docs/line.md).
_FAULTS = {"store-failed": 1, "camera-failed": 2}


def _job_options(args: argparse.Namespace, shared_db: bool) -> JobOptions:
    part = PartId(args.part_id, args.part_id_sidecar) if args.part_id or args.part_id_sidecar else None
    return JobOptions(max_images=args.max_images, duration_s=args.duration, workers=args.workers,
                      write_overlays=not args.no_overlays, keep_overlays_days=args.keep_overlays,
                      deadline_ms=args.deadline_ms, part_id=part,
                      shared_overlays=Path(args.overlay_dir) if args.overlay_dir else None,
                      stored_overlays=args.db_overlays == "on" or (args.db_overlays == "auto" and shared_db))


@contextlib.contextmanager
def _sending(outputs: Any) -> Iterator[Any]:
    """The outputs' senders, started, ready once the model is warm; stopped after a short grace at the end."""
    if outputs is None:
        yield None
        return
    outputs.start()
    try:
        yield outputs
    finally:
        outputs.close()
