"""The ring of result slots a PLC reads and acknowledges (the Modbus registers, the OPC UA variables).

The result of sequence s takes slot (s - 1) mod N. The PLC writes the highest sequence it has read into its
acknowledge; that confirms every result placed up to it and frees their slots. A slot is taken again only
once its result was acknowledged: while N placed results wait unacknowledged the next ones wait in the
outbox, so a PLC that stops reading loses nothing.
"""

from __future__ import annotations


class Ring:
    """Which results are placed and not acknowledged yet (sequence -> outbox entry), and the last placed.

    Not thread-safe: the output that owns it holds its lock around every call."""

    def __init__(self, slots: int) -> None:
        self.slots = slots
        self.placed: dict[int, int] = {}
        self.last = 0

    def slot(self, seq: int) -> int:
        """The slot (0-based) of sequence `seq`."""
        return (seq - 1) % self.slots

    def full(self, seq: int) -> bool:
        """Whether `seq` would take the slot of a result the PLC has not acknowledged yet."""
        return bool(self.placed) and seq - min(self.placed) >= self.slots

    def first_ack(self, seq: int, acked: int) -> int | None:
        """The acknowledge to start from when `seq` is placed into an empty ring far past the PLC's (the first
        message of a run, or after the outbox dropped some): the sequence just before it; None: keep `acked`."""
        return seq - 1 if not self.placed and seq - acked > self.slots else None

    def place(self, seq: int, entry: int) -> None:
        self.placed[seq] = entry
        self.last = max(self.last, seq)

    def confirmed(self, acked: int) -> list[int]:
        """The outbox entries the acknowledge `acked` confirms, in sequence order, forgotten here; an acknowledge
        beyond the last placed result confirms what is placed and nothing to come."""
        upto = min(acked, self.last)
        done = sorted(s for s in self.placed if s <= upto)
        return [self.placed.pop(s) for s in done]

    def clear(self) -> None:
        """Forget what is placed (sent again from the outbox); the last sequence stays."""
        self.placed.clear()
