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
    _add_region_options(parser)
    parser.add_argument(
        "--add-reviewed", action="store_true",
        help="also train on the product's reviewed good parts (NGs overruled with 'qorva review' or the live page)",
    )
    return parser


def _add_region_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--roi", type=_roi, default=None, metavar="X,Y,W,H",
        help="judge only this rectangle of the camera's picture (pixels), cut out before anything looks at it; "
        "'none' judges the whole picture again. Kept from the bundle's current version when omitted",
    )
    parser.add_argument(
        "--ignore", default=None, metavar="MASK.png",
        help="an image the size of the pictures (or of --roi): its non-black pixels are where anything goes (never "
        "judged, zero on the map); 'none' drops it. Kept from the bundle's current version when omitted",
    )


def _roi(text: str) -> tuple[int, int, int, int] | str:
    """An option type: "x,y,width,height" in pixels, or "none"."""
    if text.strip().lower() == "none":
        return "none"
    try:
        x, y, w, h = (int(v) for v in text.split(","))
    except ValueError:
        msg = f"must be X,Y,WIDTH,HEIGHT in pixels (four whole numbers) or none, got {text!r}"
        raise argparse.ArgumentTypeError(msg) from None
    if min(x, y) < 0 or min(w, h) < 8:
        msg = f"x and y must be >= 0 and the width and height >= 8 pixels, got {text!r}"
        raise argparse.ArgumentTypeError(msg)
    return x, y, w, h


def _region(args: argparse.Namespace) -> tuple[tuple[int, int, int, int] | None, object, str]:
    """The roi and ignore mask to train with, and what to say about them: given ones, else the current version's."""
    from qorva.images import ImageError, read_image

    roi, ignore, kept = args.roi, None, []
    if args.ignore is not None and args.ignore.lower() != "none":
        try:
            ignore = read_image(args.ignore).max(axis=2)
        except ImageError as exc:
            msg = f"--ignore: {exc}"
            raise TrainError(msg) from None
    if args.roi is None or args.ignore is None:
        old_roi, old_ignore = runner.bundle_region(args.name or args.product, home_of(args))
        if args.roi is None and old_roi is not None:
            roi = old_roi
            kept.append("roi")
        if args.ignore is None and old_ignore is not None:
            ignore = old_ignore
            kept.append("ignore mask")
    return (None if roi == "none" else roi), ignore, " and ".join(kept)


def _say_region(roi, ignore, kept: str) -> None:
    if roi is not None or ignore is not None:
        judged = "rectangle {},{},{},{}".format(*roi) if roi is not None else "whole picture"
        print(
            f"judged: the {judged}{', less the ignore mask' if ignore is not None else ''}"
            f"{f' ({kept} kept from the current version; --roi none / --ignore none drop them)' if kept else ''}"
        )


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
        roi, ignore, kept = _region(args)
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
            roi=roi,
            ignore=ignore,
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
    _say_region(roi, ignore, kept)
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
