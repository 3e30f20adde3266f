"""The extension module object and the QuarlError exception class."""

import pickle

import tessel
from tessel import QuarlError, Span, _tessel

MODULE_DOC = (
    "The native extension module \u2014 registered as `tessel._tessel`.\n\n"
    "`gil_used = false` marks the module free-threading ready: the result classes are\n"
    "frozen, there is no mutable global state, and the GIL is released around every\n"
    "core call."
)

QUARL_ERROR_DOC = (
    "Raised for every QUARL compilation failure.\n\n"
    "Carries structured attributes: `code` (str), `message` (str), `help` (str | None),\n"
    "and `span` (Span | None). `str(err) == err.message`."
)


def test_module_doc_and_exports():
    assert _tessel.__doc__ == MODULE_DOC
    assert _tessel.__name__ == "tessel._tessel"
    for name in tessel.__all__:
        assert getattr(tessel, name) is getattr(_tessel, name)


def test_quarl_error_class():
    assert QuarlError.__doc__ == QUARL_ERROR_DOC
    assert QuarlError.__bases__ == (Exception,)
    assert QuarlError.__name__ == "QuarlError"
    assert QuarlError.__module__ == "tessel._tessel"


def test_quarl_error_pickles_with_its_attributes():
    error = QuarlError("syntax error: x")
    error.code, error.message, error.help, error.span = "quarl::syntax", "syntax error: x", None, Span(0, 2, 1, 1)
    restored = pickle.loads(pickle.dumps(error))
    assert type(restored) is QuarlError
    assert str(restored) == "syntax error: x"
    assert (restored.code, restored.message, restored.help, restored.span) == (
        "quarl::syntax",
        "syntax error: x",
        None,
        Span(0, 2, 1, 1),
    )


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
    assert second.Span(1, 2).__eq__(Span(1, 2)) is NotImplemented


