"""Lint from Python: the check gate, the rules and their configuration, the report."""
import json

import pytest

import tessel

RULES = ("duplicate-export, duplicate-import, empty-block, legacy-interpolation, redundant-else, shadow-variable, "
         "unreachable-branch, unused-function, unused-import, unused-variable")


def findings(result):
    return [(d.rule, d.severity, d.message) for d in result.files[0].diagnostics]


def test_the_gate_fails_as_compile_does():
    with pytest.raises(tessel.QuarlError) as linted:
        tessel.lint("Hi {{ name")
    with pytest.raises(tessel.QuarlError) as compiled:
        tessel.compile("Hi {{ name")
    assert (linted.value.code, str(linted.value), linted.value.span) == (
        compiled.value.code, str(compiled.value), compiled.value.span)


def test_a_clean_template():
    assert tessel.lint("Hello {{ x }}", vars={"x": 1}).to_json() == (
        '{"files":[{"diagnostics":[],"file":"input.quarl"}],"truncated":false,"version":1}')


@pytest.mark.parametrize("rules, expected, warning", [
    (None, [("unreachable-branch", "error", "@if condition is always false \u2014 the then-body is dead code.")], None),
    ({"unreachable-branch": "warn"},
     [("unreachable-branch", "warn", "@if condition is always false \u2014 the then-body is dead code.")], None),
    ({"unreachable-branch": "off", "zeta": "info", "alpha\n": "warn"}, [],
     f"unknown lint rules: 'alpha\\u000A', 'zeta'; recognised rules are: {RULES}; ignoring"),
    ({"shadow-variable": "info", "unreachable-branch": "off"},
     [("shadow-variable", "info",
       "Variable 'item' (@for loop variable) shadows an outer frontmatter variable with the same name.")], None),
])
def test_rule_configuration(rules, expected, warning):
    source = "---\nitem: 1\n---\n@if 1 == 2:\n{{ item }}\n@end\n@for item in items:\n{{ item }}\n@end\n"
    result = tessel.lint(source, vars={"items": [1]}, rules=rules)
    assert findings(result) == expected
    assert result.lint_warnings == ([warning] if warning else [])


@pytest.mark.parametrize("rules, message", [
    (5, "rules must be a mapping of str to str, got number"),
    ({"empty-block": 1}, 'rules["empty-block"] must be a string, got number'),
    ({"empty-block": "loud"}, 'rules["empty-block"]: unknown severity "loud"; expected "off", "info", "warn", or "error"'),
    ({1: "warn"}, "invalid rules: mapping keys must be str, not int"),
])
def test_bad_rules(rules, message):
    with pytest.raises(tessel.QuarlError) as raised:
        tessel.lint("x", rules=rules)
    assert (raised.value.code, str(raised.value)) == ("quarl::invalid_options", message)


@pytest.mark.parametrize("count, kept, truncated", [(1000, 1000, False), (1001, 1000, True)])
def test_the_cap(count, kept, truncated):
    result = tessel.lint("@if x:\n@end\n" * count, vars={"x": 1})
    assert (len(result.files[0].diagnostics), result.truncated) == (kept, truncated)


def test_files_and_maps_are_reported_by_their_names(tmp_path):
    path = tmp_path / "t.quarl"
    path.write_text("@define f():\nF\n@end\n", encoding="utf-8")
    assert tessel.lint_file(str(path)).files[0].file == str(path)
    result = tessel.lint_virtual({"a/t.quarl": "@define f():\nF\n@end\n"}, "a/t.quarl")
    assert result.files[0].file == "a/t.quarl"
    assert findings(result) == [("unused-function", "warn", "Function 'f' is defined but never exported or called.")]


def test_fix_edits_migrate_the_older_dialect():
    """Applying every edit gives a template that lints clean of the legacy rule
    and renders what the single braces meant."""
    source = ("@define greeting(n):\nHello {{ n }}\n@end\n"
              "Hi {name}, from {team.name} \\{not a brace\\}\n{greeting(name)}\n")
    values = {"name": "Ada", "team": {"name": "Core"}}
    result = tessel.lint(source, vars=values)
    edits = sorted((e for d in result.files[0].diagnostics for e in d.fix_edits or []), key=lambda e: -e["start"])
    assert len(edits) == 5
    fixed = source.encode()
    for edit in edits:
        fixed = fixed[:edit["start"]] + edit["new_text"].encode() + fixed[edit["end"]:]
    fixed = fixed.decode()
    assert not [d for d in tessel.lint(fixed, vars=values).files[0].diagnostics if d.rule == "legacy-interpolation"]
    assert tessel.compile(fixed, vars=values).output == "Hi Ada, from Core {not a brace}\nHello Ada\n"
    escape = source.index("\\{")
    assert {"end": escape + 1, "new_text": "", "start": escape} in [
        edit for d in json.loads(result.to_json())["files"][0]["diagnostics"] for edit in d["fix_edits"] or []]


def test_findings_in_rule_order_then_document_order():
    source = ("---\nunused: 1\n---\n@define f():\nF\n@end\n@if x:\n@end\nText {x} and {y}\n"
              "@if \"a\" == \"b\":\nA\n@end\n@for i in xs:\n@end\n")
    result = tessel.lint(source, vars={"x": 1, "y": 2, "xs": []})
    assert [(d.rule, d.span.line) for d in result.files[0].diagnostics] == [
        ("empty-block", 7), ("empty-block", 13), ("unreachable-branch", 10), ("unused-variable", 2),
        ("unused-function", 4), ("legacy-interpolation", 9), ("legacy-interpolation", 9)]
