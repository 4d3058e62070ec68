"""The first hour: the README's tour runs as written, inspect goes on past a bad file, typos are named."""

from __future__ import annotations

import shlex
import tomllib
from pathlib import Path

import pytest

from clitools import PRODUCT, goods, run_as_newcomer, run_qorva, sh_lines, write_images

_README = Path(__file__).resolve().parents[2] / "README.md"
# A copy-pasted `qorva watch` runs until stopped; the test bounds each one.
_BOUND = ("--duration", "8")


def test_inspect_takes_folders_and_goes_on_past_a_bad_file(home: Path, tmp_path: Path):
    folder = tmp_path / "batch"
    write_images(folder, goods(2, seed=3), "a")
    (folder / "a00x.png").write_bytes(b"not a png at all")
    done = run_qorva("inspect", "--product", PRODUCT, folder, "--home", home)
    lines = done.out.splitlines()
    assert done.rc == 1, done.err
    assert [Path(line.split()[0]).name for line in lines[:3]] == ["a00.png", "a00x.png", "a01.png"]
    assert "ERROR  cannot decode" in lines[1] and "ERROR 1" in lines[-1]


@pytest.mark.parametrize(
    ("argv", "needle"),
    [
        pytest.param(["watch", "--product", "p", "--foldr", "x"], "--foldr (did you mean --folder", id="option"),
        pytest.param(["wach"], "unknown command 'wach' (did you mean watch", id="command"),
        pytest.param(["results", "--limt", "3"], "--limt (did you mean --limit", id="option-before-value"),
    ],
)
def test_a_mistyped_option_or_command_is_named_with_its_closest_match(argv: list[str], needle: str):
    done = run_qorva(*argv)
    assert done.rc == 2 and needle in done.err, done.err


_VERSION = tomllib.loads((_README.parent / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


@pytest.mark.parametrize(
    ("argv", "rc", "needle"),
    [
        pytest.param([], 0, "usage: qorva", id="bare-qorva-is-help"),
        pytest.param(["--version"], 0, f"qorva {_VERSION}", id="a-real-version"),
        pytest.param(["inspect", "--product", PRODUCT.upper(), "x.png"], 1, f"(did you mean {PRODUCT!r}?)",
                     id="product-in-the-wrong-case"),
        pytest.param(["results", "--product", "nosuch"], 1, "no such product 'nosuch'", id="results-of-no-product"),
        # A warning as a command line speaks, not a logging time stamp.
        pytest.param(["teach", "--product", PRODUCT, "--good", "{teach}"], 0,
                     f"\nqorva: warning: teach {PRODUCT}: only 8 good samples", id="cli-style-warning"),
    ],
)
def test_the_first_commands_a_newcomer_types(home: Path, teach_dir: Path, argv: list[str], rc: int, needle: str):
    done = run_qorva(*(a.format(teach=teach_dir) for a in argv), "--home", home) if argv else run_qorva()
    assert done.rc == rc and needle in "\n" + done.out + done.err, done.err
    assert "Traceback" not in done.err and " WARNING " not in done.err


def _tour_commands() -> list[str]:
    """The shell lines of the README's tour, in order (```sh blocks between "## A tour" and the next section)."""
    return sh_lines(_README.read_text(encoding="utf-8"), "A tour")


def _bounded(line: str) -> str:
    """A copy-pasted `qorva watch` runs until stopped: the test bounds each one."""
    words = shlex.split(line)
    if words[:2] == ["qorva", "watch"] and not {"--duration", "--max-images"} & set(words):
        return f"{line} {' '.join(_BOUND)}"
    return line


def test_readme_tour_runs_top_to_bottom(tmp_path: Path):
    lines = _tour_commands()
    assert lines and lines[0] == "make demo" and any(line.startswith("qorva report") for line in lines)
    assert lines[1].startswith(". .venv/bin/activate")
    done = run_as_newcomer([_bounded(line) for line in lines], tmp_path)
    assert done.returncode == 0, f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    assert "report of board" in done.stdout
