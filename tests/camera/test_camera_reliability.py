"""The camera on its real receiver thread: concurrent senders, failures of the folder, fuzz."""

from __future__ import annotations

import contextlib
import logging
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import cv2
import numpy as np
import pytest

from helpers import image, png_bytes, records, wait_until
from qorva.io.camera import dropnest


def drain(cam, want: int, timeout: float = 20.0) -> list:
    """Reads frames until `want` arrived or nothing came for `timeout` seconds."""
    frames = []
    while len(frames) < want:
        frame = cam.read(timeout=timeout)
        if frame is None:
            break
        frames.append(frame)
    return frames


def write_stable(folder: Path, name: str, data: bytes, rng: random.Random) -> None:
    with (folder / name).open("wb") as fh:
        cuts = sorted(rng.sample(range(1, len(data)), 3))
        for lo, hi in zip([0, *cuts], [*cuts, len(data)], strict=True):
            fh.write(data[lo:hi])
            fh.flush()
            time.sleep(rng.uniform(0.0, 0.004))


def write_sentinel(folder: Path, name: str, data: bytes, rng: random.Random) -> None:
    write_stable(folder, name, data, rng)
    (folder / f"{name}.done").write_bytes(b"")


def write_renamed(folder: Path, name: str, data: bytes, rng: random.Random) -> None:
    tmp = folder / f"{name}.part"
    tmp.write_bytes(data)
    tmp.replace(folder / name)


SENDERS = {"stable": write_stable, "sentinel": write_sentinel, "none": write_renamed}


@pytest.mark.parametrize(("policy", "after"), [("stable", "move"), ("sentinel", "delete"), ("none", "keep")])
def test_concurrent_senders_each_file_once_and_whole(make_camera, folder, tmp_path, policy, after):
    writers, per_writer = 4, 200
    expected: dict[str, np.ndarray] = {}
    payloads: dict[str, bytes] = {}
    for w in range(writers):
        for i in range(per_writer):
            name = f"w{w}_{i:04d}.png"
            img = image(w * 1000 + i, (10, 14, 3))
            expected[name] = img
            payloads[name] = png_bytes(img)
    done = tmp_path / "done"
    cam = make_camera(ready_policy=policy, after=after, processed_dir=str(done), stable_ms=120, poll_ms=5,
                      max_queue=3)
    cam.open()

    def send(w: int) -> None:
        rng = random.Random(w)
        for i in range(per_writer):
            name = f"w{w}_{i:04d}.png"
            SENDERS[policy](folder, name, payloads[name], rng)

    threads = [threading.Thread(target=send, args=(w,)) for w in range(writers)]
    for t in threads:
        t.start()
    frames = drain(cam, len(expected))
    for t in threads:
        t.join()
    assert wait_until(lambda: cam.pending() == 0 and cam._folder is not None, timeout=10)
    extra = cam.read(timeout=0.3)
    cam.close()
    assert extra is None
    names = [meta["source_file"] for _, meta in frames]
    assert sorted(names) == sorted(expected), "every file exactly once"
    for img, meta in frames:
        np.testing.assert_array_equal(img, expected[meta["source_file"]])
    left = sorted(p.name for p in folder.iterdir())
    if after == "move":
        assert left == [] and sorted(p.name for p in done.iterdir()) == sorted(expected)
    elif after == "delete":
        assert left == []
    else:
        assert left == sorted(expected)


def test_folder_removed_and_recreated(make_camera, folder, tmp_path, camlog):
    cam = make_camera(ready_policy="none", poll_ms=5, processed_dir=str(tmp_path / "done"))
    cam.open()
    (folder / "a.png").write_bytes(png_bytes(image(1)))
    assert drain(cam, 1)[0][1]["source_file"] == "a.png"
    # The frame is buffered before the file is moved: let the move finish before the folder goes.
    assert wait_until(lambda: (tmp_path / "done" / "a.png").exists(), timeout=10)
    shutil.rmtree(folder)
    assert wait_until(lambda: any("cannot list" in m for _, m in records(camlog)), timeout=10)
    folder.mkdir()
    (folder / "b.png").write_bytes(png_bytes(image(2)))
    assert drain(cam, 1)[0][1]["source_file"] == "b.png"
    assert cam.error is None
    cam.close()


def test_bad_files_are_set_aside_and_the_loop_goes_on(make_camera, folder, camlog):
    (folder / "corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    (folder / "empty.jpg").write_bytes(b"")
    cam = make_camera(ready_policy="none", poll_ms=5, max_decode_retries=2)
    cam.open()
    assert wait_until(lambda: len(cam._seen) == 2, timeout=10)
    (folder / "good.png").write_bytes(png_bytes(image(3)))
    assert drain(cam, 1)[0][1]["source_file"] == "good.png"
    cam.close()
    assert sorted(p.name for p in folder.iterdir()) == ["_processed", "corrupt.png", "empty.jpg"]
    warnings = [m for lvl, m in records(camlog) if lvl == logging.WARNING]
    assert len(warnings) == 2 and all("excluded after 2 failures" in m for m in warnings)


def test_refused_reads_are_retried_until_allowed(make_camera, folder, monkeypatch, camlog):
    real = np.fromfile
    locked = threading.Event()
    locked.set()
    attempts = []

    def fromfile(path, dtype):
        attempts.append(path)
        if locked.is_set():
            raise PermissionError(13, "Permission denied", path)
        return real(path, dtype=dtype)

    monkeypatch.setattr(np, "fromfile", fromfile)
    (folder / "held.png").write_bytes(png_bytes(image(4)))
    cam = make_camera(poll_ms=5, stable_ms=0)
    cam.open()
    assert wait_until(lambda: len(attempts) >= 15, timeout=10)
    locked.clear()
    assert drain(cam, 1)[0][1]["source_file"] == "held.png"
    cam.close()
    ((level, msg),) = records(camlog)  # once, however long the refusal lasted
    assert level == logging.WARNING
    assert msg.endswith(f"not taken after 10 attempts, will keep trying: {folder / 'held.png'}")


@contextlib.contextmanager
def every_descriptor_taken():
    """The process at its descriptor limit, as slow clients of the live page once held it."""
    import resource  # POSIX only

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    held: list[int] = []
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(soft, sum(1 for _ in Path("/proc/self/fd").iterdir()) + 64), hard))
    try:
        with contextlib.suppress(OSError):
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        yield
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="takes every descriptor through /proc and setrlimit")
@pytest.mark.parametrize("notify", [True, False], ids=["notified", "listing"])
def test_running_out_of_descriptors_sets_no_file_aside(make_camera, folder, camlog, notify):
    f = folder / "a.png"
    f.write_bytes(png_bytes(image(5)))
    cam = make_camera(prepare=True, ready_policy="none", notify=notify, max_decode_retries=1)
    cam._emit = lambda img, meta: None
    assert cam._scan() == [f]
    with every_descriptor_taken():
        listed = [cam._scan() for _ in range(3)]
        taken = [cam._consume(f) for _ in range(3)]
    # The kept listing reads through the folder it holds open; a listing must open it, and retries.
    assert listed == [[f] if notify else []] * 3 and taken == [False] * 3
    assert (cam._decode_fails, cam._seen) == ({}, set())
    assert cam._scan() == [f] and cam._consume(f) is True
    warnings = [m for level, m in records(camlog) if level == logging.WARNING]
    assert [("out of file descriptors" in m, "cannot list" in m) for m in warnings] == (
        [(True, False)] if notify else [(False, True), (True, False), (False, False)])


def test_random_bytes_never_stop_the_loop(make_camera, folder):
    rng = np.random.default_rng(1234)
    samples = []
    for ext in (".png", ".jpg", ".bmp", ".tif"):
        ok, buf = cv2.imencode(ext, image(5, (24, 24, 3)))
        assert ok
        samples.append((ext, buf.tobytes()))
    n = 0
    for ext, whole in samples:
        for _ in range(8):
            cut = int(rng.integers(0, len(whole)))
            (folder / f"cut{n}{ext}").write_bytes(whole[:cut])
            n += 1
            noisy = bytearray(whole)
            for pos in rng.integers(0, len(whole), 6):
                noisy[pos] = int(rng.integers(0, 256))
            (folder / f"flip{n}{ext.upper()}").write_bytes(bytes(noisy))
            n += 1
    for i in range(24):
        ext = [".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"][i % 6]
        (folder / f"rand{i}{ext}").write_bytes(rng.bytes(int(rng.integers(0, 3000))))
    total = len(list(folder.iterdir()))
    cam = make_camera(ready_policy="none", poll_ms=5, max_decode_retries=2, after="keep")
    cam.open()
    frames = []

    def settled() -> bool:
        while (frame := cam.read(timeout=0.01)) is not None:
            frames.append(frame)
        waiting = {k for k, (_, _, incomplete, _) in dict(cam._attempts).items() if incomplete}
        return len(cam._seen | waiting) == total or cam.error is not None

    assert wait_until(settled, timeout=20)
    assert cam.error is None
    cam.close()
    assert all(img.ndim == 3 and img.shape[2] == 3 for img, _ in frames)


def test_open_close_cycles_under_load_lose_nothing(make_camera, folder):
    stop = threading.Event()
    written: list[str] = []

    def sender() -> None:
        i = 0
        while not stop.is_set() and i < 400:
            name = f"f{i:04d}.png"
            write_renamed(folder, name, png_bytes(image(i, (6, 6, 3))), random.Random(i))
            written.append(name)
            i += 1
            time.sleep(0.002)

    cam = make_camera(ready_policy="none", poll_ms=5, max_queue=2)
    t = threading.Thread(target=sender)
    t.start()
    names = []
    try:
        for _ in range(50):
            cam.open()
            names += [meta["source_file"] for _, meta in drain(cam, 3, timeout=0.2)]
            cam.close()
            assert not cam.is_open
    finally:
        stop.set()
        t.join()
    cam.open()
    names += [meta["source_file"] for _, meta in drain(cam, len(written) - len(names), timeout=5)]
    cam.close()
    assert sorted(names) == sorted(written)
    assert dropnest.DropnestCamera.__name__ + "-rx" not in {th.name for th in threading.enumerate()}


EXIT_WITHOUT_CLOSE = """
import sys, time
from qorva.io.camera.dropnest import DropnestCamera
cam = DropnestCamera({"path": sys.argv[1], "after": "keep", "poll_ms": 1, "stable_ms": 1e9})
cam.open()
time.sleep(float(sys.argv[2]))
"""


@pytest.mark.parametrize("linger", [0.05, 0.2, 0.4])
def test_interpreter_exit_with_an_open_camera_is_clean(folder, linger):
    # The host's receiver thread is a daemon; a process that ends without closing the camera
    # must still exit normally rather than crash in the middle of a scan.
    for i in range(500):
        (folder / f"f{i:04d}.png").write_bytes(b"x")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", EXIT_WITHOUT_CLOSE, str(folder), str(linger)],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("policy", ["stable", "sentinel-marker-first"])
def test_senders_pausing_longer_than_stable_ms_lose_nothing(make_camera, folder, policy):
    # Throttled FTP uploads pause longer than stable_ms between chunks, and a stale marker makes a file
    # look finished from its first byte: every partial read must wait, none may count (retries: 1).
    files = {}
    for i, ext in enumerate([".png", ".jpg", ".bmp", ".tif"] * 2):
        ok, buf = cv2.imencode(ext, image(i, (60, 80, 3)))
        files[f"s{i}{ext}"] = buf.tobytes()
    cam = make_camera(ready_policy=policy.split("-")[0], stable_ms=30, poll_ms=5, max_decode_retries=1)
    cam.open()

    def send(name: str, data: bytes) -> None:
        if policy != "stable":
            (folder / f"{name}.done").write_bytes(b"")
        with (folder / name).open("wb") as fh:
            for k in range(5):
                fh.write(data[k * len(data) // 5:(k + 1) * len(data) // 5])
                fh.flush()
                time.sleep(0.1)

    threads = [threading.Thread(target=send, args=item) for item in files.items()]
    for t in threads:
        t.start()
    frames = drain(cam, len(files), timeout=5)
    for t in threads:
        t.join()
    cam.close()
    assert sorted(meta["source_file"] for _, meta in frames) == sorted(files)
    for img, meta in frames:
        whole = cv2.imdecode(np.frombuffer(files[meta["source_file"]], np.uint8), cv2.IMREAD_COLOR)
        np.testing.assert_array_equal(img, whole)
