"""The demo's report: the report of any recorded run (`qorva.report`), with the demo's truth beside it."""

from __future__ import annotations

from pathlib import Path

from qorva import report
from qorva.demo.run import DemoOptions, DemoResult
from qorva.demo.scoring import Scores, figures, headline
from qorva.home import db_path
from qorva.report.page import Table
from qorva.results import VERDICTS


def _labels(result: DemoResult) -> dict[str, tuple[str, bool]]:
    """Each NG image's truth: a real defect (right) or a false alarm."""
    out = {}
    for name, row in result.rows.items():
        item = result.items.get(name)
        if item is not None and row.verdict == "NG":
            right = item.truth == "defect"
            out[name] = (f"defect: {item.kind}" if right else "FALSE ALARM (good)", right)
    return out


def write_report(opts: DemoOptions, result: DemoResult, s: Scores, good_scores: list[float]) -> tuple[Path, Path]:
    """The HTML report and the contact sheet of the demo's run, under <workdir>/report/."""
    rows = sorted(result.rows.values(), key=lambda r: r.id or 0)
    extra = [
        Table("Against the truth", ("figure", "value"), list(figures(result, s))),
        Table(
            "Confusion matrix (rows: truth, columns: verdict)",
            ("truth", *VERDICTS),
            [(t, *(s.matrix.get((t, v), 0) for v in VERDICTS)) for t in ("good", "defect")],
        ),
    ]
    run = report.Run(
        opts.product, rows, good_scores, home=result.home, title=f"qorva demo: {opts.product}", labels=_labels(result),
        notes=[headline(opts, result) + f". Results database: {db_path(result.home or opts.workdir)}."], extra=extra,
    )
    return report.write(run, opts.workdir / "report")
