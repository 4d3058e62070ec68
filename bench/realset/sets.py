"""Whole evaluation sets: good training and teaching images, good and defective test images, and what the
visibility rule kept and dropped."""

from __future__ import annotations

import heapq
import math
from dataclasses import dataclass, field

import numpy as np

from . import defects, views, visibility
from .sources import PRODUCTS, SIZE, is_grey, load_photo


@dataclass(frozen=True)
class Counts:
    """Images per split: training, teaching, good test images and defective test images per kind."""

    train: int = 40
    teach: int = 40
    good: int = 100
    per_kind: int = 50


FULL = Counts()
QUICK = Counts(train=8, teach=8, good=10, per_kind=3)
# Attempts per kept defect before a kind is reported short: the rule drops up to ~93% of the cut-and-paste
# patches on gravel (a patch of gravel looks like gravel), so 40 leaves room for a seed that draws worse.
_ATTEMPTS_PER_KEPT = 40
_MIN_ATTEMPTS = 200


@dataclass
class Sample:
    """One test image: kind "good" (all-zero mask, z NaN) or a defect kind with its visibility."""

    image: np.ndarray
    mask: np.ndarray
    kind: str
    z: float = math.nan
    stat: str = ""


@dataclass
class Example:
    """A defect shown in the visibility picture: the good image it was painted on, and the verdict."""

    z: float
    image: np.ndarray
    good: np.ndarray
    mask: np.ndarray
    stat: str


@dataclass
class KindReport:
    kept: int = 0
    tried: int = 0
    least_kept: Example | None = None
    dropped: list = field(default_factory=list)  # heap of (z, tie, Example): the most visible dropped

    @property
    def min_z(self) -> float:
        return self.least_kept.z if self.least_kept else math.nan


@dataclass
class GeneratedSet:
    """Everything generated for one product and seed."""

    product: str
    seed: int
    counts: Counts
    train: list[np.ndarray]
    teach: list[np.ndarray]
    test: list[Sample]
    kinds: dict[str, KindReport]
    windows: dict[str, dict] = field(default_factory=dict)


def kinds_of(product: str) -> tuple[str, ...]:
    """The defect kinds painted on a product."""
    return defects.OBJECT_KINDS if PRODUCTS[product].family == "object" else defects.TEXTURE_KINDS


def _foreign_pool(product: str) -> list[np.ndarray]:
    """Photographs foreign objects are cut from: the other tuning products' (held-out photographs never leak
    into the tuning sets, and the pool, hence every pixel, is the same whatever optional packages exist)."""
    return [load_photo(p.photo) for name, p in PRODUCTS.items() if name != product and not p.holdout]


def _references(product: str, seed: int) -> list[np.ndarray] | None:
    """Planes of good images at other poses (objects), against which the visibility rule measures spread."""
    p = PRODUCTS[product]
    if p.family != "object":
        return None
    out = []
    for i in range(visibility.OBJECT_REFERENCES):
        rng = views.rng_for(product, seed, 400, i)
        out.append(visibility.planes(views.render_object(p, views.random_pose(rng), rng)))
    return out


def _base(product: str, rng: np.random.Generator) -> tuple[np.ndarray, list]:
    """A fresh good test image to paint on, and its removable parts."""
    p = PRODUCTS[product]
    if p.family == "texture":
        return views.render_window(p, views.random_window(p, rng), rng), []
    pose = views.random_pose(rng)
    return views.render_object(p, pose, rng), views.part_masks(p, pose)


def defect_samples(product: str, seed: int, kind: str, n: int, report: KindReport | None = None) -> list[Sample]:
    """`n` visible defects of `kind`, each on its own good test image."""
    p = PRODUCTS[product]
    grey = is_grey(p)
    pool = _foreign_pool(product)
    refs = _references(product, seed)
    report = report if report is not None else KindReport()
    kind_no = defects.OBJECT_KINDS.index(kind)
    out: list[Sample] = []
    attempt = 0
    while len(out) < n and attempt < max(_MIN_ATTEMPTS, n * _ATTEMPTS_PER_KEPT):
        rng = views.rng_for(product, seed, 300 + kind_no, attempt)
        attempt += 1
        good, parts = _base(product, rng)
        canvas = defects.Canvas(good, rng, grey, parts, pool)
        image, mask = defects.paint(kind, canvas)
        vis = visibility.judge(image, good, mask, rng, refs, p.regular)
        ex = Example(vis.z, image, good, mask, vis.stat)
        if vis.visible:
            out.append(Sample(image, mask, kind, vis.z, vis.stat))
            if report.least_kept is None or vis.z < report.least_kept.z:
                report.least_kept = ex
        else:
            # Keep the three most visible of the dropped: the ones a reader of the picture should check.
            heapq.heappush(report.dropped, (vis.z, attempt, ex))
            if len(report.dropped) > 3:
                heapq.heappop(report.dropped)
    report.kept, report.tried = len(out), attempt
    return out


def _window_report(product: str, seed: int, counts: Counts) -> dict[str, dict]:
    p = PRODUCTS[product]
    if p.family != "texture":
        return {}
    plans = {
        s: views.plan_windows(p, seed, s, n)
        for s, n in (("train", counts.train), ("teach", counts.teach), ("test", counts.good))
    }
    rep = {}
    for split, wins in plans.items():
        nx, ny, nt = views.window_grid(p, split)
        box = p.train_box if split == "train" else p.test_box
        rep[split] = {
            "box": list(box),
            "positions": nx * ny,
            "transforms": nt,
            "disjoint_windows": (box[2] // SIZE) * (box[3] // SIZE),
            "drawn": len(wins),
            "mean_overlap": round(views.window_overlap(wins), 3),
        }
    rep["teach_vs_test"] = {"mean_overlap": round(views.window_overlap(plans["teach"], plans["test"]), 3)}
    rep["train_vs_test"] = {"mean_overlap": round(views.window_overlap(plans["train"], plans["test"]), 3)}
    return rep


def generate(product: str, seed: int, counts: Counts = FULL) -> GeneratedSet:
    """The whole set of one product and seed (about 5-15 s for the full counts)."""
    if product not in PRODUCTS:
        msg = f"unknown product {product!r}; choose one of {', '.join(PRODUCTS)}"
        raise ValueError(msg)
    test = [
        Sample(im, np.zeros((SIZE, SIZE), np.uint8), "good")
        for im in views.good_images(product, seed, "test", counts.good)
    ]
    reports = {}
    for kind in kinds_of(product):
        reports[kind] = KindReport()
        test.extend(defect_samples(product, seed, kind, counts.per_kind, reports[kind]))
    return GeneratedSet(
        product,
        seed,
        counts,
        views.good_images(product, seed, "train", counts.train),
        views.good_images(product, seed, "teach", counts.teach),
        test,
        reports,
        _window_report(product, seed, counts),
    )


def make_set(product: str, seed: int, split: str, counts: Counts = FULL) -> list[tuple[np.ndarray, np.ndarray, str]]:
    """(image, mask, kind) of one split: "train" and "teach" are all good, "test" holds good then defects."""
    if split not in views.SPLITS:
        msg = f"unknown split {split!r}; choose one of {', '.join(views.SPLITS)}"
        raise ValueError(msg)
    empty = np.zeros((SIZE, SIZE), np.uint8)
    empty.setflags(write=False)
    if split != "test":
        n = counts.train if split == "train" else counts.teach
        return [(im, empty, "good") for im in views.good_images(product, seed, split, n)]
    out = [(im, empty, "good") for im in views.good_images(product, seed, "test", counts.good)]
    for kind in kinds_of(product):
        out.extend((s.image, s.mask, s.kind) for s in defect_samples(product, seed, kind, counts.per_kind))
    return out
