"""Post-processing: move, delete or keep, with the completion marker cleaned up."""

from __future__ import annotations

import errno
import logging
import os
import shutil
import subprocess
import types
from pathlib import Path

import pytest

from helpers import records
from qorva.io.camera import dropnest

STAMP = 1_733_580_000.1234


@pytest.fixture
def frozen_clock(monkeypatch):
    monkeypatch.setattr(dropnest, "time", types.SimpleNamespace(time=lambda: STAMP))


def drop(folder, name="img001.png", marker=True):
    f = folder / name
    f.write_bytes(b"new")
    if marker:
        (folder / f"{name}.done").write_bytes(b"")
    return f


@pytest.mark.parametrize("after", [None, "Move"])
def test_move_into_processed_folder_and_drop_marker(make_camera, folder, camlog, after):
    f = drop(folder)
    cam = make_camera(prepare=True, **({} if after is None else {"after": after}))
    cam._dispose(f)
    assert sorted(p.name for p in folder.iterdir()) == ["_processed"]
    assert (folder / "_processed" / "img001.png").read_bytes() == b"new"
    assert cam._seen == set() and records(camlog) == []


@pytest.mark.parametrize(("taken", "expected"), [
    pytest.param(["img001.png"], "img001_1733580000123.png", id="stamped"),
    pytest.param(["img001.png/"], "img001_1733580000123.png", id="folder-of-that-name"),
    pytest.param(["img001.png", "img001_1733580000123.png"], "img001_1733580000123_1.png", id="stamp-taken"),
    pytest.param(["img001.png", "img001_1733580000123.png", "img001_1733580000123_1.png"],
                 "img001_1733580000123_2.png", id="counter-taken"),
])
def test_collisions_never_overwrite(make_camera, folder, frozen_clock, taken, expected):
    cam = make_camera(prepare=True)
    processed = folder / "_processed"
    for name in taken:
        if name.endswith("/"):
            (processed / name).mkdir()
        else:
            (processed / name).write_bytes(b"old")
    cam._dispose(drop(folder))
    assert (processed / expected).read_bytes() == b"new"
    assert all((processed / n).is_dir() or (processed / n).read_bytes() == b"old" for n in taken)


def test_repeated_collisions_keep_every_file(make_camera, folder, frozen_clock):
    cam = make_camera(prepare=True)
    for i in range(5):
        f = folder / "same.png"
        f.write_bytes(str(i).encode())
        cam._dispose(f)
    stored = {p.read_bytes() for p in (folder / "_processed").iterdir()}
    assert stored == {b"0", b"1", b"2", b"3", b"4"}


@pytest.mark.parametrize("marker", [True, False])
def test_delete_removes_file_and_marker(make_camera, folder, marker):
    f = drop(folder, marker=marker)
    cam = make_camera(prepare=True, after="delete")
    cam._dispose(f)
    assert not any(folder.iterdir()) and cam._seen == set()


@pytest.mark.parametrize("after", ["keep", "archive"])
def test_keep_leaves_everything_and_remembers(make_camera, folder, camlog, after):
    f = drop(folder)
    cam = make_camera(prepare=True, after=after)
    cam._dispose(f)
    assert sorted(p.name for p in folder.iterdir()) == ["img001.png", "img001.png.done"]
    assert cam._seen == {str(f)} and records(camlog) == []


def test_failed_move_is_a_warning_and_remembered(make_camera, folder, camlog):
    f = folder / "img001.png"
    cam = make_camera(prepare=True)
    cam._dispose(f)
    ((level, msg),) = records(camlog)
    assert level == logging.WARNING
    assert msg.startswith(f"post-processing failed (move): {f} (") and "No such file" in msg
    assert cam._seen == {str(f)}


class Refusing(type(Path())):
    """A path whose deletion is refused when its name ends with `refused`, as Windows refuses to
    delete a file that another process holds open."""

    refused = ""

    def unlink(self, missing_ok=False):
        if self.name.endswith(self.refused):
            raise PermissionError(13, "Permission denied", str(self))
        super().unlink(missing_ok=missing_ok)


@pytest.mark.parametrize(("after", "refused", "left", "moved"), [
    pytest.param("delete", "img001.png", ["img001.png", "img001.png.done"], None, id="delete-file-refused"),
    pytest.param("delete", ".done", ["img001.png.done"], None, id="delete-marker-refused"),
    pytest.param("move", ".done", ["_processed", "img001.png.done"], ["img001.png"], id="move-marker-refused"),
])
def test_refused_deletion_stops_the_step_and_is_remembered(
        make_camera, folder, camlog, monkeypatch, after, refused, left, moved):
    monkeypatch.setattr(Refusing, "refused", refused)
    f = Refusing(drop(folder))
    cam = make_camera(prepare=True, after=after)
    cam._dispose(f)
    assert sorted(p.name for p in folder.iterdir()) == left
    if moved is not None:
        assert sorted(p.name for p in (folder / "_processed").iterdir()) == moved
    target = f if refused == f.name else folder / "img001.png.done"
    assert records(camlog) == [(logging.WARNING, f"post-processing failed ({after}): {f} "
                                                 f"([Errno 13] Permission denied: '{target}')")]
    assert cam._seen == {str(f)}


def test_failed_move_keeps_the_marker(make_camera, folder, monkeypatch):
    f = drop(folder)
    cam = make_camera(prepare=True)

    def full(src, dst, copy_function):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(dropnest, "shutil", types.SimpleNamespace(move=full))
    cam._dispose(f)
    assert f.exists() and (folder / "img001.png.done").exists() and cam._seen == {str(f)}


def test_move_uses_the_host_move_with_path_texts(make_camera, folder, monkeypatch):
    calls = []
    monkeypatch.setattr(dropnest, "shutil", types.SimpleNamespace(move=lambda s, d, **kw: calls.append((s, d, kw))))
    f = drop(folder, marker=False)
    make_camera(prepare=True)._dispose(f)
    assert calls == [(str(f), str(folder / "_processed" / "img001.png"),
                      {"copy_function": dropnest._copy_into_place})]


def test_move_without_processed_folder_is_an_assertion(make_camera, folder):
    f = drop(folder)
    cam = make_camera(prepare=True, after="keep")
    cam.params["after"] = "move"
    with pytest.raises(AssertionError):
        cam._dispose(f)


def test_invalid_marker_extension_propagates(make_camera, folder):
    cam = make_camera(prepare=True, after="delete")
    cam.params["sentinel_ext"] = "/x"  # changed after the open, which refuses it
    with pytest.raises(ValueError):
        cam._dispose(drop(folder))


def test_move_to_another_folder_tree(make_camera, folder, tmp_path):
    target = tmp_path / "elsewhere"
    f = drop(folder, marker=False)
    make_camera(prepare=True, processed_dir=target)._dispose(f)
    assert (target / "img001.png").exists()


def test_deleted_processed_folder_is_made_again(make_camera, folder, camlog):
    cam = make_camera(prepare=True)
    (folder / "_processed").rmdir()
    cam._dispose(drop(folder, marker=False))
    assert (folder / "_processed" / "img001.png").read_bytes() == b"new" and records(camlog) == []


def half_then_full(src, dst):
    Path(dst).write_bytes(Path(src).read_bytes()[:1])
    raise OSError(errno.ENOSPC, "No space left on device")


def copy_then_taken(src, dst):
    shutil.copyfile(src, dst)
    Path(dst).with_name("img001.png").write_bytes(b"racer")  # another writer took the name meanwhile


@pytest.mark.parametrize(("copy", "archived", "left"), [
    pytest.param(shutil.copy2, b"new", [], id="copied"),
    pytest.param(half_then_full, None, ["img001.png"], id="disk-full"),
    pytest.param(copy_then_taken, b"racer", ["img001.png"], id="name-taken-meanwhile"),
])
def test_move_across_volumes_never_leaves_a_partial_copy(make_camera, folder, monkeypatch, camlog, copy, archived,
                                                         left):
    def across_volumes(src, dst):
        raise OSError(errno.EXDEV, "Invalid cross-device link")

    cam = make_camera(prepare=True)
    monkeypatch.setattr(os, "rename", across_volumes)  # shutil.move then copies with its copy_function
    monkeypatch.setattr(shutil, "copy2", copy)
    cam._dispose(drop(folder, marker=False))
    processed = folder / "_processed"
    assert {p.name: p.read_bytes() for p in processed.iterdir()} == ({} if archived is None else
                                                                     {"img001.png": archived})
    assert sorted(p.name for p in folder.iterdir() if p.is_file()) == left
    assert len(records(camlog)) == len(left)


def test_full_processed_volume_holds_no_partial_copies(make_camera, folder, tmp_path, camlog):
    volume = tmp_path / "small"
    volume.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(volume)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("mounting a small tmpfs needs root")
    try:
        cam = make_camera(prepare=True, processed_dir=str(volume))
        for i in range(5):  # 100 KiB each: two fit
            f = folder / f"f{i}.png"
            f.write_bytes(os.urandom(100 * 1024))
            cam._dispose(f)
        assert sorted((p.name, p.stat().st_size) for p in volume.iterdir()) == [("f0.png", 102400),
                                                                                ("f1.png", 102400)]
        assert sorted(p.name for p in folder.iterdir()) == ["f2.png", "f3.png", "f4.png"]
        assert [m.split(" (")[0] for _, m in records(camlog)] == ["post-processing failed"] * 3
    finally:
        subprocess.run(["umount", str(volume)], check=True)
