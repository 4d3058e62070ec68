"""The report's HTML: readable at 1280 px and on a phone, with no horizontal scrolling of the page.

Wide tables scroll inside their own box; tiles flow into as many columns as fit; long file names wrap.
"""

from __future__ import annotations

import datetime as dt
import html
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from qorva.files import write_atomic

_CSS = """
* { box-sizing: border-box; }
body { font-family: system-ui, sans-serif; margin: 0 auto; padding: 1em; color: #222; max-width: 1240px; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.5em; }
.wide { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; text-align: left; font-size: 90%; vertical-align: top; }
td { overflow-wrap: anywhere; }
th { background: #f0f0f0; }
tr.NG td { background: #fde8e8; } tr.NG td.v { color: #b00; font-weight: bold; }
tr.ERROR td { background: #fff3e0; } tr.ERROR td.v { color: #b60; font-weight: bold; }
tr.alarm td { background: #fde8e8; }
img { max-width: 100%; height: auto; }
.tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(220px, 1fr)); gap: .8em; }
figure { margin: 0; border: 2px solid #c33; border-radius: 4px; padding: 4px; background: #fff; }
figure.ok { border-color: #4a9a4a; }
figcaption { font-size: 85%; overflow-wrap: anywhere; }
p.note { color: #555; }
"""


@dataclass
class Table:
    """A table of the page; `highlight` marks rows drawn in the alarm colour."""

    heading: str
    header: Sequence[str]
    rows: list[Sequence[object]]
    highlight: set[int] = field(default_factory=set)


def local(recorded_at: str | None) -> str:
    if not recorded_at:
        return "-"
    moment = dt.datetime.fromisoformat(recorded_at.replace("Z", "+00:00")).astimezone()
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def _e(value: object) -> str:
    return html.escape("" if value is None else str(value))


def _num(value: float | None, places: int) -> str:
    return "-" if value is None else f"{value:.{places}f}"


def table_html(t: Table) -> str:
    head = "".join(f"<th>{_e(h)}</th>" for h in t.header)
    body = []
    for i, row in enumerate(t.rows):
        cls = ' class="alarm"' if i in t.highlight else ""
        body.append(f"<tr{cls}>" + "".join(f"<td>{_e(v)}</td>" for v in row) + "</tr>")
    rows = "\n".join(body)
    return f'<h2>{_e(t.heading)}</h2>\n<div class="wide"><table><tr>{head}</tr>\n{rows}</table></div>'


def _tiles(run: Any, ng: Sequence[Any], links: dict) -> str:
    if not ng:
        return "<p>No NG images.</p>"
    out = ['<div class="tiles">']
    for r in ng:
        link = links.get(r.id)
        img = f'<img src="{_e(link)}" alt="overlay of {_e(r.source_file)}" loading="lazy">'
        picture = f'<a href="{_e(link)}">{img}</a>' if link else "<p>overlay not kept</p>"
        note = run.labels.get(r.source_file or "")
        cls = ' class="ok"' if note and note[1] else ""
        extra = f"<br>{_e(note[0])}" if note else ""
        out.append(f"<figure{cls}>{picture}<figcaption><b>{_e(r.source_file)}</b> {_num(r.score, 4)} / "
                   f"{_num(r.threshold, 4)} {_e(r.dominant_branch)}<br>{_e(local(r.recorded_at))}{extra}"
                   "</figcaption></figure>")
    out.append("</div>")
    return "\n".join(out)


def _near(near: Sequence[Any], thumbs: dict) -> str:
    if not near:
        return "<p>No OK images.</p>"
    out = ['<div class="tiles">']
    for r in near:
        thumb = thumbs.get(r.id)
        picture = f'<img src="{_e(thumb)}" alt="{_e(r.source_file)}" loading="lazy">' if thumb else \
            "<p>image no longer on disk</p>"
        out.append(f'<figure class="ok">{picture}<figcaption><b>{_e(r.source_file)}</b> {_num(r.score, 4)} / '
                   f"{_num(r.threshold, 4)} (x{_num(r.ratio, 3)}) {_e(r.dominant_branch)}</figcaption></figure>")
    out.append("</div>")
    return "\n".join(out)


def _shadow(run: Any, links: dict, thumbs: dict, max_tiles: int) -> str:
    """The images a candidate version (`watch --shadow`) judged otherwise, as tiles: both verdicts on each."""
    if not run.shadows:
        return ""
    differ = run.disagreements()
    out = [f"<h2>Judged otherwise by the shadow version ({len(differ)} of {len(run.shadows)})</h2>",
           '<p class="note">Each verdict at its own version\'s taught threshold; the shadow verdict never reached '
           "the line.</p>", '<div class="tiles">' if differ else "<p>None: the same verdict on every image.</p>"]
    for r in differ[:max_tiles]:
        s = run.shadows[r.id]
        link = links.get(r.id) or thumbs.get(r.id)
        picture = f'<img src="{_e(link)}" alt="{_e(r.source_file)}" loading="lazy">' if link else \
            "<p>image no longer on disk</p>"
        out.append(f"<figure>{picture}<figcaption><b>{_e(r.source_file)}</b> v{_e(r.model_version)} "
                   f"{_e(r.verdict)} {_num(r.score, 4)} / {_num(r.threshold, 4)}; shadow v{_e(s.model_version)} "
                   f"{_e(s.verdict)} {_num(s.score, 4)} / {_num(s.threshold, 4)}</figcaption></figure>")
    if differ:
        out.append("</div>")
    return "\n".join(out)


def _rows_table(rows: Sequence[Any], links: dict, heading: str) -> str:
    from qorva.inspection.modules.norim.runner import BRANCHES

    head = ("id", "time", "file", "verdict", "score", "threshold", "model", "ratio", *BRANCHES, "dominant", "ms",
            "overlay / error")
    cols = "".join(f"<th>{h}</th>" for h in head)
    out = [f"<h2>{_e(heading)}</h2>", f'<div class="wide"><table><tr>{cols}</tr>']
    for r in rows:
        link = links.get(r.id)
        last = f'<a href="{_e(link)}">overlay</a>' if link else _e(r.error_message or ("not kept" if r.overlay_path
                                                                                         else ""))
        cells = [_e(r.id), _e(local(r.recorded_at)), _e(r.source_file), f'<span>{_e(r.verdict)}</span>',
                 _num(r.score, 4), _num(r.threshold, 4),
                 _e(f"v{r.model_version} {r.threshold_source or ''}" if r.model_version is not None else "-"),
                 _num(r.ratio, 3),
                 *(_num(getattr(r, b), 3) for b in BRANCHES), _e(r.dominant_branch), _num(r.latency_ms, 0), last]
        cls = ["", "", "", ' class="v"'] + [""] * (len(cells) - 4)
        out.append(f'<tr class="{_e(r.verdict)}">' + "".join(f"<td{c}>{v}</td>" for c, v in zip(cls, cells,
                                                                                                strict=True)) + "</tr>")
    out.append("</table></div>")
    return "\n".join(out)


def render(run: Any, summary: list[tuple[str, str]], *, ng: Sequence[Any], near: Sequence[Any], links: dict,
           thumbs: dict, max_rows: int) -> str:
    """The whole page."""
    title = run.title or f"qorva report: {run.product}"
    errors = [r for r in run.rows if r.verdict == "ERROR"]
    shown = run.rows[-max_rows:]
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_e(title)}</title><style>{_CSS}</style></head><body>", f"<h1>{_e(title)}</h1>",
        *(f'<p class="note">{_e(n)}</p>' for n in run.notes),
        table_html(Table("Summary", ("figure", "value"), summary)),
        *(table_html(t) for t in run.extra),
        "<h2>Scores against the threshold</h2>",
        '<p class="note">Bars: this run\'s images (OK green, NG red); outline: the good samples the threshold was'
        " taught on; dashed line: the threshold.</p>",
        '<a href="scores.png"><img src="scores.png" alt="histogram of scores with the threshold"></a>',
        f"<h2>NG images ({sum(r.verdict == 'NG' for r in run.rows)}), highest score first</h2>",
        '<p class="note">Each overlay carries its verdict, score / threshold, cause, file and time; all of them on '
        'one <a href="contact_sheet.png">contact sheet</a>.</p>',
        _tiles(run, ng, links),
        f"<h2>OK images closest to the threshold ({len(near)})</h2>", _near(near, thumbs),
        _shadow(run, links, thumbs, 60),
        table_html(Table(f"ERROR rows ({len(errors)})", ("id", "time", "file", "message"),
                         [(r.id, local(r.recorded_at), r.source_file, r.error_message) for r in errors])),
        _rows_table(shown, links, f"Every image ({len(shown)} of {len(run.rows)}, in inspection order)"),
        "</body></html>",
    ]
    return "\n".join(parts)


def write_page(path: Path, text: str) -> Path:
    write_atomic(path, text.encode("utf-8"))
    return path
