"""`watch --config station.toml`: the example checks, wrong files are one line, and a station runs from its file
with part ids, a deadline and an output; no secret reaches the terminal, the log or the process's arguments."""

from __future__ import annotations

import json
import sqlite3
from pathlib import Path

import peers
import pytest

from clitools import PRODUCT, goods, run_qorva, write_images

EXAMPLE = Path(__file__).resolve().parents[2] / "docs" / "station.toml"


def test_the_example_station_file_checks_and_the_command_line_overrides_it(home, tmp_path, monkeypatch):
    monkeypatch.setenv("QORVA_WEBHOOK_SECRET", "hush-1234")
    done = run_qorva("watch", "--config", EXAMPLE, "--check", "--product", PRODUCT, "--folder", tmp_path,
                     "--log-file", tmp_path / "w.log", "--workers", "1", home=home)
    assert done.rc == 0, done.err
    lines = {line.split()[0]: line for line in done.out.splitlines() if line.startswith("  ") and line.split()}
    assert "command line" in lines["workers"] and "station file" in lines["deadline_ms"]
    assert "default" in lines["stable_ms"] and "^(?P<part>" in lines["part_id"]
    assert sum("output " in line for line in done.out.splitlines()) == 4 and "valid" in done.err
    assert "hush-1234" not in done.out + done.err


@pytest.mark.parametrize(("text", "needle"), [
    pytest.param("workerz = 2\n", "unknown key 'workerz' (did you mean workers?)", id="unknown-key"),
    pytest.param("workers = 'two'\n", "workers: not a whole number", id="wrong-type"),
    pytest.param("ready_policy = 'soon'\n", "ready_policy: one of stable, sentinel, none", id="wrong-choice"),
    pytest.param("[outputs.x]\nkind = 'mqtt'\npassword = 'p'\n", "password: secrets are not written", id="secret"),
    pytest.param("[outputs.x]\nkind = 'modbus'\nslot = 4\n", "[outputs.x] slot: unknown key", id="output-key"),
    pytest.param("[outputs.x]\nkind = 'kafka'\n", "kind: one of modbus, opcua, mqtt, webhook", id="kind"),
    pytest.param("workers = [\n", "is not valid TOML", id="not-toml"),
])
def test_a_wrong_station_file_is_one_line(home, tmp_path, text, needle):
    config = tmp_path / "station.toml"
    config.write_text(f"product = '{PRODUCT}'\nfolder = '{tmp_path}'\n{text}", encoding="utf-8")
    done = run_qorva("watch", "--config", config, "--check", home=home)
    assert done.rc in (1, 2) and needle in done.err and len(done.err.strip().splitlines()) <= 2, done.err


def test_a_station_runs_from_its_file_and_every_verdict_reaches_the_receiver(home, tmp_path):
    receiver = peers.Receiver(secret="hush-5678")
    secret = tmp_path / "hook-secret"
    secret.write_text("hush-5678\n", encoding="utf-8")
    drop = tmp_path / "drop"
    write_images(drop, goods(4, seed=5), "")
    for i, f in enumerate(sorted(drop.iterdir())):
        f.rename(drop / f"{100 + i}_{f.name}")
    (drop / "zz.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"junk" * 64)  # no id, undecodable: an ERROR row
    config = tmp_path / "station.toml"
    config.write_text(
        f"product = '{PRODUCT}'\nfolder = '{drop}'\nready_policy = 'none'\nmax_images = 5\nduration = 60\nworkers = 2\n"
        f"part_id = '^(?P<part>\\d+)_'\ndeadline_ms = 60000\nstation = 's1'\nlog_file = '{tmp_path / 'w.log'}'\n"
        f"max_decode_retries = 1\n[outputs.hook]\nkind = 'webhook'\nurl = 'http://127.0.0.1:{receiver.port}/x'\n"
        f"secret_file = '{secret}'\n", encoding="utf-8")
    try:
        done = run_qorva("watch", "--config", config, home=home, timeout=120)
    finally:
        receiver.close()
    assert done.rc == 0, done.err
    got = sorted(receiver.got, key=lambda g: g[1]["seq"])
    assert [r["seq"] for _, r in got] == [1, 2, 3, 4, 5] and receiver.bad_signatures == 0
    assert sorted(r["part_id"] for _, r in got) == ["100", "101", "102", "103", "no-id:zz.png"]
    assert {r["result_code"] for _, r in got if r["verdict"] == "ERROR"} == {2}
    rows = sqlite3.connect(home / "results" / "results.db").execute(
        "SELECT part_id, seq, late FROM results ORDER BY seq").fetchall()
    assert [r[1] for r in rows] == [1, 2, 3, 4, 5] and {r[2] for r in rows} == {0}
    states = sqlite3.connect(home / "results" / "results.db").execute("SELECT DISTINCT state FROM outbox").fetchall()
    assert states == [("sent",)]
    assert "hush-5678" not in done.out + done.err + (tmp_path / "w.log").read_text(encoding="utf-8")
    runs = run_qorva("results", "--runs", home=home)
    assert "outbox of" in runs.out and json.dumps(0) in runs.out.splitlines()[-1]
