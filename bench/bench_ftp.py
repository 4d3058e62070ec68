"""Throttled FTP uploads into the camera's folder at its default settings: every image exactly once, whole.

A local FTP server (pyftpdlib, loopback only) receives each upload at 200 KB/s through a throttled
data channel, writing the final name directly, as smart cameras do. Ten ftplib connections and one
`curl -T --limit-rate 200k` upload 300 PNG images of 640x480 (about 510 KB each, all different)
while the camera watches the folder with its defaults (stable policy, stable_ms 300, poll_ms 100,
max_decode_retries 3, after move). The throttle pauses an upload for longer than stable_ms, so the
camera reads many files before they are whole: those reads must wait, not count as failures.
Prints how many images were delivered, duplicated, missing or differing from what was sent, and what
the camera did with the partial reads.

    pip install pyftpdlib                   # not a dependency of qorva
    python bench/bench_ftp.py               # 300 images, about 70 s
    python bench/bench_ftp.py --files 60 --json
"""

from __future__ import annotations

import argparse
import ftplib
import json
import logging
import queue
import shutil
import subprocess
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import cv2
import numpy as np

from _common import versions  # noqa: I001  (first: it sets the import paths)
from qorva.io.camera.dropnest import DropnestCamera

RATE = 200 * 1024  # bytes per second and upload
CLIENTS = 10


def image(seed: int) -> np.ndarray:
    """A 640x480 gradient with sensor noise: about 510 KB as PNG, different for every seed."""
    rng = np.random.default_rng(seed)
    img = np.tile(np.linspace(40, 200, 640, dtype=np.float32), (480, 1))[..., None].repeat(3, axis=2)
    return np.clip(img + rng.normal(0, 3.7, img.shape), 0, 255).astype(np.uint8)


def start_server(home: Path) -> tuple[int, threading.Event, threading.Thread]:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.servers import FTPServer

    auth = DummyAuthorizer()
    auth.add_user("cam", "cam", str(home), perm="elradfmw")
    dtp = type("Throttled", (ThrottledDTPHandler,), {"read_limit": RATE})
    handler = type("Handler", (FTPHandler,), {"authorizer": auth, "dtp_handler": dtp, "passive_ports": None})
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    stop = threading.Event()

    def run() -> None:
        while not stop.is_set():
            server.serve_forever(timeout=0.05, blocking=False, handle_exit=False)
        server.close_all()

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return port, stop, t


def ftplib_client(port: int, jobs: queue.Queue) -> None:
    with ftplib.FTP() as ftp:
        ftp.connect("127.0.0.1", port)
        ftp.login("cam", "cam")
        while True:
            try:
                path = jobs.get_nowait()
            except queue.Empty:
                return
            with path.open("rb") as fh:
                ftp.storbinary(f"STOR {path.name}", fh)


def curl_client(port: int, jobs: queue.Queue) -> None:
    while True:
        try:
            path = jobs.get_nowait()
        except queue.Empty:
            return
        subprocess.run(["curl", "-sS", "-T", str(path), "--limit-rate", "200k", "--user", "cam:cam",
                        f"ftp://127.0.0.1:{port}/{path.name}"], check=True, timeout=120)


class Counts(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.counts: Counter[str] = Counter()

    def emit(self, record: logging.LogRecord) -> None:
        msg = record.getMessage()
        for key in ("ends before its image", "not counted", "재시도", "excluded", "set aside", "not taken after"):
            if key in msg:
                self.counts[key] += 1


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=300)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    ftp_log = logging.getLogger("pyftpdlib")  # configured, so the server does not log each session itself
    ftp_log.addHandler(logging.NullHandler())
    ftp_log.propagate = False
    counts = Counts()
    log = logging.getLogger("qorva.camera.dropnest")
    log.addHandler(counts)
    log.setLevel(logging.DEBUG)
    with tempfile.TemporaryDirectory() as tmp:
        source, drop = Path(tmp, "source"), Path(tmp, "drop")
        source.mkdir()
        drop.mkdir()
        sent: dict[str, np.ndarray] = {}
        jobs: queue.Queue = queue.Queue()
        for i in range(args.files):
            name = f"part{i:04d}.png"
            sent[name] = image(i)
            (source / name).write_bytes(cv2.imencode(".png", sent[name])[1].tobytes())
            jobs.put(source / name)
        mean_kb = sum(p.stat().st_size for p in source.iterdir()) / args.files / 1024
        port, stop, server = start_server(drop)
        cam = DropnestCamera({"path": str(drop)})
        cam.open()
        t0 = time.perf_counter()
        clients = [threading.Thread(target=ftplib_client, args=(port, jobs)) for _ in range(CLIENTS)]
        if shutil.which("curl"):
            clients.append(threading.Thread(target=curl_client, args=(port, jobs)))
        for c in clients:
            c.start()
        got: Counter[str] = Counter()
        differing = 0
        while len(got) < args.files:
            frame = cam.read(timeout=15)
            if frame is None:
                break
            img, meta = frame
            got[meta["source_file"]] += 1
            differing += not np.array_equal(img, sent[meta["source_file"]])
        elapsed = time.perf_counter() - t0
        for c in clients:
            c.join()
        late = cam.read(timeout=2)  # a duplicate would come now
        if late is not None:
            got[late[1]["source_file"]] += 1
        cam.close()
        stop.set()
        server.join(timeout=5)
    result = {
        "files": args.files, "mean_kb": round(mean_kb), "clients": len(clients),
        "delivered_once": sum(1 for n in got.values() if n == 1), "duplicated": sum(1 for n in got.values() if n > 1),
        "missing": args.files - len(got), "differing": differing, "seconds": round(elapsed, 1),
        "camera_log": dict(counts.counts), "versions": versions(),
    }
    if args.json:
        print(json.dumps(result, indent=2, ensure_ascii=False))
        return
    print(f"throttled FTP uploads ({RATE // 1024} KB/s each, {result['clients']} connections, "
          f"{args.files} PNG of about {result['mean_kb']} KB) into the camera at its defaults: {versions()}")
    print(f"  delivered exactly once and pixel-equal: {result['delivered_once'] - differing} of {args.files} "
          f"(duplicated {result['duplicated']}, missing {result['missing']}, differing {differing}) "
          f"in {result['seconds']} s")
    print(f"  partial reads that waited: {counts.counts['ends before its image']}; "
          f"counted failures: {counts.counts['재시도'] + counts.counts['excluded']}; "
          f"set aside: {counts.counts['excluded'] + counts.counts['set aside']}")


if __name__ == "__main__":
    main()
