from __future__ import annotations

import json
import os
import shutil

import numpy as np
import pytest

from qorva.inspection.modules.norim import runner
from qorva.inspection.modules.norim.runner.storage import bundle

BAD_NAMES = [
    pytest.param("", id="empty"),
    pytest.param("..", id="dotdot"),
    pytest.param("../P2", id="parent"),
    pytest.param("a/b", id="slash"),
    pytest.param("a\\b", id="backslash"),
    pytest.param("/etc", id="absolute"),
    pytest.param("C:evil", id="drive"),
    pytest.param("a\x00b", id="nul"),
    pytest.param("a\nb", id="newline"),
    pytest.param(".hidden", id="leading-dot"),
    pytest.param("nul", id="reserved"),
    pytest.param(None, id="none"),
]


@pytest.mark.parametrize("name", BAD_NAMES)
def test_unsafe_names_are_refused_everywhere(home, goods, name):
    with pytest.raises(runner.NorimError):
        runner.get_bundle(name)
    with pytest.raises(runner.NorimError):
        runner.purge_train_cache(name)
    with pytest.raises(runner.NorimError):
        runner.train(name, goods[:4])
    if name is not None:  # None means "named after the product"
        with pytest.raises(runner.NorimError):
            runner.train("P1", goods[:4], name=name)
    assert not (home / "products").exists() and not (home / "_train").exists()


def test_unicode_names_are_fine(home, goods):
    runner.train("제품-1", goods[:4], name="라인_ä")
    assert runner.get_bundle("라인_ä")["product_id"] == "제품-1"
    assert (home / "products" / "제품-1" / "norim" / "라인_ä" / "v1" / "bundle.json").is_file()


def test_same_bundle_name_under_two_products_is_ambiguous(trained_home, tmp_path, monkeypatch):
    shutil.copytree(trained_home / "products", tmp_path / "products")
    shutil.copytree(tmp_path / "products" / "P1", tmp_path / "products" / "P2")
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    with pytest.raises(runner.NorimError, match="ambiguous.*P1, P2"):
        runner.get_bundle("P1")


@pytest.fixture
def copied(trained_home, tmp_path, monkeypatch):
    shutil.copytree(trained_home / "products", tmp_path / "products")
    monkeypatch.setenv("QORVA_HOME", str(tmp_path))
    return tmp_path / "products" / "P1" / "norim" / "P1" / "v1"


def _truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def _edit_meta(**changes):
    def edit(bundle):
        meta = json.loads((bundle / "bundle.json").read_text())
        meta.update(changes)
        (bundle / "bundle.json").write_text(json.dumps(meta))

    return edit


def _nan_array(bundle):
    with np.load(bundle / "model.npz") as npz:
        arrays = {k: npz[k] for k in npz.files}
    arrays["norm"][0, 0] = np.nan
    np.savez(bundle / "model.npz", **arrays)


@pytest.mark.parametrize(
    ("damage", "match"),
    [
        pytest.param(lambda b: (b / "bundle.json").unlink(), "no version", id="no-metadata-half-written"),
        pytest.param(lambda b: (b / "model.npz").unlink(), "model.npz", id="no-arrays"),
        pytest.param(lambda b: _truncate(b / "model.npz"), "damaged", id="truncated-arrays"),
        pytest.param(lambda b: (b / "bundle.json").write_text("{"), "cannot read", id="bad-json"),
        pytest.param(_edit_meta(format_version=99), "format version 99", id="newer-format"),
        # Version 1 descriptors had no part centres: its arrays would not fit, so it must be retrained.
        pytest.param(_edit_meta(format_version=1), "format version 1 .*retrain", id="older-format"),
        pytest.param(_edit_meta(size=512), "feature layout", id="other-layout"),
        pytest.param(_nan_array, "not finite", id="nan-array"),
    ],
)
def test_damaged_bundle_is_a_norim_error(copied, damage, match):
    damage(copied)
    with pytest.raises(runner.NorimError, match=match):
        runner.get_bundle("P1")


def test_half_written_temporary_folder_is_never_loaded(home, goods, monkeypatch):
    def crash(*args, **kwargs):
        msg = "disk full"
        raise OSError(msg)

    monkeypatch.setattr(bundle.np, "savez", crash)
    with pytest.raises(OSError, match="disk full"):
        runner.train("P1", goods[:4])
    norim = home / "products" / "P1" / "norim"
    assert list(norim.iterdir()) == []
    (norim / ".tmp-P1-dead").mkdir()
    (norim / ".tmp-P1-dead" / "bundle.json").write_text("{}")
    with pytest.raises(runner.NorimError, match="dot"):
        runner.get_bundle(".tmp-P1-dead")
    with pytest.raises(runner.NorimError, match="not found"):
        runner.get_bundle("P1")


def test_failed_retraining_keeps_the_old_bundle(copied, goods, monkeypatch):
    before = runner.score_good_images(runner.get_bundle("P1"), goods[8:9])
    monkeypatch.setattr(bundle.np, "savez", lambda *a, **k: (_ for _ in ()).throw(OSError("disk full")))
    with pytest.raises(OSError):
        runner.train("P1", goods[4:8])
    assert runner.score_good_images(runner.get_bundle("P1"), goods[8:9]) == before
    assert sorted(p.name for p in copied.parent.iterdir()) == ["current", "v1"]


def test_retraining_adds_a_version_that_lookups_load_once_chosen(home, goods):
    runner.train("P1", goods[:4])
    first = runner.get_bundle("P1")
    assert runner.get_bundle("P1") is first
    result = runner.train("P1", goods[4:9])
    assert (result.version, result.current) == (2, False) and runner.get_bundle("P1") is first
    with runner.pinned("P1", 2):
        second = runner.get_bundle("P1")
    assert second["n_images"] == 5 and second["build_id"] != first["build_id"]
    runner.use_version("P1", 2)
    assert runner.get_bundle("P1") is second
    with runner.pinned("P1", 1):
        assert runner.get_bundle("P1") is first
    assert runner.train("P1", goods[:4], activate=True).current and runner.get_bundle("P1")["n_images"] == 4


def test_training_is_deterministic_for_a_seed(home, goods):
    a = runner.train("P1", goods[:5], name="a", seed=3)
    b = runner.train("P1", goods[:5], name="b", seed=3)
    with np.load(a.path / "model.npz") as x, np.load(b.path / "model.npz") as y:
        assert x.files == y.files
        for k in x.files:
            np.testing.assert_array_equal(x[k], y[k], err_msg=k)


def test_too_few_images_are_refused(home, goods):
    with pytest.raises(runner.NorimError, match="at least 4"):
        runner.train("P1", goods[:3])


def _tree(root):
    return sorted((str(p.relative_to(root)), p.is_symlink()) for p in root.rglob("*"))


def test_purge_removes_only_the_products_cache(home, goods, tmp_path_factory):
    runner.train("P1", goods[:4])
    runner.train("P2", goods[:4])
    cache = home / "_train" / "norim" / "P1"
    outside = tmp_path_factory.mktemp("outside")
    (outside / "keep.bin").write_bytes(b"x" * 100)
    (cache / "link-out").symlink_to(outside)
    (cache / "link-bundle").symlink_to(home / "products" / "P1")
    (cache / "file-link").symlink_to(outside / "keep.bin")
    expected = sum(p.stat().st_size for p in cache.rglob("*") if p.is_file() and not p.is_symlink())
    keep = _tree(home / "products") + _tree(home / "_train" / "norim" / "P2")
    assert runner.purge_train_cache("P1") == expected > 0
    assert not os.path.lexists(cache)
    assert (outside / "keep.bin").read_bytes() == b"x" * 100
    assert _tree(home / "products") + _tree(home / "_train" / "norim" / "P2") == keep
    assert runner.get_bundle("P1")["product_id"] == "P1"
    assert runner.purge_train_cache("P1") == 0


def test_purge_of_a_cache_that_is_itself_a_link_removes_only_the_link(home, tmp_path_factory):
    outside = tmp_path_factory.mktemp("outside")
    (outside / "data").write_bytes(b"y" * 10)
    (home / "_train" / "norim").mkdir(parents=True)
    (home / "_train" / "norim" / "P9").symlink_to(outside)
    assert runner.purge_train_cache("P9") == 0
    assert (outside / "data").read_bytes() == b"y" * 10


def test_arrays_rewritten_in_place_are_reloaded(copied):
    runner.get_bundle("P1")
    _nan_array(copied)
    with pytest.raises(runner.NorimError, match="not finite"):
        runner.get_bundle("P1")


def test_a_bundle_is_looked_up_once_and_again_when_it_moves(copied, monkeypatch):
    first = runner.get_bundle("P1")
    listed, real = [], os.scandir
    monkeypatch.setattr(os, "scandir", lambda path: listed.append(path) or real(path))
    assert runner.get_bundle("P1") is first and listed == []
    moved = copied.parents[3] / "P2" / "norim" / "P1"
    moved.parent.mkdir(parents=True)
    copied.parent.rename(moved)
    assert runner.get_bundle("P1")["path"] == str(moved / "v1") and listed
