"""The demo's run: synthetic product images through train, teach and the live watch job.

A simulated sender drops good and defective images into a folder the way real senders do: under the
stable policy it writes each file in slow chunks straight into its final name; under the sentinel
policy it writes the file, then its completion marker. The camera and inspector are the real ones.
"""

from __future__ import annotations

import json
import logging
import math
import os
import shutil
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import cv2
import numpy as np

from qorva import calibration, thresholds, versions
from qorva.console import StatusLine
from qorva.demo import synthetic
from qorva.errors import QorvaError
from qorva.files import write_atomic
from qorva.home import db_path
from qorva.home import use as use_home
from qorva.inspection.base import ModelState
from qorva.io.camera.push import with_acknowledgement
from qorva.job import Fixed, InspectionJob, JobOptions, JobSummary, JobWatchers, camera_params
from qorva.results import ResultStore, Row

logger = logging.getLogger("qorva.demo")

MARKER = ".qorva-demo"
_OWNED = ("home", "data", "drop", "report")
_TRANSIENT = ("-wal", "-shm", "-journal")


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


@dataclass
class DemoResult:
    """Everything the summary and the report are made of."""

    items: dict[str, Item]
    rows: dict[str, Row]
    done_at: dict[str, float]
    verdict_at: dict[str, float]
    summaries: list[JobSummary] = field(default_factory=list)
    threshold: float = math.nan
    seconds: dict[str, float] = field(default_factory=dict)
    sheet_path: Path | None = None
    report_path: Path | None = None
    home: Path | None = None
    good_scores: list[float] = field(default_factory=list)


# --- work folder ---------------------------------------------------------------------------------------------


def prepare_workdir(workdir: Path) -> None:
    """Make `workdir` ready; its folders are cleared only when they hold nothing but what an earlier demo made.

    The demo's home is where the README's tour goes on (teach, watch, train...): work done there is the user's,
    and the demo refuses with one line rather than delete it.
    """
    if workdir.exists():
        if not workdir.is_dir():
            msg = f"--workdir {workdir} is a file; choose a folder"
            raise DemoError(msg)
        if any(workdir.iterdir()) and not (workdir / MARKER).exists():
            msg = f"--workdir {workdir} is not empty and was not made by 'qorva demo'; choose an empty or new folder"
            raise DemoError(msg)
        foreign = not_made(workdir)
        if foreign:
            more = f" and {len(foreign) - 3} more" if len(foreign) > 3 else ""
            msg = (f"--workdir {workdir} holds work the demo did not make ({', '.join(foreign[:3])}{more}); "
                   "move it away, or run the demo with another --workdir")
            raise DemoError(msg)
        for name in _OWNED:
            target = workdir / name
            if target.is_dir() and not target.is_symlink():
                shutil.rmtree(target)
            elif target.exists() or target.is_symlink():
                target.unlink()
    workdir.mkdir(parents=True, exist_ok=True)
    note_made(workdir)


def _files(workdir: Path) -> dict[str, list[int]]:
    """Every file under the demo's folders: relative path -> [size, modification time in ns]."""
    found = {}
    for name in _OWNED:
        for path in sorted((workdir / name).rglob("*")):
            # SQLite's own companions of the results file come and go with its connections.
            if path.is_symlink() or (path.is_file() and not path.name.endswith(_TRANSIENT)):
                st = path.lstat()
                found[path.relative_to(workdir).as_posix()] = [st.st_size, st.st_mtime_ns]
    return found


def note_made(workdir: Path) -> None:
    """Record what the demo made in `workdir` (its marker file): what a later demo may delete."""
    text = json.dumps({"made by": "qorva demo", "files": _files(workdir)}, indent=0)
    write_atomic(workdir / MARKER, text.encode("utf-8"))


def not_made(workdir: Path) -> list[str]:
    """The files under the demo's folders that the last demo did not make as they are now (new or changed)."""
    try:
        made = json.loads((workdir / MARKER).read_text(encoding="utf-8"))["files"]
    except (OSError, ValueError, KeyError, TypeError):
        made = {}  # a marker of a demo that kept no list: nothing is known to be its own
    return [path for path, stat in _files(workdir).items() if made.get(path) != stat]


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


# The day on the line (docs/day-on-the-line.md) works on these beside the training and teaching images: good
# images no model saw, a folder of defective ones per kind with their masks, and two lots of the line's
# parts under a lamp a little dimmer than at training (good-NNN.png and <kind>-NNN.png, the truth in the name).
_DAY_KINDS = ("scratch", "spot", "missing", "wrong_colour")
_DAY_PER_KIND = 4
_LOT_GOOD, _LOT_BAD = 24, 6
_LOT_GAIN = 0.92


def save_day_data(opts: DemoOptions) -> None:
    """The images of the day on the line, under `<workdir>/data/`: good/, bad/<kind>/ with masks/, lot2/, lot3/."""
    data, size = opts.workdir / "data", opts.size
    kinds = [k for k in _DAY_KINDS if k in synthetic.PRODUCTS[opts.product].kinds]
    _save_folder(data / "good", synthetic.good_images(opts.product, opts.teach, opts.seed + 101, size=size), "good")
    for kind in kinds:
        made = [synthetic.defect_image(opts.product, kind, opts.seed + 102, index=i, size=size)
                for i in range(_DAY_PER_KIND)]
        _save_folder(data / "bad" / kind, [im for im, _ in made], f"{kind}-")
        _save_folder(data / "bad" / kind / "masks", [m for _, m in made], f"{kind}-")
    for n, lot in enumerate(("lot2", "lot3")):
        seed = opts.seed + 103 + n
        goods = synthetic.good_images(opts.product, _LOT_GOOD, seed, size=size)
        bads = [(kinds[i % len(kinds)], synthetic.defect_image(opts.product, kinds[i % len(kinds)], seed,
                                                               index=i // len(kinds), size=size)[0])
                for i in range(_LOT_BAD)]
        dim = [(im.astype(np.float32) * _LOT_GAIN).astype(np.uint8) for im in goods]
        _save_folder(data / lot, dim, "good-")
        for i, (kind, im) in enumerate(bads):
            cv2.imwrite(str(data / lot / f"{kind}-{i:03d}.png"), (im.astype(np.float32) * _LOT_GAIN).astype(np.uint8))


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
        with path.open("wb") as fh:
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

RowCallback = Callable[[Row], None]


def run_demo(
    opts: DemoOptions, stop: threading.Event, inspector: Any, camera_class: Any, on_row: RowCallback | None = None
) -> DemoResult:
    """Generate the data, train and teach the product, then watch the drop folder once per readiness policy.

    `on_row` sees each recorded row as it comes (the command line prints it).
    """
    home = opts.workdir / "home"
    t0 = time.perf_counter()
    train, teach, items = make_items(opts)
    _save_folder(opts.workdir / "data" / "train", train, "train")
    _save_folder(opts.workdir / "data" / "teach", teach, "teach")
    save_day_data(opts)
    result = DemoResult(items={i.name: i for i in items}, rows={}, done_at={}, verdict_at={}, home=home)
    result.seconds["generate"] = time.perf_counter() - t0
    with use_home(home):
        state = _train_and_teach(opts, home, train, teach, inspector, result)
        drop = opts.workdir / "drop"
        drop.mkdir(parents=True, exist_ok=True)
        t = time.perf_counter()
        with ResultStore(db_path(home)) as store:
            for policy in dict.fromkeys(i.policy for i in items):
                if stop.is_set():
                    break
                batch = [i for i in items if i.policy == policy]
                job = InspectionJob(
                    home=home, state=state, store=store, inspector=inspector, stop=stop,
                    models=Fixed(versions.in_use(home, opts.product)),
                    camera=with_acknowledgement(camera_class)(camera_params(drop, ready_policy=policy, poll_ms=50)),
                    options=JobOptions(max_images=len(batch), duration_s=30.0 + 2.0 * len(batch),
                                       workers=os.cpu_count() or 1),
                    watchers=JobWatchers(on_result=_recorder(result, on_row), status=StatusLine(quiet=opts.quiet)),
                )
                _watch_batch(job, drop, batch, result)
        result.seconds["watch"] = time.perf_counter() - t
    return result


def _train_and_teach(
    opts: DemoOptions, home: Path, train: list[np.ndarray], teach: list[np.ndarray], inspector: Any, result: DemoResult
) -> ModelState:
    from qorva.inspection.modules.norim import runner

    t = time.perf_counter()
    try:
        trained = runner.train(opts.product, train, home=home, quiet=opts.quiet, seed=opts.seed)
        result.seconds["train"] = time.perf_counter() - t
        t = time.perf_counter()
        with runner.pinned(trained.name, trained.version):
            state = inspector.teach(teach, {"product_id": opts.product, "sigma": opts.sigma})
    except (runner.NorimError, ValueError) as exc:
        msg = f"the demo could not train or teach {opts.product}: {' '.join(str(exc).splitlines())}"
        raise DemoError(msg) from exc
    samples = [calibration.Sample(f"teach{i:03d}.png", im, ".png") for i, im in enumerate(teach)]
    record = calibration.record(state, samples, home, version=trained.version,
                                threshold=thresholds.by_sigma(opts.sigma).record)
    versions.save_taught(home, state, record)
    result.threshold = float(state.threshold)
    result.good_scores = [float(s) for s in state.params.get("good_scores") or []]
    result.seconds["teach"] = time.perf_counter() - t
    return state


def _recorder(result: DemoResult, on_row: RowCallback | None) -> Callable[[Row, np.ndarray, Any], None]:
    def on_result(row: Row, image: np.ndarray, res: Any) -> None:
        name = row.source_file or ""
        result.verdict_at[name] = time.time()
        result.rows[name] = row
        if on_row is not None:
            on_row(row)

    return on_result


def _watch_batch(job: InspectionJob, drop: Path, batch: list[Item], result: DemoResult) -> None:
    """Run the job while a sender drops `batch`; the job stops once every image of the batch has its row."""
    sender = Sender(drop, batch).start()
    try:
        result.summaries.append(job.run())
    finally:
        sender.close()
    result.done_at.update(sender.done_at)
    if sender.error is not None:
        msg = f"the demo sender failed: {sender.error}"
        raise DemoError(msg)
