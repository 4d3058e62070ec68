"""Headless Chromium from the system's packages (Debian's `chromium`), for tests that look at a page."""

from __future__ import annotations

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
