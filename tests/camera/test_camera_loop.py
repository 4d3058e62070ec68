"""The receive loop's fixed order of checks, driven on the test thread."""

from __future__ import annotations

import pytest

from qorva.io.camera import dropnest


class Stop:
    """A stop event that records the loop's calls and sets itself after `checks` is_set() calls."""

    def __init__(self, checks: int) -> None:
        self.checks = checks
        self.calls: list[str] = []
        self.waits: list[float] = []

    def is_set(self) -> bool:
        self.calls.append("is_set")
        self.checks -= 1
        return self.checks < 0

    def wait(self, timeout):
        self.calls.append("wait")
        self.waits.append(timeout)
        return False


class Scripted(dropnest.DropnestCamera):
    """Scan and consume scripted per pass, with the calls recorded on the stop event."""

    def __init__(self, passes, params=None):
        super().__init__(params or {})
        self.passes = list(passes)
        self.consumed: list[str] = []

    def _scan(self):
        self._rx_stop.calls.append("scan")
        return self.passes.pop(0) if self.passes else []

    def _consume(self, fpath):
        self._rx_stop.calls.append(f"consume {fpath}")
        self.consumed.append(fpath)
        return fpath.startswith("ok")


def run(cam: Scripted, checks: int) -> Stop:
    cam._rx_stop = Stop(checks)
    cam._receive_loop()
    return cam._rx_stop


@pytest.mark.parametrize(("poll_ms", "wait"), [
    pytest.param(None, 0.1, id="absent"),
    pytest.param(100, 0.1, id="100"),
    pytest.param("250", 0.25, id="text-250"),
    pytest.param(10, 0.01, id="10"),
    pytest.param(5, 0.01, id="floor-5"),
    pytest.param(0, 0.01, id="floor-0"),
    pytest.param(-20, 0.01, id="floor-negative"),
])
def test_idle_wait_follows_poll_ms(poll_ms, wait):
    cam = Scripted([], {} if poll_ms is None else {"poll_ms": poll_ms})
    stop = run(cam, checks=1)
    assert stop.waits == [pytest.approx(wait)]


def test_poll_ms_is_read_once_per_run():
    cam = Scripted([], {"poll_ms": 200})
    stop = Stop(3)
    cam._rx_stop = stop

    def scan():
        cam.params["poll_ms"] = 900
        return []

    cam._scan = scan
    cam._receive_loop()
    assert stop.waits == [0.2, 0.2, 0.2]


@pytest.mark.parametrize("poll_ms", [None, "soon"])
def test_bad_poll_ms_raises_even_when_stopped(poll_ms):
    cam = Scripted([], {"poll_ms": poll_ms})
    with pytest.raises((TypeError, ValueError)):
        run(cam, checks=0)


def test_stopped_before_start_does_not_scan():
    assert run(Scripted([["ok1"]]), checks=0).calls == ["is_set"]


def test_productive_pass_rescans_without_waiting():
    stop = run(Scripted([["ok1", "ok2", "ok3"], []]), checks=5)
    assert stop.calls == [
        "is_set", "scan", "is_set", "consume ok1", "is_set", "consume ok2", "is_set", "consume ok3",
        "is_set", "scan", "wait", "is_set",
    ]


def test_pass_of_unready_files_waits():
    stop = run(Scripted([["no1", "no2"], ["ok1"]]), checks=5)
    assert stop.calls[:6] == ["is_set", "scan", "is_set", "consume no1", "is_set", "consume no2"]
    assert stop.calls[6] == "wait"


def test_one_consumed_file_is_enough_to_rescan():
    stop = run(Scripted([["no1", "ok1"], ["no1"]]), checks=5)
    assert stop.calls.index("wait") > stop.calls.index("scan", 2)


def test_stop_between_files_leaves_the_rest():
    cam = Scripted([["ok1", "ok2", "ok3"]])
    run(cam, checks=2)
    assert cam.consumed == ["ok1"]


def test_errors_end_the_loop():
    cam = Scripted([])
    cam._scan = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        run(cam, checks=10)
