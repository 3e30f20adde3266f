"""The module functions: argument binding, limits, option rules, conversions."""

from collections import OrderedDict
from collections.abc import Mapping, Sequence
import sys

import pytest

import tessel
from tessel import QuarlError

MAX = 10_485_760

def raises(error_type, call, *args, **kwargs):
    with pytest.raises(error_type) as info:
        call(*args, **kwargs)
    return info.value


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: tessel.compile(), "compile() missing required argument 'source' (pos 1)"),
        (lambda: tessel.compile("a", "b"), "compile() takes exactly 1 positional argument (2 given)"),
        (lambda: tessel.compile("a", nope=1), "'nope' is an invalid keyword argument for compile()"),
        (lambda: tessel.compile(1), "compile() argument 'source' must be str, not int"),
        (lambda: tessel.compile("a", source="b"), "argument for compile() given by name ('source') and position (1)"),
        (lambda: tessel.compile("a", source_map=1), "compile() argument 'source_map' must be bool, not int"),
        (lambda: tessel.compile("a", sources_content="yes"), "compile() argument 'sources_content' must be bool, not str"),
        (lambda: tessel.check("a", source_map=0), "check() argument 'source_map' must be bool or None, not int"),
        (lambda: tessel.compile_virtual({}, 1), "compile_virtual() argument 'entry' must be str, not int"),
        (lambda: tessel.compile_virtual({}), "compile_virtual() missing required argument 'entry' (pos 2)"),
        (lambda: tessel.compile_file(b"x.quarl"), "compile_file() argument 'path' must be str or os.PathLike of str, not bytes"),
        (lambda: tessel.scan_imports(source="x"), "scan_imports() got some positional-only arguments passed as keyword arguments: 'source'"),
        (lambda: tessel.scan_imports("x", "y"), "scan_imports() takes exactly 1 positional argument (2 given)"),
        (lambda: tessel.check_file("x", vars=None, extra=1), "'extra' is an invalid keyword argument for check_file()"),
    ],
)
def test_binding_errors_are_type_errors(call, message):
    assert str(raises(TypeError, call)) == message


def growing_dict():
    """A dict that gains a key whenever one of its values converts."""
    grown = {}

    class Grower(Sequence):
        def __len__(self):
            if len(grown) < 100_000:  # stops, so that an unbounded conversion ends too
                grown[f"k{len(grown)}"] = Grower()
            return 0

        def __getitem__(self, index):
            raise IndexError(index)

    grown["k"] = Grower()
    return grown


INEXACT = " cannot be held exactly by a number (integers are exact up to 2**53); pass it as a string"


def binding_error(code, message):
    def check(error):
        assert (error.code, error.message, error.help, error.span) == (code, message, None, None)
        assert str(error) == message

    return check


@pytest.mark.parametrize(
    ("call", "code", "message"),
    [
        (lambda: tessel.compile("x" * (MAX + 1)), "quarl::resource_limit",
         f"source exceeds maximum size of {MAX} bytes ({MAX + 1} bytes provided)"),
        (lambda: tessel.check("é" * (MAX // 2 + 1)), "quarl::resource_limit",
         f"source exceeds maximum size of {MAX} bytes ({MAX + 2} bytes provided)"),
        (lambda: tessel.scan_imports("x" * (MAX + 1)), "quarl::resource_limit",
         f"source exceeds maximum size of {MAX} bytes ({MAX + 1} bytes provided)"),
        (lambda: tessel.compile("x", base_path=""), "quarl::invalid_options", "base_path must be a non-empty string"),
        (lambda: tessel.check("x", base_path=""), "quarl::invalid_options", "base_path must be a non-empty string"),
        (lambda: tessel.compile("x", sources_content=True), "quarl::invalid_options",
         'option "sources_content" requires "source_map" to be True'),
        (lambda: tessel.compile_file("nope.quarl", sources_content=True, source_map=False),
         "quarl::invalid_options", 'option "sources_content" requires "source_map" to be True'),
        (lambda: tessel.check("x", source_map=False), "quarl::invalid_options",
         "source maps are not available for check(); use compile() instead"),
        (lambda: tessel.compile("x", frontmatter="Drop"), "quarl::invalid_options",
         'frontmatter must be "keep" or "drop", got \'Drop\''),
        (lambda: tessel.compile_virtual({"m.quarl": "x"}, "m.quarl", frontmatter=None), "quarl::invalid_options",
         'frontmatter must be "keep" or "drop", got None'),
        (lambda: tessel.check("x", sources_content=True), "quarl::invalid_options",
         "source maps are not available for check(); use compile() instead"),
        (lambda: tessel.compile("x", vars=[1]), "quarl::invalid_options", "options.vars must be a plain object, got array"),
        (lambda: tessel.compile("x", vars="text"), "quarl::invalid_options", "options.vars must be a plain object, got string"),
        (lambda: tessel.compile("x", vars={1: "a"}), "quarl::invalid_options", "invalid vars: mapping keys must be str, not int"),
        (lambda: tessel.compile("x", vars={"a": {1, 2}}), "quarl::invalid_options", "invalid vars: unsupported type 'set' at a"),
        # Every failure of a value names where it was, as the caller would index it.
        (lambda: tessel.compile("x", vars={"items": [1, {"data": b"x"}]}), "quarl::invalid_options",
         "invalid vars: unsupported type 'bytes' at items[1].data"),
        (lambda: tessel.compile("x", vars={"a": [{"b c": {2: 3}}]}), "quarl::invalid_options",
         'invalid vars: mapping keys must be str, not int at a[0]["b c"]'),
        (lambda: tessel.compile("x", vars={"a": 10**400}), "quarl::invalid_options",
         "invalid vars: the integer at a" + INEXACT),
        # Records of one shape, then their lists and tuples: the place is named through each.
        (lambda: tessel.compile("x", vars={"a": [{"n": 1}, {"n": 2**53 + 1}]}), "quarl::invalid_options",
         "invalid vars: the integer at a[1].n" + INEXACT),
        (lambda: tessel.compile("x", vars={"we ird": ({"id": -(2**63) - 1},)}), "quarl::invalid_options",
         'invalid vars: the integer at ["we ird"][0].id' + INEXACT),
        (lambda: tessel.compile("x", vars={'a"b\\': 2**64 + 1}), "quarl::invalid_options",
         'invalid vars: the integer at ["a\\"b\\\\"]' + INEXACT),
        (lambda: tessel.compile("x", vars={"id": 1234567890123456789}), "quarl::invalid_options",
         "invalid vars: the integer at id" + INEXACT),
        (lambda: tessel.compile("x", vars={"v": 2**64 - 1}), "quarl::invalid_options", "invalid vars: the integer at v" + INEXACT),
        (lambda: tessel.compile("x", vars={"a": "\ud800"}), "quarl::invalid_options",
         "invalid vars: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        (lambda: tessel.compile_virtual({"m.quarl": 1}, "m.quarl"), "quarl::invalid_options",
         'modules["m.quarl"] must be a string, got number'),
        (lambda: tessel.compile_virtual(["m.quarl"], "m.quarl"), "quarl::invalid_options",
         "modules must be a mapping of str to str, got array"),
        (lambda: tessel.compile_virtual({1: "x"}, "m.quarl"), "quarl::invalid_options",
         "invalid modules: mapping keys must be str, not int"),
        (lambda: tessel.check_virtual({'a"\\\n': 5}, "m"), "quarl::invalid_options",
         'modules["a\\"\\\\\\n"] must be a string, got number'),
        (lambda: tessel.compile("x", vars={"v": range(10**18)}), "quarl::invalid_options",
         "invalid vars: 'range' object is too large to convert (1000000000000000000 items)"),
        (lambda: tessel.compile("x", vars=growing_dict()), "quarl::invalid_options",
         "invalid vars: dictionary changed size during conversion"),
        (lambda: tessel.compile("x", base_path="/tmp\0/x"), "quarl::io",
         "cannot resolve base directory /tmp\0/x: embedded null byte"),
    ]
    + [
        (call, "quarl::invalid_options",
         f"invalid {name}: 'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed")
        for name, call in [
            ("source", lambda: tessel.compile("a\ud800")),
            ("source", lambda: tessel.check("a\ud800")),
            ("source", lambda: tessel.scan_imports("a\ud800")),
            ("entry", lambda: tessel.compile_virtual({"a": "x"}, "a\ud800")),
            ("base_path", lambda: tessel.check("x", base_path="/\ud800")),
            ("path", lambda: tessel.compile_file("/\ud800.quarl")),
        ]
    ],
)
def test_option_rules(call, code, message):
    binding_error(code, message)(raises(QuarlError, call))


def test_source_size_limit_at_the_limit():
    assert tessel.compile("x" * MAX).output == "x" * MAX + "\n"


def test_map_options_that_agree_pass():
    assert tessel.check("x", source_map=None, sources_content=None).warnings == []
    assert tessel.compile("x", source_map=True, sources_content=True).output == "x\n"


def test_module_limits():
    at_limit = {f"m{i}.quarl": "x" for i in range(256)}
    assert tessel.compile_virtual(at_limit, "m0.quarl").output == "x\n"
    # The count is checked before anything is converted.
    too_many = {f"m{i}.quarl": object() for i in range(257)}
    binding_error("quarl::resource_limit", "modules exceeds maximum module count of 256 (257 provided)")(
        raises(QuarlError, tessel.compile_virtual, too_many, "m0.quarl")
    )

    class Modules(Mapping):
        def __init__(self, n):
            self.keys_ = [f"m{i}.quarl" for i in range(n)]

        def __getitem__(self, key):
            return "x"

        def __iter__(self):
            return iter(self.keys_)

        def __len__(self):
            return len(self.keys_)

    assert tessel.compile_virtual(Modules(256), "m0.quarl").output == "x\n"
    binding_error("quarl::resource_limit", "modules exceeds maximum module count of 256 (257 provided)")(
        raises(QuarlError, tessel.check_virtual, Modules(257), "m0.quarl")
    )


def test_module_sizes():
    six = "x" * (6 * 1024 * 1024)
    binding_error("quarl::resource_limit", f"modules aggregate size exceeds maximum of {MAX} bytes")(
        raises(QuarlError, tessel.compile_virtual, {"a.quarl": six, "b.quarl": six}, "a.quarl")
    )
    binding_error("quarl::resource_limit", f'modules["a.quarl"] exceeds maximum size of {MAX} bytes ({MAX + 1} bytes provided)')(
        raises(QuarlError, tessel.compile_virtual, {"a.quarl": "x" * (MAX + 1)}, "a.quarl")
    )
    assert tessel.check_virtual({"a.quarl": "x" * (MAX - 1), "b.quarl": "y"}, "a.quarl").warnings == []


@pytest.mark.parametrize(
    ("vars", "output"),
    [
        ({"v": 2**63}, "9223372036854775808"),
        ({"v": -(2**63)}, "-9223372036854775808"),
        # Integers a number holds exactly, however large.
        ({"v": 2**64}, "18446744073709551616"),
        ({"v": [2**53, -(2**53), 2**53 + 2]}, "9007199254740992, -9007199254740992, 9007199254740994"),
        ({"v": 2**100}, "1267650600228229401496703205376"),
        ({"v": 1.5}, "1.5"),
        ({"v": True}, "true"),
        ({"v": None}, ""),
        ({"v": (1, [2, (3,)])}, "1, 2, 3"),
        ({"v": OrderedDict(b=1, a=2)}, "a: 2, b: 1"),
        ({"v": range(3)}, "0, 1, 2"),
        (OrderedDict(v="from an ordered dict"), "from an ordered dict"),
        # Records of one shape after another, in key order whatever their own order.
        ({"v": [{"b": 1, "a": 2}, {"b": 3, "a": 4}, {"a": 5, "b": 6}, {"b": 7}, {"b": 8, "a": [9]}]},
         "a: 2, b: 1, a: 4, b: 3, a: 5, b: 6, b: 7, a: 9, b: 8"),
    ],
)
def test_vars_conversion(vars, output):
    source = "{{ string(v) }}"
    assert tessel.compile(source, vars=vars).output == (output + "\n" if output else "")


def test_self_referencing_and_deep_values_are_errors():
    cyclic = []
    cyclic.append(cyclic)
    error = raises(QuarlError, tessel.compile, "x", vars={"a": cyclic})
    assert error.code == "quarl::invalid_options"
    # The interpreter's recursion limit, or the converter's own bound where
    # the interpreter counts C recursion against a larger limit (3.13).
    assert error.message.startswith(
        ("invalid vars: maximum recursion depth exceeded", "invalid vars: nesting is deeper than 2000 levels"))
    looped = {}
    looped["self"] = looped
    assert raises(QuarlError, tessel.compile, "x", vars=looped).code == "quarl::invalid_options"
    deep = "leaf"
    for _ in range(100):
        deep = [deep]
    # Within the recursion limit the conversion works; the core refuses the depth.
    error = raises(QuarlError, tessel.compile, "x", vars={"a": deep})
    assert (error.code, error.message) == ("quarl::json", "JSON parse error: value nesting exceeds maximum depth of 64")


@pytest.mark.parametrize("levels, code, message", [
    (2000, "quarl::json", "JSON parse error: value nesting exceeds maximum depth of 64"),
    (2001, "quarl::invalid_options", "invalid vars: nesting is deeper than 2000 levels"),
])
def test_the_converter_bounds_nesting_whatever_the_recursion_limit(levels, code, message):
    """2000 levels of caller values convert (the compiler then refuses them);
    2001 do not, even where the interpreter would let the conversion recurse."""
    deep = "leaf"
    for _ in range(levels - 1):  # the vars mapping is the first level
        deep = [deep]
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(50_000)
    try:
        error = raises(QuarlError, tessel.compile, "x", vars={"a": deep})
    finally:
        sys.setrecursionlimit(limit)
    if error.message.startswith("invalid vars: maximum recursion depth exceeded"):
        pytest.skip("this interpreter bounds C recursion below 2000 levels, whatever its recursion limit")
    assert (error.code, error.message) == (code, message)


def test_a_list_emptied_while_it_converts():
    outer = []

    class Emptier(Sequence):
        def __getitem__(self, index):
            if index:
                raise IndexError(index)
            outer.clear()
            return "gone"

        def __len__(self):
            return 1

    outer.extend([Emptier(), "a", "b"])
    # The first element is read, then the list has nothing more to give.
    assert tessel.compile("{{ string(v) }}", vars={"v": outer}).output == "gone\n"


def test_a_mapping_whose_items_fail_is_an_error():
    class Broken(Mapping):
        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(["k"])

        def __len__(self):
            return 1

    error = raises(QuarlError, tessel.compile, "x", vars=Broken())
    assert error.message == "invalid vars: 'k'"


def test_core_errors_carry_their_span():
    error = raises(QuarlError, tessel.compile, "line one\n  {{ missing }}")
    assert error.code == "quarl::undefined_var"
    assert error.message == str(error) == "undefined variable 'missing'"
    assert error.help == "define 'missing' in frontmatter or imports"
    assert error.span == tessel.Span(14, 7, 2, 6)
    assert list(error.__dict__) == ["code", "message", "help", "span", "source", "notes"]
    error = raises(QuarlError, tessel.check, "{{ open")
    assert (error.code, error.span) == ("quarl::syntax", tessel.Span(0, 2, 1, 1))
    error = raises(QuarlError, tessel.compile_virtual, {}, "entry.quarl")
    assert (error.code, error.message, error.span) == (
        "quarl::module_not_found", "module 'entry.quarl' is not in the virtual module map", None)


def test_files(tmp_path):
    path = tmp_path / "hello.quarl"
    path.write_text("Hello {{ who }}\n", encoding="utf-8")
    assert tessel.compile_file(path, vars={"who": "file"}).output == "Hello file\n"
    assert tessel.compile_file(str(path), vars={"who": "str"}).output == "Hello str\n"
    assert tessel.check_file(path, vars={"who": 1}).warnings == []
    error = raises(QuarlError, tessel.compile_file, tmp_path / "missing.quarl")
    assert error.code == "quarl::file_not_found"
    (tmp_path / "notes.txt").write_text("x")
    assert raises(QuarlError, tessel.check_file, tmp_path / "notes.txt").code == "quarl::not_quarl"


def test_base_path_and_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert tessel.compile("x", base_path=None).output == "x\n"
    assert tessel.compile("x", base_path=tmp_path).output == "x\n"
    error = raises(QuarlError, tessel.compile, "x", base_path=tmp_path / "missing")
    assert error.code == "quarl::io"
    assert error.message.startswith(f"cannot resolve base directory {tmp_path / 'missing'}: ")


def test_messages_and_source_map_warning():
    result = tessel.compile("@message system:\nHi\n@end\n", source_map=True)
    assert result.kind == "messages" and result.output is None and result.source_map is None
    assert [m.to_dict() for m in result.messages] == [{"role": "system", "content": "Hi"}]
    assert result.warnings == [
        "source maps are not supported for messages-mode templates (@message blocks); no source map will be generated"
    ]


@pytest.mark.parametrize("source, frontmatter, output", [
    ("---\ntitle: T\n---\nHi {{ title }}\n", "keep", "---\ntitle: T\n---\nHi T\n"),
    ("---\ntitle: T\n---\nHi {{ title }}\n", "drop", "Hi T\n"),
    ("@message user:\nHi\n@end\n", "drop", None),  # messages have no frontmatter to drop
])
def test_frontmatter_kept_or_dropped(source, frontmatter, output, tmp_path):
    (tmp_path / "t.quarl").write_text(source)
    for result in (tessel.compile(source, frontmatter=frontmatter),
                   tessel.compile_file(tmp_path / "t.quarl", frontmatter=frontmatter),
                   tessel.compile_virtual({"t.quarl": source}, "t.quarl", frontmatter=frontmatter)):
        assert result.output == output


def test_scan_imports():
    source = (
        '---\nimports:\n  - path: ./a.quarl\n---\n@extends "./base.quarl"\n'
        '@block b:\n@end\n'
    )
    assert tessel.scan_imports(source) == ["./base.quarl", "./a.quarl"]
    assert tessel.scan_imports("no imports") == []
    assert raises(QuarlError, tessel.scan_imports, "@if").code == "quarl::syntax"


def fixed(source, **options):
    """`source` with the fix edits of its lint findings applied to its UTF-8 bytes."""
    data = source.encode()
    edits = [edit for found in tessel.lint(source, **options).files[0].diagnostics for edit in found.fix_edits or []]
    for edit in sorted(edits, key=lambda e: e["start"], reverse=True):
        data = data[:edit["start"]] + edit["new_text"].encode() + data[edit["end"]:]
    return data.decode()


@pytest.mark.parametrize("call, expected", [
    (lambda: tessel.compile("\ufeff---\nname: Ada\n---\nHi {{ name }}\n").output, "---\nname: Ada\n---\nHi Ada\n"),
    (lambda: tessel.compile("\ufeffHi\ufeff").output, "Hi\ufeff\n"),  # only a leading mark is not content
    # Offsets, columns and fix edits count in the text as given, the mark included.
    (lambda: raises(QuarlError, tessel.check, "\ufeff{{ x }}").span, tessel.Span(6, 1, 1, 5)),
    (lambda: fixed("\ufeffHello {name} th\u00e9re\n", vars={"name": "Ada"}), "\ufeffHello {{name}} th\u00e9re\n"),
    (lambda: tessel.compile_virtual({"m.quarl": '\ufeff@import "./h.quarl"\n{{ f() }}',
                                     "h.quarl": "\ufeff@define f():\nok\n@end\n"}, "m.quarl").output, "ok\n"),
    (lambda: tessel.scan_imports("\ufeff---\nimports:\n  - path: ./a.quarl\n---\n"), ["./a.quarl"]),
])
def test_a_byte_order_mark_starts_no_text(call, expected):
    assert call() == expected


def test_a_marked_markdown_file_with_a_byte_order_mark_is_a_template(tmp_path):
    (tmp_path / "page.md").write_bytes(b"\xef\xbb\xbf---\ntype: quarl\nname: Ada\n---\n{{ name }}\n")
    result = tessel.compile_file(tmp_path / "page.md", source_map=True, sources_content=True)
    assert result.output == "---\nname: Ada\n---\nAda\n"
    assert result.source_map["sourcesContent"] == ["\ufeff---\ntype: quarl\nname: Ada\n---\n{{ name }}\n"]


@pytest.mark.parametrize("path", [".", "sub/..", "sub/.", "sub"])
def test_a_folder_is_not_a_template(path, tmp_path, monkeypatch):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    error = raises(QuarlError, tessel.compile_file, path)
    assert (error.code, error.message.endswith(": Is a directory")) == ("quarl::io", True)


FRONTMATTER_ERROR = "---\na: [\n---\n"


@pytest.mark.parametrize("item, source, options, expected", [
    (lambda: raises(QuarlError, tessel.compile, "---\naudience: x\n---\nHi {{ audiance }}\n"),
     "---\naudience: x\n---\nHi {{ audiance }}\n", {"path": "p.quarl"},
     "p.quarl:4:7: error[quarl::undefined_var]: undefined variable 'audiance'\n 4 | Hi {{ audiance }}\n"
     "   |       ^^^^^^^^\nhelp: define 'audiance' in frontmatter or imports\nnote: did you mean 'audience'?\n"),
    (lambda: raises(QuarlError, tessel.compile, "{{ x }}"), None, {},
     "<source>:1:4: error[quarl::undefined_var]: undefined variable 'x'\nhelp: define 'x' in frontmatter or imports\n"),
    (lambda: raises(QuarlError, tessel.compile, "{{ x }}"), b"{{ x }}", {"color": True},
     "\x1b[1m<source>:1:4:\x1b[0m \x1b[1;31merror[quarl::undefined_var]:\x1b[0m \x1b[1mundefined variable 'x'\x1b[0m\n"
     "\x1b[34m 1 |\x1b[0m {{ x }}\n\x1b[34m   |\x1b[0m    \x1b[1;31m^\x1b[0m\n\x1b[1;36mhelp:\x1b[0m define 'x' in "
     "frontmatter or imports\n"),
    # A frontmatter's error has no span: its message says where, in the module's own lines.
    (lambda: raises(QuarlError, tessel.compile, FRONTMATTER_ERROR), FRONTMATTER_ERROR, {},
     "<source>:3:1: error[quarl::yaml]: YAML parse error: while parsing a flow node, did not find expected node content at "
     "line 3, column 1\n 3 | ---\n   | ^\n"),
    (lambda: tessel.lint("Hi {name}\n", vars={"name": "a"}).files[0].diagnostics[0], "Hi {name}\n", {},
     "<source>:1:4: warn[legacy-interpolation]: legacy single-brace interpolation `{name}` \u2014 use `{{name}}` "
     "(double braces)\n 1 | Hi {name}\n   |    ^^^^^^\nhelp: Run `quarl lint --fix` to migrate to `{{x}}` syntax "
     "automatically.\n"),
])
def test_diagnostics_render_as_the_command_line_shows_them(item, source, options, expected):
    assert tessel.render_diagnostic(item(), source, **options) == expected
