"""Teach a product: load a version of its trained bundle, score good images and set the OK/NG threshold.

The threshold is the mean good score plus --sigma standard deviations, or a value given with --threshold, or the
one that leaves --target-fp of the good samples NG, or the one between the good samples and known-bad images
(--bad). Teach works on the newest version of the bundle (--version another) and makes it the one the line uses,
a running watch included; --candidate keeps it aside for 'watch --shadow' and 'qorva models use'.
"""

from __future__ import annotations

import argparse
import logging
import time
from typing import Any

from qorva import calibration, thresholds, versions
from qorva.cli._common import float_in, home_of, inspector, int_in, name_of, one_line, read_images
from qorva.cli._help import HelpFormatter
from qorva.errors import QorvaError
from qorva.images import image_files
from qorva.products import check_product, require_product

logger = logging.getLogger("qorva.calibration")


class TeachError(QorvaError):
    """Teaching failed: no bundle, unusable images or scores."""


def _device(text: str) -> str:
    from qorva.inspection.modules.norim import runner

    try:
        runner.check_device(text)
    except runner.NorimError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def rate(text: str) -> float:
    """An option type: a rate between 0 and 1, as 0.01 or 1%."""
    t = text.strip()
    try:
        value = float(t[:-1]) / 100 if t.endswith("%") else float(t)
    except ValueError:
        value = float("nan")
    if not 0 < value < 1:
        msg = f"not a rate: {text!r}; use a share such as 0.01 or 1% (above 0, below 100%)"
        raise argparse.ArgumentTypeError(msg)
    return value


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "teach", help="calibrate a product's OK/NG threshold on good images", description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"), help="product id (trained with 'qorva train')"
    )
    parser.add_argument("--good", required=True, help="folder of good images, 20-50 recommended, not the training set")
    how = parser.add_argument_group("the threshold (one of these)").add_mutually_exclusive_group()
    how.add_argument("--sigma", type=float_in(0, 100), default=None,
                     help="threshold = mean good score + sigma x standard deviation (default: 2)")
    how.add_argument("--threshold", type=float_in(-1e6, 1e6), default=None, metavar="X",
                     help="this threshold, as a score (default: from --sigma)")
    how.add_argument("--target-fp", type=rate, default=None, metavar="RATE",
                     help="the threshold that judges this share of the good samples NG, e.g. 1%% (default: none)")
    how.add_argument("--bad", action="append", default=None, metavar="DIR",
                     help="folder of known-bad images (repeatable): the threshold between them and the good samples "
                          "(default: none)")
    parser.add_argument("--version", type=int_in(1, 10**9), default=None,
                        help="the bundle's version to teach (default: the newest; 'qorva models' lists them)")
    parser.add_argument("--candidate", action="store_true",
                        help="keep this teach with its version only: the line goes on with the version it uses "
                             "(for 'watch --shadow' and 'qorva models use')")
    parser.add_argument(
        "--weights", default=None, type=name_of("bundle name"), help="bundle name to load; the product id when omitted"
    )
    parser.add_argument(
        "--device", default=None, type=_device,
        help="compute device for the bundle: cpu, auto, cuda or cuda:N (default: the runner chooses)",
    )
    parser.add_argument(
        "--add-reviewed", action="store_true",
        help="also take the product's reviewed good parts (NGs overruled with 'qorva review' or on the live page), "
             "and keep the threshold below its confirmed defects",
    )
    return parser


def _scores(images: list[Any], bundle: str, device: str | None) -> list[float]:
    from qorva.inspection.modules.norim import runner

    try:
        return runner.score_good_images(runner.get_bundle(bundle, device), images)
    except runner.NorimError as exc:
        msg = f"cannot score with bundle {bundle}: {one_line(exc)}"
        raise TeachError(msg) from exc


def _choice(args: argparse.Namespace, images: list[Any], bundle: str) -> thresholds.Choice:
    """The sigma the inspector is taught with, from whichever way the threshold was asked for."""
    if args.threshold is None and args.target_fp is None and not args.bad:
        return thresholds.by_sigma(2.0 if args.sigma is None else args.sigma)
    good = _scores(images, bundle, args.device)
    if args.threshold is not None:
        return thresholds.manual(good, args.threshold)
    if args.target_fp is not None:
        return thresholds.target_fp(good, args.target_fp)
    bad_files = [f for folder in args.bad for f in image_files(folder, "bad-image folder")]
    bad = _scores(read_images(bad_files, "read bad images", quiet=args.quiet), bundle, args.device)
    return thresholds.between(good, bad, len(args.bad))


def _reviewed(home: Any, product: str, decision: str, *, quiet: bool) -> tuple[list, list]:
    """The files and images of the product's review store for `decision` ("good": overruled NGs)."""
    from qorva.review_store import reviewed_images

    files = reviewed_images(home, product, decision)
    if not files:
        if decision == "good":
            logger.warning("teach %s: --add-reviewed found no reviewed good parts in the review store", product)
        return [], []
    what = "reviewed good parts" if decision == "good" else "confirmed defects"
    return files, read_images(files, f"read {product} {what}", quiet=quiet)


def _keep_defects(args: argparse.Namespace, choice: thresholds.Choice, images: list[Any], bundle: str,
                  home: Any) -> thresholds.Choice:
    """The choice, its threshold moved where it would pass a confirmed defect of the review store (or reject a
    reviewed good part while a threshold between them exists)."""
    from qorva.review_store import reviewed_threshold

    files, defects = _reviewed(home, args.product, "defect", quiet=args.quiet)
    if not files:
        return choice
    good, bad = _scores(images, bundle, args.device), _scores(defects, bundle, args.device)
    mean, std = thresholds.spread(good)
    threshold, why = reviewed_threshold(mean + choice.sigma * std, good, bad)
    if not why:
        return choice
    record = {"source": "reviewed", "method": "reviewed", "why": why, "confirmed_defects": len(files),
              "asked": choice.record}
    note = f"moved from {mean + choice.sigma * std:.4f} ({choice.source}): {why}, so the {len(files)} confirmed " \
           "defects stay NG"
    return thresholds.Choice((threshold - mean) / std, record, [*choice.notes, note])


def _still_rejected(state: Any, samples: list, reviewed: int) -> None:
    """Warn about overruled NGs the new threshold would still reject: a person said they are good."""
    scores = [float(s) for s in state.params.get("good_scores") or []]
    over = [(s.name, sc) for s, sc in zip(samples[len(samples) - reviewed :], scores[len(samples) - reviewed :],
                                          strict=False) if sc > state.threshold]
    if over:
        names = ", ".join(f"{n} ({sc:.2f})" for n, sc in over[:5]) + (" ..." if len(over) > 5 else "")
        logger.warning("teach %s: %d of the %d reviewed good parts still score above the threshold %.4f: %s; "
                       "'qorva train --add-reviewed' teaches the model that they are good", state.product_id,
                       len(over), reviewed, state.threshold, names)


def run(args: argparse.Namespace) -> int:
    from qorva.inspection.modules.norim import runner

    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    if not args.weights:
        require_product(home, product)
    bundle = args.weights or product
    version = args.version or versions.newest(bundle, home)
    files = image_files(args.good, "good-image folder")
    images = read_images(files, f"read {product}", quiet=args.quiet)
    reviewed: list = []
    if args.add_reviewed:
        reviewed, more = _reviewed(home, product, "good", quiet=args.quiet)
        files, images = [*files, *reviewed], [*images, *more]
    with runner.pinned(bundle, version):
        choice = _choice(args, images, bundle)
        if args.add_reviewed:
            choice = _keep_defects(args, choice, images, bundle, home)
        config = {"product_id": product, "sigma": choice.sigma, "weights": args.weights or None,
                  "device": args.device}
        try:
            state = inspector().teach(images, config)
        except (ValueError, runner.NorimError) as exc:
            # The runner refuses an image it cannot score (one smaller than 8x8) with its own error.
            msg = f"cannot teach {product}: {one_line(exc)}"
            raise TeachError(msg) from exc
        samples = [calibration.Sample(f.name, im, f.suffix) for f, im in zip(files, images, strict=True)]
        record = calibration.record(state, samples, home, version=version, threshold=choice.record)
        path = versions.save_taught(home, state, record, activate=not args.candidate)
        for warning in calibration.teach_warnings(state, samples, record):
            logger.warning("teach %s: %s", product, warning)
    if reviewed:
        _still_rejected(state, samples, len(reviewed))
    _print(state, choice, bundle, version, args.candidate)
    added = f" ({len(reviewed)} of them reviewed good parts)" if reviewed else ""
    print(f"taught {product} on {len(images)} images{added} in {time.perf_counter() - t0:.1f} s -> {path}")
    return 0


def _print(state: Any, choice: thresholds.Choice, bundle: str, version: int, candidate: bool) -> None:
    p = state.params
    sigma_none = p.get("sigma_for_zero_fp")
    mean, sigma = float(p.get("good_score_mean")), float(p.get("sigma"))
    spread = f" x std {(state.threshold - mean) / sigma:.4f}" if sigma else ""
    print(f"threshold          {state.threshold:.4f}  ({choice.source}: mean good score {mean:.4f} + sigma "
          f"{sigma:.4g}{spread})")
    for note in choice.notes:
        print(f"                   {note}")
    print(f"good samples       {p.get('n_good')}  (max score {p.get('good_score_max'):.4f})")
    print(
        f"expected false pos {p.get('expected_fp_count')}/{len(p.get('good_scores') or [])}"
        f"  ({100 * float(p.get('expected_fp_rate') or 0):.1f}% of the good samples would be NG)"
    )
    # The sigma at which the threshold would pass every good sample: how far the taught one is from that.
    zero_fp = "- (one good sample)" if sigma_none is None else (
        f"sigma {sigma_none:.2f}  (the smallest --sigma at which no good sample would be NG)")
    print(f"zero false pos at  {zero_fp}")
    use = (f"kept aside: the line goes on with its version ('qorva models use {state.product_id} {version}' "
           "switches)") if candidate else "the version the line uses now"
    print(f"bundle             {bundle} version {version} on {p.get('device')}; {use}")

