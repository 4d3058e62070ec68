"""Modbus TCP server: the station's status and a ring of result slots in holding registers, which a PLC polls.

The PLC writes the highest sequence number it has read into the acknowledge registers; that confirms the
messages up to it and frees their slots. A message waits in the outbox while the ring holds `slots`
results the PLC has not acknowledged, so a PLC that stops reading loses nothing: the station keeps judging
and the results wait. The register map (docs/line.md "Modbus TCP"):

    0 heartbeat   1 ready   2 busy   3 fault   4 slots   5 map version   6-7 last sequence   8-9 acknowledge
    slot i at 16 + 16*i: seq(2) product(1) result(1) verdict(1) cause(1) score*1000(2) part id(2) time s(2) ms(1)

32-bit values are two registers, the high word first. Only the acknowledge registers may be written.
"""

from __future__ import annotations

import datetime as _dt
import threading
import time
from typing import Any

from qorva.outputs.aio import LoopThread
from qorva.outputs.base import RESULT_CODES, Output, OutputDown, cause_code, part_number, result_code
from qorva.outputs.config import Table
from qorva.results.outbox import Message

MAP_VERSION = 1
HEARTBEAT, READY, BUSY, FAULT, SLOTS, VERSION, LAST, ACK = 0, 1, 2, 3, 4, 5, 6, 8
FIRST_SLOT, SLOT_SIZE = 16, 16
_START_S = 5.0


def words(value: int) -> list[int]:
    """A 32-bit value as two registers, the high word first (negative values in two's complement)."""
    value &= 0xFFFFFFFF
    return [value >> 16, value & 0xFFFF]


def slot_registers(message: Message, products: dict[str, int]) -> list[int]:
    """The 16 registers of one result slot."""
    row = message.row
    score = 0 if row.score is None else max(-(2**31), min(2**31 - 1, round(row.score * 1000)))
    moment = _dt.datetime.fromisoformat(row.recorded_at.replace("Z", "+00:00"))
    stamp = moment.timestamp()
    return [
        *words(row.seq or 0), products.get(row.product_id, 0), result_code(row),
        RESULT_CODES.get(row.verdict, RESULT_CODES["ERROR"]), cause_code(row), *words(score),
        *words(part_number(row.part_id)), *words(int(stamp)), int(round(stamp * 1000)) % 1000, 0, 0, 0,
    ]


def _u32(regs: list[int], at: int) -> int:
    return (regs[at] << 16) | regs[at + 1]


class ModbusOutput(Output):
    kind = "modbus"

    def __init__(self, name: str, station: str, table: Table, *, products: dict[str, int]) -> None:
        super().__init__(name, station)
        self.host = table.get("host", str, "127.0.0.1")
        self.port = table.get("port", int, 502, low=0, high=65535)
        self.slots = table.get("slots", int, 16, low=1, high=120)
        self.heartbeat_s = table.get("heartbeat_s", float, 1.0, low=0.05, high=3600)
        self.window = self.slots
        self.products = products
        self._lock = threading.Lock()
        self._regs = [0] * (FIRST_SLOT + SLOT_SIZE * self.slots)
        self._placed: dict[int, int] = {}  # seq -> outbox entry, placed and not acknowledged
        self._loop: LoopThread | None = None
        self._server: Any = None
        self._next_beat = 0.0

    def describe(self) -> str:
        return f"Modbus TCP server {self.host}:{self.port}, {self.slots} result slots"

    def start(self) -> None:
        from pymodbus.server import ModbusTcpServer
        from pymodbus.simulator.simdata import DataType, SimData
        from pymodbus.simulator.simdevice import SimDevice

        with self._lock:
            self._regs[SLOTS], self._regs[VERSION] = self.slots, MAP_VERSION
        device = SimDevice(0, simdata=[SimData(0, count=len(self._regs), values=0, datatype=DataType.REGISTERS)],
                           action=self._action)
        self._loop = LoopThread(f"qorva-modbus-{self.name}")

        async def serve() -> Any:
            server = ModbusTcpServer(device, address=(self.host, self.port))
            await server.serve_forever(background=True)
            return server

        try:
            self._server = self._loop.run(serve(), _START_S)
        except (RuntimeError, OSError, TimeoutError) as exc:
            self.close()
            msg = f"cannot serve Modbus TCP on {self.host}:{self.port}: {exc or 'timed out'}"
            raise OutputDown(msg) from None

    @property
    def address(self) -> tuple[str, int]:
        """Where the server listens (the port chosen when 0 was given)."""
        return self._server.transport.sockets[0].getsockname()[:2]

    async def _action(self, fc: int, start: int, address: int, count: int, registers: list[int],
                      values: list[int] | None) -> Any:
        # On the server's loop: every request sees the registers as they are now; only the acknowledge is written.
        from pymodbus.constants import ExcCodes

        with self._lock:
            if values is not None:
                if address < ACK or address + len(values) > ACK + 2:
                    return ExcCodes.ILLEGAL_ADDRESS
                self._regs[address:address + len(values)] = [int(v) for v in values]
                self.wake()
            registers[: len(self._regs)] = self._regs
        return None

    def send(self, message: Message) -> bool:
        seq = message.row.seq or 0
        with self._lock:
            acked = self._acknowledged()
            if self._placed and seq - min(self._placed) >= self.slots:
                return False  # the ring is full: the message waits in the outbox
            if not self._placed and seq - acked > self.slots:
                # First message of this run: the PLC's acknowledge starts just before it.
                self._regs[ACK:ACK + 2] = words(seq - 1)
            at = FIRST_SLOT + SLOT_SIZE * ((seq - 1) % self.slots)
            self._regs[at:at + SLOT_SIZE] = slot_registers(message, self.products)
            self._regs[LAST:LAST + 2] = words(max(seq, _u32(self._regs, LAST)))
            self._placed[seq] = message.id
        return True

    def _acknowledged(self) -> int:
        return _u32(self._regs, ACK)

    def confirmed(self) -> list[int]:
        with self._lock:
            # An acknowledge beyond the last placed result confirms what is placed and nothing to come.
            acked = min(self._acknowledged(), _u32(self._regs, LAST))
            done = sorted(s for s in self._placed if s <= acked)
            return [self._placed.pop(s) for s in done]

    def tick(self) -> None:
        now = time.monotonic()
        ready = bool(self.state.get("ready")) and now - self.state.get("beat", now) < 5.0
        with self._lock:
            if now >= self._next_beat:
                self._next_beat = now + self.heartbeat_s
                self._regs[HEARTBEAT] = (self._regs[HEARTBEAT] + 1) & 0xFFFF
            self._regs[READY], self._regs[BUSY] = int(ready), int(bool(self.state.get("busy")))
            self._regs[FAULT] = int(self.state.get("fault", 0))

    def reset(self) -> None:
        with self._lock:
            self._placed.clear()

    def close(self) -> None:
        if self._loop is None:
            return
        if self._server is not None:
            try:
                self._loop.run(self._server.shutdown(), _START_S)
            except (TimeoutError, RuntimeError, OSError):
                pass
            self._server = None
        self._loop.close()
        self._loop = None
        with self._lock:
            self._placed.clear()
