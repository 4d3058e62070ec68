"""The evaluation's report: one folder with an HTML page, the ROC curve, score histograms per folder and the
misjudged images with their overlays (and, with a second version, the images the two judge differently)."""

from __future__ import annotations

import io
import math
import re
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva import metrics, overlays
from qorva.evaluation import Evaluation, Scored, agreement
from qorva.files import write_atomic
from qorva.images import ImageError, read_image
from qorva.report.page import Table, table_html, write_page
from qorva.results import Row

MAX_TILES = 60
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")
_CSS = """
body { font-family: system-ui, sans-serif; margin: 0 auto; padding: 1em; color: #222; max-width: 1240px; }
.wide { overflow-x: auto; } table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; text-align: left; font-size: 90%; white-space: nowrap; }
th { background: #f0f0f0; } img { max-width: 100%; height: auto; }
.tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(220px, 1fr)); gap: .8em; }
figure { margin: 0; border: 2px solid #c33; border-radius: 4px; padding: 4px; }
figcaption { font-size: 85%; overflow-wrap: anywhere; } p.note { color: #555; }
"""


def _pct(v: float | None) -> str:
    return "-" if v is None or (isinstance(v, float) and math.isnan(v)) else f"{v:.1%}"


def _num(v: float | None, places: int = 3) -> str:
    return "-" if v is None or (isinstance(v, float) and math.isnan(v)) else f"{v:.{places}f}"


def tables(fig: dict[str, Any]) -> list[Table]:
    """The figures as the page and the terminal show them: the whole set, then one row per bad folder."""
    lo, hi = fig["fp_interval"]
    t, f1 = fig["target_fp"], fig["f1_best"] or {}
    overall = Table(f"{fig['bundle']} v{fig['version']} on {fig['n_good']} good and {fig['n_bad']} bad images",
                    ("figure", "value"), [
        ("image AUROC", _num(fig["image_auroc"])),
        ("pixel AUROC", _num(fig["pixel_auroc"])),
        (f"at the taught threshold {fig['threshold']:.4f} ({fig['threshold_source']})",
         f"false positives {_pct(fig['fp_rate'])} (95%: {_pct(lo)} to {_pct(hi)}), recall {_pct(fig['recall'])}"),
        (f"threshold for {_pct(t['rate'])} false positives ({t['method']})",
         f"{t['threshold']:.4f}: false positives {_pct(t['fp_rate'])}, recall {_pct(t['recall'])}"),
        ("F1-best threshold", f"{f1['threshold']:.4f}: false positives {_pct(f1['fp_rate'])}, recall "
                              f"{_pct(f1['recall'])}, F1 {_num(f1['f1'])}" if f1 else "-"),
    ])  # fmt: skip
    folders = Table("Per bad folder", ("folder", "images", "image AUROC", "pixel AUROC", "recall (taught)",
                                       "recall (target FP)", "recall (F1-best)"),
                    [(name, f["n"], _num(f["image_auroc"]), _num(f["pixel_auroc"]), _pct(f["recall"]),
                      _pct(f["recall_at_target_fp"]), _pct(f["recall_at_f1_best"]))
                     for name, f in fig["folders"].items()])
    return [overall, folders]


def _png(fig: Any) -> bytes:
    import matplotlib.pyplot as plt

    out = io.BytesIO()
    try:
        fig.savefig(out, format="png")
    finally:
        plt.close(fig)
    return out.getvalue()


def plots(ev: Evaluation, out: Path) -> None:
    """roc.png (every bad folder against the good images) and scores.png (a histogram per folder)."""
    import matplotlib

    matplotlib.use("Agg")  # no display on a line PC or in CI
    import matplotlib.pyplot as plt

    good = ev.scores("good")
    fig, ax = plt.subplots(figsize=(5, 4.2), dpi=100, layout="constrained")
    for name in [None, *ev.folders]:
        bad = ev.scores(name)
        fpr, tpr = metrics.roc(good, bad)
        ax.plot(fpr, tpr, linewidth=2.2 if name is None else 1.2,
                label=f"{name or 'all bad'} (AUROC {metrics.auroc(good, bad):.3f})")
    ax.plot([0, 1], [0, 1], color="#999", linestyle=":")
    ax.set(xlabel="false-positive rate (good judged NG)", ylabel="recall (bad judged NG)")
    ax.legend(loc="lower right", fontsize="small")
    write_atomic(out / "roc.png", _png(fig))
    every = ev.scores("good").tolist() + ev.scores().tolist() + [ev.threshold]
    bins = np.linspace(min(every), max(every) + 1e-9, 41)
    fig, ax = plt.subplots(figsize=(8, 3), dpi=100, layout="constrained")
    ax.hist(good, bins=bins, color="#4a9a4a", alpha=0.7, label=f"good ({good.size})")
    for name in ev.folders:
        scores = ev.scores(name)
        ax.hist(scores, bins=bins, histtype="step", linewidth=1.5, label=f"{name} ({scores.size})")
    ax.axvline(ev.threshold, color="#222", linestyle="--", label=f"taught threshold {ev.threshold:.3f}")
    ax.set(xlabel="score", ylabel="images")
    ax.legend(loc="upper right", fontsize="small")
    write_atomic(out / "scores.png", _png(fig))


def _overlay(ev: Evaluation, item: Scored, index: int, out: Path, inspector: Any) -> str | None:
    """The captioned overlay of a misjudged image, written beside the page; its link."""
    try:
        image = read_image(item.file)
        with ev.model.pinned():
            result = inspector.inspect(image, ev.model.state, with_overlay=True)
    except (ImageError, ValueError):
        return None
    row = Row.from_result(result, run_id="evaluate", product_id=ev.product, source=item.file, latency_ms=0.0)
    card = overlays.speaking(row, result, image)
    return None if card is None else _save(out, f"{index:04d}_{item.folder}_{item.file.stem[:60]}.png", card)


def _save(out: Path, name: str, image: np.ndarray) -> str | None:
    """Write `image` beside the page under a name of safe characters (file names come from outside); its link."""
    ok, buf = cv2.imencode(Path(name).suffix, image)
    if not ok:
        return None
    dest = out / "images" / _UNSAFE.sub("_", name)
    write_atomic(dest, buf.tobytes())
    return dest.relative_to(out).as_posix()


def _tiles(items: Sequence[tuple[Scored, str | None, str]]) -> str:
    import html

    if not items:
        return "<p>None.</p>"
    cells = []
    for item, link, text in items:
        picture = f'<a href="{html.escape(link)}"><img src="{html.escape(link)}" loading="lazy" alt=""></a>' \
            if link else "<p>no overlay</p>"
        cells.append(f"<figure>{picture}<figcaption><b>{html.escape(item.folder)}/{html.escape(item.file.name)}"
                     f"</b> {html.escape(text)}</figcaption></figure>")
    return '<div class="tiles">' + "\n".join(cells) + "</div>"


def write(ev: Evaluation, fig: dict[str, Any], out: Path, inspector: Any) -> Path:
    """Write the report folder `out`; the page's path."""
    out.mkdir(parents=True, exist_ok=True)
    plots(ev, out)
    wrong = ev.misjudged()[:MAX_TILES]
    tiles = [(i, _overlay(ev, i, n, out, inspector),
              f"{i.score:.4f} / {ev.threshold:.4f}: {'NG, a good image' if i.folder == 'good' else 'OK, missed'}")
             for n, i in enumerate(wrong)]
    parts = [f"<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
             f"content=\"width=device-width, initial-scale=1\"><title>qorva evaluate: {ev.product}</title>"
             f"<style>{_CSS}</style></head><body><h1>qorva evaluate: {ev.product}</h1>",
             *(table_html(t) for t in tables(fig)),
             '<h2>ROC and scores</h2><img src="roc.png" alt="ROC curves"> <img src="scores.png" alt="histograms">',
             f"<h2>Misjudged at the taught threshold ({len(ev.misjudged())}, furthest off first)</h2>", _tiles(tiles)]
    parts += _shadow(ev, out)
    parts.append("</body></html>")
    return write_page(out / "evaluation.html", "\n".join(parts))


def _thumb(item: Scored, index: int, out: Path) -> str | None:
    """A small copy of an image, written beside the page; its link."""
    try:
        image = read_image(item.file)
    except ImageError:
        return None
    scale = 240 / max(image.shape[:2])
    if scale < 1:
        image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    return _save(out, f"shadow_{index:04d}.jpg", image)


def _shadow(ev: Evaluation, out: Path) -> list[str]:
    found = agreement(ev)
    if found is None or ev.shadow is None:
        return []
    differ = ev.disagreements()[:MAX_TILES]
    items = [(i, _thumb(i, n, out), f"{ev.model.label} {'NG' if i.score > ev.threshold else 'OK'} {i.score:.4f}, "
                       f"{ev.shadow.label} {'NG' if i.shadow > ev.shadow.threshold else 'OK'} {i.shadow:.4f}")
             for n, i in enumerate(differ)]
    head = (f"<h2>{ev.model.label} against {ev.shadow.label}: the same verdict on {found['agree']} of {found['n']} "
            f"images ({_pct(found['rate'])})</h2>")
    return [head, _tiles(items)]
