"""Source maps, read back by an independent consumer (the `sourcemap` package)."""
import json
import warnings

import pytest
import sourcemap

import tessel

LIB = "@define greet(name):\n  Hello, **{{ name }}**!\n@end\nLibrary text with \u00e9 and \U0001F600.\n"
BASE = "Base top \u00e9\n@block body:\nBase body\n@end\n@block footer:\nBase footer\n@end\nBase bottom\n"
MID = '@extends "./base.quarl"\n@block footer:\nMid footer {{ title }}\n@end\n'
CHILD = '---\ntitle: T\n---\n@extends "./mid.quarl"\n@block body:\nChild {{ title }} \U0001F600 body\n@end\n'

# (title, modules, entry or None for a string compile of modules["main"],
#  expected sources, source lines some token must point into)
CASES = [
    ("plain text", {"main": "Just text.\nTwo lines.\n"}, None, ["input.quarl"], {("input.quarl", 0), ("input.quarl", 1)}),
    ("a lone carriage return, dropped from the output", {"main": "ab\rcd {{ x }} ef\rgh\n"}, None, ["input.quarl"], set()),
    ("a byte order mark, counted in columns and kept in the contents",
     {"main": "\ufeff---\ntitle: T\n---\nA {{ title }} \u00e9 z\n"}, None, ["input.quarl"], {("input.quarl", 3)}),
    ("a byte order mark before text", {"main": "\ufeffHello {{ x }}\n"}, None, ["input.quarl"], {("input.quarl", 0)}),
    ("interpolations and an escaped brace", {"main": "a {{ x }} b \\{{ c {{ x }}\n"}, None, ["input.quarl"], set()),
    ("CRLF source", {"main": "one {{ x }}\r\ntwo\r\n\r\nthree\r\n"}, None, ["input.quarl"], set()),
    ("non-ASCII and astral characters on one line",
     {"main": "\u00e9\U0001F600 {{ x }} \u4e2d\U0001F680 {{ x }} end\n"}, None, ["input.quarl"], set()),
    ("lines of every length, non-ASCII characters anywhere in them",
     {"main": "".join(("\u00e9" if i % 3 == 0 else "") + "x" * i + ("\U0001F600" if i % 4 == 1 else "") + " {{ x }} y\n"
                      for i in range(40))}, None, ["input.quarl"], {("input.quarl", 39)}),
    ("frontmatter passed through", {"main": "---\ntitle: T\nn: 2\n---\nTitle {{ title }}\n"}, None, ["input.quarl"], set()),
    ("nested function calls in interpolations",
     {"main": "@define inner(v):\n  <{{ v }}>\n@end\n@define outer(v):\n\n  [{{ inner(v) }}]  \n@end\n"
              "A {{ outer(x) }} B {{ upper(outer(x)) }}\n"}, None, ["input.quarl"], set()),
    ("a loop", {"main": "@for i in items:\n- item {{ i }}, \u00e9\n@end\n"}, None, ["input.quarl"], set()),
    ("include and an imported function",
     {"main.quarl": '@import "./lib.quarl" as lib\n{{ lib.greet("Ada") }}\n@include lib\nafter\n', "lib.quarl": LIB},
     "main.quarl", ["main.quarl", "lib.quarl"], {("lib.quarl", 1), ("lib.quarl", 3), ("main.quarl", 3)}),
    ("a three-level extends chain",
     {"child.quarl": CHILD, "mid.quarl": MID, "base.quarl": BASE}, "child.quarl",
     ["child.quarl", "mid.quarl", "base.quarl"], {("child.quarl", 5), ("mid.quarl", 2), ("base.quarl", 7)}),
]

VARS = {"x": "value \u00e9", "items": [1, 2, 3]}


def code_points(row, column):
    """The code point index of UTF-16 column `column` of `row`."""
    units = 0
    for index, char in enumerate(row):
        if units >= column:
            return index
        units += 2 if ord(char) > 0xFFFF else 1
    return len(row)


def row_of(text, line):
    lines = text.split("\n")
    return lines[line] + "\n" if line < len(lines) - 1 else lines[line] if line < len(lines) else None


def check_map(result):
    """Every token points from an output character at the source character
    that made it; a token of copied text, at each of its characters in turn,
    up to the next token on its line."""
    document = result.source_map
    assert document["version"] == 3 and document["names"] == []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        index = sourcemap.loads(json.dumps(document))
    contents = dict(zip(document["sources"], document["sourcesContent"]))
    tokens = sorted(index, key=lambda t: (t.dst_line, t.dst_col))
    assert tokens
    for token, following in zip(tokens, tokens[1:] + [None]):
        out_row, source_row = row_of(result.output, token.dst_line), row_of(contents[token.src], token.src_line)
        out_at, source_at = code_points(out_row, token.dst_col), code_points(source_row, token.src_col)
        out, source = out_row[out_at:out_at + 1], source_row[source_at:source_at + 1]
        # An interpolation's value points at its "{{", an escaped brace's
        # "{{" at its backslash, a line end at the carriage return before
        # it (which the output dropped); the rest is text that points at itself.
        assert out == source or (out, source) in {("{", "\\"), ("\n", "\r")} or source == "{", (token, out, source)
        if source in ("{", "\\", "\r"):
            continue
        same_line = following is not None and following.dst_line == token.dst_line
        # (The output's last line feed is its own, not the text's.)
        end = code_points(out_row, following.dst_col) if same_line else len(out_row.rstrip("\n"))
        copied, original = out_row[out_at:end], source_row[source_at:source_at + end - out_at]
        # The output drops carriage returns: a line's "\r\n" is its "\n".
        assert copied == original or copied == original.replace("\r\n", "\n", 1)[:len(copied)], (token, copied, original)
    return tokens


@pytest.mark.parametrize("title, modules, entry, sources, lines", CASES, ids=[c[0] for c in CASES])
def test_maps_point_at_what_produced_the_output(title, modules, entry, sources, lines):
    if entry is None:
        result = tessel.compile(modules["main"], vars=VARS, source_map=True, sources_content=True)
    else:
        result = tessel.compile_virtual(modules, entry, vars=VARS, source_map=True, sources_content=True)
    assert result.source_map["sources"] == sources
    # The contents are the texts as given (a byte order mark included), which
    # the columns count in.
    assert result.source_map["sourcesContent"] == [modules["main" if entry is None else name] for name in sources]
    assert not [w for w in result.warnings if "source map" in w]
    tokens = check_map(result)
    # Every source that wrote text into the output is pointed at, an
    # included body and the blocks of a chain included.
    assert {token.src for token in tokens} == set(sources)
    assert lines <= {(token.src, token.src_line) for token in tokens}


def test_files_are_named_relative_to_the_project_root(tmp_path):
    (tmp_path / ".quarlroot").write_text("")
    (tmp_path / "parts").mkdir()
    (tmp_path / "parts" / "lib.quarl").write_text(LIB, encoding="utf-8")
    (tmp_path / "main.quarl").write_text('@import "./parts/lib.quarl" as lib\n@include lib\n{{ x }}\n',
                                         encoding="utf-8")
    result = tessel.compile_file(str(tmp_path / "main.quarl"), vars=VARS, source_map=True, sources_content=True)
    assert result.source_map["sources"] == ["main.quarl", "parts/lib.quarl"]
    check_map(result)


@pytest.mark.parametrize("frontmatter", ["keep", "drop"])
def test_a_dropped_frontmatter_moves_the_map_with_the_output(frontmatter):
    """The map points at the same source bytes whether the block is in front
    of the output or not; dependencies are the same."""
    modules = {"main.quarl": "---\ntitle: T\nimports:\n  - path: ./lib.quarl\n---\n{{ title }} {{ greet(x) }}\nend\n",
               "lib.quarl": LIB}
    result = tessel.compile_virtual(modules, "main.quarl", vars=VARS, source_map=True, sources_content=True,
                                    frontmatter=frontmatter)
    assert result.output.startswith("---\ntitle: T\n---\n") == (frontmatter == "keep")
    assert result.dependencies == ["lib.quarl"]
    tokens = check_map(result)
    body_line = 3 if frontmatter == "keep" else 0
    assert (tokens[0].dst_line, tokens[0].src, tokens[0].src_line) == (body_line, "main.quarl", 5)


def test_contents_only_when_asked():
    assert "sourcesContent" not in tessel.compile("a {{ x }}", vars=VARS, source_map=True).source_map
    assert tessel.compile("a", source_map=True, sources_content=True).source_map["sourcesContent"] == ["a"]
    assert tessel.compile("a").source_map is None


# A million segments: ten a line, a thousand lines a hundred times.
MILLION = ("---\na: [" + ", ".join(map(str, range(100))) + "]\nb: [" + ", ".join(map(str, range(1000))) + "]\n---\n"
           "@for x in a:\n@for y in b:\n{{ y }}a{{ y }}b{{ y }}c{{ y }}d{{ y }}e\n@end\n@end\n")


@pytest.mark.parametrize("extra, imported", [("", False), ("x\n", False), ("", True), ("x\n", True)])
def test_segment_cap(extra, imported):
    """The millionth segment is kept; one more drops the map, with a warning
    that names the imported module whose body went past the cap."""
    if imported:
        modules = {"main.quarl": '@import "./big.quarl" as big\n@include big\n', "big.quarl": MILLION + extra}
        result = tessel.compile_virtual(modules, "main.quarl", source_map=True)
    else:
        result = tessel.compile(MILLION + extra, source_map=True)
    assert (result.source_map is None) == bool(extra)
    where = " in imported module 'big.quarl'" if imported else ""
    expected = [f"source map segment cap (1000000 segments) exceeded{where}; no source map will be generated"]
    assert [w for w in result.warnings if "source map" in w] == (expected if extra else [])
