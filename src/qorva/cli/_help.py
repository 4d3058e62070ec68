"""Help formatting shared by the commands."""

from __future__ import annotations

import argparse


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each option's default, unless its help already says what happens by default."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        text = action.help or ""
        if action.required or "default" in text or "when omitted" in text:
            return text
        return super()._get_help_string(action)
