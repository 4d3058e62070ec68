"""A tiny trained and taught product, built once per session, copied for each test that needs it."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import pytest
from clitools import PRODUCT, goods, write_images

from qorva.inspection.modules.norim import runner


@pytest.fixture(scope="session")
def built(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Home with PRODUCT trained and taught, plus folders of teach images; copy it before changing anything."""
    from qorva.inspection.modules.norim.inspector import NorimInspector
    from qorva.store import save_state

    root = tmp_path_factory.mktemp("cli")
    home = root / "home"
    previous = os.environ.get("QORVA_HOME")
    os.environ["QORVA_HOME"] = str(home)
    try:
        runner.train(PRODUCT, goods(8, seed=1), home=home)
        teach = goods(8, seed=2)
        write_images(root / "teach", teach, "t")
        save_state(home, NorimInspector().teach(teach, {"product_id": PRODUCT}))
    finally:
        if previous is None:
            os.environ.pop("QORVA_HOME", None)
        else:
            os.environ["QORVA_HOME"] = previous
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
