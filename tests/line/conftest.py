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


@pytest.fixture(scope="session")
def built(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A home with the command-line tests' product trained and taught (weight-free, seconds)."""
    from clitools import PRODUCT, goods
    from qorva.home import use as use_home
    from qorva.inspection.modules.norim import runner
    from qorva.inspection.modules.norim.inspector import NorimInspector
    from qorva.products import save_state

    root = tmp_path_factory.mktemp("line")
    with use_home(root / "home") as home:
        runner.train(PRODUCT, goods(8, seed=1), home=home, backbone="none")
        save_state(home, NorimInspector().teach(goods(8, seed=2), {"product_id": PRODUCT}))
    return root / "home"


@pytest.fixture
def home(built: Path, tmp_path: Path) -> Path:
    """A private copy of the taught home."""
    import shutil

    shutil.copytree(built, tmp_path / "home")
    return tmp_path / "home"
