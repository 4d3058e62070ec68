"""The report of a recorded run: one self-contained folder with an HTML page and a contact sheet.

Made from the results database and the saved overlays alone, so it works for any run of `watch` (and the
demo's run, which uses the same renderer). The folder holds the page, the score histogram, the contact
sheet and copies of the overlays and thumbnails it shows, all linked by relative paths: copied elsewhere
(mailed, put on a share), the page still shows everything.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva.files import write_atomic
from qorva.home import overlays_dir
from qorva.images import ImageError, read_image
from qorva.overlays import shared_copy
from qorva.report import figures, page
from qorva.results import COLUMNS, Row, Shadow

# Tiles and tables stay readable with thousands of rows: the highest-scoring NG images, the OK images
# closest below the threshold, and the last rows.
MAX_NG_TILES = 60
NEAR_OK = 8
MAX_ROWS = 1000


@dataclass
class Run:
    """What one report shows: the rows, the taught good samples' scores and, for the demo, each file's truth.

    Overlays are read only from the overlay folder of `home` (None: none are) and from `shared_overlays`, a
    line's shared overlay folder; else, where the database keeps them, from `stored_overlay` (the JPEG
    stored with a row, by row id). `decisions` holds what people decided about rows (the latest review).
    `product` "" reports every product of the rows.
    """

    product: str
    rows: list[Row]
    good_scores: list[float] = field(default_factory=list)
    home: Path | None = None
    title: str = ""
    labels: dict[str, tuple[str, bool]] = field(default_factory=dict)  # file -> (note, verdict right)
    notes: list[str] = field(default_factory=list)
    extra: list[page.Table] = field(default_factory=list)
    decisions: dict[int, Any] = field(default_factory=dict)
    shared_overlays: Path | None = None
    stored_overlay: Callable[[int], bytes | None] | None = None
    shadows: dict[int, Shadow] = field(default_factory=dict)  # row id -> a candidate version's verdict on it

    def overlay_roots(self, row: Row) -> list[Path]:
        """The folders an overlay of `row` may be read from."""
        roots = [self.shared_overlays] if self.shared_overlays is not None else []
        if self.home is not None:
            try:
                roots.insert(0, overlays_dir(self.home, row.product_id))
            except ValueError:  # a product id no folder may have (a row from outside)
                pass
        return roots

    def disagreements(self) -> list[Row]:
        """The rows whose candidate version (`watch --shadow`) gave another verdict."""
        return [r for r in self.rows if r.id in self.shadows and self.shadows[r.id].verdict != r.verdict]


def percentile(values: Sequence[float], q: float) -> float:
    """The q-th percentile by the nearest-rank rule (an observed latency, never an interpolated one)."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q / 100 * len(ordered)) - 1)]


def _seconds(a: str, b: str) -> float:
    parse = dt.datetime.fromisoformat
    return (parse(b.replace("Z", "+00:00")) - parse(a.replace("Z", "+00:00"))).total_seconds()


def summary(run: Run) -> list[tuple[str, str]]:
    """The summary table: counts, NG rate, throughput and latency percentiles."""
    rows = run.rows
    n = len(rows)
    counts = {v: sum(r.verdict == v for r in rows) for v in ("OK", "NG", "ERROR")}
    judged = counts["OK"] + counts["NG"]
    products = sorted({r.product_id for r in rows})
    out = [("product", run.product or ", ".join(products)),
           ("images", f"{n} (OK {counts['OK']}, NG {counts['NG']}, ERROR {counts['ERROR']})"),
           ("NG rate", f"{100 * counts['NG'] / judged:.1f}% of {judged} judged" if judged else "-")]
    if len(products) > 1:
        out.append(("per product", "; ".join(_counts(p, [r for r in rows if r.product_id == p]) for p in products)))
    if counts["NG"] and run.decisions is not None:
        out.append(("NG reviewed", _reviewed(rows, run.decisions)))
    if rows:
        span = _seconds(rows[0].recorded_at, rows[-1].recorded_at)
        out.append(("period", f"{page.local(rows[0].recorded_at)} to {page.local(rows[-1].recorded_at)}"))
        out.append(("throughput", f"{(n - 1) / span:.2f} images/s over {span:.1f} s" if span > 0 else "-"))
        thresholds = sorted({round(r.threshold, 4) for r in rows if r.threshold is not None})
        out.append(("threshold", ", ".join(f"{t:.4f}" for t in thresholds) or "-"))
        models = dict.fromkeys((r.model_version, r.threshold, r.threshold_source) for r in rows
                               if r.model_version is not None and r.threshold is not None)
        if models:
            out.append(("model", ", ".join(f"v{v} at {t:.4f} ({src or '-'})" for v, t, src in models)))
        runs = list(dict.fromkeys(r.run_id for r in rows))
        out.append(("runs", ", ".join(runs)))
        stations = sorted({r.station for r in rows if r.station})
        if stations:
            out.append(("stations", ", ".join(stations)))
    if run.shadows:
        label = ", ".join(sorted({f"v{s.model_version}" for s in run.shadows.values()}))
        same = len(run.shadows) - len(run.disagreements())
        out.append(("shadow", f"{label} gave the same verdict on {same} of {len(run.shadows)} images "
                              f"({100 * same / len(run.shadows):.1f}%)"))
    lat = [r.latency_ms for r in rows if r.latency_ms is not None and r.verdict != "ERROR"]
    if lat:
        out.append(("inspect latency", "  ".join(f"p{q} {percentile(lat, q):.0f} ms" for q in (50, 90, 99))
                    + f"  max {max(lat):.0f} ms"))
    return out


def _counts(label: str, rows: Sequence[Row]) -> str:
    ng = sum(r.verdict == "NG" for r in rows)
    judged = sum(r.verdict in ("OK", "NG") for r in rows)
    rate = f", {100 * ng / judged:.1f}%" if judged else ""
    return f"{label} {len(rows)} (NG {ng}{rate})"


def _reviewed(rows: Sequence[Row], decisions: dict[int, Any]) -> str:
    made = [decisions.get(r.id) for r in rows if r.verdict == "NG"]
    good = sum(m is not None and m.decision == "good" for m in made)
    defect = sum(m is not None and m.decision == "defect" for m in made)
    return f"{good} overruled as good parts, {defect} confirmed as defects, {len(made) - good - defect} not reviewed"


def _folder(out: Path, name: str) -> Path:
    """A subfolder of the report, made if absent; a link there is refused: the report writes nothing through one."""
    folder = out / name
    if folder.is_symlink() or (folder.exists() and not folder.is_dir()):
        msg = f"{folder} is a link or a file; the report writes no file through a link: choose another --out"
        raise OSError(msg)
    folder.mkdir(exist_ok=True)
    return folder


def own_overlay(row: Row, roots: Sequence[Path]) -> Path | None:
    """The row's overlay file when it lies in one of the overlay folders `roots`; a row is data from outside
    (a shared database holds every station's rows), so a path anywhere else is never read."""
    if not row.overlay_path:
        return None
    for root in roots:
        for candidate in (row.overlay_path, shared_copy(row.overlay_path, root)):
            try:
                src = Path(candidate).resolve(strict=True)
                inside = src.is_relative_to(root.resolve(strict=True))
            except (OSError, RuntimeError, ValueError):  # gone (pruned, moved), a link loop, a NUL in the text
                continue
            if inside and src.is_file():
                return src
    return None


def overlay_bytes(run: Run, row: Row) -> tuple[bytes, str] | None:
    """The row's overlay (its bytes and suffix): the file where it may be read, else the stored JPEG."""
    src = own_overlay(row, run.overlay_roots(row))
    if src is not None:
        try:
            return src.read_bytes(), src.suffix
        except OSError:
            pass  # pruned (--keep-overlays) or moved meanwhile
    stored = run.stored_overlay(row.id) if run.stored_overlay is not None and row.id is not None else None
    return (stored, ".jpg") if stored else None


def _copy_overlay(row: Row, out: Path, run: Run) -> str | None:
    """Copy the row's overlay beside the page; its relative link, or None when the overlay is not kept here."""
    found = overlay_bytes(run, row)
    if found is None:
        return None  # the row stays and says so
    data, suffix = found
    name = Path(row.overlay_path).name if row.overlay_path else f"stored{suffix}"
    dest = _folder(out, "overlays") / f"{row.id or 0:06d}_{Path(name).stem}{suffix}"
    write_atomic(dest, data)  # a new file renamed into place: a link already at `dest` is replaced, not followed
    return dest.relative_to(out).as_posix()


def rows_csv(rows: Sequence[Row], decisions: dict[int, Any] | None = None) -> str:
    """Every column of the rows as CSV (the columns of 'qorva results --format csv'), then the review."""
    buf = io.StringIO()
    writer = csv.writer(buf, lineterminator="\n")
    writer.writerow(("id", *COLUMNS, "review", "reviewed_by", "reviewed_at", "review_note"))
    for r in rows:
        made = (decisions or {}).get(r.id)
        review = (made.label, made.reviewer, made.reviewed_at, made.note) if made else ("", "", "", "")
        writer.writerow((*r.to_record().values(), *review))
    return buf.getvalue()


def _thumbnail(row: Row, out: Path) -> str | None:
    """A small copy of an OK image that is still on disk (kept, or moved to the processed folder)."""
    if not row.source_path:
        return None
    src = Path(row.source_path)
    for candidate in (src, src.parent / "_processed" / src.name):
        try:
            image = read_image(candidate)
        except ImageError:
            continue
        scale = 240 / max(image.shape[:2])
        if scale < 1:
            image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
        ok, buf = cv2.imencode(".jpg", image)
        if ok:
            dest = _folder(out, "images") / f"{row.id or 0:06d}.jpg"
            write_atomic(dest, buf.tobytes())
            return dest.relative_to(out).as_posix()
    return None


def write(run: Run, out: Path) -> tuple[Path, Path]:
    """Write the report folder `out`: report.html, scores.png, contact_sheet.png and the copies they link.

    Every file is written under a new name and renamed into place, so a link planted in `out` is replaced,
    never written through; a linked subfolder is refused (`OSError`).
    """
    out.mkdir(parents=True, exist_ok=True)
    ng = sorted((r for r in run.rows if r.verdict == "NG"), key=lambda r: -(r.score or 0.0))[:MAX_NG_TILES]
    near = sorted((r for r in run.rows if r.verdict == "OK"), key=lambda r: -(r.score or 0.0))[:NEAR_OK]
    links = {r.id: _copy_overlay(r, out, run) for r in run.rows if r.verdict == "NG"}
    differ = run.disagreements()[:MAX_NG_TILES]
    thumbs = {r.id: _thumbnail(r, out) for r in near + [r for r in differ if not links.get(r.id)]}
    threshold = next((r.threshold for r in reversed(run.rows) if r.threshold is not None), None)
    figures.score_histogram(
        out / "scores.png", [r.score for r in run.rows if r.verdict == "OK"],
        [r.score for r in run.rows if r.verdict == "NG"], run.good_scores, threshold,
    )
    tiles = [figures.Tile(_read(out, links.get(r.id)), *_label(run, r)) for r in ng]
    sheet = figures.write_png(out / "contact_sheet.png",
                              figures.contact_sheet(tiles, f"qorva: NG images of {run.product or 'every product'}"))
    write_atomic(out / "rows.csv", rows_csv(run.rows, run.decisions).encode("utf-8"))
    html = page.render(run, summary(run), ng=ng, near=near, links=links, thumbs=thumbs, max_rows=MAX_ROWS)
    return page.write_page(out / "report.html", html), sheet


def _label(run: Run, row: Row) -> tuple[str, bool | None]:
    note = run.labels.get(row.source_file or "")
    return (note[0], note[1]) if note else ("", None)


def _read(out: Path, link: str | None) -> np.ndarray | None:
    """The copied overlay for the contact sheet, through the one reader with its size guard."""
    if link is None:
        return None
    try:
        return read_image(out / link)
    except ImageError:
        return None
