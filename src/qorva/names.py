"""File names from outside as text: the raw bytes are kept, the text shown escapes what cannot be shown.

A sender on a Latin-1, Shift-JIS or CP949 machine writes names that are not valid UTF-8; Python hands
them over with lone surrogates (\\udc80-\\udcff), which SQLite and a UTF-8 terminal refuse. A name may
also hold a newline or an escape sequence, which would split or repaint a verdict line. So:

- `raw(name)` is the name's bytes as the file system holds them (what `os.fsencode` gives);
- `shown(name)` is its text with every byte that is not UTF-8 as `\\xNN`, control and format
  characters as `\\xNN`/`\\uNNNN`, and a backslash as `\\\\` where the file system allows it in names
  (POSIX; on Windows it is the separator), so the text names exactly one byte string;
- `printable(text)` escapes control characters and lone surrogates of any text (messages, paths
  recorded earlier) for one terminal line, and leaves text that `shown` made unchanged.
"""

from __future__ import annotations

import os
import unicodedata

# On Windows a backslash is a separator and never part of a name: escaping it would only garble paths.
_BACKSLASH_IN_NAMES = os.sep != "\\"
_HIDDEN = ("Cc", "Cf", "Zl", "Zp")


def raw(name: str | bytes | os.PathLike[str]) -> bytes:
    """The bytes of a name or path as the file system holds them."""
    return os.fsencode(name)


def _escape(ch: str, *, backslash: bool) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that was not UTF-8, as surrogateescape carries it
        return f"\\x{code - 0xDC00:02x}"
    if ch == "\\" and backslash:
        return "\\\\"
    if unicodedata.category(ch) in _HIDDEN or 0xD800 <= code <= 0xDFFF:
        return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
    return ch


def shown(name: str | bytes | os.PathLike[str]) -> str:
    """The name as one line of text that tells every byte apart (see the module docstring)."""
    text = os.fsdecode(name)
    if text.isprintable() and (not _BACKSLASH_IN_NAMES or "\\" not in text):
        return text
    return "".join(_escape(ch, backslash=_BACKSLASH_IN_NAMES) for ch in text)


def printable(text: object) -> str:
    """`str(text)` with control characters and lone surrogates escaped, backslashes left as they are."""
    s = str(text)
    if s.isprintable():
        return s
    return "".join(_escape(ch, backslash=False) for ch in s)
