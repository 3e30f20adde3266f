"""tessel.Template: loaded once, then rendered as the compile functions render the same input."""

import copy
import os
import pickle
import threading
from pathlib import Path

import pytest

import tessel
from test_cases import ALL as CASES
from test_docs import DOCS, fenced_blocks
from test_index import EXAMPLES, PROMPTS, ROOT


def outcome(call):
    """What a call gives, as plain data: its result, or its error."""
    try:
        result = call()
    except tessel.QuarlError as error:
        span = (error.span.offset, error.span.length) if error.span else None
        return ("error", error.code, error.message, span, error.source, error.help, error.notes)
    if isinstance(result, tessel.CompileResult):
        return ("compiled", result.to_json())
    if isinstance(result, tessel.CheckResult):
        return ("checked", result.warnings)
    if isinstance(result, (tessel.LintResult, tessel.TemplateIndex)):
        return (type(result).__name__, result.to_json())
    return ("loaded", result)


def same_outcomes(load, calls, variables):
    """Each of `calls` (name: the function over the input) gives what the
    loaded template's method of that name gives; a load that fails fails as
    the first call does."""
    loaded = outcome(load)
    if loaded[0] == "error":
        assert loaded == outcome(lambda: calls["compile"](variables))
        return False
    template = load()
    for name, call in calls.items():
        if name == "lint":
            assert outcome(lambda: template.lint(vars=variables)) == outcome(lambda: call(variables)), name
        elif name == "compile_map":
            assert outcome(lambda: template.compile(variables, source_map=True, sources_content=True)) == \
                outcome(lambda: call(variables)), name
        else:
            assert outcome(lambda: getattr(template, name)(variables)) == outcome(lambda: call(variables)), name
    return True


def source_calls(source):
    return {"compile": lambda v: tessel.compile(source, vars=v),
            "compile_map": lambda v: tessel.compile(source, vars=v, source_map=True, sources_content=True),
            "check": lambda v: tessel.check(source, vars=v), "lint": lambda v: tessel.lint(source, vars=v),
            "index": lambda v: tessel.index(source, vars=v)}


def file_calls(path):
    return {"compile": lambda v: tessel.compile_file(path, vars=v),
            "compile_map": lambda v: tessel.compile_file(path, vars=v, source_map=True, sources_content=True),
            "check": lambda v: tessel.check_file(path, vars=v), "lint": lambda v: tessel.lint_file(path, vars=v),
            "index": lambda v: tessel.index_file(path, vars=v)}


@pytest.mark.parametrize("case", CASES, ids=[case["id"] for case in CASES])
def test_every_case_renders_the_same_loaded(case):
    if "source" in case:
        same_outcomes(lambda: tessel.Template(case["source"]), source_calls(case["source"]), case["vars"])
        return
    modules, entry = case["modules"], next(iter(case["modules"]))
    calls = {"compile": lambda v: tessel.compile_virtual(modules, entry, vars=v),
             "compile_map": lambda v: tessel.compile_virtual(modules, entry, vars=v, source_map=True,
                                                             sources_content=True),
             "check": lambda v: tessel.check_virtual(modules, entry, vars=v),
             "lint": lambda v: tessel.lint_virtual(modules, entry, vars=v),
             "index": lambda v: tessel.index_virtual(modules, entry, vars=v)}
    same_outcomes(lambda: tessel.Template.from_virtual(modules, entry), calls, case["vars"])


def test_examples_docs_and_the_prompt_collection_render_the_same_loaded(tmp_path, monkeypatch):
    loaded = 0
    examples = dict(EXAMPLES)
    for path in sorted((ROOT / "examples").glob("*.quarl")):
        loaded += same_outcomes(lambda: tessel.Template.from_file(path), file_calls(path), examples.get(path.name))
    if PROMPTS.is_dir():
        for path in sorted(PROMPTS.iterdir()):
            text = path.read_text(encoding="utf-8", errors="replace")
            loaded += same_outcomes(lambda: tessel.Template(text), source_calls(text), None)
    # The guide's templates, written out as its examples are: files that import each other.
    monkeypatch.chdir(tmp_path)
    (tmp_path / ".quarlroot").write_text("")
    written = []
    for page in sorted(DOCS.glob("*.md")):
        for info, body, _ in fenced_blocks(page.read_text(encoding="utf-8")):
            words = info.split()
            if len(words) == 2 and words[1].endswith(".quarl"):
                (tmp_path / words[1]).parent.mkdir(parents=True, exist_ok=True)
                (tmp_path / words[1]).write_text(body, encoding="utf-8")
                written.append(tmp_path / words[1])
            elif words == ["quarl"]:
                loaded += same_outcomes(lambda: tessel.Template(body), source_calls(body), None)
    for path in written:
        loaded += same_outcomes(lambda: tessel.Template.from_file(path), file_calls(path), None)
    assert loaded > 100


def project(folder):
    """A base layout, a template extending it, and two imported helpers."""
    (folder / ".quarlroot").write_text("")
    (folder / "parts").mkdir()
    files = {
        "base.quarl": "---\nproduct: Lamp\n---\n# {{ product }}\n@block body:\nbase\n@end\n",
        "page.quarl": ('---\nimports:\n  - path: ./parts/a.quarl\n    as: a\n---\n@extends "./base.quarl"\n'
                       "@block body:\n{{ a.hi(who) }}\n@end\n"),
        "parts/a.quarl": '@import "./b.quarl" as b\n@define hi(x):\nhi {{ b.twice(x) }}\n@end\n@export hi\n',
        "parts/b.quarl": "@define twice(x):\n{{ x }}{{ x }}\n@end\n@export twice\n",
    }
    for name, text in files.items():
        (folder / name).write_text(text, encoding="utf-8")
    return folder / "page.quarl"


def test_a_file_project_outlives_its_files_and_says_when_they_change(tmp_path):
    page = project(tmp_path)
    template = tessel.Template.from_file(page)
    expected = tessel.compile_file(page, vars={"who": "Ann"})
    assert template.dependencies == expected.dependencies == [
        str(tmp_path / "parts/b.quarl"), str(tmp_path / "parts/a.quarl"), str(tmp_path / "base.quarl")]
    assert list(template.modules) == [str(page), str(tmp_path / "parts/a.quarl"), str(tmp_path / "parts/b.quarl"),
                                      str(tmp_path / "base.quarl")]
    assert repr(template) == f"<tessel.Template {str(page)!r} (4 modules)>"
    assert not template.changed()

    b = tmp_path / "parts/b.quarl"
    original = b.read_text()
    b.write_text(original.replace("{{ x }}{{ x }}", "{{ x }}!"))
    assert template.changed()
    assert template.compile({"who": "Ann"}).to_json() == expected.to_json()  # still the text it read
    b.write_text(original)
    os.utime(b, ns=(1, 1))  # same content, another time: compared, not changed
    assert not template.changed()

    restored = pickle.loads(pickle.dumps(template))
    assert restored == template and hash(restored) == hash(template)
    for path in tmp_path.rglob("*.quarl"):
        path.unlink()
    assert template.changed() and restored.changed()
    assert restored.compile({"who": "Ann"}).to_json() == expected.to_json()
    with pytest.raises(tessel.QuarlError) as missing:
        template.compile()
    assert missing.value.code == "quarl::undefined_var"


def test_equality_pickling_and_immutability():
    a = tessel.Template("Hi {{ who }}\n")
    assert a == tessel.Template("Hi {{ who }}\n") != tessel.Template("Hi {{ whom }}\n")
    assert a != tessel.Template.from_virtual({"x.quarl": "Hi {{ who }}\n"}, "x.quarl")
    assert pickle.loads(pickle.dumps(a)).compile({"who": "B"}).output == "Hi B\n"
    assert a.entry == "<source>" and a.dependencies == [] and not a.changed()
    assert copy.copy(a) is a and copy.deepcopy([a])[0] is a
    with pytest.raises(AttributeError):
        a.entry = "x"  # type: ignore[misc]
    with pytest.raises(TypeError):
        tessel._tessel.LoadedTemplate()


@pytest.mark.parametrize("call, message", [
    (lambda: tessel.Template(b"x"), r"Template\(\) argument 'source' must be str, not bytes"),
    (lambda: tessel.Template.from_virtual({}, 3), r"Template.from_virtual\(\) argument 'entry' must be str"),
    (lambda: tessel.Template("x").compile(source_map="yes"), r"Template.compile\(\) argument 'source_map' must be bool"),
    (lambda: tessel.Template("x").check(None, source_map=True), r"unexpected keyword argument 'source_map'"),
])
def test_argument_errors_name_the_template(call, message):
    with pytest.raises(TypeError, match=message):
        call()


@pytest.mark.parametrize("snapshot, message", [
    ({"kind": "tape"}, 'unknown kind "tape"'),
    ({"kind": "source", "name": "n", "entry": "e", "modules": [["<source>"]], "resolutions": [],
      "dependencies": []}, "modules must hold 2-item lists of strings"),
    ({"kind": "virtual", "name": "n", "entry": "e", "modules": [], "resolutions": [], "dependencies": [],
      "project_root": 3}, "project_root must be a string or None"),
    ({"kind": "virtual", "name": "n", "entry": "e", "modules": [[f"m{i}", ""] for i in range(258)],
      "resolutions": [], "dependencies": []}, "modules holds 258 entries, more than the 257 a template loads"),
])
def test_a_bad_snapshot_is_refused(snapshot, message):
    with pytest.raises(tessel.QuarlError, match=message):
        tessel._tessel.load_snapshot(snapshot)


def test_a_snapshot_missing_a_module_fails_to_load():
    state = tessel.Template.from_virtual({"a.quarl": '@import "./b.quarl"\n', "b.quarl": "b\n"}, "a.quarl") \
        ._loaded.snapshot()
    state["modules"] = state["modules"][:1]
    with pytest.raises(tessel.QuarlError, match="the stored template has no such module"):
        tessel._tessel.load_snapshot(state)


def test_threads_render_one_template_as_one_thread_does():
    template = tessel.Template(
        "@define row(t):\n- {{ t.name }}: {{ upper(t.note) }}\n@end\n"
        "@for t in items:\n{{ row(t) }}\n@end\n{{ who }}\n")
    variables = [{"who": f"w{n}", "items": [{"name": f"n{n}-{i}", "note": "x" * (n % 5)} for i in range(50 + n)]}
                 for n in range(8)]
    expected = [template.compile(v).output for v in variables]
    results = [[] for _ in variables]

    def render(n):
        for _ in range(100):
            results[n].append(template.compile(variables[n]).output)

    threads = [threading.Thread(target=render, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(set(got) == {want} for got, want in zip(results, expected))


def test_limits_hold_at_load_as_in_compile(tmp_path):
    """Import depth and module count: at the limit the template loads, one past it fails at load
    with compile's error; the same for the size of a source."""
    def chain(depth):
        modules = {f"m{i}.quarl": f'@import "./m{i + 1}.quarl"\n' for i in range(depth)}
        return {**modules, f"m{depth}.quarl": "end\n"}

    def tree(leaves):  # an entry importing 16 modules, which import `leaves` modules between them
        modules = {"m0.quarl": "".join(f'@import "./a{i}.quarl"\n' for i in range(16))}
        for i in range(16):
            modules[f"a{i}.quarl"] = "".join(f'@import "./l{n}.quarl"\n' for n in range(leaves) if n % 16 == i)
        return {**modules, **{f"l{n}.quarl": "" for n in range(leaves)}}

    def on_disk(modules):
        folder = tmp_path / str(len(modules))
        folder.mkdir()
        (folder / ".quarlroot").write_text("")
        for name, text in modules.items():
            (folder / name).write_text(text)
        return folder / "m0.quarl"

    # A map holds at most 256 modules; files may import 256 besides the entry.
    for at_limit, past in ((chain(63), chain(64)), (tree(239), tree(240))):
        assert outcome(lambda: tessel.Template.from_virtual(at_limit, "m0.quarl").compile())[0] == "compiled"
        failed = outcome(lambda: tessel.Template.from_virtual(past, "m0.quarl"))
        assert failed[0] == "error" and failed == outcome(lambda: tessel.compile_virtual(past, "m0.quarl"))
    at_limit, past = on_disk(tree(240)), on_disk(tree(241))
    assert outcome(lambda: tessel.Template.from_file(at_limit).compile()) == outcome(lambda: tessel.compile_file(at_limit))
    assert len(pickle.loads(pickle.dumps(tessel.Template.from_file(at_limit))).modules) == 257  # a snapshot's limit
    failed = outcome(lambda: tessel.Template.from_file(past))
    assert failed[0] == "error" and failed == outcome(lambda: tessel.compile_file(past))
    big = "x" * (10 * 1024 * 1024 + 1)
    assert outcome(lambda: tessel.Template(big)) == outcome(lambda: tessel.compile(big))
    assert outcome(lambda: tessel.Template(big[:-1]).compile()) == outcome(lambda: tessel.compile(big[:-1]))
    with pytest.raises(tessel.QuarlError, match="base_path must be a non-empty string"):
        tessel.Template("x", base_path="")


def test_a_string_entry_imports_from_its_base_path(tmp_path):
    (tmp_path / ".quarlroot").write_text("")
    (tmp_path / "h.quarl").write_text("@define hi():\nhi\n@end\n@export hi\n")
    source = '@import "./h.quarl" as h\n{{ h.hi() }} {{ nope.x }}\n'
    template = tessel.Template(source, base_path=tmp_path)
    assert template.dependencies == [str(tmp_path / "h.quarl")]
    assert outcome(lambda: template.compile({"nope": {"x": 1}})) == \
        outcome(lambda: tessel.compile(source, vars={"nope": {"x": 1}}, base_path=tmp_path))
    (tmp_path / "h.quarl").unlink()
    assert template.compile({"nope": {"x": 2}}).output == "hi 2\n"
    assert template.changed()
