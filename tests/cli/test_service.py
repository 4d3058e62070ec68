"""`watch` as a systemd service: the unit in docs/ is valid, and watch speaks the notification protocol."""

from __future__ import annotations

import shutil
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from clitools import PRODUCT, env_for, goods, qorva_cmd, stop, write_images
from helpers import wait_until

DOCS = Path(__file__).resolve().parents[2] / "docs"


@pytest.mark.skipif(shutil.which("systemd-analyze") is None,
                    reason="systemd-analyze is not installed (Debian's systemd package; .ci/run installs it)")
def test_the_service_unit_verifies(tmp_path: Path) -> None:
    # The unit as a station would install it, its program and station file pointed at real files here.
    station = tmp_path / "station.toml"
    station.write_text((DOCS / "station.toml").read_text())
    unit = (DOCS / "qorva-watch.service").read_text()
    unit = unit.replace("/opt/qorva/bin/qorva", str(Path(sys.executable).with_name("qorva")))
    unit = unit.replace("/etc/qorva/station.toml", str(station))
    (tmp_path / "qorva-watch.service").write_text(unit)
    done = subprocess.run(["systemd-analyze", "verify", "--man=no", str(tmp_path / "qorva-watch.service")],
                          capture_output=True, text=True, timeout=60)
    # Complaints about the unit itself name it; the host's own units (no systemd running here) do not count.
    ours = [line for line in done.stderr.splitlines() if "qorva-watch.service" in line]
    assert not ours, done.stderr


def test_watch_says_ready_pings_the_watchdog_and_says_stopping(home: Path, tmp_path: Path) -> None:
    drop = tmp_path / "drop"
    drop.mkdir()
    manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    manager.bind(str(tmp_path / "notify"))
    manager.settimeout(0.2)
    env = {**env_for(home), "NOTIFY_SOCKET": str(tmp_path / "notify"), "WATCHDOG_USEC": "400000"}
    proc = subprocess.Popen(qorva_cmd("watch", "--product", PRODUCT, "--folder", str(drop), "--ready-policy",
                                      "none", "--quiet"), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, stdin=subprocess.DEVNULL)
    said: list[str] = []

    def heard(field: str) -> bool:
        try:
            said.extend(manager.recv(4096).decode().splitlines())
        except TimeoutError:
            pass
        return any(s.startswith(field) for s in said)

    try:
        assert wait_until(lambda: heard("READY=1"), timeout=60, interval=0)
        write_images(drop, goods(2, seed=7), "s")
        # A file leaves the drop folder once its row is recorded.
        assert wait_until(lambda: heard("WATCHDOG=1") and sum(s == "WATCHDOG=1" for s in said) >= 3
                          and not list(drop.glob("*.png")), timeout=30, interval=0), said
    finally:
        done = stop(proc, signal.SIGTERM)
    assert wait_until(lambda: heard("STOPPING=1"), timeout=5, interval=0), said
    assert any(s.startswith("STATUS=watched") and "(OK 2, NG 0, ERROR 0)" in s for s in said), said
    manager.close()
    assert done.rc == 0, done.err
