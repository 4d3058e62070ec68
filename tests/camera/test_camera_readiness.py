"""Readiness policies: when a candidate counts as completely written."""

from __future__ import annotations

import types

import pytest

from qorva.io.camera import dropnest


class Clock:
    """Stands in for the module's `time`: the camera reads `time.time()` at every use."""

    def __init__(self, now: float = 1000.0) -> None:
        self.now = now

    def time(self) -> float:
        return self.now


@pytest.fixture
def clock(monkeypatch) -> Clock:
    c = Clock()
    monkeypatch.setattr(dropnest, "time", types.SimpleNamespace(time=c.time))
    return c


@pytest.mark.parametrize(("policy", "ready"), [
    pytest.param("none", True, id="none"),
    pytest.param("NONE", True, id="upper-none"),
    pytest.param(None, True, id="null-value-is-none"),
    pytest.param("stable", False, id="stable"),
    pytest.param(" none", False, id="blank-is-stable"),
    pytest.param("archive", False, id="unknown-is-stable"),
    pytest.param("SeNtInEl", False, id="sentinel-any-case"),
])
def test_policy_words(make_camera, folder, policy, ready, clock):
    f = folder / "a.png"
    f.write_bytes(b"data")
    cam = make_camera(prepare=True, ready_policy=policy)
    assert cam._is_ready(f) is ready


@pytest.mark.parametrize(("ext", "marker", "ready"), [
    pytest.param(None, "a.png.done", True, id="default-marker"),
    pytest.param(None, None, False, id="marker-absent"),
    pytest.param("done", "a.pngdone", True, id="no-leading-dot"),
    pytest.param(".ok", "a.png.done", False, id="other-extension"),
    pytest.param("", None, True, id="empty-extension-is-the-file-itself"),
])
def test_sentinel_marker(make_camera, folder, ext, marker, ready):
    f = folder / "a.png"
    f.write_bytes(b"")
    if marker:
        (folder / marker).write_bytes(b"")
    params = {"ready_policy": "sentinel"} | ({} if ext is None else {"sentinel_ext": ext})
    assert make_camera(prepare=True, **params)._is_ready(f) is ready


def test_sentinel_marker_may_be_a_folder_but_not_a_dangling_link(make_camera, folder, tmp_path):
    a, b = folder / "a.png", folder / "b.png"
    (folder / "a.png.done").mkdir()
    (folder / "b.png.done").symlink_to(tmp_path / "gone")
    cam = make_camera(prepare=True, ready_policy="sentinel")
    assert (cam._is_ready(a), cam._is_ready(b)) == (True, False)


def test_sentinel_extension_with_separator_raises(make_camera, folder):
    cam = make_camera(prepare=True, ready_policy="sentinel")
    cam.params["sentinel_ext"] = "/x"  # changed after the open, which refuses it
    with pytest.raises(ValueError):
        cam._is_ready(folder / "a.png")


def test_stable_needs_the_same_size_for_stable_ms(make_camera, folder, clock):
    f = folder / "a.png"
    cam = make_camera(prepare=True)
    f.write_bytes(b"")
    assert not cam._is_ready(f)
    assert cam._sizes == {}
    f.write_bytes(b"x" * 5000)
    assert not cam._is_ready(f)
    assert cam._sizes == {str(f): (5000, 1000.0)}
    clock.now += 0.299
    assert not cam._is_ready(f)
    clock.now += 0.051
    assert cam._is_ready(f)
    assert cam._sizes == {str(f): (5000, 1000.0)}


@pytest.mark.parametrize(("remembered", "ready", "after"), [
    pytest.param((4.0, 999.0), True, (4.0, 999.0), id="float-size-equal"),
    pytest.param((3.5, 999.0), False, (4, 1000.0), id="float-size-differs"),
])
def test_remembered_size_is_compared_as_python_compares(make_camera, folder, clock, remembered, ready, after):
    f = folder / "a.png"
    f.write_bytes(b"data")
    cam = make_camera(prepare=True)
    cam._sizes[str(f)] = remembered
    assert cam._is_ready(f) is ready
    assert cam._sizes == {str(f): after}


def test_growth_restarts_the_timer(make_camera, folder, clock):
    f = folder / "a.png"
    cam = make_camera(prepare=True, stable_ms="100")
    for size in (10, 20, 30):
        f.write_bytes(b"x" * size)
        assert not cam._is_ready(f)
        clock.now += 1.0
    assert cam._sizes[str(f)] == (30, 1002.0)
    assert cam._is_ready(f)


@pytest.mark.parametrize("stable_ms", [0, -5])
def test_zero_stable_time_is_ready_on_second_look(make_camera, folder, clock, stable_ms):
    f = folder / "a.png"
    f.write_bytes(b"x")
    cam = make_camera(prepare=True, stable_ms=stable_ms)
    assert (cam._is_ready(f), cam._is_ready(f)) == (False, True)


def test_clock_set_back_waits_for_the_clock(make_camera, folder, clock):
    f = folder / "a.png"
    f.write_bytes(b"x")
    cam = make_camera(prepare=True)
    cam._is_ready(f)
    clock.now -= 60
    assert not cam._is_ready(f)
    clock.now += 60.5
    assert cam._is_ready(f)


def test_vanished_file_is_not_ready_and_keeps_its_entry(make_camera, folder, clock):
    f = folder / "a.png"
    f.write_bytes(b"x")
    cam = make_camera(prepare=True)
    cam._is_ready(f)
    f.unlink()
    assert not cam._is_ready(f)
    assert str(f) in cam._sizes


def test_bad_stable_ms_raises_only_once_the_size_matched(make_camera, folder, clock):
    f = folder / "a.png"
    f.write_bytes(b"x")
    cam = make_camera(prepare=True)
    cam.params["stable_ms"] = "soon"  # changed after the open, which refuses it
    assert not cam._is_ready(f)
    with pytest.raises(ValueError):
        cam._is_ready(f)
