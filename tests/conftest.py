"""Suite-wide fixtures: no test may leave a thread running."""

from __future__ import annotations

import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from helpers import wait_until  # noqa: E402


@pytest.fixture(autouse=True)
def no_thread_leak():
    """Fails the test when a thread it started is still alive shortly after it ends."""
    before = set(threading.enumerate())
    yield
    def leaked() -> list[threading.Thread]:
        return [t for t in threading.enumerate() if t not in before and t.is_alive()]
    if not wait_until(lambda: not leaked(), timeout=5.0):
        names = ", ".join(t.name for t in leaked())
        pytest.fail(f"test left threads running: {names}")
