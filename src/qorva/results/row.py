"""The record of each inspected image: one row shape for the results database, `qorva inspect` and `qorva results`."""

from __future__ import annotations

import datetime as _dt
import math
import os
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

from qorva.names import printable, raw, shown
from qorva.schemas.common import Verdict

VERDICTS = tuple(v.value for v in Verdict)

# The path of an image as a camera or the command line gives it.
Source = str | bytes | os.PathLike | None


def _number(value: Any) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


@dataclass
class Row:
    """One inspected image as recorded; `recorded_at` is UTC ISO-8601 with milliseconds.

    The branch columns are the runner's `BRANCHES`, one column each. `source_file` and `source_path` are
    the names as `names.shown` writes them (one line, every byte told apart), `source_bytes` the path's
    raw bytes. `file_size`, `file_mtime_ns` and `content_hash` with the product and the file name are the
    image's key; `recovered` is 1 for an image that an earlier run had taken and never recorded. `station`
    is the `watch` that recorded it, `row_key` its unique key (`store.row_key`; None for a row without a key).
    `seq` is the station's sequence number given when the row is recorded, `part_id` the part's id taken from
    its file name or sidecar (`watch --part-id`), `late` 1 when the verdict came after `watch --deadline-ms`.
    `model_version` and `model_build` name the version of the bundle that judged it, `threshold_source` how its
    threshold was chosen (`versions.InUse`); None where no model judged it (a file set aside by the camera).
    `offset_x`, `offset_y` (px of the image, right and down) and `offset_deg` are where the image lay against
    the product's reference, `offset_beyond` 1 when that is beyond what training saw (`with_registration`);
    None where the model does not register images.
    """

    recorded_at: str
    run_id: str
    product_id: str
    source_file: str | None
    source_path: str | None
    verdict: str
    score: float | None = None
    threshold: float | None = None
    ratio: float | None = None
    structural: float | None = None
    mahalanobis: float | None = None
    logical: float | None = None
    dominant_branch: str | None = None
    overlay_path: str | None = None
    latency_ms: float | None = None
    error_message: str | None = None
    source_bytes: bytes | None = None
    file_size: int | None = None
    file_mtime_ns: int | None = None
    content_hash: str | None = None
    recovered: int = 0
    station: str | None = None
    row_key: str | None = None
    seq: int | None = None
    part_id: str | None = None
    late: int = 0
    model_version: int | None = None
    model_build: str | None = None
    threshold_source: str | None = None
    offset_x: float | None = None
    offset_y: float | None = None
    offset_deg: float | None = None
    offset_beyond: int | None = None
    id: int | None = None

    @classmethod
    def from_result(
        cls, result: Any, *, run_id: str, product_id: str, source: Source, latency_ms: float
    ) -> Row:
        """The row of one `InspectionResult`, recorded now; a verdict on a non-finite score becomes ERROR."""
        from qorva.inspection.modules.norim.runner import BRANCHES

        verdict = str(getattr(result.verdict, "value", result.verdict))
        score = _number(result.score)
        error = getattr(result, "error_message", None)
        if verdict != "ERROR" and (score is None or not math.isfinite(score)):
            # A verdict on a score that is not a number is no verdict.
            verdict, error = "ERROR", f"non-finite score {result.score!r}"
        details = result.details if isinstance(result.details, dict) else {}
        branch = details.get("branch") if isinstance(details.get("branch"), dict) else {}
        dominant = details.get("dominant_branch")
        return cls(
            **_source_fields(source),
            recorded_at=utc_now(),
            run_id=run_id,
            product_id=product_id,
            verdict=verdict,
            score=score if verdict != "ERROR" else None,
            threshold=_number(result.threshold),
            ratio=_number(details.get("ratio_over_threshold")),
            **{name: _number(branch.get(name)) for name in BRANCHES},
            dominant_branch=None if dominant is None else printable(dominant),
            latency_ms=round(latency_ms, 2),
            error_message=None if error is None else printable(error),
        )

    @classmethod
    def error(cls, message: str, *, run_id: str, product_id: str, source: Source, latency_ms: float = 0.0) -> Row:
        """An ERROR row for an image that could not be judged or recorded as it was; `message` says why."""
        return cls(
            **_source_fields(source),
            recorded_at=utc_now(),
            run_id=run_id,
            product_id=printable(product_id),
            verdict="ERROR",
            latency_ms=round(latency_ms, 2),
            error_message=printable(message),
        )

    def judged_by(self, model: Any) -> Row:
        """This row with the version, build and threshold source of `model` (a `versions.InUse`) recorded."""
        self.model_version, self.model_build, self.threshold_source = model.version, model.build, model.source
        return self

    def with_registration(self, registration: Any) -> Row:
        """The row with the registration of its image (a runner `Registration`, or None: the columns stay empty)."""
        if registration is not None:
            self.offset_x, self.offset_y = round(registration.dx, 2), round(registration.dy, 2)
            self.offset_deg, self.offset_beyond = round(registration.degrees, 3), int(registration.beyond)
        return self

    def to_record(self) -> dict[str, Any]:
        """The row as printed by `--format json`: `id` (None before it is recorded), then every column.

        The raw bytes of the source path are written in hexadecimal (JSON and CSV carry no bytes).
        """
        record = {"id": self.id, **{c: getattr(self, c) for c in COLUMNS}}
        if isinstance(self.source_bytes, bytes):
            record["source_bytes"] = self.source_bytes.hex()
        return record


def _source_fields(source: Any) -> dict[str, Any]:
    """`source_file`, `source_path` and `source_bytes` of an image's path (None when it has none)."""
    if source is None:
        return {"source_file": None, "source_path": None, "source_bytes": None}
    data = raw(source)
    return {"source_file": shown(Path(os.fsdecode(data)).name), "source_path": shown(data), "source_bytes": data}


COLUMNS = tuple(f.name for f in fields(Row) if f.name != "id")


@dataclass
class Shadow:
    """What a candidate version said of a recorded image (`watch --shadow`), kept apart from its row."""

    model_version: int | None
    model_build: str | None
    threshold_source: str | None
    verdict: str
    score: float | None = None
    threshold: float | None = None
    ratio: float | None = None
    dominant_branch: str | None = None
    error_message: str | None = None

    @classmethod
    def of(cls, row: Row) -> Shadow:
        """The shadow verdict of a row judged by the candidate (`Row.from_result(...).judged_by(candidate)`)."""
        return cls(*(getattr(row, f.name) for f in fields(cls)))


SHADOW_COLUMNS = tuple(f.name for f in fields(Shadow))


def utc_now() -> str:
    return format_time(_dt.datetime.now(_dt.UTC))


def format_time(moment: _dt.datetime) -> str:
    return moment.astimezone(_dt.UTC).strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"
