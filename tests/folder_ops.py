"""Random file operations on a drop folder, for comparing the notified scan with the listing scan.

Each step changes the folder (or something a listing depends on: a link's target outside it, a file's
other name, `_seen`, the extensions) the way senders, operators and the camera itself do. Used by the
differential test and by bench/stress_notify.py.
"""

from __future__ import annotations

import contextlib
import os
import random
from collections.abc import Callable
from pathlib import Path
from typing import Any

NAMES = ["a.png", "b.PNG", "c.jpg", "d.tif", "e.txt", "f.png.done", "g.jpeg", "h.bmp", "i.png", "j.png", "k.jpg",
         "dir.png", "ä.png"]
# Past, present and future stamps, a tie and a fraction of a nanosecond's worth of float.
TIMES = [1_600_000_000.0, 1_700_000_000.0, 1_700_000_000.0, 1_700_000_000.000001, 2_100_000_000.5]


class Vanishing(set):
    """A `_seen` whose first membership test calls `spring`: a scan tests membership after its listing and
    before it reads the files' times, so what `spring` takes away goes between the two."""

    def __init__(self, items: set[str], spring: Callable[[], None]) -> None:
        super().__init__(items)
        self.spring: Callable[[], None] | None = spring

    def __contains__(self, item: object) -> bool:
        if self.spring is not None:
            spring, self.spring = self.spring, None
            spring()
        return super().__contains__(item)


class FolderOps:
    """Applies seeded random operations to `folder`; `outside` is a sibling folder on the same file system."""

    def __init__(self, seed: int, folder: Path, outside: Path, cameras: list[Any]) -> None:
        self.rng = random.Random(seed)
        self.folder, self.outside, self.cameras = folder, outside, cameras
        self.ops: list[Callable[[], str]] = [
            self.write, self.write, self.append, self.touch, self.touch, self.rename_within, self.rename_out,
            self.rename_in, self.delete, self.replace, self.mkdir, self.symlink, self.outside_change,
            self.hard_link, self.seen_add, self.seen_discard, self.seen_discard, self.extensions, self.vanish,
        ]
        self.trap: tuple[Path, float | None] | None = None

    def scans(self) -> list[list[Path]]:
        """Each camera's `_scan`; after `vanish`, each scan sees the file go between its listing and its times."""
        out = []
        for cam in self.cameras:
            if self.trap is None:
                out.append(cam._scan())
                continue
            victim, folder_at = self.trap
            stash = self.outside / "stash"
            moved: list[bool] = []

            def spring(victim=victim, stash=stash, folder_at=folder_at, moved=moved) -> None:
                victim.rename(stash)
                moved.append(True)
                if folder_at is not None:  # replaced by a folder, whose time a listing reads instead
                    victim.mkdir()
                    os.utime(victim, (folder_at, folder_at))

            cam._seen = Vanishing(cam._seen, spring)
            try:
                out.append(cam._scan())
            finally:
                cam._seen = set(cam._seen)
                if moved:
                    if folder_at is not None:
                        victim.rmdir()
                    stash.rename(victim)  # back, its time kept, for the next camera
        self.trap = None
        return out

    def step(self) -> str:
        op = self.rng.choice(self.ops)
        try:
            return op()
        except OSError as exc:  # a name taken by a folder, a missing source: what senders run into too
            return f"{op.__name__}: {exc.strerror}"

    def pick(self, where: Path | None = None) -> Path:
        return (where or self.folder) / self.rng.choice(NAMES)

    def existing(self, where: Path) -> Path | None:
        names = sorted(p.name for p in where.iterdir())
        return where / self.rng.choice(names) if names else None

    def write(self) -> str:
        p = self.pick()
        p.write_bytes(os.urandom(self.rng.randint(0, 64)))
        return f"write {p.name}"

    def append(self) -> str:
        p = self.pick()
        with p.open("ab") as fh:
            fh.write(b"more")
        return f"append {p.name}"

    def touch(self) -> str:
        p = self.existing(self.rng.choice([self.folder, self.outside])) or self.pick()
        t = self.rng.choice(TIMES)
        os.utime(p, (t, t))
        return f"touch {p.name} {t}"

    def rename_within(self) -> str:
        src, dst = self.existing(self.folder), self.pick()
        if src is None:
            return "rename within: empty"
        src.rename(dst)
        return f"rename {src.name} -> {dst.name}"

    def rename_out(self) -> str:
        src = self.existing(self.folder)
        if src is None or src.is_dir():
            return "rename out: nothing"
        src.rename(self.outside / f"out{self.rng.randint(0, 5)}.png")
        return f"rename out {src.name}"

    def rename_in(self) -> str:
        src = self.existing(self.outside)
        if src is None or src.is_dir():
            return "rename in: nothing"
        dst = self.pick()
        src.rename(dst)
        return f"rename in {src.name} -> {dst.name}"

    def delete(self) -> str:
        p = self.existing(self.folder)
        if p is None:
            return "delete: empty"
        if p.is_dir() and not p.is_symlink():
            p.rmdir()
        else:
            p.unlink()
        return f"delete {p.name}"

    def replace(self) -> str:
        tmp, dst = self.outside / "upload.tmp", self.pick()
        tmp.write_bytes(b"new")
        os.utime(tmp, (TIMES[0], TIMES[0]))  # an old time kept by the copy, as copy2 and FTP clients do
        tmp.replace(dst)
        return f"replace {dst.name}"

    def mkdir(self) -> str:
        p = self.folder / self.rng.choice(["dir.png", "k.jpg"])  # two names: folders would fill the rest
        p.mkdir()
        return f"mkdir {p.name}"

    def symlink(self) -> str:
        link = self.pick()
        target = self.rng.choice([self.pick(), self.pick(self.outside), self.outside / "missing.png", self.outside])
        link.symlink_to(target)
        return f"symlink {link.name} -> {target}"

    def outside_change(self) -> str:
        """Writes or touches a file outside: a link's target or another name of a file, no event here."""
        p = self.pick(self.outside)
        if self.rng.random() < 0.5:
            p.write_bytes(b"outside")
        t = self.rng.choice(TIMES)
        os.utime(p, (t, t))
        return f"outside {p.name} {t}"

    def hard_link(self) -> str:
        src = self.existing(self.folder)
        if src is None or src.is_dir() or src.is_symlink():
            return "hard link: nothing"
        dst = self.pick(self.outside)
        with contextlib.suppress(FileNotFoundError):
            dst.unlink()
        os.link(src, dst)
        return f"hard link {src.name} as outside {dst.name}"

    def seen_add(self) -> str:
        listed = self.cameras[-1]._scan()
        if not listed:
            return "seen add: nothing listed"
        text = str(self.rng.choice(listed))
        for cam in self.cameras:
            cam._seen.add(text)
        return f"seen add {text}"

    def seen_discard(self) -> str:
        seen = sorted(self.cameras[0]._seen)
        if not seen:
            return "seen discard: empty"
        text = self.rng.choice(seen)
        other = str(self.pick()) if self.rng.random() < 0.5 else None  # then the size stays the same
        for cam in self.cameras:
            cam._seen.discard(text)
            if other is not None:
                cam._seen.add(other)
        return f"seen discard {text}"

    def vanish(self) -> str:
        """Arms `scans`: a file goes, or turns into a folder, after the listing and before its time is read."""
        victim = self.existing(self.folder)
        if victim is None or (victim.is_dir() and not victim.is_symlink()):
            return "vanish: nothing"
        self.trap = (victim, self.rng.choice([None, None, *TIMES]))
        return f"vanish {victim.name} (folder at {self.trap[1]})"

    def extensions(self) -> str:
        exts = self.rng.choice([None, None, ["png", "TXT"], [".jpg", ".done"]])
        for cam in self.cameras:
            cam.params["extensions"] = exts
        return f"extensions {exts}"
