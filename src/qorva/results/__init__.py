"""What the job records: one row per inspected image, in a SQLite file or a line's shared PostgreSQL database.

- `row`: the `Row` of one image (the shape `watch`, `inspect` and `results` share), `VERDICTS`, time stamps.
- `key`: the image's `Key` (product, file name, size, modification time, hash of the pixels).
- `schema`: the migrations, applied in order by whichever process opens the database first.
- `store`: `ResultStore`, each row committed on its own, retried through a lost connection, never doubled.
- `journal`: the hand-overs the camera made and the job has not recorded yet (the "recovered" marks).

The names callers use are re-exported here; overlay paths and files live in `qorva.overlays`.
"""

from __future__ import annotations

from typing import Any

from qorva.results.journal import HandoverJournal
from qorva.results.key import Key, file_key, image_key, set_aside_key
from qorva.results.row import COLUMNS, VERDICTS, Row, Shadow, Source, format_time, utc_now
from qorva.results.schema import MIGRATIONS, SCHEMA_VERSION
from qorva.results.store import NoResults, ResultStore, RunInfo, StoreError, default_station, row_key

__all__ = [
    "COLUMNS", "MIGRATIONS", "SCHEMA_VERSION", "VERDICTS", "HandoverJournal", "Key", "NoResults", "ResultStore",
    "Row", "RunInfo", "Shadow", "Source", "StoreError", "default_station", "file_key", "format_time", "image_key",
    "row_key", "set_aside_key", "utc_now",
]


def __getattr__(name: str) -> Any:
    # Kept for callers of the earlier single module; imported on use, as the overlays need OpenCV.
    if name in ("overlay_path", "write_overlay"):
        from qorva import overlays

        return getattr(overlays, name)
    msg = f"module 'qorva.results' has no attribute {name!r}"
    raise AttributeError(msg)
