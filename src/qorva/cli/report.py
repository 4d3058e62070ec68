"""Write the report of a recorded run: an HTML page and a contact sheet, from the results and the overlays.

The page shows the counts, NG rate, throughput and latency percentiles, a histogram of the scores with the
threshold and the good samples it was taught on, the NG images with their overlays, the OK images closest
to the threshold and the ERROR rows, an hourly trend, what people decided about the NG images, and every
row as CSV beside the page. Without --run, --since or --until it reports the latest run (of --product).
"""

from __future__ import annotations

import argparse
from pathlib import Path

from qorva import report
from qorva.cli._common import add_db_options, home_of, name_of, results_target
from qorva.cli._help import HelpFormatter
from qorva.cli.results import check_known, parse_since
from qorva.errors import QorvaError
from qorva.home import check_name, qorva_home
from qorva.products import check_product, load_state
from qorva.results import VERDICTS, NoResults, ResultStore, reviews


class ReportError(QorvaError):
    """Nothing to report, or the report cannot be written."""


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "report", help="write an HTML report and contact sheet of a recorded run", description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", type=name_of("product id"), default=None,
                        help="the product (default: every product)")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--run", type=name_of("run id"), default=None,
                       help="the run to report ('qorva results --runs' lists them; default: the latest)")
    which.add_argument("--since", type=parse_since, default=None,
                       help="every result since: 30m, 2h, 7d, today, ISO time (default: the latest run)")
    parser.add_argument("--until", type=parse_since, default=None,
                        help="only results before: 30m, 2h, today, ISO time (default: up to now)")
    parser.add_argument("--verdict", action="append", choices=VERDICTS, default=None,
                        help="only this verdict (repeatable; default: all)")
    parser.add_argument("--overlay-dir", default=None, metavar="DIR",
                        help="a line's shared overlay folder to read overlays from (watch --overlay-dir)")
    parser.add_argument("--out", default=None, metavar="DIR",
                        help="folder to write (default: <home>/reports/<product>/<run id>)")
    add_db_options(parser, filter_station=True)
    return parser


def _rows(store: ResultStore, home: Path, product: str | None, args: argparse.Namespace) -> tuple[list, str]:
    run = args.run
    if run is None and args.since is None and args.until is None:
        runs = store.runs(product, args.station)
        if not runs:
            if product is not None:
                check_known(product, store, home)
            msg = f"no results of {product or 'any product'} in {store.where}"
            raise ReportError(msg)
        run = runs[-1].run_id
    rows = store.query(product_id=product, since=args.since, until=args.until, run_id=run, station=args.station,
                       verdicts=args.verdict or ())
    if not rows:
        msg = f"no results of {product or 'any product'} " + (f"in run {run}" if run else "in that time")
        raise ReportError(msg)
    label = run or "since-" + (args.since or rows[0].recorded_at)[:19].replace(":", "")
    return rows, label


def _good_scores(home: Path, product: str | None) -> list[float]:
    if product is None:
        return []
    try:
        return [float(s) for s in load_state(home, product).params.get("good_scores") or []]
    except (QorvaError, TypeError, ValueError):
        return []  # untaught or edited state: the histogram goes without the outline


def _open(home: Path, args: argparse.Namespace) -> ResultStore:
    try:
        return ResultStore(results_target(args, home), create=False)
    except NoResults as exc:
        msg = f"nothing recorded yet: no {exc.where}; 'qorva watch' records results"
        raise ReportError(msg) from None


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = check_product(args.product) if args.product else None
    with _open(home, args) as store:
        rows, label = _rows(store, home, product, args)
        out = Path(args.out) if args.out else qorva_home(home) / "reports" / (product or "all") / check_name(
            label, "run id")
        ids = [r.id for r in rows if r.id is not None]
        made = report.Run(product or "", rows, _good_scores(home, product), home=home,
                          decisions=reviews.latest(store, ids), shadows=store.shadows(ids),
                          shared_overlays=Path(args.overlay_dir) if args.overlay_dir else None,
                          stored_overlay=store.overlay_image)
        try:
            page, sheet = report.write(made, out)
        except OSError as exc:
            msg = f"cannot write the report to {out}: {exc}"
            raise ReportError(msg) from None
    counts = ", ".join(f"{v} {sum(r.verdict == v for r in rows)}" for v in ("OK", "NG", "ERROR"))
    print(f"report of {product or 'every product'} ({label}): {len(rows)} images ({counts}) -> {page}; "
          f"contact sheet {sheet}; rows as CSV {out / 'rows.csv'}")
    return 0
