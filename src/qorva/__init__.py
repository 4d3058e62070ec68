"""qorva: machine-vision inspection host with the folder-drop camera and the NORIM inspector."""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version
from pathlib import Path


def _version() -> str:
    """The installed package's version; run from a source tree (`make dev`), the one pyproject.toml declares."""
    try:
        return version("qorva")
    except PackageNotFoundError:
        pass
    import tomllib

    try:
        with (Path(__file__).resolve().parents[2] / "pyproject.toml").open("rb") as fh:
            return str(tomllib.load(fh)["project"]["version"])
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "unknown"


__version__ = _version()
