"""The station's outputs: where each verdict goes besides the results database (a PLC, a broker, a web service).

- `base`: what an output is, the result and cause codes, the JSON record of a message.
- `sender`: a thread per output that delivers its messages from the outbox, in order, at least once.
- `config`: an output's table of the station file, secrets from a file or the environment.
- `modbus`, `opcua`, `mqtt`, `webhook`: the outputs, each importing its driver (the extra `qorva[line]`)
  only when a station uses it.

How a line wires them (register map, node tree, topics, handshake, timing): docs/line.md.
"""

from __future__ import annotations

import importlib
import threading
from collections.abc import Callable
from typing import Any

from qorva.outputs.base import Output, OutputConfigError
from qorva.outputs.config import Table, product_codes
from qorva.outputs.sender import Outputs, Sender

# kind -> (module, class, the driver it needs)
KINDS: dict[str, tuple[str, str, str | None]] = {
    "modbus": ("qorva.outputs.modbus", "ModbusOutput", "pymodbus"),
    "opcua": ("qorva.outputs.opcua", "OpcuaOutput", "asyncua"),
    "mqtt": ("qorva.outputs.mqtt", "MqttOutput", "paho.mqtt"),
    "webhook": ("qorva.outputs.webhook", "WebhookOutput", None),
}
# Messages waiting per output beyond which the oldest are dropped (logged): at 10 parts/s, close to 3 hours.
MAX_MESSAGES = 100_000


def make_output(name: str, data: dict[str, Any], station: str, products: dict[str, int]) -> Output:
    """The output of the table `[outputs.<name>]`; `OutputConfigError` says which key is wrong."""
    kind = data.get("kind")
    if kind not in KINDS:
        msg = f"[outputs.{name}] kind: one of {', '.join(KINDS)}, got {kind!r}"
        raise OutputConfigError(msg)
    module, cls, driver = KINDS[kind]
    if driver is not None:
        try:
            importlib.import_module(driver)
        except ImportError:
            msg = f"[outputs.{name}] the {kind} output needs {driver.split('.')[0]}: pip install 'qorva[line]'"
            raise OutputConfigError(msg) from None
    table = Table(name, {k: v for k, v in data.items() if k not in ("max_messages", "max_age_s")})
    output = getattr(importlib.import_module(module), cls)(name, station, table, **(
        {"products": products} if kind in ("modbus", "opcua") else {}))
    table.done()
    return output


def build(outputs: dict[str, Any], products: dict[str, Any] | None, station: str,
          open_store: Callable[[threading.Event], Any]) -> Outputs:
    """The senders of the station file's `[outputs]` (not started); `open_store` makes each sender's store."""
    codes = product_codes(products)
    senders = []
    for name, data in outputs.items():
        if not isinstance(data, dict):
            msg = f"[outputs.{name}] must be a table"
            raise OutputConfigError(msg)
        limits = Table(name, {k: data[k] for k in ("max_messages", "max_age_s") if k in data})
        max_messages = limits.get("max_messages", int, MAX_MESSAGES, low=1, high=10**9)
        max_age_s = limits.get("max_age_s", float, None, low=1, high=10**9)
        senders.append(Sender(make_output(name, data, station, codes), open_store, max_messages=max_messages,
                              max_age_s=max_age_s))
    return Outputs(senders)


__all__ = ["KINDS", "Output", "OutputConfigError", "Outputs", "Sender", "build", "make_output"]
