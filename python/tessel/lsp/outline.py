"""What an editor draws of one document's structure: the outline of its
definitions, folding ranges for directive blocks and the frontmatter, links
on import paths, and semantic tokens over names and directive keywords."""

from __future__ import annotations

import re
from typing import Any, NamedTuple

from tessel.lsp.analysis import Analysis

TOKEN_TYPES = ("namespace", "function", "variable", "parameter", "keyword", "property")
TOKEN_MODIFIERS = ("declaration", "defaultLibrary", "readonly")
_DECLARATION, _DEFAULT_LIBRARY, _READONLY = 1, 2, 4

_DECLARED_TOKEN = {"function": "function", "block": "function", "alias": "namespace", "import": "function",
                   "parameter": "parameter", "loop": "variable", "variable": "variable"}
_DIRECTIVE_KEYWORD = re.compile(rb"@(if|elseif|else|end|for|define|import|export|include|message|block|extends)\b")
_FENCE = re.compile(rb"(`{3,}|~{3,})")


class Symbol(NamedTuple):
    name: str
    kind: str
    offset: int
    length: int  # of the whole definition (its scope), for the outline's range
    name_offset: int
    name_length: int
    detail: str


def symbols(analysis: Analysis) -> list[Symbol]:
    """The outline: functions, blocks, frontmatter variables and imports."""
    entry = analysis.entry()
    if entry is None:
        return []
    out = []
    for definition in entry["definitions"]:
        if definition["kind"] in ("loop", "parameter"):
            continue
        scope = definition.get("scope") or definition
        detail = ""
        if definition["kind"] == "function":
            detail = "(" + ", ".join(p["name"] for p in definition.get("parameters", [])) + ")"
        elif definition.get("target"):
            detail = str(definition["target"])
        out.append(Symbol(definition["name"], definition["kind"], scope["offset"], scope["length"],
                          definition["offset"], definition["length"], detail))
    return out


def folding_ranges(analysis: Analysis) -> list[tuple[int, int, str]]:
    """(first line, last line, kind) of each directive block and the frontmatter."""
    entry = analysis.entry()
    out = []
    for block in entry["ranges"] if entry else []:
        start = analysis.lines.position(block["offset"]).line
        end_offset = block["offset"] + max(block["length"] - 1, 0)
        end = analysis.lines.position(end_offset).line
        if end > start:
            out.append((start, end, block["kind"]))
    return out


def links(analysis: Analysis) -> list[dict[str, Any]]:
    """The import, include and extends paths that resolve to a file."""
    entry = analysis.entry()
    return [link for link in (entry["links"] if entry else []) if link.get("target")]


def _directive_keywords(data: bytes) -> list[tuple[int, int]]:
    """(offset, length) of each directive's keyword, fenced code left out."""
    out = []
    fence: bytes | None = None
    at = 0
    for line in data.split(b"\n"):
        stripped = line.lstrip(b" ")
        fenced = _FENCE.match(stripped) if len(line) - len(stripped) < 4 else None
        if fence is not None:
            if fenced is not None and fenced.group(1)[0] == fence[0] and len(fenced.group(1)) >= len(fence) \
                    and not stripped[len(fenced.group(1)):].strip():
                fence = None
        elif fenced is not None:
            fence = fenced.group(1)
        elif (match := _DIRECTIVE_KEYWORD.match(line)) is not None:
            out.append((at, match.end()))
        at += len(line) + 1
    return out


def semantic_tokens(analysis: Analysis) -> list[int]:
    """The document's tokens, encoded as the protocol's relative integers."""
    entry = analysis.entry()
    found: list[tuple[int, int, int, int]] = []  # offset, length, type, modifiers
    for offset, length in _directive_keywords(analysis.lines.data):
        found.append((offset, length, TOKEN_TYPES.index("keyword"), 0))
    for definition in entry["definitions"] if entry else []:
        declared = _DECLARED_TOKEN.get(definition["kind"])
        if declared is not None:
            found.append((definition["offset"], definition["length"], TOKEN_TYPES.index(declared), _DECLARATION))
    for reference in entry["references"] if entry else []:
        resolved = reference.get("resolves") or {}
        kind, modifiers = reference["kind"], 0
        offset, length = reference["offset"], reference["length"]
        if kind == "member":
            owner = reference["name"].rpartition(".")[0]
            offset, length = offset + len(owner.encode()) + 1, length - len(owner.encode()) - 1
            token = "function"
        elif kind in ("call", "export", "block"):
            token = "function"
            modifiers = _DEFAULT_LIBRARY if "builtin" in resolved else 0
        elif kind in ("alias", "include"):
            token = "namespace"
        else:
            token = "variable"
            modifiers = _READONLY if "input" in resolved else 0
        found.append((offset, length, TOKEN_TYPES.index(token), modifiers))
    found.sort()
    data: list[int] = []
    last_line = last_char = 0
    taken_until = -1
    for offset, length, token_type, modifiers in found:
        if offset < taken_until or length <= 0:
            continue
        taken_until = offset + length
        start, end = analysis.lines.position(offset), analysis.lines.position(offset + length)
        if end.line != start.line:
            continue
        delta_line = start.line - last_line
        delta_char = start.character - last_char if delta_line == 0 else start.character
        data += [delta_line, delta_char, end.character - start.character, token_type, modifiers]
        last_line, last_char = start.line, start.character
    return data
