"""The extension module object, its documentation, and the QuarlError exception class."""

import ast
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
    for name in tessel.__all__:
        assert getattr(tessel, name) is getattr(_tessel, name)
    assert QuarlError.__bases__ == (Exception,)


def test_quarl_error_pickles_with_its_attributes():
    error = QuarlError("syntax error: x")
    error.code, error.message, error.help, error.span = "quarl::syntax", "syntax error: x", None, Span(0, 2, 1, 1)
    restored = pickle.loads(pickle.dumps(error))
    assert type(restored) is QuarlError
    assert str(restored) == "syntax error: x"
    assert (restored.code, restored.message, restored.help, restored.span) == (
        "quarl::syntax", "syntax error: x", None, Span(0, 2, 1, 1))


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
