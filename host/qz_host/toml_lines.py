"""The line of every table, key and array element of a TOML document.

The standard reader gives values without their places, yet a mistake in a
site file is best reported at its line. ``KeyLines`` scans a document that
has already parsed (so it need not check the grammar) and records, for each
path of keys and array indices, the line where that item starts:
``("zones", 0, "polygon", 2)`` is the third point of the first zone's
polygon. ``line`` answers for the longest recorded prefix of a path, so a
value inside an item it did not record still gets a nearby line.
"""

from __future__ import annotations

import bisect
import sys
from typing import Dict, List, Sequence, Tuple, Union

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on 3.8 to 3.10
    import tomli as tomllib

Key = Union[str, int]
KeyPath = Tuple[Key, ...]

_BARE = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-")
_SCALAR_END = frozenset(",]}\r\n#")


class KeyLines:
    """Lines (from 1) of the items of a TOML document that parses."""

    def __init__(self, text: str):
        self._starts = [i for i, c in enumerate(text) if c == "\n"]
        self._lines: Dict[KeyPath, int] = {}
        scanner = _Scanner(text, self._record)
        try:
            scanner.document()
        except (IndexError, ValueError):
            # Only a document that does not parse gets here; what was found
            # before the fault keeps its lines.
            pass

    def _record(self, path: KeyPath, offset: int) -> None:
        self._lines.setdefault(path, bisect.bisect_right(self._starts, offset) + 1)

    def line(self, path: Sequence[Key]) -> int:
        """The line of `path`, or of its longest recorded prefix; 0 when
        not even its first key was found."""
        path = tuple(path)
        while path:
            found = self._lines.get(path)
            if found is not None:
                return found
            path = path[:-1]
        return 0


class _Scanner:
    """A walk over a document known to parse, calling `record(path, offset)`
    at each item's first character."""

    def __init__(self, text: str, record):
        self.text = text
        self.pos = 0
        self.record = record
        self.table: KeyPath = ()
        # Arrays of tables: how many elements each has so far.
        self.arrays: Dict[KeyPath, int] = {}

    # -- the document: headers and key/value pairs

    def document(self) -> None:
        text = self.text
        while True:
            self.blank(newlines=True)
            if self.pos >= len(text):
                return
            start = self.pos
            if text.startswith("[[", start):
                self.pos += 2
                keys = self.keys()
                self.expect("]]")
                array = self.resolve(keys[:-1]) + (keys[-1],)
                index = self.arrays.get(array, 0)
                self.arrays[array] = index + 1
                self.table = array + (index,)
            elif text[start] == "[":
                self.pos += 1
                keys = self.keys()
                self.expect("]")
                self.table = self.resolve(keys)
            else:
                self.pair(self.table)
                continue
            for k in range(1, len(self.table) + 1):
                self.record(self.table[:k], start)

    def resolve(self, keys: Sequence[str]) -> KeyPath:
        """The path of a header's keys: a key naming an array of tables
        means its latest element."""
        path: KeyPath = ()
        for key in keys:
            path += (key,)
            if path in self.arrays:
                path += (self.arrays[path] - 1,)
        return path

    def pair(self, base: KeyPath) -> None:
        start = self.pos
        keys = self.keys()
        for k in range(1, len(keys) + 1):
            self.record(base + tuple(keys[:k]), start)
        self.blank(newlines=False)
        self.expect("=")
        self.blank(newlines=False)
        self.value(base + tuple(keys))

    def keys(self) -> List[str]:
        """A dotted key's parts, decoded as the reader decodes them."""
        parts = []
        while True:
            self.blank(newlines=False)
            text, start = self.text, self.pos
            if text[start] in "\"'":
                end = self.string_end(start)
                parts.append(tomllib.loads("k = " + text[start:end])["k"])
                self.pos = end
            else:
                end = start
                while end < len(text) and text[end] in _BARE:
                    end += 1
                if end == start:
                    raise ValueError(f"no key at offset {start}")
                parts.append(text[start:end])
                self.pos = end
            self.blank(newlines=False)
            if self.pos < len(text) and text[self.pos] == ".":
                self.pos += 1
                continue
            return parts

    # -- values

    def value(self, path: KeyPath) -> None:
        text, start = self.text, self.pos
        c = text[start]
        if c in "\"'":
            self.pos = self.string_end(start)
        elif c == "[":
            self.pos += 1
            index = 0
            while True:
                self.blank(newlines=True)
                if text[self.pos] == "]":
                    self.pos += 1
                    return
                self.record(path + (index,), self.pos)
                self.value(path + (index,))
                index += 1
                self.blank(newlines=True)
                if text[self.pos] == ",":
                    self.pos += 1
        elif c == "{":
            self.pos += 1
            while True:
                self.blank(newlines=True)
                if text[self.pos] == "}":
                    self.pos += 1
                    return
                self.pair(path)
                self.blank(newlines=True)
                if text[self.pos] == ",":
                    self.pos += 1
        else:
            end = start
            while end < len(text) and text[end] not in _SCALAR_END:
                end += 1
            if end == start:
                raise ValueError(f"no value at offset {start}")
            self.pos = end

    def string_end(self, start: int) -> int:
        """The offset just past the string that starts at `start`."""
        text = self.text
        quote = text[start]
        escapes = quote == '"'
        if text.startswith(quote * 3, start):
            i = start + 3
            while not text.startswith(quote * 3, i):
                i += 2 if escapes and text[i] == "\\" else 1
                if i >= len(text):
                    raise ValueError("unterminated string")
            i += 3
            # Up to two quotes of the content may stand before the closing three.
            for _ in range(2):
                if i < len(text) and text[i] == quote:
                    i += 1
            return i
        i = start + 1
        while text[i] != quote:
            i += 2 if escapes and text[i] == "\\" else 1
        return i + 1

    # -- blanks

    def blank(self, *, newlines: bool) -> None:
        """Skips spaces and comments, and line ends when `newlines`."""
        text = self.text
        while self.pos < len(text):
            c = text[self.pos]
            if c in " \t" or (newlines and c in "\r\n"):
                self.pos += 1
            elif c == "#":
                end = text.find("\n", self.pos)
                self.pos = len(text) if end < 0 else end
            else:
                return

    def expect(self, token: str) -> None:
        self.blank(newlines=False)
        if not self.text.startswith(token, self.pos):
            raise ValueError(f"expected {token!r} at offset {self.pos}")
        self.pos += len(token)
