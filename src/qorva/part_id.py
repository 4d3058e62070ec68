"""The part's identity: the id a line gives each part, taken from its image's file name or a sidecar JSON file.

`watch --part-id REGEX` searches the file name with a regular expression whose named group `part` is the
id (`'^(?P<part>\\d+)_'` takes 4711 from `4711_top.png`); `--part-id-sidecar KEY` reads KEY from the JSON
file beside the image with its stem (`4711_top.json`), which the sender writes before the image. A file
that gives no id gets the marked value `no-id:<file name>`: never a guess, never another part's id.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
from pathlib import Path
from typing import Any

from qorva.names import printable, raw, shown

logger = logging.getLogger("qorva.part_id")

NO_ID = "no-id:"
# A sidecar is a few fields; anything bigger is no sidecar of ours.
_SIDECAR_MAX = 64 * 1024
_ID_MAX = 128


def pattern(text: str) -> re.Pattern[str]:
    """An option type: a regular expression with the named group `part`."""
    try:
        compiled = re.compile(text)
    except re.error as exc:
        msg = f"--part-id: not a regular expression: {exc}"
        raise argparse.ArgumentTypeError(msg) from None
    if "part" not in compiled.groupindex:
        msg = f"--part-id needs a named group 'part', e.g. '^(?P<part>\\d+)_'; got {text!r}"
        raise argparse.ArgumentTypeError(msg)
    return compiled


class PartId:
    """The id of the part of an image path: sidecar first when asked for, then the file name's pattern."""

    def __init__(self, regex: re.Pattern[str] | None, sidecar_key: str | None = None) -> None:
        self.regex, self.sidecar_key = regex, sidecar_key

    def __call__(self, source: Any) -> str:
        path = Path(os.fsdecode(raw(source or b"")))
        found = self._sidecar(path) if self.sidecar_key else None
        if found is None and self.regex is not None:
            m = self.regex.search(shown(path.name))
            found = m.group("part") if m and m.group("part") else None
        if found is None:
            return NO_ID + shown(path.name)
        return printable(found)[:_ID_MAX]

    def _sidecar(self, path: Path) -> str | None:
        side = path.with_suffix(".json")
        try:
            with side.open("rb") as fh:
                data = json.loads(fh.read(_SIDECAR_MAX + 1)[:_SIDECAR_MAX])
        except FileNotFoundError:
            return None
        except (OSError, ValueError, RecursionError) as exc:
            logger.warning("cannot read the part id from %s: %s", shown(side), exc)
            return None
        value = data.get(self.sidecar_key) if isinstance(data, dict) else None
        if value is None or isinstance(value, (dict, list, bool)):
            return None
        return str(value)
