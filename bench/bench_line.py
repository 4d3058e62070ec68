"""Drop to message: how long a part's verdict takes from its file landing in the drop folder to the line's
consumer, per output, at a steady rate; and, with --faults, whether every verdict arrives through outages.

`qorva watch --config station.toml` runs as its own process (the real job: camera, NORIM inspector with
the pretrained features on a synthetic product, 2 workers, the outbox and one output); this process writes
the parts' files at the rate asked (`ready_policy none`: the file is renamed into place; `sentinel`: the
file, then its `.done` marker, the drop time being the marker's) and runs the consumer: a PLC scanning the
Modbus registers or the OPC UA variables every 10 ms and acknowledging, a persistent QoS 1 subscriber on
Debian's mosquitto, an HTTP receiver. Latency is taken at the consumer, per part, by its part id.

    python bench/bench_line.py                                  # every output, 10 and 50 parts/s, none and sentinel
    python bench/bench_line.py --outputs modbus --rates 10 --parts 100
    python bench/bench_line.py --faults --parts 1000            # the peer away 10 s, watch SIGKILLed once

--faults counts, per output: parts dropped, verdicts received (with doubles), distinct after dropping
doubles by sequence, parts missing, and outbox entries marked sent whose sequence the consumer never got.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import cv2

from _common import ROOT, versions  # noqa: I001  (first: it sets the import paths)

sys.path.insert(0, str(ROOT / "tests" / "line"))
import peers  # noqa: E402

PRODUCT = "line"


def build_home(root: Path, backbone: str) -> tuple[Path, list[Any]]:
    """A home with a synthetic product trained and taught; returns it and good images to drop."""
    from qorva.demo import synthetic
    from qorva.home import use as use_home
    from qorva.inspection.modules.norim import runner
    from qorva.inspection.modules.norim.inspector import NorimInspector
    from qorva.products import save_state

    with use_home(root / "home") as home:
        runner.train(PRODUCT, synthetic.good_images("assembly", 20, 1, size=256), home=home, backbone=backbone)
        save_state(home, NorimInspector().teach(synthetic.good_images("assembly", 20, 2, size=256),
                                                {"product_id": PRODUCT}))
    return root / "home", [cv2.imencode(".png", im)[1].tobytes()
                           for im in synthetic.good_images("assembly", 20, 3, size=256)]


def peer(kind: str, broker: Any, station: str) -> tuple[dict[str, Any], Any, Any, Any]:
    """(output table, consumer, make the peer absent, bring it back)."""
    if kind == "mqtt":
        return ({"kind": "mqtt", "port": broker.port}, peers.Subscriber(broker.port), broker.stop, broker.start)
    if kind == "webhook":
        c = peers.Receiver()
        return {"kind": "webhook", "url": f"http://127.0.0.1:{c.port}/x"}, c, c.absent.set, c.absent.clear
    port = peers.free_port()
    if kind == "modbus":
        c = peers.ModbusPlc(port)
        return {"kind": "modbus", "port": port, "slots": 16}, c, c.absent.set, c.absent.clear
    url = f"opc.tcp://127.0.0.1:{port}/qorva/"
    c = peers.OpcuaPlc(url, station)
    return {"kind": "opcua", "url": url, "slots": 16}, c, c.absent.set, c.absent.clear


def station_file(path: Path, drop: Path, policy: str, table: dict[str, Any], station: str) -> None:
    lines = [f"product = '{PRODUCT}'", f"folder = '{drop}'", f"ready_policy = '{policy}'", "workers = 2",
             f"station = '{station}'", "part_id = '^(?P<part>\\d+)_'", "deadline_ms = 1000", "poll_ms = 5",
             "no_overlays = true", "[outputs.line]"]
    lines += [f"{k} = {json.dumps(v)}" for k, v in table.items()]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def start_watch(config: Path, home: Path, log: Path) -> subprocess.Popen:
    env = {**os.environ, "QORVA_HOME": str(home), "PYTHONPATH": str(ROOT / "src")}
    with log.open("ab") as out:
        proc = subprocess.Popen([sys.executable, "-m", "qorva", "--quiet", "watch", "--config", str(config)],
                                env=env, stdout=subprocess.DEVNULL, stderr=out, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and b"; results " not in log.read_bytes():
        time.sleep(0.05)
    return proc


def drop_parts(drop: Path, images: list[bytes], first: int, n: int, rate: float, policy: str,
               dropped: dict[int, float], during: Any = None) -> None:
    """Write parts first..first+n-1 at `rate` a second; `during(i)` runs before part i."""
    t0 = time.monotonic()
    for k in range(n):
        i = first + k
        if during is not None:
            during(i)
        wait = t0 + k / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        name = f"{i}_part.png"
        tmp = drop / f".{name}.tmp"
        tmp.write_bytes(images[i % len(images)])
        if policy == "sentinel":
            tmp.rename(drop / name)
            (drop / f"{name}.done").write_bytes(b"")
        else:
            tmp.rename(drop / name)
        dropped[i] = time.monotonic()


def part_of(record: dict[str, Any]) -> int | None:
    value = record.get("part_id", record.get("part"))
    return int(value) if value is not None and str(value).isdigit() else None


def latencies(consumer: Any, dropped: dict[int, float]) -> list[float]:
    first: dict[int, float] = {}
    with consumer.lock:
        for t, record in consumer.got:
            part = part_of(record)
            if part in dropped and part not in first:
                first[part] = t
    return sorted((first[p] - dropped[p]) * 1000 for p in first)


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()


def latency_run(kind: str, rate: float, policy: str, n: int, ctx: dict[str, Any]) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="bench-line-", dir=ctx["root"]))
    drop = work / "drop"
    drop.mkdir()
    table, consumer, _, _ = peer(kind, ctx.get("broker"), "bench")
    station_file(work / "station.toml", drop, policy, table, "bench")
    proc = start_watch(work / "station.toml", ctx["home"], work / "watch.log")
    dropped: dict[int, float] = {}
    try:
        drop_parts(drop, ctx["images"], ctx["next"], 5, 5, policy, {})  # the connection made, not timed
        time.sleep(1.0)
        first = ctx["next"] + 5
        drop_parts(drop, ctx["images"], first, n, rate, policy, dropped)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len(latencies(consumer, dropped)) < n:
            time.sleep(0.1)
    finally:
        _stop(proc)
        consumer.close()
    ctx["next"] += n + 10
    ms = latencies(consumer, dropped)
    q = statistics.quantiles(ms, n=100, method="inclusive") if len(ms) > 1 else ms * 99
    return {"output": kind, "rate": rate, "policy": policy, "parts": n, "received": len(ms),
            "p50_ms": round(statistics.median(ms), 1) if ms else None, "p99_ms": round(q[98], 1) if ms else None,
            "max_ms": round(max(ms), 1) if ms else None}


def fault_run(kind: str, n: int, ctx: dict[str, Any]) -> dict[str, Any]:
    """n parts at 20/s; the peer away 10 s from a quarter in; watch SIGKILLed at half and started again."""
    work = Path(tempfile.mkdtemp(prefix="bench-faults-", dir=ctx["root"]))
    drop = work / "drop"
    drop.mkdir()
    station = f"faults-{kind}"
    table, consumer, away, back = peer(kind, ctx.get("broker"), station)
    config, log = work / "station.toml", work / "watch.log"
    station_file(config, drop, "none", table, station)
    state = {"proc": start_watch(config, ctx["home"], log)}
    first = ctx["next"]

    def during(i: int) -> None:
        if i == first + n // 4:
            away()
            state["back_at"] = time.monotonic() + 10
        if state.get("back_at") and time.monotonic() >= state["back_at"]:
            back()
            state["back_at"] = None
        if i == first + n // 2:
            state["proc"].kill()  # SIGKILL
            state["proc"].wait()
            state["proc"] = start_watch(config, ctx["home"], log)

    dropped: dict[int, float] = {}
    try:
        drop_parts(drop, ctx["images"], first, n, 20, "none", dropped, during)
        if state.get("back_at"):
            time.sleep(max(0.0, state["back_at"] - time.monotonic()))
            back()
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and len(latencies(consumer, dropped)) < n:
            time.sleep(0.2)
        time.sleep(1.0)
    finally:
        _stop(state["proc"])
        consumer.close()
    ctx["next"] += n + 10
    return count(kind, consumer, dropped, ctx["home"], station)


def count(kind: str, consumer: Any, dropped: dict[int, float], home: Path, station: str) -> dict[str, Any]:
    with consumer.lock:
        got = [r for _, r in consumer.got]
    seqs = [r["seq"] for r in got]
    parts = {part_of(r) for r in got}
    db = sqlite3.connect(home / "results" / "results.db")
    sent = {s for (s,) in db.execute("SELECT r.seq FROM outbox o JOIN results r ON r.id = o.result_id WHERE "
                                     "o.station = ? AND o.state = 'sent'", (station,))}
    rows = db.execute("SELECT COUNT(*) FROM results WHERE station = ?", (station,)).fetchone()[0]
    return {"output": kind, "parts": len(dropped), "rows": rows, "received": len(got), "distinct": len(set(seqs)),
            "missing": len(set(dropped) - parts), "sent_not_received": len(sent - set(seqs)),
            "in_order": list(dict.fromkeys(seqs)) == sorted(set(seqs))}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--outputs", default="modbus,opcua,mqtt,webhook")
    ap.add_argument("--rates", default="10,50")
    ap.add_argument("--policies", default="none,sentinel")
    ap.add_argument("--parts", type=int, default=200)
    ap.add_argument("--backbone", default="lite0", choices=("lite0", "none"))
    ap.add_argument("--faults", action="store_true")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    kinds = args.outputs.split(",")
    with tempfile.TemporaryDirectory(prefix="bench-line-") as tmp:
        root = Path(tmp)
        home, images = build_home(root, args.backbone)
        ctx: dict[str, Any] = {"root": root, "home": home, "images": images, "next": 1}
        if "mqtt" in kinds:
            ctx["broker"] = peers.Broker().start()
        try:
            if args.faults:
                results = [fault_run(k, args.parts, ctx) for k in kinds]
            else:
                results = [latency_run(k, float(r), p, args.parts if float(r) < 20 else 2 * args.parts, ctx)
                           for p in args.policies.split(",") for r in args.rates.split(",") for k in kinds]
        finally:
            if "broker" in ctx:
                ctx["broker"].close()
    report(results, args)


def report(results: list[dict[str, Any]], args: argparse.Namespace) -> None:
    if args.json:
        print(json.dumps({"versions": versions(), "results": results}, indent=2))
        return
    print("versions:", versions())
    for r in results:
        print("  ".join(f"{k} {v}" for k, v in r.items()))


if __name__ == "__main__":
    main()
