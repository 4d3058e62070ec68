"""An output's table of the station file, read key by key: types checked, unknown keys refused, secrets from a
file or the environment only (a station file is kept in version control; a command line is seen by every user)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from qorva.outputs.base import OutputConfigError


class Table:
    """The keys of `[outputs.<name>]`; `done()` refuses the keys nobody asked for (a typo is no default)."""

    def __init__(self, name: str, data: dict[str, Any]) -> None:
        self.name = name
        self.data = dict(data)
        self._asked: set[str] = {"kind"}

    def _fail(self, key: str, what: str) -> OutputConfigError:
        return OutputConfigError(f"[outputs.{self.name}] {key}: {what}")

    def get(self, key: str, kind: type, default: Any = None, *, low: float | None = None,
            high: float | None = None) -> Any:
        self._asked.add(key)
        if key not in self.data:
            return default
        value = self.data[key]
        if kind is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise self._fail(key, f"must be {kind.__name__}, got {value!r}")
        if (low is not None and value < low) or (high is not None and value > high):
            raise self._fail(key, f"must be from {low:g} to {high:g}, got {value!r}")
        return value

    def required(self, key: str, kind: type) -> Any:
        value = self.get(key, kind)
        if value is None:
            raise self._fail(key, "is required")
        return value

    def choice(self, key: str, choices: tuple[str, ...], default: str) -> str:
        value = self.get(key, str, default)
        if value not in choices:
            raise self._fail(key, f"must be one of {', '.join(choices)}, got {value!r}")
        return value

    def path(self, key: str) -> Path | None:
        value = self.get(key, str)
        if value is None:
            return None
        path = Path(value).expanduser()
        if not path.is_file():
            raise self._fail(key, f"no such file {value}")
        return path

    def secret(self, key: str) -> str | None:
        """`<key>_file` (a file holding it) or `<key>_env` (an environment variable); never the value itself."""
        self._asked.update({key, f"{key}_file", f"{key}_env"})
        if key in self.data:
            raise self._fail(key, f"secrets are not written in the station file; give {key}_file (a file that "
                                  f"holds it) or {key}_env (an environment variable)")
        source = self.get(f"{key}_file", str)
        if source is not None:
            try:
                return Path(source).expanduser().read_text(encoding="utf-8").strip("\r\n")
            except OSError as exc:
                what = f"cannot read {source}: {exc.strerror or exc}"
                raise self._fail(key + "_file", what) from None
        env = self.get(f"{key}_env", str)
        if env is not None:
            if env not in os.environ:
                what = f"the environment variable {env} is not set"
                raise self._fail(key + "_env", what)
            return os.environ[env]
        return None

    def done(self) -> None:
        unknown = sorted(set(self.data) - self._asked)
        if unknown:
            raise self._fail(unknown[0], "unknown key")


def product_codes(table: Any) -> dict[str, int]:
    """The station's product codes for registers (`[products]` of the station file: name = code)."""
    codes: dict[str, int] = {}
    for name, code in (table or {}).items():
        if not isinstance(code, int) or isinstance(code, bool) or not 1 <= code <= 65535:
            msg = f"[products] {name}: a product code is a whole number from 1 to 65535, got {code!r}"
            raise OutputConfigError(msg)
        codes[str(name)] = code
    return codes
