"""Webhook: each verdict POSTed as JSON to a URL, marked sent on a 2xx answer, signed with HMAC-SHA256.

The standard library's `http.client` on one kept-alive connection: one small POST at a time needs no more,
and a line PC gets no dependency more. The signature header is `X-Qorva-Signature: sha256=<hex>` over the
body's bytes with the shared secret; `X-Qorva-Key` and `X-Qorva-Seq` repeat the row's key and sequence so
a receiver can drop a double before parsing the body.
"""

from __future__ import annotations

import hashlib
import hmac
import http.client
import ssl
import urllib.parse
from typing import Any

from qorva.outputs.base import Output, OutputConfigError, OutputDown, encode
from qorva.outputs.config import Table
from qorva.results.outbox import Message


def signature(secret: str, body: bytes) -> str:
    """The value of the signature header for `body`."""
    return "sha256=" + hmac.new(secret.encode("utf-8"), body, hashlib.sha256).hexdigest()


class WebhookOutput(Output):
    kind = "webhook"
    # POSTs are synchronous: this many go out per look at the outbox.
    window = 16

    def __init__(self, name: str, station: str, table: Table) -> None:
        super().__init__(name, station)
        url = table.required("url", str)
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            msg = f"[outputs.{name}] url: an http:// or https:// URL, got {url!r}"
            raise OutputConfigError(msg)
        if parts.password is not None:
            msg = f"[outputs.{name}] url: no password in the URL; give secret_file or secret_env"
            raise OutputConfigError(msg)
        self.parts = parts
        self.timeout = table.get("timeout_s", float, 5.0, low=0.1, high=300)
        self.secret = table.secret("secret")
        self.ca_file = table.path("ca_file")
        self._conn: Any = None
        self._done: list[int] = []

    def describe(self) -> str:
        signed = "signed" if self.secret else "unsigned"
        return f"POST {urllib.parse.urlunsplit(self.parts)} ({signed})"

    def _connection(self) -> Any:
        if self._conn is None:
            host, port = self.parts.hostname, self.parts.port
            if self.parts.scheme == "https":
                context = ssl.create_default_context(cafile=str(self.ca_file) if self.ca_file else None)
                self._conn = http.client.HTTPSConnection(host, port, timeout=self.timeout, context=context)
            else:
                self._conn = http.client.HTTPConnection(host, port, timeout=self.timeout)
        return self._conn

    def send(self, message: Message) -> bool:
        body = encode(message)
        headers = {"Content-Type": "application/json", "X-Qorva-Key": message.row.row_key or "",
                   "X-Qorva-Seq": str(message.row.seq), "X-Qorva-Station": self.station}
        if self.secret:
            headers["X-Qorva-Signature"] = signature(self.secret, body)
        path = self.parts.path or "/"
        if self.parts.query:
            path += "?" + self.parts.query
        try:
            conn = self._connection()
            conn.request("POST", path, body=body, headers=headers)
            answer = conn.getresponse()
            answer.read()
        except (OSError, http.client.HTTPException) as exc:
            self.close()
            msg = f"POST to {self.parts.hostname}:{self.parts.port or ''} failed: {exc or type(exc).__name__}"
            raise OutputDown(msg) from None
        if not 200 <= answer.status < 300:
            self.close()
            msg = f"the receiver answered {answer.status} {answer.reason}"
            raise OutputDown(msg)
        self._done.append(message.id)
        return True

    def confirmed(self) -> list[int]:
        done, self._done = self._done, []
        return done

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None
