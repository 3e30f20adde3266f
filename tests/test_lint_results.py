"""LintResult, LintFileReport and LintDiagnostic as data views."""

import json
import pickle

import pytest

from tessel import LintDiagnostic, LintFileReport, LintResult, QuarlError, Span

EDIT = '[{"end":3,"new_text":"","start":2}]'
DIAGNOSTIC = LintDiagnostic("legacy-interpolation", "warn", "line\\u000Afeed", "use {{ }}", True,
                            Span(2, 1, 1, 3), EDIT)
CANONICAL = {
    "files": [{"diagnostics": [json.loads(DIAGNOSTIC.to_json())], "file": "input.quarl"}],
    "truncated": False,
    "version": 1,
}


def test_diagnostic_attributes_and_forms():
    d = DIAGNOSTIC
    assert (d.rule, d.severity, d.message, d.help, d.fixable) == (
        "legacy-interpolation", "warn", "line\\u000Afeed", "use {{ }}", True)
    assert d.span == Span(2, 1, 1, 3)
    assert d.fix_edits == [{"start": 2, "end": 3, "new_text": ""}]
    assert list(d.to_dict()) == ["rule", "severity", "message", "help", "fixable", "span", "fix_edits"]
    assert d.to_dict()["span"] == {"offset": 2, "length": 1, "line": 1, "column": 3}
    assert d.to_json() == (
        '{"fix_edits":[{"end":3,"new_text":"","start":2}],"fixable":true,"help":"use {{ }}",'
        '"message":"line\\\\u000Afeed","rule":"legacy-interpolation","severity":"warn",'
        '"span":{"column":3,"length":1,"line":1,"offset":2}}')
    assert repr(d) == ('LintDiagnostic(rule="legacy-interpolation", severity="warn", '
                       'message="line\\\\u000Afeed", fixable=true)')
    assert d.__reduce__() == (LintDiagnostic, ("legacy-interpolation", "warn", "line\\u000Afeed",
                                               "use {{ }}", True, Span(2, 1, 1, 3), EDIT))


def test_diagnostic_defaults():
    d = LintDiagnostic("empty-block", "info", "empty")
    assert (d.help, d.fixable, d.span, d.fix_edits) == (None, False, None, None)
    assert d.to_dict() == {"rule": "empty-block", "severity": "info", "message": "empty",
                           "help": None, "fixable": False, "span": None, "fix_edits": None}
    assert json.loads(d.to_json())["help"] is None


def test_diagnostic_constructor_errors():
    with pytest.raises(ValueError, match="^fix_edits_json is not valid JSON: "):
        LintDiagnostic("r", "warn", "m", fix_edits_json="[{")
    for kwargs in ({"span": (1, 2)}, {"help": 5}, {"fixable": 1}, {"fix_edits_json": 5}):
        with pytest.raises(TypeError):
            LintDiagnostic("r", "warn", "m", **kwargs)
    with pytest.raises(TypeError):
        LintDiagnostic("r", "warn")


def test_file_report():
    report = LintFileReport("a.quarl", [DIAGNOSTIC, LintDiagnostic("x", "error", "y")])
    assert report.file == "a.quarl"
    assert report.diagnostics == [DIAGNOSTIC, LintDiagnostic("x", "error", "y")]
    assert report.diagnostics is not report.diagnostics
    assert report.to_dict() == {"file": "a.quarl", "diagnostics": [DIAGNOSTIC.to_dict(),
                                                                   LintDiagnostic("x", "error", "y").to_dict()]}
    assert json.loads(report.to_json())["file"] == "a.quarl"
    assert report.to_json().startswith('{"diagnostics":[')
    assert repr(report) == 'LintFileReport(file="a.quarl", diagnostics=<2 item(s)>)'
    assert LintFileReport("a", iter([DIAGNOSTIC])) == LintFileReport("a", (DIAGNOSTIC,))


@pytest.mark.parametrize(
    ("diagnostics", "message"),
    [
        (5, "diagnostics must be iterable: 'int' object is not iterable"),
        ([DIAGNOSTIC, 1], "diagnostics must be a list of LintDiagnostic: found int"),
    ],
)
def test_file_report_errors(diagnostics, message):
    with pytest.raises(QuarlError) as info:
        LintFileReport("a", diagnostics)
    assert (info.value.code, info.value.message) == ("quarl::invalid_options", message)


def test_lint_result():
    r = LintResult(CANONICAL)
    assert (r.version, r.truncated, r.lint_warnings) == (1, False, [])
    assert r.files == [LintFileReport("input.quarl", [DIAGNOSTIC])]
    assert "lint_warnings" not in r.to_dict()
    assert r.to_json().startswith('{"files":[{"diagnostics":[{"fix_edits"')
    assert r.to_json().endswith('"file":"input.quarl"}],"truncated":false,"version":1}')
    assert repr(r) == "LintResult(version=1, files=<1 file(s)>, truncated=false)"
    warned = LintResult({**CANONICAL, "lint_warnings": ["unknown rule"]})
    assert warned.lint_warnings == ["unknown rule"] and warned != r


def test_clean_lint_result_key_order():
    clean = LintResult({"files": [{"diagnostics": [], "file": "input.quarl"}], "truncated": False, "version": 1})
    assert clean.to_json() == '{"files":[{"diagnostics":[],"file":"input.quarl"}],"truncated":false,"version":1}'


@pytest.mark.parametrize(
    "obj",
    [DIAGNOSTIC, LintDiagnostic("r", "info", "m"), LintFileReport("f", [DIAGNOSTIC]), LintResult(CANONICAL)],
)
def test_pickle_equality_and_hashing(obj):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(obj, protocol)) == obj
    assert obj.__eq__("other") is NotImplemented
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1


@pytest.mark.parametrize(
    ("state", "message"),
    [
        ({"files": 1}, "invalid LintResult state: files must be an array"),
        ({"files": [{"diagnostics": []}]}, "invalid LintResult state: files[0].file must be string"),
        ({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "s"}]}]},
         "invalid LintResult state: files[0].diagnostics[0].message must be string"),
        ({"files": [{"file": "f", "diagnostics": [{"rule": "r", "severity": "s", "message": "m",
                                                    "span": {"offset": -1, "length": 0}}]}]},
         "invalid LintResult state: files[0].diagnostics[0].span.offset must be a non-negative integer"),
        ([], "invalid LintResult state: expected a mapping, got array"),
    ],
)
def test_lint_result_errors(state, message):
    with pytest.raises(QuarlError) as info:
        LintResult(state)
    assert (info.value.code, info.value.message) == ("quarl::invalid_options", message)


def test_docstrings():
    assert LintDiagnostic.__doc__.startswith("A single lint finding within a [`LintFileReport`].")
    assert LintFileReport.__doc__.startswith("A per-file findings group")
    assert LintResult.__doc__.startswith("The result of [`lint`], [`lint_file`], or [`lint_virtual`].")
    assert LintResult.version.__doc__ == "Wire schema version \u2014 currently always `1`."
    assert LintDiagnostic.fix_edits.__doc__.startswith("The byte-range replacement edits")
