"""Properties over generated inputs: the lexer covers every byte, canonical JSON is JSON, values round-trip."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st

import tessel
from tessel import CompileResult, QuarlError

# Text built from the characters that steer the lexer, and plain ones.
TEMPLATE_TEXT = st.text(alphabet="{}\\@`~-\n\r'\" >x#é", max_size=40)
JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**53), 2**53) | st.text(max_size=8)
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)


@settings(max_examples=400, deadline=None)
@given(TEMPLATE_TEXT)
def test_every_text_compiles_or_fails_inside_itself(text):
    """The lexer covers the input: a failure points inside the text, and text with no
    template syntax comes out as it went in (line ends and trailing space aside)."""
    try:
        output = tessel.compile(text).output
    except QuarlError as error:
        assert error.code.startswith("quarl::")
        if error.span is not None:
            assert error.span.offset + error.span.length <= len(text.encode())
        return
    if not any(mark in text for mark in ("{{", "\\{{", "@", "---", "```", "~~~", "\r")):
        assert output == (text.rstrip() + "\n" if text.rstrip() else "")


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.text(max_size=6), JSON_VALUES, max_size=5))
def test_canonical_json_is_the_json_of_the_value(state):
    """The canonical text reads back as the value it came from, with keys in byte order."""
    result = CompileResult(state)
    text = result.to_json()
    assert json.loads(text) == state
    assert CompileResult(json.loads(text)) == result

    def keys_in_byte_order(pairs):
        keys = [key.encode() for key, _ in pairs]
        assert keys == sorted(keys)
        return dict(pairs)

    json.loads(text, object_pairs_hook=keys_in_byte_order)


@settings(max_examples=300, deadline=None)
@given(JSON_VALUES)
def test_values_round_trip(value):
    """A Python value converts to a core value and back unchanged."""
    result = CompileResult({"v": value})
    assert result.to_dict()["v"] == value
    assert CompileResult(result.to_dict()) == result
