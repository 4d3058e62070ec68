"""Camera base of the framework: the error type and the interface every camera offers."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any

import numpy as np

Frame = tuple[np.ndarray, dict[str, Any]]


class CameraError(Exception):
    """A camera cannot be opened or has failed; the message says which camera and why."""


class BaseCamera(ABC):
    """Open, read frames, close; also usable as a context manager."""

    @abstractmethod
    def open(self) -> None: ...

    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def read(self, timeout: float | None = None) -> Frame | None: ...

    @property
    @abstractmethod
    def is_open(self) -> bool: ...

    def __enter__(self) -> BaseCamera:
        self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
