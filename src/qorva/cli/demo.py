"""Run the whole job on built-in synthetic images: train, teach, watch a drop folder, score against the truth.

A simulated sender drops good and defective images into <workdir>/drop (slow chunked writes under the
stable policy, completion markers under the sentinel policy); the real camera and inspector judge them.
Prints the confusion matrix, recall, false-positive rate, latency percentiles and throughput, and writes
<workdir>/report/contact_sheet.png and <workdir>/report/report.html. Everything stays under <workdir>.
"""

from __future__ import annotations

import argparse
import shlex
import threading
import time
from pathlib import Path

from qorva.cli._common import camera_class, inspector, int_in, stop_on_signals
from qorva.cli._help import HelpFormatter
from qorva.console import result_line
from qorva.demo.report import write_report
from qorva.demo.run import DemoError, DemoOptions, note_made, prepare_workdir, run_demo
from qorva.demo.scoring import score, summary_lines


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from qorva.demo.synthetic import PRODUCTS

    parser = subparsers.add_parser(
        "demo",
        help="run train, teach and watch end to end on built-in synthetic images",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--workdir", default="demo-out", help="folder for data, home, drop folder and report")
    parser.add_argument(
        "--images", type=int_in(1, 10_000), default=40, help="test images dropped (about 40%% defective)"
    )
    parser.add_argument("--product", choices=tuple(PRODUCTS), default="assembly", help="built-in synthetic product")
    parser.add_argument(
        "--policy", choices=("stable", "sentinel", "both"), default="both",
        help="readiness policy; both: the first half of the images stable, the second half sentinel",
    )
    parser.add_argument("--train-images", type=int_in(1, 10_000), default=24, help="good images to train on")
    parser.add_argument("--teach-images", type=int_in(1, 10_000), default=16, help="good images to calibrate on")
    parser.add_argument("--size", type=int_in(64, 4096), default=256, help="image side in pixels")
    parser.add_argument("--seed", type=int_in(0, 2**32 - 1), default=0, help="seed of the synthetic images")
    return parser


def run(args: argparse.Namespace) -> int:
    t0 = time.perf_counter()
    if args.home:
        msg = "qorva demo keeps its own home under --workdir; drop --home"
        raise DemoError(msg)
    opts = DemoOptions(
        workdir=Path(args.workdir).resolve(),
        images=args.images,
        product=args.product,
        seed=args.seed,
        size=args.size,
        train=max(args.train_images, 4),
        teach=args.teach_images,
        policy=args.policy,
        quiet=args.quiet,
    )
    insp, cam = inspector(), camera_class()
    prepare_workdir(opts.workdir)
    stop = threading.Event()
    try:
        with stop_on_signals(stop) as signals:
            result = run_demo(opts, stop, insp, cam, on_row=lambda row: print(result_line(row), flush=True))
        scores = score(result)
        print()
        for line in summary_lines(opts, result, scores):
            print(line)
        report, sheet = write_report(opts, result, scores, result.good_scores)
    finally:
        note_made(opts.workdir)  # what the next demo may replace: nothing made after this is its own
    print(
        f"demo done in {time.perf_counter() - t0:.1f} s: {scores.n}/{len(result.items)} images judged; "
        f"report {report}; contact sheet {sheet}"
    )
    home = opts.workdir / "home"
    print(f"its home is {home}; its recorded runs: qorva results --runs --home {shlex.quote(str(home))}")
    if signals["interrupted"]:
        raise KeyboardInterrupt
    if scores.missing:
        msg = f"{len(scores.missing)} dropped images got no verdict (see the summary above)"
        raise DemoError(msg)
    return 0
