"""Telling a service manager how `watch` is doing: systemd's notification protocol, no dependency.

Under a unit with `Type=notify`, systemd passes a datagram socket in `NOTIFY_SOCKET`; `watch` says "READY=1"
once the model is warm and the banner is out (so `systemctl start` returns when the station can judge a part),
"WATCHDOG=1" from the job's own loop at a quarter of `WatchdogSec` (a job that hangs stops saying it and is
restarted), a one-line "STATUS=" with the counts, and "STOPPING=1" when it stops. Without the variable (a
terminal, Windows, another manager) every call does nothing. The protocol: man sd_notify(3).
"""

from __future__ import annotations

import logging
import os
import socket
import time
from collections.abc import Callable

logger = logging.getLogger("qorva.service")

# STATUS= lines are for `systemctl status`; once every few seconds is as often as a person reads them.
_STATUS_EVERY_S = 5.0


class Notifier:
    """The service manager's socket, if there is one; safe to call from one thread at a time."""

    def __init__(self, environ: dict[str, str] | None = None) -> None:
        env = os.environ if environ is None else environ
        self._address = _address(env.get("NOTIFY_SOCKET", ""))
        self._sock: socket.socket | None = None
        self._watchdog_s = _watchdog_interval(env)
        self._next_beat = 0.0
        self._next_status = 0.0

    @property
    def active(self) -> bool:
        return self._address is not None

    def send(self, *fields: str) -> None:
        """Send `KEY=value` fields in one datagram; a manager that went away is logged once and forgotten."""
        if self._address is None:
            return
        try:
            if self._sock is None:
                self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                # Never wait on the manager: a full queue skips this ping, the next one goes when there is room.
                self._sock.setblocking(False)
            self._sock.sendto("\n".join(fields).encode(), self._address)
        except BlockingIOError:
            return
        except OSError as exc:
            logger.warning("cannot notify the service manager at %s: %s; not notifying it again", self._address, exc)
            self.close()
            self._address = None

    def ready(self, status: str) -> None:
        self.send("READY=1", f"STATUS={_one_line(status)}")

    def beat(self, status: Callable[[], str] | None = None) -> None:
        """Between frames: the watchdog's ping when due, and now and then the status line (made only then)."""
        if self._address is None:
            return
        now = time.monotonic()
        fields = []
        if self._watchdog_s is not None and now >= self._next_beat:
            self._next_beat = now + self._watchdog_s / 4.0
            fields.append("WATCHDOG=1")
        if status is not None and now >= self._next_status:
            self._next_status = now + _STATUS_EVERY_S
            fields.append(f"STATUS={_one_line(status())}")
        if fields:
            self.send(*fields)

    def stopping(self, status: str) -> None:
        self.send("STOPPING=1", f"STATUS={_one_line(status)}")

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None


def _address(value: str) -> str | bytes | None:
    # "@name" is an abstract socket (Linux): its name begins with a NUL byte.
    if value.startswith("@"):
        return b"\0" + value[1:].encode()
    return value if value.startswith("/") else None


def _watchdog_interval(env: dict[str, str]) -> float | None:
    """WatchdogSec in seconds when it is meant for this process, else None."""
    pid = env.get("WATCHDOG_PID")
    if pid and pid != str(os.getpid()):
        return None
    try:
        usec = int(env.get("WATCHDOG_USEC", ""))
    except ValueError:
        return None
    return usec / 1e6 if usec > 0 else None


def _one_line(text: str) -> str:
    return " ".join(text.split())[:200]
