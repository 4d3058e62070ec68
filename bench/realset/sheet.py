"""The picture a person checks the visibility rule with: per defect kind, the least visible defect kept and
the three most visible defects dropped, each as the good and the defective crop and the mask's outline."""

from __future__ import annotations

from pathlib import Path

import cv2
import numpy as np

from .sets import Example, GeneratedSet
from .sources import SIZE
from .visibility import THRESHOLD

_CROP = 96
_ZOOM = 2
_TILE = _CROP * _ZOOM


def _crop_box(mask: np.ndarray) -> tuple[int, int]:
    ys, xs = np.nonzero(mask)
    cy, cx = (int(ys.mean()), int(xs.mean())) if len(ys) else (SIZE // 2, SIZE // 2)
    half = _CROP // 2
    return int(np.clip(cy - half, 0, SIZE - _CROP)), int(np.clip(cx - half, 0, SIZE - _CROP))


def _tiles(ex: Example, label: str, colour: tuple[int, int, int]) -> np.ndarray:
    """Good crop | defective crop | defective crop with the mask outlined, zoomed, with a caption."""
    y, x = _crop_box(ex.mask)
    out = []
    outline = ex.image.copy()
    contours, _ = cv2.findContours(ex.mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    cv2.drawContours(outline, contours, -1, (255, 255, 0), 1)
    for im in (ex.good, ex.image, outline):
        c = im[y : y + _CROP, x : x + _CROP]
        out.append(cv2.resize(c, (_TILE, _TILE), interpolation=cv2.INTER_NEAREST))
    strip = np.hstack(out)
    cv2.rectangle(strip, (0, 0), (strip.shape[1] - 1, 17), (0, 0, 0), -1)
    cv2.putText(strip, label, (4, 13), cv2.FONT_HERSHEY_SIMPLEX, 0.42, colour, 1, cv2.LINE_AA)
    return cv2.copyMakeBorder(strip, 0, 0, 0, 6, cv2.BORDER_CONSTANT, value=(40, 40, 40))


def write_sheet(gs: GeneratedSet, path: str | Path) -> Path:
    """Write the picture for one generated set; returns its path."""
    blank = np.full((_TILE, 3 * _TILE + 6, 3), 40, np.uint8)
    rows = []
    for kind, rep in gs.kinds.items():
        cells = []
        if rep.least_kept is not None:
            ex = rep.least_kept
            cells.append(_tiles(ex, f"{kind}: least visible kept z={ex.z:.2f} ({ex.stat})", (0, 255, 0)))
        else:
            cells.append(blank)
        dropped = sorted(rep.dropped, key=lambda t: -t[0])[:2]
        for z, _, ex in dropped:
            cells.append(_tiles(ex, f"{kind}: dropped z={z:.2f} ({ex.stat})", (0, 0, 255)))
        cells += [blank] * (3 - len(cells))
        rows.append(np.hstack(cells))
    head = np.zeros((30, rows[0].shape[1], 3), np.uint8)
    cv2.putText(
        head,
        f"{gs.product} seed {gs.seed}: visibility rule keeps z >= {THRESHOLD:g}; "
        "each cell: good | defective | mask outline (96 px crops, 2x)",
        (6, 20),
        cv2.FONT_HERSHEY_SIMPLEX,
        0.55,
        (255, 255, 255),
        1,
        cv2.LINE_AA,
    )
    sheet = np.vstack([head, *rows])
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    ok, buf = cv2.imencode(".png", sheet)
    if not ok:
        msg = f"cannot encode the visibility picture for {gs.product}"
        raise RuntimeError(msg)
    buf.tofile(str(path))
    return path
