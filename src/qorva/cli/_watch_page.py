"""What `watch --serve` puts on the live page beyond the verdicts: the token file that opens it to changes, the
database side (queue, reviews, acknowledgements, the served report) and the drift alarms it shows."""

from __future__ import annotations

import argparse
import contextlib
import logging
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from qorva import access, drift
from qorva.cli._common import duration_s, float_in, results_target
from qorva.drop_health import DropHealth
from qorva.errors import QorvaError
from qorva.live import LiveFeed, LiveServer
from qorva.live_desk import LiveDesk
from qorva.results import ResultStore
from qorva.serving import Serving

logger = logging.getLogger("qorva.watch")


def add_page_options(parser: argparse.ArgumentParser) -> None:
    page = parser.add_argument_group("review and drift alarm")
    page.add_argument("--token-file", default=None, metavar="FILE",
                      help="let holders of a token of FILE review rows and acknowledge alarms on the live page "
                           "(made with one random token if missing; default: the page is read-only)")
    page.add_argument("--alarm-window", type=duration_s, default=drift.WINDOW_S, metavar="DURATION",
                      help="the drift alarm judges the verdicts of this last stretch: 10m, 1h (default: 10m)")
    page.add_argument("--alarm-ng-rate", type=float_in(0, 100), default=None, metavar="PCT",
                      help="alarm above this NG rate in percent (default: 3x the teach samples' false-positive "
                           f"rate, at least {100 * drift.NG_RATE_FLOOR:g})")
    page.add_argument("--no-alarm", action="store_true", help="no drift alarm")


def tokens(args: argparse.Namespace) -> access.Tokens | None:
    """The token file's tokens (a new file with one random token when it is missing); None: read-only."""
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


def desk(args: argparse.Namespace, home: Path, served: Serving, processed: list[Path], drifts: dict[str, Any],
         writable: bool) -> LiveDesk:
    target = results_target(args, home)
    return LiveDesk(
        open_store=lambda: ResultStore(target, create=False, station=args.station, retry_s=3.0), home=home,
        station=args.station, products=served.products, writable=writable, look_in=processed, drifts=drifts,
        shared_overlays=Path(args.overlay_dir) if args.overlay_dir else None,
        good_scores={p: [float(v) for v in m.state.params.get("good_scores") or []] for p, m in served.models.items()},
    )


@contextlib.contextmanager
def live(args: argparse.Namespace, home: Path, served: Serving, health: DropHealth, processed: list[Path],
         drifts: dict[str, Any]) -> Iterator[LiveFeed | None]:
    """The live page, served while the block runs (None without --serve)."""
    if args.serve is None:
        yield None
        return
    allowed = tokens(args)
    feed = LiveFeed(product=", ".join(served.products), folder=str(Path(args.folder).resolve()),
                    threshold=served.first.threshold, health=health, station=args.station,
                    desk=desk(args, home, served, processed, drifts, writable=allowed is not None))
    feed.info["model"] = served.first.describe()
    feed.info["products"] = served.products
    feed.info["thresholds"] = {p: m.threshold for p, m in served.models.items()}
    try:
        server = LiveServer(feed, *args.serve, tokens=allowed).start()
    except OSError as exc:
        msg = f"cannot serve the live page on {args.serve[0]}:{args.serve[1]}: {exc.strerror or exc}"
        raise QorvaError(msg) from None
    feed.info["url"] = server.url
    if not server.local:
        what = "changes with a token" if allowed is not None else "read-only"
        logger.warning("the live page %s is open to every PC that reaches this one on the network (%s); "
                       "--serve PORT keeps it on this PC", server.url, what)
    try:
        yield feed
    finally:
        server.close()


def drifts(args: argparse.Namespace, served: Serving, store: ResultStore) -> dict[str, drift.DriftWatch]:
    """A drift alarm per product, its band from the product's teach samples (none with --no-alarm)."""
    if args.no_alarm:
        return {}
    rate = None if args.alarm_ng_rate is None else args.alarm_ng_rate / 100
    return {p: drift.DriftWatch(drift.band_from_teach(m.state.params, window_s=args.alarm_window, ng_rate=rate), p,
                                store=store) for p, m in served.models.items()}
