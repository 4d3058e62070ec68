"""Registry of inspection modules, by their `name`."""

from __future__ import annotations

import threading
from typing import TypeVar

T = TypeVar("T", bound=type)

_lock = threading.Lock()
_registry: dict[str, type] = {}


def register(cls: T) -> T:
    """Class decorator: record `cls` under `cls.name` and return it unchanged.

    Registering the same class again is harmless (a module imported twice); a
    different class under a name that is taken is an error.
    """
    name = getattr(cls, "name", None)
    if not isinstance(name, str) or not name:
        msg = f"register: {cls!r} needs a non-empty text attribute 'name', got {name!r}"
        raise TypeError(msg)
    with _lock:
        current = _registry.get(name)
        same = current is not None and (current is cls or (
            current.__module__ == cls.__module__ and current.__qualname__ == cls.__qualname__))
        if current is not None and not same:
            msg = f"register: the name {name!r} is already taken by {current.__module__}.{current.__qualname__}"
            raise ValueError(msg)
        _registry[name] = cls
    return cls


def get(name: str) -> type:
    """The inspector class registered under `name`; `KeyError` naming the known ones otherwise."""
    with _lock:
        try:
            return _registry[name]
        except KeyError:
            known = ", ".join(sorted(_registry)) or "none"
            msg = f"no inspector registered as {name!r} (known: {known})"
            raise KeyError(msg) from None


def names() -> list[str]:
    with _lock:
        return sorted(_registry)
