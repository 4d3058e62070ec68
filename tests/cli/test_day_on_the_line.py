"""docs/day-on-the-line.md runs as written: train, evaluate, teach, watch, review, add the reviewed parts, a
new version in shadow, the switch and the rollback."""

from __future__ import annotations

import re
from pathlib import Path

from clitools import run_as_newcomer, sh_lines

_PAGE = Path(__file__).resolve().parents[2] / "docs" / "day-on-the-line.md"


def test_the_day_on_the_line_runs_top_to_bottom(tmp_path: Path):
    lines = sh_lines(_PAGE.read_text(encoding="utf-8"))
    assert lines[0] == "make demo" and lines[-1].startswith("qorva models use board 1")
    done = run_as_newcomer(lines, tmp_path)
    out = done.stdout
    assert done.returncode == 0, f"{out[-3000:]}\n{done.stderr[-3000:]}"
    # The dimmer lot's good parts were overruled, its defects confirmed, and both went back into the model.
    assert re.search(r"(\d+) rows reviewed by", done.stderr) and "reviewed good parts)" in out
    # Version 2 still finds every defect confirmed in review, and the line ends where it began.
    assert re.search(r"evaluated board v2 on \d+ good and \d+ bad images .*recall 100\.0%", out)
    assert re.search(r"shadow v2 agreed on \d+ of 30", out)
    last = out.rstrip().splitlines()[-1]
    assert last.startswith("board now uses threshold") and "bundle board v1" in last
