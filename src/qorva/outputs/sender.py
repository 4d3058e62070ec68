"""A sender per output: a thread that takes the output's messages from the outbox, in order, and marks each one
sent only when the peer confirmed it; a peer that is down is tried again with backoff, the messages wait."""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable
from typing import Any

from qorva.errors import QorvaError
from qorva.outputs.base import Output, OutputDown
from qorva.results.outbox import DROPPED, Message

logger = logging.getLogger("qorva.outputs")

# A peer that is down is tried again after 0.5 s, doubling up to 10 s between tries.
_RETRY_FIRST_S = 0.5
_RETRY_MAX_S = 10.0
# Without a wake-up (a new row, a confirmation) the sender looks again this often: heartbeats, retries.
_IDLE_S = 0.25
# How often the outbox's bound is applied and the backlog counted for the page.
_BOUND_EVERY_S = 2.0


class Sender:
    """Delivers one output's messages from the outbox (a store of its own, made on the sender's thread by
    `open_store`) until `close`."""

    def __init__(self, output: Output, open_store: Callable[[threading.Event], Any], *,
                 max_messages: int = 100_000, max_age_s: float | None = None) -> None:
        self.output = output
        self.open_store = open_store
        self.max_messages, self.max_age_s = max_messages, max_age_s
        self._stop = threading.Event()
        self._wake = threading.Event()
        output.wake = self._wake.set
        self._thread = threading.Thread(target=self._run, name=f"qorva-output-{output.name}", daemon=True)
        self._in_flight: dict[int, Message] = {}
        self._after = 0
        self._moved = False  # the last cycle sent or confirmed something
        self._empty = False  # the last look found nothing waiting and nothing in flight
        self._started = False
        self._down_since: float | None = None
        self._retry_at = 0.0
        self._delay = _RETRY_FIRST_S
        self._next_bound = 0.0
        self.info: dict[str, Any] = {"name": output.name, "kind": output.kind, "up": False, "sent": 0,
                                     "dropped": 0, "waiting": 0, "oldest": None, "error": None}

    def start(self) -> Sender:
        self._thread.start()
        return self

    def wake(self) -> None:
        self._wake.set()

    def close(self, timeout: float = 10.0) -> None:
        self._stop.set()
        self._wake.set()
        self._thread.join(timeout)
        if self._thread.is_alive():
            logger.warning("output %s did not stop within %.0f s", self.output.name, timeout)

    def drained(self) -> bool:
        """Nothing waiting for this output as last counted, nothing in flight."""
        return self._empty

    def _run(self) -> None:
        try:
            store = self.open_store(self._stop)
        except QorvaError as exc:
            logger.warning("output %s cannot read the outbox: %s", self.output.name, exc)
            return
        try:
            while not self._stop.is_set():
                self._moved = False
                self._cycle(store)
                if not self._moved:  # more may wait right now: look again at once
                    self._wake.wait(_IDLE_S if not self._down_since else min(_IDLE_S, self._wait_left()))
                self._wake.clear()
        finally:
            self._shut()
            store.close()

    def _wait_left(self) -> float:
        return max(0.0, self._retry_at - time.monotonic())

    def _cycle(self, store: Any) -> None:
        try:
            if self._down_since is not None and time.monotonic() < self._retry_at:
                return
            if not self._started:
                self.output.start()
                self._started = True
            self._confirm(store)
            self.output.tick()
            self._offer(store)
            self._confirm(store)
            if self._down_since is not None:
                self._back()
        except OutputDown as exc:
            self._down(exc)
        except QorvaError as exc:  # the database: the messages stay where they are
            if not self._stop.is_set():
                logger.warning("output %s: %s", self.output.name, exc)
                self._stop.wait(1.0)
        self._bound(store)

    def _confirm(self, store: Any) -> None:
        done = self.output.confirmed()
        if not done:
            return
        store.mark(done)
        self._moved = True
        for i in done:
            self._in_flight.pop(i, None)
        self.info["sent"] += len(done)

    def _offer(self, store: Any) -> None:
        room = self.output.window - len(self._in_flight)
        if room <= 0:
            return
        messages = store.waiting(self.output.name, after=self._after, limit=room)
        self._empty = not messages and not self._in_flight
        for message in messages:
            if not self.output.send(message):
                return
            self._in_flight[message.id] = message
            self._after = message.id
            self._moved = True

    def _down(self, exc: OutputDown) -> None:
        now = time.monotonic()
        if self._down_since is None:
            self._down_since = now
            self._delay = _RETRY_FIRST_S
            logger.warning("output %s is down, its messages wait in the outbox: %s", self.output.name, exc)
        self.info.update(up=False, error=str(exc))
        self._shut()
        self._retry_at = now + self._delay
        self._delay = min(self._delay * 2, _RETRY_MAX_S)

    def _back(self) -> None:
        logger.warning("output %s reached again after %.1f s", self.output.name, time.monotonic() - self._down_since)
        self._down_since = None
        self.info.update(up=True, error=None)

    def _shut(self) -> None:
        """Close the output; what was in flight is sent again from the outbox."""
        if self._started:
            try:
                self.output.close()
            except Exception as exc:  # noqa: BLE001 - a peer that fails to close is dropped all the same
                logger.debug("output %s: closing: %s", self.output.name, exc)
        self._started = False
        self._in_flight.clear()
        self._after = 0

    def _bound(self, store: Any) -> None:
        now = time.monotonic()
        if now < self._next_bound or self._stop.is_set():
            return
        self._next_bound = now + _BOUND_EVERY_S
        try:
            dropped = store.bound(self.output.name, max_messages=self.max_messages, max_age_s=self.max_age_s)
            mine = [b for b in store.backlogs(store.station) if b.output == self.output.name]
        except QorvaError as exc:
            logger.warning("output %s: %s", self.output.name, exc)
            return
        if dropped:
            logger.warning("output %s: %d messages dropped from the outbox (over %d waiting or older than %s s); "
                           "their rows stay in the results", self.output.name, dropped, self.max_messages,
                           self.max_age_s)
            self.info["dropped"] += dropped
        self.info["waiting"] = mine[0].waiting if mine else 0
        self.info["oldest"] = mine[0].oldest if mine else None
        if self._started and self._down_since is None:
            self.info["up"] = True


class Outputs:
    """The senders of one station's outputs: the job queues a message per name and wakes them."""

    def __init__(self, senders: list[Sender]) -> None:
        self.senders = senders
        self.names = tuple(s.output.name for s in senders)

    def start(self) -> Outputs:
        for s in self.senders:
            s.start()
        return self

    def wake(self) -> None:
        for s in self.senders:
            s.wake()

    def set_state(self, **state: Any) -> None:
        for s in self.senders:
            s.output.set_state(**state)

    def status(self) -> list[dict[str, Any]]:
        return [dict(s.info) for s in self.senders]

    def close(self, grace_s: float = 2.0) -> None:
        """Give the senders `grace_s` to deliver what waits, then stop them; the rest waits for the next run."""
        deadline = time.monotonic() + grace_s
        self.wake()
        while time.monotonic() < deadline and not all(s.drained() for s in self.senders):
            time.sleep(0.05)
        for s in self.senders:
            s.close()


__all__ = ["DROPPED", "Outputs", "Sender"]
