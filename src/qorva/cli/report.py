"""Write the report of a recorded run: an HTML page and a contact sheet, from the results and the overlays.

The page shows the counts, NG rate, throughput and latency percentiles, a histogram of the scores with the
threshold and the good samples it was taught on, the NG images with their overlays, the OK images closest
to the threshold and the ERROR rows. Without --run or --since it reports the product's latest run.
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
from qorva.results import NoResults, ResultStore


class ReportError(QorvaError):
    """Nothing to report, or the report cannot be written."""


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "report", help="write an HTML report and contact sheet of a recorded run", description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", required=True, type=name_of("product id"), help="the product")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--run", type=name_of("run id"), default=None,
                       help="the run to report ('qorva results --runs' lists them; default: the latest)")
    which.add_argument("--since", type=parse_since, default=None,
                       help="every result since: 30m, 2h, 7d, today, ISO time (default: the latest run)")
    parser.add_argument("--out", default=None, metavar="DIR",
                        help="folder to write (default: <home>/reports/<product>/<run id>)")
    add_db_options(parser, filter_station=True)
    return parser


def _rows(home: Path, product: str, args: argparse.Namespace) -> tuple[list, str, dict]:
    try:
        store = ResultStore(results_target(args, home), create=False)
    except NoResults as exc:
        msg = f"nothing recorded yet: no {exc.where}; 'qorva watch' records results"
        raise ReportError(msg) from None
    with store:
        run = args.run
        if run is None and args.since is None:
            runs = store.runs(product, args.station)
            if not runs:
                check_known(product, store, home)
                msg = f"no results of {product} in {store.where}"
                raise ReportError(msg)
            run = runs[-1].run_id
        rows = store.query(product_id=product, since=args.since, run_id=run, station=args.station)
        shadows = store.shadows([r.id for r in rows if r.id is not None])
    if not rows:
        msg = f"no results of {product} " + (f"in run {run}" if run else f"since {args.since}")
        raise ReportError(msg)
    return rows, run or "since-" + args.since[:19].replace(":", ""), shadows


def _good_scores(home: Path, product: str) -> list[float]:
    try:
        return [float(s) for s in load_state(home, product).params.get("good_scores") or []]
    except (QorvaError, TypeError, ValueError):
        return []  # untaught or edited state: the histogram goes without the outline


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = check_product(args.product)
    rows, label, shadows = _rows(home, product, args)
    out = Path(args.out) if args.out else qorva_home(home) / "reports" / product / check_name(label, "run id")
    try:
        page, sheet = report.write(report.Run(product, rows, _good_scores(home, product), home=home,
                                              shadows=shadows), out)
    except OSError as exc:
        msg = f"cannot write the report to {out}: {exc}"
        raise ReportError(msg) from None
    counts = ", ".join(f"{v} {sum(r.verdict == v for r in rows)}" for v in ("OK", "NG", "ERROR"))
    print(f"report of {product} ({label}): {len(rows)} images ({counts}) -> {page}; contact sheet {sheet}")
    return 0
