"""The template index: what a template and its modules define, use and link
to, and the caller's variables it reads, as a schema and as a check.

The compiler builds the index (`tessel._tessel.index`, one canonical value);
this module wraps it, and derives from its inputs a JSON Schema of the
expected `vars` and a check of given variables against them.
"""

from __future__ import annotations

import copy
import json
import os
from collections.abc import Iterator, Mapping
from typing import Any

from tessel import _tessel

SCHEMA_DIALECT = "https://json-schema.org/draft/2020-12/schema"
_ELEMENTS, _VALUES = "[]", "{}"


class TemplateIndex:
    """The index of a template (from `tessel.index`, `index_file` or
    `index_virtual`). Immutable; picklable; equal when the values are.

    `modules` lists every module loaded, the entry first, each with its
    `definitions`, `references` (each with what it `resolves` to: a place
    `{"module", "offset", ...}`, `{"builtin": name}`, `{"input": name}` for a
    caller's variable, or None), `links` and `ranges`. `inputs` is the tree of
    the caller's variables the template reads; `overridable` the frontmatter
    variables a caller's value replaces; `failures` what does not check
    (each with `code`, `message` and, where known, `module` and a place)."""

    __slots__ = ("_parsed", "_text")
    _parsed: dict[str, Any] | None
    _text: str | None

    def __init__(self, data: Mapping[str, Any]) -> None:
        if not isinstance(data, Mapping) or not {"entry", "modules", "inputs", "failures"} <= set(data):
            raise TypeError("TemplateIndex() takes the dict an index returns")
        object.__setattr__(self, "_parsed", copy.deepcopy(dict(data)))
        object.__setattr__(self, "_text", None)

    @classmethod
    def _from_json(cls, text: str) -> TemplateIndex:
        """The index of the extension's canonical JSON text, read on first use."""
        index = cls.__new__(cls)
        object.__setattr__(index, "_parsed", None)
        object.__setattr__(index, "_text", text)
        return index

    @property
    def _data(self) -> dict[str, Any]:
        if self._parsed is None:
            object.__setattr__(self, "_parsed", json.loads(self._text or "{}"))
        assert self._parsed is not None
        return self._parsed

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("TemplateIndex is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("TemplateIndex is immutable")

    @property
    def entry(self) -> str:
        """The entry module's key."""
        return str(self._data["entry"])

    @property
    def modules(self) -> list[dict[str, Any]]:
        """Every module loaded, the entry first."""
        return copy.deepcopy(list(self._data["modules"]))

    @property
    def inputs(self) -> list[dict[str, Any]]:
        """The caller's variables the template reads: a tree of
        `{"name", "path", "types", "uses", "required", "module", "line",
        "column", "children"}`; "[]" names an array's elements, "{}" an
        object's values."""
        return copy.deepcopy(list(self._data["inputs"]))

    @property
    def overridable(self) -> list[str]:
        """The frontmatter variables a caller's value of the same name replaces."""
        return list(self._data.get("overridable", []))

    @property
    def failures(self) -> list[dict[str, Any]]:
        """What does not check: undefined names, calls that do not fit, imports that fail."""
        return copy.deepcopy(list(self._data["failures"]))

    def schema(self) -> dict[str, Any]:
        """A JSON Schema (draft 2020-12) of the `vars` the template expects."""
        schema: dict[str, Any] = {"$schema": SCHEMA_DIALECT, "type": "object"}
        schema.update(_object_schema(self._data["inputs"]))
        return schema

    def check_vars(self, variables: Mapping[str, Any] | None) -> list[dict[str, Any]]:
        """Every missing or mistyped path of `variables`, at once: a list of
        `{"path", "message", "module", "offset", "length", "line", "column"}`
        (the place is the template's first use of the path), empty when they
        fit."""
        problems: list[dict[str, Any]] = []
        given = dict(variables or {})
        for node in self._data["inputs"]:
            _check(node, node["name"], node["name"] in given, given.get(node["name"]), problems)
        return problems

    def to_dict(self) -> dict[str, Any]:
        return copy.deepcopy(self._data)

    def to_json(self) -> str:
        if self._text is not None:
            return self._text
        return json.dumps(self._data, ensure_ascii=False, sort_keys=True, separators=(",", ":"))

    def __reduce__(self) -> tuple[type[TemplateIndex], tuple[dict[str, Any]]]:
        return (TemplateIndex, (self._data,))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, TemplateIndex) and self._data == other._data

    def __hash__(self) -> int:
        return hash(json.dumps(self._data, sort_keys=True))

    def __repr__(self) -> str:
        return (f"TemplateIndex(entry={self.entry!r}, modules={len(self._data['modules'])}, "
                f"inputs={len(self._data['inputs'])}, failures={len(self._data['failures'])})")


def walk_inputs(nodes: list[dict[str, Any]], depth: int = 0) -> Iterator[tuple[int, dict[str, Any]]]:
    """Every input of the tree with its depth, parents first."""
    for node in nodes:
        yield depth, node
        yield from walk_inputs(node["children"], depth + 1)


def example_value(node: dict[str, Any]) -> Any:
    """A value of the type an input is used as (empty strings, zeros, one
    element per array): a start for the variables of a template whose
    caller supplies them, and what the lint rules run with in an editor."""
    children = {child["name"]: child for child in node["children"]}
    types = node["types"]
    if "array" in types and "[]" in children:
        return [example_value(children["[]"])]
    if "object" in types:
        if "{}" in children:
            return {"key": example_value(children["{}"])}
        return {name: example_value(child) for name, child in children.items()}
    if "array" in types:
        return []
    if "string" in types or types == ["any"]:
        return ""
    if "number" in types:
        return 0
    return False if "boolean" in types else None


def example_variables(inputs: list[dict[str, Any]]) -> dict[str, Any]:
    """A value of each top-level input's type (see `example_value`)."""
    return {node["name"]: example_value(node) for node in inputs}


# ---- the schema ----------------------------------------------------------------

def _object_schema(children: list[dict[str, Any]]) -> dict[str, Any]:
    fields = [child for child in children if child["name"] not in (_ELEMENTS, _VALUES)]
    schema: dict[str, Any] = {}
    if fields:
        schema["properties"] = {child["name"]: _node_schema(child) for child in fields}
        required = [child["name"] for child in fields if child["required"]]
        if required:
            schema["required"] = required
    for child in children:
        if child["name"] == _ELEMENTS:
            schema["items"] = _node_schema(child)
        elif child["name"] == _VALUES:
            schema["additionalProperties"] = _node_schema(child)
    return schema


def _node_schema(node: dict[str, Any]) -> dict[str, Any]:
    schema: dict[str, Any] = {}
    types = node["types"]
    if types != ["any"]:
        schema["type"] = types[0] if len(types) == 1 else list(types)
    schema.update(_object_schema(node["children"]))
    if node["uses"]:
        schema["description"] = ", ".join(node["uses"])
    return schema


# ---- the check -------------------------------------------------------------------

def json_type(value: Any) -> str:
    """The JSON name of a Python value's type, as variables are converted."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, Mapping):
        return "object"
    if isinstance(value, (list, tuple)):
        return "array"
    return type(value).__name__


def _problem(node: dict[str, Any], path: str, message: str, problems: list[dict[str, Any]]) -> None:
    problems.append({"path": path, "message": message, "module": node.get("module"), "offset": node.get("offset"),
                     "length": node.get("length"), "line": node.get("line"), "column": node.get("column")})


def _check(node: dict[str, Any], path: str, present: bool, value: Any, problems: list[dict[str, Any]]) -> None:
    if not present:
        if node["required"]:
            _problem(node, path, f"missing: {_needed(node)}", problems)
        return
    kind = json_type(value)
    if node["types"] != ["any"] and kind not in node["types"]:
        _problem(node, path, f"expected {' or '.join(node['types'])}, got {kind}", problems)
        return
    for child in node["children"]:
        if child["name"] == _ELEMENTS and kind == "array":
            for i, element in enumerate(value):
                _check(child, f"{path}[{i}]", True, element, problems)
        elif child["name"] == _VALUES and kind == "object":
            for key, element in value.items():
                _check(child, f"{path}.{key}", True, element, problems)
        elif child["name"] not in (_ELEMENTS, _VALUES) and kind == "object":
            _check(child, f"{path}.{child['name']}", child["name"] in value, value.get(child["name"]), problems)


def _needed(node: dict[str, Any]) -> str:
    types = " or ".join(node["types"]) if node["types"] != ["any"] else "a value"
    return f"{types} ({', '.join(node['uses'])})" if node["uses"] else types


# ---- the functions -----------------------------------------------------------------

def index(source: str, *, vars: Mapping[str, Any] | None = None,
          base_path: str | os.PathLike[str] | None = None) -> TemplateIndex:
    """The index of a template source string: what it and every module it
    loads define, use and link to, the caller's variables it reads, and what
    fails the check gate. A template that parses is indexed as far as it
    goes (its failures listed); one that does not parse raises its
    `QuarlError`. `vars` and `base_path` as for `check`."""
    return TemplateIndex._from_json(_tessel.index(source, vars=vars, base_path=base_path))


def index_file(path: str | os.PathLike[str], *, vars: Mapping[str, Any] | None = None) -> TemplateIndex:
    """The index of a template file (see `index`)."""
    return TemplateIndex._from_json(_tessel.index_file(path, vars=vars))


def index_virtual(modules: Mapping[str, str], entry: str, *,
                  vars: Mapping[str, Any] | None = None) -> TemplateIndex:
    """The index of a module of an in-memory map of module texts (see `index`)."""
    return TemplateIndex._from_json(_tessel.index_virtual(modules, entry, vars=vars))
