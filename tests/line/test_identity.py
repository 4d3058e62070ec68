"""The part's id from its file name or sidecar, never a guess; late verdicts and ERROR are rejects on the wire."""

from __future__ import annotations

import argparse
import json
import time

import numpy as np
import pytest

from qorva.inspection.base import ModelState
from qorva.job import InspectionJob, JobOptions
from qorva.outputs.base import cause_code, part_number, result_code
from qorva.part_id import PartId, pattern
from qorva.results import ResultStore, Row
from qorva.schemas.common import InspectionResult, Verdict


@pytest.mark.parametrize(("name", "sidecar", "expected"), [
    pytest.param("4711_top.png", None, "4711", id="name"),
    pytest.param("top.png", None, "no-id:top.png", id="no-match-is-marked"),
    pytest.param("4711_top.png", {"part": "A-9"}, "A-9", id="sidecar-first"),
    pytest.param("4711_top.png", {"other": 1}, "4711", id="sidecar-without-key"),
    pytest.param("4711_top.png", "{broken", "4711", id="broken-sidecar"),
    pytest.param("12\n_top.png", None, "no-id:12\\x0a_top.png", id="control-characters-escaped"),
])
def test_the_part_id_comes_from_the_sidecar_or_the_name_never_a_guess(tmp_path, name, sidecar, expected):
    path = tmp_path / name
    if sidecar is not None:
        text = sidecar if isinstance(sidecar, str) else json.dumps(sidecar)
        path.with_suffix(".json").write_text(text, encoding="utf-8")
    assert PartId(pattern(r"^(?P<part>\d+)_"), "part")(str(path)) == expected


def test_a_part_id_pattern_needs_its_named_group():
    with pytest.raises(argparse.ArgumentTypeError, match="named group 'part'"):
        pattern(r"^(\d+)_")


@pytest.mark.parametrize(("part", "number"), [
    ("4711", 4711), (None, 0), ("A-9", None), ("99999999999", None),
])
def test_a_part_id_is_digits_in_a_register_or_a_hash_apart_from_every_number(part, number):
    got = part_number(part)
    assert got == number if number is not None else got >= 2**31
    assert got < 2**32


@pytest.mark.parametrize(("verdict", "late", "code"), [
    ("OK", 0, 0), ("NG", 0, 1), ("ERROR", 0, 2), ("OK", 1, 3), ("NG", 1, 3), ("weird", 0, 2),
])
@pytest.mark.parametrize(("beyond", "cause"), [(None, 3), (0, 3), (1, 9)])  # a part out of place: its own cause
def test_result_codes_never_guess_ok(verdict, late, code, beyond, cause):
    row = Row(recorded_at="", run_id="r", product_id="p", source_file=None, source_path=None, verdict=verdict,
              late=late, dominant_branch="logical", offset_beyond=beyond)
    assert result_code(row) == code
    assert cause_code(row) == (cause if verdict == "NG" else 0)


class _Camera:
    def __init__(self, n):
        self.frames = [(np.full((4, 4, 3), i, np.uint8), {"source_file": f"{i}_a.png", "source_path": f"/d/{i}_a.png"})
                       for i in range(n)]

    def open(self):
        pass

    def close(self):
        pass

    def read(self, timeout=None):
        from qorva.io.camera.base import CameraError

        if self.frames:
            return self.frames.pop(0)
        msg = "closed"
        raise CameraError(msg)


class _Inspector:
    """Slow on the second image only."""

    def inspect(self, image, state, *, with_overlay=True):
        if image[0, 0, 0] == 1:
            time.sleep(0.08)
        return InspectionResult(verdict=Verdict.OK, score=0.1, threshold=1.0, module="norim",
                                details={"branch": {}, "dominant_branch": "structural"})


def test_a_verdict_past_the_deadline_is_recorded_late_with_its_part_id(tmp_path):
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(tmp_path / "r.db") as store:
        InspectionJob(home=tmp_path, state=state, store=store, camera=_Camera(3), inspector=_Inspector(),
                      options=JobOptions(deadline_ms=40, part_id=PartId(pattern(r"^(?P<part>\d+)_")))).run()
        rows = store.query()
    # The third waited behind the slow second: its verdict is late too (the deadline counts from the take).
    assert [(r.part_id, r.late, r.seq) for r in rows] == [("0", 0, 1), ("1", 1, 2), ("2", 1, 3)]


@pytest.mark.parametrize(("after", "left_in_drop", "in_processed"), [
    ("move", set(), {"7_a.png", "7_a.json"}),
    ("delete", set(), set()),
    ("keep", {"7_a.png", "7_a.json"}, set()),
])
def test_a_sidecar_goes_where_its_image_goes_once_the_row_is_recorded(tmp_path, after, left_in_drop, in_processed):
    import cv2

    from qorva.io.camera.dropnest import DropnestCamera
    from qorva.io.camera.push import with_acknowledgement
    from qorva.job import camera_params

    drop, done = tmp_path / "drop", tmp_path / "done"
    drop.mkdir()
    (drop / "7_a.json").write_text('{"part": "A-7"}', encoding="utf-8")
    (drop / "other.json").write_text("{}", encoding="utf-8")  # no image of that name: never touched
    cv2.imwrite(str(drop / "7_a.png"), np.zeros((8, 8, 3), np.uint8))
    camera = with_acknowledgement(DropnestCamera)(camera_params(drop, ready_policy="none", after=after,
                                                                processed_dir=str(done)))
    state = ModelState(module="norim", product_id="P1", threshold=1.0)
    with ResultStore(tmp_path / "r.db") as store:
        InspectionJob(home=tmp_path, state=state, store=store, camera=camera, inspector=_Inspector(),
                      options=JobOptions(max_images=1, part_id=PartId(None, "part"))).run()
        assert [r.part_id for r in store.query()] == ["A-7"]
    assert {p.name for p in drop.iterdir()} == left_in_drop | {"other.json"}
    assert ({p.name for p in done.iterdir()} if done.exists() else set()) == in_processed
