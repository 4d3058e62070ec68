"""Inspection base of the framework: the inspector interface and the taught model state."""

from __future__ import annotations

import json
import math
from abc import ABC, abstractmethod
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from qorva.schemas.common import InspectionResult

_FORMAT = 1


def _jsonable(value: Any) -> Any:
    """Plain JSON types for a parameter value; NumPy scalars and arrays become numbers and lists."""
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.ndarray):
        return _jsonable(value.tolist())
    if isinstance(value, np.generic):
        return _jsonable(value.item())
    if isinstance(value, float) and not math.isfinite(value):
        # JSON has no NaN/inf; keep them recoverable instead of writing invalid JSON.
        return {"__float__": repr(value)}
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    msg = f"ModelState: parameter value of type {type(value).__name__} cannot be stored as JSON: {value!r}"
    raise TypeError(msg)


def _from_jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        if set(value) == {"__float__"}:
            return float(value["__float__"])
        return {k: _from_jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_from_jsonable(v) for v in value]
    return value


@dataclass
class ModelState:
    """What teach learned about a product; the framework stores it and passes it to every inspect."""

    module: str
    product_id: Any
    threshold: float
    params: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-safe mapping (NumPy values become plain numbers; non-finite floats are tagged)."""
        return {
            "format": _FORMAT,
            "module": self.module,
            "product_id": _jsonable(self.product_id),
            "threshold": _jsonable(float(self.threshold)),
            "params": _jsonable(dict(self.params)),
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ModelState:
        """The state written by `to_dict`; a mapping of another shape is a clear `ValueError`."""
        if not isinstance(data, dict) or data.get("format") != _FORMAT:
            msg = f"ModelState: not a stored model state of format {_FORMAT}: {str(data)[:80]!r}"
            raise ValueError(msg)
        try:
            state = cls(
                module=str(data["module"]),
                product_id=_from_jsonable(data["product_id"]),
                threshold=float(_from_jsonable(data["threshold"])),
                params=_from_jsonable(data["params"]),
            )
        except KeyError as exc:
            msg = f"ModelState: stored state lacks the field {exc.args[0]!r}"
            raise ValueError(msg) from None
        except (TypeError, ValueError) as exc:  # "threshold": null, a list, text that is no number
            msg = f"ModelState: stored state holds a value of the wrong kind: {exc}"
            raise ValueError(msg) from exc
        if not isinstance(state.params, dict):
            msg = f"ModelState: stored params are not a mapping: {type(state.params).__name__}"
            raise ValueError(msg)
        return state

    def to_json(self, **kwargs: Any) -> str:
        return json.dumps(self.to_dict(), ensure_ascii=False, allow_nan=False, **kwargs)

    @classmethod
    def from_json(cls, text: str) -> ModelState:
        return cls.from_dict(json.loads(text))


class BaseInspector(ABC):
    """An inspection module: taught on good samples, then judges one image at a time."""

    name: str = ""

    @abstractmethod
    def teach(self, images: list[np.ndarray], config: dict[str, Any]) -> ModelState: ...

    @abstractmethod
    def inspect(self, image: np.ndarray, model_state: ModelState | None) -> InspectionResult: ...

    @classmethod
    def purge_artifacts(cls, product_id: str) -> int:
        """Remove derived data of a deleted product; returns the bytes freed (none by default)."""
        return 0
