"""The record classes: Span, Message, CompileResult, CheckResult and the lint results."""

import json
import pickle

import pytest

import tessel
from tessel import (CheckResult, CompileResult, LintDiagnostic, LintFileReport, LintResult, Message,
                    QuarlError, Span)

U64_MAX = 2**64 - 1
MARKDOWN = tessel.compile("Hello {{ who }}!", vars={"who": "you"})
MESSAGES = tessel.compile("@message system:\nBe brief.\n@end\n@message user:\nHi\n@end\n")
WITH_MAP = CompileResult({
    "kind": "markdown", "output": "x\n", "warnings": ["w"], "dependencies": ["a.quarl"],
    "sourceMap": {"version": 3, "sources": ["input.quarl"], "names": [], "mappings": "AAAA"},
})
EDIT = '[{"end":3,"new_text":"","start":2}]'
DIAGNOSTIC = LintDiagnostic("legacy-interpolation", "warn", "line\\u000Afeed", "use {{ }}", True,
                            Span(2, 1, 1, 3), EDIT)
LINT = {"files": [{"diagnostics": [json.loads(DIAGNOSTIC.to_json())], "file": "input.quarl"}],
        "truncated": False, "version": 1}

# Each class with an instance, its fields, and an instance that differs in one field.
RECORDS = [
    (Span(1, 2, 3, 4), ["offset", "length", "line", "column"], Span(1, 2, 3, None)),
    (Span(U64_MAX, 1, None, 3), ["offset", "length", "line", "column"], Span(U64_MAX, 1, None, 4)),
    (Span(1, 2, 3, 4), ["offset", "length", "line", "column"], Span(2, 2, 3, 4)),
    (Span(1, 2, 3, 4), ["offset", "length", "line", "column"], Span(1, 3, 3, 4)),
    (Span(1, 2, 3, 4), ["offset", "length", "line", "column"], Span(1, 2, None, 4)),
    (Message("user", 'say "hi"\n\x01'), ["role", "content"], Message("user", "other")),
    (Message("user", "c"), ["role", "content"], Message("system", "c")),
    (CheckResult(["one", 'two "quoted"']), ["warnings"], CheckResult([])),
    (MARKDOWN, ["kind", "output", "messages", "warnings", "dependencies", "source_map"], WITH_MAP),
    (MESSAGES, ["kind", "output", "messages", "warnings", "dependencies", "source_map"], MARKDOWN),
    (WITH_MAP, ["kind", "output", "messages", "warnings", "dependencies", "source_map"], MARKDOWN),
    (DIAGNOSTIC, ["rule", "severity", "message", "help", "fixable", "span", "fix_edits"],
     LintDiagnostic("legacy-interpolation", "warn", "line\\u000Afeed")),
    (LintFileReport("f", [DIAGNOSTIC]), ["file", "diagnostics"], LintFileReport("f", [])),
    (LintResult(LINT), ["version", "files", "truncated", "lint_warnings"],
     LintResult({**LINT, "lint_warnings": ["unknown rule"]})),
]


@pytest.mark.parametrize(("record", "fields", "other"), RECORDS, ids=lambda r: type(r).__name__)
def test_records_are_frozen_values(record, fields, other):
    cls = type(record)
    for name in fields + ["extra"]:
        with pytest.raises(AttributeError):
            setattr(record, name, None)
        with pytest.raises(AttributeError):
            delattr(record, name)
    with pytest.raises(TypeError):
        cls.anything = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        hash(record)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(record, protocol))
        assert type(restored) is cls and restored == record and not restored != record
        assert restored.to_json() == record.to_json()
    assert record != other and not record == other
    assert record.__eq__(object()) is NotImplemented and record != 0
    with pytest.raises(TypeError):
        _ = record < record
    first = record.to_dict()
    first.clear()
    assert record.to_dict() and record.to_dict() is not record.to_dict()
    # to_json is the compact, key-sorted form of the same content.
    wire = {k: v for k, v in record.to_dict().items() if not (k == "sourceMap" and v is None)}
    assert json.loads(record.to_json()) == json.loads(json.dumps(wire))
    assert record.to_json() == json.dumps(json.loads(record.to_json()), sort_keys=True,
                                          separators=(",", ":"), ensure_ascii=False)


# ---- Span ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("span", "as_dict", "text"),
    [
        (Span(1, 2), {"offset": 1, "length": 2, "line": None, "column": None},
         "Span(offset=1, length=2, line=None, column=None)"),
        (Span(offset=0, length=0, column=9), {"offset": 0, "length": 0, "line": None, "column": 9},
         "Span(offset=0, length=0, line=None, column=9)"),
        (Span(U64_MAX, U64_MAX, U64_MAX, U64_MAX), dict.fromkeys(["offset", "length", "line", "column"], U64_MAX),
         f"Span(offset={U64_MAX}, length={U64_MAX}, line={U64_MAX}, column={U64_MAX})"),
    ],
)
def test_span_forms(span, as_dict, text):
    assert (span.offset, span.length, span.line, span.column) == tuple(as_dict.values())
    assert list(span.to_dict().items()) == list(as_dict.items())
    assert repr(span) == text
    assert span.__reduce__() == (Span, tuple(as_dict.values()))


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        (("1", 2), {}, TypeError, "Span() argument 'offset' must be int, not str"),
        ((1, 2, None, 4.5), {}, TypeError, "Span() argument 'column' must be int or None, not float"),
        ((1,), {}, TypeError, None),
        ((1, 2, 3, 4, 5), {}, TypeError, None),
        ((1, 2), {"bogus": 1}, TypeError, None),
        ((-1, 2), {}, ValueError, "Span() argument 'offset' must not be negative, got -1"),
        ((1, 2, -1), {}, ValueError, "Span() argument 'line' must not be negative, got -1"),
        ((0, -(2**70)), {}, ValueError, None),
        ((U64_MAX + 1, 0), {}, OverflowError, None),
        ((0, 0, None, U64_MAX + 1), {}, OverflowError, None),
    ],
)
def test_span_constructor_rejects(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Span(*args, **kwargs)
    assert message is None or str(info.value) == message


# ---- results -----------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("result", "views", "text"),
    [
        (MARKDOWN, ("markdown", "Hello you!\n", None, [], [], None),
         "CompileResult(kind='markdown', output=\"Hello you!\\n\", warnings=[], dependencies=[])"),
        (MESSAGES, ("messages", None, [Message("system", "Be brief."), Message("user", "Hi")], [], [], None),
         "CompileResult(kind='messages', messages=<2 item(s)>, warnings=[], dependencies=[])"),
        (WITH_MAP, ("markdown", "x\n", None, ["w"], ["a.quarl"],
                    {"mappings": "AAAA", "names": [], "sources": ["input.quarl"], "version": 3}),
         'CompileResult(kind=\'markdown\', output="x\\n", warnings=["w"], dependencies=["a.quarl"], '
         "source_map=<present>)"),
        (CompileResult({}), (None, None, None, [], [], None),
         "CompileResult(kind='markdown', output=\"\", warnings=[], dependencies=[])"),
    ],
)
def test_compile_result_views(result, views, text):
    assert (result.kind, result.output, result.messages, result.warnings, result.dependencies,
            result.source_map) == views
    assert repr(result) == text
    # to_dict() always has sourceMap and lacks the other kind's payload; both forms rebuild the result.
    assert "sourceMap" in result.to_dict()
    assert ("output" in result.to_dict()) == (result.kind == "markdown")
    assert CompileResult(result.to_dict()) == result == CompileResult(json.loads(result.to_json()))
    cls, (state,) = result.__reduce__()
    assert cls is CompileResult and ("sourceMap" in state) == (result.source_map is not None)


def test_getters_return_fresh_objects():
    WITH_MAP.warnings.append("mutated")
    WITH_MAP.source_map["version"] = 99
    assert WITH_MAP.warnings == ["w"] and WITH_MAP.source_map["version"] == 3
    assert CompileResult({"kind": "messages", "messages": [{"role": "r"}]}).messages == [Message("r", "")]


def test_check_result_and_message_forms():
    r = CheckResult(("one", 'two "quoted"'))
    assert r.warnings == ["one", 'two "quoted"'] and r.to_dict() == {"warnings": r.warnings}
    assert repr(r) == 'CheckResult(warnings=["one", "two \\"quoted\\""])'
    m = Message("user", 'say "hi"\n\x01')
    assert list(m.to_dict()) == ["role", "content"]
    assert m.to_json() == '{"content":"say \\"hi\\"\\n\\u0001","role":"user"}'
    assert repr(m) == 'Message(role="user", content="say \\"hi\\"\\n\\u{1}")'
    assert m.__reduce__() == (Message, ("user", 'say "hi"\n\x01'))


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: CompileResult([1]), QuarlError, "invalid CompileResult state: expected a mapping, got array"),
        (lambda: CompileResult({"k": {1}}), QuarlError, "invalid CompileResult state: unsupported type 'set' at k"),
        (lambda: CompileResult({1: "k"}), QuarlError, "invalid CompileResult state: mapping keys must be str, not int"),
        # Only what a compile could have returned: the kinds, their payloads, the fields' types, the map's shape.
        (lambda: CompileResult({"kind": "weird"}), QuarlError,
         'invalid CompileResult state: kind must be "markdown" or "messages"'),
        (lambda: CompileResult({"x": float("nan")}), QuarlError, 'invalid CompileResult state: a compile result has no key "x"'),
        (lambda: CompileResult({"kind": "messages", "output": "x"}), QuarlError,
         "invalid CompileResult state: a messages result has no output"),
        (lambda: CompileResult({"messages": []}), QuarlError, "invalid CompileResult state: a markdown result has no messages"),
        (lambda: CompileResult({"warnings": ["a", 1]}), QuarlError, "invalid CompileResult state: warnings must be an array of strings"),
        (lambda: CompileResult({"kind": "messages", "messages": [{"role": "r", "content": 2}]}), QuarlError,
         "invalid CompileResult state: messages[0].content must be a string"),
        (lambda: CompileResult({"sourceMap": {**WITH_MAP.source_map, "version": 2}}), QuarlError,
         "invalid CompileResult state: sourceMap.version must be 3"),
        (lambda: CompileResult({"sourceMap": {**WITH_MAP.source_map, "sourcesContent": []}}), QuarlError,
         "invalid CompileResult state: sourceMap.sourcesContent must hold one text per source"),
        (lambda: CheckResult("text"), TypeError, "CheckResult() argument 'warnings' must be a list of str"),
        (lambda: CheckResult([1]), TypeError, "CheckResult() argument 'warnings' must be a list of str"),
        (lambda: Message("user", 5), TypeError, None),
        (lambda: Message(role="user"), TypeError, None),
    ],
)
def test_constructor_errors(make, error, message):
    with pytest.raises(error) as info:
        make()
    if error is QuarlError:
        assert (info.value.code, info.value.help, info.value.span) == ("quarl::invalid_options", None, None)
    assert message is None or str(info.value) == message


# ---- lint results ----------------------------------------------------------------------

def test_diagnostic_forms():
    d = DIAGNOSTIC
    assert (d.rule, d.severity, d.message, d.help, d.fixable, d.span) == (
        "legacy-interpolation", "warn", "line\\u000Afeed", "use {{ }}", True, Span(2, 1, 1, 3))
    assert d.fix_edits == [{"start": 2, "end": 3, "new_text": ""}]
    assert list(d.to_dict()) == ["rule", "severity", "message", "help", "fixable", "span", "fix_edits"]
    assert d.to_dict()["span"] == {"offset": 2, "length": 1, "line": 1, "column": 3}
    assert repr(d) == ('LintDiagnostic(rule="legacy-interpolation", severity="warn", '
                       'message="line\\\\u000Afeed", fixable=true)')
    assert d.__reduce__() == (LintDiagnostic, ("legacy-interpolation", "warn", "line\\u000Afeed",
                                               "use {{ }}", True, Span(2, 1, 1, 3), EDIT))
    assert LintDiagnostic("empty-block", "info", "empty").to_dict() == {
        "rule": "empty-block", "severity": "info", "message": "empty", "help": None, "fixable": False,
        "span": None, "fix_edits": None}


def test_file_report_and_lint_result_forms():
    report = LintFileReport("a.quarl", iter([DIAGNOSTIC, LintDiagnostic("x", "error", "y")]))
    assert report.diagnostics == [DIAGNOSTIC, LintDiagnostic("x", "error", "y")]
    assert report.diagnostics is not report.diagnostics
    assert repr(report) == 'LintFileReport(file="a.quarl", diagnostics=<2 item(s)>)'
    r = LintResult(LINT)
    assert (r.version, r.truncated, r.lint_warnings) == (1, False, [])
    assert r.files == [LintFileReport("input.quarl", [DIAGNOSTIC])]
    assert "lint_warnings" not in r.to_dict()
    assert repr(r) == "LintResult(version=1, files=<1 file(s)>, truncated=false)"
    clean = LintResult({"files": [{"diagnostics": [], "file": "input.quarl"}], "truncated": False, "version": 1})
    assert clean.to_json() == '{"files":[{"diagnostics":[],"file":"input.quarl"}],"truncated":false,"version":1}'


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: LintDiagnostic("r", "warn", "m", fix_edits_json="[{"), ValueError, None),
        (lambda: LintDiagnostic("r", "warn", "m", span=(1, 2)), TypeError, None),
        (lambda: LintDiagnostic("r", "warn", "m", help=5), TypeError, None),
        (lambda: LintDiagnostic("r", "warn", "m", fixable=1), TypeError, None),
        (lambda: LintDiagnostic("r", "warn", "m", fix_edits_json=5), TypeError, None),
        (lambda: LintDiagnostic("r", "warn"), TypeError, None),
        (lambda: LintFileReport("a", 5), QuarlError, "diagnostics must be iterable: 'int' object is not iterable"),
        (lambda: LintFileReport("a", [DIAGNOSTIC, 1]), QuarlError, "diagnostics must be a list of LintDiagnostic: found int"),
        (lambda: LintResult({"files": 1}), QuarlError, "invalid LintResult state: files must be an array"),
        (lambda: LintResult({"files": [{"diagnostics": []}]}), QuarlError,
         "invalid LintResult state: files[0].file must be string"),
        (lambda: LintResult({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "s"}]}]}), QuarlError,
         "invalid LintResult state: files[0].diagnostics[0].message must be string"),
        (lambda: LintResult({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "s", "message": "m",
                                                                      "span": {"offset": -1, "length": 0}}]}]}),
         QuarlError, "invalid LintResult state: files[0].diagnostics[0].span.offset must be a non-negative integer"),
        (lambda: LintResult([]), QuarlError, "invalid LintResult state: expected a mapping, got array"),
        (lambda: LintResult({**LINT, "version": 2}), QuarlError, "invalid LintResult state: version must be 1"),
        (lambda: LintResult({**LINT, "extra": 1}), QuarlError, 'invalid LintResult state: a lint result has no key "extra"'),
        (lambda: LintResult({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "loud", "message": "m"}]}]}),
         QuarlError, 'invalid LintResult state: files[0].diagnostics[0].severity must be "info", "warn" or "error"'),
        (lambda: LintResult({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "warn", "message": "m",
                                                                      "fix_edits": [{"start": 3, "end": 2, "new_text": ""}]}]}]}),
         QuarlError, "invalid LintResult state: files[0].diagnostics[0].fix_edits[0] must have a start and an end, start <= end"),
    ],
)
def test_lint_constructor_errors(make, error, message):
    with pytest.raises(error) as info:
        make()
    if error is ValueError:
        assert str(info.value).startswith("fix_edits_json is not valid JSON: ")
    if error is QuarlError:
        assert (info.value.code, info.value.message) == ("quarl::invalid_options", message)
