"""Headless Chromium from the system's packages (Debian's `chromium`), for tests that look at a page."""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest


def chromium() -> str:
    """The browser's path; the test is skipped, saying why, when it is not installed."""
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("headless Chromium is not installed (apt-get install chromium; .ci/run installs it)")
    raise AssertionError  # unreachable: skip raises


def run(url: str, *args: str, width: int = 1280, height: int = 900, budget_ms: int = 3000) -> str:
    """Load `url` and let its scripts run for `budget_ms` of virtual time; returns the DOM as it then is."""
    cmd = [
        chromium(), "--headless", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
        f"--window-size={width},{height}", f"--virtual-time-budget={budget_ms}", *args,
    ]
    if not any(a.startswith("--screenshot") for a in args):
        cmd.append("--dump-dom")
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        cmd.append("--no-sandbox")  # Chromium refuses to run as root with its sandbox
    done = subprocess.run([*cmd, url], capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    return done.stdout


def screenshot(url: str, path: Path, **kw: int) -> Path:
    run(url, f"--screenshot={path}", **kw)
    return path


class Page:
    """A page open in headless Chromium, driven over the DevTools protocol on a pipe (no port, no download):
    Chromium reads commands from its fd 3 and writes answers to its fd 4, NUL-terminated JSON."""

    def __init__(self, url: str, width: int = 1280, height: int = 900) -> None:
        import fcntl  # POSIX: the suite's browser tests run on Linux

        to_child, self._w = os.pipe()
        self._r, from_child = os.pipe()

        def plumb() -> None:  # in the child, before exec: the protocol's fixed descriptors
            # Out of the way first: a pipe end may itself be fd 3 or 4, and dup2 onto itself would keep its
            # close-on-exec flag.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_child, from_child)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        cmd = [chromium(), "--headless", "--disable-gpu", "--no-first-run", "--remote-debugging-pipe",
               f"--window-size={width},{height}", "about:blank"]
        if hasattr(os, "geteuid") and os.geteuid() == 0:
            cmd.append("--no-sandbox")
        self._proc = subprocess.Popen(cmd, preexec_fn=plumb, close_fds=False, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child)
        os.close(from_child)
        self._buf = b""
        self._id = 0
        target = self._call("Target.createTarget", {"url": url})["targetId"]
        self._session = self._call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def _call(self, method: str, params: dict | None = None, session: str | None = None) -> dict:
        self._id += 1
        message = {"id": self._id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._w, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self._buf:
                chunk = os.read(self._r, 1 << 16)
                if not chunk:
                    msg = f"chromium closed the protocol pipe during {method}"
                    raise RuntimeError(msg)
                self._buf += chunk
            raw, self._buf = self._buf.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._id:
                if "error" in answer:
                    msg = f"{method}: {answer['error']}"
                    raise RuntimeError(msg)
                return answer["result"]

    def evaluate(self, expression: str) -> object:
        result = self._call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, self._session)
        return result["result"].get("value")

    def screenshot(self, path: Path) -> Path:
        data = self._call("Page.captureScreenshot", {"format": "png"}, self._session)["data"]
        path.write_bytes(base64.b64decode(data))
        return path

    def close(self) -> None:
        self._proc.terminate()
        self._proc.wait(10)
        os.close(self._w)
        os.close(self._r)
