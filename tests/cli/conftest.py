"""A tiny trained and taught product, built once per session, copied for each test that needs it."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

from clitools import PRODUCT, goods, write_images
from qorva import calibration, versions
from qorva.home import use as use_home
from qorva.inspection.modules.norim import runner


@pytest.fixture(scope="session")
def built(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Home with PRODUCT trained and taught, plus folders of teach images; copy it before changing anything."""
    from qorva.inspection.modules.norim.inspector import NorimInspector

    root = tmp_path_factory.mktemp("cli")
    with use_home(root / "home") as home:
        runner.train(PRODUCT, goods(8, seed=1), home=home, backbone="none")
        teach = goods(8, seed=2)
        write_images(root / "teach", teach, "t")
        state = NorimInspector().teach(teach, {"product_id": PRODUCT})
        versions.save_taught(home, state, calibration.record(state, [], home, version=1))
    return root


@pytest.fixture
def home(built: Path, tmp_path: Path) -> Path:
    """A private copy of the taught home."""
    dest = tmp_path / "home"
    shutil.copytree(built / "home", dest)
    return dest


@pytest.fixture
def teach_dir(built: Path) -> Path:
    return built / "teach"
