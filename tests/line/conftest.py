"""The line's peers started by fixtures: Debian's mosquitto for the MQTT tests (skipped, saying why, without it)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import peers  # noqa: E402


@pytest.fixture(scope="session")
def broker():
    reason = peers.mosquitto_missing()
    if reason is not None:
        pytest.skip(f"no MQTT broker for this test: {reason}")
    server = peers.Broker().start()
    yield server
    server.close()
