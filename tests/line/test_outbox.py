"""The outbox's bound: the oldest waiting messages dropped past the cap, finished ones deleted after a day, and
each output's backlog as the page shows it."""

from __future__ import annotations

from qorva.results import ResultStore, Row, utc_now


def _row(i: int) -> Row:
    return Row(recorded_at=utc_now(), run_id="r1", product_id="p", source_file=f"img{i}.png",
               source_path=f"/d/img{i}.png", verdict="OK", score=0.5, threshold=1.0, content_hash=f"h{i}")


def test_bound_drops_past_the_cap_and_deletes_what_finished_a_day_ago(tmp_path):
    with ResultStore(tmp_path / "results.db", station="st1") as store:
        for i in range(10):
            store.add(_row(i), outputs=("plc", "mes"))
        ids = {o: [m.id for m in store.waiting(o, limit=100)] for o in ("plc", "mes")}
        store.mark(ids["plc"][:6])
        conn = store.db.connect(writer=True)
        # Four of them sent two days ago, then one an hour ago (finished out of id order: it stays, and so does
        # every one after it), the sixth just now.
        for i, done in zip(ids["plc"][:6], ["2000-01-01T00:00:00.000Z"] * 3 + ["9999-01-01", "2000-01-01", None],
                           strict=True):
            if done is not None:
                conn.execute("UPDATE outbox SET done_at = ? WHERE id = ?", (done, i))
        conn.close()
        dropped = store.bound("plc", max_messages=2, max_age_s=None)
        left = {r["id"]: r["state"] for r in store.db.connect(writer=False).execute(
            "SELECT id, state FROM outbox WHERE output = 'plc'").fetchall()}
        plc, mes = store.backlog("plc"), store.backlog("mes")
    assert dropped == 2  # four waiting, two over the cap: the oldest two
    assert sorted(left) == ids["plc"][3:]
    assert [left[i] for i in ids["plc"][6:]] == ["dropped", "dropped", "waiting", "waiting"]
    assert (plc.waiting, plc.dropped) == (2, 2) and (mes.waiting, mes.dropped) == (10, 0)
    assert plc.oldest is not None and mes.oldest is not None
