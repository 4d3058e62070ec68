"""The live page of `qorva watch --serve`: read-only, and a dropped image shows up on it by itself."""

from __future__ import annotations

import json
import re
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import browser
from clitools import PRODUCT, defect, goods, start_qorva, stop, write_images
from helpers import wait_until


def _url(proc) -> str:
    """The page's address from the banner (port 0: the system picked one)."""
    line = proc.stderr.readline()
    found = re.search(r"live page (http://\S+/)", line)
    assert found, line
    return found.group(1)


@pytest.fixture
def watching(home: Path, tmp_path: Path):
    drop = tmp_path / "drop"
    drop.mkdir()
    proc = start_qorva("watch", "--product", PRODUCT, "--folder", drop, "--ready-policy", "none", "--poll-ms", "20",
                       "--serve", "127.0.0.1:0", "--quiet", "--home", home)
    try:
        yield proc, _url(proc), drop
    finally:
        if proc.returncode is None:
            stop(proc)


def _status(url: str) -> dict:
    with urllib.request.urlopen(url + "status.json", timeout=5) as r:
        return json.load(r)


def test_page_is_read_only_and_reports_verdicts_and_set_aside_files(watching):
    proc, url, drop = watching
    write_images(drop, [goods(1, seed=30)[0], defect("scratch")], "v")
    (drop / "broken.png").write_bytes(b"not an image at all")
    (drop / "notes.txt").write_text("not an image")
    # The ignored suffix is named by the camera's health poll, which may come a pass after the set-aside file.
    assert wait_until(lambda: (s := _status(url))["counts"].get("NG") == 1 and s["health"]["set_aside"] == 1
                      and s["health"]["ignored"], timeout=20, interval=0.2)
    s = _status(url)
    assert s["counts"] == {"OK": 1, "NG": 1, "ERROR": 1} and s["health"]["ignored"] == [".txt"]
    latest = s["latest_ng"]
    with urllib.request.urlopen(f"{url}ng/{latest['seq']}.png", timeout=5) as r:
        assert r.headers["Content-Type"] == "image/png" and r.read(8) == b"\x89PNG\r\n\x1a\n"
    # Without --token-file nothing changes here: a review is refused whatever it carries.
    change = urllib.request.Request(url + "review", data=b'{"row": 1, "decision": "good", "who": "x"}', method="POST",
                                    headers={"Content-Type": "application/json", "Authorization": "Bearer " + "t" * 20})
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(change, timeout=5)
    assert refused.value.code == 403 and b"read-only" in refused.value.read()
    refused.value.close()


def test_dropped_image_appears_on_the_open_page_in_chromium(watching, tmp_path: Path):
    browser.chromium()
    proc, url, drop = watching
    page = browser.Page(url)
    try:
        heading = "(document.getElementById('title') || {}).textContent || ''"
        # Rendered from its first answer: the page is up before anything is dropped.
        assert wait_until(lambda: page.evaluate(heading).startswith("qorva watch:"), timeout=10, interval=0.2)
        write_images(drop, goods(1, seed=31), "seen")
        # The page was loaded before the drop: it shows the image by itself, within 10 s.
        appeared = wait_until(lambda: page.evaluate("!!document.querySelector('img[data-file=\"seen00.png\"]')"),
                              timeout=10, interval=0.2)
        shot = page.screenshot(tmp_path / "live.png")
        assert appeared
        stop(proc)
        # The job is gone: the open page says so by itself.
        banner = "(document.getElementById('banner') || {}).textContent || ''"
        assert wait_until(lambda: "no update since" in page.evaluate(banner), timeout=5, interval=0.2)
    finally:
        page.close()
    assert shot.stat().st_size > 10_000


def test_a_page_on_every_interface_names_a_reachable_address_and_warns(home: Path, tmp_path: Path):
    drop = tmp_path / "drop"
    drop.mkdir()
    proc = start_qorva("watch", "--product", PRODUCT, "--folder", drop, "--serve", "0.0.0.0:0", "--quiet",
                       "--home", home)
    try:
        lines = [proc.stderr.readline(), proc.stderr.readline()]
    finally:
        stop(proc)
    found = re.search(r"live page (http://\S+/)", "".join(lines))
    assert found and "0.0.0.0" not in found.group(1), lines
    assert any(line.startswith("qorva: warning: the live page http://") for line in lines), lines
