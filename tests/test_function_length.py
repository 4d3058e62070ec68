"""Every Python function in src/ reads in one screen: no more than 60 lines, as the syntax tree counts them."""

from __future__ import annotations

import ast
from pathlib import Path

_SRC = Path(__file__).resolve().parent.parent / "src" / "qorva"
# A longer function is several steps that want names of their own; 60 lines is about one screen.
_MAX_LINES = 60


def _long_functions(root: Path) -> list[str]:
    found = []
    for path in sorted(root.rglob("*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                # lineno is the `def` line, so decorators do not count.
                lines = node.end_lineno - node.lineno + 1
                if lines > _MAX_LINES:
                    found.append(f"{path.relative_to(root.parent)}:{node.lineno} {node.name} {lines} lines")
    return found


def test_no_function_is_longer_than_60_lines():
    assert _SRC.is_dir(), _SRC
    found = _long_functions(_SRC)
    assert not found, "split into named steps:\n" + "\n".join(found)
