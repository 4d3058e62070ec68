"""Running `qorva` in a subprocess, and the small synthetic images the command-line tests use."""

from __future__ import annotations

import os
import re
import shlex
import signal
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

import qorva
from qorva.demo import synthetic

PRODUCT = "widget"
SIZE = 128
# The package as this test run imports it (source tree or installed), so subprocesses run the same code.
_PACKAGE_ROOT = str(Path(qorva.__file__).resolve().parent.parent)


def env_for(home: Path | None) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    env.pop("QORVA_HOME", None)
    if home is not None:
        env["QORVA_HOME"] = str(home)
    return env


@dataclass
class Done:
    rc: int
    out: str
    err: str


def qorva_cmd(*args: str) -> list[str]:
    return [sys.executable, "-m", "qorva", *map(str, args)]


def run_qorva(*args: object, home: Path | None = None, timeout: float = 60) -> Done:
    p = subprocess.run(
        qorva_cmd(*map(str, args)), env=env_for(home), capture_output=True, text=True, timeout=timeout,
        stdin=subprocess.DEVNULL,
    )
    return Done(p.returncode, p.stdout, p.stderr)


def start_qorva(*args: object, home: Path | None = None) -> subprocess.Popen:
    return subprocess.Popen(
        qorva_cmd(*map(str, args)), env=env_for(home), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        stdin=subprocess.DEVNULL,
    )


def stop(proc: subprocess.Popen, sig: int = signal.SIGTERM, timeout: float = 20) -> Done:
    if proc.poll() is None:
        proc.send_signal(sig)
    out, err = proc.communicate(timeout=timeout)
    return Done(proc.returncode, out, err)


def goods(n: int, seed: int) -> list[np.ndarray]:
    return synthetic.good_images("assembly", n, seed, size=SIZE)


def defect(kind: str, index: int = 0) -> np.ndarray:
    return synthetic.defect_image("assembly", kind, 5, index=index, size=SIZE)[0]


def write_images(folder: Path, images: list[np.ndarray], prefix: str) -> list[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, im in enumerate(images):
        p = folder / f"{prefix}{i:02d}.png"
        cv2.imwrite(str(p), im)
        paths.append(p)
    return paths




def sh_lines(text: str, section: str | None = None) -> list[str]:
    """The shell lines of a page's ```sh blocks (in `section`, up to the next one, when given), in order, each
    without its trailing comment."""
    if section is not None:
        text = text.split(f"\n## {section}", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```sh\n(.*?)```", text, flags=re.S)
    lines = [line.split(" #", 1)[0].strip() for block in blocks for line in block.splitlines()]
    return [line for line in lines if line and not line.startswith("#")]


def run_as_newcomer(lines: list[str], cwd: Path, timeout: float = 300) -> subprocess.CompletedProcess:
    """Run shell lines as a newcomer would after `make demo`: `qorva` on the PATH (the weight-free model the
    suite trains, tests/conftest.py), the demo made first, `set -e`; the lines that build this checkout are
    left out (the suite runs on it)."""
    bin_dir = cwd / "bin"
    bin_dir.mkdir(exist_ok=True)
    shim = bin_dir / "qorva"
    shim.write_text(
        f"#!/bin/sh\nexec {shlex.quote(sys.executable)} -c 'import sys; from qorva.inspection.modules.norim.runner "
        "import choices; choices.DEFAULT_BACKBONE = \"none\"; from qorva.cli.__main__ import main; "
        "sys.exit(main(sys.argv[1:]))' \"$@\"\n"
    )
    shim.chmod(0o755)
    env = env_for(None) | {"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", "HOME": str(cwd)}
    kept = [line for line in lines if not line.startswith(("make ", ". .venv/bin/activate")) and line != "make"]
    script = ["set -e", "qorva demo --images 12 --quiet", *kept]
    return subprocess.run(["bash", "-c", "\n".join(script)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
