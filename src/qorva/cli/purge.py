"""Delete a product's retraining cache (several GB on real data); its bundle and taught state are kept."""

from __future__ import annotations

import argparse

from qorva.cli._common import home_of, human_bytes, inspector, name_of
from qorva.cli._help import HelpFormatter
from qorva.errors import QorvaError
from qorva.home import train_cache_dir
from qorva.products import check_product


class PurgeError(QorvaError):
    """The retraining cache could not be removed entirely."""


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "purge",
        help="delete a product's retraining cache",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"), help="product id whose cache under _train/norim/ goes"
    )
    return parser


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = check_product(args.product)
    cache = train_cache_dir(home, product)
    existed = cache.exists()
    try:
        freed = int(inspector().purge_artifacts(product))
    except OSError as exc:
        # What was removed before the failure stays removed; a second run after the fix finishes the job.
        msg = f"cannot purge all of the retraining cache of {product}: {exc}; fix that and run purge again"
        raise PurgeError(msg) from None
    if existed:
        print(f"purged the retraining cache of {product}: {human_bytes(freed)} freed, removed {cache}")
    else:
        print(f"nothing to purge for {product}: no retraining cache at {cache}")
    return 0
