"""Expected failures of the command line and the job around the modules."""

from __future__ import annotations


class QorvaError(Exception):
    """A failure the user can fix; the command line prints it as one line and exits 1."""
