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
from typing import Any

from qorva.outputs.aio import LoopThread
from qorva.outputs.base import OutputConfigError, OutputDown, cause_code, result_code
from qorva.outputs.config import Table
from qorva.outputs.modbus import ModbusOutput
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


class _AckWatch:
    """Subscription handler: the PLC's acknowledge as it changes."""

    def __init__(self, output: OpcuaOutput) -> None:
        self.output = output

    def datachange_notification(self, node: Any, val: Any, data: Any) -> None:
        self.output.on_ack(int(val or 0))


class OpcuaOutput(ModbusOutput):
    """The ring and handshake of the Modbus output (a slot waits for the acknowledge), on OPC UA variables."""

    kind = "opcua"

    def __init__(self, name: str, station: str, table: Table, *, products: dict[str, int]) -> None:
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
        super().__init__(name, station, Table(name, {k: v for k, v in table.data.items() if k in ("slots",
                                                                                                  "heartbeat_s")}),
                         products=products)
        table.get("slots", int)
        table.get("heartbeat_s", float)
        self._nodes: dict[str, Any] = {}
        self._slots: list[dict[str, Any]] = []
        self._peer: Any = None
        self._sub: Any = None
        self._write_lock = threading.Lock()

    def describe(self) -> str:
        where = f"server {self.url}" if self.mode == "server" else f"client of {self.url} node {self.node}"
        return f"OPC UA {where}, {self.slots} result slots, security {self.security}"

    # --- the ring, as the Modbus output keeps it; values go to the variables -------------------------------------

    def _acknowledged(self) -> int:
        return self._ack

    def on_ack(self, value: int) -> None:
        self._ack = value
        self.wake()

    def start(self) -> None:
        # asyncua logs every session's details as warnings; the sender says what matters (down, back).
        logging.getLogger("asyncua").setLevel(logging.ERROR)
        self._loop = LoopThread(f"qorva-opcua-{self.name}")
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
        self._ack = 0
        self._write({"Slots": self.slots})

    async def _open_server(self) -> None:
        from asyncua import Server, ua

        server = Server()
        await server.init()
        server.set_endpoint(self.url)
        server.set_server_name(f"qorva station {self.station}")
        if self.security == "Basic256Sha256":
            server.set_security_policy([ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt])
            await server.load_certificate(str(self.certificate))
            await server.load_private_key(str(self.private_key))
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
        from asyncua import Client

        client = Client(self.url, timeout=_CALL_S)
        if self.security == "Basic256Sha256":
            server_cert = f",{self.server_certificate}" if self.server_certificate else ""
            await client.set_security_string(
                f"Basic256Sha256,SignAndEncrypt,{self.certificate},{self.private_key}{server_cert}")
        if self.username is not None:
            client.set_user(self.username)
            client.set_password(self.password or "")
        await client.connect()
        self._peer = client
        await self._find(client.get_node(self.node))
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
            if self._placed and seq - min(self._placed) >= self.slots:
                return False
            last = max(seq, self._last)
        self._write({"LastSeq": last}, slot_values(message, self.products), (seq - 1) % self.slots)
        with self._lock:
            if not self._placed and seq - self._ack > self.slots:
                self._ack = seq - 1
            self._last = last
            self._placed[seq] = message.id
        return True

    _last = 0

    def confirmed(self) -> list[int]:
        with self._lock:
            acked = min(self._ack, self._last)
            done = sorted(s for s in self._placed if s <= acked)
            return [self._placed.pop(s) for s in done]

    def tick(self) -> None:
        now = time.monotonic()
        if now < self._next_beat:
            return
        self._next_beat = now + self.heartbeat_s
        ready = bool(self.state.get("ready")) and now - self.state.get("beat", now) < 5.0
        self._beat = getattr(self, "_beat", 0) + 1
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
            self._placed.clear()
