"""MQTT: each verdict published at QoS 1 to `<prefix>/<station>/<product>/result`, marked sent on the broker's
PUBACK; a retained status `<prefix>/<station>/status` carries the heartbeat (and "offline" as the will).

paho-mqtt 2.x with its callback API version 2. The client is made anew at each connection: messages the
broker did not confirm before a cut are sent again from the outbox, never from the client's own memory, so
what counts as sent is what the outbox says.
"""

from __future__ import annotations

import collections
import json
import ssl
import threading
import time
from typing import Any

from qorva.outputs.base import Output, OutputDown, encode
from qorva.outputs.config import Table
from qorva.results.outbox import Message
from qorva.results.row import utc_now

_CONNECT_S = 5.0


def _topic_part(text: str) -> str:
    # '+' and '#' are wildcards and '/' a level: none may stand in a name inside a topic.
    return "".join("_" if c in "+#/" else c for c in text) or "_"


class MqttOutput(Output):
    kind = "mqtt"

    def __init__(self, name: str, station: str, table: Table) -> None:
        super().__init__(name, station)
        self.host = table.get("host", str, "localhost")
        self.port = table.get("port", int, None, low=1, high=65535)
        self.prefix = table.get("topic_prefix", str, "qorva").rstrip("/")
        self.window = table.get("in_flight", int, 64, low=1, high=10_000)
        self.heartbeat_s = table.get("heartbeat_s", float, 5.0, low=0.1, high=3600)
        self.keepalive = table.get("keepalive_s", int, 10, low=1, high=3600)
        self.client_id = table.get("client_id", str, f"qorva-{station}-{name}")
        self.username = table.get("username", str)
        self.password = table.secret("password")
        self.tls = table.get("tls", bool, False)
        self.ca_file, self.cert_file, self.key_file = table.path("ca_file"), table.path("cert_file"), table.path(
            "key_file")
        if self.port is None:
            self.port = 8883 if self.tls else 1883
        self._client: Any = None
        self._connected = threading.Event()
        self._acked: collections.deque[int] = collections.deque()
        self._mids: dict[int, int] = {}
        self._beat = 0
        self._next_beat = 0.0

    def describe(self) -> str:
        user = f"{self.username}@" if self.username else ""
        return f"mqtt{'s' if self.tls else ''}://{user}{self.host}:{self.port} {self.prefix}/{self.station}/..."

    def _status_topic(self) -> str:
        return f"{self.prefix}/{_topic_part(self.station)}/status"

    def start(self) -> None:
        import paho.mqtt.client as mqtt

        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=self.client_id, clean_session=True)
        if self.username is not None:
            client.username_pw_set(self.username, self.password)
        if self.tls:
            client.tls_set(ca_certs=str(self.ca_file) if self.ca_file else None,
                           certfile=str(self.cert_file) if self.cert_file else None,
                           keyfile=str(self.key_file) if self.key_file else None, tls_version=ssl.PROTOCOL_TLS_CLIENT)
        client.will_set(self._status_topic(), self._status("offline"), qos=1, retain=True)
        client.max_inflight_messages_set(self.window)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_publish = self._on_publish
        self._connected.clear()
        self._acked.clear()
        self._mids.clear()
        try:
            client.connect(self.host, self.port, keepalive=self.keepalive)
        except (OSError, ValueError) as exc:
            msg = f"cannot connect to the broker {self.host}:{self.port}: {exc}"
            raise OutputDown(msg) from None
        self._client = client
        client.loop_start()
        if not self._connected.wait(_CONNECT_S):
            msg = f"the broker {self.host}:{self.port} did not accept the connection ({self._refusal or 'no answer'})"
            raise OutputDown(msg)
        self._next_beat = 0.0

    _refusal: str | None = None

    def _on_connect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if getattr(reason, "is_failure", False):
            self._refusal = str(reason)
            return
        self._refusal = None
        self._connected.set()
        self.wake()

    def _on_disconnect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        self._connected.clear()
        self.wake()

    def _on_publish(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        # On paho's thread, which may hold its own locks: only a deque append here (mids are matched later).
        self._acked.append(mid)
        self.wake()

    def _check(self) -> None:
        if self._client is None or not self._connected.is_set():
            msg = f"lost the connection to the broker {self.host}:{self.port}"
            raise OutputDown(msg)

    def send(self, message: Message) -> bool:
        self._check()
        topic = f"{self.prefix}/{_topic_part(self.station)}/{_topic_part(message.row.product_id)}/result"
        info = self._client.publish(topic, encode(message), qos=1)
        if info.rc != 0:
            msg = f"the broker {self.host}:{self.port} cannot take the message (code {info.rc})"
            raise OutputDown(msg)
        self._mids[info.mid] = message.id
        return True

    def confirmed(self) -> list[int]:
        # Every message's mid is mapped by `send` before this runs on the same thread: a PUBACK that matches
        # nothing is the status topic's.
        done = []
        while self._acked:
            entry = self._mids.pop(self._acked.popleft(), None)
            if entry is not None:
                done.append(entry)
        return done

    def tick(self) -> None:
        self._check()
        now = time.monotonic()
        if now < self._next_beat:
            return
        self._next_beat = now + self.heartbeat_s
        self._beat += 1
        self._client.publish(self._status_topic(), self._status("online"), qos=1, retain=True)

    def _status(self, state: str) -> bytes:
        data = {"station": self.station, "state": state, "heartbeat": self._beat, "time": utc_now(),
                "ready": bool(self.state.get("ready")) and state == "online", "busy": bool(self.state.get("busy")),
                "fault": int(self.state.get("fault", 0))}
        return json.dumps(data, separators=(",", ":")).encode()

    def close(self) -> None:
        client, self._client = self._client, None
        if client is None:
            return
        if self._connected.is_set():
            # A clean stop says so; the will stands for a crash or a cut.
            client.publish(self._status_topic(), self._status("offline"), qos=1, retain=True)
        client.disconnect()
        client.loop_stop()
        self._connected.clear()
