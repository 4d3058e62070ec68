"""Drop to message: how long a part's verdict takes from its file landing in the drop folder to the line's
consumer, per output, at a steady rate; and, with --faults, whether every verdict arrives through outages.

`qorva watch --config station.toml` runs as its own process (the real job: camera, NORIM inspector with
the pretrained features on a synthetic product, 2 workers, the outbox and one output); this process writes
the parts' files at the rate asked (`ready_policy none`: the file is renamed into place; `sentinel`: the
file, then its `.done` marker, the drop time being the marker's) and runs the consumer: a PLC scanning the
Modbus registers or the OPC UA variables every 10 ms and acknowledging, a persistent QoS 1 subscriber on
Debian's mosquitto, an HTTP receiver. Latency is taken at the consumer, per part, by its part id.

    python bench/bench_line.py                                  # every output, 10 and 50 parts/s, none and sentinel
    python bench/bench_line.py --outputs modbus --rates 10 --parts=100
    python bench/bench_line.py --faults --parts=1000            # the peer away 10 s, watch SIGKILLed once

--faults counts, per output: parts dropped, verdicts received (with doubles), distinct after dropping
doubles by sequence, parts missing, and outbox entries marked sent whose sequence the consumer never got.

--down measures what an output whose peer is away costs the inspection: the watch job (in this process, the
same model, 2 workers, the outbox and the output's sender) drains a backlog of --parts images with no output
and with the output configured and its peer absent (nothing listening for MQTT and the webhook; no PLC
reading the Modbus or OPC UA server, whose ring fills and whose messages wait), back to back, three times;
per output the median of the rates' ratios and of the ratios of the process's CPU per image (the figure
that holds on a shared machine, where the rate follows the other work on the cores).

    python bench/bench_line.py --down --parts=300

--first checks that the model is warm when the banner says so: watch serving two products with overlays on,
the first image an NG of the first product, the second the other product's first, then --parts more at 5/s
(one of them a later NG, warm); each first image's drop to verdict against the median of the rest.

    python bench/bench_line.py --first --parts=40
"""

from __future__ import annotations

import argparse
import datetime as _dt
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


def station_file(path: Path, drop: Path, policy: str, table: dict[str, Any], station: str, *,
                 products: str = PRODUCT, overlays: bool = False) -> None:
    lines = [f"product = '{products}'", f"folder = '{drop}'", f"ready_policy = '{policy}'", "workers = 2",
             f"station = '{station}'", "part_id = '^(?P<part>\\d+)_'", "deadline_ms = 1000", "poll_ms = 5",
             f"no_overlays = {'false' if overlays else 'true'}", "[outputs.line]"]
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


def verdict_time(record: dict[str, Any]) -> float | None:
    """The verdict's wall-clock time a consumer got with the part (the slot's time, or the record's)."""
    if "verdict_s" in record:
        return float(record["verdict_s"])
    moment = record.get("recorded_at")
    return _dt.datetime.fromisoformat(moment.replace("Z", "+00:00")).timestamp() if moment else None


def stages(consumer: Any, dropped: dict[int, float]) -> dict[str, float]:
    """Where the time goes, p99 of each stage: drop to the verdict's record (camera, inspection, job) and the
    verdict to the consumer (commit, sender, the peer, the consumer's scan). Wall clock to monotonic: one offset."""
    offset = time.time() - time.monotonic()
    first: dict[int, tuple[float, float | None]] = {}
    with consumer.lock:
        for t, record in consumer.got:
            part = part_of(record)
            if part in dropped and part not in first:
                first[part] = (t, verdict_time(record))
    split = [((v - offset - dropped[p]) * 1000, (t - v + offset) * 1000) for p, (t, v) in first.items()
             if v is not None]
    if len(split) < 2:
        return {}
    p99 = [statistics.quantiles(s, n=100, method="inclusive")[98] for s in zip(*split, strict=True)]
    return {"to_verdict_p99_ms": round(p99[0], 1), "verdict_to_consumer_p99_ms": round(p99[1], 1)}


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
            "max_ms": round(max(ms), 1) if ms else None, **stages(consumer, dropped)}


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


def first_run(ctx: dict[str, Any], n: int) -> dict[str, Any]:
    """The first images after the banner against the median of the rest: watch serving two products (by
    subfolder) on 2 workers with overlays; the first image is an NG of the first product (its overlay rendered),
    the second the other product's first; then n parts at 5/s, alternating. Drop to the verdict's record."""
    from qorva.demo import synthetic
    from qorva.home import use as use_home
    from qorva.inspection.modules.norim import runner
    from qorva.inspection.modules.norim.inspector import NorimInspector
    from qorva.products import save_state

    second = PRODUCT + "2"
    with use_home(ctx["home"]) as home:
        runner.train(second, synthetic.good_images("assembly", 20, 4, size=256), home=home, backbone=ctx["backbone"])
        save_state(home, NorimInspector().teach(synthetic.good_images("assembly", 20, 5, size=256),
                                                {"product_id": second}))
    ng = cv2.imencode(".png", synthetic.defect_image("assembly", "scratch", 7, 1, size=256)[0])[1].tobytes()
    work = Path(tempfile.mkdtemp(prefix="bench-first-", dir=ctx["root"]))
    drop, consumer = work / "drop", peers.Receiver()
    for product in (PRODUCT, second):
        (drop / product).mkdir(parents=True)
    station_file(work / "station.toml", drop, "none", {"kind": "webhook", "url": f"http://127.0.0.1:{consumer.port}/x"},
                 "bench", products=f"{PRODUCT},{second}", overlays=True)
    proc = start_watch(work / "station.toml", ctx["home"], work / "watch.log")
    dropped: dict[int, float] = {}
    later = 2 * (n // 4)  # an NG of the first product again, warm: what any NG's overlay costs
    try:
        for i in range(n + 2):
            product = (PRODUCT, second)[i % 2]
            data = ng if i in (0, later) else ctx["images"][i % len(ctx["images"])]
            (drop / product / f".{i}_part.png.tmp").write_bytes(data)
            (drop / product / f".{i}_part.png.tmp").rename(drop / product / f"{i}_part.png")
            dropped[i] = time.monotonic()
            time.sleep(0.2)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len(consumer.seqs()) < n + 2:
            time.sleep(0.1)
    finally:
        _stop(proc)
        consumer.close()
    offset = time.time() - time.monotonic()
    with consumer.lock:
        ms = {part_of(r): (verdict_time(r) - offset - dropped[part_of(r)]) * 1000 for _, r in consumer.got}
    rest = statistics.median(ms[i] for i in range(2, n + 2) if i in ms and i != later)
    return {"first_ng_with_overlay_ms": round(ms.get(0, float("nan")), 1),
            "later_ng_with_overlay_ms": round(ms.get(later, float("nan")), 1),
            "first_of_second_product_ms": round(ms.get(1, float("nan")), 1), "median_of_the_rest_ms": round(rest, 1),
            "first_over_median": round(max(ms.get(0, 0), ms.get(1, 0)) / rest, 2), "verdicts": sorted(
                r["verdict"] for _, r in consumer.got if part_of(r) in (0, 1))}


def drain(root: Path, pngs: list[bytes], home: Path, table: dict[str, Any] | None) -> tuple[float, float]:
    """Images per second of the watch job draining `pngs` with the output `table` (None: no output), and the
    process's CPU milliseconds per image meanwhile (all threads: the sender's and the output's too)."""
    from qorva.inspection.modules.norim.inspector import NorimInspector
    from qorva.io.camera.dropnest import DropnestCamera
    from qorva.io.camera.push import with_acknowledgement
    from qorva.job import InspectionJob, JobOptions, JobWatchers, camera_params
    from qorva.outputs import build
    from qorva.products import load_state
    from qorva.results import ResultStore

    work = Path(tempfile.mkdtemp(prefix="bench-down-", dir=root))
    drop, db = work / "drop", work / "results.db"
    drop.mkdir()
    for i, data in enumerate(pngs):
        (drop / f"{i}_part.png").write_bytes(data)
    state = load_state(home, PRODUCT)
    camera = with_acknowledgement(DropnestCamera)(camera_params(drop, ready_policy="none"))
    with ResultStore(db, station="bench") as store:  # made first: it creates the tables the sender reads
        sending = None if table is None else build({"line": table}, {}, "bench", lambda stop: ResultStore(
            db, station="bench", stop=stop, synced=False)).start()
        if sending is not None:
            sending.wait_started(10.0)  # as watch does before its banner
        try:
            t, cpu = time.perf_counter(), time.process_time()
            summary = InspectionJob(home=home, state=state, store=store, inspector=NorimInspector(), camera=camera,
                                    options=JobOptions(max_images=len(pngs), workers=2, write_overlays=False),
                                    watchers=JobWatchers(outputs=sending)).run()
            elapsed, cpu = time.perf_counter() - t, time.process_time() - cpu
        finally:
            if sending is not None:
                sending.close(grace_s=0)
    if summary.n != len(pngs):
        msg = f"the job recorded {summary.n} of {len(pngs)} images"
        raise RuntimeError(msg)
    return len(pngs) / elapsed, cpu / len(pngs) * 1000.0


def down_run(kinds: list[str], n: int, ctx: dict[str, Any]) -> list[dict[str, Any]]:
    """Per output: the drain rate with its peer away against the rate with no output, back to back."""
    from qorva.home import use as use_home

    pngs = [ctx["images"][i % len(ctx["images"])] for i in range(n)]
    absent = {"mqtt": {"kind": "mqtt", "port": peers.free_port()},
              "webhook": {"kind": "webhook", "url": f"http://127.0.0.1:{peers.free_port()}/x"},
              "modbus": {"kind": "modbus", "port": peers.free_port(), "slots": 16},
              "opcua": {"kind": "opcua", "url": f"opc.tcp://127.0.0.1:{peers.free_port()}/qorva/", "slots": 16}}
    results = []
    with use_home(ctx["home"]):
        drain(ctx["root"], pngs[:20], ctx["home"], None)  # the model loaded and warm before anything is timed
        for kind in kinds:
            pairs = [(drain(ctx["root"], pngs, ctx["home"], None), drain(ctx["root"], pngs, ctx["home"], absent[kind]))
                     for _ in range(3)]
            rates = sorted(away[0] / alone[0] for alone, away in pairs)
            cpus = sorted(away[1] / alone[1] for alone, away in pairs)
            results.append({"output": kind, "parts": n, "no_output_img_s": [round(a[0], 1) for a, _ in pairs],
                            "peer_away_img_s": [round(b[0], 1) for _, b in pairs],
                            "median_rate_ratio": round(rates[1], 3),
                            "cpu_ms_img": [(round(a[1], 2), round(b[1], 2)) for a, b in pairs],
                            "median_cpu_ratio": round(cpus[1], 3)})
    return results


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--outputs", default="modbus,opcua,mqtt,webhook")
    ap.add_argument("--rates", default="10,50")
    ap.add_argument("--policies", default="none,sentinel")
    ap.add_argument("--parts", type=int, default=200)
    ap.add_argument("--backbone", default="lite0", choices=("lite0", "none"))
    ap.add_argument("--faults", action="store_true")
    ap.add_argument("--down", action="store_true", help="throughput with each output's peer away")
    ap.add_argument("--first", action="store_true", help="the first images' latency against the median")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    kinds = args.outputs.split(",")
    with tempfile.TemporaryDirectory(prefix="bench-line-") as tmp:
        root = Path(tmp)
        home, images = build_home(root, args.backbone)
        ctx: dict[str, Any] = {"root": root, "home": home, "images": images, "next": 1, "backbone": args.backbone}
        if "mqtt" in kinds and not (args.down or args.first):
            ctx["broker"] = peers.Broker().start()
        try:
            if args.first:
                results = [first_run(ctx, args.parts)]
            elif args.down:
                results = down_run(kinds, args.parts, ctx)
            elif args.faults:
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
