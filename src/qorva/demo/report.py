"""The demo's report: a contact sheet PNG of the NG images and a self-contained HTML page of every figure."""

from __future__ import annotations

import base64
import html
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

import cv2
import numpy as np

from qorva.demo.run import DemoOptions, DemoResult
from qorva.demo.scoring import Scores, figures, headline, pct
from qorva.files import write_atomic
from qorva.home import db_path
from qorva.results import VERDICTS, Row

_BG = (248, 248, 248)
_INK = (40, 40, 40)
_GOOD = (40, 140, 40)
_BAD = (30, 30, 200)
_FONT = cv2.FONT_HERSHEY_SIMPLEX


@dataclass
class SheetEntry:
    """One tile of the contact sheet: the image, its overlay, caption lines and whether the verdict was right."""

    image: np.ndarray
    overlay: np.ndarray | None
    lines: list[str]
    correct: bool = True
    truth_mask: np.ndarray | None = None


@dataclass
class Table:
    """A small table for the HTML report; `highlight` marks rows drawn in the alarm colour."""

    heading: str
    header: Sequence[str]
    rows: list[Sequence[object]]
    highlight: set[int] = field(default_factory=set)


def _ascii(text: str) -> str:
    # OpenCV's Hershey fonts draw ASCII only; anything else would come out as '?' boxes.
    return text.encode("ascii", "replace").decode("ascii")


def _fit(image: np.ndarray, side: int) -> np.ndarray:
    h, w = image.shape[:2]
    scale = side / max(h, w)
    small = cv2.resize(image, (max(1, round(w * scale)), max(1, round(h * scale))), interpolation=cv2.INTER_AREA)
    out = np.full((side, side, 3), _BG, np.uint8)
    y, x = (side - small.shape[0]) // 2, (side - small.shape[1]) // 2
    out[y : y + small.shape[0], x : x + small.shape[1]] = small
    return out


def _tile(entry: SheetEntry, side: int, caption_h: int) -> np.ndarray:
    left = entry.image
    if entry.truth_mask is not None and entry.truth_mask.any():
        # The true defect outlined in cyan on the original, so a reader can check the overlay against it.
        left = left.copy()
        mask = (entry.truth_mask > 0).astype(np.uint8)
        if mask.shape != left.shape[:2]:
            mask = cv2.resize(mask, (left.shape[1], left.shape[0]), interpolation=cv2.INTER_NEAREST)
        contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        cv2.drawContours(left, contours, -1, (255, 255, 0), max(1, round(min(left.shape[:2]) / 200)))
    right = entry.overlay if entry.overlay is not None else entry.image
    pad = 4
    tile = np.full((side + caption_h + 2 * pad, 2 * side + 3 * pad, 3), _BG, np.uint8)
    tile[pad : pad + side, pad : pad + side] = _fit(left, side)
    tile[pad : pad + side, 2 * pad + side : 2 * pad + 2 * side] = _fit(right, side)
    colour = _GOOD if entry.correct else _BAD
    cv2.rectangle(tile, (0, 0), (tile.shape[1] - 1, tile.shape[0] - 1), colour, 2)
    y = pad + side + 16
    for i, line in enumerate(entry.lines):
        cv2.putText(tile, _ascii(line), (pad + 2, y), _FONT, 0.42, colour if i == 0 else _INK, 1, cv2.LINE_AA)
        y += 16
    return tile


def contact_sheet(
    entries: Sequence[SheetEntry], title: str, subtitle: Sequence[str] = (), *, columns: int = 3, side: int = 200
) -> np.ndarray:
    """A grid of (original | overlay) pairs with captions under a title band; a note when there is nothing to show."""
    caption_h = 16 * max((len(e.lines) for e in entries), default=1) + 4
    tiles = [_tile(e, side, caption_h) for e in entries]
    tile_h = tiles[0].shape[0] if tiles else side // 2
    tile_w = tiles[0].shape[1] if tiles else 2 * side + 12
    cols = max(1, min(columns, len(tiles))) if tiles else columns
    rows = (len(tiles) + cols - 1) // cols if tiles else 1
    gap = 8
    band = 34 + 20 * len(subtitle)
    width = cols * tile_w + (cols + 1) * gap
    sheet = np.full((band + rows * (tile_h + gap) + gap, width, 3), 255, np.uint8)
    cv2.putText(sheet, _ascii(title), (gap, 26), _FONT, 0.7, _INK, 2, cv2.LINE_AA)
    for i, line in enumerate(subtitle):
        cv2.putText(sheet, _ascii(line), (gap, 50 + 20 * i), _FONT, 0.48, _INK, 1, cv2.LINE_AA)
    if not tiles:
        cv2.putText(sheet, "no NG images", (gap, band + 30), _FONT, 0.6, _INK, 1, cv2.LINE_AA)
    for i, t in enumerate(tiles):
        r, c = divmod(i, cols)
        y, x = band + gap + r * (tile_h + gap), gap + c * (tile_w + gap)
        sheet[y : y + tile_h, x : x + tile_w] = t
    return sheet


def png_bytes(image: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(".png", image, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    if not ok:
        msg = "PNG encoding failed"
        raise ValueError(msg)
    return buf.tobytes()


def write_png(path: Path, image: np.ndarray) -> Path:
    write_atomic(path, png_bytes(image))
    return path


def _data_uri(png: bytes) -> str:
    return "data:image/png;base64," + base64.b64encode(png).decode("ascii")


def _table_html(t: Table) -> str:
    head = "".join(f"<th>{html.escape(str(h))}</th>" for h in t.header)
    body = []
    for i, row in enumerate(t.rows):
        cls = ' class="alarm"' if i in t.highlight else ""
        cells = "".join(f"<td>{html.escape('' if v is None else str(v))}</td>" for v in row)
        body.append(f"<tr{cls}>{cells}</tr>")
    return f"<h2>{html.escape(t.heading)}</h2>\n<table><tr>{head}</tr>\n" + "\n".join(body) + "\n</table>"


_CSS = """
body { font-family: system-ui, sans-serif; margin: 2em; color: #222; max-width: 1300px; }
table { border-collapse: collapse; margin-bottom: 1.5em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; text-align: left; font-size: 90%; }
th { background: #f0f0f0; }
tr.alarm td { background: #fde8e8; }
img.sheet { max-width: 100%; border: 1px solid #ccc; }
p.note { color: #555; }
"""


def html_report(
    path: Path,
    title: str,
    intro: str,
    tables: Sequence[Table],
    sheet: np.ndarray | None,
    *,
    after: Sequence[Table] = (),
) -> Path:
    """One HTML page: `tables`, the contact sheet, then `after`; images are embedded so the file can be moved alone."""
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{html.escape(title)}</title><style>{_CSS}</style></head><body>",
        f"<h1>{html.escape(title)}</h1>",
        f'<p class="note">{html.escape(intro)}</p>',
    ]
    for t in tables:
        parts.append(_table_html(t))
    if sheet is not None:
        parts.append("<h2>NG images: the image (true defect outlined in cyan) and the anomaly overlay</h2>")
        parts.append(f'<img class="sheet" alt="contact sheet of NG images" src="{_data_uri(png_bytes(sheet))}">')
    for t in after:
        parts.append(_table_html(t))
    parts.append("</body></html>")
    write_atomic(path, "\n".join(parts).encode("utf-8"))
    return path


def write_report(opts: DemoOptions, result: DemoResult, s: Scores) -> tuple[Path, Path]:
    """The contact sheet PNG of the NG images and the HTML report, under <workdir>/report/."""
    out = opts.workdir / "report"
    subtitle = [
        f"{len(result.rows)} images, recall {pct(s.recall)}, false-positive rate {pct(s.fp_rate)}, "
        f"threshold {result.threshold:.3f}",
        "left: image (true defect outlined in cyan)   right: anomaly overlay (red outline: model's region)",
    ]
    sheet = contact_sheet(_sheet_entries(result), f"qorva demo - NG images of '{opts.product}'", subtitle)
    sheet_path = write_png(out / "contact_sheet.png", sheet)
    tables = [
        Table("Summary", ("figure", "value"), list(figures(result, s))),
        Table(
            "Confusion matrix (rows: truth, columns: verdict)",
            ("truth", *VERDICTS),
            [(t, *(s.matrix.get((t, v), 0) for v in VERDICTS)) for t in ("good", "defect")],
        ),
    ]
    intro = headline(opts, result) + f". Results database: {db_path(result.home or opts.workdir)}."
    report_path = html_report(
        out / "report.html", f"qorva demo: {opts.product}", intro, tables, sheet, after=[_every_image(result)]
    )
    return sheet_path, report_path


def _sheet_entries(result: DemoResult) -> list[SheetEntry]:
    """One tile per NG image, highest score first, captioned with its truth."""
    entries = []
    ng = [r for r in result.rows.values() if r.verdict == "NG"]
    for row in sorted(ng, key=lambda r: -(r.score or 0.0)):
        item = result.items.get(row.source_file or "")
        if item is None:
            continue
        correct = item.truth == "defect"
        entries.append(
            SheetEntry(
                image=item.image,
                overlay=result.overlays.get(item.name),
                lines=[
                    f"{item.name}  NG  {'defect: ' + item.kind if correct else 'FALSE ALARM (good)'}",
                    f"score {row.score:.2f} / thr {row.threshold:.2f}  x{row.ratio or 0:.1f}",
                    f"dominant: {row.dominant_branch}",
                ],
                correct=correct,
                truth_mask=item.mask,
            )
        )
    return entries


def _every_image(result: DemoResult) -> Table:
    """Every recorded row in inspection order; wrong verdicts highlighted."""
    from qorva.inspection.modules.norim.runner import BRANCHES

    rows = sorted(result.rows.values(), key=lambda r: r.id or 0)
    return Table(
        "Every image, in inspection order",
        ("id", "file", "truth", "verdict", "score", "threshold", "ratio", *BRANCHES, "dominant", "inspect ms",
         "overlay"),
        [
            (r.id, r.source_file, result.items[r.source_file].kind if r.source_file in result.items else "?",
             r.verdict, r.score, r.threshold, r.ratio, *(getattr(r, b) for b in BRANCHES),
             r.dominant_branch, r.latency_ms, Path(r.overlay_path).name if r.overlay_path else "")
            for r in rows
        ],
        highlight={i for i, r in enumerate(rows) if _wrong(result, r)},
    )


def _wrong(result: DemoResult, row: Row) -> bool:
    item = result.items.get(row.source_file or "")
    return item is not None and (row.verdict == "NG") != (item.truth == "defect")
