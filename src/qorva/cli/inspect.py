"""Judge single images of a taught product and print one verdict line per image."""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

from qorva.cli._common import ImageError, home_of, inspector, read_image
from qorva.cli._help import HelpFormatter
from qorva.progress import Progress
from qorva.store import check_product, load_state, write_atomic


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "inspect",
        help="judge image files with a taught product",
        description=__doc__,
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--product", required=True, help="product id (taught with 'qorva teach')")
    parser.add_argument("images", nargs="+", metavar="IMAGE", help="image files to judge")
    parser.add_argument(
        "--overlays", default=None, metavar="DIR",
        help="write the anomaly overlay of each NG image here (default: none written)",
    )
    parser.add_argument("--all-overlays", action="store_true", help="with --overlays, write OK images' overlays too")
    parser.add_argument("--format", choices=("text", "json"), default="text", help="output format on stdout")
    return parser


def _verdict(result: object) -> str:
    v = getattr(result, "verdict", None)
    text = str(getattr(v, "value", v))
    score = getattr(result, "score", None)
    if text != "ERROR" and (score is None or not math.isfinite(float(score))):
        return "ERROR"
    return text


def _write_overlay(folder: Path, source: Path, overlay: object) -> Path:
    import cv2

    out = folder / f"{source.stem}_overlay.png"
    ok, buf = cv2.imencode(".png", overlay)
    if not ok:
        msg = f"cannot encode the overlay of {source}"
        raise ImageError(msg)
    write_atomic(out, buf.tobytes())
    return out


def run(args: argparse.Namespace) -> int:
    t0 = time.perf_counter()
    home = home_of(args)
    product = check_product(args.product)
    state = load_state(home, product)
    # Every name is checked before the first verdict, so a typo does not surface half-way through a batch;
    # decoding waits for the loop, so a large batch never sits in memory at once.
    paths = [Path(p) for p in args.images]
    absent = [str(p) for p in paths if not p.is_file()]
    if absent:
        more = f" and {len(absent) - 5} more" if len(absent) > 5 else ""
        msg = f"no such image file: {', '.join(absent[:5])}{more}"
        raise ImageError(msg)
    folder = Path(args.overlays) if args.overlays else None
    if folder is not None and folder.exists() and not folder.is_dir():
        msg = f"--overlays {folder} is not a folder"
        raise ImageError(msg)
    insp = inspector()
    counts = {"OK": 0, "NG": 0, "ERROR": 0}
    records = []
    with Progress(len(paths), f"inspect {product}", quiet=args.quiet or args.format == "json", unit="img") as bar:
        for path in paths:
            image = read_image(path)
            t = time.perf_counter()
            result = insp.inspect(image, state, with_overlay=folder is not None)
            ms = (time.perf_counter() - t) * 1000
            verdict = _verdict(result)
            counts[verdict] += 1
            details = result.details or {}
            overlay = None
            if folder is not None and result.overlay is not None and (verdict == "NG" or args.all_overlays):
                overlay = _write_overlay(folder, path, result.overlay)
            rec = {
                "file": str(path),
                "verdict": verdict,
                "score": result.score if verdict != "ERROR" else None,
                "threshold": result.threshold,
                "ratio_over_threshold": details.get("ratio_over_threshold"),
                "dominant_branch": details.get("dominant_branch"),
                "branch": details.get("branch"),
                "overlay": str(overlay) if overlay else None,
                "latency_ms": round(ms, 2),
                "error": result.error_message if verdict == "ERROR" else None,
            }
            records.append(rec)
            if args.format == "text":
                if verdict == "ERROR":
                    line = f"{path}  ERROR  {rec['error'] or 'non-finite score'}"
                else:
                    line = (
                        f"{path}  {verdict:<3}  {result.score:.4f} / {result.threshold:.4f}"
                        f"  {rec['dominant_branch']}  {ms:.0f} ms"
                    )
                if overlay:
                    line += f"  -> {overlay}"
                if bar.enabled:
                    # Results go above the bar: erase it, print, and let the next update redraw it.
                    sys.stderr.write("\r\x1b[K")
                print(line, flush=True)
            bar.update()
    if args.format == "json":
        print(json.dumps(records, ensure_ascii=False, indent=2))
    where = f"; overlays in {folder}" if folder is not None else ""
    summary = (
        f"inspected {len(paths)} images of {product}: OK {counts['OK']}, NG {counts['NG']}, "
        f"ERROR {counts['ERROR']} in {time.perf_counter() - t0:.1f} s{where}"
    )
    print(summary, file=sys.stderr if args.format == "json" else sys.stdout)
    return 0
