"""Teach a product: load its trained bundle, score good images and calibrate the OK/NG threshold."""

from __future__ import annotations

import argparse
import logging
import time

from qorva import calibration
from qorva.cli._common import float_in, home_of, inspector, name_of, one_line, read_images
from qorva.cli._help import HelpFormatter
from qorva.errors import QorvaError
from qorva.images import image_files
from qorva.inspection.base import ModelState
from qorva.products import check_product, require_product, save_state

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


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "teach",
        help="calibrate a product's OK/NG threshold on good images",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"), help="product id (trained with 'qorva train')"
    )
    parser.add_argument("--good", required=True, help="folder of good images, 20-50 recommended, not the training set")
    parser.add_argument(
        "--sigma", type=float_in(0, 100), default=2.0, help="threshold = mean good score + sigma x standard deviation"
    )
    parser.add_argument(
        "--weights", default=None, type=name_of("bundle name"), help="bundle name to load; the product id when omitted"
    )
    parser.add_argument(
        "--device", default=None, type=_device,
        help="compute device for the bundle: cpu, auto, cuda or cuda:N (default: the runner chooses)",
    )
    parser.add_argument(
        "--add-reviewed", action="store_true",
        help="also take the product's reviewed good parts (NGs overruled with 'qorva review' or on the live page)",
    )
    return parser


def _reviewed_goods(home, product: str, *, quiet: bool) -> tuple[list, list]:
    """The files and images of the product's overruled NGs (the review store's good parts)."""
    from qorva.review_store import reviewed_images

    files = reviewed_images(home, product, "good")
    if not files:
        logger.warning("teach %s: --add-reviewed found no reviewed good parts in the review store", product)
        return [], []
    return files, read_images(files, f"read {product} reviewed", quiet=quiet)


def _keep_defects(state, home, product: str, *, quiet: bool):
    """The state with its threshold moved where the confirmed defects of the review store would pass it."""
    from qorva.inspection.modules.norim import runner
    from qorva.review_store import reviewed_images, reviewed_threshold

    files = reviewed_images(home, product, "defect")
    if not files:
        return state
    images = read_images(files, f"read {product} confirmed defects", quiet=quiet)
    p = state.params
    scores = runner.score_good_images(runner.get_bundle(p["weights"], p.get("device")), images)
    goods = [float(v) for v in p.get("good_scores") or []]
    threshold, why = reviewed_threshold(float(state.threshold), goods, scores)
    if not why:
        return state
    rejected = sum(g > threshold for g in goods)
    params = {**p, "threshold_source": f"reviewed: {why}", "expected_fp_count": rejected,
              "expected_fp_rate": round(rejected / len(goods), 4) if goods else 0.0,
              "confirmed_defects": len(files)}
    logger.warning("teach %s: threshold moved from %.4f to %.4f, %s, so the %d confirmed defects stay NG", product,
                   state.threshold, threshold, why, len(files))
    return ModelState(module=state.module, product_id=state.product_id, threshold=threshold, params=params)


def _still_rejected(state, samples: list, reviewed: int) -> None:
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
    from qorva.inspection.modules.norim.runner import NorimError

    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    if not args.weights:
        require_product(home, product)
    files = image_files(args.good, "good-image folder")
    images = read_images(files, f"read {product}", quiet=args.quiet)
    reviewed: list = []
    if args.add_reviewed:
        reviewed, more = _reviewed_goods(home, product, quiet=args.quiet)
        files, images = [*files, *reviewed], [*images, *more]
    config = {"product_id": product, "sigma": args.sigma, "weights": args.weights or None, "device": args.device}
    try:
        state = inspector().teach(images, config)
        if args.add_reviewed:
            state = _keep_defects(state, home, product, quiet=args.quiet)
    except (ValueError, NorimError) as exc:
        # The runner refuses an image it cannot score (one smaller than 8x8) with its own error.
        msg = f"cannot teach {product}: {one_line(exc)}"
        raise TeachError(msg) from exc
    samples = [calibration.Sample(f.name, im, f.suffix) for f, im in zip(files, images, strict=True)]
    record = calibration.record(state, samples, home)
    path = save_state(home, state, record)
    for warning in calibration.teach_warnings(state, samples, record):
        logger.warning("teach %s: %s", product, warning)
    if reviewed:
        _still_rejected(state, samples, len(reviewed))
    p = state.params
    sigma_none = p.get("sigma_for_zero_fp")
    mean, sigma = float(p.get("good_score_mean")), float(p.get("sigma"))
    spread = f" x std {(state.threshold - mean) / sigma:.4f}" if sigma else ""
    source = str(p.get("threshold_source") or "")
    how = source if source.startswith("reviewed:") else f"mean good score {mean:.4f} + sigma {sigma:g}{spread}"
    print(f"threshold          {state.threshold:.4f}  ({how})")
    print(f"good samples       {p.get('n_good')}  (max score {p.get('good_score_max'):.4f})")
    print(
        f"expected false pos {p.get('expected_fp_count')}/{len(p.get('good_scores') or [])}"
        f"  ({100 * float(p.get('expected_fp_rate') or 0):.1f}% of the good samples would be NG)"
    )
    # The sigma at which the threshold would pass every good sample: how far the taught one is from that.
    zero_fp = "- (one good sample)" if sigma_none is None else (
        f"sigma {sigma_none:.2f}  (the smallest --sigma at which no good sample would be NG)")
    print(f"zero false pos at  {zero_fp}")
    print(f"bundle             {p.get('weights')} on {p.get('device')}")
    added = f" ({len(reviewed)} of them reviewed good parts)" if reviewed else ""
    print(f"taught {product} on {len(images)} images{added} in {time.perf_counter() - t0:.1f} s -> {path}")
    return 0
