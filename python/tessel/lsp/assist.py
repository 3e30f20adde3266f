"""What the editor offers while a template is typed: hover texts, completions
at the cursor and the signature of the call being written. All of it reads
the index of the document (or the last one that parsed, mid-edit)."""

from __future__ import annotations

import json
import os
import re
from typing import Any, NamedTuple

from tessel._index import walk_inputs
from tessel.lsp.analysis import Analysis
from tessel.lsp.builtins import BUILTINS, DIRECTIVES
from tessel.lsp.navigation import NameGraph, Place, link_at, place_of
from tessel.lsp.project import file_key

_MEMBER = re.compile(r"([A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*)\.([A-Za-z0-9_]*)\Z")
_DIRECTIVE = re.compile(r"@([a-z]*)\Z")
_PATH = re.compile(r"""^@(?:import|extends)\b.*?["']([^"']*)\Z""")
_CALLEE = re.compile(r"([A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)?)\s*\Z")
MAX_PATH_COMPLETIONS = 200


class Completion(NamedTuple):
    label: str
    kind: str  # "function", "builtin", "variable", "module", "keyword", "file", "folder", "field"
    detail: str = ""
    insert: str | None = None  # a snippet, when it is not the label


class Signature(NamedTuple):
    label: str
    parameters: tuple[str, ...]
    active: int
    help: str = ""


def function_signature(name: str, definition: dict[str, Any]) -> tuple[str, tuple[str, ...]]:
    parameters = tuple(
        p["name"] if p["required"] else f"{p['name']} = {json.dumps(p['default'], ensure_ascii=False)}"
        for p in definition.get("parameters", []))
    return f"{name}({', '.join(parameters)})", parameters


def in_expression(prefix: str) -> bool:
    """Whether the text before the cursor is within an expression: after a
    directive's keyword, or inside an interpolation not yet closed."""
    if prefix.startswith("@"):
        return " " in prefix or "(" in prefix
    opened = prefix.rfind("{{")
    return opened >= 0 and (opened == 0 or prefix[opened - 1] != "\\") and prefix.rfind("}}") < opened


def _input_node(analysis: Analysis, dotted: str) -> dict[str, Any] | None:
    if analysis.index is None:
        return None
    for _, node in walk_inputs(analysis.index._data["inputs"]):
        if node["path"] == dotted:
            return node
    return None


def _definition(graph: NameGraph, place: Place | None) -> dict[str, Any] | None:
    return next((i.data for i in graph.items.get(place, ()) if i.is_definition), None) if place else None


def _visible(analysis: Analysis, offset: int) -> list[dict[str, Any]]:
    """The entry's definitions whose scope holds `offset` (all those without one)."""
    entry = analysis.entry()
    if entry is None:
        return []
    out = []
    for definition in entry["definitions"]:
        scope = definition.get("scope")
        if scope is None or (definition["kind"] == "function") or \
                scope["offset"] <= offset <= scope["offset"] + scope["length"]:
            out.append(definition)
    return out


def _module_exports(graph: NameGraph, module: str) -> list[tuple[str, dict[str, Any]]]:
    view = graph.modules.get(module)
    if view is None:
        return []
    out = []
    for item in view.data["references"]:
        if item["kind"] == "export":
            out.append((item["name"], _definition(graph, graph.exported(module, item["name"])) or item))
    return out


def hover(analysis: Analysis, graph: NameGraph, offset: int) -> str | None:
    """Markdown for the name or import path at `offset`."""
    path = file_key(analysis.path)
    link = link_at(graph, path, offset)
    if link is not None:
        if link.get("error"):
            return f"`{link['path']}`: {link['error']['message']}"
        return f"`{link['path']}` → `{link['target']}`"
    item = graph.at(path, offset)
    if item is None:
        return None
    resolved = item.data.get("resolves") or {}
    if "builtin" in resolved:
        doc = BUILTINS.get(resolved["builtin"])
        return f"```quarl\n{doc.signature(resolved['builtin'])}\n```\n{doc.help}" if doc else None
    if "input" in resolved or (item.kind == "member" and item.name.split(".")[0] in _input_names(analysis)):
        node = _input_node(analysis, item.name if "input" not in resolved else resolved["input"])
        if node is None:
            return f"`{item.name}`: caller input"
        uses = f" ({', '.join(node['uses'])})" if node["uses"] else ""
        return f"`{node['path']}`: caller input, {' or '.join(node['types'])}{uses}"
    place = place_of(graph.modules[item.path], resolved) if "offset" in resolved else None
    target = _definition(graph, place) if place else (item.data if item.is_definition else None)
    if target is None:
        return None
    where_module = place[0] if place else item.path
    where = f"defined in `{os.path.basename(where_module)}` line {target['line']}"
    if target["kind"] == "function":
        return f"```quarl\n{function_signature(target['name'], target)[0]}\n```\n{where}"
    if target["kind"] == "variable":
        lines = analysis.lines if where_module == path else None
        shown = lines.line_text(target["line"] - 1).strip() if lines else target["name"]
        return f"frontmatter variable: `{shown}`\n\n{where}"
    if target["kind"] in ("alias", "import") and target.get("target"):
        return f"{target['kind']} `{target['name']}` of `{target['target']}`"
    return f"{target['kind']} `{target['name']}`, {where}"


def _input_names(analysis: Analysis) -> set[str]:
    return {node["name"] for node in analysis.index._data["inputs"]} if analysis.index else set()


def completions(analysis: Analysis, graph: NameGraph, prefix: str, offset: int, root: str | None) -> list[Completion]:
    """What may be written at the cursor, `prefix` being its line's text before it."""
    if (match := _DIRECTIVE.match(prefix)) is not None:
        return [Completion(name, "keyword", f"@{name}", snippet) for name, snippet in DIRECTIVES.items()
                if name.startswith(match.group(1))]
    if (match := _PATH.match(prefix)) is not None:
        return _path_completions(os.path.dirname(analysis.path), match.group(1), root)
    if not in_expression(prefix):
        return []
    if (match := _MEMBER.search(prefix)) is not None:
        return _member_completions(analysis, graph, match.group(1))
    out = [Completion(name, "builtin", doc.signature(name)) for name, doc in BUILTINS.items()]
    for definition in _visible(analysis, offset):
        kind = definition["kind"]
        if kind == "function":
            out.append(Completion(definition["name"], "function", function_signature(definition["name"], definition)[0]))
        elif kind in ("alias",):
            out.append(Completion(definition["name"], "module", f"module {definition.get('target') or ''}"))
        elif kind == "import":
            out.append(Completion(definition["name"], "function", f"from {definition.get('target') or ''}"))
        elif kind in ("variable", "loop", "parameter"):
            out.append(Completion(definition["name"], "variable", kind))
    for name in sorted(_input_names(analysis)):
        out.append(Completion(name, "variable", "caller input"))
    seen: set[str] = set()
    return [c for c in out if not (c.label in seen or seen.add(c.label))]  # type: ignore[func-returns-value]


def _member_completions(analysis: Analysis, graph: NameGraph, owner: str) -> list[Completion]:
    entry = analysis.entry()
    alias = next((d for d in entry["definitions"] if d["kind"] == "alias" and d["name"] == owner), None) \
        if entry else None
    if alias is not None and alias.get("target"):
        module = graph.modules[file_key(analysis.path)].resolve(alias["target"])
        out = []
        for name, definition in _module_exports(graph, module):
            detail = function_signature(name, definition)[0] if definition.get("kind") == "function" else ""
            out.append(Completion(name, "function" if detail else "variable", detail))
        return out
    node = _input_node(analysis, owner)
    if node is None:
        return []
    return [Completion(child["name"], "field", " or ".join(child["types"]))
            for child in node["children"] if child["name"] not in ("[]", "{}")]


def _path_completions(folder: str, typed: str, root: str | None) -> list[Completion]:
    if not typed.startswith((".", "/")) and typed:
        return []
    folder_typed, _, partial = typed.rpartition("/")
    listed = os.path.normpath(os.path.join(folder, folder_typed or "."))
    boundary = os.path.realpath(root or folder)
    if os.path.commonpath([os.path.realpath(listed), boundary]) != boundary:
        return []
    try:
        names = sorted(os.listdir(listed))[:MAX_PATH_COMPLETIONS]
    except OSError:
        return []
    start = f"{folder_typed}/" if folder_typed else "./"
    out = []
    for name in names:
        if name.startswith(".") or not name.startswith(partial):
            continue
        if os.path.isdir(os.path.join(listed, name)):
            out.append(Completion(start + name + "/", "folder"))
        elif name.endswith((".quarl", ".md")):
            out.append(Completion(start + name, "file"))
    return out


def signature_help(analysis: Analysis, graph: NameGraph, prefix: str) -> Signature | None:
    """The signature of the call the cursor is in, and which argument it is at."""
    depth, commas, at, quote = 0, 0, len(prefix) - 1, ""
    opened = -1
    while at >= 0:
        char = prefix[at]
        if quote:
            if char == quote and (at == 0 or prefix[at - 1] != "\\"):
                quote = ""
        elif char in "\"'":
            quote = char
        elif char in ")]":
            depth += 1
        elif char in "([":
            if depth == 0:
                if char == "(":
                    opened = at
                    break
                commas = 0
            else:
                depth -= 1
        elif char == "," and depth == 0:
            commas += 1
        at -= 1
    if opened < 0 or (match := _CALLEE.search(prefix[:opened])) is None:
        return None
    name = match.group(1)
    if name in BUILTINS:
        doc = BUILTINS[name]
        return Signature(doc.signature(name), doc.parameters, commas, doc.help)
    definition = _function_named(analysis, graph, name)
    if definition is None:
        return None
    label, parameters = function_signature(name.rpartition(".")[2], definition)
    return Signature(label, parameters, commas)


def _function_named(analysis: Analysis, graph: NameGraph, name: str) -> dict[str, Any] | None:
    entry = analysis.entry()
    if entry is None:
        return None
    view = graph.modules[file_key(analysis.path)]
    owner, _, member = name.rpartition(".")
    for definition in entry["definitions"]:
        if owner and definition["kind"] == "alias" and definition["name"] == owner and definition.get("target"):
            return _definition(graph, graph.exported(view.resolve(definition["target"]), member))
        if not owner and definition["name"] == name:
            if definition["kind"] == "function":
                return dict(definition)
            if definition["kind"] == "import" and definition.get("target"):
                return _definition(graph, graph.exported(view.resolve(definition["target"]), name))
    return None
