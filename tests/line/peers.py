"""The line's side of each output, for the tests and the line bench: a broker, a subscriber, an HTTP receiver
that fails on purpose, and PLCs that scan a Modbus or OPC UA station and acknowledge what they read.

Each consumer collects what it received as records (dicts with `seq`, `row_key`, `part_id`, `result_code`)
with the monotonic time of arrival, and can be made absent for a while (`pause`)."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_port(port: int, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
        time.sleep(0.02)
    return False


class Consumer:
    """What a peer received, in order of arrival."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.got: list[tuple[float, dict[str, Any]]] = []
        self.absent = threading.Event()

    def received(self, record: dict[str, Any]) -> None:
        with self.lock:
            self.got.append((time.monotonic(), record))

    def seqs(self) -> list[int]:
        with self.lock:
            return [r["seq"] for _, r in self.got]

    def pause(self, seconds: float) -> None:
        self.absent.set()
        threading.Timer(seconds, self.absent.clear).start()


# --- MQTT ------------------------------------------------------------------------------------------------------


def mosquitto_missing() -> str | None:
    if shutil.which("mosquitto") is None and not Path("/usr/sbin/mosquitto").exists():
        return "mosquitto is not installed (apt-get install mosquitto)"
    try:
        import paho.mqtt  # noqa: F401
    except ImportError:
        return "paho-mqtt is not installed (pip install 'qorva[line]')"
    return None


class Broker:
    """Debian's mosquitto on a random port of 127.0.0.1, persistence on; `stop()` is SIGTERM, `start()` again."""

    def __init__(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="qorva-mqtt-"))
        self.port = free_port()
        lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous true", "persistence true",
                 f"persistence_location {self.root}/", "autosave_interval 1", "max_queued_messages 0"]
        if os.geteuid() == 0:
            lines.append("user root")
        (self.root / "mosquitto.conf").write_text("\n".join(lines) + "\n", encoding="utf-8")
        self.proc: subprocess.Popen | None = None

    def start(self) -> Broker:
        exe = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.proc = subprocess.Popen([exe, "-c", str(self.root / "mosquitto.conf")], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if not _wait_port(self.port):
            msg = "mosquitto did not start"
            raise RuntimeError(msg)
        return self

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)
        self.proc = None

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class Subscriber(Consumer):
    """A persistent QoS 1 session (clean session off): what the broker held while it was away arrives later."""

    def __init__(self, port: int, topic: str = "qorva/+/+/result") -> None:
        import paho.mqtt.client as mqtt

        super().__init__()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"line-{port}", clean_session=False)
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe(topic, qos=1)
        self.client.on_message = lambda c, u, m: self.received(json.loads(m.payload))
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect("127.0.0.1", port, keepalive=5)
        self.client.loop_start()

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


# --- webhook -----------------------------------------------------------------------------------------------------


class Receiver(Consumer):
    """An HTTP server that records each POST with a right signature; while `absent` it answers 503."""

    def __init__(self, secret: str | None = None) -> None:
        super().__init__()
        self.secret, self.bad_signatures = secret, 0
        consumer = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if consumer.absent.is_set():
                    self.send_response(HTTPStatus.SERVICE_UNAVAILABLE)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if consumer.secret is not None:
                    from qorva.outputs.webhook import signature

                    if self.headers.get("X-Qorva-Signature") != signature(consumer.secret, body):
                        consumer.bad_signatures += 1
                consumer.received(json.loads(body))
                self.send_response(HTTPStatus.NO_CONTENT)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args: Any) -> None:
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05})
        self.thread.start()

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)


# --- PLCs ----------------------------------------------------------------------------------------------------------


class _Scanner(Consumer):
    """A PLC's scan: every `scan_s`, read the last sequence and the slots after what it acknowledged, then
    acknowledge the highest one read. Absent: no scan at all."""

    def __init__(self, scan_s: float) -> None:
        super().__init__()
        self.scan_s = scan_s
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._loop, name="plc")
        self.thread.start()

    def _loop(self) -> None:
        while not self.stop.wait(self.scan_s):
            if self.absent.is_set():
                continue
            try:
                self.scan()
            except Exception:  # noqa: BLE001, S112 - the station restarting: the PLC scans again
                self.disconnect()
                continue

    def close(self) -> None:
        self.stop.set()
        self.thread.join(10)
        self.disconnect()

    def scan(self) -> None:
        raise NotImplementedError

    def disconnect(self) -> None:
        pass


class ModbusPlc(_Scanner):
    def __init__(self, port: int, scan_s: float = 0.01) -> None:
        self.port, self.client = port, None
        super().__init__(scan_s)

    def scan(self) -> None:
        from pymodbus.client import ModbusTcpClient

        from qorva.outputs import modbus

        if self.client is None:
            self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=1, retries=0)
            if not self.client.connect():
                self.disconnect()
                return
        head = self.client.read_holding_registers(0, count=modbus.FIRST_SLOT).registers
        slots, last, ack = head[modbus.SLOTS], modbus._u32(head, modbus.LAST), modbus._u32(head, modbus.ACK)
        for seq in range(max(ack, last - slots) + 1, last + 1):
            at = modbus.FIRST_SLOT + modbus.SLOT_SIZE * ((seq - 1) % slots)
            regs = self.client.read_holding_registers(at, count=modbus.SLOT_SIZE).registers
            if modbus._u32(regs, 0) == seq:
                self.received({"seq": seq, "part": modbus._u32(regs, 8), "result_code": regs[3]})
        if last > ack:
            self.client.write_registers(modbus.ACK, modbus.words(last))

    def disconnect(self) -> None:
        if self.client is not None:
            self.client.close()
        self.client = None


class OpcuaPlc(_Scanner):
    def __init__(self, url: str, station: str, scan_s: float = 0.01) -> None:
        self.url, self.station, self.client, self.nodes = url, station, None, None
        self.loop = asyncio.new_event_loop()
        super().__init__(scan_s)

    def scan(self) -> None:
        self.loop.run_until_complete(self._scan())

    async def _scan(self) -> None:
        from asyncua import Client, ua

        if self.client is None:
            client = Client(self.url, timeout=2)
            await client.connect()
            self.client = client
            idx = await client.get_namespace_index("urn:qorva:line")
            station = await client.nodes.objects.get_child([f"{idx}:Station_{self.station}"])
            self.nodes = {n: await station.get_child([f"{idx}:{n}"]) for n in ("LastSeq", "Ack", "Slots")}
            slots = await self.nodes["Slots"].read_value()
            self.slots = [{k: await station.get_child([f"{idx}:Results", f"{idx}:Slot{i}", f"{idx}:{k}"])
                           for k in ("Seq", "PartId", "ResultCode", "Key")} for i in range(slots)]
        last, ack = await self.client.read_values([self.nodes["LastSeq"], self.nodes["Ack"]])
        for seq in range(max(ack, last - len(self.slots)) + 1, last + 1):
            slot = self.slots[(seq - 1) % len(self.slots)]
            got, part, code, key = await self.client.read_values([slot[k] for k in ("Seq", "PartId", "ResultCode",
                                                                                        "Key")])
            if got == seq:
                self.received({"seq": seq, "part_id": part, "result_code": code, "row_key": key})
        if last > ack:
            await self.nodes["Ack"].write_value(ua.Variant(last, ua.VariantType.UInt32))

    def disconnect(self) -> None:
        if self.client is not None:
            with contextlib.suppress(Exception):
                self.loop.run_until_complete(self.client.disconnect())
        self.client = None

    def close(self) -> None:
        super().close()
        self.loop.close()
