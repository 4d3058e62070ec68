"""Device texts: the one parser of "cpu", "auto", "cuda" and "cuda:N"."""

from __future__ import annotations


def cuda_index(device: object) -> int | None:
    """The CUDA device number `device` asks for, or None for the CPU (None, "", "auto", "cpu"); ValueError for
    anything else. Case and surrounding blanks do not matter."""
    if device is None:
        return None
    if isinstance(device, str):
        d = device.strip().lower()
        if d in ("", "auto", "cpu"):
            return None
        if d == "cuda":
            return 0
        if d.startswith("cuda:") and d[5:].isdigit():
            return int(d[5:])
    msg = f"device must be 'cpu', 'auto', 'cuda' or 'cuda:N', got {device!r}"
    raise ValueError(msg)
