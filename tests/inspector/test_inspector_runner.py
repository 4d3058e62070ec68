"""The inspector on the real runner: a bundle trained on generated good boards, taught, then used."""

from __future__ import annotations

import numpy as np
import pytest

from qorva.demo import synthetic
from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.inspector import NorimInspector
from qorva.inspection.modules.norim.runner.storage import loaded
from qorva.schemas.common import Verdict


@pytest.fixture(scope="module")
def trained_home(tmp_path_factory):
    home = tmp_path_factory.mktemp("norim-home")
    runner.train("BOARD", synthetic.good_images("assembly", 12, seed=11, size=128), home=home, backbone="none")
    return home


@pytest.fixture
def home(trained_home, monkeypatch):
    monkeypatch.setenv("QORVA_HOME", str(trained_home))
    loaded.clear()
    yield trained_home
    loaded.clear()


def test_taught_bundle_passes_good_and_rejects_obvious_defect(home):
    norim = NorimInspector()
    state = norim.teach(synthetic.good_images("assembly", 8, seed=12, size=128), {"product_id": "BOARD"})
    assert state.params["weights"] == "BOARD" and state.params["device"] == "cpu"
    assert np.isfinite(state.threshold)

    good = synthetic.good_image("assembly", seed=13, size=128)
    ok = norim.inspect(good, state)
    assert ok.verdict is Verdict.OK, ok

    defect = good.copy()
    defect[30:80, 30:80] = (0, 0, 0)
    ng = norim.inspect(defect, state)
    assert ng.verdict is Verdict.NG, ng
    assert ng.overlay.shape == defect.shape
    assert ng.details["ratio_over_threshold"] > 1.0


def test_missing_bundle_names_what_to_train(home):
    with pytest.raises(ValueError, match="norim/OTHER/ 번들을 먼저 생성하세요") as info:
        NorimInspector().teach(synthetic.good_images("assembly", 2, seed=12, size=128), {"product_id": "OTHER"})
    assert isinstance(info.value.__cause__, runner.NorimError)
