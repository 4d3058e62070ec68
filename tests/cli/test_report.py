"""`qorva report` of a recorded run, `qorva results --runs/--run`, and overlays that say what they are."""

from __future__ import annotations

import csv
import json
import re
import shutil
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import browser
from clitools import PRODUCT, defect, goods, run_qorva, write_images
from qorva.home import db_path
from qorva.overlays import NO_LOCATION, caption, speaking
from qorva.results import ResultStore, Row


@pytest.fixture(scope="module")
def recorded(built: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A home with two recorded runs of PRODUCT: three good images, then two good and three defects."""
    root = tmp_path_factory.mktemp("report")
    home = root / "home"
    shutil.copytree(built / "home", home)
    for n, (good, bad) in enumerate(((3, ()), (2, ("scratch", "spot", "crack")))):
        drop = root / f"drop{n}"
        write_images(drop, goods(good, seed=20 + n) + [defect(k) for k in bad], "i")
        done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images",
                         str(good + len(bad)), "--quiet", "--home", home)
        assert done.rc == 0, done.err
    return home


def test_runs_are_listed_and_results_filtered_by_run(recorded: Path):
    listed = run_qorva("results", "--runs", "--home", recorded).out.splitlines()
    assert len(listed) == 3 and listed[0].split()[:2] == ["run", "product"]
    last = listed[2].split()
    assert last[-4:] == ["5", "2", "3", "0"]
    rows = run_qorva("results", "--run", last[0], "--home", recorded).out.splitlines()[1:]
    assert len(rows) == 5


def test_report_of_the_latest_run_is_a_folder_that_stands_alone(recorded: Path, tmp_path: Path):
    out = tmp_path / "rep"
    done = run_qorva("report", "--product", PRODUCT, "--out", out, "--home", recorded)
    assert done.rc == 0, done.err
    assert "5 images (OK 2, NG 3, ERROR 0)" in done.out
    moved = tmp_path / "copied"
    shutil.move(out, moved)  # every link is relative: the copied folder shows everything
    page = (moved / "report.html").read_text(encoding="utf-8")
    links = set(re.findall(r'(?:src|href)="([^"#]+)"', page))
    assert "scores.png" in links and "contact_sheet.png" in links
    assert all((moved / link).is_file() for link in links), links
    assert sum(link.startswith("overlays/") for link in links) == 3
    assert page.count('<tr class="NG">') == 3 and page.count('<tr class="OK">') == 2
    assert "NG rate</td><td>60.0% of 5 judged" in page


def test_report_page_has_no_horizontal_scrolling_at_1280_px(recorded: Path, tmp_path: Path):
    browser.chromium()
    out = tmp_path / "rep"
    assert run_qorva("report", "--product", PRODUCT, "--out", out, "--home", recorded).rc == 0
    probe = out / "probe.html"
    # The page as written, plus a script that writes the measurement where --dump-dom shows it.
    # ... and counts the numbers laid out on more than one line.
    probe.write_text((out / "report.html").read_text(encoding="utf-8").replace(
        "</body>", "<script>window.addEventListener('load', () => { const d = document.documentElement; "
        "document.body.dataset.overflow = d.scrollWidth - d.clientWidth; "
        "document.body.dataset.wrapped = [...document.querySelectorAll('td.n, figcaption .n')].filter((e) => { "
        "const r = document.createRange(); r.selectNodeContents(e); return r.getClientRects().length > 1; }).length;"
        " });</script></body>"), encoding="utf-8")
    for width in (1280, 390):
        dom = browser.run(probe.as_uri(), width=width)
        found = re.search(r'data-overflow="(-?\d+)" data-wrapped="(\d+)"', dom)
        assert found is not None, dom[-500:]
        assert int(found.group(1)) <= 0, f"{found.group(1)} px of horizontal scrolling at {width} px"
        assert found.group(2) == "0", f"{found.group(2)} numbers wrapped at {width} px"
    browser.screenshot((out / "report.html").as_uri(), tmp_path / "report.png", height=1600)


@pytest.mark.parametrize("located", [True, False], ids=["local-cause", "global-cause"])
def test_overlay_carries_its_caption_in_a_margin_and_a_global_cause_no_map(located: bool):
    image = np.full((100, 400, 3), 50, np.uint8)
    amap = np.full((100, 400, 3), 200, np.uint8)
    row = Row("2026-12-08T14:00:03.123Z", "r", PRODUCT, "a.png", None, "NG", 3.5, 1.9, dominant_branch="structural")
    result = SimpleNamespace(overlay=amap, details={"localizable": located})
    card = speaking(row, result, image)
    assert card.shape[1] == 400 and card.shape[0] > 100 + 60  # a band below, the image above untouched
    assert np.array_equal(card[:100], amap if located else image)
    lines = caption(row, located=located)
    assert lines[0] == "NG  3.5000 / 1.9000  structural" and "a.png" in lines
    assert (NO_LOCATION in lines) is not located


def _plant_links(home: Path, out: Path, victim: Path) -> Path:
    """Links in --out where the report writes: the overlay copies, the thumbnails and the histogram's old temp."""
    (out / "overlays").mkdir(parents=True)
    (out / "images").mkdir()
    with ResultStore(db_path(home), create=False) as store:
        rows = store.query()
    for r in rows:
        if r.overlay_path:
            (out / "overlays" / f"{r.id:06d}_{Path(r.overlay_path).name}").symlink_to(victim)
        (out / "images" / f"{r.id:06d}.jpg").symlink_to(victim)
    (out / "scores.png.tmp.png").symlink_to(victim)
    return home


def _linked_folder(home: Path, out: Path, victim: Path) -> Path:
    out.mkdir()
    (out / "overlays").symlink_to(victim.parent)
    return home


def _foreign_overlay(home: Path, out: Path, victim: Path) -> Path:
    """A row (of another station, say) whose overlay path names a file outside this home's overlay folder; in a
    copy of the home, whose own rows name the overlays of the original: foreign too."""
    copy = out.parent / "home"
    shutil.copytree(home, copy)
    with ResultStore(db_path(copy)) as store:
        store.add(Row("2026-12-08T14:00:00.000Z", store.runs()[-1].run_id, PRODUCT, "foreign.png", None, "NG", 9.0,
                      1.0, overlay_path=str(victim), station="elsewhere"))
    return copy


@pytest.mark.parametrize(
    ("plant", "rc", "needle"),
    [
        pytest.param(_plant_links, 0, "report of", id="F3-links-in-out-are-replaced"),
        pytest.param(_linked_folder, 1, "is a link", id="F3-linked-subfolder-refused"),
        pytest.param(_foreign_overlay, 0, "report of", id="F4-overlays-outside-the-home-not-read"),
    ],
)
def test_report_writes_nothing_outside_its_folder_and_reads_no_foreign_overlay(recorded, tmp_path, plant, rc, needle):
    victim = tmp_path / "outside" / "victim.png"
    victim.parent.mkdir()
    victim.write_bytes(b"\x89PNG\r\n\x1a\n" + b"precious" * 100)
    before = victim.read_bytes()
    out = tmp_path / "rep"
    home = plant(recorded, out, victim)
    done = run_qorva("report", "--product", PRODUCT, "--out", out, "--home", home)
    assert done.rc == rc and needle in (done.out if rc == 0 else done.err), done.err
    assert victim.read_bytes() == before and list(victim.parent.iterdir()) == [victim]
    copies = [p for p in out.rglob("*") if p.is_file() and not p.is_symlink()]
    assert all(p.read_bytes() != before for p in copies)
    if plant is _foreign_overlay:
        assert not (out / "overlays").exists() and "overlay not kept" in (out / "report.html").read_text("utf-8")


def test_report_of_a_time_range_and_verdict_with_its_rows_as_csv(recorded: Path, tmp_path: Path):
    rows = json.loads(run_qorva("results", "--format", "json", "--home", recorded).out)
    cut = rows[3]["recorded_at"]  # the first run's three rows are before it
    done = run_qorva("report", "--product", PRODUCT, "--since", "1d", "--until", cut, "--out", tmp_path / "a",
                     "--home", recorded)
    assert done.rc == 0 and "3 images (OK 3, NG 0, ERROR 0)" in done.out, done.err
    ng = run_qorva("report", "--since", "1d", "--verdict", "NG", "--out", tmp_path / "b", "--home", recorded)
    assert "every product" in ng.out and "3 images (OK 0, NG 3" in ng.out, ng.err
    with (tmp_path / "b" / "rows.csv").open(encoding="utf-8") as fh:
        table = list(csv.DictReader(fh))
    assert [r["verdict"] for r in table] == ["NG"] * 3 and all(r["content_hash"] for r in table)
    early = run_qorva("report", "--since", "1d", "--until", rows[0]["recorded_at"], "--home", recorded)
    assert early.rc == 1 and "no results of any product in that time" in early.err


def _elsewhere(home: Path, tmp_path: Path, option: str) -> tuple[Path, list[str]]:
    """A station that recorded into `option` (the database, or a shared folder), and a PC whose home holds
    none of its overlays; the share is mounted under another path there."""
    drop = tmp_path / "drop"
    write_images(drop, [defect("scratch"), defect("spot")], "n")
    share = tmp_path / "share-at-station"
    extra = ["--db-overlays", "on"] if option == "db" else ["--overlay-dir", share, "--db-overlays", "off"]
    done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", "2",
                     "--quiet", *extra, "--home", home)
    assert done.rc == 0, done.err
    shutil.rmtree(home / "results" / "overlays", ignore_errors=True)
    if option == "db":
        return home, []
    shutil.move(share, tmp_path / "share-here")
    return home, ["--overlay-dir", str(tmp_path / "share-here")]


@pytest.mark.parametrize("option", ["db", "shared-folder"])
def test_overlays_reach_a_report_made_on_another_pc(home: Path, tmp_path: Path, option: str):
    home, extra = _elsewhere(home, tmp_path, option)
    done = run_qorva("report", "--product", PRODUCT, "--out", tmp_path / "r", *extra, "--home", home)
    assert done.rc == 0, done.err
    page = (tmp_path / "r" / "report.html").read_text(encoding="utf-8")
    assert "overlay not kept" not in page and len(list((tmp_path / "r" / "overlays").iterdir())) == 2
    if option == "db":
        with ResultStore(db_path(home), create=False) as store:
            sizes = [len(store.overlay_image(r.id) or b"") for r in store.query(verdicts=["NG"])]
        assert all(2_000 < n < 60_000 for n in sizes), sizes
