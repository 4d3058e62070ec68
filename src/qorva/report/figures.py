"""The report's pictures: the histogram of scores against the threshold and the contact sheet of NG overlays."""

from __future__ import annotations

import io
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from qorva.files import write_atomic

_BG = (248, 248, 248)
_INK = (40, 40, 40)
_RIGHT = (40, 140, 40)
_WRONG = (30, 30, 200)
_FONT = cv2.FONT_HERSHEY_SIMPLEX


def png_bytes(image: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(".png", image, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    if not ok:
        msg = "PNG encoding failed"
        raise ValueError(msg)
    return buf.tobytes()


def score_histogram(
    path: Path, ok: Sequence[float], ng: Sequence[float], good: Sequence[float], threshold: float | None
) -> Path:
    """Histogram of the run's OK and NG scores, the taught good samples' scores as an outline, the threshold
    as a line: what `sigma` has to separate."""
    import matplotlib

    matplotlib.use("Agg")  # no display on a line PC or in CI; the figure only goes to a file
    import matplotlib.pyplot as plt

    every = [*ok, *ng, *good, *([threshold] if threshold is not None else [])]
    low, high = (min(every), max(every)) if every else (0.0, 1.0)
    bins = np.linspace(low, high + 1e-9, 41) if high > low else 10
    fig, ax = plt.subplots(figsize=(8, 3), dpi=100, layout="constrained")
    try:
        ax.hist([ok, ng], bins=bins, stacked=True, color=["#4a9a4a", "#c83232"], label=["OK", "NG"])
        if good:
            ax.hist(good, bins=bins, histtype="step", color="#2060c0", linewidth=1.5,
                    label=f"good samples at teach ({len(good)})")
        if threshold is not None:
            ax.axvline(threshold, color="#222", linestyle="--", linewidth=1.5, label=f"threshold {threshold:.3f}")
        ax.set_xlabel("score")
        ax.set_ylabel("images")
        ax.legend(loc="upper right", fontsize="small")
        png = io.BytesIO()
        fig.savefig(png, format="png")
        write_atomic(path, png.getvalue())
    finally:
        plt.close(fig)
    return path


@dataclass
class Tile:
    """One NG image of the contact sheet: its saved overlay (already captioned) and an optional note."""

    picture: np.ndarray | None
    note: str = ""
    right: bool | None = None  # the demo knows the truth: green for a real defect, red for a false alarm


def _fit(image: np.ndarray, side: int) -> np.ndarray:
    h, w = image.shape[:2]
    scale = side / max(h, w)
    small = cv2.resize(image, (max(1, round(w * scale)), max(1, round(h * scale))), interpolation=cv2.INTER_AREA)
    out = np.full((side, side, 3), _BG, np.uint8)
    y, x = (side - small.shape[0]) // 2, (side - small.shape[1]) // 2
    out[y : y + small.shape[0], x : x + small.shape[1]] = small
    return out


def _tile(t: Tile, side: int) -> np.ndarray:
    note_h = 22 if t.note else 0
    out = np.full((side + note_h + 8, side + 8, 3), _BG, np.uint8)
    if t.picture is not None:
        out[4 : 4 + side, 4 : 4 + side] = _fit(t.picture, side)
    else:
        cv2.putText(out, "overlay not kept", (12, side // 2), _FONT, 0.5, _INK, 1, cv2.LINE_AA)
    colour = _INK if t.right is None else _RIGHT if t.right else _WRONG
    if t.note:
        text = t.note.encode("ascii", "replace").decode("ascii")
        cv2.putText(out, text, (6, side + 22), _FONT, 0.45, colour, 1, cv2.LINE_AA)
    cv2.rectangle(out, (0, 0), (out.shape[1] - 1, out.shape[0] - 1), colour, 2)
    return out


def contact_sheet(tiles: Sequence[Tile], title: str, *, columns: int = 4, side: int = 280) -> np.ndarray:
    """A grid of the NG overlays under a title band; a note when there is none."""
    made = [_tile(t, side) for t in tiles]
    gap, band = 8, 40
    th = max((m.shape[0] for m in made), default=side // 3)
    tw = side + 8
    cols = max(1, min(columns, len(made)))
    rows = max(1, -(-len(made) // cols))
    sheet = np.full((band + rows * (th + gap) + gap, cols * (tw + gap) + gap, 3), 255, np.uint8)
    sheet = sheet if sheet.shape[1] >= 480 else np.full((sheet.shape[0], 480, 3), 255, np.uint8)
    cv2.putText(sheet, title.encode("ascii", "replace").decode("ascii"), (gap, 28), _FONT, 0.7, _INK, 2, cv2.LINE_AA)
    if not made:
        cv2.putText(sheet, "no NG images", (gap, band + 30), _FONT, 0.6, _INK, 1, cv2.LINE_AA)
    for i, m in enumerate(made):
        r, c = divmod(i, cols)
        y, x = band + gap + r * (th + gap), gap + c * (tw + gap)
        sheet[y : y + m.shape[0], x : x + m.shape[1]] = m
    return sheet


def write_png(path: Path, image: np.ndarray) -> Path:
    write_atomic(path, png_bytes(image))
    return path
