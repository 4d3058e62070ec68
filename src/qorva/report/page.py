"""The report's HTML: readable at 1280 px and on a phone, with no horizontal scrolling of the page.

Wide tables scroll inside their own box; tiles flow into as many columns as fit; long file names wrap.
"""

from __future__ import annotations

import datetime as dt
import html
import re
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
td.f { overflow-wrap: anywhere; min-width: 8em; }
td.n, th.n { white-space: nowrap; text-align: right; font-variant-numeric: tabular-nums; }
th { background: #f0f0f0; white-space: nowrap; }
tr.NG td { background: #fde8e8; } tr.NG td.v { color: #b00; font-weight: bold; }
tr.ERROR td { background: #fff3e0; } tr.ERROR td.v { color: #b60; font-weight: bold; }
tr.alarm td { background: #fde8e8; }
img { max-width: 100%; height: auto; }
.tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(220px, 1fr)); gap: .8em; }
figure { margin: 0; border: 2px solid #c33; border-radius: 4px; padding: 4px; background: #fff; }
figure.ok { border-color: #4a9a4a; }
figcaption { font-size: 85%; overflow-wrap: anywhere; }
figcaption .n { white-space: nowrap; }
p.note { color: #555; }
.decided { font-weight: bold; } .decided.good { color: #2a7a2a; } .decided.defect { color: #b00; }
.review button { margin: 2px 2px 0 0; } .review input { width: 100%; margin-top: 2px; }
body:not(.signed-in) .review { display: none; }
.bad { color: #b00; font-weight: bold; } .done { color: #2a7a2a; }
.bar { display: inline-block; height: .8em; background: #4a9a4a; vertical-align: middle; }
.bar.ng { background: #c83232; }
form.filters { display: flex; flex-wrap: wrap; gap: .5em; align-items: end; }
form.filters label { display: flex; flex-direction: column; font-size: 85%; }
"""

# Numbers as the tables show them: one that reads as a number is kept on one line and aligned right.
_NUMBER = re.compile(r"^[-+]?[\d.,]+\s?(%|ms|s|MB|KB)?$")


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


def _cell(value: object) -> str:
    if isinstance(value, (int, float)) or _NUMBER.match(str(value or "")):
        return f'<td class="n">{_e(value)}</td>'
    return f"<td>{_e(value)}</td>"


def table_html(t: Table) -> str:
    head = "".join(f"<th>{_e(h)}</th>" for h in t.header)
    body = []
    for i, row in enumerate(t.rows):
        cls = ' class="alarm"' if i in t.highlight else ""
        body.append(f"<tr{cls}>" + "".join(_cell(v) for v in row) + "</tr>")
    rows = "\n".join(body)
    return f'<h2>{_e(t.heading)}</h2>\n<div class="wide"><table><tr>{head}</tr>\n{rows}</table></div>'


def _decision(run: Any, r: Any) -> str:
    """What people decided about the row, for its tile and its table row ("" when nobody has)."""
    made = run.decisions.get(r.id)
    if made is None:
        return ""
    note = f": {_e(made.note)}" if made.note else ""
    return (f'<span class="decided {_e(made.decision)}">{_e(made.label)}</span> by {_e(made.reviewer)}, '
            f"{_e(local(made.reviewed_at))}{note}")


def _review_controls(r: Any) -> str:
    return (f'<div class="review" data-row="{_e(r.id)}"><button type="button" data-decision="good">good part</button>'
            '<button type="button" data-decision="defect">defect confirmed</button>'
            '<input type="text" maxlength="500" placeholder="note (optional)"></div>')


def _tiles(run: Any, ng: Sequence[Any], links: dict, *, controls: bool = False) -> str:
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
        decided = _decision(run, r) or (f"not reviewed (qorva review {_e(r.id)} --good | --defect)" if r.id else "")
        station = f" {_e(r.station)}" if r.station else ""
        out.append(f'<figure{cls} id="row{_e(r.id)}">{picture}<figcaption><b>{_e(r.source_file)}</b> '
                   f'<span class="n">{_num(r.score, 4)} / {_num(r.threshold, 4)}</span> {_e(r.dominant_branch)}'
                   f"<br>{_e(local(r.recorded_at))}{station}{extra}<br>{decided}"
                   f"{_review_controls(r) if controls and r.id else ''}</figcaption></figure>")
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


def _rows_table(run: Any, rows: Sequence[Any], links: dict, heading: str) -> str:
    from qorva.inspection.modules.norim.runner import BRANCHES

    numbers = ("score", "threshold", "ratio", *BRANCHES, "ms")
    head = ("id", "time", "station", "product", "file", "verdict", "score", "threshold", "model", "ratio", *BRANCHES,
            "dominant", "ms", "overlay / error", "review")
    cols = "".join(f'<th class="n">{h}</th>' if h in numbers or h == "id" else f"<th>{h}</th>" for h in head)
    out = [f"<h2>{_e(heading)}</h2>", f'<div class="wide"><table><tr>{cols}</tr>']
    for r in rows:
        link = links.get(r.id)
        last = f'<a href="{_e(link)}">overlay</a>' if link else _e(r.error_message or ("not kept" if r.overlay_path
                                                                                         else ""))
        n = [_num(getattr(r, b), 3) for b in BRANCHES]
        model = f"v{r.model_version} {r.threshold_source or ''}" if r.model_version is not None else "-"
        out.append(
            f'<tr class="{_e(r.verdict)}"><td class="n">{_e(r.id)}</td><td class="n">{_e(local(r.recorded_at))}</td>'
            f'<td>{_e(r.station)}</td><td>{_e(r.product_id)}</td><td class="f">{_e(r.source_file)}</td>'
            f'<td class="v">{_e(r.verdict)}</td><td class="n">{_num(r.score, 4)}</td>'
            f'<td class="n">{_num(r.threshold, 4)}</td><td>{_e(model)}</td><td class="n">{_num(r.ratio, 3)}</td>'
            + "".join(f'<td class="n">{v}</td>' for v in n)
            + f'<td>{_e(r.dominant_branch)}</td><td class="n">{_num(r.latency_ms, 0)}</td><td class="f">{last}</td>'
            f"<td>{_decision(run, r)}</td></tr>"
        )
    out.append("</table></div>")
    return "\n".join(out)


def hourly(rows: Sequence[Any]) -> list[tuple[str, int, int, int, int, float | None]]:
    """(local start of the hour, images, OK, NG, ERROR, NG rate of the judged) for every hour from the first
    row's to the last's, empty hours included, so a quiet hour shows as one. Hours are counted in UTC, so a
    change of the clocks neither merges nor skips one."""
    if not rows:
        return []
    counts: dict[dt.datetime, dict[str, int]] = {}
    for r in rows:
        hour = dt.datetime.fromisoformat(r.recorded_at.replace("Z", "+00:00")).replace(minute=0, second=0,
                                                                                        microsecond=0)
        per = counts.setdefault(hour, {})
        per[r.verdict] = per.get(r.verdict, 0) + 1
    out = []
    hour, last = min(counts), max(counts)
    while hour <= last:
        c = counts.get(hour, {})
        ok, ng, err = c.get("OK", 0), c.get("NG", 0), c.get("ERROR", 0)
        label = hour.astimezone().strftime("%Y-%m-%d %H:%M")
        out.append((label, ok + ng + err, ok, ng, err, ng / (ok + ng) if ok + ng else None))
        hour += dt.timedelta(hours=1)
    return out


def _trend(rows: Sequence[Any]) -> str:
    hours = hourly(rows)[-168:]  # a week at most
    if len(hours) < 2:
        return ""
    top = max(h[1] for h in hours) or 1
    out = ["<h2>Hourly trend</h2>", '<div class="wide"><table><tr><th>hour</th><th class="n">images</th>'
           '<th class="n">OK</th><th class="n">NG</th><th class="n">ERROR</th><th class="n">NG rate</th>'
           "<th>images (red: NG)</th></tr>"]
    for label, n, ok, ng, err, rate in hours:
        bars = (f'<span class="bar" style="width:{12 * ok / top:.2f}em"></span>'
                f'<span class="bar ng" style="width:{12 * ng / top:.2f}em"></span>')
        shown = "-" if rate is None else f"{100 * rate:.1f}%"
        out.append(f'<tr><td class="n">{label}</td><td class="n">{n}</td><td class="n">{ok}</td><td class="n">{ng}'
                   f'</td><td class="n">{err}</td><td class="n">{shown}</td><td>{bars}</td></tr>')
    out.append("</table></div>")
    return "\n".join(out)


@dataclass
class Served:
    """The report as the live page's server shows it: its filters, whether reviews can be made, its links."""

    query: dict[str, str]
    writable: bool
    csv: str
    scores: str  # the histogram, as a data: URI
    products: Sequence[str] = ()


def _filters(served: Served) -> str:
    q = served.query
    products = "".join(f'<option{" selected" if p == q.get("product") else ""}>{_e(p)}</option>'
                       for p in served.products)
    verdicts = "".join(f'<option{" selected" if v == q.get("verdict") else ""}>{v}</option>'
                       for v in ("OK", "NG", "ERROR"))
    fields = "".join(f'<label>{label}<input name="{key}" value="{_e(q.get(key, ""))}" placeholder="{hint}"></label>'
                     for key, label, hint in (("since", "from", "8h, today, 2026-12-08T06:00"),
                                              ("until", "until", "now, 2026-12-08T14:00"),
                                              ("station", "station", "every station")))
    return (f'<form class="filters" method="get" action="/report"><label>product<select name="product">'
            f'<option value="">every product</option>{products}</select></label><label>verdict<select name="verdict">'
            f'<option value="">every verdict</option>{verdicts}</select></label>{fields}<button>show</button>'
            f'<a href="{_e(served.csv)}">CSV of these rows</a></form>')


def render(run: Any, summary: list[tuple[str, str]], *, ng: Sequence[Any], near: Sequence[Any], links: dict,
           thumbs: dict, max_rows: int, served: Served | None = None) -> str:
    """The whole page; `served`: the live server's page, with filters and, given a token, review buttons."""
    title = run.title or f"qorva report: {run.product or 'every product'}"
    errors = [r for r in run.rows if r.verdict == "ERROR"]
    shown = run.rows[-max_rows:]
    scores = served.scores if served else "scores.png"
    sheet = "" if served else ' on one <a href="contact_sheet.png">contact sheet</a>'
    csv_link = served.csv if served else "rows.csv"
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_e(title)}</title><style>{_CSS}</style></head><body>", f"<h1>{_e(title)}</h1>",
        _filters(served) if served else "",
        '<div id="signin"></div>' if served and served.writable else "",
        *(f'<p class="note">{_e(n)}</p>' for n in run.notes),
        table_html(Table("Summary", ("figure", "value"), summary)),
        *(table_html(t) for t in run.extra),
        _trend(run.rows),
        "<h2>Scores against the threshold</h2>",
        '<p class="note">Bars: these images (OK green, NG red); outline: the good samples the threshold was'
        " taught on; dashed line: the threshold.</p>",
        f'<a href="{_e(scores)}"><img src="{_e(scores)}" alt="histogram of scores with the threshold"></a>',
        f"<h2>NG images ({sum(r.verdict == 'NG' for r in run.rows)}), highest score first</h2>",
        f'<p class="note">Each overlay carries its verdict, score / threshold, cause, file and time; all of them'
        f"{sheet or ' are in the table below'}.</p>",
        _tiles(run, ng, links, controls=bool(served and served.writable)),
        "" if served else f"<h2>OK images closest to the threshold ({len(near)})</h2>{_near(near, thumbs)}",
        _shadow(run, links, thumbs, 60),
        table_html(Table(f"ERROR rows ({len(errors)})", ("id", "time", "file", "message"),
                         [(r.id, local(r.recorded_at), r.source_file, r.error_message) for r in errors])),
        _rows_table(run, shown, links, f"Every image ({len(shown)} of {len(run.rows)}, in inspection order)"),
        f'<p><a href="{_e(csv_link)}">Every row as CSV</a> (opens in a spreadsheet).</p>',
        '<script src="/write.js"></script>' if served and served.writable else "",
        "</body></html>",
    ]
    return "\n".join(parts)


def write_page(path: Path, text: str) -> Path:
    write_atomic(path, text.encode("utf-8"))
    return path
