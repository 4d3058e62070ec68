"""What every benchmark shares: the import paths, the versions line and best-of timing.

The baselines are the plain-Python modules under tests/reference, the same ones the tests use as
their oracle, so a benchmark times the extension against the statement it is tested against.
"""

from __future__ import annotations

import os
import platform
import sys
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
try:
    import qorva  # noqa: F401  (installed, or found through the development venv)
except ImportError:  # a source checkout with the extensions built in place (make native)
    sys.path.insert(0, str(ROOT / "src"))


def versions() -> dict[str, object]:
    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "cpus": os.cpu_count(),
        "machine": platform.machine(),
    }


def best_of(fn, n: int) -> float:
    """Shortest of `n` wall-clock timings of `fn()` in seconds."""
    best = float("inf")
    for _ in range(n):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best
