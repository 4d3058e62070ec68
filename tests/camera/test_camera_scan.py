"""The scan: which files are candidates, and in what order."""

from __future__ import annotations

import logging
import os
import random
import types
from pathlib import Path

import pytest

from helpers import records
from qorva.io.camera import dropnest
from reference import camera as reference


def reference_scan(cam) -> list[Path]:
    """The plain-Python camera's scan of the same folder, with the same parameters and `_seen`."""
    ref = reference.DropnestCamera(cam.params)
    ref._folder, ref._seen = cam._folder, cam._seen
    return ref._scan()


def touch(folder: Path, name: str | bytes, mtime: float = 1_700_000_000.0) -> None:
    # Bytes paths: some names under test are not valid UTF-8, which pathlib cannot hold.
    path = os.path.join(os.fsencode(folder), name if isinstance(name, bytes) else os.fsencode(name))  # noqa: PTH118
    with open(path, "wb") as fh:  # noqa: PTH123
        fh.write(b"x")
    os.utime(path, (mtime, mtime))


LAYOUTS = {
    "empty": [],
    "suffix-rules": ["IMG_01.JPG", "a.tar.gz", ".png", "ends.", "plain", "a.png.done", "b.TIFF", "c.jpeg"],
    "same-mtime-by-name": ["b.png", "a.png", "B.png", "ä.png", "z.png", "\U0001f600.png", "\ue000.png"],
    "non-ascii-suffix": ["a.ÉMG", "b.émg", "c.PNG"],
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("extensions", [None, [".gz", "émg", "PNG"]], ids=["default-exts", "custom-exts"])
def test_scan_matches_the_pathlib_statement(make_camera, folder, layout, extensions):
    for name in LAYOUTS[layout]:
        touch(folder, name)
    cam = make_camera(prepare=True, extensions=extensions, after="keep")
    got = cam._scan()
    assert got == reference_scan(cam)
    assert all(type(p) is type(cam._folder) for p in got)


def test_undecodable_name_gets_the_listing_text(make_camera, folder):
    touch(folder, b"\xff\xfe.png")
    touch(folder, b"\xc3\xa9.png", mtime=1.0)
    cam = make_camera(prepare=True, after="keep")
    got = cam._scan()
    assert got == reference_scan(cam)
    assert [p.name for p in got] == ["é.png", os.fsdecode(b"\xff\xfe.png")]


def test_arrival_order_is_mtime_then_name(make_camera, folder):
    touch(folder, "new.png", 300.0)
    touch(folder, "old_copy.png", 100.0)
    touch(folder, "b.png", 200.0)
    touch(folder, "a.png", 200.0)
    touch(folder, "fraction.png", 200.000001)
    names = [p.name for p in make_camera(prepare=True)._scan()]
    assert names == ["old_copy.png", "a.png", "b.png", "fraction.png", "new.png"]


def test_seen_files_are_skipped(make_camera, folder):
    touch(folder, "a.png")
    touch(folder, "b.png")
    cam = make_camera(prepare=True)
    cam._seen.add(str(folder / "a.png"))
    assert [p.name for p in cam._scan()] == ["b.png"]


def test_types_links_and_subfolders(make_camera, folder, tmp_path):
    touch(folder, "real.png")
    (folder / "dir.png").mkdir()
    (folder / "link.png").symlink_to(folder / "real.png")
    (folder / "dangling.png").symlink_to(tmp_path / "nowhere.png")
    (folder / "dirlink.png").symlink_to(folder / "dir.png")
    (folder / "loop.png").symlink_to(folder / "loop.png")
    (tmp_path / "outside.png").write_bytes(b"x")
    (folder / "outside_link.png").symlink_to(tmp_path / "outside.png")
    cam = make_camera(prepare=True, after="keep")
    got = cam._scan()
    assert sorted(p.name for p in got) == ["link.png", "outside_link.png", "real.png"]
    assert got == reference_scan(cam)


@pytest.mark.parametrize("folder_arg", ["relative", "dot"])
def test_relative_folder_path_text(make_camera, folder, monkeypatch, folder_arg):
    touch(folder, "a.png")
    if folder_arg == "relative":
        monkeypatch.chdir(folder.parent)
        cam = make_camera(prepare=True, path="in")
    else:
        monkeypatch.chdir(folder)
        cam = make_camera(prepare=True, path=".", after="keep")
    (p,) = cam._scan()
    assert str(p) == str(cam._folder / "a.png")


def test_extension_change_applies_to_the_next_scan(make_camera, folder):
    touch(folder, "a.png")
    touch(folder, "b.gif")
    cam = make_camera(prepare=True)
    assert [p.name for p in cam._scan()] == ["a.png"]
    cam.params["extensions"] = ["gif"]
    assert [p.name for p in cam._scan()] == ["b.gif"]


def test_module_extension_set_is_read_at_each_scan(make_camera, folder, monkeypatch):
    touch(folder, "a.webp")
    cam = make_camera(prepare=True)
    assert cam._scan() == []
    monkeypatch.setattr(dropnest, "_EXTS", [".webp"])
    assert [p.name for p in cam._scan()] == ["a.webp"]


def test_unlistable_folder_warns_when_lost_once_a_minute_and_when_back(make_camera, folder, camlog, monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(dropnest, "time", types.SimpleNamespace(time=lambda: now[0]))
    touch(folder, "a.png")
    cam = make_camera(prepare=True)
    hidden = folder.with_name("hidden")
    folder.rename(hidden)
    for step in (0, 1, 58.9, 0.1, 30, -500):  # the clock set back counts as a minute gone
        now[0] += step
        assert cam._scan() == []
    lost = (logging.WARNING, f"cannot list the dropnest (will retry): [Errno 2] No such file or directory: '{folder}'")
    assert records(camlog) == [lost] * 3
    hidden.rename(folder)
    assert [p.name for p in cam._scan()] == ["a.png"]
    assert [p.name for p in cam._scan()] == ["a.png"]
    assert records(camlog) == [lost] * 3 + [(logging.WARNING, f"the dropnest can be listed again: {folder}")]


def test_folder_replaced_by_a_file_is_a_listing_error(make_camera, folder, camlog):
    cam = make_camera(prepare=True, after="keep")
    folder.rmdir()
    folder.write_bytes(b"")
    assert cam._scan() == []
    assert "[Errno 20] Not a directory" in records(camlog)[0][1]


def test_scan_without_folder_is_an_assertion(make_camera):
    with pytest.raises(AssertionError):
        make_camera()._scan()


def test_extension_errors_propagate(make_camera, folder):
    cam = make_camera(prepare=True, extensions=[1])
    with pytest.raises(AttributeError):
        cam._scan()


def test_large_backlog_keeps_arrival_order(make_camera, folder):
    order = list(range(700))
    random.Random(5).shuffle(order)
    for rank, i in enumerate(order):
        touch(folder, f"f{i:04d}.png", 1_700_000_000.0 + rank * 0.001)
    cam = make_camera(prepare=True, after="keep")
    got = cam._scan()
    assert [p.name for p in got] == [f"f{i:04d}.png" for i in order]
    assert got == reference_scan(cam)


def test_folder_class_joining_is_respected(make_camera, folder):
    class Tagged(type(Path())):
        def __truediv__(self, key):
            child = super().__truediv__(key)
            child.tagged = True
            return child

    touch(folder, "a.png")
    cam = make_camera(prepare=True)
    cam._folder = Tagged(folder)
    (p,) = cam._scan()
    assert p.tagged and str(p) == str(folder / "a.png")
