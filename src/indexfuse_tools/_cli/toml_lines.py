"""Where each key of a TOML document is written, so that an error about a
value can name its line.

``tomllib`` returns the values without their positions, and no maintained
TOML reader in the standard library or this package's dependencies keeps
them; this scanner reads the lines of a document ``tomllib`` has already
accepted, so it needs to understand only valid TOML, and only as far as
telling keys from values.
"""

from __future__ import annotations

import re
import tomllib
from collections.abc import Sequence

__all__ = ["KeyLines"]

# One part of a dotted key: bare, "basic" (with escapes) or 'literal'.
_KEY_PART = re.compile(r"""\s*(?:([A-Za-z0-9_-]+)|"((?:[^"\\]|\\.)*)"|'([^']*)')\s*""")


class KeyLines:
    """The line (counted from 1) on which each key of a TOML text is defined.

    Examples
    --------
    >>> lines = KeyLines('title = "x"\\n\\n[data]\\nfile = "a.csv"\\n"odd key".inner = 1\\n')
    >>> lines.line(["data", "file"]), lines.line(["data", "odd key", "inner"]), lines.line(["title"])
    (4, 5, 1)
    >>> lines.line(["data", "file", 0])  # inside a value: the line of its key
    4
    >>> lines.line(["data", "nowhere"]), lines.line(["elsewhere"])
    (3, None)
    """

    def __init__(self, text: str) -> None:
        self._lines: dict[tuple[str, ...], int] = {}
        self._scan(text)

    def line(self, path: Sequence[str | int]) -> int | None:
        """The line of ``path``, or of the nearest key above it that is written out
        (a key inside an inline table or an array: the line of that table or array)."""
        keys: list[str] = []
        for part in path:
            if not isinstance(part, str):
                break
            keys.append(part)
        for end in range(len(keys), 0, -1):
            found = self._lines.get(tuple(keys[:end]))
            if found is not None:
                return found
        return None

    def _define(self, keys: tuple[str, ...], number: int, start: int = 1) -> None:
        for end in range(max(start, 1), len(keys) + 1):
            self._lines.setdefault(keys[:end], number)

    def _scan(self, text: str) -> None:
        table: tuple[str, ...] = ()
        value = _Value()
        for number, line in enumerate(text.splitlines(), start=1):
            if value.open:
                value.feed(line)
                continue
            stripped = line.lstrip()
            if not stripped or stripped.startswith("#"):
                continue
            if stripped.startswith("["):
                keys, _ = _read_key(stripped[2:] if stripped.startswith("[[") else stripped[1:])
                if keys:
                    table = keys
                    self._define(table, number)
                continue
            keys, rest = _read_key(stripped)
            if keys and rest.startswith("="):
                self._define(table + keys, number, start=len(table) + 1)
                value.feed(rest[1:])


def _read_key(text: str) -> tuple[tuple[str, ...], str]:
    """The dotted key at the start of ``text`` and what follows it (empty when there is no key)."""
    parts: list[str] = []
    position = 0
    while True:
        match = _KEY_PART.match(text, position)
        if match is None:
            return (), text
        bare, basic, literal = match.groups()
        if bare is not None:
            parts.append(bare)
        elif basic is not None:
            # The escapes of a basic string are TOML's own: let its reader undo them.
            parts.append(tomllib.loads(f'k = "{basic}"')["k"])
        else:
            parts.append(literal)
        position = match.end()
        if not text.startswith(".", position):
            return tuple(parts), text[position:]
        position += 1


class _Value:
    """How far a value runs past its line: open brackets and multi-line strings."""

    def __init__(self) -> None:
        self.depth = 0
        self.string: str | None = None

    @property
    def open(self) -> bool:
        return self.depth > 0 or self.string is not None

    def feed(self, text: str) -> None:
        position = 0
        while position < len(text):
            if self.string is not None:
                position = self._in_string(text, position)
                continue
            character = text[position]
            if character == "#":
                return
            if text.startswith(('"""', "'''"), position):
                self.string = text[position : position + 3]
                position += 3
            elif character in "\"'":
                position = _string_end(text, position)
            else:
                self.depth += (character in "[{") - (character in "]}")
                position += 1

    def _in_string(self, text: str, position: int) -> int:
        if self.string == '"""' and text[position] == "\\":
            return position + 2
        if text.startswith(str(self.string), position):
            # A closing delimiter may be followed by up to two more quotes, which belong to the string.
            end = position + 3
            while end < len(text) and text[end] == str(self.string)[0] and end < position + 5:
                end += 1
            self.string = None
            return end
        return position + 1


def _string_end(text: str, start: int) -> int:
    """Just past the one-line string that opens at ``start``."""
    quote = text[start]
    position = start + 1
    while position < len(text):
        if quote == '"' and text[position] == "\\":
            position += 2
            continue
        if text[position] == quote:
            return position + 1
        position += 1
    return position
