"""NG overlays: what each one says, where it is kept, how it is written, and when old ones are pruned.

An overlay file is often looked at alone (mailed, opened from the results table), so it says what it is:
its verdict, score, cause, file and time go in a band below the image, never over it, so the image stays
as the inspector drew it. Overlays of `watch` live under the home's `results/overlays/<product>/<day>/`.
"""

from __future__ import annotations

import datetime as dt
import logging
import re
import shutil
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva.files import write_atomic
from qorva.home import check_name, overlays_dir
from qorva.names import printable

logger = logging.getLogger("qorva.overlays")

NO_LOCATION = "no location (global change)"
_FONT = cv2.FONT_HERSHEY_SIMPLEX
_INK = (30, 30, 30)
_COLOURS = {"NG": (30, 30, 200), "OK": (40, 140, 40), "ERROR": (0, 120, 220)}
# The band needs about 360 px for a line like "NG  12.3456 / 1.9394  mahalanobis"; a narrower image gets a
# wider canvas rather than text too small to read.
_MIN_WIDTH = 360


def _ascii(text: str) -> str:
    # OpenCV's Hershey fonts draw ASCII only; anything else would come out as '?' boxes.
    return text.encode("ascii", "replace").decode("ascii")


def local_time(recorded_at: str | None) -> str:
    """A row's UTC time stamp as local time with milliseconds ('' when it has none)."""
    if not recorded_at:
        return ""
    moment = dt.datetime.fromisoformat(recorded_at.replace("Z", "+00:00")).astimezone()
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{moment.microsecond // 1000:03d}"


def localizable(result: Any) -> bool:
    """Whether the result's map shows where (its dominant branch is local); True when it does not say."""
    details = getattr(result, "details", None)
    return bool(details.get("localizable", True)) if isinstance(details, dict) else True


def caption(row: Any, *, located: bool = True) -> list[str]:
    """The margin's lines: verdict with score/threshold and cause, the "no location" note, file, time."""
    if row.verdict == "ERROR":
        head = f"ERROR  {row.error_message or ''}"
    else:
        head = f"{row.verdict}  {row.score:.4f} / {row.threshold:.4f}  {row.dominant_branch or '-'}"
    lines = [head]
    if row.verdict == "NG" and not located:
        lines.append(NO_LOCATION)
    lines += [printable(row.source_file or "-"), local_time(row.recorded_at)]
    return lines


def card(picture: np.ndarray, lines: list[str], verdict: str) -> np.ndarray:
    """`picture` (BGR) above a white band holding `lines`; the first line in the verdict's colour."""
    if picture.ndim == 2:
        picture = cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
    h, w = picture.shape[:2]
    width = max(w, _MIN_WIDTH)
    scale = max(0.45, min(1.2, width / 800))
    step = round(26 * scale / 0.6)
    band = step * len(lines) + step // 2
    out = np.full((h + band, width, 3), 255, np.uint8)
    x0 = (width - w) // 2
    out[:h, x0 : x0 + w] = picture[..., :3]
    thick = 2 if scale > 0.8 else 1
    for i, line in enumerate(lines):
        colour = _COLOURS.get(verdict, _INK) if i == 0 else _INK
        cv2.putText(out, _ascii(line), (8, h + step * (i + 1)), _FONT, scale, colour, thick, cv2.LINE_AA)
    return out


def speaking(row: Any, result: Any, image: np.ndarray) -> np.ndarray | None:
    """The overlay to save for `row`: the map with its caption, or for an NG whose cause is global, the image
    itself captioned "no location" (its map would be speckle over the whole image). None without a map."""
    overlay = getattr(result, "overlay", None)
    if overlay is None:
        return None
    located = localizable(result)
    picture = overlay if located or row.verdict != "NG" else image
    return card(np.asarray(picture), caption(row, located=located), row.verdict)


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def overlay_path(home: Path, product_id: str, source_file: str | None, recorded_at: str, seq: int, *,
                 shared: Path | None = None, station: str = "") -> Path:
    """Where the overlay of one image goes: under the home, or `shared/<product>/<day>/` in a line's shared
    overlay folder (the name then starts with the station's, as stations write side by side). Names from
    outside are reduced to safe characters."""
    stem = _UNSAFE.sub("_", Path(source_file or "image").stem).strip("._") or "image"
    day = recorded_at[:10]
    stamp = recorded_at[11:23].replace(":", "").replace(".", "")
    if shared is None:
        return overlays_dir(home, product_id) / day / f"{stamp}_{seq:05d}_{stem[:80]}.png"
    who = _UNSAFE.sub("_", station).strip("._")[:40] or "station"
    return Path(shared) / check_name(product_id, "product id") / day / f"{who}_{stamp}_{seq:05d}_{stem[:80]}.png"


def shared_copy(overlay_path: str, shared: Path) -> Path:
    """Where a row's overlay written into a shared folder is found from this PC: the share may be mounted
    elsewhere here (Z:\\overlays at the station, /mnt/overlays here), so its last three parts are taken."""
    return Path(shared).joinpath(*re.split(r"[\\/]", overlay_path)[-3:])


# A stored overlay: small enough for a line's database (about 15-30 kB), large enough to see the defect.
STORED_SIDE = 480
STORED_QUALITY = 80


def stored_jpeg(card: np.ndarray) -> bytes | None:
    """The overlay as the small JPEG a database keeps with its row (None when it cannot be encoded)."""
    h, w = card.shape[:2]
    scale = STORED_SIDE / max(h, w)
    if scale < 1:
        card = cv2.resize(card, (max(1, round(w * scale)), max(1, round(h * scale))), interpolation=cv2.INTER_AREA)
    ok, buf = cv2.imencode(".jpg", card, [cv2.IMWRITE_JPEG_QUALITY, STORED_QUALITY])
    return buf.tobytes() if ok else None


def write_overlay(path: Path, overlay: np.ndarray, source: object) -> Path | None:
    """Write an anomaly overlay as PNG and return `path`; on failure log why and return None.

    A full disk or an unwritable folder must not stop the inspection: the verdict is what counts.
    """
    try:
        ok, buf = cv2.imencode(".png", np.ascontiguousarray(overlay))
        if not ok:
            msg = "PNG encoding failed"
            raise ValueError(msg)
        write_atomic(path, buf.tobytes())
    except (OSError, ValueError, cv2.error) as exc:
        logger.warning("cannot write the overlay of %s to %s: %s", source, path, exc)
        return None
    return path


def prune(home: Path, product_id: str, keep_days: float, today: dt.date | None = None) -> int:
    """Delete the product's overlay day folders older than `keep_days`; rows stay. Returns folders removed.

    Nothing outside the home is ever deleted: when a link leads the overlay folder elsewhere, nothing is pruned.
    """
    root = overlays_dir(home, product_id)
    today = today or dt.datetime.now(dt.UTC).date()
    removed = 0
    try:
        if not root.resolve(strict=True).is_relative_to(Path(home).resolve(strict=True)):
            logger.warning("not pruning overlays: %s leads outside the home %s (%s)", root, home, root.resolve())
            return 0
        days = [p for p in root.iterdir() if p.is_dir() and not p.is_symlink()]
    except (OSError, RuntimeError):  # not made yet, or a link loop
        return 0
    for folder in days:
        try:
            day = dt.date.fromisoformat(folder.name)
        except ValueError:
            continue  # not one of ours
        if (today - day).days > keep_days:
            try:
                shutil.rmtree(folder)
                removed += 1
            except OSError as exc:
                logger.warning("cannot remove old overlays %s: %s", folder, exc)
    return removed
