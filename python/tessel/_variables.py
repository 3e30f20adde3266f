"""The caller variables of a command line: vars files, `--set` and `--set-string`.

Vars files are read first, in order; `--set-string` and `--set` lie over them,
a later flag over an earlier one. A name given to both `--set` and
`--set-string` is an error: the two disagree on what its value is.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any, NoReturn

from tessel._diagnostics import CommandError

_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")
_INTEGER = re.compile(r"-?(?:0|[1-9][0-9]*)")

VARS_HELP = "vars file must be a JSON object mapping variable names to values"
CONFLICT_HELP = ("--set coerces the value (bool/number/null/array/string); --set-string always passes a "
                 "string \u2014 keep the flag whose semantics you want and drop the other")


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, list) else "object"


def _refuse_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON value")


def _parse_json(text: str, where: str) -> Any:
    """`text` as strict JSON (no NaN or Infinity); `where` names it in errors."""
    try:
        return json.loads(text, parse_constant=_refuse_constant)
    except json.JSONDecodeError as error:
        raise CommandError("quarl::json", f"JSON parse error: {where}: {error.msg} at line {error.lineno} "
                                           f"column {error.colno}") from None
    except (ValueError, RecursionError) as error:
        reason = "nested too deeply" if isinstance(error, RecursionError) else str(error)
        raise CommandError("quarl::json", f"JSON parse error: {where}: {reason}") from None


def coerce(name: str, text: str) -> Any:
    """The value `--set NAME=TEXT` gives: a boolean, null, a number, a JSON
    array, or else the text itself."""
    if text in ("true", "false"):
        return text == "true"
    if text == "null":
        return None
    if _NUMBER.fullmatch(text):
        if _INTEGER.fullmatch(text):
            return int(text)
        number = float(text)
        return number if math.isfinite(number) else text
    if text.startswith("["):
        return _parse_json(text, f"--set {name}")
    return text


def read_vars_file(path: str) -> dict[str, Any]:
    """The object a vars file holds."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise CommandError("quarl::invalid_vars", f"invalid vars file: cannot read {path}: "
                                                   f"{error.strerror or error}", VARS_HELP) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandError("quarl::json", f"JSON parse error: {path}: invalid UTF-8 at offset {error.start}") from None
    value = _parse_json(text, path)
    if not isinstance(value, dict):
        raise CommandError("quarl::invalid_vars", f"invalid vars file: {path} holds a JSON {_json_type(value)}, "
                                                   "not an object", VARS_HELP)
    return value


def split_assignment(text: str) -> tuple[str, str]:
    """`KEY=VALUE` as its key and value; ValueError when there is no key."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise ValueError(f"expected KEY=VALUE, got {text!r}")
    return key, value


def caller_variables(vars_files: list[str], sets: list[tuple[str, str]],
                     set_strings: list[tuple[str, str]]) -> dict[str, Any] | None:
    """The variables the flags give, or none when no flag gives any."""
    if not (vars_files or sets or set_strings):
        return None
    strings = {key for key, _ in set_strings}
    for key, _ in sets:
        if key in strings:
            raise CommandError("quarl::var_conflict", f"variable '{key}' is set by both --set and --set-string; "
                                                       "use only one", CONFLICT_HELP)
    variables: dict[str, Any] = {}
    for path in vars_files:
        variables.update(read_vars_file(path))
    variables.update(set_strings)
    variables.update((key, coerce(key, text)) for key, text in sets)
    return variables
