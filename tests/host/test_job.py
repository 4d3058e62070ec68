"""The job's handling of frames with a scripted camera and inspector: failures become ERROR rows, the line goes on."""

from __future__ import annotations

import math
import os
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from helpers import wait_until, write_png
from qorva.demo import synthetic
from qorva.home import db_path
from qorva.inspection.base import ModelState
from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.inspector import NorimInspector
from qorva.inspection.modules.norim.runner.training.nuisances import moved
from qorva.io.camera.base import CameraError
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, camera_params
from qorva.results import ResultStore, StoreError
from qorva.schemas.common import InspectionResult, Verdict


class _Camera:
    """Hands out a fixed list of frames, then reports the camera closed, as PushCamera does."""

    def __init__(self, frames):
        self.frames = list(frames)
        self.closed = False

    def open(self):
        pass

    def close(self):
        self.closed = True

    def read(self, timeout=None):
        if self.frames:
            return self.frames.pop(0)
        msg = "camera is not open"
        raise CameraError(msg)


class _Inspector:
    def __init__(self, outcomes):
        self.outcomes = list(outcomes)

    def inspect(self, image, state, *, with_overlay=True):
        out = self.outcomes.pop(0)
        if isinstance(out, Exception):
            raise out
        return out


def _result(verdict: Verdict, score: float) -> InspectionResult:
    return InspectionResult(verdict=verdict, score=score, threshold=1.0, module="norim",
                            details={"branch": {"structural": score}, "dominant_branch": "structural"},
                            overlay=np.zeros((4, 4, 3), np.uint8))


def test_job_records_failures_as_errors_and_keeps_going(tmp_path: Path):
    img = np.zeros((4, 4, 3), np.uint8)
    frames = [(img, {"source_file": f"f{i}.png", "source_path": f"/d/f{i}.png"}) for i in range(4)]
    outcomes = [RuntimeError("decoder exploded"), _result(Verdict.OK, math.nan), _result(Verdict.NG, 5.0),
                _result(Verdict.OK, 0.5)]
    camera = _Camera(frames)
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(db_path(tmp_path)) as store:
        summary = InspectionJob(home=tmp_path, state=state, store=store, camera=camera,
                                inspector=_Inspector(outcomes)).run()
        rows = store.query()
    assert [r.verdict for r in rows] == ["ERROR", "ERROR", "NG", "OK"]
    assert "decoder exploded" in rows[0].error_message and "non-finite" in rows[1].error_message
    assert rows[1].score is None
    assert rows[2].overlay_path and Path(rows[2].overlay_path).is_file() and rows[3].overlay_path is None
    assert summary.reason == "camera-failed" and camera.closed


class _AckCamera(_Camera):
    """The scripted camera with the acknowledgement of the acknowledged hand-over."""

    def __init__(self, frames):
        super().__init__(frames)
        self.acked = []

    def ack(self, meta):
        self.acked.append(meta["source_file"])


def _frames(names):
    return [(np.full((4, 4, 3), i, np.uint8), {"source_file": n, "source_path": f"/d/{n}"})
            for i, n in enumerate(names)]


def _failing_add(store, fails):
    """`store.add` failing `fails` times (None: always) the way a full disk fails it."""
    real, count = store.add, [0]

    def add(row, **kw):
        count[0] += 1
        if fails is None or count[0] <= fails:
            msg = "cannot record a result: database or disk is full"
            raise StoreError(msg)
        return real(row, **kw)

    return add


@pytest.mark.parametrize(
    ("case", "verdicts", "acked", "reason"),
    [
        pytest.param("edited-state", ["ERROR", "ERROR"], 2, "camera-failed", id="overlay-of-an-unsafe-product-id"),
        pytest.param("row-refused-once", ["ERROR", "NG"], 2, "camera-failed", id="one-row-refused"),
        pytest.param("store-gone", [], 0, "store-failed", id="no-row-can-be-written"),
    ],
)
def test_a_failure_after_an_image_is_taken_is_its_error_row_or_stops_taking(tmp_path, case, verdicts, acked, reason):
    # No row can be written: a and b are in flight when a's row fails, c is never taken.
    camera = _AckCamera(_frames(["a.png", "b.png"] + (["c.png"] if case == "store-gone" else [])))
    product = "../edited" if case == "edited-state" else "P1"
    state = ModelState(module="norim", product_id=product, threshold=1.0)
    with ResultStore(db_path(tmp_path)) as store:
        if case != "edited-state":
            store.add = _failing_add(store, 1 if case == "row-refused-once" else None)
        job = InspectionJob(home=tmp_path, state=state, store=store, camera=camera,
                            inspector=_Inspector([_result(Verdict.NG, 5.0)] * 3))
        summary = job.run()
        rows = ResultStore.query(store)
    assert [r.verdict for r in rows] == verdicts and len(camera.acked) == acked
    assert summary.reason == reason and all(r.error_message for r in rows if r.verdict == "ERROR")
    if case == "store-gone":
        assert "disk is full" in summary.error and [m for _, m in camera.frames] == [{"source_file": "c.png",
                                                                                     "source_path": "/d/c.png"}]


def _watch(tmp_path, folder, after, until):
    """Run the job over `folder` with the real camera until `until(summary)`; returns the summary."""
    from qorva.io.camera.dropnest import DropnestCamera

    camera = with_acknowledgement(DropnestCamera)(
        camera_params(folder, ready_policy="none", poll_ms=5, after=after))
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(db_path(tmp_path)) as store:
        job = InspectionJob(home=tmp_path, state=state, store=store, camera=camera,
                            inspector=_Inspector([_result(Verdict.OK, 0.5)] * 10))
        stopper = threading.Thread(target=lambda: wait_until(lambda: until(job.summary), 10) and job.stop.set())
        stopper.start()
        try:
            return job.run()
        finally:
            job.stop.set()
            stopper.join()


@pytest.mark.parametrize("after", ["move", "delete", "keep"])
def test_an_image_recorded_before_is_disposed_of_without_a_second_row(tmp_path, after):
    folder = tmp_path / "drop"
    folder.mkdir()
    names = [b"a.png", b"b\xff.png", b"c\n.png"]
    for i, name in enumerate(names):
        write_png(Path(os.fsdecode(bytes(folder) + b"/" + name)), seed=i)
    # Rows recorded, files still in the folder: a crash between the row and the move, or files kept.
    first = _watch(tmp_path, folder, "keep", lambda s: s.n == 3)
    second = _watch(tmp_path, folder, after, lambda s: s.skipped == 3)
    with ResultStore(db_path(tmp_path)) as store:
        rows = store.query()
    assert (first.n, second.n, len(rows)) == (3, 0, 3)
    assert sorted(r.source_bytes for r in rows) == sorted(bytes(folder) + b"/" + n for n in names)
    left = sorted(os.fsencode(p.name) for p in folder.glob("*.png"))
    assert left == ([] if after != "keep" else sorted(names))
    assert len(list((folder / "_processed").glob("*.png"))) == (3 if after == "move" else 0)


class _Slow:
    """Judges each frame after the delay its first pixel names, NG when it names 'NG'; an overlay only when asked.

    Records the calls and how many ran at once."""

    def __init__(self):
        self.calls, self.running, self.most = [], 0, 0
        self.lock = threading.Lock()

    def inspect(self, image, state, *, with_overlay=True):
        with self.lock:
            self.calls.append((int(image[0, 0, 0]), with_overlay))
            self.running += 1
            self.most = max(self.most, self.running)
        time.sleep(image[0, 0, 1] / 1000)
        with self.lock:
            self.running -= 1
        verdict = Verdict.NG if image[0, 0, 2] else Verdict.OK
        return InspectionResult(verdict=verdict, score=5.0 if image[0, 0, 2] else 0.5, threshold=1.0, module="norim",
                                details={"branch": {"structural": 1.0}, "dominant_branch": "structural"},
                                overlay=np.zeros((4, 4, 3), np.uint8) if with_overlay else None)


def test_workers_judge_side_by_side_and_rows_keep_arrival_order(tmp_path):
    # (delay ms, NG): the early frames take longest, so the workers finish them out of order.
    plan = [(60, 0), (40, 1), (20, 0), (5, 0), (5, 1)]
    frames = [(np.full((4, 4, 3), (i, ms, ng), np.uint8), {"source_file": f"f{i}.png", "source_path": f"/d/f{i}.png"})
              for i, (ms, ng) in enumerate(plan)]
    frames.append((frames[0][0].copy(), dict(frames[0][1])))  # f0 offered again while it is still in flight
    camera, inspector = _AckCamera(frames), _Slow()
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(db_path(tmp_path)) as store:
        summary = InspectionJob(home=tmp_path, state=state, store=store, camera=camera, inspector=inspector,
                                options=JobOptions(workers=3)).run()
        rows = store.query()
    assert [r.source_file for r in rows] == [f"f{i}.png" for i in range(5)] and summary.skipped == 1
    # Judged out of order, stamped in order: the printed lines never go back in time.
    assert [r.recorded_at for r in rows] == sorted(r.recorded_at for r in rows)
    assert [r.verdict for r in rows] == ["OK", "NG", "OK", "OK", "NG"] and inspector.most >= 2
    assert sorted(c for c in inspector.calls if c[1]) == [(1, True), (4, True)]  # only NG images rendered
    assert all(bool(r.overlay_path) == (r.verdict == "NG") for r in rows) and len(camera.acked) == 6


def test_each_row_holds_its_own_images_registration_with_workers(tmp_path, monkeypatch):
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    goods = synthetic.good_images("assembly", 14, seed=3, size=128)
    runner.train("P1", goods[:8], structural="gauss")
    state = NorimInspector().teach(goods[8:12], {"product_id": "P1"})
    shifts = [0.0, 10.0, 0.0, -10.0]  # px of the 128 px frames; 10 is far beyond what training saw
    frames = [(moved(goods[12 + i % 2], dx, 0.0, 0.0), {"source_file": f"f{i}.png", "source_path": f"/d/f{i}.png"})
              for i, dx in enumerate(shifts)]  # fmt: skip
    with ResultStore(db_path(tmp_path)) as store:
        InspectionJob(home=tmp_path, state=state, store=store, camera=_AckCamera(frames), inspector=NorimInspector(),
                      options=JobOptions(workers=2)).run()  # fmt: skip
        rows = store.query()
    assert [r.source_file for r in rows] == ["f0.png", "f1.png", "f2.png", "f3.png"]
    np.testing.assert_allclose([r.offset_x for r in rows], shifts, atol=1.5)
    assert [r.offset_beyond for r in rows] == [0, 1, 0, 1] and all(abs(r.offset_deg) < 0.5 for r in rows)
