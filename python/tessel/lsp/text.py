"""Places in a document's text: the compiler counts UTF-8 bytes from the
start of a module; an editor counts lines and UTF-16 code units within a
line. `LineIndex` converts one into the other, both ways, in O(log lines)."""

from __future__ import annotations

import bisect

from lsprotocol import types


def _utf16_length(text: str) -> int:
    return len(text) + sum(1 for char in text if ord(char) > 0xFFFF)


class LineIndex:
    """The line starts of one text, in bytes and in characters."""

    __slots__ = ("text", "data", "_byte_starts", "_char_starts")

    def __init__(self, text: str) -> None:
        self.text = text  # and `data`, the same text in UTF-8
        self.data = text.encode("utf-8", "surrogatepass")
        self._byte_starts = [0]
        self._char_starts = [0]
        at = text.find("\n")
        while at >= 0:
            self._char_starts.append(at + 1)
            at = text.find("\n", at + 1)
        at = self.data.find(b"\n")
        while at >= 0:
            self._byte_starts.append(at + 1)
            at = self.data.find(b"\n", at + 1)

    @property
    def byte_length(self) -> int:
        return len(self.data)

    def position(self, offset: int) -> types.Position:
        """The editor's position of a byte offset (clamped to the text; an
        offset inside a character counts as that character's start)."""
        offset = max(0, min(offset, len(self.data)))
        line = bisect.bisect_right(self._byte_starts, offset) - 1
        before = self.data[self._byte_starts[line]:offset].decode("utf-8", "ignore")
        return types.Position(line=line, character=_utf16_length(before))

    def range(self, offset: int, length: int) -> types.Range:
        return types.Range(start=self.position(offset), end=self.position(offset + max(length, 0)))

    def offset(self, position: types.Position) -> int:
        """The byte offset of an editor's position (a line past the end is the
        end; a character past the line's end is the line's end)."""
        if position.line >= len(self._char_starts):
            return len(self.data)
        line = max(position.line, 0)
        start = self._char_starts[line]
        end = self._char_starts[line + 1] - 1 if line + 1 < len(self._char_starts) else len(self.text)
        units, at = 0, start
        while at < end and units < position.character:
            units += 2 if ord(self.text[at]) > 0xFFFF else 1
            at += 1
        return self._byte_starts[line] + len(self.text[start:at].encode("utf-8", "surrogatepass"))

    def line_text(self, line: int) -> str:
        if not 0 <= line < len(self._char_starts):
            return ""
        start = self._char_starts[line]
        end = self._char_starts[line + 1] - 1 if line + 1 < len(self._char_starts) else len(self.text)
        return self.text[start:end]

    def prefix(self, position: types.Position) -> str:
        """The text of the position's line before it."""
        offset = self.offset(position)
        line = min(max(position.line, 0), len(self._byte_starts) - 1)
        return self.data[self._byte_starts[line]:offset].decode("utf-8", "replace")
