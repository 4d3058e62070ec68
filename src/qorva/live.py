"""The live page of `qorva watch --serve`: the latest verdicts, the latest NG, rates and the folder's health.

The standard library's ThreadingHTTPServer serves it: the page asks for one small JSON document a second
and an image per new verdict, a load that needs no framework, and a dependency less is one thing less to
install on a line PC. It bounds what a network can make it hold (connections at once, the time of each) and
answers only to this PC's names and to addresses, so a web page elsewhere cannot read it through a rebound
DNS name. It is read-only unless `watch` is given a token file: then a POST with a token of that file may
review a row or acknowledge an alarm (`access` checks it, `live_desk` carries it out); nothing else changes.
The supervisor's report of the database, with filters, is served at /report.
The page notices by itself when the job stops or hangs: an answer that does not come, or a heartbeat older
than a few seconds, turns its banner into "no update since T". What a user sees of it: docs/operations.md.
"""

from __future__ import annotations

import contextlib
import ipaddress
import json
import logging
import re
import socket
import threading
import time
import urllib.parse
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
# A sequence number has at most 18 digits: a longer one is no image of ours, and int() refuses 5,000 digits.
_IMAGE = re.compile(r"^/(thumb|ng)/(\d{1,18})\.(jpg|png)$")
_OVERLAY = re.compile(r"^/overlay/(\d{1,18})$")


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

    def __init__(self, *, product: str, folder: str, threshold: float, health: Any = None, station: str = "",
                 desk: Any = None) -> None:
        self._lock = threading.Lock()
        self.info = {"product": product, "folder": printable(folder), "threshold": threshold, "started": time.time(),
                     "station": printable(station)}
        self.health = health
        self.desk = desk  # live_desk.LiveDesk: the queue, reviews, alarms, the report (None: none of them)
        self.heartbeat = time.time()
        self.stopped: str | None = None
        self.counts: Counter = Counter()
        self.per_product: dict[str, Counter] = {}
        self._recent: deque[dict[str, Any]] = deque(maxlen=RECENT)
        self._images: dict[tuple[str, int], bytes] = {}
        self._latest_ng: dict[str, Any] | None = None
        self._minutes: deque[tuple[int, Counter]] = deque(maxlen=MINUTES)
        # Verdict times of the last minute, for its rate; 50,000 bounds it far above any line's pace.
        self._times: deque[float] = deque(maxlen=50_000)
        self._seq = 0
        # More parts of the status document, each made by its function when asked (the outputs' backlog).
        self.sources: dict[str, Any] = {}

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
            "error": row.error_message, "time": time.time(), "recovered": bool(row.recovered), "id": row.id,
            "product": row.product_id,
        }
        # An NG tile shows its overlay (with its caption), the others the image itself.
        shown = overlay if overlay is not None and row.verdict == "NG" else image
        thumb = _encode(shown, ".jpg", _THUMB_PX) if shown is not None else b""
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
            self.per_product.setdefault(row.product_id, Counter())[row.verdict] += 1
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
            per_product = {p: dict(c) for p, c in self.per_product.items()}
            last = sum(1 for t in self._times if t > now - 60)
        window = sum(sum(c.values()) for _, c in minutes)
        desk = self.desk
        shared = desk.snapshot([r["id"] for r in recent]) if desk is not None else {"queue": [], "decided": {}}
        alarms = [a for w in (desk.drifts.values() if desk is not None else ()) for a in w.alarms()]
        return {
            **self.info, "now": now, "heartbeat": self.heartbeat, "stopped": self.stopped, "counts": counts,
            "per_product": per_product,
            "writable": bool(desk is not None and desk.writable), "alarms": alarms, **shared,
            "rate_1m": last / 60.0,
            "rate_10m": window / (60.0 * MINUTES),
            "ng_rate_10m": (sum(c.get("NG", 0) for _, c in minutes) / window) if window else None,
            "minutes": [{"minute": m * 60, **c} for m, c in minutes],
            "health": self._health(), "recent": recent, "latest_ng": latest,
            **{name: make() for name, make in self.sources.items()},
        }

    def _health(self) -> dict[str, Any]:
        h = self.health
        if h is None:
            return {}
        return {"last_poll": h.last_poll, "waiting": h.waiting, "set_aside": h.set_aside,
                "ignored": sorted(h.ignored)}


# A viewer asks for one small document a second: a request that takes longer than this is a client that
# stalls (or trickles bytes to hold a thread), and its connection is closed.
REQUEST_S = 10.0
# Connections served at once; more are closed as they come. A few viewers per station open a handful each:
# 1,018 half-sent requests once used up the process's file descriptors, and the camera's with them.
MAX_CONNECTIONS = 32


class _Handler(BaseHTTPRequestHandler):
    feed: LiveFeed
    tokens: Any  # access.Tokens, or None: the page is read-only
    server_version = "qorva-live"

    def setup(self) -> None:
        # Each read and write of the connection waits at most this long (StreamRequestHandler applies it).
        self.timeout = self.server.request_s
        super().setup()

    def do_GET(self) -> None:  # noqa: N802 - the http.server API's name
        if not self.server.host_allowed(self.headers.get("Host")):
            # A name other than this PC's is a page of another site that a DNS record pointed here.
            self._send(HTTPStatus.MISDIRECTED_REQUEST, "text/plain", b"unknown host name\n")
            return
        path, _, query = self.path.partition("?")
        if path == "/":
            self._send(HTTPStatus.OK, "text/html; charset=utf-8", _resource("live_page.html"))
        elif path == "/write.js":
            self._send(HTTPStatus.OK, "text/javascript; charset=utf-8", _resource("live_write.js"))
        elif path == "/status.json":
            self._send(HTTPStatus.OK, "application/json", json.dumps(self.feed.status()).encode("utf-8"))
        elif (m := _IMAGE.match(path)) and (data := self.feed.image(m.group(1), int(m.group(2)))):
            self._send(HTTPStatus.OK, "image/jpeg" if m.group(3) == "jpg" else "image/png", data)
        elif (m := _OVERLAY.match(path)) and self.feed.desk is not None and (
                found := self.feed.desk.overlay(int(m.group(1)))):
            self._send(HTTPStatus.OK, found[1], found[0])
        elif path in ("/report", "/report.csv") and self.feed.desk is not None:
            self._report(path, query)
        else:
            self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")

    def _report(self, path: str, query: str) -> None:
        from qorva.live_desk import Rejected

        try:
            try:
                asked = {k: v[-1] for k, v in urllib.parse.parse_qs(query, max_num_fields=16).items()}
            except ValueError:  # more fields than any form of the page sends
                raise Rejected(400, "too many fields in the query") from None
            if path == "/report":
                body, kind = self.feed.desk.report_page(asked).encode("utf-8"), "text/html; charset=utf-8"
            else:
                body, kind = self.feed.desk.report_csv(asked).encode("utf-8"), "text/csv; charset=utf-8"
        except Rejected as exc:
            self._send(HTTPStatus(exc.status), "text/plain; charset=utf-8", (exc.reason + "\n").encode("utf-8"))
            return
        self._send(HTTPStatus.OK, kind, body)

    def do_POST(self) -> None:  # noqa: N802 - the http.server API's name
        """A change: a review (/review), an alarm's acknowledgement (/alarm/ack), or a token's check (/whoami)."""
        from qorva.live_desk import Rejected

        actions = {"/review": "review", "/alarm/ack": "acknowledge", "/whoami": None}
        path = self.path.split("?", 1)[0]
        try:
            if not self.server.host_allowed(self.headers.get("Host")):
                raise Rejected(421, "unknown host name")
            if path not in actions:
                raise Rejected(404, "not found")
            if self.tokens is None or self.feed.desk is None:
                raise Rejected(403, "this page is read-only: watch was started without --token-file")
            headers = {k.lower(): v for k, v in self.headers.items()}
            holder, refusal = self.tokens.check(self.client_address[0], headers, self.server.origins(headers))
            if refusal is not None:
                raise Rejected(refusal.status, refusal.reason)
            body = self._json_body()
            answer = ({"ok": True, "who": holder} if actions[path] is None
                      else getattr(self.feed.desk, actions[path])(body, holder, self.client_address[0]))
        except Rejected as exc:
            self._send_json(exc.status, {"ok": False, "error": exc.reason})
            return
        self._send_json(200, answer)

    def _json_body(self) -> dict[str, Any]:
        from qorva.live_desk import Rejected

        raw = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            body = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError):
            raise Rejected(400, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise Rejected(400, "the body is a JSON object")
        return body

    def _send_json(self, status: int, doc: dict[str, Any]) -> None:
        self._send(HTTPStatus(status), "application/json", json.dumps(doc).encode("utf-8"))

    def _send(self, status: HTTPStatus, kind: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the http.server API's name
        logger.debug("%s %s", self.address_string(), printable(format % args))


def _resource(name: str) -> bytes:
    return resources.files("qorva").joinpath(name).read_bytes()


def _own_names() -> set[str]:
    """The names this PC answers to: localhost, its host name and its fully qualified name."""
    names = {"localhost", socket.gethostname(), socket.getfqdn()}
    return {n.lower() for n in names if n}


def _host_name(header: str) -> str:
    """The name part of a Host header: '[::1]:8080' -> '::1', 'pc:8080' -> 'pc'."""
    if header.startswith("["):
        return header[1 : header.find("]")] if "]" in header else ""
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header


class _Server(ThreadingHTTPServer):
    """The page's HTTP server, hardened for a line PC's network: at most `max_connections` at once, each closed
    after `request_s`, and a Host header that names this PC or an address (no DNS rebinding)."""

    daemon_threads = True

    def __init__(self, address: tuple[str, int], handler: type[_Handler], *, request_s: float,
                 max_connections: int) -> None:
        super().__init__(address, handler)
        self.request_s, self.max_connections = request_s, max_connections
        self._open: dict[Any, float] = {}
        self._lock = threading.Lock()
        self._names = _own_names()

    def origins(self, headers: dict[str, str]) -> set[str]:
        """The origins of this page as the browser names them: its scheme and the Host it asked for."""
        host = (headers.get("host") or "").strip().lower()
        return {f"http://{host}"} if host else set()

    def host_allowed(self, header: str | None) -> bool:
        name = _host_name((header or "").strip()).lower().rstrip(".")
        if not name:
            return False  # HTTP/1.1 requires it; a browser always sends it
        try:
            ipaddress.ip_address(name)
            return True  # an address: no DNS name, nothing to rebind
        except ValueError:
            return name in self._names

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._lock:
            full = len(self._open) >= self.max_connections
            if not full:
                self._open[request] = time.monotonic()
        if full:
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self._lock:
                self._open.pop(request, None)

    def service_actions(self) -> None:
        """Between accepts (every poll of `serve_forever`): end the connections past their time."""
        late = time.monotonic() - self.request_s
        with self._lock:
            stalled = [r for r, t in self._open.items() if t < late]
        for request in stalled:
            with contextlib.suppress(OSError):
                request.shutdown(socket.SHUT_RDWR)


def reachable_url(host: str, port: int) -> str:
    """The address to open from another PC: a wildcard bind is shown with this PC's address, not 0.0.0.0."""
    if host in ("0.0.0.0", "::", ""):  # noqa: S104 - a comparison, not a bind
        host = _primary_address(ipv6=host == "::")
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/"


def _primary_address(*, ipv6: bool) -> str:
    """The address of the interface that routes outward (no packet is sent), else the loopback."""
    family, probe, fallback = ((socket.AF_INET6, "2001:db8::1", "::1") if ipv6
                               else (socket.AF_INET, "192.0.2.1", "127.0.0.1"))
    try:
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.connect((probe, 9))
            return str(s.getsockname()[0])
    except OSError:
        return fallback


def is_local(host: str) -> bool:
    """Whether a bind address is reachable from this PC alone."""
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host.lower() == "localhost"


class LiveServer:
    """Serves `feed` on (host, port) from a thread of its own until `close`."""

    def __init__(self, feed: LiveFeed, host: str, port: int, *, request_s: float = REQUEST_S,
                 max_connections: int = MAX_CONNECTIONS, tokens: Any = None) -> None:
        handler = type("Handler", (_Handler,), {"feed": feed, "tokens": tokens})
        self.httpd = _Server((host, port), handler, request_s=request_s, max_connections=max_connections)
        self._thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.2},
                                        name="qorva-live")

    @property
    def url(self) -> str:
        host, port = self.httpd.server_address[:2]
        return reachable_url(str(host), int(port))

    @property
    def local(self) -> bool:
        return is_local(str(self.httpd.server_address[0]))

    def start(self) -> LiveServer:
        self._thread.start()
        return self

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self._thread.join(5.0)
        if self._thread.is_alive():
            logger.warning("the live page's server did not stop within 5 s")
