"""The runner's own failure type."""

from __future__ import annotations


class NorimError(Exception):
    """A failure of the model runner that the user can act on (missing or damaged bundle, bad name or device)."""
