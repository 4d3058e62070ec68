"""The demo's figures against the ground truth: confusion matrix, recall, false positives, latencies."""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass

import numpy as np

from qorva.demo.run import DemoOptions, DemoResult
from qorva.results import VERDICTS


def percentiles(values: list[float], qs: tuple[int, ...] = (50, 90, 99)) -> dict[str, float]:
    if not values:
        return {}
    arr = np.asarray(values, dtype=float)
    out = {f"p{q}": float(np.percentile(arr, q)) for q in qs}
    out["max"] = float(arr.max())
    return out


@dataclass
class Scores:
    """The demo's figures against the ground truth."""

    matrix: dict[tuple[str, str], int]
    recall: float
    fp_rate: float
    missing: list[str]
    per_kind: dict[str, tuple[int, int]]
    inspect_ms: dict[str, float]
    drop_to_verdict_ms: dict[str, float]
    throughput: float
    n: int


def score(result: DemoResult) -> Scores:
    matrix: Counter = Counter()
    per_kind: dict[str, list[int]] = {}
    missing = []
    for name, item in result.items.items():
        row = result.rows.get(name)
        if row is None:
            missing.append(name)
            continue
        matrix[(item.truth, row.verdict)] += 1
        if item.truth == "defect":
            caught = per_kind.setdefault(item.kind, [0, 0])
            caught[0] += row.verdict == "NG"
            caught[1] += 1
    n_def = sum(v for (truth, _), v in matrix.items() if truth == "defect")
    n_good = sum(v for (truth, _), v in matrix.items() if truth == "good")
    recall = matrix[("defect", "NG")] / n_def if n_def else math.nan
    fp_rate = matrix[("good", "NG")] / n_good if n_good else math.nan
    latencies = [r.latency_ms for r in result.rows.values() if r.latency_ms is not None]
    e2e = [
        (result.verdict_at[n] - result.done_at[n]) * 1000.0
        for n in result.rows
        if n in result.done_at and n in result.verdict_at
    ]
    watch_s = sum(s.seconds for s in result.summaries)
    return Scores(
        matrix=dict(matrix),
        recall=recall,
        fp_rate=fp_rate,
        missing=sorted(missing),
        per_kind={k: (v[0], v[1]) for k, v in sorted(per_kind.items())},
        inspect_ms=percentiles(latencies),
        drop_to_verdict_ms=percentiles(e2e),
        throughput=len(result.rows) / watch_s if watch_s > 0 else 0.0,
        n=len(result.rows),
    )


def pct(v: float) -> str:
    return "n/a" if math.isnan(v) else f"{100 * v:.1f}%"


def _lat(p: dict[str, float]) -> str:
    return "  ".join(f"{k} {v:.0f} ms" for k, v in p.items()) if p else "n/a"


def figures(result: DemoResult, s: Scores) -> list[tuple[str, str]]:
    """The summary figures as (label, value) pairs, for the terminal and the report alike."""
    inspector_rate = f" (inspector alone ~{1000 / s.inspect_ms['p50']:.0f}/s)" if s.inspect_ms.get("p50") else ""
    out = [
        ("recall (defects caught)", pct(s.recall)),
        ("false-positive rate", pct(s.fp_rate)),
        ("per defect kind (caught/all)", ", ".join(f"{k} {a}/{b}" for k, (a, b) in s.per_kind.items()) or "-"),
        ("inspect latency", _lat(s.inspect_ms)),
        ("drop-to-verdict latency", _lat(s.drop_to_verdict_ms)),
        ("throughput", f"{s.throughput:.1f} images/s over the watch{inspector_rate}"),
        ("time", ", ".join(f"{k} {v:.1f} s" for k, v in result.seconds.items())),
    ]
    if s.missing:
        out.append(("NO VERDICT", f"{len(s.missing)} dropped images: {', '.join(s.missing[:10])}"))
    return out


def headline(opts: DemoOptions, result: DemoResult) -> str:
    n_def = sum(i.truth == "defect" for i in result.items.values())
    return (
        f"demo: product {opts.product}, {len(result.items)} images dropped ({n_def} defective), "
        f"policy {opts.policy}, threshold {result.threshold:.4f}"
    )


def summary_lines(opts: DemoOptions, result: DemoResult, s: Scores) -> list[str]:
    m = s.matrix
    w = 8
    lines = [
        headline(opts, result),
        "",
        "confusion matrix (rows: truth, columns: verdict)",
        f"  {'':<8}" + "".join(f"{v:>{w}}" for v in VERDICTS),
    ]
    for truth in ("good", "defect"):
        lines.append(f"  {truth:<8}" + "".join(f"{m.get((truth, v), 0):>{w}}" for v in VERDICTS))
    lines.append("")
    lines += [f"{label:<29}{value}" for label, value in figures(result, s)]
    return lines


