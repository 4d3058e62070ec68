"""The extension against the plain-Python camera: the same files, configurations and clock through both."""

from __future__ import annotations

import logging
import os
import zlib
from pathlib import Path

import cv2
import numpy as np
import pytest

from folder_ops import Vanishing
from helpers import CAMERA_LOGGER, image, png_bytes
from qorva.io.camera import dropnest
from reference import camera as reference

PNG = png_bytes(image(1))
PNG2 = png_bytes(image(2, (5, 7, 4)))  # four channels: emitted as three


def run(cls, root: Path, params: dict, steps: list, caplog, monkeypatch) -> dict:
    """Runs `steps` on a camera of class `cls` over root/in; returns everything an observer can see."""
    folder = root / "in"
    folder.mkdir(parents=True)
    now = [1_733_580_000.123]
    monkeypatch.setattr("time.time", lambda: now[0])
    cam = cls({"path": str(folder), **params})
    frames: list = []

    def emit(img, meta):
        frames.append((img.shape, zlib.crc32(img.tobytes()), sorted(meta.items())))
        if len(frames) == 2:  # ends a running receive loop before its next candidate
            cam._rx_stop.set()

    cam._emit = emit
    caplog.clear()
    out: dict = {"passes": []}
    try:
        for op, *args in steps:
            if op == "write":
                (folder / args[0]).write_bytes(args[1])
            elif op == "append":
                with (folder / args[0]).open("ab") as fh:
                    fh.write(args[1])
            elif op == "processed":
                (folder / "_processed").mkdir(exist_ok=True)
                (folder / "_processed" / args[0]).write_bytes(b"older")
            elif op == "clock":
                now[0] += args[0]
            elif op == "prepare":
                cam._prepare()
            elif op == "time":
                os.utime(folder / args[0], (args[1], args[1]))
            elif op == "gone-when-listed":  # listed, then gone before its time is read
                cam._seen = Vanishing(cam._seen, (folder / args[0]).unlink)
            elif op == "vanish":  # listed, then gone before it is read
                listed = cam._scan()
                for p in listed:
                    p.unlink()
                out["passes"].append([(p.name, cam._consume(p)) for p in listed])
            elif op == "pass":
                out["passes"].append([(p.name, cam._consume(p)) for p in cam._scan()])
            elif op == "loop":
                cam._receive_loop()
    except Exception as exc:  # noqa: BLE001 - the error itself is what is compared
        out["raised"] = (type(exc).__name__, str(exc))
    text = str(folder)
    out["frames"] = [(s, crc, [(k, v.replace(text, "<in>")) for k, v in meta]) for s, crc, meta in frames]
    out["logs"] = [(r.levelno, r.getMessage().replace(text, "<in>")) for r in caplog.records if r.name == CAMERA_LOGGER]
    out["files"] = sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))
    out["seen"] = sorted(s.replace(text, "<in>") for s in cam._seen)
    out["sizes"] = sorted((k.replace(text, "<in>"), v) for k, v in cam._sizes.items())
    out["fails"] = sorted((k.replace(text, "<in>"), v) for k, v in cam._decode_fails.items())
    out["attempts"] = sorted((k.replace(text, "<in>"), v[2:]) for k, v in cam._attempts.items())
    return out


NONE = {"ready_policy": "none"}
LONG = "a" * 247 + ".png"  # its marker's name, 256 bytes, is longer than file systems allow
SITUATIONS = [
    pytest.param({}, [("prepare",), ("write", "a.png", PNG[:40]), ("pass",), ("append", "a.png", PNG[40:]),
                      ("pass",), ("clock", 0.2), ("pass",), ("clock", 0.2), ("pass",)], id="half-written"),
    pytest.param({"stable_ms": "0"}, [("prepare",), ("write", "a.png", b""), ("pass",), ("write", "a.png", PNG),
                                      ("pass",), ("pass",)], id="empty-then-complete-stable-0"),
    pytest.param({"ready_policy": "Sentinel"}, [("prepare",), ("write", "a.png", PNG), ("write", "b.png", PNG),
                                                ("write", "a.png.done", b""), ("pass",)], id="marker-present"),
    pytest.param({"ready_policy": "sentinel", "sentinel_ext": "done"},
                 [("prepare",), ("write", "a.png", PNG), ("write", "a.pngdone", b""), ("pass",)],
                 id="marker-without-dot"),
    pytest.param(NONE, [("prepare",), ("processed", "a.png"), ("write", "a.png", PNG), ("write", "a.png.done", b""),
                        ("pass",)], id="name-taken"),
    pytest.param(NONE, [("prepare",), ("write", "bad.png", b"not an image"), ("pass",), ("pass",), ("pass",),
                        ("pass",)], id="undecodable-excluded-after-3"),
    pytest.param({**NONE, "max_decode_retries": "1"}, [("prepare",), ("write", "bad.png", b""), ("pass",)],
                 id="empty-file-retries-as-text"),
    pytest.param(NONE, [("prepare",), ("write", "a.png", PNG), ("vanish",)], id="vanished-before-read"),
    pytest.param(NONE, [("prepare",), *[op for i, n in enumerate("cba") for op in (
                            ("write", f"{n}.png", PNG), ("time", f"{n}.png", 1_700_000_000 + i))],
                        ("gone-when-listed", "b.png"), ("pass",), ("pass",)], id="gone-between-listing-and-times"),
    pytest.param({**NONE, "after": "DELETE"}, [("prepare",), ("write", "a.png", PNG2), ("write", "a.png.done", b""),
                                                ("pass",)], id="delete-with-marker"),
    pytest.param({**NONE, "after": "archive"}, [("prepare",), ("write", "a.png", PNG), ("pass",), ("pass",)],
                 id="unknown-mode-keeps"),
    pytest.param({**NONE, "extensions": ["PNG", "tif"]}, [("prepare",), ("write", "a.PNG", PNG),
                                                          ("write", "b.jpg", PNG), ("pass",)], id="custom-extensions"),
    pytest.param({**NONE, "sentinel_ext": "/x"}, [("prepare",)], id="invalid-marker-suffix-refused"),
    pytest.param({"sentinel_ext": "x\0"}, [("prepare",)], id="nul-in-marker-refused"),
    pytest.param({"stable_ms": "soon"}, [("prepare",)], id="stable-ms-not-a-number-refused"),
    pytest.param({"stable_ms": "nan"}, [("prepare",)], id="stable-ms-nan-refused"),
    pytest.param({"poll_ms": float("inf")}, [("prepare",)], id="poll-ms-inf-refused"),
    pytest.param({"max_pixels": 0}, [("prepare",)], id="max-pixels-0-refused"),
    pytest.param({"max_pixels": 1e300}, [("prepare",), ("write", "a.png", PNG), ("clock", 1), ("pass",)],
                 id="max-pixels-huge-float"),
    pytest.param({"ready_policy": "sentinel"}, [("prepare",), ("write", LONG, PNG), ("pass",), ("pass",)],
                 id="marker-name-too-long-is-not-ready"),
    pytest.param({**NONE, "after": "delete"}, [("prepare",), ("write", LONG, PNG), ("pass",)],
                 id="delete-long-name-quietly"),
    pytest.param(NONE, [("prepare",), ("write", LONG, PNG), ("pass",)], id="move-long-name-quietly"),
    pytest.param({**NONE, "max_pixels": 191}, [("prepare",), ("write", "a.png", PNG), ("pass",), ("pass",)],
                 id="over-the-pixel-cap"),
    pytest.param({**NONE, "max_pixels": "1"}, [("prepare",), ("write", "a.png", b"x" * 65545), ("pass",)],
                 id="over-the-byte-cap"),
    pytest.param(NONE, [("prepare",), ("write", "a.png", PNG[:60]), ("pass",), ("pass",),
                        ("append", "a.png", PNG[60:]), ("pass",)], id="cut-png-waits"),
    pytest.param({"ready_policy": "sentinel"}, [("prepare",), ("write", "a.png", PNG[:60]),
                                                ("write", "a.png.done", b""), ("pass",), ("pass",),
                                                ("append", "a.png", PNG[60:]), ("pass",)], id="stale-marker-waits"),
    pytest.param(NONE, [("prepare",), ("write", "a.png", b"junk"), ("pass",), ("append", "a.png", b"more"),
                        ("pass",), ("pass",), ("pass",)], id="failure-of-a-changed-file-not-counted"),
    pytest.param({**NONE, "poll_ms": 5}, [("prepare",), ("write", "a.png", PNG), ("write", "b.png", PNG),
                                          ("write", "c.png", PNG), ("loop",)], id="loop-stops-before-next-file"),
    pytest.param({**NONE, "after": "keep"}, [("write", "a.png", PNG), ("pass",)], id="scan-before-prepare"),
]


@pytest.mark.parametrize(("params", "steps"), SITUATIONS)
def test_extension_matches_the_reference(tmp_path, caplog, monkeypatch, params, steps):
    caplog.set_level(logging.DEBUG, logger=CAMERA_LOGGER)
    got = run(dropnest.DropnestCamera, tmp_path / "ext", params, steps, caplog, monkeypatch)
    want = run(reference.DropnestCamera, tmp_path / "ref", params, steps, caplog, monkeypatch)
    assert got == want


OUT_OF_FDS = "the process is out of file descriptors; files are retried, not counted, until some are free"


@pytest.mark.parametrize(("target", "error", "logged"), [
    pytest.param((np, "fromfile"), PermissionError(13, "Permission denied"),
                 "cannot read the file: [Errno 13] Permission denied - not taken after 10 attempts, will keep trying",
                 id="refused-read"),
    pytest.param((cv2, "imdecode"), OSError(24, "Too many open files"),
                 f"cannot read the file: [Errno 24] Too many open files - {OUT_OF_FDS}", id="out-of-fds-decoding"),
])
def test_waiting_reads_are_not_counted_by_either(tmp_path, caplog, monkeypatch, target, error, logged):
    def refuse(*args, **kwargs):
        raise error

    monkeypatch.setattr(*target, refuse)
    steps = [("prepare",), ("write", "a.png", PNG)] + [("pass",)] * 12
    got = run(dropnest.DropnestCamera, tmp_path / "ext", NONE, steps, caplog, monkeypatch)
    assert got == run(reference.DropnestCamera, tmp_path / "ref", NONE, steps, caplog, monkeypatch)
    assert got["passes"] == [[("a.png", False)]] * 12 and got["fails"] == []
    assert got["logs"] == [(logging.WARNING, f"{logged}: <in>/a.png")]


@pytest.mark.parametrize("call", [
    pytest.param(lambda cls, cam, p: cls({}, {}), id="init-extra"),
    pytest.param(lambda cls, cam, p: cls(params={}, path="x"), id="init-unknown-keyword"),
    pytest.param(lambda cls, cam, p: cam._prepare(1), id="prepare"),
    pytest.param(lambda cls, cam, p: cam._release(p), id="release"),
    pytest.param(lambda cls, cam, p: cls._after.fget(cam, 1), id="after"),
    pytest.param(lambda cls, cam, p: cls._extensions.fget(), id="extensions"),
    pytest.param(lambda cls, cam, p: cam._receive_loop(None), id="receive-loop"),
    pytest.param(lambda cls, cam, p: cam._scan(1), id="scan"),
    pytest.param(lambda cls, cam, p: cam._is_ready(), id="is-ready-missing"),
    pytest.param(lambda cls, cam, p: cam._is_ready(p, path=p), id="is-ready-keyword"),
    pytest.param(lambda cls, cam, p: cam._consume(p, p), id="consume"),
    pytest.param(lambda cls, cam, p: cam._decode_failed(p), id="decode-failed-missing"),
    pytest.param(lambda cls, cam, p: cam._decode_failed(p, "r", fpath=p), id="decode-failed-twice"),
    pytest.param(lambda cls, cam, p: cls._dispose(), id="dispose-unbound"),
])
def test_wrong_arguments_raise_the_host_text(call):
    texts = []
    for cls in (dropnest.DropnestCamera, reference.DropnestCamera):
        with pytest.raises(TypeError) as info:
            call(cls, cls(), Path("a.png"))
        texts.append(str(info.value))
    assert texts[0] == texts[1]
