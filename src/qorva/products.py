"""Products under the home folder: their ids, their folders and the taught state each keeps."""

from __future__ import annotations

import difflib
import json
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from qorva.errors import QorvaError
from qorva.files import write_atomic
from qorva.home import UnsafeNameError, check_name, product_dir, products_dir, state_path
from qorva.inspection.base import ModelState


class ProductError(QorvaError):
    """A product id that is unsafe, unknown or not taught yet."""


def check_product(product_id: str) -> str:
    """`product_id` if it names exactly one folder under products/, else `ProductError`."""
    try:
        return check_name(product_id, "product id")
    except UnsafeNameError as exc:
        raise ProductError(str(exc)) from None


def require_product(home: Path, product_id: str) -> Path:
    """The product's folder; `ProductError` naming the fix when it was never trained."""
    folder = product_dir(home, check_product(product_id))
    if not folder.is_dir():
        msg = (
            f"unknown product {product_id!r}: no folder {folder}{hint(product_id, known_products(home))}; "
            f"run 'qorva train --product {product_id} --good DIR' first"
        )
        raise ProductError(msg)
    return folder


def hint(product_id: str, known: Sequence[str]) -> str:
    """' (did you mean ...?)' for a name that differs from known ones in case or by a typo, else the known ones."""
    if not known:
        return ""
    close = [k for k in known if k.casefold() == product_id.casefold()]
    close = close or difflib.get_close_matches(product_id, list(known), n=3, cutoff=0.6)
    if close:
        return f" (did you mean {' or '.join(repr(c) for c in close)}?)"
    more = f" and {len(known) - 8} more" if len(known) > 8 else ""
    return f" (known: {', '.join(sorted(known)[:8])}{more})"



def known_products(home: Path) -> list[str]:
    try:
        return sorted(p.name for p in products_dir(home).iterdir() if p.is_dir())
    except OSError:
        return []


# The application's own record of a teach, kept in state.json beside the inspector's state (whose params
# are the inspector's alone): the bundle build taught on, each good sample's file and score, their formats.
CALIBRATION_KEY = "qorva_calibration"


def save_state(home: Path, state: ModelState, calibration: dict[str, Any] | None = None) -> Path:
    """Store a `ModelState` as the product's taught state, with the application's `calibration` beside it."""
    return write_state(state_path(home, check_product(state.product_id)), state, calibration)


def write_state(path: Path, state: ModelState, calibration: dict[str, Any] | None = None) -> Path:
    """Write a taught state (and `calibration` beside it) to `path`, replacing it in one rename."""
    data = state.to_dict()
    if calibration is not None:
        data[CALIBRATION_KEY] = calibration
    write_atomic(path, (json.dumps(data, ensure_ascii=False, allow_nan=False, indent=2) + "\n").encode("utf-8"))
    return path


def read_state(path: Path) -> tuple[ModelState, dict[str, Any]]:
    """The taught state stored at `path` and the calibration beside it; `ProductError` when it cannot be read."""
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        msg = f"cannot read the taught state {path}: {exc.strerror or exc}"
        raise ProductError(msg) from None
    try:
        state = ModelState.from_json(text)
        found = json.loads(text).get(CALIBRATION_KEY)
    except (ValueError, RecursionError) as exc:  # RecursionError: JSON nested thousands deep
        msg = f"taught state {path} is damaged ({exc}); teach the product again"
        raise ProductError(msg) from None
    return state, found if isinstance(found, dict) else {}


def load_calibration(home: Path, product_id: str) -> dict[str, Any]:
    """What teach recorded beside the state (empty for a state taught before it did, or unreadable)."""
    try:
        data = json.loads(state_path(home, check_product(product_id)).read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError):
        return {}
    found = data.get(CALIBRATION_KEY) if isinstance(data, dict) else None
    return found if isinstance(found, dict) else {}


def load_state(home: Path, product_id: str) -> ModelState:
    """The product's taught `ModelState`; `ProductError` when the product is unknown, untaught or damaged."""
    require_product(home, product_id)
    path = state_path(home, product_id)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        msg = f"product {product_id!r} is not taught yet: no {path};"
        msg += f" run 'qorva teach --product {product_id} --good DIR'"
        raise ProductError(msg) from None
    except OSError as exc:
        msg = f"cannot read the taught state {path}: {exc}"
        raise ProductError(msg) from None
    try:
        return ModelState.from_json(text)
    except (ValueError, RecursionError) as exc:  # RecursionError: JSON nested thousands deep
        msg = f"taught state {path} is damaged ({exc}); teach the product again"
        raise ProductError(msg) from None
