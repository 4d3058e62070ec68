"""The station file: `qorva watch --config station.toml` holds a station's whole setup in one file.

Every long option of `watch` is a key of the same name (`ready_policy` or `ready-policy`) and type, checked
as the command line checks it; the `[outputs.<name>]` tables configure the outputs to the line and
`[products]` gives each product its code for the PLC's registers. Options given on the command line
override the file. Read with the standard library's `tomllib`; an example is `docs/station.toml`.
"""

from __future__ import annotations

import argparse
import difflib
import tomllib
from pathlib import Path
from typing import Any

from qorva.errors import QorvaError

# Tables of the file that are no option; keys of the command line that have no place in a file.
TABLES = ("outputs", "products")
_NOT_IN_FILE = ("config", "check", "help")


class StationFileError(QorvaError):
    """The station file cannot be read or holds a wrong key or value."""


def read(path: str | Path) -> dict[str, Any]:
    try:
        with Path(path).open("rb") as fh:
            return tomllib.load(fh)
    except OSError as exc:
        msg = f"cannot read the station file {path}: {exc.strerror or exc}"
        raise StationFileError(msg) from None
    except tomllib.TOMLDecodeError as exc:
        msg = f"station file {path} is not valid TOML: {exc}"
        raise StationFileError(msg) from None


def _options(parser: argparse.ArgumentParser) -> dict[str, argparse.Action]:
    return {a.dest: a for a in parser._actions
            if any(o.startswith("--") for o in a.option_strings) and a.dest not in _NOT_IN_FILE}


def given_on_command_line(parser: argparse.ArgumentParser, argv: list[str]) -> set[str]:
    """The options (by dest) that `argv` gives."""
    words = {a.split("=", 1)[0] for a in argv if a.startswith("--")}
    return {dest for dest, action in _options(parser).items() if words & set(action.option_strings)}


def apply(parser: argparse.ArgumentParser, data: dict[str, Any], path: str | Path) -> list[str]:
    """Make the file's values the defaults of `parser` (the command line still overrides them); its tables
    become `args.station_outputs` and `args.station_products`. Returns the options the file set."""
    options = _options(parser)
    defaults: dict[str, Any] = {}
    for key, value in data.items():
        if key in TABLES:
            if not isinstance(value, dict):
                msg = f"station file {path}: [{key}] must be a table"
                raise StationFileError(msg)
            continue
        dest = key.replace("-", "_")
        if dest not in options:
            close = difflib.get_close_matches(dest, list(options), n=2, cutoff=0.6)
            hint = f" (did you mean {' or '.join(close)}?)" if close else ""
            msg = f"station file {path}: unknown key {key!r}{hint}; the keys are watch's options"
            raise StationFileError(msg)
        defaults[dest] = _value(options[dest], value, f"station file {path}: {key}")
        options[dest].required = False
    defaults["station_outputs"] = data.get("outputs", {})
    defaults["station_products"] = data.get("products", {})
    parser.set_defaults(**defaults)
    return [d for d in defaults if d not in ("station_outputs", "station_products")]


def _value(action: argparse.Action, value: Any, where: str) -> Any:
    """`value` from the file as the command line would have made it from text."""
    if isinstance(action, argparse._StoreTrueAction):
        if not isinstance(value, bool):
            msg = f"{where}: true or false, got {value!r}"
            raise StationFileError(msg)
        return value
    if isinstance(value, bool) or isinstance(value, dict):
        msg = f"{where}: a value of the option, got {value!r}"
        raise StationFileError(msg)
    text = ",".join(str(v) for v in value) if isinstance(value, list) else str(value)
    try:
        converted = action.type(text) if callable(action.type) else text
    except (argparse.ArgumentTypeError, ValueError, TypeError) as exc:
        msg = f"{where}: {exc}"
        raise StationFileError(msg) from None
    if action.choices is not None and converted not in action.choices:
        msg = f"{where}: one of {', '.join(map(str, action.choices))}, got {value!r}"
        raise StationFileError(msg)
    return converted
