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
    return parser


def run(args: argparse.Namespace) -> int:
    from qorva.inspection.modules.norim.runner import NorimError

    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    if not args.weights:
        require_product(home, product)
    files = image_files(args.good, "good-image folder")
    images = read_images(files, f"read {product}", quiet=args.quiet)
    config = {"product_id": product, "sigma": args.sigma, "weights": args.weights or None, "device": args.device}
    try:
        state = inspector().teach(images, config)
    except (ValueError, NorimError) as exc:
        # The runner refuses an image it cannot score (one smaller than 8x8) with its own error.
        msg = f"cannot teach {product}: {one_line(exc)}"
        raise TeachError(msg) from exc
    samples = [calibration.Sample(f.name, im, f.suffix) for f, im in zip(files, images, strict=True)]
    record = calibration.record(state, samples, home)
    path = save_state(home, state, record)
    for warning in calibration.teach_warnings(state, samples, record):
        logger.warning("teach %s: %s", product, warning)
    p = state.params
    sigma_none = p.get("sigma_for_zero_fp")
    mean, sigma = float(p.get("good_score_mean")), float(p.get("sigma"))
    spread = f" x std {(state.threshold - mean) / sigma:.4f}" if sigma else ""
    print(f"threshold          {state.threshold:.4f}  (mean good score {mean:.4f} + sigma {sigma:g}{spread})")
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
    print(f"taught {product} on {len(images)} images in {time.perf_counter() - t0:.1f} s -> {path}")
    return 0
