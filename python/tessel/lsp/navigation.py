"""Go to definition, find references and rename, across modules.

The indexes say what each use of a name resolves to, as the linker bound it.
Joining every definition and reference to what it resolves to (and a block
to the block it overrides, a selectively imported name to the definition it
imports) makes a graph whose connected parts are "one name": its definition,
the blocks that override it, and every use, in whatever module they are."""

from __future__ import annotations

import re
from collections import deque
from collections.abc import Iterable
from typing import Any, NamedTuple

from tessel._index import TemplateIndex
from tessel.lsp.builtins import BUILTINS
from tessel.lsp.project import ModuleView, modules_of

Place = tuple[str, int, int]  # a file key, and the byte offset and length of a name in it

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
KEYWORDS = frozenset({"true", "false", "null", "in"})
RENAMED_KINDS = {"function": "function", "block": "block", "variable": "frontmatter variable"}
_KIND_NAMES = {"loop": "loop variable", "parameter": "parameter", "alias": "import alias",
               "import": "imported name"}


class Item(NamedTuple):
    path: str
    offset: int
    length: int
    name: str
    kind: str
    is_definition: bool
    data: dict[str, Any]

    @property
    def place(self) -> Place:
        return (self.path, self.offset, self.length)


def place_of(view: ModuleView, at: dict[str, Any]) -> Place:
    """The place a resolution (or an override) of the module `view` names."""
    return (view.resolve(at.get("module")), at["offset"], at["length"])


class Refusal(Exception):
    """A rename that would change what the template means, with the reason."""


class NameGraph:
    """Definitions and references of some indexes, joined by what each
    resolves to."""

    def __init__(self, indexes: Iterable[tuple[str, TemplateIndex]]) -> None:
        self.items: dict[Place, list[Item]] = {}
        self.edges: dict[Place, set[Place]] = {}
        self.modules: dict[str, ModuleView] = {}
        pending: list[tuple[Place, str, str]] = []
        for entry_path, index in indexes:
            for view in modules_of(index, entry_path):
                if view.path in self.modules:
                    continue
                self.modules[view.path] = view
                for item in view.data["definitions"]:
                    place = self._add(view, item, True)
                    if item.get("overrides"):
                        self._join(place, place_of(view, item["overrides"]))
                    if item["kind"] == "import" and item.get("target"):
                        pending.append((place, view.resolve(item["target"]), item["name"]))
                for item in view.data["references"]:
                    place = self._add(view, item, False)
                    resolved = item.get("resolves") or {}
                    if "offset" in resolved:
                        self._join(place, place_of(view, resolved))
        for place, target, name in pending:
            found = self.exported(target, name)
            if found is not None:
                self._join(place, found)

    def _add(self, view: ModuleView, item: dict[str, Any], is_definition: bool) -> Place:
        place = (view.path, item["offset"], item["length"])
        self.items.setdefault(place, []).append(
            Item(view.path, item["offset"], item["length"], item["name"], item["kind"], is_definition, item))
        self.edges.setdefault(place, set())
        return place

    def _join(self, one: Place, other: Place) -> None:
        self.edges.setdefault(one, set()).add(other)
        self.edges.setdefault(other, set()).add(one)

    def exported(self, module: str, name: str) -> Place | None:
        """The definition a module's name stands for, as another imports it."""
        view = self.modules.get(module)
        if view is None:
            return None
        for item in view.data["definitions"]:
            if item["name"] == name and item["kind"] in ("function", "variable", "block"):
                return (module, item["offset"], item["length"])
        for item in view.data["references"]:
            resolved = item.get("resolves") or {}
            if item["kind"] == "export" and item["name"] == name and "offset" in resolved:
                return place_of(view, resolved)
        return None

    def at(self, path: str, offset: int) -> Item | None:
        """The narrowest name of the module at `path` whose span holds `offset`."""
        view = self.modules.get(path)
        if view is None:
            return None
        best: Item | None = None
        for item_data in (*view.data["definitions"], *view.data["references"]):
            start = item_data["offset"]
            if start <= offset <= start + item_data["length"]:
                if best is None or item_data["length"] < best.length:
                    for item in self.items[(path, start, item_data["length"])]:
                        if item.data is item_data:
                            best = item
        return best

    def component(self, place: Place) -> list[Item]:
        """Every definition and use that is one name with the one at `place`."""
        seen = {place}
        queue = deque([place])
        while queue:
            for other in self.edges.get(queue.popleft(), ()):
                if other not in seen:
                    seen.add(other)
                    queue.append(other)
        return [item for at in sorted(seen) for item in self.items.get(at, ())]


def definition_of(graph: NameGraph, path: str, offset: int) -> tuple[str, int, int] | None:
    """Where the name at `offset` is defined: (file key, offset, length)."""
    item = graph.at(path, offset)
    if item is None:
        return None
    resolved = item.data.get("resolves") or {}
    view = graph.modules[item.path]
    if "offset" in resolved:
        place = place_of(view, resolved)
        alias = next((i for i in graph.items.get(place, ()) if i.kind == "alias" and i.data.get("target")), None)
        if item.kind == "include" and alias is not None:  # the module it renders, not the alias
            return view.resolve(alias.data["target"]), 0, 0
        return place
    if item.data.get("overrides"):
        return place_of(view, item.data["overrides"])
    if item.kind == "import" and item.data.get("target"):
        found = graph.exported(view.resolve(item.data["target"]), item.name)
        if found is not None:
            return found
    if item.kind == "alias" and item.data.get("target"):
        return view.resolve(item.data["target"]), 0, 0
    if item.is_definition:
        return item.path, item.offset, item.length
    return None


def references_of(graph: NameGraph, path: str, offset: int, with_definitions: bool) -> list[Item]:
    item = graph.at(path, offset)
    if item is None:
        return []
    found = graph.component(item.place)
    definitions = {i.place for i in found if i.is_definition}
    out: list[Item] = []
    seen: set[Place] = set()
    for other in found:
        place = other.place
        if place not in seen and (with_definitions or place not in definitions):
            seen.add(place)
            out.append(other)
    return out


def link_at(graph: NameGraph, path: str, offset: int) -> dict[str, Any] | None:
    """The import, include or extends path at `offset` of the module at `path`."""
    view = graph.modules.get(path)
    return next((link for link in (view.data["links"] if view else [])
                 if link["offset"] <= offset <= link["offset"] + link["length"]), None)


def link_target(graph: NameGraph, path: str, offset: int) -> str | None:
    """The module the path at `offset` names (none for a path that fails)."""
    link = link_at(graph, path, offset)
    return graph.modules[path].resolve(link["target"]) if link and link.get("target") else None


def links_to(graph: NameGraph, target: str) -> list[tuple[str, int, int]]:
    """Every path, in every module, that names the module `target`."""
    return [(view.path, link["offset"], link["length"]) for view in graph.modules.values()
            for link in view.data["links"] if link.get("target") and view.resolve(link["target"]) == target]


def _kind_name(kind: str) -> str:
    return RENAMED_KINDS.get(kind) or _KIND_NAMES.get(kind, kind)


def rename_targets(graph: NameGraph, path: str, offset: int, new_name: str | None,
                   caller_variables: Iterable[str] = ()) -> list[Item]:
    """The places a rename of the name at `offset` rewrites. Raises Refusal
    (with the reason) where the rename would change the template's meaning."""
    item = graph.at(path, offset)
    if item is None:
        raise Refusal("there is no name here to rename")
    found = graph.component(item.place)
    kinds = {i.kind for i in found if i.is_definition}
    own = kinds & set(RENAMED_KINDS)
    if not own:
        resolved = item.data.get("resolves") or {}
        if "builtin" in resolved:
            raise Refusal(f"'{item.name}' is a builtin function")
        if "input" in resolved:
            raise Refusal(f"'{item.name}' is a caller's variable: its name is set by the code that renders the template")
        what = _kind_name(next(iter(kinds))) if kinds else "name"
        raise Refusal(f"only functions, blocks and frontmatter variables can be renamed; '{item.name}' is a {what}")
    old_name = next(i.name for i in found if i.is_definition and i.kind in own)
    if "variable" in own and old_name in caller_variables:
        raise Refusal(f"the caller's variables set '{old_name}', which replaces this frontmatter variable")
    if new_name is None:
        return found
    if not IDENTIFIER.match(new_name) or new_name in KEYWORDS:
        raise Refusal(f"'{new_name}' is not a name")
    if new_name == old_name:
        return []
    if "function" in own and new_name in BUILTINS:
        raise Refusal(f"'{new_name}' is a builtin function; a function of that name would replace it")
    # Where the new name would appear: every module the name is in, and every
    # module importing one that defines it (a merged import takes in its
    # exports, and a second name of the same spelling there collides).
    defining = {i.path for i in found if i.is_definition}
    affected = {i.path for i in found} | {
        view.path for view in graph.modules.values()
        if any(link.get("target") and view.resolve(link["target"]) in defining for link in view.data["links"])}
    for module in sorted(affected):
        view = graph.modules[module]
        for other in (*view.data["definitions"], *view.data["references"]):
            if other["name"] == new_name or other["name"].split(".")[0] == new_name:
                raise Refusal(f"'{new_name}' is already used in {module}:{other['line']}")
    return found
