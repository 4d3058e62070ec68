"""Suite-wide fixtures: no test may leave a thread running; bundles are weight-free unless a test asks."""

from __future__ import annotations

import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from helpers import wait_until  # noqa: E402


@pytest.fixture(autouse=True)
def weight_free_by_default(request, monkeypatch):
    """Tests train the weight-free model (seconds per bundle) unless marked `pretrained`; the pretrained model has
    tests of its own, and training it takes 10-30 s."""
    if request.node.get_closest_marker("pretrained") is None:
        from qorva.inspection.modules.norim.runner import choices

        monkeypatch.setattr(choices, "DEFAULT_BACKBONE", "none")


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


@pytest.fixture(scope="session")
def postgres():
    """A PostgreSQL server of the session (Debian's package), or a skip that says what is missing."""
    import pgserver

    reason = pgserver.missing()
    if reason is not None:
        pytest.skip(f"no PostgreSQL server for this test: {reason}")
    server = pgserver.Server().start()
    yield server
    server.close()
