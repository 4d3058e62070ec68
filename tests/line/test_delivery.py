"""Every verdict reaches the line through each output: in order, at least once, exactly once after dropping
doubles by sequence, through a peer that is away and a station that is killed; nothing is marked sent that
the peer did not confirm."""

from __future__ import annotations

import time

import peers
import pytest

from helpers import wait_until
from qorva.outputs import build
from qorva.results import ResultStore, Row, utc_now

N_BEFORE, N_AWAY, N_AFTER = 8, 6, 6


def _row(i: int) -> Row:
    return Row(recorded_at=utc_now(), run_id="r1", product_id="board", source_file=f"img{i}.png",
               source_path=f"/d/img{i}.png", verdict="NG" if i % 3 == 0 else "OK", score=float(i),
               threshold=2.0, dominant_branch="structural", content_hash=f"h{i}", part_id=str(1000 + i))


def _peer(kind, broker, request):
    """(output table, consumer, start of the peer's absence, its end)."""
    if kind == "mqtt":
        consumer = peers.Subscriber(broker.port)
        return {"kind": "mqtt", "port": broker.port, "heartbeat_s": 0.5}, consumer, broker.stop, broker.start
    if kind == "webhook":
        consumer = peers.Receiver(secret="s3cret")
        request.getfixturevalue("monkeypatch").setenv("HOOK_SECRET", "s3cret")
        table = {"kind": "webhook", "url": f"http://127.0.0.1:{consumer.port}/line", "secret_env": "HOOK_SECRET"}
        return table, consumer, consumer.absent.set, consumer.absent.clear
    port = peers.free_port()
    if kind == "modbus":
        consumer = peers.ModbusPlc(port)
        table = {"kind": "modbus", "port": port, "slots": 4}
    else:
        url = f"opc.tcp://127.0.0.1:{port}/qorva/"
        consumer = peers.OpcuaPlc(url, "st1")
        table = {"kind": "opcua", "url": url, "slots": 4}
    return table, consumer, consumer.absent.set, consumer.absent.clear


def _states(store):
    rows = store.db.connect(writer=False).execute(
        "SELECT r.seq AS seq, o.state AS state FROM outbox o JOIN results r ON r.id = o.result_id").fetchall()
    return {r["seq"]: r["state"] for r in rows}


@pytest.mark.parametrize("kind", ["mqtt", "webhook", "modbus", "opcua"])
def test_every_verdict_reaches_the_line_once_after_dedup_through_outages_and_a_kill(kind, tmp_path, request):
    broker = request.getfixturevalue("broker") if kind == "mqtt" else None
    table, consumer, away, back = _peer(kind, broker, request)
    db = tmp_path / "results.db"

    def outputs():
        return build({"line": table}, {"board": 3}, "st1",
                     lambda stop: ResultStore(db, station="st1", stop=stop, synced=False)).start()

    store = ResultStore(db, station="st1")
    sending = outputs()
    try:
        sending.set_state(ready=True, beat=time.monotonic())
        for i in range(1, N_BEFORE + 1):
            store.add(_row(i), outputs=sending.names)
            sending.wake()
        assert wait_until(lambda: len(set(consumer.seqs())) >= N_BEFORE, 15)
        away()
        time.sleep(0.3)  # the peer is gone: nothing more can be confirmed
        away_seqs = range(N_BEFORE + 1, N_BEFORE + N_AWAY + 1)
        for i in away_seqs:
            store.add(_row(i), outputs=sending.names)
            sending.wake()
        time.sleep(1.0)
        assert {_states(store)[s] for s in away_seqs} == {"waiting"}
        back()
        # Killed: nothing is delivered on the way out; the next run's sender starts from the outbox.
        sending.close(grace_s=0)
        for i in range(N_BEFORE + N_AWAY + 1, N_BEFORE + N_AWAY + N_AFTER + 1):
            store.add(_row(i), outputs=sending.names)
        sending = outputs()
        total = N_BEFORE + N_AWAY + N_AFTER
        assert wait_until(lambda: set(consumer.seqs()) >= set(range(1, total + 1)), 30)
        assert wait_until(lambda: set(_states(store).values()) == {"sent"}, 10)
    finally:
        sending.close(grace_s=0)
        consumer.close()
        store.close()
    firsts = list(dict.fromkeys(consumer.seqs()))
    assert firsts == list(range(1, total + 1))  # in order, each once after dropping doubles
    records = {r["seq"]: r for _, r in consumer.got}
    parts = {s: r.get("part_id", r.get("part")) for s, r in records.items()}
    assert all(str(parts[s]) == str(1000 + s) for s in firsts)
    assert all(r["result_code"] == (1 if s % 3 == 0 else 0) for s, r in records.items())
    assert getattr(consumer, "bad_signatures", 0) == 0
