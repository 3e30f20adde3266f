"""Diagnostics as the command line shows them.

A diagnostic is a location (``path:line:column``), a severity with its code
(``error[quarl::undefined_var]``, ``warn[unused-import]``), a message, the
source line with a caret underline under the span, and the help text. Text that
comes from a template (source lines, messages, paths) is made safe to print
first: control characters and characters that reorder or break displayed text
never reach the terminal as themselves.
"""

from __future__ import annotations

import re
import unicodedata
from typing import Any, NamedTuple

from tessel._tessel import Span

# Source lines wider than this many columns are cut around the span.
MAX_LINE_WIDTH = 100
# Columns kept before the span when a line is cut.
CONTEXT_BEFORE = 40
TAB_WIDTH = 4
BYTE_ORDER_MARK = b"\xef\xbb\xbf"

# Characters that change the direction or the lines of displayed text.
_REORDERING = frozenset(
    [0x061C, 0x200E, 0x200F, 0x2028, 0x2029, 0xFEFF, *range(0x202A, 0x202F), *range(0x2066, 0x206A)])

_STYLES = {
    "error": "1;31", "warn": "1;33", "warning": "1;33", "info": "1;34", "note": "1;34",
    "help": "1;36", "location": "1", "message": "1", "gutter": "34",
}


class CommandError(Exception):
    """A failure the command line finds itself (a bad flag value, a vars file,
    output of the wrong kind), shown as the compiler's own are."""

    span = source = None

    def __init__(self, code: str, message: str, help: str | None = None, detail: str | None = None) -> None:
        super().__init__(message)
        self.code, self.message, self.help, self.detail = code, message, help, detail


def _needs_escape(code_point: int) -> bool:
    return ((code_point < 0x20 and code_point != 0x09) or 0x7F <= code_point <= 0x9F or code_point in _REORDERING
            or 0xD800 <= code_point <= 0xDFFF)


def _escaped(char: str) -> str:
    code_point = ord(char)
    if 0xDC80 <= code_point <= 0xDCFF:  # a byte of a file name that is not UTF-8, as Python keeps it
        return f"\\x{code_point - 0xDC00:02X}"
    return f"\\u{code_point:04X}"


def escape_text(text: str) -> str:
    """`text` with each control character (but tab) and each reordering character
    written as a backslash, "u" and four or more hexadecimal digits; a byte of
    a file name that is not UTF-8 as a backslash, "x" and two."""
    if not any(_needs_escape(ord(c)) for c in text):
        return text
    return "".join(_escaped(c) if _needs_escape(ord(c)) else c for c in text)


def _cell(char: str) -> tuple[str, int]:
    """How one character of a source line is shown, and its width in columns."""
    code_point = ord(char)
    if char == "\t":
        return " " * TAB_WIDTH, TAB_WIDTH
    if code_point < 0x20:
        return chr(0x2400 + code_point), 1  # the Control Pictures block: "␀" .. "␟"
    if code_point == 0x7F:
        return "\u2421", 1  # "␡"
    if 0x80 <= code_point <= 0x9F or code_point in _REORDERING:
        return "\ufffd", 1
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return char, 0
    return char, 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


class Snippet(NamedTuple):
    """One source line as shown, and where its caret underline goes."""
    line: int
    shown: str
    caret_column: int  # columns before the underline
    caret_width: int


def _boundary(text: bytes, at: int, low: int, high: int, forward: bool) -> int:
    """`at` moved within [low, high] off the middle of a UTF-8 character."""
    step = 1 if forward else -1
    while low < at < high and 0x80 <= text[at] < 0xC0:
        at += step
    return at


def snippet(text: bytes, span: Span) -> Snippet | None:
    """The line of `text` the span starts on, with the span's first line
    underlined; none when the span has no line or lies outside the text."""
    if span.line is None or span.offset > len(text):
        return None
    start = text.rfind(b"\n", 0, span.offset) + 1
    if start == 0 and text.startswith(BYTE_ORDER_MARK) and span.offset >= len(BYTE_ORDER_MARK):
        start = len(BYTE_ORDER_MARK)  # the mark some editors write is not shown
    end = text.find(b"\n", span.offset)
    if end < 0:
        end = len(text)
    if end > start and text[end - 1:end] == b"\r":
        end -= 1  # a CRLF line ending is not part of the line
    stop = min(max(span.offset + span.length, span.offset), end)
    # Only bytes that can be shown are decoded: a line may be megabytes long.
    reach = 4 * MAX_LINE_WIDTH
    low = _boundary(text, max(start, span.offset - reach), start, span.offset, forward=True)
    stop = max(_boundary(text, min(stop, span.offset + reach), span.offset, stop, forward=False), span.offset)
    high = _boundary(text, min(end, stop + reach), stop, end, forward=False)
    before = [_cell(c) for c in text[low:span.offset].decode("utf-8", "replace")]
    inside = [_cell(c) for c in text[span.offset:stop].decode("utf-8", "replace")]
    after = [_cell(c) for c in text[stop:high].decode("utf-8", "replace")]
    cells = before + inside + after
    first, last = len(before), len(before) + len(inside)
    cut_front, cut_back = low > start, high < end
    begin, finish = 0, len(cells)
    if cut_front or cut_back or sum(width for _, width in cells) > MAX_LINE_WIDTH:
        used = 0
        begin = first
        while begin > 0 and used + cells[begin - 1][1] <= CONTEXT_BEFORE:
            begin -= 1
            used += cells[begin][1]
        used, finish = 0, begin
        while finish < len(cells) and used + cells[finish][1] <= MAX_LINE_WIDTH:
            used += cells[finish][1]
            finish += 1
    lead = "\u2026" if cut_front or begin > 0 else ""
    tail = "\u2026" if cut_back or finish < len(cells) else ""
    shown = lead + "".join(s for s, _ in cells[begin:finish]) + tail
    column = len(lead) + sum(w for _, w in cells[begin:first])
    width = sum(w for _, w in cells[first:min(last, finish)])
    return Snippet(span.line, shown, column, max(width, 1))


class Diagnostic(NamedTuple):
    """One finding or failure, ready to be shown."""
    severity: str  # "error", "warn", "info" or "warning"
    code: str | None  # "quarl::syntax", a lint rule name, or none
    message: str
    path: str
    help: str | None = None
    span: Span | None = None
    text: bytes | None = None  # the text the span points into, when known
    notes: tuple[str, ...] = ()

    def render(self, color: bool) -> str:
        def paint(style: str, s: str) -> str:
            return f"\x1b[{_STYLES[style]}m{s}\x1b[0m" if color else s

        location = escape_text(self.path)
        if self.span is not None and self.span.line is not None:
            location += f":{self.span.line}:{self.span.column}"
        label = self.severity + (f"[{self.code}]" if self.code else "")
        lines = [f"{paint('location', location + ':')} {paint(self.severity, label + ':')} "
                 f"{paint('message', escape_text(self.message))}"]
        shown = snippet(self.text, self.span) if self.text is not None and self.span is not None else None
        if shown is not None:
            gutter = " " * len(str(shown.line))
            lines.append(f"{paint('gutter', f' {shown.line} |')} {shown.shown}".rstrip())
            lines.append(f"{paint('gutter', f' {gutter} |')} {' ' * shown.caret_column}"
                         f"{paint(self.severity, '^' * shown.caret_width)}")
        if self.help:
            lines.append(f"{paint('help', 'help:')} {escape_text(self.help)}")
        for note in self.notes:
            lines.append(f"{paint('note', 'note:')} {escape_text(note)}")
        return "\n".join(lines) + "\n"


def error_dict(error: Exception, path: str) -> dict[str, Any]:
    """The error as JSON shows it: its attributes, and the file being processed."""
    span = getattr(error, "span", None)
    return {
        "code": getattr(error, "code", "quarl::internal"),
        "message": getattr(error, "message", str(error)),
        "help": getattr(error, "help", None),
        "span": span.to_dict() if span is not None else None,
        "source": getattr(error, "source", None),
        "notes": list(getattr(error, "notes", None) or []),
        "file": path,
    }


_AT_LINE = re.compile(r" at line (\d+), column (\d+)$")


def place_in_message(message: str, text: bytes) -> Span | None:
    """Where a frontmatter's error says it is ("... at line 3, column 5", in
    the module's own lines), as a span of the module's text."""
    found = _AT_LINE.search(message)
    if not found:
        return None
    line, column = int(found.group(1)), int(found.group(2))
    start = 0
    for _ in range(line - 1):
        start = text.find(b"\n", start) + 1
        if start == 0:
            return None
    end = text.find(b"\n", start)
    row = text[start:end if end >= 0 else len(text)].decode("utf-8", "replace")
    if column - 1 > len(row):
        return None
    return Span(start + len(row[:column - 1].encode()), 1, line, column)


def render_diagnostic(item: Any, source: str | bytes | None = None, *, path: str | None = None,
                      color: bool = False) -> str:
    """A QuarlError or a lint finding as the command line shows it: the place,
    the severity and code, the message, the source line with a caret under
    the span, the help and the notes. `source` is the text the span points
    into (for an error in an imported module, that module's: `error.source`
    names it); without it there is no source line."""
    text = source.encode() if isinstance(source, str) else source
    if hasattr(item, "rule"):  # a lint finding
        shown = path or "<source>"
        return Diagnostic(item.severity, item.rule, item.message, shown, item.help, item.span, text).render(color)
    message = getattr(item, "message", str(item))
    span = getattr(item, "span", None)
    if span is None and text is not None:
        span = place_in_message(message, text)
    shown = path or getattr(item, "source", None) or "<source>"
    return Diagnostic("error", getattr(item, "code", None), message, shown, getattr(item, "help", None), span, text,
                      tuple(getattr(item, "notes", None) or ())).render(color)
