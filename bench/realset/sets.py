"""Whole evaluation sets: good training and teaching images, good and defective test images, and what the
visibility rule kept and dropped."""

from __future__ import annotations

import heapq
import math
from dataclasses import dataclass, field

import numpy as np

from . import defects, loose, tray, views, visibility
from .sources import PRODUCTS, SIZE, Product, is_grey, load_photo


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
    """One test image: kind "good" (all-zero mask, z NaN) or a defect kind with its visibility.

    `good` is a defect's twin: the good image it was painted on (None for good images and sets read
    without twins). Composition faults of a tray are visible by construction: z NaN, stat "composition".
    """

    image: np.ndarray
    mask: np.ndarray
    kind: str
    z: float = math.nan
    stat: str = ""
    good: np.ndarray | None = None


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
    pose: str = "usual"


def kinds_of(product: str) -> tuple[str, ...]:
    """The defect kinds painted on a product."""
    family = PRODUCTS[product].family
    return {"object": defects.OBJECT_KINDS, "tray": tray.TRAY_KINDS}.get(family, defects.TEXTURE_KINDS)


def _foreign_pool(product: str) -> list[np.ndarray]:
    """Photographs foreign objects are cut from: the other tuning products' (held-out photographs never leak
    into the tuning sets, and the pool, hence every pixel, is the same whatever optional packages exist;
    trays reuse the coins photograph and add nothing)."""
    return [
        load_photo(p.photo) for name, p in PRODUCTS.items() if name != product and not p.holdout and p.family != "tray"
    ]


def trays_of(product: Product):
    """The module that lays out and renders the tray `product`: `loose` or `tray` (pockets)."""
    return loose if loose.is_loose(product.name) else tray


def render_good(product: Product, rng: np.random.Generator, jitter: views.Jitter) -> np.ndarray:
    """One good image of an object or a tray, drawn from `rng`."""
    if product.family == "tray":
        t = trays_of(product)
        return t.render(product, t.good_layout(product), rng, jitter)[0]
    return views.render_object(product, views.random_pose(rng, jitter), rng, jitter)


def good_images(product: str, seed: int, split: str, n: int, pose: str = "usual") -> list[np.ndarray]:
    """`n` good images of a split; teach and test never repeat a window, and no two draws share noise."""
    p = PRODUCTS[product]
    jitter = views.check_pose(p, pose)
    tag = 200 + views.SPLITS.index(split)
    if p.family == "texture":
        wins = views.plan_windows(p, seed, split, n)
        return [views.render_window(p, w, views.rng_for(product, seed, tag, i)) for i, w in enumerate(wins)]
    return [render_good(p, views.rng_for(product, seed, tag, i), jitter) for i in range(n)]


def moved_good(product: str, seed: int, split: str, i: int, move: tuple[float, float, float], pose: str = "usual"):
    """Good image `i` of a split of an object, rendered again with the camera moved by `move` (dx, dy px, degrees):
    the same part, light and noise, and real content entering at the edge."""
    p = PRODUCTS[product]
    jitter = views.check_pose(p, pose)
    rng = views.rng_for(product, seed, 200 + views.SPLITS.index(split), i)
    at = views.random_pose(rng, jitter)
    return views.render_object(p, views.Pose(at.dx + move[0], at.dy + move[1], at.deg + move[2]), rng, jitter)


def reference_images(product: str, seed: int, pose: str = "usual") -> list[np.ndarray] | None:
    """Good images at other poses (objects and trays), against which the visibility rule measures spread."""
    p = PRODUCTS[product]
    if p.family == "texture":
        return None
    jitter = views.check_pose(p, pose)
    return [render_good(p, views.rng_for(product, seed, 400, i), jitter) for i in range(visibility.OBJECT_REFERENCES)]


def _base(product: str, rng: np.random.Generator, jitter: views.Jitter) -> tuple[np.ndarray, list]:
    """A fresh good test image to paint on, and its removable parts."""
    p = PRODUCTS[product]
    if p.family == "texture":
        return views.render_window(p, views.random_window(p, rng), rng), []
    pose = views.random_pose(rng, jitter)
    return views.render_object(p, pose, rng, jitter), views.part_masks(p, pose)


def _tray_samples(p: Product, seed: int, kind: str, n: int, jitter: views.Jitter, report: KindReport) -> list[Sample]:
    """`n` composition faults of `kind`, each with its good twin (same nudges, placement, light, noise)."""
    out = []
    t = trays_of(p)
    for i in range(n):
        rng = views.rng_for(p.name, seed, 320 + tray.TRAY_KINDS.index(kind), i)
        layout, marked = t.defect_layout(p, kind, rng)
        state = rng.bit_generator.state
        image, mask = t.render(p, layout, rng, jitter, marked)
        rng.bit_generator.state = state
        good = t.render(p, t.good_layout(p), rng, jitter)[0]
        out.append(Sample(image, mask, kind, math.nan, "composition", good))
    report.kept = report.tried = n
    return out


def defect_samples(
    product: str, seed: int, kind: str, n: int, report: KindReport | None = None, pose: str = "usual"
) -> list[Sample]:
    """`n` visible defects of `kind`, each on its own good test image."""
    p = PRODUCTS[product]
    jitter = views.check_pose(p, pose)
    report = report if report is not None else KindReport()
    if p.family == "tray":
        return _tray_samples(p, seed, kind, n, jitter, report)
    grey = is_grey(p)
    pool = _foreign_pool(product)
    refs = reference_images(product, seed, pose)
    refs = None if refs is None else [visibility.planes(r) for r in refs]
    kind_no = defects.OBJECT_KINDS.index(kind)
    out: list[Sample] = []
    attempt = 0
    while len(out) < n and attempt < max(_MIN_ATTEMPTS, n * _ATTEMPTS_PER_KEPT):
        rng = views.rng_for(product, seed, 300 + kind_no, attempt)
        attempt += 1
        good, parts = _base(product, rng, jitter)
        canvas = defects.Canvas(good, rng, grey, parts, pool)
        image, mask = defects.paint(kind, canvas)
        vis = visibility.judge(image, good, mask, rng, refs, p.regular)
        ex = Example(vis.z, image, good, mask, vis.stat)
        if vis.visible:
            out.append(Sample(image, mask, kind, vis.z, vis.stat, good))
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


def generate(product: str, seed: int, counts: Counts = FULL, pose: str = "usual") -> GeneratedSet:
    """The whole set of one product and seed (about 5-15 s for the full counts)."""
    if product not in PRODUCTS:
        msg = f"unknown product {product!r}; choose one of {', '.join(PRODUCTS)}"
        raise ValueError(msg)
    test = [
        Sample(im, np.zeros((SIZE, SIZE), np.uint8), "good")
        for im in good_images(product, seed, "test", counts.good, pose)
    ]
    reports = {}
    for kind in kinds_of(product):
        reports[kind] = KindReport()
        test.extend(defect_samples(product, seed, kind, counts.per_kind, reports[kind], pose))
    return GeneratedSet(
        product,
        seed,
        counts,
        good_images(product, seed, "train", counts.train, pose),
        good_images(product, seed, "teach", counts.teach, pose),
        test,
        reports,
        _window_report(product, seed, counts),
        pose,
    )


def make_set(
    product: str, seed: int, split: str, counts: Counts = FULL, pose: str = "usual"
) -> list[tuple[np.ndarray, np.ndarray, str]]:
    """(image, mask, kind) of one split: "train" and "teach" are all good, "test" holds good then defects.

    `pose` "steady" (objects and trays): the placement, light and noise of one fixture (`views.JITTER`).
    """
    if split not in views.SPLITS:
        msg = f"unknown split {split!r}; choose one of {', '.join(views.SPLITS)}"
        raise ValueError(msg)
    empty = np.zeros((SIZE, SIZE), np.uint8)
    empty.setflags(write=False)
    if split != "test":
        n = counts.train if split == "train" else counts.teach
        return [(im, empty, "good") for im in good_images(product, seed, split, n, pose)]
    out = [(im, empty, "good") for im in good_images(product, seed, "test", counts.good, pose)]
    for kind in kinds_of(product):
        out.extend((s.image, s.mask, s.kind) for s in defect_samples(product, seed, kind, counts.per_kind, pose=pose))
    return out
