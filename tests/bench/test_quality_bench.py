"""The real-photo evaluation set keeps its promises, and the quality bench runs end to end."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import realset  # noqa: E402
from realset import store, views, visibility  # noqa: E402
from realset.sets import Counts  # noqa: E402

TINY = Counts(train=4, teach=3, good=3, per_kind=2)
TEXTURES = [p for p, info in realset.PRODUCTS.items() if info.family == "texture"]


@pytest.mark.parametrize("product", ["gravel", "coins"])
def test_set_has_the_promised_counts_masks_and_visibility(product):
    gs = realset.generate(product, 1, TINY)
    assert (len(gs.train), len(gs.teach)) == (TINY.train, TINY.teach)
    kinds = [s.kind for s in gs.test]
    assert kinds == ["good"] * TINY.good + [k for k in realset.kinds_of(product) for _ in range(TINY.per_kind)]
    for s in gs.test:
        assert s.image.shape == (256, 256, 3) and s.image.dtype == np.uint8
        assert set(np.unique(s.mask)) <= {0, 255}
        assert (s.mask.any() and s.z >= visibility.THRESHOLD) if s.kind != "good" else not s.mask.any()
    assert "removed_part" in kinds if realset.PRODUCTS[product].family == "object" else "removed_part" not in kinds


def test_make_set_is_deterministic_per_seed_and_splits_differ():
    a = realset.make_set("coffee", 1, "teach", TINY)
    again = realset.make_set("coffee", 1, "teach", TINY)
    assert all(np.array_equal(x[0], y[0]) for x, y in zip(a, again, strict=True))
    assert not np.array_equal(a[0][0], realset.make_set("coffee", 2, "teach", TINY)[0][0])
    assert not np.array_equal(a[0][0], realset.make_set("coffee", 1, "train", TINY)[0][0])


@pytest.mark.parametrize("product", TEXTURES)
def test_training_windows_never_touch_teach_or_test_material(product):
    info = realset.PRODUCTS[product]
    tx, ty, tw, th = info.test_box
    for win in views.plan_windows(info, 1, "train", 40):
        assert win.x + 256 <= tx or win.x >= tx + tw or win.y + 256 <= ty or win.y >= ty + th
    teach = {(w.x, w.y, w.turns, w.mirror) for w in views.plan_windows(info, 1, "teach", 40)}
    test = {(w.x, w.y, w.turns, w.mirror) for w in views.plan_windows(info, 1, "test", 100)}
    assert len(teach) == 40 and len(test) == 100 and not teach & test


def test_defects_on_a_grey_photograph_stay_grey():
    gs = realset.generate("brick", 1, Counts(train=4, teach=4, good=1, per_kind=1))
    for s in gs.test:
        assert np.array_equal(s.image[..., 0], s.image[..., 2]), s.kind


@pytest.mark.parametrize(("delta", "visible"), [(0, False), (3, False), (60, True)], ids=["none", "in-noise", "clear"])
def test_visibility_rule_on_a_spot_in_noise(delta, visible):
    rng = np.random.default_rng(0)
    good = np.clip(128 + rng.normal(0, 8, (256, 256, 1)), 0, 255).repeat(3, 2).astype(np.uint8)
    mask = np.zeros((256, 256), np.uint8)
    mask[120:130, 120:130] = 255
    bad = good.astype(np.int16)
    bad[mask > 0] += delta
    verdict = visibility.judge(np.clip(bad, 0, 255).astype(np.uint8), good, mask, rng)
    assert verdict.visible is visible


def test_cached_set_is_reused_and_a_partial_one_regenerated(tmp_path):
    calls = []

    def make(*args):
        calls.append(args)
        return realset.generate(*args)

    folder = store.ensure_set(tmp_path, "grass", 1, TINY, make=make)
    assert store.ensure_set(tmp_path, "grass", 1, TINY, make=make) == folder and len(calls) == 1
    (folder / "manifest.json").unlink()
    store.ensure_set(tmp_path, "grass", 1, TINY, make=make)
    assert len(calls) == 2
    samples = store.read_test(folder)
    assert [s.kind for s in samples][: TINY.good] == ["good"] * TINY.good
    assert all(s.mask.any() for s in samples[TINY.good :])


def test_quick_evaluation_runs_end_to_end(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            str(BENCH / "bench_quality.py"),
            "--quick",
            "--products",
            "coins",
            "--seed",
            "1",
            "--json",
            "--cache",
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    (row,) = json.loads(done.stdout)["rows"]
    assert "error" not in row, row
    assert set(row["kinds"]) == set(realset.OBJECT_KINDS)
    assert 0 <= row["image_auroc"] <= 1 and 0 <= row["fp_rate"] <= 1
    assert row["n_good"] == realset.QUICK.good and row["bundle_mb"] > 0


def test_evaluate_gives_the_quality_bench_figures_on_the_same_images(tmp_path, monkeypatch):
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "QORVA_HOME"):
        monkeypatch.setenv(var, "1")  # what importing the bench and running it set, restored after the test
    import bench_quality

    row = bench_quality.evaluate("assembly", 1, realset.QUICK, tmp_path / "sets", tmp_path, ("--backbone", "none"))
    assert "error" not in row, row
    fig = bench_quality.evaluate_cli(row, tmp_path)
    assert fig["n_good"] == row["n_good"] and set(fig["folders"]) == set(row["kinds"])
    assert bench_quality.evaluate_differs(row, fig) == []
