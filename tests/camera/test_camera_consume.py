"""Consume (read, decode, emit, bounded retries) and post-processing of consumed files."""

from __future__ import annotations

import errno
import logging
import types

import cv2
import numpy as np
import pytest

from helpers import records, write_png
from qorva.io.camera import dropnest

UNDECODABLE = "cannot decode the image (corrupt or unsupported format?)"


@pytest.fixture
def emitted(monkeypatch):
    """Frames handed to `_emit`, captured instead of buffered."""
    got: list[tuple[np.ndarray, dict]] = []
    monkeypatch.setattr(dropnest.DropnestCamera, "_emit", lambda self, img, meta: got.append((img, meta)))
    return got


def test_valid_image_is_emitted_then_moved(make_camera, folder, emitted):
    f = folder / "img001.png"
    expected = write_png(f, seed=1)
    cam = make_camera(prepare=True, ready_policy="none")
    cam._sizes[str(f)] = (1, 0.0)
    cam._decode_fails[str(f)] = 2
    assert cam._consume(f) is True
    ((img, meta),) = emitted
    np.testing.assert_array_equal(img, expected)
    assert list(meta.items()) == [("source_file", "img001.png"), ("source_path", str(f))]
    assert (cam._sizes, cam._decode_fails, cam._seen) == ({}, {}, set())
    assert not f.exists() and (folder / "_processed" / "img001.png").exists()


@pytest.mark.parametrize("shape", [(9, 7), (9, 7, 4)], ids=["grey", "alpha"])
def test_any_png_is_emitted_as_three_channels(make_camera, folder, emitted, shape):
    f = folder / "a.png"
    write_png(f, shape=shape)
    make_camera(prepare=True, ready_policy="none")._consume(f)
    assert emitted[0][0].shape == (9, 7, 3) and emitted[0][0].dtype == np.uint8


def test_not_ready_touches_nothing(make_camera, folder, emitted):
    f = folder / "a.png"
    write_png(f)
    cam = make_camera(prepare=True, ready_policy="sentinel")
    assert cam._consume(f) is False
    assert (emitted, cam._sizes, cam._decode_fails, cam._seen) == ([], {}, {}, set())


def test_records_are_cleared_before_emit_and_disposal_follows_it(make_camera, folder, monkeypatch):
    f = folder / "a.png"
    write_png(f)
    cam = make_camera(prepare=True, ready_policy="none")
    cam._decode_fails[str(f)] = 1
    seen_at_emit = []

    def emit(img, meta):
        seen_at_emit.append((dict(cam._decode_fails), f.exists()))

    cam._emit = emit
    cam._consume(f)
    assert seen_at_emit == [({}, True)]


def test_emit_failure_leaves_the_file_in_place(make_camera, folder):
    f = folder / "a.png"
    write_png(f)
    cam = make_camera(prepare=True, ready_policy="none")
    cam._emit = lambda img, meta: 1 / 0
    with pytest.raises(ZeroDivisionError):
        cam._consume(f)
    assert f.exists() and cam._seen == set()


@pytest.mark.parametrize("content", [b"not an image at all", b""], ids=["corrupt", "zero-length"])
def test_undecodable_file_is_retried_then_excluded(make_camera, folder, emitted, camlog, content):
    f = folder / "bad.png"
    f.write_bytes(content)
    cam = make_camera(prepare=True, ready_policy="none")
    results = [cam._consume(p) for _ in range(4) for p in cam._scan()]
    assert results == [False, False, False]
    assert records(camlog) == [
        (logging.DEBUG, f"{UNDECODABLE} — 재시도 1/3: {f}"),
        (logging.DEBUG, f"{UNDECODABLE} — 재시도 2/3: {f}"),
        (logging.WARNING, f"{UNDECODABLE} - excluded after 3 failures: {f}"),
    ]
    assert f.exists() and str(f) in cam._seen and cam._decode_fails == {str(f): 3}
    assert emitted == []
    cam._release()
    cam._prepare()
    assert cam._scan() == [f] and cam._decode_fails == {}


@pytest.mark.parametrize("limit", [1, 0, -2, 1.9], ids=["one", "zero", "negative", "float-truncated"])
def test_low_retry_limit_excludes_at_once(make_camera, folder, camlog, limit):
    f = folder / "bad.png"
    f.write_bytes(b"junk")
    cam = make_camera(prepare=True, ready_policy="none", max_decode_retries=limit)
    cam._consume(f)
    assert [lvl for lvl, _ in records(camlog)] == [logging.WARNING]
    assert str(f) in cam._seen


def test_retry_limit_as_text(make_camera, folder, camlog):
    f = folder / "bad.png"
    f.write_bytes(b"junk")
    cam = make_camera(prepare=True, ready_policy="none", max_decode_retries="5")
    cam._consume(f)
    assert records(camlog)[0][1].endswith(f"재시도 1/5: {f}")


def test_unconvertible_retry_limit_raises_after_counting(make_camera, folder):
    f = folder / "bad.png"
    f.write_bytes(b"junk")
    cam = make_camera(prepare=True, ready_policy="none", max_decode_retries="many")
    with pytest.raises(ValueError):
        cam._consume(f)
    assert cam._decode_fails == {str(f): 1}


@pytest.mark.parametrize(("limit", "seen"), [(3, False), (1, True)], ids=["retry", "exclusion"])
def test_counted_failure_restarts_stable_timing(make_camera, folder, limit, seen):
    f = folder / "bad.png"
    f.write_bytes(b"junk")
    cam = make_camera(prepare=True, max_decode_retries=limit)
    cam._sizes[str(f)] = (4, 0.0)
    assert cam._consume(f) is False
    assert cam._sizes == {} and cam._decode_fails == {str(f): 1}
    assert (str(f) in cam._seen) is seen


@pytest.mark.parametrize("ext", [".png", ".jpg", ".bmp", ".tif"])
@pytest.mark.parametrize("cut", [0.01, 0.5, -2], ids=["in-header", "half", "last-2-bytes"])
def test_cut_file_is_never_taken_nor_counted(make_camera, folder, emitted, ext, cut):
    # OpenCV 4.10 decodes a JPEG cut after its header at full size: the file's own end decides.
    ok, buf = cv2.imencode(ext, np.random.default_rng(3).integers(0, 256, (40, 30, 3), dtype=np.uint8))
    data = buf.tobytes()
    f = folder / f"a{ext}"
    f.write_bytes(data[: int(len(data) * cut)] if cut > 0 else data[:cut])
    cam = make_camera(prepare=True, ready_policy="none", max_decode_retries=1)
    assert [cam._consume(f) for _ in range(3)] == [False] * 3
    assert (emitted, cam._decode_fails, cam._seen) == ([], {}, set())
    f.write_bytes(data)
    assert cam._consume(f) is True and emitted[0][0].shape == (40, 30, 3) and cam._attempts == {}


def declaring_30000_squared(ext: str) -> bytes:
    """A small valid file whose header is rewritten to declare 30000x30000 pixels (2.7 GB decoded)."""
    data = bytearray(cv2.imencode(ext, np.zeros((8, 8, 3), np.uint8))[1].tobytes())
    if ext == ".png":
        data[16:24] = (30000).to_bytes(4, "big") * 2
    else:
        sof = data.index(b"\xff\xc0")
        data[sof + 5:sof + 9] = (30000).to_bytes(2, "big") * 2
    return bytes(data)


@pytest.mark.parametrize("ext", [".png", ".jpg"])
def test_huge_declared_size_is_set_aside_before_decoding(make_camera, folder, emitted, camlog, monkeypatch, ext):
    f = folder / f"huge{ext}"
    f.write_bytes(declaring_30000_squared(ext))
    monkeypatch.setattr(cv2, "imdecode", lambda *a: pytest.fail("decoded"))
    cam = make_camera(prepare=True, ready_policy="none")
    assert cam._consume(f) is False and cam._seen == {str(f)} and f.exists()
    assert records(camlog) == [(logging.WARNING, "image of 30000x30000 pixels is larger than max_pixels 250000000"
                                                 f" - set aside: {f}")]


@pytest.mark.parametrize("step", ["read", "decode"])
@pytest.mark.parametrize(("error", "logged"), [
    pytest.param(PermissionError(errno.EACCES, "Permission denied"), [], id="refused"),
    pytest.param(OSError(errno.EMFILE, "Too many open files"), [logging.WARNING], id="out-of-descriptors"),
    pytest.param(OSError(errno.ENFILE, "Too many open files in system"), [logging.WARNING], id="system-wide"),
    pytest.param(OSError(errno.EIO, "Input/output error"), [logging.DEBUG] * 2, id="other-counts"),
])
def test_file_system_errors_while_reading_or_decoding(make_camera, folder, emitted, camlog, monkeypatch, step,
                                                      error, logged):
    """Refused, or no descriptor free: not the file's fault, so retried uncounted with its timing kept."""
    f = folder / "a.png"
    write_png(f)
    module, name = (np, "fromfile") if step == "read" else (cv2, "imdecode")
    real, failures = getattr(module, name), [2]

    def flaky(*args, **kwargs):
        if failures[0]:
            failures[0] -= 1
            raise error
        return real(*args, **kwargs)

    monkeypatch.setattr(module, name, flaky)
    cam = make_camera(prepare=True, ready_policy="none")
    cam._sizes[str(f)] = timing = (f.stat().st_size, 0.0)
    assert [cam._consume(f), cam._consume(f)] == [False, False]
    counted = logged == [logging.DEBUG] * 2
    assert (cam._decode_fails, cam._sizes) == (({str(f): 2}, {}) if counted else ({}, {str(f): timing}))
    assert [level for level, _ in records(camlog)] == logged
    assert cam._consume(f) is True and len(emitted) == 1


def test_descriptor_shortage_is_warned_once_per_shortage(make_camera, folder, emitted, camlog, monkeypatch):
    now, short, real = [1000.0], [False], np.fromfile

    def fromfile(path, dtype):
        if short[0]:
            raise OSError(errno.EMFILE, "Too many open files")
        return real(path, dtype=dtype)

    monkeypatch.setattr(np, "fromfile", fromfile)
    monkeypatch.setattr("time.time", lambda: now[0])
    files = [folder / f"{n}.png" for n in "abc"]
    for f in files:
        write_png(f)
    cam = make_camera(prepare=True, ready_policy="none", after="keep")
    # (seconds later, short of descriptors, warnings): a pass over every file each. Files read within a
    # minute of the warning do not end the shortage, so a process hovering at its limit is not a flood.
    for dt, is_short, warnings in [(0, True, 1), (0, True, 0), (30, False, 0), (10, True, 0), (60, False, 0),
                                   (1, True, 1)]:
        now[0] += dt
        short[0] = is_short
        before = len(records(camlog))
        assert [cam._consume(f) for f in files] == [not is_short] * 3
        assert len(records(camlog)) - before == warnings
    assert records(camlog)[0] == (logging.WARNING, "cannot read the file: [Errno 24] Too many open files - the process"
                                  f" is out of file descriptors; files are retried, not counted, until some are free:"
                                  f" {files[0]}")
    assert cam._decode_fails == {} and len(emitted) == 6


def test_vanished_file_is_a_counted_read_failure(make_camera, folder, camlog):
    f = folder / "gone.png"
    cam = make_camera(prepare=True, ready_policy="none")
    assert cam._consume(f) is False
    (msg,) = [m for _, m in records(camlog)]
    assert msg.startswith("cannot read the file: [Errno 2] No such file or directory")
    assert cam._decode_fails == {str(f): 1}


def test_other_decoder_errors_propagate(make_camera, folder, monkeypatch):
    f = folder / "a.png"
    write_png(f)
    monkeypatch.setattr(dropnest, "cv2", types.SimpleNamespace(
        IMREAD_COLOR=cv2.IMREAD_COLOR, error=cv2.error, imdecode=lambda buf, flag: {}["boom"]))
    with pytest.raises(KeyError):
        make_camera(prepare=True, ready_policy="none")._consume(f)


def test_consume_uses_overridden_members(make_camera, folder):
    class Custom(dropnest.DropnestCamera):
        def _is_ready(self, fpath):
            return False

    assert Custom({"path": str(folder)})._consume(folder / "a.png") is False


def test_overridden_failure_and_disposal_hooks_are_honoured(folder, emitted):
    good, bad = folder / "good.png", folder / "bad.png"
    write_png(good)
    bad.write_bytes(b"junk")
    calls = []
    verdict = object()

    class Custom(dropnest.DropnestCamera):
        def _decode_failed(self, fpath, reason):
            calls.append(("failed", fpath.name, reason))
            return verdict

        def _dispose(self, fpath):
            calls.append(("dispose", fpath.name))

    cam = Custom({"path": str(folder), "ready_policy": "none"})
    assert cam._consume(bad) is verdict
    assert cam._consume(good) is True
    assert calls == [("failed", "bad.png", UNDECODABLE), ("dispose", "good.png")]
    assert good.exists() and len(emitted) == 1


def test_logger_is_looked_up_at_each_use(make_camera, folder, monkeypatch, caplog):
    other = logging.getLogger("qorva.tests.elsewhere")
    monkeypatch.setattr(dropnest, "logger", other)
    caplog.set_level(logging.DEBUG, logger=other.name)
    f = folder / "bad.png"
    f.write_bytes(b"junk")
    make_camera(prepare=True, ready_policy="none")._consume(f)
    assert records(caplog, other.name) == [(logging.DEBUG, f"{UNDECODABLE} — 재시도 1/3: {f}")]
