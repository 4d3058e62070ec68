"""Show the recorded verdicts: a table, CSV or JSON of the results database, newest last."""

from __future__ import annotations

import argparse
import csv
import datetime as dt
import json
import re
import sys
from pathlib import Path

from qorva.cli._common import add_db_options, home_of, name_of, positive_int, results_target
from qorva.cli._help import HelpFormatter
from qorva.names import printable
from qorva.products import ProductError, check_product, hint, known_products
from qorva.results import COLUMNS, VERDICTS, NoResults, ResultStore, Row, format_time

_RELATIVE = re.compile(r"^(\d+(?:\.\d+)?)\s*([smhd])$")
_UNIT_S = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def parse_since(text: str, now: dt.datetime | None = None) -> str:
    """A UTC time stamp from '30m', '2h', '7d', 'today', or an ISO date/time (local time unless it has an offset)."""
    now = now or dt.datetime.now().astimezone()
    t = text.strip().lower()
    m = _RELATIVE.match(t)
    if m:
        return format_time(now - dt.timedelta(seconds=float(m.group(1)) * _UNIT_S[m.group(2)]))
    if t == "today":
        return format_time(now.replace(hour=0, minute=0, second=0, microsecond=0))
    try:
        moment = dt.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        msg = f"not a time: {text!r}; use 30m, 2h, 7d, today, 2026-12-08 or 2026-12-08T14:30"
        raise argparse.ArgumentTypeError(msg) from None
    if moment.tzinfo is None:
        moment = moment.astimezone()
    return format_time(moment)


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "results",
        help="show recorded verdicts (table, CSV or JSON)",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", default=None, type=name_of("product id"), help="only this product (default: all)")
    parser.add_argument(
        "--since", type=parse_since, default=None,
        help="only results since: 30m, 2h, 7d, today, ISO time (default: all time)"
    )
    parser.add_argument(
        "--until", type=parse_since, default=None,
        help="only results before: 30m, 2h, today, ISO time (default: up to now)"
    )
    parser.add_argument(
        "--verdict", action="append", choices=VERDICTS, default=None,
        help="only this verdict (repeatable; default: all)",
    )
    parser.add_argument(
        "--limit", type=positive_int, default=None, help="only the most recent N results (default: all)"
    )
    parser.add_argument("--run", type=name_of("run id"), default=None, help="only this run (default: all runs)")
    parser.add_argument("--runs", action="store_true", help="list the recorded runs instead of the results")
    parser.add_argument("--format", choices=("table", "csv", "json"), default="table", help="output format on stdout")
    add_db_options(parser, filter_station=True)
    return parser


def local_time(recorded_at: str) -> str:
    """A stored UTC time stamp as this PC's local time, to the second."""
    moment = dt.datetime.fromisoformat(recorded_at.replace("Z", "+00:00")).astimezone()
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def _num(v: float | None, places: int) -> str:
    return "-" if v is None else f"{v:.{places}f}"


def _table(rows: list[Row]) -> None:
    head = (
        "id", "time", "product", "file", "verdict", "score", "threshold", "source", "model", "ratio", "dominant", "ms",
        "overlay/error",
    )
    body = [
        (
            str(r.id), local_time(r.recorded_at), r.product_id, r.source_file or "-", r.verdict,
            _num(r.score, 4), _num(r.threshold, 4), r.threshold_source or "-",
            f"v{r.model_version}" if r.model_version is not None else "-", _num(r.ratio, 3), r.dominant_branch or "-",
            _num(r.latency_ms, 0), r.overlay_path or r.error_message or "",
        )
        for r in rows
    ]
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    print("  ".join(h.ljust(w) for h, w in zip(head, widths, strict=True)).rstrip())
    for b in body:
        print(printable("  ".join(c.ljust(w) for c, w in zip(b, widths, strict=True)).rstrip()))


def _runs(store: ResultStore | None, args: argparse.Namespace, product: str | None) -> int:
    runs = store.runs(product, args.station) if store is not None else []
    head = ("run", "product", "station", "first", "last", "images", "OK", "NG", "ERROR")
    body = [(r.run_id, r.product_id, r.station or "-", local_time(r.first), local_time(r.last), str(r.n), str(r.ok),
             str(r.ng), str(r.error)) for r in runs]
    _print_table(head, body)
    if store is not None:
        _outbox(store, args.station)
    print(f"{len(runs)} runs", file=sys.stderr)
    return 0


def _print_table(head: tuple[str, ...], body: list[tuple[str, ...]]) -> None:
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    for line in (head, *body):
        print(printable("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip()))


def _outbox(store: ResultStore, station: str | None) -> None:
    """Each output's backlog: messages waiting for their peer, the oldest one's age, those dropped."""
    backlogs = store.backlogs(station)
    if not backlogs:
        return
    print()
    head = ("outbox of", "output", "waiting", "oldest", "dropped (last day)")
    _print_table(head, [(b.station, b.output, str(b.waiting), "-" if b.age_s() is None else f"{b.age_s():.0f} s ago",
                         str(b.dropped)) for b in backlogs])


def _open(args: argparse.Namespace) -> tuple[ResultStore | None, str]:
    """The store to read (None: nothing recorded there yet) and how to name it."""
    target = results_target(args, home_of(args))
    try:
        store = ResultStore(target, create=False)
    except NoResults as exc:
        return None, f"{exc.where} (nothing recorded yet; 'qorva watch' records results)"
    return store, store.where


def check_known(product: str, store: ResultStore | None, home: Path) -> None:
    """`ProductError` for a product that has no rows in `store` and is not trained in `home` (a typo, a case)."""
    recorded = store.products() if store is not None else []
    if product in recorded or product in known_products(home):
        return
    known = sorted({*recorded, *known_products(home)})
    where = store.where if store is not None else "the results database"
    msg = f"no such product {product!r}: no results of it in {where} and not trained in {home}{hint(product, known)}"
    raise ProductError(msg)


def run(args: argparse.Namespace) -> int:
    product = check_product(args.product) if args.product is not None else None
    store, where = _open(args)
    rows: list[Row] = []
    if store is not None:
        with store:
            if args.runs:
                return _runs(store, args, product)
            rows = store.query(product_id=product, since=args.since, until=args.until, verdicts=args.verdict or (),
                               limit=args.limit, run_id=args.run, station=args.station)
            if product is not None and not rows:
                check_known(product, store, home_of(args))
    elif args.runs:
        return _runs(None, args, product)
    elif product is not None:
        check_known(product, None, home_of(args))
    if args.format == "json":
        print(json.dumps([r.to_record() for r in rows], ensure_ascii=False, indent=2))
    elif args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(("id", *COLUMNS))
        for r in rows:
            writer.writerow(r.to_record().values())
    else:
        _table(rows)
    counts = ", ".join(f"{v} {sum(r.verdict == v for r in rows)}" for v in VERDICTS)
    print(f"{len(rows)} results ({counts}) from {where}", file=sys.stderr)
    return 0
