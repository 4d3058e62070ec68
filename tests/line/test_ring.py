"""The result ring both PLC outputs share: a slot is reused only once acknowledged, and an acknowledge
confirms nothing that was not placed."""

from __future__ import annotations

import pytest

from qorva.outputs.ring import Ring


@pytest.mark.parametrize(("placed", "acked", "confirmed", "furthest"), [
    pytest.param([1, 2, 3, 4], 2, [101, 102], 6, id="ack-frees-the-oldest-slots"),
    pytest.param([1, 2, 3, 4], 0, [], 4, id="full-ring-waits"),
    pytest.param([1, 2], 9, [101, 102], None, id="ack-past-the-last-confirms-only-what-was-placed"),
    pytest.param([5, 6, 7, 8], 6, [105, 106], 10, id="after-a-restart"),
])
def test_a_slot_is_taken_again_only_once_its_result_was_acknowledged(placed, acked, confirmed, furthest):
    ring = Ring(4)
    for seq in placed:
        assert not ring.full(seq)
        ring.place(seq, 100 + seq)
    assert ring.confirmed(acked) == confirmed
    assert ring.confirmed(acked) == []  # confirmed once
    if furthest is None:  # empty: anything fits
        assert not ring.full(100)
    else:
        assert not ring.full(furthest) and ring.full(furthest + 1)


@pytest.mark.parametrize(("seq", "acked", "start"), [(1, 0, None), (5, 0, 4), (40, 7, 39), (9, 5, None)])
def test_the_first_result_of_a_run_sets_the_acknowledge_just_before_it(seq, acked, start):
    assert Ring(4).first_ack(seq, acked) == start
