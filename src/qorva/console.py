"""Everything drawn on the terminal: the progress bar, the status line and the one line per result.

Bars and status lines go to stderr only and stay silent off a terminal or when quiet; results go to stdout.
"""

from __future__ import annotations

import datetime as dt
import logging
import sys
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, TextIO

from qorva.names import printable

if TYPE_CHECKING:
    from qorva.results import Row


class Progress:
    """Draws `desc [#####.....] n/total  rate/s  elapsed, eta` on one line; a spinner when the total is unknown.

    Steps are not alike (a training reads its images in a second, then fits for half a minute), so the eta is
    the steps left times the last step's time, or times the running step's time once it lasts longer: it grows
    while a long step runs instead of promising a second. On a terminal the line is drawn again every second.
    """

    _SPIN = "|/-\\"
    _TICK_S = 1.0

    def __init__(
        self,
        total: int | None,
        desc: str = "",
        *,
        quiet: bool = False,
        stream: TextIO | None = None,
        unit: str = "it",
        clock: Callable[[], float] = time.perf_counter,
    ) -> None:
        self.total = total
        self.desc = desc
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = not quiet and bool(getattr(self.stream, "isatty", lambda: False)())
        self.n = 0
        self._clock = clock
        self._t0 = self._step_t = clock()
        self._per_step = 0.0
        self._last = 0.0
        self._done = threading.Event()
        self._ticker: threading.Thread | None = None
        if self.enabled and total:
            self._ticker = threading.Thread(target=self._tick, name="qorva-progress", daemon=True)
            self._ticker.start()

    def update(self, k: int = 1) -> None:
        now = self._clock()
        with _drawing:
            self.n += k
            self._per_step = (now - self._step_t) / max(k, 1)
            self._step_t = now
        # Redrawing on every step costs more than small steps themselves; 10 Hz is enough for a person.
        if self.enabled and (now - self._last >= 0.1 or (self.total is not None and self.n >= self.total)):
            self._last = now
            self._draw(now)

    def eta(self, now: float) -> float:
        """Seconds left: the steps left at the pace of the last step, or of the running one if it is slower."""
        left = (self.total or 0) - self.n
        if left <= 0:
            return 0.0
        running = now - self._step_t
        return max(left * max(self._per_step, running) - running, 0.0)

    def text(self, now: float) -> str:
        elapsed = max(now - self._t0, 1e-9)
        rate = self.n / elapsed
        if self.total:
            frac = min(self.n / self.total, 1.0)
            width = 28
            filled = int(frac * width)
            done = f"[{'#' * filled}{'.' * (width - filled)}] {self.n}/{self.total}"
            return f"{self.desc} {done}  {rate:.1f} {self.unit}/s  {elapsed:.0f}s, eta {self.eta(now):.0f}s"
        return f"{self.desc} {self._SPIN[self.n % 4]} {self.n} {self.unit}  {rate:.1f} {self.unit}/s"

    def _draw(self, now: float) -> None:
        with _drawing:
            self.stream.write("\r" + self.text(now) + "\x1b[K")
            self.stream.flush()

    def _tick(self) -> None:
        while not self._done.wait(self._TICK_S):
            self._draw(self._clock())

    def close(self) -> None:
        self._done.set()
        if self._ticker is not None:
            self._ticker.join(2.0)
        if self.enabled:
            self._draw(self._clock())
            self.stream.write("\n")
            self.stream.flush()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# Log records come from the camera's thread too: one lock keeps a record and the status line from
# interleaving their characters.
_drawing = threading.RLock()


class StatusLine:
    """One self-rewriting line on stderr; silent off a terminal or when quiet.

    The line shown last is `StatusLine.current`: log records are written above it (`StatusAwareHandler`).
    """

    current: StatusLine | None = None

    def __init__(self, *, quiet: bool = False, stream: TextIO | None = None, interval_s: float = 0.2) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = not quiet and bool(getattr(self.stream, "isatty", lambda: False)())
        self.interval_s = interval_s
        self._last = 0.0
        self._shown = False
        self._text = ""

    def show(self, text: str) -> None:
        now = time.monotonic()
        if not self.enabled or now - self._last < self.interval_s:
            return
        self._last = now
        self._text = text
        StatusLine.current = self
        self.redraw()

    def redraw(self) -> None:
        """Draw the last text again (after a log record was written where it stood)."""
        if not self.enabled or not self._text:
            return
        with _drawing:
            self.stream.write("\r" + self._text + "\x1b[K")
            self.stream.flush()
            self._shown = True

    def clear(self) -> None:
        """Erase the line so that a result printed on stdout starts on a clean line."""
        with _drawing:
            if self._shown:
                self.stream.write("\r\x1b[K")
                self.stream.flush()
                self._shown = False


    def close(self) -> None:
        """Erase the line for good: later log records do not draw it again."""
        self.clear()
        self._text = ""
        if StatusLine.current is self:
            StatusLine.current = None


class StatusAwareHandler(logging.StreamHandler):
    """Writes each log record on its own line above the status line: erase the line, write, draw it again."""

    def emit(self, record: logging.LogRecord) -> None:
        status = StatusLine.current
        with _drawing:
            if status is not None and status.stream is self.stream:
                status.clear()
                super().emit(record)
                status.redraw()
            else:
                super().emit(record)


# Log records in a file (`watch --log-file`) and on the terminal with --debug: time, level and logger.
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


class OneLineFormatter(logging.Formatter):
    """Log records name files from outside: a newline in a name must not start a line of its own."""

    def formatMessage(self, record: logging.LogRecord) -> str:  # noqa: N802 - the logging API's name
        return printable(super().formatMessage(record))


class CliFormatter(OneLineFormatter):
    """A record on the terminal as a command line speaks: `qorva: warning: <message>`."""

    def formatMessage(self, record: logging.LogRecord) -> str:  # noqa: N802 - the logging API's name
        return printable(f"qorva: {record.levelname.lower()}: {record.message}")


def result_line(row: Row) -> str:
    """The one line printed per image: local time, file, verdict, score/threshold, dominant branch, latency.

    Names and messages come from outside: control characters are escaped so that a line stays one line.
    """

    when = dt.datetime.fromisoformat(row.recorded_at.replace("Z", "+00:00")).astimezone()
    stamp = when.strftime("%H:%M:%S.") + f"{when.microsecond // 1000:03d}"
    if row.verdict == "ERROR":
        what = f"ERROR  {printable(row.error_message)}"
    else:
        what = f"{row.verdict:<5}  {row.score:8.4f} / {row.threshold:.4f}  {row.dominant_branch or '-':<11}"
    recovered = "  (recovered)" if row.recovered else ""
    return f"{stamp}  {printable(row.source_file)}  {what}  {row.latency_ms or 0:.0f} ms{recovered}"
