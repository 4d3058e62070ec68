"""Delete a product's retraining cache (several GB on real data); its bundle and taught state are kept."""

from __future__ import annotations

import argparse

from qorva.cli._common import home_of, human_bytes, inspector
from qorva.cli._help import HelpFormatter
from qorva.home import train_cache_dir
from qorva.products import check_product


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "purge",
        help="delete a product's retraining cache",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", required=True, help="product id whose cache under _train/norim/ goes")
    return parser


def run(args: argparse.Namespace) -> int:
    home = home_of(args)
    product = check_product(args.product)
    cache = train_cache_dir(home, product)
    existed = cache.exists()
    freed = int(inspector().purge_artifacts(product))
    if existed:
        print(f"purged the retraining cache of {product}: {human_bytes(freed)} freed, removed {cache}")
    else:
        print(f"nothing to purge for {product}: no retraining cache at {cache}")
    return 0
