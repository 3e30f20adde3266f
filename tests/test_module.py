"""The extension module object, its documentation, and the QuarlError exception class."""

import ast
import importlib.metadata
import inspect
import pickle
from pathlib import Path

import pytest

import tessel
from tessel import QuarlError, Span, _tessel

STUBS = ast.parse((Path(tessel.__file__).parent / "_tessel.pyi").read_text(encoding="utf-8"))


def documented_names():
    """Every function, class and method the stubs declare (properties aside), as dotted names."""
    for node in STUBS.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name
        elif isinstance(node, ast.ClassDef):
            yield node.name
            for member in node.body:
                is_property = isinstance(member, ast.FunctionDef) and any(
                    isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list)
                if isinstance(member, ast.FunctionDef) and not is_property and (
                        member.name == "__reduce__" or not member.name.startswith("_")):
                    yield f"{node.name}.{member.name}"


@pytest.mark.parametrize("name", sorted(set(documented_names())))
def test_everything_the_stubs_declare_is_documented(name):
    obj = _tessel
    for part in name.split("."):
        obj = getattr(obj, part)
    doc = inspect.getdoc(obj)
    assert doc and doc.strip() and not doc.startswith(name.split(".")[-1] + "("), name


def test_module_and_exports():
    assert _tessel.__doc__.startswith("The native extension module")
    assert _tessel.__name__ == "tessel._tessel"
    assert Span.__module__ == QuarlError.__module__ == "tessel._tessel"
    assert str(inspect.signature(Span)) == "(offset, length, line=None, column=None)"
    own = {"render_diagnostic", "Template", "TemplateIndex", "index", "index_file", "index_virtual"}
    for name in tessel.__all__:  # the compiler's names, and the package's own
        assert name in own or getattr(tessel, name) is getattr(_tessel, name)
    assert QuarlError.__bases__ == (Exception,)
    assert tessel.__version__ == importlib.metadata.version("tessel")


HELPERS = "@define greet(name):\nHello {{ nmae }}\n@end\n"


def raised(call, *args, **kwargs):
    with pytest.raises(QuarlError) as caught:
        call(*args, **kwargs)
    return caught.value


@pytest.mark.parametrize("modules, entry, source, line_column", [
    # The error lies in the imported module: its key, and its own line.
    ({"main.quarl": "@import \"./helpers.quarl\"\n\n{{ helpers.greet(\"x\") }}", "helpers.quarl": HELPERS},
     "main.quarl", "helpers.quarl", (2, 10)),
    # A module that does not even lex is named too.
    ({"main.quarl": "@import \"./lib/bad.quarl\"\n", "lib/bad.quarl": "{{ x"}, "main.quarl", "lib/bad.quarl", (1, 1)),
    ({"main.quarl": "{{ missing }}"}, "main.quarl", "main.quarl", (1, 4)),
    # A frontmatter's errors have no span, but name the module whose frontmatter failed.
    ({"main.quarl": "---\nimports:\n  - ./gone.quarl\n---\n"}, "main.quarl", "main.quarl", None),
    ({"main.quarl": "@import \"./bad.quarl\"\n", "bad.quarl": "---\na: [\n---\n"}, "main.quarl", "bad.quarl", None),
    ({"main.quarl": "---\nimports:\n  - path: ./bad.quarl\n---\n", "bad.quarl": "---\nimports: 1\n---\n"},
     "main.quarl", "bad.quarl", None),
    # No module, no source.
    ({"main.txt": "x"}, "main.txt", None, None),
])
def test_errors_name_the_virtual_module_they_point_into(modules, entry, source, line_column):
    error = raised(tessel.compile_virtual, modules, entry)
    assert error.source == source
    assert (error.span and (error.span.line, error.span.column)) == line_column
    # The attribute survives pickling with the others.
    restored = pickle.loads(pickle.dumps(error))
    assert type(restored) is QuarlError and str(restored) == error.message
    assert [getattr(restored, a) for a in ("code", "message", "help", "span", "source")] == [
        getattr(error, a) for a in ("code", "message", "help", "span", "source")]


def test_errors_name_files_relative_to_the_project_root(tmp_path):
    (tmp_path / ".quarlroot").write_text("")
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "helpers.quarl").write_text(HELPERS)
    main = tmp_path / "prompts" / "main.quarl"
    main.parent.mkdir()
    main.write_text("@import \"../lib/helpers.quarl\"\n{{ helpers.greet(\"x\") }}\n")
    assert raised(tessel.compile_file, main).source == "lib/helpers.quarl"
    assert raised(tessel.check, "{{ nope }}").source is None  # the string entry has no name
    # A string entry importing a file: the file is named, relative to the root.
    assert raised(tessel.check, main.read_text(), base_path=main.parent).source == "lib/helpers.quarl"
    main.write_text("{{ nope }}")
    assert raised(tessel.lint_file, main).source == "prompts/main.quarl"
    assert raised(tessel.compile, "{{ x }}", vars=[]).source is None  # the binding's own errors


def test_each_module_object_owns_its_classes():
    # A second import of the extension (as a fresh module object) builds its
    # own classes; the first module's classes stay intact.
    import importlib.util

    found = importlib.util.find_spec("tessel._tessel")
    second = importlib.util.module_from_spec(found)
    found.loader.exec_module(second)
    assert second.Span is not Span
    assert second.QuarlError is not QuarlError
    assert Span(1, 2) == Span(1, 2)
