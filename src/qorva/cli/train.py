"""Train a NORIM bundle for a product from a folder of good images: every training adds a new version of it."""

from __future__ import annotations

import argparse
import logging
from pathlib import Path

from qorva import versions
from qorva.cli._common import home_of, int_in, name_of
from qorva.cli._help import HelpFormatter
from qorva.errors import QorvaError
from qorva.inspection.modules.norim import runner


class TrainError(QorvaError):
    """Training could not run: bad folder, too few or undecodable images, unsafe names."""


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "train",
        help="train a product's model bundle from good images",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"),
        help="product id; the bundle goes to products/<id>/norim/",
    )
    parser.add_argument("--good", required=True, help="folder of good (defect-free) images, 20-50 recommended")
    parser.add_argument(
        "--name", default=None, type=name_of("bundle name"), help="bundle name; the product id when omitted"
    )
    parser.add_argument(
        "--seed", type=int_in(0, 2**32 - 1), default=0,
        help="random seed; the same seed and images give the same bundle",
    )
    parser.add_argument(
        "--structural",
        choices=runner.STRUCTURAL,
        default="auto",
        help="structural model: per-position Gaussian for aligned products, memory bank for moving parts and textures",
    )
    parser.add_argument(
        "--backbone",
        choices=runner.BACKBONES,
        default=None,
        help="lite0: ImageNet-pretrained features beside the weight-free branches; none: the weight-free model only; "
        "auto (the default): lite0 where it can run here, else none with a warning",
    )
    parser.add_argument(
        "--augment",
        choices=tuple(runner.AUGMENTS),
        default="",
        help="add flipped (h, v) and quarter-turned (r) copies of the good images: only for products whose "
        "orientation does not matter (textures, loose parts); needs the pretrained features",
    )
    parser.add_argument(
        "--add-reviewed", action="store_true",
        help="also train on the product's reviewed good parts (NGs overruled with 'qorva review' or the live page)",
    )
    return parser


def _reviewed_goods(args: argparse.Namespace) -> list:
    from qorva.images import ImageError, read_image
    from qorva.review_store import reviewed_images

    files = reviewed_images(home_of(args), args.product, "good")
    if not files:
        logging.getLogger("qorva.train").warning(
            "train %s: --add-reviewed found no reviewed good parts in the review store", args.product)
    try:
        return [read_image(f) for f in files]
    except ImageError as exc:
        msg = f"{exc}; remove it from the review store or review the row again"
        raise TrainError(msg) from None


def _check_bundle_name(args: argparse.Namespace) -> None:
    # The inspector finds a bundle by its name among all products: a second bundle of one name would make
    # every image of the first product an ERROR ("bundle name is ambiguous").
    name = args.name or args.product
    others = [p for p in runner.bundle_owners(name, home_of(args)) if p != args.product]
    if others:
        msg = f"bundle name {name!r} is already used by product {others[0]!r}; choose another --name"
        raise TrainError(msg)


def _taught_version(home: Path, product: str, bundle: str) -> int | None:
    """The version of `bundle` the product's line judges with, None when it judges with none of it."""
    try:
        live = versions.in_use(home, product)
    except QorvaError:  # not taught, or taught on a version that is gone: nothing to keep the line on
        return None
    return live.version if live.bundle == bundle else None


def run(args: argparse.Namespace) -> int:
    _check_bundle_name(args)
    live = _taught_version(home_of(args), args.product, args.name or args.product)
    try:
        images, _ = runner.read_folder(args.good)
        reviewed = _reviewed_goods(args) if args.add_reviewed else []
        images = [*images, *reviewed]
        result = runner.train(
            args.product,
            images,
            name=args.name,
            seed=args.seed,
            structural=args.structural,
            backbone=args.backbone,
            augment=args.augment,
            home=home_of(args),
            quiet=args.quiet,
            # A line taught on a version keeps it until the new one is taught; with nothing taught, the new one.
            activate=live is None,
        )
    except runner.NorimError as exc:
        raise TrainError(str(exc)) from exc
    except OSError as exc:
        msg = f"cannot write the bundle or training cache: {exc}; check --home and free disk space"
        raise TrainError(msg) from exc
    mb = result.bundle_bytes / 1e6
    features = f"pretrained {result.backbone} features" if result.backbone != "none" else "weight-free features"
    print(
        f"trained {result.name} version {result.version} for {result.product_id}: {result.n_images} images"
        f"{f' ({len(reviewed)} reviewed good parts)' if reviewed else ''}, {result.kind} structural model "
        f"({features}; branches {', '.join(result.branches)}), {mb:.1f} MB, {result.seconds:.1f} s -> {result.path}"
    )
    if live is not None:
        print(
            f"the line goes on with version {live} (taught) until this one is taught: "
            f"'qorva teach --product {args.product} --good DIR' (or with --candidate to try it with 'watch --shadow' "
            "first)"
        )
    _confirmed_hint(args)
    return 0


def _confirmed_hint(args: argparse.Namespace) -> None:
    """After a retrain: the defects confirmed in review are what the new version is measured against."""
    from qorva.review_store import reviewed_images

    confirmed = reviewed_images(home_of(args), args.product, "defect")
    if confirmed:
        print(f"{len(confirmed)} defects confirmed in review: once taught, 'qorva evaluate --product {args.product} "
              "--good DIR' measures the new version on them")
