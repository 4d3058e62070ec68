"""Review recorded verdicts: overrule an NG as a good part, or confirm a defect; without ids, list the queue.

`qorva review` lists the NG rows nobody has decided on yet (the queue), newest first. `qorva review ID...
--good` marks rows as good parts (their NG overruled), `--defect` as confirmed defects, each with an
optional --note; every decision is recorded with who made it, where and when, and the latest one on a row
counts. The image is copied into the product's review store (products/<product>/reviews/good|defect/),
where 'qorva teach --add-reviewed' and 'qorva train --add-reviewed' take the good parts. `--reviewed`
lists the decisions made.
"""

from __future__ import annotations

import argparse
import getpass
import sys
from pathlib import Path

from qorva.cli._common import add_db_options, home_of, name_of, plain_text, positive_int, results_target
from qorva.cli._help import HelpFormatter
from qorva.cli.results import local_time
from qorva.names import printable
from qorva.results import NoResults, ResultStore, default_station, reviews
from qorva.review_store import MAX_NOTE, review


def _who_default() -> str:
    try:
        return getpass.getuser()
    except (OSError, KeyError, ImportError):  # no user name in the environment or the password database
        return "operator"


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser("review", help="overrule or confirm NG verdicts; list the review queue",
                                   description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("ids", nargs="*", type=positive_int, metavar="ID",
                        help="row ids ('qorva results' and the queue show them); none: list the queue")
    decision = parser.add_mutually_exclusive_group()
    decision.add_argument("--good", dest="decision", action="store_const", const="good",
                          help="the rows are good parts: their NG is overruled")
    decision.add_argument("--defect", dest="decision", action="store_const", const="defect",
                          help="the rows are defects, confirmed")
    decision.add_argument("--reviewed", dest="decision", action="store_const", const="list",
                          help="list the decisions made instead of the queue")
    parser.add_argument("--note", default=None, help=f"a note kept with each decision (up to {MAX_NOTE} characters)")
    parser.add_argument("--who", type=plain_text("--who"), default=_who_default(),
                        help="who decides, as recorded (default: the user name)")
    parser.add_argument("--look-in", action="append", default=[], metavar="DIR",
                        help="also look for the images here (repeatable; default: where they were and _processed)")
    parser.add_argument("--product", type=name_of("product id"), default=None, help="only this product's queue")
    parser.add_argument("--limit", type=positive_int, default=50, help="rows listed at most")
    add_db_options(parser, filter_station=True)
    return parser


def check_args(args: argparse.Namespace) -> str | None:
    if args.ids and args.decision in (None, "list"):
        return "say what the rows are: --good (the NG is overruled) or --defect (confirmed)"
    if args.decision in ("good", "defect") and not args.ids:
        return f"--{args.decision} needs the ids of the rows to review"
    return None


def _print(head: tuple[str, ...], body: list[tuple[str, ...]]) -> None:
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    for line in (head, *body):
        print(printable("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip()))


def _queue(store: ResultStore, args: argparse.Namespace) -> int:
    rows = reviews.queue(store, product_id=args.product, station=args.station, limit=args.limit)
    _print(("id", "time", "station", "product", "file", "score", "threshold", "overlay"),
           [(str(r.id), local_time(r.recorded_at), r.station or "-", r.product_id, r.source_file or "-",
             f"{r.score:.4f}" if r.score is not None else "-",
             f"{r.threshold:.4f}" if r.threshold is not None else "-", r.overlay_path or "-") for r in rows])
    print(f"{len(rows)} NG rows not reviewed in {store.where}"
          + (f" (the newest {args.limit}; --limit shows more)" if len(rows) == args.limit else ""), file=sys.stderr)
    return 0


def _listed(store: ResultStore, args: argparse.Namespace) -> int:
    made = reviews.listed(store, product_id=args.product, limit=args.limit)
    _print(("review", "row", "decision", "who", "station", "via", "when", "note"),
           [(str(v.id), str(v.result_id), v.label, v.reviewer, v.station or "-", v.via, local_time(v.reviewed_at),
             v.note or "") for v in made])
    print(f"{len(made)} decisions in {store.where}", file=sys.stderr)
    return 0


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    target = results_target(args, home)
    try:
        # The decision is recorded as made here; --station only filters the queue.
        store = ResultStore(target, create=args.decision in ("good", "defect"), station=default_station())
    except NoResults as exc:
        print(f"nothing recorded yet in {exc.where}; 'qorva watch' records results", file=sys.stderr)
        return 0
    with store:
        if args.decision is None:
            return _queue(store, args)
        if args.decision == "list":
            return _listed(store, args)
        for result_id in args.ids:
            done = review(store, home, result_id, args.decision, reviewer=args.who, via="command line",
                          note=args.note, look_in=[Path(d) for d in args.look_in])
            kept = f"image kept as {done.kept}" if done.kept else f"image not kept: {done.missing}"
            print(f"row {result_id} ({printable(done.row.source_file or '-')}, {done.row.verdict} "
                  f"{done.row.score if done.row.score is not None else '-'}): {done.review.label}; {kept}")
    print(f"{len(args.ids)} rows reviewed by {args.who} in {store.where}", file=sys.stderr)
    return 0
