"""Where qorva keeps products, bundles, the training cache and results."""

from __future__ import annotations

import os
from pathlib import Path

ENV_VAR = "QORVA_HOME"


def default_home() -> Path:
    """The per-user default folder.

    %LOCALAPPDATA%\\qorva on Windows; $XDG_DATA_HOME/qorva, else ~/.local/share/qorva, elsewhere.
    """
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA") or str(Path.home() / "AppData" / "Local")
        return Path(base) / "qorva"
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base) / "qorva"


def qorva_home(override: str | os.PathLike[str] | None = None) -> Path:
    """The home folder: `override` if given, else $QORVA_HOME, else the per-user default (read at every call)."""
    if override:
        return Path(override).expanduser()
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).expanduser()
    return default_home()
