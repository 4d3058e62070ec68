"""Who may change something on the live page: the token file and the checks every change passes."""

from __future__ import annotations

from pathlib import Path

import pytest

from qorva.access import MAX_FAILURES, AccessError, Tokens, create

SHARED, ANNA = "s" * 24, "a" * 24
ORIGINS = {"http://127.0.0.1:8080"}
GOOD = {"authorization": f"Bearer {SHARED}", "content-type": "application/json", "content-length": "40",
        "origin": "http://127.0.0.1:8080", "sec-fetch-site": "same-origin"}


@pytest.fixture
def tokens(tmp_path: Path) -> Tokens:
    path = tmp_path / "tokens.txt"
    path.write_text(f"# the line's tokens\n{SHARED}\nAnna K {ANNA}\n", encoding="utf-8")
    path.chmod(0o600)
    return Tokens(path)


@pytest.mark.parametrize(
    ("change", "status", "holder"),
    [
        pytest.param({}, None, "", id="shared-token"),
        pytest.param({"authorization": f"Bearer {ANNA}"}, None, "Anna K", id="named-token"),
        pytest.param({"origin": None, "sec-fetch-site": None}, None, "", id="no-browser-headers"),
        pytest.param({"authorization": None}, 403, None, id="no-token"),
        pytest.param({"authorization": f"Bearer {SHARED}x"}, 403, None, id="wrong-token"),
        pytest.param({"authorization": SHARED}, 403, None, id="not-bearer"),
        pytest.param({"origin": "http://evil.example"}, 403, None, id="other-origin"),
        pytest.param({"sec-fetch-site": "cross-site"}, 403, None, id="cross-site-fetch"),
        pytest.param({"content-type": "application/x-www-form-urlencoded"}, 415, None, id="a-form-post"),
        pytest.param({"content-length": "100000"}, 413, None, id="too-large"),
        pytest.param({"content-length": None}, 411, None, id="no-length"),
    ],
)
def test_a_change_needs_a_token_json_and_this_page_as_its_origin(tokens: Tokens, change, status, holder):
    headers = {k: v for k, v in {**GOOD, **change}.items() if v is not None}
    found, refusal = tokens.check("10.0.0.9", headers, ORIGINS)
    assert found == holder and (refusal.status if refusal else None) == status


def test_guessing_is_answered_429_and_a_withdrawn_token_stops_working(tokens: Tokens):
    wrong = {**GOOD, "authorization": "Bearer " + "x" * 24}
    for _ in range(MAX_FAILURES):
        assert tokens.check("10.0.0.9", wrong, ORIGINS)[1].status == 403
    assert tokens.check("10.0.0.9", GOOD, ORIGINS)[1].status == 429  # even the right token, for a while
    assert tokens.check("10.0.0.10", GOOD, ORIGINS) == ("", None)  # another address is not punished
    tokens.path.write_text(f"Anna K {ANNA}\n", encoding="utf-8")  # the shared token withdrawn, no restart
    assert tokens.check("10.0.0.10", GOOD, ORIGINS)[1].status == 403


@pytest.mark.parametrize(
    ("text", "needle"),
    [
        pytest.param("# nothing\n\n", "holds no token", id="empty"),
        pytest.param("short\n", "16 or more", id="short-token"),
    ],
)
def test_an_unusable_token_file_is_refused_at_start(tmp_path: Path, text: str, needle: str):
    path = tmp_path / "t.txt"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(AccessError, match=needle):
        Tokens(path)


def test_a_new_token_file_holds_one_random_token_only_its_owner_reads(tmp_path: Path):
    create(tmp_path / "a.txt")
    create(tmp_path / "b.txt")
    a, b = (Tokens(tmp_path / n) for n in ("a.txt", "b.txt"))
    assert a._tokens.keys() != b._tokens.keys() and len(a._tokens) == 1
    assert (tmp_path / "a.txt").stat().st_mode & 0o077 == 0
