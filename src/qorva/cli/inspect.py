"""Judge image files or folders of them with a taught product: one verdict line per image; exit 1 if one is ERROR."""

from __future__ import annotations

import argparse
import json
import sys
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from qorva import calibration, overlays, versions
from qorva.cli._common import home_of, inspector, name_of
from qorva.cli._help import HelpFormatter
from qorva.console import Progress
from qorva.images import ImageError, image_files, read_image
from qorva.inspection.modules.norim.runner import take_registration
from qorva.names import printable
from qorva.products import check_product
from qorva.results import VERDICTS, Row


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "inspect",
        help="judge image files with a taught product",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument(
        "--product", required=True, type=name_of("product id"), help="product id (taught with 'qorva teach')"
    )
    parser.add_argument("images", nargs="+", metavar="IMAGE", help="image files, or folders of images, to judge")
    parser.add_argument(
        "--overlays", default=None, metavar="DIR",
        help="write the anomaly overlay of each NG image here (default: none written)",
    )
    parser.add_argument("--all-overlays", action="store_true", help="with --overlays, write OK images' overlays too")
    parser.add_argument("--format", choices=("text", "json"), default="text", help="output format on stdout")
    parser.add_argument("--allow-stale", action="store_true",
                        help="inspect even when the version the product was taught on is gone (default: refuse)")
    return parser


def _checked_images(names: list[str]) -> list[Path]:
    """The files named, a folder standing for its images (sorted by name). Every name is checked before the
    first verdict, so a typo does not surface half-way through a batch; decoding waits for the loop, so a
    large batch never sits in memory at once, and a file that cannot be read is an ERROR line, not a stop."""
    paths: list[Path] = []
    absent = []
    for name in names:
        p = Path(name)
        if p.is_dir():
            paths.extend(image_files(p, "image folder"))
        elif p.is_file():
            paths.append(p)
        else:
            absent.append(name)
    if absent:
        more = f" and {len(absent) - 5} more" if len(absent) > 5 else ""
        msg = f"no such image file or folder: {', '.join(absent[:5])}{more}"
        raise ImageError(msg)
    return paths


def _overlay_folder(value: str | None) -> Path | None:
    folder = Path(value) if value else None
    if folder is not None and folder.exists() and not folder.is_dir():
        msg = f"--overlays {folder} is not a folder"
        raise ImageError(msg)
    return folder


@dataclass
class _Batch:
    insp: Any
    model: versions.InUse
    run_id: str
    overlays: Path | None
    all_overlays: bool
    kinds: calibration.KindWatch


def _judge(b: _Batch, path: Path) -> Row:
    """Inspect one file into a row, writing its overlay when asked to; a file that cannot be read or judged
    is an ERROR row with the reason."""
    t = time.perf_counter()
    take_registration()  # an earlier image's, never this one's
    try:
        image = read_image(path)
        b.kinds.check(image, path)
        with b.model.pinned():
            result = b.insp.inspect(image, b.model.state, with_overlay=b.overlays is not None)
    except ImageError as exc:
        return Row.error(str(exc), run_id=b.run_id, product_id=str(b.model.state.product_id), source=path)
    row = Row.from_result(
        result, run_id=b.run_id, product_id=str(b.model.state.product_id), source=path,
        latency_ms=(time.perf_counter() - t) * 1000,
    ).judged_by(b.model).with_registration(take_registration())
    if b.overlays is not None and result.overlay is not None and (row.verdict == "NG" or b.all_overlays):
        card = overlays.speaking(row, result, image)
        written = overlays.write_overlay(b.overlays / f"{path.stem}_overlay.png", card, path)
        row.overlay_path = str(written) if written is not None else None
    return row


def _line(row: Row) -> str:
    if row.verdict == "ERROR":
        line = f"{row.source_path}  ERROR  {row.error_message}"
    else:
        line = (
            f"{row.source_path}  {row.verdict:<3}  {row.score:.4f} / {row.threshold:.4f}"
            f"  {row.dominant_branch}  {row.latency_ms:.0f} ms"
        )
        if row.offset_beyond:
            line += f"  moved ({row.offset_x:+.1f}, {row.offset_y:+.1f}) px {row.offset_deg:+.2f} deg: beyond training"
    return printable(line + (f"  -> {row.overlay_path}" if row.overlay_path else ""))


def run(args: argparse.Namespace) -> int:
    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    model = versions.in_use(home, product, allow_stale=args.allow_stale)
    paths = _checked_images(args.images)
    batch = _Batch(inspector(), model, uuid.uuid4().hex[:12], _overlay_folder(args.overlays), args.all_overlays,
                   calibration.KindWatch(model.calibration))
    rows = []
    with Progress(len(paths), f"inspect {product}", quiet=args.quiet or args.format == "json", unit="img") as bar:
        for path in paths:
            rows.append(_judge(batch, path))
            if args.format == "text":
                if bar.enabled:
                    # Results go above the bar: erase it, print, and let the next update redraw it.
                    sys.stderr.write("\r\x1b[K")
                print(_line(rows[-1]), flush=True)
            bar.update()
    if args.format == "json":
        print(json.dumps([r.to_record() for r in rows], ensure_ascii=False, indent=2))
    counts = ", ".join(f"{v} {sum(r.verdict == v for r in rows)}" for v in VERDICTS)
    where = f"; overlays in {batch.overlays}" if batch.overlays is not None else ""
    summary = f"inspected {len(paths)} images of {product}: {counts} in {time.perf_counter() - t0:.1f} s{where}"
    print(summary, file=sys.stderr if args.format == "json" else sys.stdout)
    # A batch with an image that could not be judged is not a clean run: scripts must see it.
    return 1 if any(r.verdict == "ERROR" for r in rows) else 0
