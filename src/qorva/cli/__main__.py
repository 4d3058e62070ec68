"""The `qorva` command line: parser, common options and error handling."""

from __future__ import annotations

import argparse
import difflib
import importlib
import logging
import sys
from collections.abc import Sequence

from qorva import __version__
from qorva.cli._common import home_of
from qorva.cli._help import HelpFormatter
from qorva.console import LOG_FORMAT, CliFormatter, OneLineFormatter, StatusAwareHandler
from qorva.errors import QorvaError
from qorva.home import use as use_home
from qorva.names import printable

# Each command lives in its own module of this package, exposing
# `add_parser(subparsers) -> argparse.ArgumentParser` and `run(args) -> int`, and optionally
# `check_args(args) -> str | None`, what is wrong with a combination of values (a usage error), and
# `prepare(parser, argv)`, run before parsing.
# Listed in the order `--help` shows them.
COMMANDS = ("train", "teach", "evaluate", "models", "inspect", "watch", "results", "report", "review", "purge", "demo")


def _common(parser: argparse.ArgumentParser, *, top: bool = False) -> None:
    # Accepted before and after the command; after it they only override what was given before.
    kw = {} if top else {"default": argparse.SUPPRESS}
    parser.add_argument("--home", help="qorva home folder (default: $QORVA_HOME or the per-user folder)", **kw)
    parser.add_argument("--quiet", action="store_true", help="no progress bars or status lines", **kw)
    parser.add_argument("--debug", action="store_true", help="debug logging and full tracebacks", **kw)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qorva",
        description="Train, teach and run folder-drop anomaly inspection.",
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"qorva {__version__}")
    _common(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="<command>", required=True)
    for name in COMMANDS:
        module = importlib.import_module(f"qorva.cli.{name}")
        cmd = module.add_parser(sub)
        _common(cmd)
        cmd.set_defaults(_run=module.run, _check=getattr(module, "check_args", None), _parser=cmd)
        # `prepare(parser, argv)`: what a command reads before its options are parsed (watch's station file).
        cmd.prepare = getattr(module, "prepare", None)
    return parser


def _suggestion(word: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(word.split("=", 1)[0], known, n=3, cutoff=0.6)
    return f" (did you mean {' or '.join(close)}?)" if close else ""


def _parse(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> argparse.Namespace:
    """Parse like `parse_args`, but an unknown option or command is named with its closest known ones.

    Options are checked before parsing: argparse would first complain of a required option that the typo
    was meant to be (`--foldr x` reports "--folder is required").
    """
    args = sys.argv[1:] if argv is None else list(argv)
    at = next((i for i, a in enumerate(args) if not a.startswith("-") and (i == 0 or args[i - 1] != "--home")), None)
    if at is None:
        return parser.parse_args(args)
    if args[at] not in COMMANDS:
        hint = _suggestion(args[at], COMMANDS)
        parser.error(f"unknown command {args[at]!r}{hint}; choose from {', '.join(COMMANDS)}")
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices[args[at]]
    known = [o for o in sub._option_string_actions if o.startswith("--")]
    unknown = [a for a in args[at + 1 :] if a.startswith("--") and a != "--" and a.split("=", 1)[0] not in known]
    if unknown:
        sub.error("unrecognized arguments: " + "; ".join(f"{u}{_suggestion(u, known)}" for u in unknown))
    if sub.prepare is not None:
        try:
            sub.prepare(sub, args[at + 1 :])
        except QorvaError as exc:  # a file to fix, not a usage to learn: one line, exit 1
            sub.exit(1, f"qorva: error: {printable(exc)}\n")
    return parser.parse_args(args)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        parser = build_parser()
    except QorvaError as exc:  # a native module is missing: the options of `watch` come from the camera's
        print(f"qorva: error: {exc}", file=sys.stderr)
        return 1
    if not (sys.argv[1:] if argv is None else argv):
        parser.print_help()  # a bare `qorva`: what it can do, not a usage error
        return 0
    args = _parse(parser, argv)
    problem = args._check(args) if args._check is not None else None
    if problem:
        args._parser.error(problem)
    handler = StatusAwareHandler(sys.stderr)
    handler.setFormatter(OneLineFormatter(LOG_FORMAT) if args.debug else CliFormatter())
    logging.basicConfig(level=logging.DEBUG if args.debug else logging.WARNING, handlers=[handler])
    try:
        with use_home(home_of(args)):
            return int(args._run(args) or 0)
    except QorvaError as exc:
        if args.debug:
            raise
        # Messages carry names from outside: a newline in one must not make a second line.
        print(f"qorva: error: {printable(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("qorva: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
