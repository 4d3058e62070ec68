"""A small progress bar for the command line: stderr only, silent off a terminal or when quiet."""

from __future__ import annotations

import sys
import time
from collections.abc import Iterable, Iterator
from typing import TextIO, TypeVar

T = TypeVar("T")


class Progress:
    """Draws `desc [#####.....] n/total  rate/s  eta` on one line; a spinner when the total is unknown."""

    _SPIN = "|/-\\"

    def __init__(
        self,
        total: int | None,
        desc: str = "",
        *,
        quiet: bool = False,
        stream: TextIO | None = None,
        unit: str = "it",
    ) -> None:
        self.total = total
        self.desc = desc
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = not quiet and bool(getattr(self.stream, "isatty", lambda: False)())
        self.n = 0
        self._t0 = time.perf_counter()
        self._last = 0.0

    def update(self, k: int = 1, *, note: str = "") -> None:
        self.n += k
        now = time.perf_counter()
        # Redrawing on every step costs more than small steps themselves; 10 Hz is enough for a person.
        if self.enabled and (now - self._last >= 0.1 or (self.total is not None and self.n >= self.total)):
            self._last = now
            self._draw(now, note)

    def _draw(self, now: float, note: str) -> None:
        elapsed = max(now - self._t0, 1e-9)
        rate = self.n / elapsed
        if self.total:
            frac = min(self.n / self.total, 1.0)
            width = 28
            filled = int(frac * width)
            eta = (self.total - self.n) / rate if rate > 0 else 0.0
            done = f"[{'#' * filled}{'.' * (width - filled)}] {self.n}/{self.total}"
            bar = f"{done}  {rate:.1f} {self.unit}/s  eta {eta:.0f}s"
        else:
            bar = f"{self._SPIN[self.n % 4]} {self.n} {self.unit}  {rate:.1f} {self.unit}/s"
        text = f"\r{self.desc} {bar} {note}".rstrip()
        self.stream.write(text + "\x1b[K")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self._draw(time.perf_counter(), "")
            self.stream.write("\n")
            self.stream.flush()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def progress(items: Iterable[T], total: int | None = None, desc: str = "", *, quiet: bool = False) -> Iterator[T]:
    """Iterate over `items`, drawing a bar on stderr when it is a terminal."""
    if total is None and hasattr(items, "__len__"):
        total = len(items)  # type: ignore[arg-type]
    with Progress(total, desc, quiet=quiet) as bar:
        for item in items:
            yield item
            bar.update()
