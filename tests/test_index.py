"""The template index: definitions, references, links and ranges across
modules; the inputs as a tree, a schema and a check; properties over the
examples, the docs' templates and the prompt collection."""

import copy
import json
import pickle
import time
from pathlib import Path

import jsonschema
import pytest

import tessel
from tessel._index import walk_inputs

ROOT = Path(__file__).resolve().parents[1]
PROMPTS = ROOT.parent / "shared" / "data" / "prompts"


def place(resolves):
    """A resolution as the tables write it: module:line, builtin, input or none."""
    if resolves is None:
        return "none"
    if "builtin" in resolves:
        return "builtin"
    if "input" in resolves:
        return "input"
    return f"{resolves['module']}:{resolves['line']}"


def facts(ix):
    defs, refs, links = set(), set(), set()
    for module in ix.modules:
        key = module["key"]
        defs |= {f"{d['kind']} {d['name']} {key}:{d['line']}" for d in module["definitions"]}
        refs |= {f"{r['kind']} {r['name']} {key}:{r['line']} -> {place(r['resolves'])}" for r in module["references"]}
        links |= {f"{lk['kind']} {lk['path']} -> {lk['target'] or lk['error']['code']}" for lk in module["links"]}
    return defs, refs, links


LIB = ('---\ntone: calm\n---\n@define shout(x, mark = "!"):\n{{ upper(x) }}{{ mark }} {{ tone }}\n@end\n'
       '@define quiet():\nshh\n@end\n@export shout\n@export quiet\n@export prompt\nLib body\n')

# (modules, entry, definitions, references, links that must be among the index's)
CASES = [
    ("a loop variable hides a global; a parameter hides a module variable",
     {"m.quarl": "---\nx: 1\n---\n@for x in xs:\n{{ x }}\n@end\n@define f(x):\n{{ x }}\n@end\n{{ x }}\n"}, "m.quarl",
     {"variable x m.quarl:2", "loop x m.quarl:4", "function f m.quarl:7", "parameter x m.quarl:7"},
     {"variable x m.quarl:5 -> m.quarl:4", "variable x m.quarl:8 -> m.quarl:7", "variable x m.quarl:10 -> m.quarl:2",
      "variable xs m.quarl:4 -> input"}, set()),
    ("aliases, selective names, members, includes and builtins across modules",
     {"m.quarl": '@import "./lib.quarl" as lib\n@import { quiet } from "./lib.quarl"\n'
                 "{{ lib.shout(name) }} {{ quiet() }} {{ trim(name) }}\n@include lib\n", "lib.quarl": LIB}, "m.quarl",
     {"alias lib m.quarl:1", "import quiet m.quarl:2", "function shout lib.quarl:4", "parameter mark lib.quarl:4",
      "variable tone lib.quarl:2", "export shout lib.quarl:10"},
     {"member lib.shout m.quarl:3 -> lib.quarl:4", "alias lib m.quarl:3 -> m.quarl:1", "call quiet m.quarl:3 -> "
      "lib.quarl:7", "call trim m.quarl:3 -> builtin", "include lib m.quarl:4 -> m.quarl:1",
      "variable tone lib.quarl:5 -> lib.quarl:2", "call upper lib.quarl:5 -> builtin"},
     {"import ./lib.quarl -> lib.quarl", "include lib -> lib.quarl"}),
    ("re-exports resolve to the function's own module",
     {"m.quarl": '@import "./mid.quarl" as mid\n{{ mid.shout("a") }}\n', "mid.quarl": '@export * from "./lib.quarl"\n',
      "lib.quarl": LIB}, "m.quarl", set(), {"member mid.shout m.quarl:2 -> lib.quarl:4"},
     {"export ./lib.quarl -> lib.quarl"}),
    ("a chain: overrides point at the block they replace, variables at the frontmatter that sets them",
     {"base.quarl": "---\ntitle: T\n---\n# {{ title }}\n@block body:\nDefault\n@end\n",
      "child.quarl": '---\ntitle: C\n---\n@extends "./base.quarl"\n@block body:\n{{ title }} {{ who }}\n@end\n'},
     "child.quarl", {"block body child.quarl:5", "block body base.quarl:5", "variable title child.quarl:2"},
     {"block body child.quarl:5 -> base.quarl:5", "variable title child.quarl:6 -> child.quarl:2",
      "variable title base.quarl:4 -> child.quarl:2", "variable who child.quarl:6 -> input"},
     {"extends ./base.quarl -> base.quarl"}),
    ("frontmatter imports, and a link that does not resolve",
     {"m.quarl": '---\nimports:\n  - path: "./lib.quarl"\n    as: lib\n---\n{{ lib.quiet() }}\n',
      "lib.quarl": LIB}, "m.quarl", {"alias lib m.quarl:3"}, {"member lib.quiet m.quarl:6 -> lib.quarl:7"},
     {"frontmatter_import ./lib.quarl -> lib.quarl"}),
]


@pytest.mark.parametrize("name, modules, entry, defs, refs, links", CASES, ids=[c[0] for c in CASES])
def test_definitions_references_and_links(name, modules, entry, defs, refs, links):
    ix = tessel.index_virtual(modules, entry)
    got_defs, got_refs, got_links = facts(ix)
    assert defs <= got_defs, got_defs
    assert refs <= got_refs, got_refs
    assert links <= got_links, got_links
    assert ix.modules[0]["key"] == entry


def inputs(ix):
    return {node["path"]: ("|".join(node["types"]), node["required"], ",".join(node["uses"]))
            for _, node in walk_inputs(ix.inputs)}


SCALAR = "string|number|boolean|null"
# (template, its inputs: path -> (types, required, uses))
INPUTS = [
    ("{{ a }} {{ b.c }}", {"a": (SCALAR, True, "interpolated"), "b": ("object", True, ""),
                           "b.c": (SCALAR, True, "interpolated")}),
    ("@for t in ts:\n{{ t.x }}\n@end\n@for k, v in o:\n{{ k }}{{ v.y }}\n@end\n",
     {"ts": ("array", True, "iterated"), "ts[]": ("object", True, ""), "ts[].x": (SCALAR, True, "interpolated"),
      "o": ("object", True, "iterated"), "o{}": ("object", True, ""), "o{}.y": (SCALAR, True, "interpolated")}),
    ("@if m == \"x\" && n.f:\n{{ n.g }}\n@end\n{{ upper(s) }} {{ join(l, \", \") }}",
     {"m": ("string", True, "compared with a literal"), "n": ("object", True, ""),
      "n.f": ("any", False, "condition"), "n.g": (SCALAR, False, "interpolated"),
      "s": ("string", True, "argument of upper()"), "l": ("array", True, "argument of join()")}),
    # A parameter is followed into the body; a cycle of calls ends.
    ("@define line(item):\n- {{ item.title }}\n@end\n@for i in items:\n{{ line(i) }}\n@end\n"
     "@define f(a):\n{{ g(a) }}\n@end\n@define g(b):\n{{ f(b.x) }}\n@end\n{{ f(v) }}",
     {"items": ("array", True, "iterated"), "items[]": ("object", True, "passed to line()"),
      "items[].title": (SCALAR, True, "interpolated"), "v": ("object", True, "passed to f(),passed to g()"),
      "v.x": ("any", True, "passed to f()")}),
    # Frontmatter variables and what an import binds are not inputs, but can be overridden.
    ("---\ntitle: T\n---\n{{ title }} {{ who }}", {"who": (SCALAR, True, "interpolated")}),
]


@pytest.mark.parametrize("source, expected", INPUTS, ids=[i[0][:30] for i in INPUTS])
def test_inputs(source, expected):
    assert inputs(tessel.index(source)) == expected


def test_overridable_and_the_result_class():
    ix = tessel.index("---\ntitle: T\nn: 1\n---\n{{ title }}{{ n }}")
    assert ix.overridable == ["title", "n"]
    assert pickle.loads(pickle.dumps(ix)) == ix and hash(ix) == hash(copy.copy(ix))
    assert tessel.TemplateIndex(json.loads(ix.to_json())) == ix
    with pytest.raises(AttributeError):
        ix.entry = "x"  # type: ignore[misc]
    with pytest.raises(TypeError):
        tessel.TemplateIndex({"entry": "x"})


# (modules, the failure codes, in order)
FAILURES = [
    ({"m.quarl": "{{ nope(1) }} {{ upper() }} {{ f(1, 2) }}\n@define f(a):\n@end\n"},
     ["quarl::undefined_fn", "quarl::arity", "quarl::arity"]),
    ({"m.quarl": '@import "./gone.quarl" as g\n{{ g.f() }}\n'}, ["quarl::module_not_found"]),
    ({"m.quarl": '@import "./b.quarl" as b\n', "b.quarl": '@import "./m.quarl" as m\n'}, ["quarl::circular_import"]),
    ({"m.quarl": '@import "./b.quarl" as b\n', "b.quarl": "{{ x\n"}, ["quarl::syntax"]),
    ({"m.quarl": '@import "./b.quarl" as b\n{{ b.f() }}', "b.quarl": "{{ undefined_here }}\n"},
     ["quarl::undefined_var"]),
]


@pytest.mark.parametrize("modules, codes", FAILURES)
def test_a_template_that_does_not_check_is_indexed_with_its_failures(modules, codes):
    ix = tessel.index_virtual(modules, "m.quarl")
    assert [f["code"] for f in ix.failures] == codes
    assert ix.modules[0]["key"] == "m.quarl"


@pytest.mark.parametrize("call", [lambda: tessel.index("@if x:\n"), lambda: tessel.index_file("/no/such.quarl"),
                                  lambda: tessel.index_virtual({}, "m.quarl")])
def test_an_entry_that_does_not_parse_or_read_fails(call):
    with pytest.raises(tessel.QuarlError):
        call()


def test_ranges_fold_every_block():
    ix = tessel.index("---\na: 1\n---\n@if a:\n@for x in a:\nx\n@end\n@end\n@message user:\nhi\n@end\n")
    assert [(r["kind"], r["line"], r["length"]) for r in ix.modules[0]["ranges"]] == [
        ("frontmatter", 1, 12), ("if", 4, 31), ("for", 5, 19), ("message", 9, 22)]


# ---- the schema and the check ------------------------------------------------------------

EXAMPLES = [
    ("system_prompt.quarl", {"customer": {"name": "Ada Lovelace", "since": 2019}}),
    ("chat.quarl", {"facts": ["a", "b"], "history": [{"role": "user", "text": "Hi"}], "question": "Q?"}),
    ("release_notes.quarl", {"version": "2.4", "date": "2026-12-01", "changes": ["x"], "known_issues": ["y"]}),
]


def without(variables, path):
    """`variables` with the value at `path` (a list of keys and indexes) removed."""
    copied = copy.deepcopy(variables)
    holder = copied
    for key in path[:-1]:
        holder = holder[key]
    del holder[path[-1]]
    return copied


def required_paths(nodes, value, prefix=()):
    """The paths of `value` the inputs require, as key lists."""
    for node in nodes:
        if node["name"] == "[]" and isinstance(value, list):
            for i, element in enumerate(value):
                yield from required_paths(node["children"], element, prefix + (i,))
        elif isinstance(value, dict) and node["name"] in value and node["required"]:
            yield prefix + (node["name"],)
            yield from required_paths(node["children"], value[node["name"]], prefix + (node["name"],))


@pytest.mark.parametrize("name, variables", EXAMPLES)
def test_the_schema_accepts_what_an_example_compiles_with_and_no_less(name, variables):
    path = ROOT / "examples" / name
    tessel.compile_file(path, vars=variables)
    ix = tessel.index_file(path)
    validator = jsonschema.Draft202012Validator(ix.schema())
    jsonschema.Draft202012Validator.check_schema(ix.schema())
    assert validator.is_valid(variables) and ix.check_vars(variables) == []
    paths = list(required_paths(ix.inputs, variables))
    assert paths or name == "system_prompt.quarl"  # its one variable has a frontmatter default
    for missing in paths:
        reduced = without(variables, missing)
        assert not validator.is_valid(reduced), missing
        assert ix.check_vars(reduced), missing
    for _, node in walk_inputs(ix.inputs):
        if "interpolated" in node["uses"] and node["path"] in variables:
            mistyped = {**variables, node["path"]: ["an array"]}
            assert not validator.is_valid(mistyped) and ix.check_vars(mistyped)


def test_check_vars_reports_every_path_at_once():
    ix = tessel.index("{{ a }}\n@for t in ts:\n{{ upper(t.s) }}\n@end\n")
    problems = ix.check_vars({"ts": [{"s": 1}, {}]})
    assert [(p["path"], p["message"], p["line"]) for p in problems] == [
        ("a", "missing: string or number or boolean or null (interpolated)", 1),
        ("ts[0].s", "expected string, got number", 3),
        ("ts[1].s", "missing: string (argument of upper())", 3)]


def corpus():
    """(path, the variables it compiles with) of every example and collection prompt."""
    examples = dict(EXAMPLES)
    for path in sorted((ROOT / "examples").glob("*.quarl")):
        yield path, examples.get(path.name, {})
    if PROMPTS.is_dir():
        for path in sorted(PROMPTS.iterdir()):
            yield path, {}


def test_properties_over_the_examples_and_the_prompt_collection():
    """Every reference's span covers its name; the index and lint's unused
    rules agree on what is used."""
    indexed = 0
    for path, variables in corpus():
        text = path.read_text(encoding="utf-8", errors="replace")
        try:
            ix = tessel.index_file(path) if path.suffix == ".quarl" else tessel.index(text)
        except tessel.QuarlError:
            continue  # plain text that does not parse as a template
        indexed += 1
        for module in ix.modules:
            source = (Path(module["key"]).read_text(encoding="utf-8") if module["key"] != "<source>" else text)
            data = source.encode()
            for ref in module["references"]:
                written = data[ref["offset"]:ref["offset"] + ref["length"]].decode()
                assert written == ref["name"] or written.replace(" ", "") == ref["name"], (path, ref)
        if ix.failures:
            continue
        entry = ix.modules[0]
        used = {place(r["resolves"]) + r["name"] for r in entry["references"]}
        try:
            lint = tessel.lint_file(path, vars=variables) if path.suffix == ".quarl" else tessel.lint(text)
        except tessel.QuarlError:
            continue  # reads a caller's variable the collection does not give
        unused = {(d.rule, d.span.line) for f in lint.files for d in f.diagnostics if d.rule.startswith("unused-")}
        for d in entry["definitions"]:
            if d["kind"] in ("function", "variable"):
                # An @export of a function is a reference to it.
                referenced = f"{entry['key']}:{d['line']}{d['name']}" in used
                rule = "unused-function" if d["kind"] == "function" else "unused-variable"
                assert referenced != ((rule, d["line"]) in unused), (path, d)
    assert indexed >= 3


def test_limits_and_linear_time(tmp_path):
    """A 256-module project and a 1 MB template index; the time grows with the size, not faster."""
    for count, codes in ((256, []), (257, ["quarl::resource_limit"])):
        folder = tmp_path / str(count)
        folder.mkdir()
        (folder / ".quarlroot").write_text("")
        (folder / "m.quarl").write_text("".join(f'@import "./l{i}.quarl" as l{i}\n' for i in range(count)))
        for i in range(count):
            (folder / f"l{i}.quarl").write_text("@define f():\nx\n@end\n")
        ix = tessel.index_file(folder / "m.quarl")
        assert [f["code"] for f in ix.failures] == codes
        assert len(ix.modules) == min(count, 256) + 1

    def seconds(copies):
        line = "@for t in ts:\n{{ t.a }} {{ upper(name) }}\n@end\n"
        source = line * copies
        start = time.perf_counter()
        tessel.index(source)
        return time.perf_counter() - start, len(source)

    small, small_size = seconds(2200)
    large, large_size = seconds(22000)
    assert large_size > 1_000_000
    assert large < 25 * small * (large_size / small_size) / 10 + 0.5
