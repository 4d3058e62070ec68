"""The drift alarm: raised when the NG rate or the median score leaves the teach samples' band, cleared with
a margin, recorded, and acknowledged once."""

from __future__ import annotations

from pathlib import Path
from types import SimpleNamespace

import pytest

from qorva import drift
from qorva.home import db_path
from qorva.results import ResultStore

# Teach samples with median 0 and sd 1: with 40 images in the window the median's band is about +-1.8.
PARAMS = {"good_scores": [-1.5, -1.0, -0.5, 0.0, 0.0, 0.5, 1.0, 1.5] * 5, "expected_fp_rate": 0.0}


def _feed(watch: drift.DriftWatch, seconds: list[tuple[str, float]], start: float) -> float:
    t = start
    for verdict, score in seconds:
        watch.clock = lambda t=t: t
        watch.add(SimpleNamespace(verdict=verdict, product_id="P1", score=score))
        t += 1.0
    return t


GOOD = [("OK", s) for s in (-0.5, 0.0, 0.5, 0.2, -0.2)] * 8
BURST = [("NG", 4.0), ("OK", 0.1), ("OK", -0.1), ("OK", 0.3)] * 10  # a quarter NG: the median stays
DIMMED = [("OK", s + 2.5) for s in (-0.5, 0.0, 0.5, 0.2, -0.2)] * 8


@pytest.mark.parametrize(
    ("phases", "raised", "active"),
    [
        pytest.param([GOOD], [], [], id="steady-line"),
        pytest.param([BURST], ["ng_rate"], ["ng_rate"], id="NG-burst"),
        pytest.param([DIMMED], ["score"], ["score"], id="lamp-dims-parts-still-OK"),
        pytest.param([BURST, GOOD * 3], ["ng_rate"], [], id="cleared-when-back"),
        pytest.param([BURST[:15]], [], [], id="too-few-images-to-judge"),
    ],
)
def test_an_alarm_is_raised_once_per_signal_and_cleared_in_band(tmp_path: Path, phases, raised, active):
    with ResultStore(db_path(tmp_path)) as store:
        watch = drift.DriftWatch(drift.band_from_teach(PARAMS, window_s=60), "P1", store=store, run_id="r")
        t = 1000.0
        for phase in phases:
            t = _feed(watch, phase, t)
        recorded = store.read("SELECT kind, cleared_at FROM alarms ORDER BY id")
    assert [r["kind"] for r in recorded] == raised
    assert [r["kind"] for r in recorded if r["cleared_at"] is None] == active
    assert [a["kind"] for a in watch.alarms() if a["active"]] == active


def test_an_acknowledged_alarm_is_recorded_once_and_leaves_the_page_when_cleared(tmp_path: Path):
    with ResultStore(db_path(tmp_path)) as store:
        watch = drift.DriftWatch(drift.band_from_teach(PARAMS, window_s=60), "P1", store=store)
        t = _feed(watch, BURST, 1000.0)
        (alarm,) = watch.alarms()
        at = drift.record_acknowledgement(store, alarm["id"], who="anna", station="cam1", note="lamp replaced")
        assert at is not None and watch.acknowledged(alarm["id"], who="anna", station="cam1", note=None, at=at)
        assert drift.record_acknowledgement(store, alarm["id"], who="bob", station="cam1", note=None) is None
        assert watch.alarms()[0]["acknowledged_by"] == "anna"  # still active: still shown
        _feed(watch, GOOD * 3, t)
        assert watch.alarms() == []
        (row,) = store.read("SELECT acknowledged_by, acknowledged_station, note, cleared_at FROM alarms")
    assert (row["acknowledged_by"], row["acknowledged_station"], row["note"]) == ("anna", "cam1", "lamp replaced")
    assert row["cleared_at"] is not None


def test_the_band_follows_the_teach_samples_and_a_given_rate():
    band = drift.band_from_teach({"good_scores": [0.0, 2.0], "expected_fp_rate": 0.1}, ng_rate=None)
    assert band.ng_rate_max == pytest.approx(0.3) and band.score_median == 1.0
    assert drift.band_from_teach({"expected_fp_rate": 0.0}, ng_rate=0.2).ng_rate_max == 0.2
    low, high = band.score_band(1000)
    assert low < 1.0 < high and band.score_band(10)[1] > high  # fewer images, a wider band
