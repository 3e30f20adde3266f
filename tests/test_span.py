"""The Span class: construction, immutability, conversions, pickling, equality."""

import inspect
import json
import pickle

import pytest

from tessel import Span

U64_MAX = 2**64 - 1

SPAN_DOC = (
    "A source span attached to an [`QuarlError`].\n\n"
    "`offset`/`length` are byte offsets into the source; `line` is 1-indexed and\n"
    "`column` is the 1-indexed character (Unicode scalar) position, or `None` when\n"
    "the core could not resolve them. All values are Python `int`s \u2014 no truncation."
)


@pytest.mark.parametrize(
    ("args", "kwargs", "fields"),
    [
        ((3, 4), {}, (3, 4, None, None)),
        ((3, 4, 1, 5), {}, (3, 4, 1, 5)),
        ((), {"offset": 0, "length": 0, "column": 9}, (0, 0, None, 9)),
        ((0, 0, None, None), {}, (0, 0, None, None)),
        ((U64_MAX, U64_MAX, U64_MAX, U64_MAX), {}, (U64_MAX,) * 4),
    ],
)
def test_constructor_and_attributes(args, kwargs, fields):
    span = Span(*args, **kwargs)
    assert (span.offset, span.length, span.line, span.column) == fields


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        (("1", 2), {}, TypeError),
        ((1.0, 2), {}, TypeError),
        ((None, 2), {}, TypeError),
        ((1, 2, "3"), {}, TypeError),
        ((1, 2, None, 4.5), {}, TypeError),
        ((1,), {}, TypeError),
        ((1, 2, 3, 4, 5), {}, TypeError),
        ((1, 2), {"bogus": 1}, TypeError),
        ((-1, 2), {}, ValueError),
        ((1, 2, -1), {}, ValueError),
        ((0, -(2**70)), {}, ValueError),
        ((U64_MAX + 1, 0), {}, OverflowError),
        ((0, U64_MAX + 1), {}, OverflowError),
        ((0, 0, None, U64_MAX + 1), {}, OverflowError),
    ],
)
def test_constructor_rejects(args, kwargs, error):
    with pytest.raises(error):
        Span(*args, **kwargs)


def test_errors_name_the_argument():
    with pytest.raises(TypeError, match=r"Span\(\) argument 'length' must be int, not str"):
        Span(1, "2")
    with pytest.raises(ValueError, match=r"^Span\(\) argument 'offset' must not be negative, got -1$"):
        Span(-1, 2)


@pytest.mark.parametrize("name", ["offset", "length", "line", "column", "other"])
def test_frozen(name):
    span = Span(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        setattr(span, name, 5)
    with pytest.raises(AttributeError):
        delattr(span, name)
    with pytest.raises(TypeError):
        setattr(Span, name, 5)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Span,), {})


@pytest.mark.parametrize(
    ("span", "as_dict", "as_json", "text"),
    [
        (
            Span(1, 2),
            {"offset": 1, "length": 2, "line": None, "column": None},
            '{"column":null,"length":2,"line":null,"offset":1}',
            "Span(offset=1, length=2, line=None, column=None)",
        ),
        (
            Span(10, 0, 2, 7),
            {"offset": 10, "length": 0, "line": 2, "column": 7},
            '{"column":7,"length":0,"line":2,"offset":10}',
            "Span(offset=10, length=0, line=2, column=7)",
        ),
        (
            Span(U64_MAX, 1, None, 3),
            {"offset": U64_MAX, "length": 1, "line": None, "column": 3},
            '{"column":3,"length":1,"line":null,"offset":18446744073709551615}',
            "Span(offset=18446744073709551615, length=1, line=None, column=3)",
        ),
    ],
)
def test_conversions_and_repr(span, as_dict, as_json, text):
    assert span.to_dict() == as_dict
    assert list(span.to_dict()) == ["offset", "length", "line", "column"]
    assert span.to_json() == as_json
    assert json.loads(span.to_json()) == as_dict
    assert repr(span) == text


def test_to_dict_is_fresh():
    span = Span(1, 2)
    first = span.to_dict()
    first["offset"] = 99
    assert span.to_dict()["offset"] == 1
    assert span.to_dict() is not span.to_dict()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("span", [Span(0, 0), Span(5, 6, 7, 8), Span(U64_MAX, 2, None, 1)])
def test_pickle_round_trip(span, protocol):
    restored = pickle.loads(pickle.dumps(span, protocol))
    assert type(restored) is Span
    assert restored == span
    assert span.__reduce__() == (Span, (span.offset, span.length, span.line, span.column))


@pytest.mark.parametrize(
    "other",
    [Span(2, 2, 3, 4), Span(1, 3, 3, 4), Span(1, 2, None, 4), Span(1, 2, 3, None), Span(1, 2, 4, 4)],
)
def test_equality_compares_every_field(other):
    span = Span(1, 2, 3, 4)
    assert span == Span(1, 2, 3, 4)
    assert not span != Span(1, 2, 3, 4)
    assert span != other
    assert not span == other


def test_other_types_and_orderings_are_not_implemented():
    span = Span(1, 2)
    assert span.__eq__((1, 2, None, None)) is NotImplemented
    assert span.__ne__("Span(1, 2)") is NotImplemented
    assert span != (1, 2, None, None)
    with pytest.raises(TypeError):
        _ = span < Span(2, 2)


def test_unhashable():
    with pytest.raises(TypeError):
        hash(Span(1, 2))


def test_docstrings_and_signature():
    assert Span.__doc__ == SPAN_DOC
    assert str(inspect.signature(Span)) == "(offset, length, line=None, column=None)"
    assert Span.__module__ == "tessel._tessel"
