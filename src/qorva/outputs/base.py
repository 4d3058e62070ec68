"""What every output is: a peer that takes messages in order and confirms them, and the record it is sent."""

from __future__ import annotations

import hashlib
import json
import math
import time
from typing import Any

from qorva.results.outbox import Message

# Result codes of the line: "the station never guesses OK". ERROR (an unreadable image, a failure) and
# LATE (a verdict after the deadline) are rejects as much as NG is.
RESULT_CODES = {"OK": 0, "NG": 1, "ERROR": 2}
LATE = 3
# Cause codes: the dominant branch of an NG (0: none, for OK and ERROR); the model's registration check,
# when it says the part is out of place, is its own code.
CAUSE_CODES = {"structural": 1, "mahalanobis": 2, "logical": 3, "registration": 9}


class OutputDown(Exception):
    """The peer cannot take messages now (unreachable, refused, not confirming); the sender tries again later."""


class OutputConfigError(Exception):
    """An output's table in the station file is wrong; the message names the key."""


def result_code(row: Any) -> int:
    """0 OK, 1 NG, 2 ERROR, 3 late (whatever the verdict: a late verdict comes too late to act on)."""
    if getattr(row, "late", 0):
        return LATE
    return RESULT_CODES.get(str(row.verdict), RESULT_CODES["ERROR"])


def cause_code(row: Any) -> int:
    if row.verdict != "NG":
        return 0
    if getattr(row, "offset_beyond", None):  # the part lay farther off than training saw: that, not a branch
        return CAUSE_CODES["registration"]
    return CAUSE_CODES.get(str(row.dominant_branch or ""), 0)


def part_number(part_id: str | None) -> int:
    """The part id as a 32-bit number for a register: its digits when it is a number that fits, else the
    first 31 bits of its SHA-256 with the top bit set (so a hashed id never equals a numeric one); 0: none."""
    if not part_id:
        return 0
    if part_id.isdigit() and int(part_id) < 2**31:
        return int(part_id)
    return 2**31 | int.from_bytes(hashlib.sha256(part_id.encode("utf-8", "surrogateescape")).digest()[:4]) >> 1


def record(message: Message) -> dict[str, Any]:
    """The JSON record a message carries: every column of its row, with its result and cause codes."""
    row = message.row
    data = row.to_record()
    data.pop("source_bytes", None)  # the raw bytes of the path: the station's own business, in hex
    data["result_code"] = result_code(row)
    data["cause_code"] = cause_code(row)
    return data


def encode(message: Message) -> bytes:
    """The message's record as compact JSON; numbers that are not finite become null."""
    data = {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in record(message).items()}
    return json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class Output:
    """One output of a station: `send` hands a message to the peer, `confirmed` returns the entries the peer
    has confirmed since the last call.

    `send` returns False when the peer has no room now (a full ring of result slots: the message waits in
    the outbox) and raises `OutputDown` when the peer cannot be reached; then the sender calls `reset`
    (messages in flight are forgotten and sent again) and tries again after a pause. `tick` runs every
    cycle for heartbeats. `wake`, set by the sender, is called when something changed on the peer's side.
    """

    kind = ""
    # Messages handed to the peer and not confirmed yet, at most.
    window = 1

    def __init__(self, name: str, station: str) -> None:
        self.name, self.station = name, station
        self.wake: Any = lambda: None
        self.state: dict[str, Any] = {"ready": False, "busy": False, "fault": 0}
        self.started = time.monotonic()

    def start(self) -> None:
        """Open what the output serves or connects to; raises `OutputDown` when the peer is not there."""

    def close(self) -> None:
        """Release everything; nothing is confirmed after this."""

    def send(self, message: Message) -> bool:
        raise NotImplementedError

    def confirmed(self) -> list[int]:
        return []

    def reset(self) -> None:
        """Forget the messages in flight: they are sent again."""

    def tick(self) -> None:
        """Between messages: heartbeats, the station's status."""

    def set_state(self, **state: Any) -> None:
        """The station's ready, busy and fault code, for outputs that show them."""
        self.state.update(state)

    def describe(self) -> str:
        """One line: where this output sends, without any secret."""
        return self.kind
