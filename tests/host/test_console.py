"""Log records are written on their own lines above the status line, which is drawn again below them."""

from __future__ import annotations

import io
import logging

from qorva.console import StatusAwareHandler, StatusLine


class _Tty(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_log_record_goes_above_the_status_line_and_the_line_comes_back():
    stream = _Tty()
    status = StatusLine(stream=stream, interval_s=0)
    handler = StatusAwareHandler(stream)
    handler.setFormatter(logging.Formatter("%(message)s"))
    status.show("watch: 3 images")
    handler.emit(logging.makeLogRecord({"msg": "a warning", "levelno": logging.WARNING}))
    assert stream.getvalue() == "\rwatch: 3 images\x1b[K" + "\r\x1b[K" + "a warning\n" + "\rwatch: 3 images\x1b[K"
    status.close()
    handler.emit(logging.makeLogRecord({"msg": "after the job", "levelno": logging.WARNING}))
    assert stream.getvalue().endswith("\r\x1b[K" + "after the job\n")
