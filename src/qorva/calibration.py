"""Calibration that warns: what teach records beside the taught state, and the checks made against it.

The inspector's own results stay as they are; these checks only speak up. One refusal is raised elsewhere
(`versions.paired`): a state taught on a build of the bundle that is no longer there holds a threshold for
scores no model here gives, so `inspect` and `watch` stop with a one-line error unless told to go on.
"""

from __future__ import annotations

import logging
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from qorva.errors import QorvaError
from qorva.names import printable

logger = logging.getLogger("qorva.calibration")

# Below this many good samples the mean + sigma x std threshold moves by tenths from one teach to the next:
# the standard error of a standard deviation is std / sqrt(2 (n - 1)), 16% of it at 20 samples.
MIN_GOOD = 20
# A good sample is named when its score is above median + K x MAD (MAD scaled to a standard deviation, x1.4826):
# the modified z-score cut of Iglewicz and Hoaglin. Good scores come out close to N(0, 1), so a real good
# sample passes it with probability 1 - 0.00023; one grayscale or flat image scoring 5 among scores near 0-1
# does not, and it alone moved a threshold from 1.95 to about 5 on the line.
OUTLIER_K = 3.5
# The runner normalises scores so that held-out good images come out close to N(0, 1): a spread below 1
# among a handful of samples is chance (8 good samples of a small test product had a scaled MAD of 0.6,
# and good samples at 2.4 and 2.6 were named), and identical samples would have none at all.
_MIN_SPREAD = 1.0


class StaleStateError(QorvaError):
    """The taught state belongs to another build of the product's bundle."""


@dataclass
class Sample:
    """One good sample given to teach: its file, its decoded image and what kind of image it is."""

    name: str
    image: np.ndarray
    suffix: str = ""

    @property
    def kind(self) -> dict[str, Any]:
        return image_kind(self.image, self.suffix)


def image_kind(image: np.ndarray, suffix: str) -> dict[str, Any]:
    """Size, colour and encoding of an image: what a model trained on one kind does not expect of another."""
    h, w = image.shape[:2]
    return {"size": f"{w}x{h}", "channels": "gray" if is_gray(image) else "colour", "encoding": suffix.lower()}


def is_gray(image: np.ndarray) -> bool:
    """True for a single-channel image or a BGR one whose three channels are equal (a grayscale file decoded
    to colour); a sample of every fourth pixel decides, so a 640x480 image costs about 0.1 ms."""
    if image.ndim == 2 or image.shape[2] == 1:
        return True
    s = image[::4, ::4]
    return bool(np.array_equal(s[..., 0], s[..., 1]) and np.array_equal(s[..., 1], s[..., 2]))


def build_id(bundle_name: str, home: Path | None = None, version: int | None = None) -> str | None:
    """The build id of the bundle's version (None: the one a lookup loads; None when it cannot be read)."""
    from qorva.inspection.modules.norim import runner

    try:
        return runner.bundle_info(bundle_name, home, version).build_id
    except runner.NorimError:
        return None


def outliers(scores: Sequence[float], k: float = OUTLIER_K) -> list[int]:
    """Indexes of the scores above median + k x MAD (scaled to a standard deviation, at least 1); none below 5."""
    values = np.asarray(scores, float)
    if len(values) < 5:
        return []
    med = float(np.median(values))
    mad = max(1.4826 * float(np.median(np.abs(values - med))), _MIN_SPREAD)
    return [int(i) for i in np.flatnonzero(values > med + k * mad)]


def training_overlap(bundle_name: str, images: Sequence[np.ndarray]) -> list[int]:
    """Indexes of the images that are training images of the bundle (it keeps digests of them)."""
    from qorva.inspection.modules.norim import runner

    try:
        return runner.training_images(runner.get_bundle(bundle_name), images)
    except runner.NorimError:
        return []


def record(
    state: Any, samples: Sequence[Sample], home: Path | None = None, *, version: int | None = None,
    threshold: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """What teach keeps beside the state: the bundle's version and build, how the threshold was chosen, each
    sample's file and score, their kinds."""
    params = state.params
    bundle = str(params.get("weights") or state.product_id)
    scores = [float(s) for s in params.get("good_scores") or []]
    kinds = [s.kind for s in samples]
    out = {
        "bundle": bundle,
        "build_id": build_id(bundle, home, version),
        "good": [{"file": s.name, "score": sc} for s, sc in zip(samples, scores, strict=False)],
        "kinds": {key: sorted({k[key] for k in kinds}) for key in ("size", "channels", "encoding")},
    }
    if version is not None:
        out["version"] = int(version)
    if threshold is not None:
        out["threshold"] = threshold
    return out


def teach_warnings(state: Any, samples: Sequence[Sample], calibration: dict[str, Any]) -> list[str]:
    """The warnings of a teach: few samples, samples far above the others, samples the model trained on."""
    out = []
    n = len(samples)
    if n < MIN_GOOD:
        out.append(f"only {n} good samples: {MIN_GOOD} or more give a threshold that moves less from one teach to "
                   "the next")
    good = calibration.get("good") or []
    far = outliers([g["score"] for g in good])
    if far:
        names = ", ".join(f"{printable(good[i]['file'])} ({good[i]['score']:.2f})" for i in far)
        out.append(f"{len(far)} good samples score far above the others (above median + {OUTLIER_K:g} MAD): "
                   f"{names}; they raise the threshold: check them and teach without them if they are not good")
    seen = training_overlap(calibration.get("bundle", ""), [s.image for s in samples])
    if seen:
        names = ", ".join(printable(samples[i].name) for i in seen[:5]) + (" ..." if len(seen) > 5 else "")
        out.append(f"{len(seen)} of {n} good samples are training images of bundle {calibration.get('bundle')} "
                   f"({names}): they get the scores they had while held out, but good images the model never "
                   "saw calibrate the threshold for new ones")
    return out


@dataclass
class KindWatch:
    """Warns once per property when inspected images differ from the good samples in size, colour or encoding."""

    calibration: dict[str, Any]
    warned: set[str] = field(default_factory=set)

    def check(self, image: np.ndarray, source: object) -> None:
        taught = self.calibration.get("kinds") or {}
        if not taught or len(self.warned) == len(taught):
            return
        suffix = Path(str(source or "")).suffix
        kind = image_kind(image, suffix)
        for key, value in kind.items():
            known = taught.get(key) or []
            if key in self.warned or not known or value in known or (key == "encoding" and not value):
                continue
            self.warned.add(key)
            logger.warning(
                "%s has %s %s, the good samples had %s: its score is not comparable with the threshold; "
                "teach with images as the line sends them",
                printable(Path(str(source or "image")).name), key, value or "-", ", ".join(known),
            )

