"""The job's handling of frames with a scripted camera and inspector: failures become ERROR rows, the line goes on."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from qorva.home import db_path
from qorva.inspection.base import ModelState
from qorva.io.camera.base import CameraError
from qorva.job import InspectionJob
from qorva.results import ResultStore
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
