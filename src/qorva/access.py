"""Who may change something from the live page: the tokens of a file, and the checks every change passes.

The page is read-only unless `watch` is given a token file. Each line of it is a token, or a name and a
token (`anna 7Xk...`): a named token records its holder as who made a change; a shared one records the
name the person gives. A change is a POST whose token travels in the `Authorization` header, never in a
cookie, so a page of another site cannot make a browser send it (a cross-site request forgery needs the
browser to add the credential by itself); on top of that a change must be JSON, from this page's own origin
when the browser says where it comes from, and small. Wrong tokens are counted per address: a guesser is
answered 429 for a while. The file is read again when it changes, so a token is withdrawn without a restart.
"""

from __future__ import annotations

import hmac
import logging
import os
import secrets
import stat
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from qorva.errors import QorvaError
from qorva.files import write_atomic
from qorva.names import printable

logger = logging.getLogger("qorva.access")

# A token shorter than this is guessable over a line's network in hours; the file's own are 32 characters.
MIN_TOKEN = 16
MAX_BODY = 8192
# Wrong tokens from one address within a minute, after which it is answered 429 until the minute is over.
MAX_FAILURES = 5
_FAILURE_WINDOW_S = 60.0


class AccessError(QorvaError):
    """The token file cannot be used."""


@dataclass(frozen=True)
class Refusal:
    """A change refused: the HTTP status and a one-line reason for the page."""

    status: int
    reason: str


def _parse(text: str, path: Path) -> dict[str, str]:
    """token -> holder ("" for a shared token) of the file's lines."""
    tokens: dict[str, str] = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, _, token = line.rpartition(" ")
        if len(token) < MIN_TOKEN or not token.isprintable():
            msg = f"{path} line {number}: a token must be {MIN_TOKEN} or more printable characters without spaces"
            raise AccessError(msg)
        tokens[token] = printable(name.strip())[:64]
    if not tokens:
        msg = f"{path} holds no token: write one per line (or 'NAME TOKEN')"
        raise AccessError(msg)
    return tokens


def create(path: Path) -> None:
    """Write a new token file holding one random token, readable by its owner alone."""
    body = ("# qorva: tokens that may review and acknowledge on the live page, one per line: TOKEN or NAME TOKEN\n"
            f"{secrets.token_urlsafe(24)}\n")
    write_atomic(path, body.encode("ascii"))
    if os.name != "nt":
        path.chmod(0o600)


class Tokens:
    """The tokens of a file, read again whenever the file changes."""

    def __init__(self, path: Path) -> None:
        self.path = Path(path)
        self._lock = threading.Lock()
        self._stamp: tuple[int, int] | None = None
        self._tokens: dict[str, str] = {}
        self._failures: dict[str, list[float]] = {}
        self._load()
        if os.name != "nt" and self.path.stat().st_mode & (stat.S_IRWXG | stat.S_IRWXO):
            logger.warning("token file %s can be read by other users of this PC: chmod 600 it", self.path)

    def _load(self) -> None:
        try:
            st = self.path.stat()
            stamp = (st.st_mtime_ns, st.st_size)
            if stamp != self._stamp:
                self._tokens = _parse(self.path.read_text(encoding="utf-8"), self.path)
                self._stamp = stamp
        except OSError as exc:
            msg = f"cannot read the token file {self.path}: {exc.strerror or exc}"
            raise AccessError(msg) from None
        except UnicodeDecodeError:
            msg = f"the token file {self.path} is not UTF-8 text"
            raise AccessError(msg) from None

    def holder(self, token: str) -> str | None:
        """The holder of `token` ("" for a shared one), or None when it is no token of the file."""
        with self._lock:
            try:
                self._load()
            except AccessError as exc:  # a file being rewritten: the tokens read last stand meanwhile
                logger.warning("%s", exc)
            found = None
            for known, name in self._tokens.items():  # every token compared, in constant time each
                if hmac.compare_digest(known.encode(), token.encode()):
                    found = name
            return found

    def check(self, client: str, headers: dict[str, str], own_origins: set[str]) -> tuple[str | None, Refusal | None]:
        """(holder, None) for a change the request may make, else (None, why not)."""
        now = time.monotonic()
        with self._lock:
            recent = [t for t in self._failures.get(client, []) if t > now - _FAILURE_WINDOW_S]
            self._failures[client] = recent
        if len(recent) >= MAX_FAILURES:
            return None, Refusal(429, "too many wrong tokens from this address: wait a minute")
        refusal = _request_refusal(headers, own_origins)
        if refusal is not None:
            return None, refusal
        auth = headers.get("authorization", "")
        token = auth[7:].strip() if auth[:7].lower() == "bearer " else ""
        holder = self.holder(token) if token else None
        if holder is None:
            with self._lock:
                self._failures.setdefault(client, []).append(now)
            logger.warning("live page: a change from %s refused: %s", client, "wrong token" if token else "no token")
            return None, Refusal(403, "wrong token" if token else "a token is needed to change anything here")
        return holder, None


def _request_refusal(headers: dict[str, str], own_origins: set[str]) -> Refusal | None:
    """Why the request is no change from this page itself (None: it may be one)."""
    origin = headers.get("origin")
    if origin is not None and origin.lower().rstrip("/") not in own_origins:
        return Refusal(403, "a change must come from this page itself")
    if headers.get("sec-fetch-site", "same-origin") not in ("same-origin", "none"):
        return Refusal(403, "a change must come from this page itself")
    if headers.get("content-type", "").split(";")[0].strip().lower() != "application/json":
        return Refusal(415, "a change is sent as application/json")
    try:
        length = int(headers.get("content-length", ""))
    except ValueError:
        return Refusal(411, "a change states its length")
    if not 0 < length <= MAX_BODY:
        return Refusal(413, f"a change is at most {MAX_BODY} bytes")
    return None
