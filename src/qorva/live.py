"""The live page of `qorva watch --serve`: the latest verdicts, the latest NG, rates and the folder's health.

The standard library's ThreadingHTTPServer serves it: the page asks for one small JSON document a second
and an image per new verdict, a load that needs no framework, and a dependency less is one thing less to
install on a line PC. The server is read-only: it answers GET alone and holds nothing a request can change.
The page notices by itself when the job stops or hangs: an answer that does not come, or a heartbeat older
than a few seconds, turns its banner into "no update since T".
"""

from __future__ import annotations

import json
import logging
import re
import threading
import time
from collections import Counter, deque
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any

import cv2
import numpy as np

from qorva.names import printable
from qorva.overlays import NO_LOCATION

logger = logging.getLogger("qorva.live")

RECENT = 24
MINUTES = 10
_THUMB_PX = 160
_IMAGE = re.compile(r"^/(thumb|ng)/(\d+)\.(jpg|png)$")


def parse_address(text: str) -> tuple[str, int]:
    """'8080', ':8080', 'HOST:8080' or '[::1]:8080' -> (host, port); the host is localhost when not given."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not port.isdigit() or not 0 <= int(port) <= 65535:
        msg = f"not an address: {text!r}; use PORT or HOST:PORT, e.g. 8080 or 0.0.0.0:8080"
        raise ValueError(msg)
    return host, int(port)


def _encode(image: np.ndarray, ext: str, side: int | None = None) -> bytes:
    if side is not None:
        h, w = image.shape[:2]
        scale = side / max(h, w)
        if scale < 1:
            size = (max(1, round(w * scale)), max(1, round(h * scale)))
            image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    ok, buf = cv2.imencode(ext, image)
    return buf.tobytes() if ok else b""


class LiveFeed:
    """What the page shows, updated by the job's thread and read by the server's threads."""

    def __init__(self, *, product: str, folder: str, threshold: float, health: Any = None) -> None:
        self._lock = threading.Lock()
        self.info = {"product": product, "folder": printable(folder), "threshold": threshold, "started": time.time()}
        self.health = health
        self.heartbeat = time.time()
        self.stopped: str | None = None
        self.counts: Counter = Counter()
        self._recent: deque[dict[str, Any]] = deque(maxlen=RECENT)
        self._images: dict[tuple[str, int], bytes] = {}
        self._latest_ng: dict[str, Any] | None = None
        self._minutes: deque[tuple[int, Counter]] = deque(maxlen=MINUTES)
        # Verdict times of the last minute, for its rate; 50,000 bounds it far above any line's pace.
        self._times: deque[float] = deque(maxlen=50_000)
        self._seq = 0

    def beat(self) -> None:
        self.heartbeat = time.time()

    def stop(self, reason: str) -> None:
        self.stopped = reason
        self.beat()

    def add(
        self, row: Any, image: np.ndarray | None, overlay: np.ndarray | None = None, *, located: bool = True
    ) -> None:
        """One recorded verdict; the thumbnail is made here, on the job's thread (about 1 ms for 640x480)."""
        item = {
            "file": printable(row.source_file or "-"), "verdict": row.verdict, "score": row.score,
            "threshold": row.threshold, "dominant": row.dominant_branch, "ms": row.latency_ms,
            "error": row.error_message, "time": time.time(), "recovered": bool(row.recovered),
        }
        thumb = _encode(image, ".jpg", _THUMB_PX) if image is not None else b""
        big = _encode(overlay, ".png") if overlay is not None and row.verdict == "NG" else b""
        minute = int(item["time"] // 60)
        with self._lock:
            self._seq += 1
            item["seq"] = self._seq
            item["thumb"] = bool(thumb)
            self._images[("thumb", self._seq)] = thumb
            self._images.pop(("thumb", self._seq - RECENT), None)
            if row.verdict == "NG":
                if self._latest_ng is not None:
                    self._images.pop(("ng", self._latest_ng["seq"]), None)
                self._images[("ng", self._seq)] = big
                self._latest_ng = {**item, "overlay": bool(big), "note": "" if located else NO_LOCATION}
            self._recent.appendleft(item)
            self.counts[row.verdict] += 1
            if not self._minutes or self._minutes[-1][0] != minute:
                self._minutes.append((minute, Counter()))
            self._minutes[-1][1][row.verdict] += 1
            self._times.append(item["time"])
        self.beat()

    def image(self, kind: str, seq: int) -> bytes | None:
        with self._lock:
            return self._images.get((kind, seq)) or None

    def status(self) -> dict[str, Any]:
        """The JSON document of the page."""
        now = time.time()
        with self._lock:
            recent = list(self._recent)
            latest = dict(self._latest_ng) if self._latest_ng else None
            seen = {m: dict(c) for m, c in self._minutes}
            # Every one of the last minutes, empty ones too, so the bars keep their places.
            minutes = [(m, seen.get(m, {})) for m in range(int(now // 60) - MINUTES + 1, int(now // 60) + 1)]
            counts = dict(self.counts)
            last = sum(1 for t in self._times if t > now - 60)
        window = sum(sum(c.values()) for _, c in minutes)
        return {
            **self.info, "now": now, "heartbeat": self.heartbeat, "stopped": self.stopped, "counts": counts,
            "rate_1m": last / 60.0,
            "rate_10m": window / (60.0 * MINUTES),
            "ng_rate_10m": (sum(c.get("NG", 0) for _, c in minutes) / window) if window else None,
            "minutes": [{"minute": m * 60, **c} for m, c in minutes],
            "health": self._health(), "recent": recent, "latest_ng": latest,
        }

    def _health(self) -> dict[str, Any]:
        h = self.health
        if h is None:
            return {}
        return {"last_poll": h.last_poll, "waiting": h.waiting, "set_aside": h.set_aside,
                "ignored": sorted(h.ignored)}


class _Handler(BaseHTTPRequestHandler):
    feed: LiveFeed
    server_version = "qorva-live"

    def do_GET(self) -> None:  # noqa: N802 - the http.server API's name
        path = self.path.split("?", 1)[0]
        if path == "/":
            self._send(HTTPStatus.OK, "text/html; charset=utf-8", _page())
        elif path == "/status.json":
            self._send(HTTPStatus.OK, "application/json", json.dumps(self.feed.status()).encode("utf-8"))
        elif (m := _IMAGE.match(path)) and (data := self.feed.image(m.group(1), int(m.group(2)))):
            self._send(HTTPStatus.OK, "image/jpeg" if m.group(3) == "jpg" else "image/png", data)
        else:
            self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")

    def _send(self, status: HTTPStatus, kind: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the http.server API's name
        logger.debug("%s %s", self.address_string(), format % args)


def _page() -> bytes:
    return resources.files("qorva").joinpath("live_page.html").read_bytes()


class LiveServer:
    """Serves `feed` on (host, port) from a thread of its own until `close`."""

    def __init__(self, feed: LiveFeed, host: str, port: int) -> None:
        handler = type("Handler", (_Handler,), {"feed": feed})
        self.httpd = ThreadingHTTPServer((host, port), handler)
        self.httpd.daemon_threads = True
        self._thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.2},
                                        name="qorva-live")

    @property
    def url(self) -> str:
        host, port = self.httpd.server_address[:2]
        shown = f"[{host}]" if ":" in str(host) else str(host)
        return f"http://{shown}:{port}/"

    def start(self) -> LiveServer:
        self._thread.start()
        return self

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self._thread.join(5.0)
        if self._thread.is_alive():
            logger.warning("the live page's server did not stop within 5 s")
