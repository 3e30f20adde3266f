"""What the compiler says of one open document: its index (what it defines,
uses and links to), and its findings: the failures of the check gate, the
imports that fail, the configured variables that do not fit, and the lint
rules' findings, each at its place in bytes.

An analysis is computed off the server's event loop from a snapshot of the
document's text and is never changed afterwards; the server swaps a whole
new one in when the text changes.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

import tessel
from tessel._config import Configs, Settings
from tessel._diagnostics import CommandError
from tessel._fixes import choose_fixes
from tessel._index import TemplateIndex, example_variables
from tessel._tessel import Span
from tessel._variables import caller_variables
from tessel.lsp.text import LineIndex

# The key the compiler gives the entry module of a string compile.
ENTRY_KEY = "<source>"
# Documents larger than this are not linted as they are typed (the check
# gate and the index still run): the rules over a huge body cost more than an
# editor waits between keystrokes.
MAX_LINTED_BYTES = 262144


class Finding(NamedTuple):
    """One diagnostic, at bytes of the document."""
    offset: int
    length: int
    severity: str  # "error", "warn" or "info"
    code: str
    message: str
    fix_edits: tuple[tuple[int, int, str], ...] = ()


@dataclass(frozen=True, slots=True)
class Analysis:
    path: str  # the document's file path (it need not exist on disk)
    lines: LineIndex
    index: TemplateIndex | None  # none when the text does not parse
    findings: tuple[Finding, ...]
    settings: Settings
    variables: Mapping[str, Any] | None  # the configured caller variables, if any

    @property
    def text(self) -> str:
        return self.lines.text

    @property
    def folder(self) -> str:
        return os.path.dirname(self.path)

    def entry(self) -> dict[str, Any] | None:
        return entry_module(self.index) if self.index is not None else None


def entry_module(index: TemplateIndex) -> dict[str, Any] | None:
    """The index's entry module."""
    data = index._data
    return next((module for module in data["modules"] if module["key"] == data["entry"]), None)


def _stand_ins(index: TemplateIndex, given: Mapping[str, Any] | None) -> dict[str, Any]:
    return {**example_variables(index._data["inputs"]), **(given or {})}


def _configured(path: str, configs: Configs) -> tuple[Settings, Mapping[str, Any] | None, list[Finding]]:
    try:
        settings = configs.for_template(path).settings_for(path)
        return settings, caller_variables(list(settings.vars_files), [], []), []
    except CommandError as error:
        return Settings(), None, [Finding(0, 0, "error", error.code, error.message)]


def _with_help(message: str, help: str | None) -> str:
    return message if help is None else f"{message}\nhelp: {help}"


def _span_place(span: Span | None) -> tuple[int, int]:
    return (span.offset, span.length) if span is not None else (0, 0)


def _error_finding(error: tessel.QuarlError) -> Finding:
    message = _with_help(error.message, error.help)
    if error.source is not None:  # an imported module's: shown where the document starts
        return Finding(0, 0, "error", error.code, f"{error.source}: {message}")
    return Finding(*_span_place(error.span), "error", error.code, message)


_DECODER = json.JSONDecoder()


def _failures_and_links(index: TemplateIndex) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The index's failures and the entry's links, without reading the rest.
    The index of a large template is megabytes of JSON, and diagnostics need
    only these two; its keys come in a fixed order, so both are found by a
    search and read alone (the whole is read when that does not work)."""
    text = index._text if index._parsed is None else None
    if text is not None:
        try:
            entry = _DECODER.raw_decode(text, text.index('"entry":') + 8)[0]
            failures = _DECODER.raw_decode(text, text.index('"failures":') + 11)[0]
            key = text.index(f'"key":{json.dumps(entry, ensure_ascii=False)},"links":')
            links = _DECODER.raw_decode(text, text.index('"links":', key) + 8)[0]
            if isinstance(failures, list) and isinstance(links, list):
                return failures, links
        except (ValueError, json.JSONDecodeError):
            pass
    entry = entry_module(index)
    return index._data["failures"], entry["links"] if entry else []


def _failures(index: TemplateIndex) -> list[Finding]:
    """The check gate's failures and the failing links, in the document: a
    failure in another module is shown at the link that loads it."""
    failures, links = _failures_and_links(index)
    findings: list[Finding] = []
    for link in links:
        if link.get("error"):
            findings.append(Finding(link["offset"], link["length"], "error", link["error"]["code"],
                                    link["error"]["message"]))
    for failure in failures:
        module, offset = failure.get("module"), failure.get("offset")
        if any(found.message == failure["message"] for found in findings):
            continue  # a failing link, shown already
        if module in (None, ENTRY_KEY) and offset is not None:
            findings.append(Finding(offset, failure["length"], "error", failure["code"], failure["message"]))
            continue
        where = next((link for link in links if module is not None and link.get("target") == module), None)
        place = f"{module}:{failure['line']}:{failure['column']}: " if module and offset is not None else ""
        findings.append(Finding(where["offset"] if where else 0, where["length"] if where else 0, "error",
                                failure["code"], place + failure["message"]))
    return findings


def _input_findings(index: TemplateIndex, variables: Mapping[str, Any]) -> list[Finding]:
    findings = []
    for problem in index.check_vars(variables):
        if problem["module"] in (None, ENTRY_KEY) and problem["offset"] is not None:
            findings.append(Finding(problem["offset"], problem["length"], "error", "quarl::vars",
                                    f"{problem['path']}: {problem['message']}"))
    return findings


def _lint_findings(text: str, folder: str, variables: dict[str, Any], rules: dict[str, str]) -> list[Finding]:
    try:
        result = tessel.lint(text, vars=variables, base_path=folder, rules=rules)
    except tessel.QuarlError:  # the gate's failure is shown already
        return []
    findings = []
    for report in result.files[:1]:  # the entry's report: the document's own findings
        for found in report.diagnostics:
            edits = tuple((edit["start"], edit["end"], edit["new_text"]) for edit in found.fix_edits or [])
            findings.append(Finding(*_span_place(found.span), found.severity, found.rule,
                                    _with_help(found.message, found.help), edits))
    return findings


def analyse(path: str, text: str, configs: Configs | None = None) -> Analysis:
    """The analysis of `text`, the current text of the document at `path`.
    A text that does not parse has no index, only its syntax error (the
    server keeps navigating by the last analysis that had one)."""
    settings, variables, findings = _configured(path, configs or Configs())
    lines = LineIndex(text)
    folder = os.path.dirname(path)
    try:
        index = tessel.index(text, base_path=folder)
    except tessel.QuarlError as error:
        findings.append(_error_finding(error))
        return Analysis(path, lines, None, tuple(findings), settings, variables)
    failures = _failures(index)
    findings += failures
    if variables is not None:
        findings += _input_findings(index, variables)
    if not failures and lines.byte_length <= MAX_LINTED_BYTES:
        findings += _lint_findings(text, folder, _stand_ins(index, variables), dict(settings.rules))
    return Analysis(path, lines, index, tuple(findings), settings, variables)


def fix_all(analysis: Analysis) -> str | None:
    """The document with every lint fix applied that keeps it passing its
    check, or None when no fix applies. A fix may make text a template
    (`{name}` becomes `{{name}}`): each candidate text is checked with
    stand-ins for the caller's variables it reads itself."""
    if analysis.index is None:
        return None

    def check(text: str) -> None:
        index = tessel.index(text, base_path=analysis.folder)
        tessel.check(text, vars=_stand_ins(index, analysis.variables), base_path=analysis.folder)

    result = tessel.lint(analysis.text, vars=_stand_ins(analysis.index, analysis.variables),
                         base_path=analysis.folder, rules=dict(analysis.settings.rules))
    fixed = choose_fixes(analysis.lines.data, result, check)
    return fixed.text.decode("utf-8") if fixed.fixed else None
