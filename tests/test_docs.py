"""The docs stay true to the tree: the package table lists every module, and every relative link leads somewhere."""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

_ROOT = Path(__file__).resolve().parents[1]
# The runner is one row: its own layout is the model's docs, and it changes apart from the host.
_RUNNER = "src/qorva/inspection/modules/norim/runner/"


def _trivial(path: Path) -> bool:
    """A package's `__init__.py` that holds nothing but a docstring and `from __future__` imports."""
    body = ast.parse(path.read_text(encoding="utf-8")).body
    return all(isinstance(n, ast.Expr) and isinstance(n.value, ast.Constant) or
               isinstance(n, ast.ImportFrom) and n.module == "__future__" for n in body)


def _tree() -> set[str]:
    modules = {
        p.relative_to(_ROOT).as_posix() for p in (_ROOT / "src" / "qorva").rglob("*")
        if p.suffix in (".py", ".pyi", ".html") and _RUNNER not in p.relative_to(_ROOT).as_posix() + "/"
        and not (p.name == "__init__.py" and _trivial(p))
    }
    native = {f"src/native/{p.name}/" for p in (_ROOT / "src" / "native").iterdir() if p.is_dir()}
    return modules | native | {_RUNNER}


def test_the_package_table_lists_every_module_and_nothing_else():
    text = (_ROOT / "docs" / "architecture.md").read_text(encoding="utf-8")
    rows = set(re.findall(r"^\| `(src/[^`]+)` \|", text, flags=re.M))
    tree = _tree()
    assert not tree - rows, f"modules missing from docs/architecture.md: {sorted(tree - rows)}"
    assert not rows - tree, f"rows of docs/architecture.md with no module: {sorted(rows - tree)}"


@pytest.mark.parametrize("page", ["README.md", *(f"docs/{p.name}" for p in sorted((_ROOT / "docs").glob("*.md")))])
def test_relative_links_and_pictures_lead_to_files(page: str):
    path = _ROOT / page
    links = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", path.read_text(encoding="utf-8"))
    missing = [link for link in links if "://" not in link and not (path.parent / link).exists()]
    assert not missing, f"{page} links to missing files: {missing}"
