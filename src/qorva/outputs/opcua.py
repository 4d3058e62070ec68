"""OPC UA: the station's status and a ring of result slots as the variables of one object per station.

Server mode (`mode = "server"`): the station serves `Objects/Station_<station>` itself. Client mode
(`mode = "client"`): it writes the same variables into a PLC's own server, into the object `node` names
(the PLC's program declares the tree; children are found by their browse names). Either way the PLC writes
the highest sequence it has read into `Ack`, which confirms the messages up to it and frees their slots
(OPC UA has no acknowledgement of its own for a server's variables). asyncua on a loop of its own; the
security policy Basic256Sha256 (sign and encrypt) with the station's certificate is an option. The node
tree and the handshake: docs/line.md "OPC UA".
"""

from __future__ import annotations

import datetime as _dt
import logging
import threading
import time
from pathlib import Path
from typing import Any

from qorva.outputs.aio import LoopThread
from qorva.outputs.base import Output, OutputConfigError, OutputDown, cause_code, result_code
from qorva.outputs.config import Table
from qorva.outputs.ring import Ring
from qorva.results.outbox import Message

NAMESPACE = "urn:qorva:line"
_CALL_S = 5.0
# name -> variant type name, in the order a slot is written: Seq last, so a PLC that sees the new number
# sees the slot's other values too.
STATUS = {"Heartbeat": "UInt32", "Ready": "Boolean", "Busy": "Boolean", "Fault": "UInt16", "Slots": "UInt16",
          "LastSeq": "UInt32", "Ack": "UInt32"}
SLOT = {"Product": "String", "ProductCode": "UInt16", "ResultCode": "UInt16", "Verdict": "String",
        "Cause": "UInt16", "Score": "Double", "PartId": "String", "VerdictTime": "DateTime", "Key": "String",
        "Seq": "UInt32"}


def slot_values(message: Message, products: dict[str, int]) -> dict[str, Any]:
    row = message.row
    moment = _dt.datetime.fromisoformat(row.recorded_at.replace("Z", "+00:00"))
    return {"Product": row.product_id, "ProductCode": products.get(row.product_id, 0), "ResultCode": result_code(row),
            "Verdict": row.verdict, "Cause": cause_code(row), "Score": float(row.score or 0.0),
            "PartId": row.part_id or "", "VerdictTime": moment, "Key": row.row_key or "", "Seq": row.seq or 0}


async def build_tree(server: Any, idx: int, parent: Any, station: str, slots: int) -> Any:
    """The station's object under `parent` with its variables (what a PLC's server declares in client mode)."""
    from asyncua import ua

    obj = await parent.add_object(idx, f"Station_{station}")
    for name, kind in STATUS.items():
        var = await obj.add_variable(idx, name, ua.Variant(_zero(kind), getattr(ua.VariantType, kind)))
        if name == "Ack":
            await var.set_writable()
    folder = await obj.add_folder(idx, "Results")
    for i in range(slots):
        slot = await folder.add_object(idx, f"Slot{i}")
        for name, kind in SLOT.items():
            await slot.add_variable(idx, name, ua.Variant(_zero(kind), getattr(ua.VariantType, kind)))
    return obj


def _zero(kind: str) -> Any:
    return {"Boolean": False, "String": "", "Double": 0.0,
            "DateTime": _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)}.get(kind, 0)


def credential(path: Any) -> Any:
    """A certificate or key file as asyncua loads it: its format told by its content (PEM text or DER), not by
    its name (a PEM key named `station.key` is no DER), and its path never parsed (a comma in it is no
    separator of a security string)."""
    from asyncua.crypto.uacrypto import CertProperties

    data = Path(path).read_bytes()
    return CertProperties(data, "pem" if data.lstrip().startswith(b"-----BEGIN") else "der")


class _AckWatch:
    """Subscription handler: the PLC's acknowledge as it changes."""

    def __init__(self, output: OpcuaOutput) -> None:
        self.output = output

    def datachange_notification(self, node: Any, val: Any, data: Any) -> None:
        self.output.on_ack(int(val or 0))


class OpcuaOutput(Output):
    """The ring and handshake of the Modbus output (a slot waits for the acknowledge), on OPC UA variables."""

    kind = "opcua"

    def __init__(self, name: str, station: str, table: Table, *, products: dict[str, int]) -> None:
        super().__init__(name, station)
        self._ack = 0
        self.mode = table.choice("mode", ("server", "client"), "server")
        self.url = table.get("url", str, "opc.tcp://127.0.0.1:4840/qorva/")
        self.node = table.get("node", str)
        if self.mode == "client" and not self.node:
            msg = f"[outputs.{name}] node: the NodeId of the station's object in the PLC's server is required"
            raise OutputConfigError(msg)
        self.security = table.choice("security", ("none", "Basic256Sha256"), "none")
        self.certificate, self.private_key = table.path("certificate"), table.path("private_key")
        self.server_certificate = table.path("server_certificate")
        if self.security != "none" and not (self.certificate and self.private_key):
            msg = f"[outputs.{name}] security {self.security} needs certificate and private_key"
            raise OutputConfigError(msg)
        self.username = table.get("username", str)
        self.password = table.secret("password")
        self.slots = table.get("slots", int, 16, low=1, high=120)
        self.heartbeat_s = table.get("heartbeat_s", float, 1.0, low=0.05, high=3600)
        self.window = self.slots
        self.products = products
        self._lock = threading.Lock()
        self._ring = Ring(self.slots)
        self._loop: LoopThread | None = None
        self._next_beat = 0.0
        self._beat = 0
        self._nodes: dict[str, Any] = {}
        self._slots: list[dict[str, Any]] = []
        self._peer: Any = None
        self._sub: Any = None
        self._write_lock = threading.Lock()

    def describe(self) -> str:
        where = f"server {self.url}" if self.mode == "server" else f"client of {self.url} node {self.node}"
        return f"OPC UA {where}, {self.slots} result slots, security {self.security}"

    def on_ack(self, value: int) -> None:
        self._ack = value
        self.wake()

    def start(self) -> None:
        # asyncua logs every session's details as warnings; the sender says what matters (down, back).
        logging.getLogger("asyncua").setLevel(logging.ERROR)
        self._loop = LoopThread(f"qorva-opcua-{self.name}")
        self._ack = 0  # before the subscription: its first notification is the PLC's acknowledge as it stands
        try:
            self._loop.run(self._open_server() if self.mode == "server" else self._open_client(), _CALL_S * 2)
        except (OSError, TimeoutError, RuntimeError, ValueError) as exc:
            self.close()
            msg = f"OPC UA {self.mode} {self.url}: {exc or type(exc).__name__}"
            raise OutputDown(msg) from None
        except Exception as exc:  # asyncua's own errors (a bad status, a node not found) share no base class
            self.close()
            msg = f"OPC UA {self.mode} {self.url}: {type(exc).__name__}: {exc}"
            raise OutputDown(msg) from None
        self._write({"Slots": self.slots})

    async def _open_server(self) -> None:
        from asyncua import Server, ua

        server = Server()
        await server.init()
        server.set_endpoint(self.url)
        server.set_server_name(f"qorva station {self.station}")
        if self.security == "Basic256Sha256":
            server.set_security_policy([ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt])
            cert, key = credential(self.certificate), credential(self.private_key)
            await server.load_certificate(cert.path_or_content, cert.extension)
            await server.load_private_key(key.path_or_content, None, key.extension)
        else:
            server.set_security_policy([ua.SecurityPolicyType.NoSecurity])
        idx = await server.register_namespace(NAMESPACE)
        obj = await build_tree(server, idx, server.nodes.objects, self.station, self.slots)
        await server.start()
        self._peer = server
        await self._find(obj)
        self._sub = await server.create_subscription(10, _AckWatch(self))
        await self._sub.subscribe_data_change(self._nodes["Ack"])

    async def _open_client(self) -> None:
        from asyncua import Client, ua
        from asyncua.crypto.security_policies import SecurityPolicyBasic256Sha256

        client = Client(self.url, timeout=_CALL_S)
        if self.security == "Basic256Sha256":
            pinned = credential(self.server_certificate) if self.server_certificate else None
            await client.set_security(SecurityPolicyBasic256Sha256, credential(self.certificate),
                                      credential(self.private_key), server_certificate=pinned,
                                      mode=ua.MessageSecurityMode.SignAndEncrypt)
        if self.username is not None:
            client.set_user(self.username)
            client.set_password(self.password or "")
        await client.connect()
        self._peer = client
        await self._find(client.get_node(self.node))
        # The PLC's server outlives a station restart: its Ack may already confirm results this run sends again.
        self._ack = int(await self._nodes["Ack"].read_value() or 0)
        self._sub = await client.create_subscription(20, _AckWatch(self))
        await self._sub.subscribe_data_change(self._nodes["Ack"])

    async def _find(self, obj: Any) -> None:
        async def children(node: Any) -> dict[str, Any]:
            return {(await c.read_browse_name()).Name: c for c in await node.get_children()}

        self._nodes = await children(obj)
        missing = [n for n in (*STATUS, "Results") if n not in self._nodes]
        folder = {} if missing else await children(self._nodes["Results"])
        self._slots = [await children(folder[f"Slot{i}"]) for i in range(self.slots) if f"Slot{i}" in folder]
        if missing or len(self._slots) < self.slots or any(set(SLOT) - set(s) for s in self._slots):
            msg = f"the object has not the station's variables ({', '.join(missing) or 'Results/Slot*'})"
            raise ValueError(msg)

    def _write(self, status: dict[str, Any], slot: dict[str, Any] | None = None, at: int = 0) -> None:
        pairs = [(self._slots[at][k], SLOT[k], v) for k, v in (slot or {}).items()]
        pairs += [(self._nodes[k], STATUS[k], v) for k, v in status.items()]
        try:
            with self._write_lock:
                self._loop.run(self._write_values(pairs), _CALL_S)
        except Exception as exc:  # noqa: BLE001 - any failure to write is the peer gone; the message waits
            msg = f"OPC UA {self.mode} {self.url}: cannot write: {type(exc).__name__}: {exc}"
            raise OutputDown(msg) from None

    async def _write_values(self, pairs: list[tuple[Any, str, Any]]) -> None:
        from asyncua import ua

        values = [ua.DataValue(ua.Variant(v, getattr(ua.VariantType, k))) for _, k, v in pairs]
        if self.mode == "client":
            await self._peer.write_values([n for n, _, _ in pairs], values)
            return
        for (node, _, _), value in zip(pairs, values, strict=True):
            await self._peer.write_attribute_value(node.nodeid, value)

    def send(self, message: Message) -> bool:
        seq = message.row.seq or 0
        with self._lock:
            if self._ring.full(seq):
                return False  # the message waits in the outbox
            last = max(seq, self._ring.last)
        # Written outside the lock (a round trip to the PLC's server); the ring takes the result after.
        self._write({"LastSeq": last}, slot_values(message, self.products), self._ring.slot(seq))
        with self._lock:
            start = self._ring.first_ack(seq, self._ack)
            if start is not None:
                self._ack = start
            self._ring.place(seq, message.id)
        return True

    def confirmed(self) -> list[int]:
        with self._lock:
            return self._ring.confirmed(self._ack)

    def reset(self) -> None:
        with self._lock:
            self._ring.clear()

    def tick(self) -> None:
        now = time.monotonic()
        if now < self._next_beat:
            return
        self._next_beat = now + self.heartbeat_s
        ready = bool(self.state.get("ready")) and now - self.state.get("beat", now) < 5.0
        self._beat += 1
        self._write({"Heartbeat": self._beat, "Ready": ready, "Busy": bool(self.state.get("busy")),
                     "Fault": int(self.state.get("fault", 0))})

    def close(self) -> None:
        loop, peer = self._loop, self._peer
        self._peer, self._loop = None, None
        if loop is None:
            return
        if peer is not None:
            try:
                loop.run(peer.stop() if self.mode == "server" else peer.disconnect(), _CALL_S)
            except Exception:  # noqa: BLE001, S110 - a peer already gone cannot be closed; it is dropped
                pass
        loop.close()
        with self._lock:
            self._ring.clear()
