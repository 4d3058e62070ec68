"""Change notification: the scan answered from the kept listing is the scan a listing gives."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from folder_ops import TIMES, FolderOps


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """One level deeper than the suite's, so that its parent can be replaced too."""
    d = tmp_path / "parent" / "in"
    d.mkdir(parents=True)
    return d


@pytest.fixture
def pair(make_camera, folder, tmp_path):
    """A notified and a listing camera on the same folder, and the operations to run on it."""
    outside = tmp_path / "outside"
    outside.mkdir()
    notified = make_camera(prepare=True, after="keep")
    listed = make_camera(prepare=True, after="keep", notify=False)
    return notified, listed, outside


@pytest.mark.parametrize("seed", [1, 2])
def test_random_operations_scan_as_a_listing(pair, folder, seed):
    notified, listed, outside = pair
    ops = FolderOps(seed, folder, outside, [notified, listed])
    answered = 0
    for step in range(200):
        what = ops.step()
        got, want = ops.scans()
        assert got == want, f"step {step}: {what}"
        answered += notified._notified
    assert not listed._notified
    assert answered > 150  # most passes were answered from notifications, not by a listing


def test_idle_pass_is_answered_without_listing(pair, folder):
    notified, _, _ = pair
    (folder / "a.png").write_bytes(b"x")
    assert [p.name for p in notified._scan()] == ["a.png"]
    assert not notified._notified  # the first pass lists
    assert [p.name for p in notified._scan()] == ["a.png"]
    assert notified._notified


@pytest.mark.parametrize("value", [False, 0, "", None])
def test_notify_off_lists_every_pass(make_camera, folder, value):
    cam = make_camera(prepare=True, notify=value)
    (folder / "a.png").write_bytes(b"x")
    for _ in range(2):
        assert [p.name for p in cam._scan()] == ["a.png"]
        assert not cam._notified and cam._watch is None


def replace_folder(folder: Path) -> None:
    folder.rename(folder.with_name("old"))
    folder.mkdir()


def replace_parent(folder: Path) -> None:
    folder.parent.rename(folder.parent.with_name("old"))  # no event reaches a watch on the folder itself
    folder.mkdir(parents=True)


def overflow(folder: Path) -> None:
    # More events than the kernel queues (max_queued_events, 16384 by default): alternating names
    # keep consecutive events from being merged into one.
    for i in range(17000):
        os.utime(folder / ("a.png" if i % 2 else "b.png"), (1_600_000_000 + i, 1_600_000_000 + i))


@pytest.mark.parametrize("change", [
    pytest.param(replace_folder, id="folder-replaced"),
    pytest.param(replace_parent, id="parent-replaced"),
    pytest.param(overflow, id="queue-overflow"),
])
def test_uncertain_changes_are_listed(pair, folder, change):
    notified, listed, _ = pair
    for name in ("a.png", "b.png"):
        (folder / name).write_bytes(b"x")
    notified._scan()
    change(folder)
    (folder / "c.png").write_bytes(b"new")
    assert notified._scan() == listed._scan()
    assert not notified._notified
    assert notified._scan() == listed._scan()
    assert notified._notified  # and watching again


def test_changes_without_an_event_here_are_seen(pair, folder, tmp_path):
    """Links are read again on every pass (their targets change elsewhere), and so are files with other names."""
    notified, listed, outside = pair
    (outside / "target.png").write_bytes(b"x")
    (folder / "link.png").symlink_to(outside / "target.png")
    (folder / "shared.png").write_bytes(b"x")
    os.link(folder / "shared.png", outside / "other_name.png")
    notified._scan()
    for name, t in (("target.png", 1_500_000_000), ("other_name.png", 1_400_000_000)):
        os.utime(outside / name, (t, t))
    assert [p.name for p in notified._scan()] == ["shared.png", "link.png"]
    assert notified._notified
    (outside / "target.png").unlink()
    assert [p.name for p in notified._scan()] == ["shared.png"] == [p.name for p in listed._scan()]


@pytest.mark.parametrize(("folder_at", "order"), [
    pytest.param(None, ["a.png", "b.png", "c.png"], id="gone-orders-by-name"),
    pytest.param(TIMES[-1], ["c.png", "a.png", "b.png"], id="now-a-folder-keeps-its-time"),
])
def test_file_going_between_listing_and_time_read(pair, folder, folder_at, order):
    """The result holds it either way, as a listing's does; its consumption decides what happens next."""
    notified, listed, outside = pair
    for name, t in (("c.png", 1), ("b.png", 2), ("a.png", 3)):
        (folder / name).write_bytes(b"x")
        os.utime(folder / name, (1_700_000_000 + t, 1_700_000_000 + t))
    notified._scan()
    ops = FolderOps(0, folder, outside, [notified, listed])
    ops.trap = (folder / "b.png", folder_at)
    got, want = ops.scans()
    assert [p.name for p in got] == order and got == want
    assert notified._notified
    assert [p.name for p in notified._scan()] == ["c.png", "b.png", "a.png"]  # back, and by time again
