"""The built-in demo: synthetic product images through train, teach and the live watch job, scored against the truth.

A simulated sender drops good and defective images into a folder the way real senders do: under the
stable policy it writes each file in slow chunks straight into its final name; under the sentinel
policy it writes the file, then its completion marker. The camera and inspector are the real ones.
"""

from __future__ import annotations

import logging
import math
import os
import shutil
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva import synthetic
from qorva.errors import QorvaError
from qorva.job import InspectionJob, JobSummary, StatusLine, camera_params, result_line
from qorva.report import SheetEntry, Table, contact_sheet, html_report, write_png
from qorva.store import ResultStore, Row, db_path, save_state

logger = logging.getLogger("qorva.demo")

MARKER = ".qorva-demo"
_OWNED = ("home", "data", "drop", "report")


class DemoError(QorvaError):
    """The demo cannot run in the chosen folder, or an image it dropped got no verdict."""


@dataclass
class Item:
    """One test image and its truth."""

    name: str
    image: np.ndarray
    truth: str  # "good" or "defect"
    kind: str  # "good" or the defect kind
    mask: np.ndarray | None = None
    policy: str = "stable"


@dataclass
class DemoOptions:
    workdir: Path
    images: int = 40
    product: str = "assembly"
    seed: int = 0
    size: int = 256
    train: int = 24
    teach: int = 16
    defect_share: float = 0.4
    policy: str = "both"
    sigma: float = 2.0
    quiet: bool = False
    echo: bool = True


@dataclass
class DemoResult:
    """Everything the summary and the report are made of."""

    items: dict[str, Item]
    rows: dict[str, Row]
    overlays: dict[str, np.ndarray]
    done_at: dict[str, float]
    verdict_at: dict[str, float]
    summaries: list[JobSummary] = field(default_factory=list)
    threshold: float = math.nan
    seconds: dict[str, float] = field(default_factory=dict)
    sheet_path: Path | None = None
    report_path: Path | None = None
    home: Path | None = None


# --- work folder ---------------------------------------------------------------------------------------------


def prepare_workdir(workdir: Path) -> None:
    """Make `workdir` ready; only a folder that is empty or was made by an earlier demo is cleared."""
    if workdir.exists():
        if not workdir.is_dir():
            msg = f"--workdir {workdir} is a file; choose a folder"
            raise DemoError(msg)
        if any(workdir.iterdir()) and not (workdir / MARKER).exists():
            msg = f"--workdir {workdir} is not empty and was not made by 'qorva demo'; choose an empty or new folder"
            raise DemoError(msg)
        for name in _OWNED:
            target = workdir / name
            if target.is_dir() and not target.is_symlink():
                shutil.rmtree(target)
            elif target.exists() or target.is_symlink():
                target.unlink()
    workdir.mkdir(parents=True, exist_ok=True)
    (workdir / MARKER).write_text("made by qorva demo; its subfolders are replaced at each run\n", encoding="utf-8")


# --- data ------------------------------------------------------------------------------------------------------


def make_items(opts: DemoOptions) -> tuple[list[np.ndarray], list[np.ndarray], list[Item]]:
    """Training images, teaching images and the shuffled test items, all from the product's seed."""
    n_def = round(opts.images * opts.defect_share)
    n_good = opts.images - n_def
    goods = synthetic.good_images(opts.product, opts.train + opts.teach + n_good, opts.seed, size=opts.size)
    split = opts.train + opts.teach
    train, teach, test_good = goods[: opts.train], goods[opts.train : split], goods[split:]
    kinds = synthetic.PRODUCTS[opts.product].kinds
    items = [Item("", im, "good", "good") for im in test_good]
    for i in range(n_def):
        kind = kinds[i % len(kinds)]
        image, mask = synthetic.defect_image(opts.product, kind, opts.seed, index=i // len(kinds), size=opts.size)
        items.append(Item("", image, "defect", kind, mask))
    order = np.random.default_rng(opts.seed).permutation(len(items))
    items = [items[i] for i in order]
    phases = ["stable", "sentinel"] if opts.policy == "both" else [opts.policy]
    for k, item in enumerate(items):
        item.name = f"img{k + 1:04d}.png"
        item.policy = phases[k * len(phases) // len(items)] if items else phases[0]
    return train, teach, items


def _save_folder(folder: Path, images: list[np.ndarray], prefix: str) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for i, im in enumerate(images):
        cv2.imwrite(str(folder / f"{prefix}{i:03d}.png"), im)


# --- the sender ------------------------------------------------------------------------------------------------


class Sender:
    """A thread that writes items into the drop folder as a camera controller or an FTP upload would."""

    def __init__(self, folder: Path, items: list[Item], *, chunks: int = 4, chunk_pause_s: float = 0.02,
                 interval_s: float = 0.03, sentinel_ext: str = ".done") -> None:
        self.folder = folder
        self.items = items
        self.chunks = chunks
        self.chunk_pause_s = chunk_pause_s
        self.interval_s = interval_s
        self.sentinel_ext = sentinel_ext
        self.done_at: dict[str, float] = {}
        self.error: BaseException | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="qorva-demo-sender", daemon=True)

    def start(self) -> Sender:
        self._thread.start()
        return self

    def _write(self, item: Item) -> bool:
        ok, buf = cv2.imencode(".png", item.image)
        data = buf.tobytes()
        path = self.folder / item.name
        step = max(1, math.ceil(len(data) / self.chunks))
        with open(path, "wb") as fh:
            for start in range(0, len(data), step):
                fh.write(data[start : start + step])
                fh.flush()
                if self._stop.wait(self.chunk_pause_s):
                    return False
        if item.policy == "sentinel":
            (self.folder / (item.name + self.sentinel_ext)).touch()
        self.done_at[item.name] = time.time()
        return True

    def _run(self) -> None:
        try:
            for item in self.items:
                if not self._write(item) or self._stop.wait(self.interval_s):
                    return
        except BaseException as exc:  # noqa: BLE001 - reported by the demo, which then fails
            self.error = exc

    def close(self, timeout: float = 5.0) -> None:
        self._stop.set()
        self._thread.join(timeout)
        if self._thread.is_alive():
            logger.error("demo sender did not end within %.0f s", timeout)


# --- the run ---------------------------------------------------------------------------------------------------


def run_demo(opts: DemoOptions, stop: threading.Event, inspector: Any, camera_class: Any) -> DemoResult:
    from qorva.inspection.modules.norim import runner

    workdir = opts.workdir
    home = workdir / "home"
    os.environ["QORVA_HOME"] = str(home)
    t0 = time.perf_counter()
    train, teach, items = make_items(opts)
    _save_folder(workdir / "data" / "train", train, "train")
    _save_folder(workdir / "data" / "teach", teach, "teach")
    result = DemoResult(items={i.name: i for i in items}, rows={}, overlays={}, done_at={}, verdict_at={}, home=home)
    result.seconds["generate"] = time.perf_counter() - t0

    t = time.perf_counter()
    try:
        runner.train(opts.product, train, home=home, quiet=opts.quiet, seed=opts.seed)
        result.seconds["train"] = time.perf_counter() - t
        t = time.perf_counter()
        state = inspector.teach(teach, {"product_id": opts.product, "sigma": opts.sigma})
    except (runner.NorimError, ValueError) as exc:
        msg = f"the demo could not train or teach {opts.product}: {' '.join(str(exc).splitlines())}"
        raise DemoError(msg) from exc
    save_state(home, state)
    result.threshold = float(state.threshold)
    result.seconds["teach"] = time.perf_counter() - t

    drop = workdir / "drop"
    drop.mkdir(parents=True, exist_ok=True)

    def on_result(row: Row, image: np.ndarray, res: Any) -> None:
        result.verdict_at[row.source_file or ""] = time.time()
        result.rows[row.source_file or ""] = row
        if row.verdict == "NG" and res.overlay is not None:
            result.overlays[row.source_file or ""] = res.overlay
        if opts.echo:
            print(result_line(row), flush=True)

    t = time.perf_counter()
    with ResultStore(db_path(home)) as store:
        for policy in dict.fromkeys(i.policy for i in items):
            if stop.is_set():
                break
            batch = [i for i in items if i.policy == policy]
            params = camera_params(drop, ready_policy=policy, poll_ms=50)
            sender = Sender(drop, batch).start()
            job = InspectionJob(
                home=home, state=state, params=params, store=store, max_images=len(batch),
                duration_s=30.0 + 2.0 * len(batch), stop=stop, on_result=on_result,
                status=StatusLine(quiet=opts.quiet), inspector=inspector, camera=camera_class(params),
            )
            try:
                result.summaries.append(job.run())
            finally:
                sender.close()
            result.done_at.update(sender.done_at)
            if sender.error is not None:
                msg = f"the demo sender failed: {sender.error}"
                raise DemoError(msg)
    result.seconds["watch"] = time.perf_counter() - t
    return result


# --- summary ---------------------------------------------------------------------------------------------------


def percentiles(values: list[float], qs: tuple[int, ...] = (50, 90, 99)) -> dict[str, float]:
    if not values:
        return {}
    arr = np.asarray(values, dtype=float)
    out = {f"p{q}": float(np.percentile(arr, q)) for q in qs}
    out["max"] = float(arr.max())
    return out


@dataclass
class Scores:
    """The demo's figures against the ground truth."""

    matrix: dict[tuple[str, str], int]
    recall: float
    fp_rate: float
    missing: list[str]
    per_kind: dict[str, tuple[int, int]]
    inspect_ms: dict[str, float]
    drop_to_verdict_ms: dict[str, float]
    throughput: float
    n: int


def score(result: DemoResult) -> Scores:
    matrix: Counter = Counter()
    per_kind: dict[str, list[int]] = {}
    missing = []
    for name, item in result.items.items():
        row = result.rows.get(name)
        if row is None:
            missing.append(name)
            continue
        matrix[(item.truth, row.verdict)] += 1
        if item.truth == "defect":
            caught = per_kind.setdefault(item.kind, [0, 0])
            caught[0] += row.verdict == "NG"
            caught[1] += 1
    n_def = sum(v for (truth, _), v in matrix.items() if truth == "defect")
    n_good = sum(v for (truth, _), v in matrix.items() if truth == "good")
    recall = matrix[("defect", "NG")] / n_def if n_def else math.nan
    fp_rate = matrix[("good", "NG")] / n_good if n_good else math.nan
    latencies = [r.latency_ms for r in result.rows.values() if r.latency_ms is not None]
    e2e = [
        (result.verdict_at[n] - result.done_at[n]) * 1000.0
        for n in result.rows
        if n in result.done_at and n in result.verdict_at
    ]
    watch_s = sum(s.seconds for s in result.summaries)
    return Scores(
        matrix=dict(matrix),
        recall=recall,
        fp_rate=fp_rate,
        missing=sorted(missing),
        per_kind={k: (v[0], v[1]) for k, v in sorted(per_kind.items())},
        inspect_ms=percentiles(latencies),
        drop_to_verdict_ms=percentiles(e2e),
        throughput=len(result.rows) / watch_s if watch_s > 0 else 0.0,
        n=len(result.rows),
    )


def _pct(v: float) -> str:
    return "n/a" if math.isnan(v) else f"{100 * v:.1f}%"


def _lat(p: dict[str, float]) -> str:
    return "  ".join(f"{k} {v:.0f} ms" for k, v in p.items()) if p else "n/a"


def figures(result: DemoResult, s: Scores) -> list[tuple[str, str]]:
    """The summary figures as (label, value) pairs, for the terminal and the report alike."""
    inspector_rate = f" (inspector alone ~{1000 / s.inspect_ms['p50']:.0f}/s)" if s.inspect_ms.get("p50") else ""
    out = [
        ("recall (defects caught)", _pct(s.recall)),
        ("false-positive rate", _pct(s.fp_rate)),
        ("per defect kind (caught/all)", ", ".join(f"{k} {a}/{b}" for k, (a, b) in s.per_kind.items()) or "-"),
        ("inspect latency", _lat(s.inspect_ms)),
        ("drop-to-verdict latency", _lat(s.drop_to_verdict_ms)),
        ("throughput", f"{s.throughput:.1f} images/s over the watch{inspector_rate}"),
        ("time", ", ".join(f"{k} {v:.1f} s" for k, v in result.seconds.items())),
    ]
    if s.missing:
        out.append(("NO VERDICT", f"{len(s.missing)} dropped images: {', '.join(s.missing[:10])}"))
    return out


def headline(opts: DemoOptions, result: DemoResult) -> str:
    n_def = sum(i.truth == "defect" for i in result.items.values())
    return (
        f"demo: product {opts.product}, {len(result.items)} images dropped ({n_def} defective), "
        f"policy {opts.policy}, threshold {result.threshold:.4f}"
    )


def summary_lines(opts: DemoOptions, result: DemoResult, s: Scores) -> list[str]:
    m = s.matrix
    w = 8
    lines = [
        headline(opts, result),
        "",
        "confusion matrix (rows: truth, columns: verdict)",
        f"  {'':<8}{'OK':>{w}}{'NG':>{w}}{'ERROR':>{w}}",
    ]
    for truth in ("good", "defect"):
        lines.append(f"  {truth:<8}" + "".join(f"{m.get((truth, v), 0):>{w}}" for v in ("OK", "NG", "ERROR")))
    lines.append("")
    lines += [f"{label:<29}{value}" for label, value in figures(result, s)]
    return lines


def _wrong(result: DemoResult, row: Row) -> bool:
    item = result.items.get(row.source_file or "")
    return item is not None and (row.verdict == "NG") != (item.truth == "defect")


def write_report(opts: DemoOptions, result: DemoResult, s: Scores) -> tuple[Path, Path]:
    """The contact sheet PNG of the NG images and the HTML report, under <workdir>/report/."""
    out = opts.workdir / "report"
    entries = []
    ng = [r for r in result.rows.values() if r.verdict == "NG"]
    for row in sorted(ng, key=lambda r: -(r.score or 0.0)):
        item = result.items.get(row.source_file or "")
        if item is None:
            continue
        correct = item.truth == "defect"
        entries.append(
            SheetEntry(
                image=item.image,
                overlay=result.overlays.get(item.name),
                lines=[
                    f"{item.name}  NG  {'defect: ' + item.kind if correct else 'FALSE ALARM (good)'}",
                    f"score {row.score:.2f} / thr {row.threshold:.2f}  x{row.ratio or 0:.1f}",
                    f"dominant: {row.dominant_branch}",
                ],
                correct=correct,
                truth_mask=item.mask,
            )
        )
    subtitle = [
        f"{len(result.rows)} images, recall {_pct(s.recall)}, false-positive rate {_pct(s.fp_rate)}, "
        f"threshold {result.threshold:.3f}",
        "left: image (true defect outlined in cyan)   right: anomaly overlay (red outline: model's region)",
    ]
    sheet = contact_sheet(entries, f"qorva demo - NG images of '{opts.product}'", subtitle)
    sheet_path = write_png(out / "contact_sheet.png", sheet)
    rows = sorted(result.rows.values(), key=lambda r: r.id or 0)
    tables = [
        Table("Summary", ("figure", "value"), list(figures(result, s))),
        Table(
            "Confusion matrix (rows: truth, columns: verdict)",
            ("truth", "OK", "NG", "ERROR"),
            [(t, *(s.matrix.get((t, v), 0) for v in ("OK", "NG", "ERROR"))) for t in ("good", "defect")],
        ),
    ]
    every = [
        Table(
            "Every image, in inspection order",
            ("id", "file", "truth", "verdict", "score", "threshold", "ratio", "structural", "mahalanobis",
             "logical", "dominant", "inspect ms", "overlay"),
            [
                (r.id, r.source_file, result.items[r.source_file].kind if r.source_file in result.items else "?",
                 r.verdict, r.score, r.threshold, r.ratio, r.structural, r.mahalanobis, r.logical,
                 r.dominant_branch, r.latency_ms, Path(r.overlay_path).name if r.overlay_path else "")
                for r in rows
            ],
            highlight={i for i, r in enumerate(rows) if _wrong(result, r)},
        ),
    ]
    intro = headline(opts, result) + f". Results database: {db_path(result.home or opts.workdir)}."
    report_path = html_report(out / "report.html", f"qorva demo: {opts.product}", intro, tables, sheet, after=every)
    return sheet_path, report_path
