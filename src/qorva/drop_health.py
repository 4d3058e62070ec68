"""What the job sees of its drop folder besides the images: files set aside, files ignored, files waiting.

The camera says nothing to its reader about a file it sets aside (undecodable after its retries, or too
large): it logs a warning on its logger, `"<reason> - set aside: <path>"` or `"<reason> - excluded after
<n> failures: <path>"`, and offers the file again only when it is reopened, so at every start of `watch`.
This module listens to those records on the camera's receiver thread and hands them to the job's thread,
which records each file once (by the image key). A survey of the folder, every few seconds, counts the
files waiting and names once each suffix that the camera ignores.
"""

from __future__ import annotations

import logging
import os
import queue
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from qorva.names import printable

logger = logging.getLogger("qorva.job")

CAMERA_LOGGER = "qorva.camera.dropnest"
# The camera's own texts for a file it stops offering (reason first, path last).
_SET_ASIDE_FORMATS = ("%s - set aside: %s", "%s - excluded after %d failures: %s")
# Files the job and the camera write themselves, and the markers of the sentinel policy.
_OWN = (".qorva-watch.lock",)
# A survey lists the whole folder (20,000 kept files take about 10 ms): every few seconds is plenty for a
# count that a person reads.
SURVEY_S = 2.0


@dataclass
class SetAside:
    path: str
    reason: str


class _Listener(logging.Handler):
    """Takes the camera's set-aside records off its receiver thread; never raises there."""

    def __init__(self, sink: queue.SimpleQueue) -> None:
        super().__init__(logging.WARNING)
        self.sink = sink

    def emit(self, record: logging.LogRecord) -> None:
        if record.msg in _SET_ASIDE_FORMATS and isinstance(record.args, tuple) and record.args:
            self.sink.put(SetAside(os.fsdecode(record.args[-1]), str(record.args[0])))


@dataclass
class DropHealth:
    """The drop folder's health as the live page and the summary show it."""

    folder: Path | None
    extensions: Iterable[str] = ()
    sentinel_ext: str = ".done"
    last_poll: float = 0.0
    waiting: int = 0
    set_aside: int = 0
    ignored: dict[str, str] = field(default_factory=dict)  # suffix -> first file seen with it
    _queue: queue.SimpleQueue = field(default_factory=queue.SimpleQueue)
    _listener: _Listener | None = None
    _next_survey: float = 0.0
    handled: set[str] = field(default_factory=set)
    aside_paths: set[str] = field(default_factory=set)
    more: list[Path] = field(default_factory=list)  # further folders of a station serving products by subfolder

    def start(self) -> None:
        self._listener = _Listener(self._queue)
        logging.getLogger(CAMERA_LOGGER).addHandler(self._listener)

    def stop(self) -> None:
        if self._listener is not None:
            logging.getLogger(CAMERA_LOGGER).removeHandler(self._listener)
            self._listener = None

    def polled(self) -> None:
        self.last_poll = time.time()

    def new_set_aside(self) -> list[SetAside]:
        """The files the camera set aside since the last call (job's thread)."""
        found = []
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                return found
            self.set_aside += 1
            self.aside_paths.add(item.path)
            found.append(item)

    def survey(self, now: float | None = None) -> None:
        """Count the files waiting and name each ignored suffix once; at most every `SURVEY_S`."""
        now = time.monotonic() if now is None else now
        if self.folder is None or now < self._next_survey:
            return
        self._next_survey = now + SURVEY_S
        accepted = {e.lower() if e.startswith(".") else "." + e.lower() for e in self.extensions}
        waiting = 0
        for folder in (self.folder, *self.more):
            try:
                with os.scandir(folder) as it:
                    for entry in it:
                        if not entry.is_file():
                            continue
                        suffix = Path(entry.name).suffix.lower()
                        if suffix in accepted:
                            waiting += entry.path not in self.aside_paths and entry.name not in self.handled
                        elif not self._own(entry.name):
                            self._ignored(suffix, entry.name)
            except OSError:
                continue  # the camera reports an unlistable folder itself
        self.waiting = waiting

    def _own(self, name: str) -> bool:
        return name in _OWN or (bool(self.sentinel_ext) and name.endswith(self.sentinel_ext)) or name.endswith(".part")

    def _ignored(self, suffix: str, name: str) -> None:
        if suffix in self.ignored:
            return
        self.ignored[suffix] = name
        logger.warning(
            "ignoring files with suffix %s in %s (e.g. %s): not among the accepted suffixes %s; see --extensions",
            suffix or "(none)", self.folder, printable(name), ",".join(sorted(self.extensions)),
        )
