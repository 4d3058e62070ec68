"""Log records are written on their own lines above the status line, which is drawn again below them."""

from __future__ import annotations

import io
import logging

import pytest

from qorva.console import Progress, StatusAwareHandler, StatusLine


class _Tty(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_log_record_goes_above_the_status_line_and_the_line_comes_back():
    stream = _Tty()
    status = StatusLine(stream=stream, interval_s=0)
    handler = StatusAwareHandler(stream)
    handler.setFormatter(logging.Formatter("%(message)s"))
    status.show("watch: 3 images")
    handler.emit(logging.makeLogRecord({"msg": "a warning", "levelno": logging.WARNING}))
    assert stream.getvalue() == "\rwatch: 3 images\x1b[K" + "\r\x1b[K" + "a warning\n" + "\rwatch: 3 images\x1b[K"
    status.close()
    handler.emit(logging.makeLogRecord({"msg": "after the job", "levelno": logging.WARNING}))
    assert stream.getvalue().endswith("\r\x1b[K" + "after the job\n")


@pytest.mark.parametrize(
    ("steps", "now", "eta"),
    [
        pytest.param([], 0.5, 4.5, id="first-step-running"),
        pytest.param([0.1] * 8, 0.9, 0.1, id="fast-steps-at-their-pace"),
        # Eight reads of 0.1 s, then a fit that has run 5 s: not "eta 0s" but the fit's pace for the two left.
        pytest.param([0.1] * 8, 5.8, 5.0, id="a-long-step-raises-it"),
        pytest.param([0.1] * 8 + [5.0], 5.8, 5.0, id="after-a-long-step-its-pace"),
    ],
)
def test_eta_follows_the_pace_of_the_latest_step(steps: list[float], now: float, eta: float):
    clock = [0.0]
    bar = Progress(10, "train", stream=io.StringIO(), clock=lambda: clock[0])
    for seconds in steps:
        clock[0] += seconds
        bar.update()
    assert bar.eta(now) == pytest.approx(eta)
