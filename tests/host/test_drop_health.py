"""The drop folder's survey: files waiting, suffixes ignored, and the recorded names it forgets once gone."""

from __future__ import annotations

from pathlib import Path

from qorva.drop_health import DropHealth


def test_survey_counts_waiting_files_and_forgets_recorded_names_once_gone(tmp_path: Path):
    for name in ("done.png", "new.png", "UPPER.PNG", "bad.png", "notes.txt", "a.png.done", ".qorva-watch.lock",
                 "..png", "dot."):
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / "folder.png").mkdir()
    health = DropHealth(tmp_path, ["png"], ".done")
    health.handled.add("done.png")
    health.aside_paths.add(str(tmp_path / "bad.png"))
    health.survey(now=0)
    # new.png, UPPER.PNG and ..png (its suffix is .png, as pathlib has it) wait; "dot." has no suffix.
    assert health.waiting == 3
    assert health.ignored == {".txt": "notes.txt", "": "dot."}
    # The recorded file moved away, then a sender reuses its name: the new file waits.
    (tmp_path / "done.png").unlink()
    health.survey(now=10)
    assert "done.png" not in health.handled
    (tmp_path / "done.png").write_bytes(b"again")
    health.survey(now=20)
    assert health.waiting == 4
