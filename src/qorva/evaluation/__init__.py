"""Evaluate a version of a product's model on folders of known-good and known-bad images.

Each image is scored by the runner with the version pinned, exactly as the quality bench scores its sets, and
the figures come from `qorva.metrics`: image AUROC (pixel AUROC where masks are given), false positives and
recall at the version's taught threshold, the threshold for a target false-positive rate and the F1-best one,
overall and per bad folder. A second version (`shadow`) can be scored on the same images and compared.

Masks are optional: for an image `x.png` of a bad folder, `x.png` or `x_mask.png` (any image suffix) in the
folder given as masks, else in the bad folder's `masks/` subfolder; white (non-zero) marks the defect.
"""

from __future__ import annotations

import datetime as dt
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from qorva import metrics
from qorva.console import Progress
from qorva.errors import QorvaError
from qorva.images import image_files, image_suffixes, read_image
from qorva.versions import InUse

MASKS = "masks"
DEFAULT_TARGET_FP = 0.01


class EvaluationError(QorvaError):
    """The images or masks cannot be evaluated as given."""


@dataclass
class Scored:
    """One image as evaluated: its folder ("good" or the bad folder's name), score, and the subsampled map and
    mask where a mask was given (every `metrics.PIXEL_STEP`-th pixel each way, as the pixel AUROC reads them)."""

    file: Path
    folder: str
    score: float
    map: np.ndarray | None = None
    mask: np.ndarray | None = None
    shadow: float | None = None  # the second version's score


@dataclass
class Evaluation:
    """The scored images and the model they were scored with."""

    product: str
    model: InUse
    images: list[Scored]
    folders: list[str]  # the bad folders' names, in the order given
    target_fp: float = DEFAULT_TARGET_FP
    shadow: InUse | None = None
    date: str = field(default_factory=lambda: dt.datetime.now(dt.UTC).strftime("%Y-%m-%dT%H:%M:%SZ"))

    def scores(self, folder: str | None = None, *, shadow: bool = False) -> np.ndarray:
        """Scores of the good images ("good"), of one bad folder, or of every bad image (None)."""
        picked = [i for i in self.images if (i.folder != "good" if folder is None else i.folder == folder)]
        return np.array([i.shadow if shadow else i.score for i in picked], np.float64)

    @property
    def threshold(self) -> float:
        return self.model.threshold

    def misjudged(self) -> list[Scored]:
        """Good images judged NG and bad ones judged OK at the taught threshold, the furthest off first."""
        wrong = [i for i in self.images if (i.folder == "good") == (i.score > self.threshold)]
        return sorted(wrong, key=lambda i: -abs(i.score - self.threshold))

    def disagreements(self) -> list[Scored]:
        """Images the two versions judge differently, each at its own taught threshold."""
        if self.shadow is None:
            return []
        return [i for i in self.images if (i.score > self.threshold) != (i.shadow > self.shadow.threshold)]


def _mask_for(image: Path, folders: Sequence[Path]) -> Path | None:
    names = {image.stem, f"{image.stem}_mask"}
    for folder in folders:
        for suffix in image_suffixes():
            for name in names:
                if (folder / f"{name}{suffix}").is_file():
                    return folder / f"{name}{suffix}"
    return None


def _read_mask(path: Path, shape: tuple[int, ...]) -> np.ndarray:
    mask = read_image(path)[..., 0] > 0
    if mask.shape != shape[:2]:
        msg = (f"mask {path} is {mask.shape[1]}x{mask.shape[0]}, its image {shape[1]}x{shape[0]}: give masks of the "
               "images' own size")
        raise EvaluationError(msg)
    return mask


def plan(good: Path, bad: Sequence[Path], masks: Path | None) -> list[tuple[Path, str, Path | None]]:
    """(image, folder name, mask file) of every image to evaluate; `EvaluationError` for a clash of names."""
    names = [Path(b).resolve().name for b in bad]
    if "good" in names or len(set(names)) < len(names):
        msg = f"bad folders need distinct names other than 'good' (they name the figures): {', '.join(names)}"
        raise EvaluationError(msg)
    out: list[tuple[Path, str, Path | None]] = [(f, "good", None) for f in image_files(good, "good-image folder")]
    for folder, name in zip(bad, names, strict=True):
        where = [p for p in (masks, Path(folder) / MASKS) if p is not None and p.is_dir()]
        out += [(f, name, _mask_for(f, where)) for f in image_files(folder, "bad-image folder")]
    return out


def _score(bundle: Any, image: np.ndarray, with_map: bool) -> tuple[float, np.ndarray | None]:
    from qorva.inspection.modules.norim import runner

    score, amap, _ = runner.score_image(bundle, image, with_map=with_map)
    s = slice(None, None, metrics.PIXEL_STEP)
    return float(score), (None if amap is None else np.asarray(amap, np.float32)[s, s].copy())


def run(product: str, model: InUse, planned: list[tuple[Path, str, Path | None]], *, shadow: InUse | None = None,
        target_fp: float = DEFAULT_TARGET_FP, quiet: bool = True) -> Evaluation:
    """Score every planned image with `model` (and `shadow`), each with its version pinned."""
    from qorva.inspection.modules.norim import runner

    with_maps = any(m is not None for _, _, m in planned)
    device = model.state.params.get("device")
    try:
        with model.pinned():
            bundle = runner.get_bundle(model.bundle, device)
        other = None
        if shadow is not None:
            with shadow.pinned():
                other = runner.get_bundle(shadow.bundle, shadow.state.params.get("device"))
    except runner.NorimError as exc:
        raise EvaluationError(str(exc)) from None
    images = []
    with Progress(len(planned), f"evaluate {product}", quiet=quiet, unit="img") as bar:
        for path, folder, mask_file in planned:
            image = read_image(path)
            try:
                score, amap = _score(bundle, image, with_maps)
                second = _score(other, image, False)[0] if other is not None else None
            except runner.NorimError as exc:
                msg = f"cannot score {path}: {exc}"
                raise EvaluationError(msg) from None
            s = slice(None, None, metrics.PIXEL_STEP)
            mask = _read_mask(mask_file, image.shape)[s, s] if mask_file is not None else None
            keep = amap if (folder == "good" or mask is not None) else None
            images.append(Scored(path, folder, score, keep, mask, second))
            bar.update()
    folders = list(dict.fromkeys(i.folder for i in images if i.folder != "good"))
    return Evaluation(product, model, images, folders, target_fp, shadow)


def _pixel(ev: Evaluation, folder: str | None) -> float:
    good_maps = [i.map for i in ev.images if i.folder == "good" and i.map is not None]
    masked = [i for i in ev.images if i.folder != "good" and i.mask is not None and i.map is not None
              and (folder is None or i.folder == folder)]
    if not masked:
        return math.nan
    return metrics.pixel_auroc(good_maps, [i.map for i in masked], [i.mask for i in masked], step=1)


def _cut(cut: metrics.Cut) -> dict[str, float]:
    return {"threshold": cut.threshold, "fp_rate": cut.fp_rate, "recall": cut.recall, "f1": cut.f1}


def figures(ev: Evaluation, *, shadow: bool = False) -> dict[str, Any]:
    """Every figure of the evaluation (of the second version's scores with `shadow`), as JSON-ready values."""
    model = ev.shadow if shadow else ev.model
    good, bad = ev.scores("good", shadow=shadow), ev.scores(shadow=shadow)
    thr = model.threshold
    k = int((good > thr).sum())
    target = metrics.for_fp_rate(good, ev.target_fp, bad)
    best = metrics.best_f1(good, bad) if bad.size else None
    out: dict[str, Any] = {
        "product": ev.product, "bundle": model.bundle, "version": model.version, "build": model.build,
        "date": ev.date, "threshold": thr, "threshold_source": model.source, "n_good": int(good.size),
        "n_bad": int(bad.size), "image_auroc": metrics.auroc(good, bad), "pixel_auroc": math.nan if shadow else
        _pixel(ev, None), "fp_rate": metrics.above(good, thr), "fp_interval": list(metrics.wilson(k, good.size)),
        "recall": metrics.above(bad, thr), "target_fp": {"rate": ev.target_fp, "method": target.method,
                                                         **_cut(target)},
        "f1_best": _cut(best) if best is not None else None, "folders": {},
    }  # fmt: skip
    for name in ev.folders:
        scores = ev.scores(name, shadow=shadow)
        out["folders"][name] = {
            "n": int(scores.size), "image_auroc": metrics.auroc(good, scores),
            "pixel_auroc": math.nan if shadow else _pixel(ev, name), "recall": metrics.above(scores, thr),
            "recall_at_target_fp": metrics.above(scores, target.threshold),
            "recall_at_f1_best": metrics.above(scores, best.threshold) if best is not None else math.nan,
        }  # fmt: skip
    return out


def agreement(ev: Evaluation) -> dict[str, Any] | None:
    """How often the two versions give the same verdict, each at its own taught threshold."""
    if ev.shadow is None:
        return None
    differ = ev.disagreements()
    n = len(ev.images)
    return {"version": ev.shadow.version, "n": n, "agree": n - len(differ),
            "rate": (n - len(differ)) / n if n else math.nan,
            "ng_here_ok_there": sum(1 for i in differ if i.score > ev.threshold),
            "ok_here_ng_there": sum(1 for i in differ if i.score <= ev.threshold)}


def summary(found: dict[str, Any]) -> dict[str, Any]:
    """What `qorva models` shows of an evaluation."""
    keys = ("date", "image_auroc", "pixel_auroc", "fp_rate", "recall", "threshold", "n_good", "n_bad")
    return {k: (None if isinstance(found.get(k), float) and math.isnan(found[k]) else found.get(k)) for k in keys}
