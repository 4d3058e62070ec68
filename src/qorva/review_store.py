"""Reviewing a row: the decision recorded with who, where and when, and the image kept in the product's
review store, where `teach`/`train --add-reviewed` and `evaluate` find it.

A drop folder's file moves on (processed, deleted) and its name may be reused: the image is looked for where
it was and where `--after move` puts it, and taken only when its pixels are those the row judged (their
hash is the row's key). The copy keeps the file's own bytes and encoding: a model judges a JPEG and a PNG
of one part differently. A changed decision moves the copy to the other folder.
"""

from __future__ import annotations

import logging
import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from qorva.errors import QorvaError
from qorva.files import write_atomic
from qorva.home import review_dir
from qorva.images import ImageError, image_suffixes, read_image
from qorva.names import printable
from qorva.results import ResultStore, Row, StoreError
from qorva.results.key import pixel_hash
from qorva.results.reviews import DECISIONS, Review, record

logger = logging.getLogger("qorva.review")

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")
# Who and the note come from a person or a page: one printable line each, bounded.
MAX_WHO = 64
MAX_NOTE = 500


class ReviewError(QorvaError):
    """A review that cannot be made: no such row, a row with no verdict, an unusable decision."""


@dataclass
class Outcome:
    """A recorded review and what became of its image (`kept`: the copy; else `missing` says why not)."""

    review: Review
    row: Row
    kept: Path | None = None
    missing: str = ""


def clean_text(text: str | None, limit: int) -> str | None:
    """One printable line of at most `limit` characters, or None for nothing."""
    if text is None:
        return None
    line = printable(" ".join(str(text).split()))[:limit]
    return line or None


def _candidates(row: Row, look_in: Sequence[Path]) -> list[Path]:
    if row.source_bytes:
        where = Path(os.fsdecode(row.source_bytes))
    elif row.source_path:
        where = Path(row.source_path)
    else:
        return []
    name = where.name
    return [where, where.parent / "_processed" / name, *(Path(d) / name for d in look_in)]


def find_image(row: Row, look_in: Sequence[Path] = ()) -> tuple[Path | None, str]:
    """The file holding the very image of `row` (its pixels hash to the row's key), or None and why not."""
    if not row.content_hash or row.content_hash.startswith("file:"):
        return None, "the row has no image (the camera set the file aside)"
    for path in _candidates(row, look_in):
        try:
            if not path.is_file():
                continue
            if pixel_hash(read_image(path)) == row.content_hash:
                return path, ""
        except (ImageError, OSError, ValueError):
            continue
        logger.info("%s is not the image row %s judged (its pixels differ)", printable(str(path)), row.id)
    return None, "the image file is gone (deleted, moved elsewhere or replaced)"


def _copy_name(row: Row, source: Path) -> str:
    stem = _UNSAFE.sub("_", source.stem)[:80].strip("._") or "image"
    suffix = source.suffix.lower() if source.suffix.lower() in image_suffixes() else ".png"
    return f"{int(row.id or 0):08d}_{stem}{suffix}"


def _earlier_copy(home: Path, row: Row) -> Path | None:
    for decision in DECISIONS:
        folder = review_dir(home, row.product_id, decision)
        found = sorted(folder.glob(f"{int(row.id or 0):08d}_*")) if folder.is_dir() else []
        if found:
            return found[0]
    return None


def keep_image(home: Path, row: Row, decision: str, look_in: Sequence[Path] = ()) -> tuple[Path | None, str]:
    """Put the row's image into the folder of `decision`; the copy, or None and why there is none."""
    earlier = _earlier_copy(home, row)
    source, why = (earlier, "") if earlier is not None else find_image(row, look_in)
    if source is None:
        return None, why
    dest = review_dir(home, row.product_id, decision) / (earlier.name if earlier else _copy_name(row, source))
    if source == dest:
        return dest, ""
    dest.parent.mkdir(parents=True, exist_ok=True)
    write_atomic(dest, source.read_bytes())
    if earlier is not None:
        earlier.unlink(missing_ok=True)
    return dest, ""


def review(store: ResultStore, home: Path, result_id: int, decision: str, *, reviewer: str, via: str,
           note: str | None = None, look_in: Sequence[Path] = (), station: str | None = None) -> Outcome:
    """Decide on the row `result_id`: its image kept in the review store, then the decision recorded."""
    if decision not in DECISIONS:
        msg = f"not a decision: {decision!r}; use one of {', '.join(DECISIONS)}"
        raise ReviewError(msg)
    who = clean_text(reviewer, MAX_WHO)
    if not who:
        msg = "a review needs the name of who made it"
        raise ReviewError(msg)
    row = store.row(result_id)
    if row is None:
        msg = f"no row {result_id} in {store.where}"
        raise ReviewError(msg)
    if row.verdict not in ("OK", "NG"):
        msg = f"row {result_id} is an {row.verdict} row: nothing was judged, so there is no verdict to review"
        raise ReviewError(msg)
    fresh = _earlier_copy(home, row) is None
    try:
        kept, missing = keep_image(home, row, decision, look_in)
    except OSError as exc:
        kept, missing = None, f"cannot copy the image into the review store: {exc.strerror or exc}"
    made = Review(result_id=int(result_id), product_id=row.product_id, decision=decision, reviewer=who, via=via,
                  note=clean_text(note, MAX_NOTE), station=station, image_path=None if kept is None else str(kept))
    try:
        record(store, made)
    except StoreError:
        if kept is not None and fresh:  # no decision, no image: the review store holds only decided ones
            kept.unlink(missing_ok=True)
        raise
    logger.info("row %s (%s, %s) reviewed as %s by %s via %s%s", result_id, printable(row.source_file or "-"),
                row.verdict, made.label, who, via, "" if kept else f"; image not kept: {missing}")
    return Outcome(made, row, kept, missing)


def reviewed_images(home: Path, product_id: str, decision: str) -> list[Path]:
    """The images of the product's review store for `decision`, sorted by row."""
    folder = review_dir(home, product_id, decision)
    if not folder.is_dir():
        return []
    suffixes = image_suffixes()
    return sorted(p for p in folder.iterdir() if p.is_file() and p.suffix.lower() in suffixes)


def reviewed_threshold(threshold: float, goods: Sequence[float], defects: Sequence[float]) -> tuple[float, str]:
    """The taught threshold, moved where it must be so that the reviewed good parts pass and every confirmed
    defect stays NG (a score above the threshold is NG); with the reason ("" when it stays).

    Between the highest good part and the lowest defect the middle is taken. Where a defect scores no higher
    than a good part no threshold does both: the defects stay NG (a missed defect ships, a false NG is
    looked at) and the good parts above are left to `train --add-reviewed`.
    """
    if not defects:
        return threshold, ""
    top_good, low_defect = max(goods, default=-math.inf), min(defects)
    if top_good <= threshold < low_defect:
        return threshold, ""
    if top_good < low_defect and math.isfinite(top_good):
        return (top_good + low_defect) / 2, (f"between the good samples (up to {top_good:.4f}) and the confirmed "
                                             f"defects (from {low_defect:.4f})")
    # Below it by a margin: the inspector recomputes the threshold from a sigma, a rounding off it.
    return low_defect - 1e-6 * max(1.0, abs(low_defect)), (
        f"below the lowest confirmed defect ({low_defect:.4f}); good samples score up to {top_good:.4f}")
