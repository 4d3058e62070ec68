"""Records and enumerations the framework passes between modules."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import Any

import numpy as np


class Verdict(str, Enum):  # noqa: UP042 - str() stays "Verdict.OK"; stored rows use .value
    """The judgement on one image; ERROR when no judgement could be made."""

    OK = "OK"
    NG = "NG"
    ERROR = "ERROR"


@dataclass
class InspectionResult:
    """The outcome of inspecting one image."""

    verdict: Verdict
    score: float | None
    threshold: float | None
    module: str
    details: dict[str, Any] = field(default_factory=dict)
    overlay: np.ndarray | None = None
    error_message: str | None = None

    @classmethod
    def error(cls, module: str, message: str) -> InspectionResult:
        """A result that says the image could not be judged, and why; never OK."""
        return cls(
            verdict=Verdict.ERROR,
            score=None,
            threshold=None,
            module=module,
            details={},
            overlay=None,
            error_message=str(message),
        )

    @property
    def is_error(self) -> bool:
        return self.verdict is Verdict.ERROR
