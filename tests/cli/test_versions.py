"""Versions on the line: a taught state is judged with the version it names, a running job switches whole."""

from __future__ import annotations

import json
import queue
import threading
from pathlib import Path

import pytest

from clitools import PRODUCT, defect, goods, run_qorva, write_images
from helpers import wait_until
from qorva import versions
from qorva.calibration import StaleStateError
from qorva.cli.__main__ import main
from qorva.cli._common import inspector
from qorva.home import db_path
from qorva.home import use as use_home
from qorva.inspection.modules.norim import runner
from qorva.job import InspectionJob, JobOptions
from qorva.products import load_calibration, load_state
from qorva.results import ResultStore


def _cli(home: Path, *args: object) -> int:
    return main(["--home", str(home), "--quiet", *map(str, args)])


@pytest.fixture
def two(home: Path) -> tuple[Path, str, str]:
    """The taught home with a second version trained (not taught); the builds of versions 1 and 2."""
    with use_home(home):
        runner.train(PRODUCT, goods(8, seed=4), home=home, backbone="none")
        builds = [i.build_id for i in runner.bundle_versions(PRODUCT, home)]
    return home, builds[0], builds[1]


@pytest.mark.parametrize(("names", "version"), [
    pytest.param({"version": 2, "build_id": "b2"}, 2, id="its-version"),
    pytest.param({"version": 1, "build_id": "b1"}, 1, id="an-older-version"),
    pytest.param({"build_id": "b2"}, 2, id="taught-before-versions-by-build"),
    pytest.param({}, None, id="taught-before-builds-current-one"),
    pytest.param({"version": 2, "build_id": "b1"}, "stale", id="version-of-another-build"),
    pytest.param({"version": 5, "build_id": "b5"}, "stale", id="version-gone"),
    pytest.param({"build_id": "gone"}, "stale", id="build-gone"),
])
def test_a_taught_state_is_paired_with_the_version_it_names(two, names, version):
    home, b1, b2 = two
    calibration = {k: {"b1": b1, "b2": b2}.get(v, v) for k, v in names.items()}
    state = load_state(home, PRODUCT)
    if version == "stale":
        with pytest.raises(StaleStateError, match="stale"):
            versions.paired(home, state, calibration)
        assert versions.paired(home, state, calibration, allow_stale=True).version is None
    else:
        assert versions.paired(home, state, calibration).version == version


class _Feed:
    """A camera handing out frames a test puts in, as fast as the job takes them."""

    def __init__(self) -> None:
        self.q: queue.Queue = queue.Queue()

    def open(self) -> None: ...
    def close(self) -> None: ...

    def read(self, timeout=None):
        try:
            return self.q.get(timeout=timeout) if timeout else self.q.get_nowait()
        except queue.Empty:
            return None


def test_retrain_and_teach_under_a_running_job_never_pair_a_model_with_another_threshold(home: Path, teach_dir: Path):
    images = goods(12, seed=20)
    camera, stop = _Feed(), threading.Event()

    def feed() -> None:
        n = 0
        while not stop.wait(0.002):
            if camera.q.qsize() < 4:
                camera.q.put((images[n % 12], {"source_file": f"f{n:05d}.png", "source_path": f"/d/f{n:05d}.png"}))
                n += 1

    with use_home(home):
        first = versions.in_use(home, PRODUCT)
        follower = versions.Follower(home, PRODUCT, first, interval_s=0.01)
        jobs: list[InspectionJob] = []

        def watch() -> None:  # the store is the job thread's own, as in watch
            with ResultStore(db_path(home)) as store:
                jobs.append(InspectionJob(home=home, state=first.state, store=store, inspector=inspector(),
                                          camera=camera, options=JobOptions(workers=2, write_overlays=False),
                                          stop=stop, models=follower))
                jobs[0].run()

        threads = [threading.Thread(target=feed), threading.Thread(target=watch)]
        for t in threads:
            t.start()
        try:
            assert wait_until(lambda: jobs and jobs[0].summary.n > 20, timeout=30)
            runner.train(PRODUCT, goods(8, seed=4), home=home, backbone="none")
            assert _cli(home, "teach", "--product", PRODUCT, "--good", teach_dir, "--sigma", "3") == 0
            assert wait_until(lambda: follower.in_use.version == 2 and jobs[0].summary.n > 80, timeout=60)
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=30)
        with ResultStore(db_path(home)) as store:
            rows = store.query()
        taught = {v: versions.taught_state(home, PRODUCT, v, PRODUCT)[0].threshold for v in (1, 2)}
        bundles = {}
        for v in (1, 2):
            with runner.pinned(PRODUCT, v):
                bundles[v] = runner.get_bundle(PRODUCT)
    assert {r.model_version for r in rows} == {1, 2} and [r.verdict for r in rows if r.verdict == "ERROR"] == []
    assert [r.model_version for r in rows] == sorted(r.model_version for r in rows)  # one switch, never back
    for r in rows:
        assert r.threshold == round(taught[r.model_version], 4), r
        image = images[int(r.source_file[1:6]) % 12]
        assert r.score == round(runner.score_image(bundles[r.model_version], image, with_map=False)[0], 4), r


def test_teach_a_candidate_then_switch_and_roll_back(two, teach_dir: Path, capsys):
    home = two[0]
    before = load_state(home, PRODUCT).threshold
    assert _cli(home, "teach", "--product", PRODUCT, "--good", teach_dir, "--candidate", "--threshold", "7") == 0
    assert load_state(home, PRODUCT).threshold == before  # the line is untouched
    capsys.readouterr()
    assert _cli(home, "models", "--product", PRODUCT) == 0
    listed = capsys.readouterr().out.splitlines()
    assert listed[1].split()[:2] == ["1", "*"] and "manual" in listed[2] and "7.0000" in listed[2]
    assert _cli(home, "models", "use", PRODUCT, "2") == 0
    assert load_calibration(home, PRODUCT)["version"] == 2 and load_state(home, PRODUCT).threshold == pytest.approx(7)
    with use_home(home):
        assert runner.get_bundle(PRODUCT)["build_id"] == two[2]  # hosts that do not pin follow the switch
    assert _cli(home, "models", "use", PRODUCT, "1") == 0
    assert load_state(home, PRODUCT).threshold == before
    capsys.readouterr()
    assert _cli(home, "models", "use", PRODUCT, "3") == 1
    assert "no version 3" in capsys.readouterr().err


def test_a_switch_to_a_state_whose_version_is_missing_is_refused_once_and_the_job_goes_on(home: Path, caplog):
    first = versions.in_use(home, PRODUCT)
    said = []
    follower = versions.Follower(home, PRODUCT, first, interval_s=0, announce=lambda new, text: said.append(text))
    path = home / "products" / PRODUCT / "norim" / "state.json"
    data = json.loads(path.read_text(encoding="utf-8"))
    data["qorva_calibration"]["version"] = 9
    path.write_text(json.dumps(data), encoding="utf-8")
    with use_home(home):
        assert follower.current() is first and follower.current() is first
    assert sum("cannot be used" in r.getMessage() for r in caplog.records) == 1 and said == []
    write_images(home.parent / "t2", goods(8, seed=2), "t")
    with use_home(home):
        assert _cli(home, "teach", "--product", PRODUCT, "--good", home.parent / "t2", "--sigma", "1") == 0
        assert follower.current().threshold != first.threshold and len(said) == 1 and "switched" in said[0]


def test_watch_with_a_shadow_version_records_it_apart_and_report_compares(two, teach_dir: Path, tmp_path: Path):
    home = two[0]
    # Version 2 taught to pass everything: it disagrees exactly where version 1 finds a defect.
    assert _cli(home, "teach", "--product", PRODUCT, "--good", teach_dir, "--candidate", "--threshold", "1e5") == 0
    drop = tmp_path / "drop"
    write_images(drop, [*goods(3, seed=40), defect("missing"), defect("scratch")], "w")
    done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", "5",
                     "--shadow", "2", "--quiet", home=home)
    assert done.rc == 0, done.err
    with ResultStore(db_path(home)) as store:
        rows = store.query()
        shadows = store.shadows([r.id for r in rows])
    ng = sum(r.verdict == "NG" for r in rows)
    assert ng >= 2 and {r.model_version for r in rows} == {1} and len(list((drop / "_processed").iterdir())) == 5
    assert {s.model_version for s in shadows.values()} == {2} and {s.verdict for s in shadows.values()} == {"OK"}
    assert f"shadow v2 agreed on {5 - ng} of 5 ({ng} NG here and OK by v2)" in done.out
    assert _cli(home, "report", "--product", PRODUCT, "--out", tmp_path / "report") == 0
    page = (tmp_path / "report" / "report.html").read_text(encoding="utf-8")
    assert f"Judged otherwise by the shadow version ({ng} of 5)" in page and page.count("shadow v2 OK") == ng
