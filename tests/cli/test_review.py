"""Reviews on the command line and on the live page, the drift alarm's acknowledgement, and what teach and
train take from the review store."""

from __future__ import annotations

import json
import re
import sqlite3
import urllib.error
import urllib.request
from pathlib import Path

import numpy as np
import pytest

import browser
from clitools import PRODUCT, defect, goods, run_qorva, start_qorva, stop, write_images
from helpers import wait_until
from qorva.home import db_path

TOKEN = "t0ken-of-the-line-" + "x" * 12


def dimmed(n: int, seed: int) -> list[np.ndarray]:
    """Good parts under a lamp a third dimmer, beyond the drift the model's light correction undoes: every one NG
    for the small test model."""
    return [(g.astype(np.float32) * 0.67).astype(np.uint8) for g in goods(n, seed)]


def _db(home: Path, sql: str) -> list[tuple]:
    with sqlite3.connect(db_path(home)) as db:
        return db.execute(sql).fetchall()


def _watch(home: Path, drop: Path, n: int) -> None:
    done = run_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--max-images", n,
                     "--quiet", "--home", home)
    assert done.rc == 0, done.err


def test_review_on_the_command_line_then_teach_and_train_take_the_good_parts(home: Path, teach_dir: Path,
                                                                             tmp_path: Path):
    drop = tmp_path / "drop"
    write_images(drop, dimmed(6, seed=40), "dim")
    write_images(drop, [defect("scratch")], "bad")
    _watch(home, drop, 7)
    queue = run_qorva("review", "--home", home)
    ids = [int(line.split()[0]) for line in queue.out.splitlines()[1:]]
    assert len(ids) == 7 and "7 NG rows not reviewed" in queue.err  # the dimmed good parts are NG too
    made = run_qorva("review", *map(str, ids[1:]), "--good", "--who", "anna", "--note", "lamp", "--home", home)
    assert made.rc == 0 and made.out.count("good part; image kept as") == 6, made.err
    assert run_qorva("review", str(ids[0]), "--defect", "--home", home).rc == 0
    assert run_qorva("review", "--home", home).out.count("\n") == 1  # the queue is empty
    assert _db(home, "SELECT reviewer, note, via FROM reviews WHERE decision = 'good' LIMIT 1") == [
        ("anna", "lamp", "command line")]
    taught = run_qorva("teach", "--product", PRODUCT, "--good", teach_dir, "--add-reviewed", "--home", home)
    assert "(6 of them reviewed good parts)" in taught.out, taught.err
    judged = run_qorva("inspect", "--product", PRODUCT, drop / "_processed", "--format", "json", "--home", home)
    assert sorted((r["source_file"][:3], r["verdict"]) for r in json.loads(judged.out)) == [
        ("bad", "NG"), *[("dim", "OK")] * 6]
    measured = run_qorva("evaluate", "--product", PRODUCT, "--good", teach_dir, "--format", "json", "--home", home)
    figures = json.loads(measured.out)["figures"]
    assert figures["n_bad"] == 1 and figures["recall"] == 1.0, measured.err  # the confirmed defect, still NG
    trained = run_qorva("train", "--product", PRODUCT, "--good", teach_dir, "--add-reviewed", "--home", home)
    assert "14 images (6 reviewed good parts)" in trained.out, trained.err


@pytest.fixture
def page(home: Path, tmp_path: Path):
    """A watch serving its page with a token file, after 20 dimmed good parts and a defect: NG everywhere."""
    drop = tmp_path / "drop"
    write_images(drop, [*dimmed(20, seed=41), defect("spot")], "p")
    (tmp_path / "tokens.txt").write_text(f"{TOKEN}\n", encoding="utf-8")
    (tmp_path / "tokens.txt").chmod(0o600)
    proc = start_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--poll-ms", "20",
                       "--serve", "127.0.0.1:0", "--token-file", tmp_path / "tokens.txt", "--alarm-window", "5m",
                       "--quiet", "--home", home)
    try:
        found = re.search(r"live page (http://\S+/)", proc.stderr.readline())
        assert found
        url = found.group(1)
        assert wait_until(lambda: _status(url)["alarms"] and len(_status(url)["queue"]) == 21, timeout=30,
                          interval=0.3)
        yield url
    finally:
        stop(proc)


def _status(url: str) -> dict:
    with urllib.request.urlopen(url + "status.json", timeout=5) as r:
        return json.load(r)


def _post(url: str, body: dict, token: str | None) -> tuple[int, dict]:
    headers = {"Content-Type": "application/json", **({"Authorization": f"Bearer {token}"} if token else {})}
    request = urllib.request.Request(url, data=json.dumps(body).encode(), headers=headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, json.load(r)
    except urllib.error.HTTPError as exc:
        with exc:
            return exc.code, json.load(exc)


def test_page_changes_need_the_token_and_record_who(page: str, home: Path):
    row = _status(page)["queue"][0]["id"]
    assert _post(page + "review", {"row": row, "decision": "good", "who": "eve"}, None)[0] == 403
    assert _post(page + "review", {"row": row, "decision": "good", "who": "eve"}, TOKEN[:-1] + "y")[0] == 403
    assert _post(page + "review", {"row": row, "decision": "good"}, TOKEN)[0] == 400  # a shared token needs a name
    status, answer = _post(page + "review", {"row": row, "decision": "good", "who": "bob"}, TOKEN)
    assert status == 200 and answer["decision"]["who"] == "bob"
    assert _db(home, "SELECT result_id, reviewer, via FROM reviews") == [(row, "bob", "live page from 127.0.0.1")]
    with urllib.request.urlopen(f"{page}report.csv?verdict=NG", timeout=10) as r:
        assert sum(",good part,bob," in line for line in r.read().decode().splitlines()) == 1
    with urllib.request.urlopen(f"{page}report?verdict=NG&since=1h", timeout=20) as r:
        served = r.read().decode()
    # The decision shows on its tile and in its table row.
    assert "NG images (21)" in served and served.count('class="decided good">good part</span> by bob') == 2
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(f"{page}report?since=yesterday-ish", timeout=10)
    assert refused.value.code == 400
    refused.value.close()


def test_review_and_alarm_acknowledgement_on_the_page_in_chromium(page: str, home: Path, tmp_path: Path):
    browser.chromium()
    view = browser.Page(page)
    js = view.evaluate
    try:
        assert wait_until(lambda: js("document.querySelectorAll('#queue .tile').length") == 21, timeout=15,
                          interval=0.2)
        # Before signing in nothing can be changed: no review button or acknowledgement is shown.
        assert js("[...document.querySelectorAll('.review, .ack')].every((e) => e.offsetParent === null)")
        assert "ALARM" in js("document.getElementById('alarms').textContent")
        js(f"document.getElementById('signin-token').value = {TOKEN!r};"
           "document.getElementById('signin-who').value = 'Anna';"
           "document.querySelector('#signin-form button').click()")
        assert wait_until(lambda: "Signed in as Anna" in js("document.getElementById('signin').textContent"),
                          timeout=10, interval=0.2)
        js("document.querySelector('#queue .review input').value = 'fixture mark';"
           "document.querySelector('#queue .review button[data-decision=good]').click()")
        assert wait_until(lambda: _db(home, "SELECT reviewer, note FROM reviews") == [("Anna", "fixture mark")],
                          timeout=10, interval=0.2)
        assert wait_until(lambda: js("document.querySelectorAll('#queue .tile').length") == 20, timeout=10,
                          interval=0.2)
        assert _db(home, "SELECT kind FROM alarms ORDER BY id") == [("ng_rate",), ("score",)]
        js("document.querySelector('.ack button').click()")
        acked = "SELECT kind, acknowledged_by FROM alarms WHERE acknowledged_at IS NOT NULL"
        assert wait_until(lambda: _db(home, acked) == [("ng_rate", "Anna")], timeout=10, interval=0.2)
        assert wait_until(lambda: "acknowledged by Anna" in js("document.getElementById('alarms').textContent"),
                          timeout=10, interval=0.2)
        view.screenshot(tmp_path / "review.png")
    finally:
        view.close()
