"""Configuration and lifecycle: open checks, processed folder, derived settings."""

from __future__ import annotations

import inspect
from pathlib import Path

import pytest

from qorva.io.camera import dropnest
from qorva.io.camera.base import CameraError


@pytest.mark.parametrize("path", [pytest.param(None, id="none"), pytest.param("", id="empty")])
def test_missing_path_is_refused(make_camera, path):
    cam = make_camera(path=path)
    with pytest.raises(CameraError, match=r"^DropnestCamera: 'path' parameter is required$"):
        cam._prepare()
    assert cam._folder is None


def test_constructor_takes_params_by_position_or_by_name():
    assert str(inspect.signature(dropnest.DropnestCamera.__init__)) == "(self, params=None)"
    assert dropnest.DropnestCamera(params={"path": "x"}).params == {"path": "x"}
    with pytest.raises(TypeError):
        dropnest.DropnestCamera({}, {})


def test_absent_path_key_is_refused():
    cam = dropnest.DropnestCamera()
    with pytest.raises(CameraError, match=r"^DropnestCamera: 'path' parameter is required$"):
        cam._prepare()


@pytest.mark.parametrize("kind", ["missing", "regular-file"])
def test_path_that_is_not_a_directory_is_refused(make_camera, tmp_path, kind):
    target = tmp_path / "x"
    if kind == "regular-file":
        target.write_bytes(b"")
    cam = make_camera(path=str(target))
    with pytest.raises(CameraError) as info:
        cam._prepare()
    assert str(info.value) == f"DropnestCamera: dropnest not found: {target}"
    assert cam._folder is None


@pytest.mark.parametrize("how", ["same-text", "through-a-link"])
def test_processed_folder_that_is_the_monitored_folder_is_refused(make_camera, folder, tmp_path, how):
    # Moving each file into the folder it came from would offer it again on every pass.
    target = folder
    if how == "through-a-link":
        target = tmp_path / "link"
        target.symlink_to(folder)
    cam = make_camera(processed_dir=str(target))
    with pytest.raises(CameraError, match=r"^DropnestCamera: 'processed_dir' is the monitored folder itself: "):
        cam._prepare()
    assert cam._processed_dir is None


@pytest.mark.parametrize(("after", "created"), [
    pytest.param(None, True, id="default-move"),
    pytest.param("MOVE", True, id="upper-case-move"),
    pytest.param("move ", False, id="trailing-blank-is-keep"),
    pytest.param("keep", False, id="keep"),
    pytest.param("delete", False, id="delete"),
])
def test_processed_folder_is_created_only_for_move(make_camera, folder, after, created):
    params = {} if after is None else {"after": after}
    cam = make_camera(prepare=True, **params)
    assert (folder / "_processed").is_dir() is created
    assert cam._processed_dir == (folder / "_processed" if created else None)


@pytest.mark.parametrize("value", [None, "", 0, []], ids=["none", "empty-text", "zero", "empty-list"])
def test_false_processed_dir_selects_the_default(make_camera, folder, value):
    cam = make_camera(prepare=True, processed_dir=value)
    assert cam._processed_dir == folder / "_processed" and cam._processed_dir.is_dir()


def test_processed_dir_parameter_is_created_with_parents(make_camera, tmp_path):
    target = tmp_path / "out" / "deep" / "done"
    cam = make_camera(prepare=True, processed_dir=str(target))
    assert target.is_dir()
    assert cam._processed_dir == target


def test_existing_processed_dir_is_left_unchanged(make_camera, tmp_path):
    target = tmp_path / "done"
    target.mkdir()
    (target / "old.png").write_bytes(b"x")
    make_camera(prepare=True, processed_dir=target)
    assert [p.name for p in target.iterdir()] == ["old.png"]


def test_processed_dir_blocked_by_a_file_raises_the_host_error(make_camera, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.write_bytes(b"")
    cam = make_camera(processed_dir=str(blocker))
    with pytest.raises(FileExistsError):
        cam._prepare()
    assert cam._processed_dir == blocker


@pytest.mark.parametrize(("extensions", "expected"), [
    pytest.param(None, {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}, id="absent"),
    pytest.param([], {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}, id="empty"),
    pytest.param(["PNG", ".Jpg", "tif", "png"], {".png", ".jpg", ".tif"}, id="normalised"),
])
def test_extensions_are_normalised(make_camera, extensions, expected):
    assert make_camera(extensions=extensions)._extensions == expected


def test_default_extensions_are_the_module_set(make_camera):
    assert make_camera()._extensions is dropnest._EXTS


def test_non_text_extension_fails_on_read(make_camera):
    with pytest.raises(AttributeError):
        _ = make_camera(extensions=[5])._extensions


def test_close_then_open_starts_with_empty_records(make_camera, folder):
    cam = make_camera(poll_ms="50")
    cam.open()
    cam._seen.add("x")
    cam._sizes["y"] = (1, 2.0)
    cam._decode_fails["z"] = 1
    cam.close()
    assert cam._folder is None
    assert (cam._seen, cam._sizes, cam._decode_fails) == (set(), {}, {})
    cam._seen.add("x")
    cam.open()
    assert cam._folder == Path(str(folder))
    assert cam._seen == set()
    cam.close()


class _Recording(dict):
    """Parameters that record how each key is asked for."""

    calls: list[tuple]

    def get(self, *args):
        self.calls.append(args)
        return super().get(*args)


def test_defaults_table_is_read_at_each_use(make_camera, folder, monkeypatch):
    (folder / "a.png").write_bytes(b"x")
    cam = make_camera(prepare=True)
    assert not cam._is_ready(folder / "a.png")
    monkeypatch.setitem(dropnest._DEFAULTS, "ready_policy", "none")
    monkeypatch.setitem(dropnest._DEFAULTS, "after", "KEEP")
    assert cam._is_ready(folder / "a.png")
    assert cam._after == "keep"
    assert cam.max_queue == dropnest._DEFAULTS["max_queue"]  # the base's own default agrees with the table


def test_keys_without_a_default_are_read_without_one(folder):
    params = _Recording(path=str(folder))
    params.calls = []
    cam = dropnest.DropnestCamera(params)
    cam._prepare()
    assert cam._extensions is dropnest._EXTS
    assert params.calls == [("path",), ("stable_ms", 300), ("poll_ms", 100), ("max_pixels", 250_000_000),
                            ("sentinel_ext", ".done"), ("sentinel_ext", ".done"), ("after", "move"),
                            ("processed_dir",), ("extensions",)]
    cam._release()
