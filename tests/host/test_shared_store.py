"""Results in one database from many stations: SQLite and PostgreSQL alike, a lost connection, a restart."""

from __future__ import annotations

import contextlib
import sqlite3
import threading
import time
from pathlib import Path

import pytest

from helpers import wait_until, write_png
from qorva import results
from qorva.inspection.base import ModelState
from qorva.io.camera.push import with_acknowledgement
from qorva.job import InspectionJob, JobOptions, camera_params
from qorva.results import Key, ResultStore, Row, StoreError
from qorva.schemas.common import InspectionResult, Verdict


@pytest.fixture(params=["sqlite", "postgresql"])
def target(request, tmp_path: Path) -> str | Path:
    if request.param == "sqlite":
        return tmp_path / "results.db"
    return request.getfixturevalue("postgres").new_database()


def _row(name: str, run: str = "r1", verdict: str = "OK", content: str | None = "h1") -> Row:
    return Row(recorded_at="2026-12-08T14:00:00.000Z", run_id=run, product_id="P1", source_file=name,
               source_path=f"/d/{name}", verdict=verdict, score=0.5, source_bytes=b"/d/\xff" + name.encode(),
               file_size=10, file_mtime_ns=1_700_000_000_123_456_789, content_hash=content)


def test_one_store_on_either_engine(target):
    with ResultStore(target, station="s1") as s1, ResultStore(target, station="s2") as s2:
        candidate = results.Shadow(2, "b2", "manual", "NG", 3.5, 1.0, 3.5, "structural")
        first = s1.add(_row("a.png"), shadow=candidate)
        again = _row("a.png")
        assert s1.add(again, shadow=candidate) == first  # the same image of the same station: one row whatever
        assert s1.shadows([first]) == {first: candidate}  # inserts it, and one candidate's verdict beside it
        s2.add(_row("a.png", run="r2", verdict="NG"))
        s1.add(_row("b.png", content=None, verdict="ERROR"))
        key = Key("P1", "a.png", 10, 1_700_000_000_123_456_789, "h1")
        assert s1.recorded(key) == first and s2.recorded(key) != first
        assert s1.recorded(Key("P1", "a.png", None, None, "h1")) is None
    with ResultStore(target, create=False) as reader:
        rows = reader.query()
        runs = {r.run_id: (r.station, r.n, r.ok, r.ng, r.error) for r in reader.runs("P1")}
        assert [r.source_file for r in reader.query(station="s2")] == ["a.png"]
    assert [(r.station, r.source_file, r.verdict) for r in rows] == [
        ("s1", "a.png", "OK"), ("s2", "a.png", "NG"), ("s1", "b.png", "ERROR")]
    assert rows[0].source_bytes == b"/d/\xffa.png" and rows[0].file_mtime_ns == 1_700_000_000_123_456_789
    assert runs == {"r1": ("s1", 2, 1, 0, 1), "r2": ("s2", 1, 0, 1, 0)}


@pytest.mark.parametrize("outage", ["commit-cut-once", "down-until-stopped"])
def test_a_lost_connection_is_retried_and_never_doubles_a_row(tmp_path, monkeypatch, outage):
    monkeypatch.setattr(results.store, "_RETRY_FIRST_S", 0.01)
    stop = threading.Event()
    with ResultStore(tmp_path / "results.db", stop=stop) as store:
        real = store.db.transaction
        cuts = [0]

        @contextlib.contextmanager
        def transaction(conn, *, write):
            with real(conn, write=write):
                yield
            # The commit went through; the answer never came back (a server restart, a cut cable).
            cuts[0] += 1
            if outage == "commit-cut-once" and cuts[0] == 1 or outage == "down-until-stopped":
                if cuts[0] == 3:
                    stop.set()
                msg = "server closed the connection unexpectedly"
                raise sqlite3.OperationalError(msg)

        monkeypatch.setattr(store.db, "transaction", transaction)
        monkeypatch.setattr(store.db, "lost", lambda exc, conn: True)
        if outage == "commit-cut-once":
            made = store.add(_row("a.png"))
        else:
            with pytest.raises(StoreError, match="out of reach"):
                store.add(_row("a.png"))
        monkeypatch.setattr(store.db, "transaction", real)
        rows = store.query()
    assert len(rows) == 1 and (outage != "commit-cut-once" or rows[0].id == made)


class _Instant:
    def inspect(self, image, state, *, with_overlay=True):
        time.sleep(0.01)  # a run long enough for the restart to fall inside it
        return InspectionResult(verdict=Verdict.OK, score=0.5, threshold=1.0, module="norim",
                                details={"branch": {"structural": 0.5}, "dominant_branch": "structural"})


def _station(url: str, name: str, folder: Path, n: int, out: dict) -> None:
    from qorva.io.camera.dropnest import DropnestCamera

    camera = with_acknowledgement(DropnestCamera)(camera_params(folder, ready_policy="none", poll_ms=5))
    stop = threading.Event()
    with ResultStore(url, station=name, stop=stop) as store:
        out[name] = InspectionJob(home=folder.parent, state=ModelState(module="norim", product_id="P1", threshold=1.0),
                                  store=store, camera=camera, inspector=_Instant(), stop=stop,
                                  options=JobOptions(max_images=n, workers=2, duration_s=60)).run()


@pytest.mark.parametrize("restart", [False, True], ids=["concurrent", "server-restart-mid-run"])
def test_two_stations_write_at_once_and_a_restart_loses_or_doubles_nothing(postgres, tmp_path, restart):
    url, n = postgres.new_database(), 60
    for station in ("s1", "s2"):
        (tmp_path / station).mkdir()
        for i in range(n):
            write_png(tmp_path / station / f"img{i:03d}.png", seed=i)
    ResultStore(url).close()  # the schema first, as the line's first station would make it
    summaries: dict = {}
    threads = [threading.Thread(target=_station, args=(url, s, tmp_path / s, n, summaries)) for s in ("s1", "s2")]
    for t in threads:
        t.start()
    with ResultStore(url, create=False) as reader:
        if restart:
            assert wait_until(lambda: len(reader.query()) >= 20, timeout=30)
            postgres.stop()
            time.sleep(1.0)
            postgres.start()
        for t in threads:
            t.join(60)
        rows = reader.query()
        left = reader._read("SELECT COUNT(*) AS n FROM handovers", ())[0]["n"]
    assert {s: (x.n, x.reason) for s, x in summaries.items()} == {"s1": (n, "max-images"), "s2": (n, "max-images")}
    for station in ("s1", "s2"):
        mine = [r for r in rows if r.station == station]
        assert sorted(r.source_file for r in mine) == [f"img{i:03d}.png" for i in range(n)]
        assert len({r.row_key for r in mine}) == n and not list((tmp_path / station).glob("*.png"))
    assert left == 0
