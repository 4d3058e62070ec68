"""List a product's model versions, or switch the line to another one (a rollback included).

    qorva models --product P            every version: when trained, on how many images, its build, its taught
                                        threshold and how it was chosen, the figures of its last evaluate
    qorva models use P VERSION          the line judges with VERSION and its taught state from now on; a running
                                        watch switches at its next image
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

from qorva import versions
from qorva.cli._common import home_of, name_of
from qorva.cli._help import HelpFormatter
from qorva.home import UnsafeNameError, check_name
from qorva.names import printable
from qorva.products import check_product, require_product


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "models", help="list a product's model versions, or switch to one", description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", type=name_of("product id"), default=None,
                        help="the product whose versions to list (default: none; required without 'use')")
    parser.add_argument("use", nargs="*", metavar="use P VERSION",
                        help="switch product P to VERSION (default: list the versions)")
    return parser


def _use_args(args: argparse.Namespace) -> tuple[str, int] | str:
    """(product, version) of `use P VERSION`, or what is wrong with the words given."""
    words = args.use
    if len(words) != 3 or words[0] != "use":
        return f"expected 'use P VERSION', got {' '.join(words)!r}"
    try:
        product = check_name(words[1], "product id")
    except UnsafeNameError as exc:
        return str(exc)
    if not words[2].isdigit() or int(words[2]) < 1:
        return f"VERSION must be a version number (1, 2, ...), got {words[2]!r}"
    return product, int(words[2])


def check_args(args: argparse.Namespace) -> str | None:
    if args.use:
        found = _use_args(args)
        return found if isinstance(found, str) else None
    return None if args.product else "give --product P to list its versions, or 'use P VERSION' to switch"


def _evaluation(found: dict[str, Any] | None) -> str:
    if not found:
        return "-"
    fig = [f"AUROC {found['image_auroc']:.3f}" if found.get("image_auroc") is not None else "",
           f"recall {found['recall']:.0%}" if found.get("recall") is not None else "",
           f"FP {found['fp_rate']:.1%}" if found.get("fp_rate") is not None else ""]
    return ", ".join(f for f in fig if f) + f" ({str(found.get('date', ''))[:10]})"


def _list(home: Any, product: str) -> int:
    require_product(home, product)
    bundle, found = versions.listing(home, product)
    head = ("version", "in use", "trained (UTC)", "images", "build", "features", "threshold", "source", "evaluate")
    body = [
        (str(v.version), "*" if v.in_use else "", (v.created or "-").replace("T", " ").rstrip("Z"),
         str(v.n_images if v.n_images is not None else "-"), (v.build or "damaged")[:8], v.backbone,
         f"{v.threshold:.4f}" if v.threshold is not None else "not taught", v.source or "-", _evaluation(v.evaluation))
        for v in found
    ]
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    for line in (head, *body):
        print(printable("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip()))
    live = next((v.version for v in found if v.in_use), None)
    print(f"{len(found)} versions of bundle {bundle} for {product}; "
          + (f"the line uses version {live}" if live else "none is in use (teach one)"), file=sys.stderr)
    return 0


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    if not args.use:
        return _list(home, check_product(args.product))
    product, version = _use_args(args)  # checked by check_args
    require_product(home, product)
    chosen = versions.use(home, product, version)
    print(f"{product} now uses {chosen.describe()}; a running watch switches at its next image")
    return 0
