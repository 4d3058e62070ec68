"""Evaluate a product's model on known-good and known-bad images: how well it tells them apart, and where to cut.

Prints image AUROC (pixel AUROC where masks are given), false positives and recall at the taught threshold, the
threshold for a target false-positive rate and the F1-best threshold, overall and per bad folder (a folder per
defect kind), and writes a report with the ROC curve, score histograms and the misjudged images' overlays.
The figures are kept with the version ('qorva models' shows them). --shadow compares another taught version.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path
from typing import Any

from qorva import evaluation, versions
from qorva.cli._common import home_of, inspector, int_in, name_of
from qorva.cli._help import HelpFormatter
from qorva.cli.teach import rate
from qorva.evaluation import page
from qorva.files import write_json_atomic
from qorva.home import qorva_home
from qorva.names import printable
from qorva.products import check_product, require_product


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "evaluate", help="measure a product's model on known-good and known-bad images", description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", required=True, type=name_of("product id"), help="the taught product")
    parser.add_argument("--good", required=True, help="folder of good images the model has not seen")
    parser.add_argument("--bad", action="append", default=None, metavar="DIR",
                        help="folder of defective images, one per defect kind (repeatable; the defects confirmed "
                             "with 'qorva review' are added as the folder 'defect')")
    parser.add_argument("--no-reviewed", action="store_true",
                        help="leave out the defects confirmed with 'qorva review' (default: they are evaluated)")
    parser.add_argument("--masks", default=None, metavar="DIR",
                        help="folder of defect masks named like the images (x.png or x_mask.png; default: each bad "
                             "folder's masks/ subfolder, where there is one)")
    parser.add_argument("--version", type=int_in(1, 10**9), default=None,
                        help="the taught version to evaluate (default: the one the line uses)")
    parser.add_argument("--shadow", type=int_in(1, 10**9), default=None, metavar="VERSION",
                        help="also evaluate this taught version and compare the verdicts (default: none)")
    parser.add_argument("--target-fp", type=rate, default=evaluation.DEFAULT_TARGET_FP, metavar="RATE",
                        help="the false-positive rate whose threshold is reported")
    parser.add_argument("--format", choices=("text", "json"), default="text", help="output format on stdout")
    parser.add_argument("--out", default=None, metavar="DIR",
                        help="report folder (default: <home>/reports/<product>/evaluate-v<version>-<time>)")
    return parser


def _model(home: Path, product: str, version: int | None) -> versions.InUse:
    live = versions.in_use(home, product)
    if version is None or version == live.version:
        return live
    found = versions.taught_state(home, live.bundle, version, product)
    if found is None:
        msg = (f"version {version} of {live.bundle} is not taught: 'qorva teach --product {product} --version "
               f"{version} --candidate --good DIR' first")
        raise versions.VersionError(msg)
    return versions.paired(home, *found)


def _text(found: dict[str, Any], shadow: dict[str, Any] | None, agreed: dict[str, Any] | None) -> None:
    for fig in (found, shadow):
        if fig is None:
            continue
        for table in page.tables(fig):
            print(table.heading)
            rows = [tuple(map(str, r)) for r in table.rows]
            widths = [max(len(str(h)), *(len(r[i]) for r in rows)) if rows else len(str(h))
                      for i, h in enumerate(table.header)]
            for line in (tuple(map(str, table.header)), *rows):
                print(printable("  " + "  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip()))
    if agreed is not None:
        print(f"same verdict on {agreed['agree']} of {agreed['n']} images ({agreed['rate']:.1%}); NG here and OK by "
              f"v{agreed['version']}: {agreed['ng_here_ok_there']}, OK here and NG by it: {agreed['ok_here_ng_there']}")


def _clean(value: Any) -> Any:
    """JSON without NaN: a figure that cannot be computed is null."""
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, dict):
        return {k: _clean(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_clean(v) for v in value]
    return value


def _bad_folders(args: argparse.Namespace, home: Path, product: str) -> list[Path]:
    """The bad folders given, and the product's confirmed defects (the review store's) unless left out."""
    from qorva.review_store import reviewed_images

    folders = [Path(b) for b in args.bad or ()]
    confirmed = [] if args.no_reviewed else reviewed_images(home, product, "defect")
    if confirmed:
        folders.append(confirmed[0].parent)
        print(f"with the {len(confirmed)} defects confirmed in review ({confirmed[0].parent})", file=sys.stderr)
    if not folders:
        msg = (f"no bad images for {product}: give --bad DIR (a folder per defect kind), or confirm defects with "
               "'qorva review ID --defect'")
        raise evaluation.EvaluationError(msg)
    return folders


def run(args: argparse.Namespace) -> int:
    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    require_product(home, product)
    model = _model(home, product, args.version)
    shadow = _model(home, product, args.shadow) if args.shadow is not None else None
    planned = evaluation.plan(Path(args.good), _bad_folders(args, home, product),
                              Path(args.masks) if args.masks else None)
    ev = evaluation.run(product, model, planned, shadow=shadow, target_fp=args.target_fp,
                        quiet=args.quiet or args.format == "json")
    found = evaluation.figures(ev)
    other = evaluation.figures(ev, shadow=True) if shadow is not None else None
    agreed = evaluation.agreement(ev)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    out = Path(args.out) if args.out else qorva_home(home) / "reports" / product / f"evaluate-{model.label}-{stamp}"
    report = page.write(ev, found, out, inspector())
    _keep(home, product, model, found)
    if args.format == "json":
        print(json.dumps(_clean({"figures": found, "shadow": other, "agreement": agreed, "report": str(report)}),
                         ensure_ascii=False, indent=1))
    else:
        _text(found, other, agreed)
    print(f"evaluated {product} {model.label} on {found['n_good']} good and {found['n_bad']} bad images in "
          f"{time.perf_counter() - t0:.1f} s: AUROC {found['image_auroc']:.3f}, false positives "
          f"{found['fp_rate']:.1%}, recall {found['recall']:.1%} at the taught threshold -> {report}",
          file=sys.stderr if args.format == "json" else sys.stdout)
    return 0


def _keep(home: Path, product: str, model: versions.InUse, found: dict[str, Any]) -> None:
    """The figures beside the version, for 'qorva models' (a version of another product's bundle keeps none)."""
    from qorva.inspection.modules.norim import runner

    if model.version is None:
        return
    try:
        info = runner.bundle_info(model.bundle, home, model.version)
    except runner.NorimError:
        return
    if info.product_id == product:
        write_json_atomic(info.path / versions.EVALUATION_FILE, _clean(evaluation.summary(found)))
