"""A product's model versions on the line: the taught state of each, the one in use, switching between them.

Every training adds a version to the product's bundle, never rewritten (the runner keeps them). A version is
ready for the line once taught: teach writes its state into the version's folder (`state.json`, the inspector's
state with what the application records beside it) and, unless told not to, makes it the product's taught state
and the bundle's current version. `use` switches the product to another taught version, a rollback included.

The product's taught state names the version it was taught on. Every command and the watch job judge with the
bundle pinned to that version (`runner.pinned`), so a threshold is never paired with another model. A state
taught before versions names the build it was taught on: the version with that build is its version.
"""

from __future__ import annotations

import contextlib
import json
import logging
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from qorva.calibration import StaleStateError
from qorva.errors import QorvaError
from qorva.home import STATE_FILE, state_path
from qorva.inspection.base import ModelState
from qorva.products import load_calibration, load_state, read_state, save_state, write_state

logger = logging.getLogger("qorva.versions")

# What `qorva evaluate` last found for a version, kept in the version's folder for `qorva models`.
EVALUATION_FILE = "evaluation.json"


class VersionError(QorvaError):
    """A version that does not exist, is not taught, or does not match its taught state."""


def _runner() -> Any:
    from qorva.inspection.modules.norim import runner

    return runner


@dataclass(frozen=True)
class InUse:
    """A taught state with the version of the bundle it was taught on: what judges an image."""

    state: ModelState
    calibration: dict[str, Any] = field(default_factory=dict)
    version: int | None = None  # None: not known (a state from before versions): the current one is loaded
    build: str | None = None

    @property
    def bundle(self) -> str:
        return bundle_of(self.state)

    @property
    def threshold(self) -> float:
        return float(self.state.threshold)

    @property
    def source(self) -> str:
        return threshold_source(self.state, self.calibration)

    @property
    def label(self) -> str:
        """"v3", or "" for a state that names no version."""
        return f"v{self.version}" if self.version is not None else ""

    def pinned(self) -> contextlib.AbstractContextManager[None]:
        """A block in which the inspector's bundle lookups load this version."""
        return _runner().pinned(self.bundle, self.version)

    def describe(self) -> str:
        return f"threshold {self.threshold:.4f} ({self.source}), bundle {self.bundle} {self.label}".rstrip()


def bundle_of(state: ModelState) -> str:
    """The bundle a state is judged with: its `weights`, else the product id (as the inspector resolves it)."""
    return str(state.params.get("weights") or state.product_id)


def threshold_source(state: ModelState, calibration: dict[str, Any]) -> str:
    """How the threshold was chosen, in a few words ("sigma 2", "manual", "target-fp 1%", ...)."""
    chosen = calibration.get("threshold")
    if isinstance(chosen, dict) and chosen.get("source"):
        return str(chosen["source"])
    return f"sigma {state.params.get('sigma')}"


def in_use(home: Path, product: str, *, allow_stale: bool = False) -> InUse:
    """The product's taught state paired with its version; `StaleStateError` when that version is gone."""
    return paired(home, load_state(home, product), load_calibration(home, product), allow_stale=allow_stale)


def paired(home: Path, state: ModelState, calibration: dict[str, Any], *, allow_stale: bool = False) -> InUse:
    """`state` with the version it was taught on: the one it names, else the one with the build it names."""
    runner = _runner()
    bundle = bundle_of(state)
    version, build = calibration.get("version"), calibration.get("build_id")
    try:
        known = runner.bundle_versions(bundle, home)
    except runner.NorimError:
        known = []  # no bundle at all: every inspection says so, as it did before versions
    if isinstance(version, int) and not isinstance(version, bool):
        found = [i for i in known if i.version == version and (not build or i.build_id == build)]
    else:
        found = [i for i in known if build and i.build_id == build]
    if found:
        return InUse(state, calibration, found[0].version, found[0].build_id)
    if not known or not (build or version):
        return InUse(state, calibration, None, build)  # taught before builds were recorded: nothing tells
    product = state.product_id
    msg = (
        f"the taught state of {product} is stale: it was taught on a build of bundle {bundle} that is no longer there "
        f"(versions: {', '.join(str(i.version) for i in known)}); run 'qorva teach --product {product} --good DIR' "
        "again (or pass --allow-stale)"
    )
    if not allow_stale:
        raise StaleStateError(msg)
    logger.warning("%s; going on as asked", msg.split(";")[0])
    return InUse(state, calibration, None, build)


def newest(bundle: str, home: Path) -> int:
    """The newest version of `bundle` (what teach teaches unless told otherwise)."""
    runner = _runner()
    try:
        found = runner.bundle_versions(bundle, home)
    except runner.NorimError as exc:
        raise VersionError(str(exc)) from None
    if not found:
        msg = f"bundle {bundle} holds no readable version; train it again"
        raise VersionError(msg)
    return found[-1].version


def _owned(home: Path, bundle: str, version: int, product: str) -> Path | None:
    """The version's folder when `product` holds the bundle (a bundle of another product keeps its own states)."""
    runner = _runner()
    try:
        info = runner.bundle_info(bundle, home, version)
    except runner.NorimError as exc:
        raise VersionError(str(exc)) from None
    return info.path if info.product_id == product else None


def save_taught(home: Path, state: ModelState, calibration: dict[str, Any], *, activate: bool = True) -> Path:
    """Keep a teach with its version; with `activate`, make it the product's state and the bundle's current version.

    The product's state is written before the bundle's pointer: a reader of the pointer alone never sees a version
    whose taught state the product does not have yet. Returns the file the state was written to last.
    """
    bundle, version, product = bundle_of(state), int(calibration["version"]), str(state.product_id)
    folder = _owned(home, bundle, version, product)
    path = write_state(folder / STATE_FILE, state, calibration) if folder is not None else None
    if activate:
        path = save_state(home, state, calibration)
        if folder is not None:
            _runner().use_version(bundle, version, home)
    if path is None:
        msg = f"bundle {bundle} belongs to another product: a teach on it for {product} must be used (no --candidate)"
        raise VersionError(msg)
    return path


def taught_state(home: Path, bundle: str, version: int, product: str) -> tuple[ModelState, dict[str, Any]] | None:
    """The state `product` was taught on version `version` of `bundle`, None when it was not."""
    folder = _owned(home, bundle, version, product)
    if folder is None or not (folder / STATE_FILE).is_file():
        return None
    return read_state(folder / STATE_FILE)


def use(home: Path, product: str, version: int) -> InUse:
    """Switch the product to a taught version (a rollback included); what it judges with now."""
    bundle = _bundle_of_product(home, product)
    found = taught_state(home, bundle, version, product)
    if found is None:
        msg = (
            f"version {version} of {bundle} is not taught: run 'qorva teach --product {product} --version {version} "
            "--good DIR' first"
        )
        raise VersionError(msg)
    state, calibration = found
    chosen = paired(home, state, calibration)
    if chosen.version != version:
        msg = f"the taught state kept with version {version} of {bundle} belongs to another build; teach it again"
        raise VersionError(msg)
    save_state(home, state, calibration)
    _runner().use_version(bundle, version, home)
    return chosen


def _bundle_of_product(home: Path, product: str) -> str:
    try:
        return bundle_of(load_state(home, product))
    except QorvaError:
        return product  # not taught yet: its own bundle


@dataclass(frozen=True)
class Listed:
    """One version as `qorva models` shows it."""

    version: int
    created: str | None
    n_images: int | None
    build: str | None
    backbone: str
    in_use: bool  # the one the product's taught state names
    threshold: float | None  # of its teach, None when not taught
    source: str | None
    evaluation: dict[str, Any] | None


def listing(home: Path, product: str) -> tuple[str, list[Listed]]:
    """The product's bundle and every version of it, oldest first."""
    runner = _runner()
    bundle = _bundle_of_product(home, product)
    try:
        found = runner.bundle_versions(bundle, home)
    except runner.NorimError as exc:
        raise VersionError(str(exc)) from None
    try:
        live = in_use(home, product).version
    except QorvaError:  # not taught, or its version is gone
        live = None
    out = []
    for info in found:
        mine = info.product_id == product
        taught = read_state_quietly(info.path / STATE_FILE) if mine else None
        out.append(Listed(
            info.version, info.created_utc, info.n_images, info.build_id, info.backbone, info.version == live,
            float(taught[0].threshold) if taught else None, threshold_source(*taught) if taught else None,
            _json(info.path / EVALUATION_FILE) if mine else None,
        ))  # fmt: skip
    return bundle, out


def read_state_quietly(path: Path) -> tuple[ModelState, dict[str, Any]] | None:
    try:
        return read_state(path) if path.is_file() else None
    except QorvaError:
        return None


def _json(path: Path) -> dict[str, Any] | None:
    try:
        found = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError):
        return None
    return found if isinstance(found, dict) else None


class Follower:
    """The version a running job judges with: the product's taught state, followed while the job runs.

    `current()` is called on the job's thread for every frame and looks at the state file at most every
    `interval_s`. A new state is taken only when the version it names is there with the build it was taught on,
    and only after that version's bundle has been loaded; until then the job goes on with the version it has,
    never with the new threshold on the old model or the other way round.
    """

    def __init__(self, home: Path, product: str, first: InUse, *, interval_s: float = 0.25,
                 announce: Callable[[InUse, str], None] | None = None) -> None:
        self.home, self.product, self.in_use = Path(home), product, first
        self.interval_s, self.announce = interval_s, announce
        self._path = state_path(self.home, product)
        self._seen = _signature(self._path)
        self._next = time.monotonic() + interval_s
        self._refused: tuple | None = None

    def current(self) -> InUse:
        runner = _runner()
        now = time.monotonic()
        if now < self._next:
            return self.in_use
        self._next = now + self.interval_s
        seen = _signature(self._path)
        if seen == self._seen:
            return self.in_use
        try:
            new = in_use(self.home, self.product)
            with new.pinned():
                runner.get_bundle(new.bundle, new.state.params.get("device"))
        except (QorvaError, runner.NorimError) as exc:
            if self._refused != seen:  # once per change of the file, not once per frame
                self._refused = seen
                logger.warning("the taught state of %s changed but cannot be used (%s); judging on with %s",
                               self.product, exc, self.in_use.describe())
            return self.in_use
        self._seen = seen
        old, self.in_use = self.in_use, new
        if (old.version, old.build, old.threshold, old.source) == (new.version, new.build, new.threshold, new.source):
            return new  # rewritten as it was (a teach read half-way through its write, say)
        text = f"{self.product}: switched from {old.describe()} to {new.describe()}"
        logger.info("%s", text)
        if self.announce is not None:
            self.announce(new, text)
        return new


def _signature(path: Path) -> tuple[int, int, int] | None:
    try:
        st = path.stat()
    except OSError:
        return None
    return (st.st_ino, st.st_mtime_ns, st.st_size)
