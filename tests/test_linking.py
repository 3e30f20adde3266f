"""Linking modules from Python: maps and files, dependencies, errors placed in the module that caused them."""

import pytest

import tessel
from tessel import QuarlError

LIB = "@define greet(name):\nHello {{ name }}\n@end\nLib body\n"


def compile_map(modules, **kwargs):
    return tessel.compile_virtual(modules, "main.quarl", **kwargs)


def test_imports_and_dependencies():
    result = compile_map({
        "main.quarl": '@import "./lib/a.quarl" as a\n{{ a.greet("Ada") }}\n@include a\n',
        "lib/a.quarl": '@import { greet } from "./b.quarl"\n@export greet from "./b.quarl"\n@export prompt\n{{ greet("b") }}\n',
        "lib/b.quarl": LIB,
    })
    assert result.output == "Hello Ada\nHello b\n"
    assert result.dependencies == ["lib/b.quarl", "lib/a.quarl"]
    # check runs the same linking and keeps only the warnings.
    assert tessel.check_virtual({"main.quarl": '@import "./b.quarl" as b\n@include b\n',
                                 "b.quarl": "@define f():\n@end\n"}, "main.quarl").warnings[0].startswith(
        "warning: @include of 'b' produced empty output")


def test_an_error_points_into_the_module_that_caused_it():
    with pytest.raises(QuarlError) as info:
        compile_map({"main.quarl": '@import "./lib.quarl"\n', "lib.quarl": "line one\n\n@if\n"})
    error = info.value
    assert error.code == "quarl::syntax"
    assert (error.span.line, error.span.column) == (3, 1)


@pytest.mark.parametrize(
    ("modules", "code", "message", "line"),
    [
        ({"main.quarl": 'x\n@import "./a.quarl"\n', "a.quarl": '@import "./main.quarl"\n'},
         "quarl::circular_import", "circular import detected: main.quarl \u2192 a.quarl \u2192 main.quarl", 1),
        ({"main.quarl": "---\nimports:\n  - path: ./gone.quarl\n---\n"},
         "quarl::import", 'import error: module not found: "gone.quarl" (in frontmatter imports[0])', None),
        ({"main.quarl": '@extends "./base.quarl"\nstray\n', "base.quarl": "x"},
         "quarl::extends", "extends error: an extending template may contain only @block overrides", 2),
    ],
)
def test_link_errors(modules, code, message, line):
    with pytest.raises(QuarlError) as info:
        compile_map(modules)
    error = info.value
    assert (error.code, error.message) == (code, message)
    assert (error.span.line if error.span else None) == line


def test_files_and_base_path(tmp_path):
    project = tmp_path / "project"
    (project / "lib").mkdir(parents=True)
    (project / ".quarlroot").touch()
    (tmp_path / "outside.quarl").write_text("outside")
    (project / "lib" / "util.quarl").write_text("@define f():\nutil\n@end\n")
    (project / "base.quarl").write_text("---\ntone: calm\n---\n@block body:\nBase\n@end\n({{ tone }})\n")
    (project / "page.quarl").write_text(
        '---\nimports:\n  - path: ./lib/util.quarl\n---\n@extends "./base.quarl"\n@block body:\n{{ f() }}\n@end\n')
    result = tessel.compile_file(project / "page.quarl")
    assert result.output == "---\ntone: calm\n---\nutil\n(calm)\n"
    assert result.dependencies == [str((project / "lib" / "util.quarl").resolve()),
                                   str((project / "base.quarl").resolve())]
    source = '@import { f } from "./lib/util.quarl"\n{{ f() }}'
    assert tessel.compile(source, base_path=project).output == "util\n"
    with pytest.raises(QuarlError) as info:
        tessel.compile('@import "../outside.quarl"\n', base_path=project)
    assert info.value.message == 'import error: import path escapes project directory: "../outside.quarl"'
