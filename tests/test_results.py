"""CompileResult, CheckResult and Message: views, conversions, pickling, equality."""

import json
import pickle

import pytest

import tessel
from tessel import CheckResult, CompileResult, Message, QuarlError

MARKDOWN = tessel.compile("Hello {{ who }}!", vars={"who": "you"})
MESSAGES = tessel.compile("@message system:\nBe brief.\n@end\n@message user:\nHi\n@end\n")
WITH_MAP = CompileResult({
    "kind": "markdown", "output": "x\n", "warnings": ["w"], "dependencies": ["a.quarl"],
    "sourceMap": {"version": 3, "sources": ["input.quarl"], "names": [], "mappings": "AAAA"},
})


def test_markdown_result_views():
    r = MARKDOWN
    assert (r.kind, r.output, r.messages, r.warnings, r.dependencies, r.source_map) == (
        "markdown", "Hello you!\n", None, [], [], None)
    assert r.to_dict() == {"dependencies": [], "kind": "markdown", "output": "Hello you!\n",
                           "warnings": [], "sourceMap": None}
    assert r.to_json() == '{"dependencies":[],"kind":"markdown","output":"Hello you!\\n","warnings":[]}'
    assert repr(r) == "CompileResult(kind='markdown', output=\"Hello you!\\n\", warnings=[], dependencies=[])"


def test_messages_result_views():
    r = MESSAGES
    assert r.kind == "messages" and r.output is None
    assert r.messages == [Message("system", "Be brief."), Message("user", "Hi")]
    assert "output" not in r.to_dict() and r.to_dict()["sourceMap"] is None
    assert json.loads(r.to_json())["messages"] == [{"content": "Be brief.", "role": "system"},
                                                    {"content": "Hi", "role": "user"}]
    assert repr(r) == "CompileResult(kind='messages', messages=<2 item(s)>, warnings=[], dependencies=[])"


def test_result_with_a_map():
    assert WITH_MAP.source_map == {"mappings": "AAAA", "names": [], "sources": ["input.quarl"], "version": 3}
    assert repr(WITH_MAP) == ('CompileResult(kind=\'markdown\', output="x\\n", warnings=["w"], '
                              'dependencies=["a.quarl"], source_map=<present>)')
    assert WITH_MAP.to_json().index('"sourceMap"') < WITH_MAP.to_json().index('"warnings"')


@pytest.mark.parametrize("result", [MARKDOWN, MESSAGES, WITH_MAP])
def test_round_trips(result):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(result, protocol))
        assert restored == result
        assert restored.to_json() == result.to_json()
        assert restored.to_dict() == result.to_dict()
    # to_dict() shows a missing map as None; building from it gives the same result.
    assert CompileResult(result.to_dict()) == result
    assert CompileResult(json.loads(result.to_json())) == result
    cls, (state,) = result.__reduce__()
    assert cls is CompileResult and ("sourceMap" in state) == (result.source_map is not None)


def test_getters_return_fresh_objects():
    warnings = WITH_MAP.warnings
    warnings.append("mutated")
    assert WITH_MAP.warnings == ["w"]
    WITH_MAP.source_map["version"] = 99
    assert WITH_MAP.source_map["version"] == 3
    assert WITH_MAP.to_dict() is not WITH_MAP.to_dict()


@pytest.mark.parametrize(
    ("cls", "args", "message"),
    [
        (CompileResult, ([1],), "invalid CompileResult state: expected a mapping, got array"),
        (CompileResult, ({"k": {1}},), "invalid CompileResult state: unsupported type 'set'"),
        (CompileResult, ({1: "k"},), "invalid CompileResult state: mapping keys must be str, not int"),
    ],
)
def test_constructor_errors(cls, args, message):
    with pytest.raises(QuarlError) as info:
        cls(*args)
    assert (info.value.code, info.value.message, info.value.help, info.value.span) == (
        "quarl::invalid_options", message, None, None)


def test_hand_built_results_are_lenient():
    r = CompileResult({})
    assert (r.kind, r.output, r.messages, r.warnings, r.dependencies, r.source_map) == (
        None, None, None, [], [], None)
    assert repr(r) == "CompileResult(kind='markdown', output=\"\", warnings=[], dependencies=[])"
    assert CompileResult({"kind": "messages", "messages": [{"role": "r"}]}).messages == [Message("r", "")]
    with pytest.raises(ValueError):
        CompileResult({"x": float("nan")}).to_json()


@pytest.mark.parametrize(
    ("make", "attributes"),
    [
        (lambda: MARKDOWN, ["kind", "output", "messages", "warnings", "dependencies", "source_map"]),
        (lambda: CheckResult(["a"]), ["warnings"]),
        (lambda: Message("r", "c"), ["role", "content"]),
    ],
)
def test_frozen_and_unhashable(make, attributes):
    obj = make()
    for name in attributes + ["extra"]:
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
        with pytest.raises(AttributeError):
            delattr(obj, name)
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        type(obj).anything = 1
    assert obj.__eq__(object()) is NotImplemented
    assert obj != 0


def test_check_result():
    r = CheckResult(["one", 'two "quoted"'])
    assert r.warnings == ["one", 'two "quoted"']
    assert r == CheckResult(("one", 'two "quoted"')) and r != CheckResult([])
    assert r.to_dict() == {"warnings": ["one", 'two "quoted"']}
    assert r.to_json() == '{"warnings":["one","two \\"quoted\\""]}'
    assert repr(r) == 'CheckResult(warnings=["one", "two \\"quoted\\""])'
    assert pickle.loads(pickle.dumps(r)) == r
    assert tessel.check("x").warnings == []
    for bad in ("text", [1], None):
        with pytest.raises(TypeError):
            CheckResult(bad)


def test_message():
    m = Message("user", 'say "hi"\n\x01')
    assert (m.role, m.content) == ("user", 'say "hi"\n\x01')
    assert list(m.to_dict()) == ["role", "content"]
    assert m.to_json() == '{"content":"say \\"hi\\"\\n\\u0001","role":"user"}'
    assert repr(m) == 'Message(role="user", content="say \\"hi\\"\\n\\u{1}")'
    assert m.__reduce__() == (Message, ("user", 'say "hi"\n\x01'))
    assert pickle.loads(pickle.dumps(m)) == m
    assert m != Message("user", "other")
    with pytest.raises(TypeError):
        Message("user", 5)
    with pytest.raises(TypeError):
        Message(role="user")


def test_docstrings():
    assert CompileResult.__doc__.startswith("The result of [`compile`], [`compile_file`], or [`compile_virtual`].")
    assert CheckResult.__doc__ == "The result of [`check`], [`check_file`], or [`check_virtual`]."
    assert Message.__doc__ == "A single chat message produced by a `@message`-bearing template."
    assert CompileResult.kind.__doc__.startswith("`\"markdown\"` or `\"messages\"`")
    assert "Reconstruct on unpickle via `CompileResult(canonical_dict)`." in CompileResult.__reduce__.__doc__
