"""The builtin functions as an editor shows them: each one's parameters and a
line of help (the user's guide says the same). The compiler decides what a
name resolves to; this table only describes the builtins it resolves."""

from __future__ import annotations

from typing import NamedTuple


class BuiltinDoc(NamedTuple):
    parameters: tuple[str, ...]  # an optional one ends in "?"
    help: str

    def signature(self, name: str) -> str:
        return f"{name}({', '.join(self.parameters)})"


BUILTINS: dict[str, BuiltinDoc] = {
    "upper": BuiltinDoc(("s",), "The string in upper case (all of Unicode: ß becomes SS)."),
    "lower": BuiltinDoc(("s",), "The string in lower case."),
    "trim": BuiltinDoc(("s",), "The string without white space at either end."),
    "replace": BuiltinDoc(("s", "old", "new"), "Every `old` in `s` replaced by `new`."),
    "split": BuiltinDoc(("s", "separator"), "The list of pieces between separators."),
    "starts_with": BuiltinDoc(("s", "prefix"), "Whether the string starts with the prefix."),
    "ends_with": BuiltinDoc(("s", "suffix"), "Whether the string ends with the suffix."),
    "slice": BuiltinDoc(("x", "start", "end?"), "Part of a string (by characters) or of a list; `end` is optional."),
    "contains": BuiltinDoc(("x", "part"), "Whether the string holds the part, or the list the value."),
    "join": BuiltinDoc(("list", "separator"), "The strings of the list joined by the separator."),
    "length": BuiltinDoc(("x",), "The characters of a string or the items of a list."),
    "first": BuiltinDoc(("list",), "The first item, or null for an empty list."),
    "last": BuiltinDoc(("list",), "The last item, or null for an empty list."),
    "reverse": BuiltinDoc(("x",), "A string or list in reverse order."),
    "sort": BuiltinDoc(("list",), "A list of strings or of numbers, sorted."),
    "unique": BuiltinDoc(("list",), "The list without repeated items, first ones kept."),
    "string": BuiltinDoc(("x",), "Any value as the text it would print as."),
    "number": BuiltinDoc(("x",), "A string, boolean or null as a number."),
}

# What may follow `@` at the start of a line, as completions insert it.
DIRECTIVES: dict[str, str] = {
    "if": "if ${1:condition}:", "elseif": "elseif ${1:condition}:", "else": "else:", "end": "end",
    "for": "for ${1:item} in ${2:items}:", "define": "define ${1:name}(${2}):",
    "import": 'import "${1:./module.quarl}"', "export": "export ${1:name}", "include": "include ${1:name}",
    "message": "message ${1|system,user,assistant|}:", "block": "block ${1:name}:",
    "extends": 'extends "${1:./base.quarl}"',
}
