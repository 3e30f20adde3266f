"""Properties over generated inputs: the lexer covers every byte, canonical JSON is JSON."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st

import tessel
from tessel import CompileResult, QuarlError

# Text built from the characters that steer the lexer, and plain ones.
TEMPLATE_TEXT = st.text(alphabet="{}\\@`~-\n\r'\" >x#é", max_size=40)


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


# Compile results of every shape a compile can return, with any text in them.
TEXTS = st.lists(st.text(max_size=8), max_size=3)
RESULTS = st.one_of(
    st.fixed_dictionaries({"kind": st.just("markdown"), "output": st.text(max_size=12), "warnings": TEXTS,
                           "dependencies": TEXTS}),
    st.fixed_dictionaries({"kind": st.just("messages"), "warnings": TEXTS, "dependencies": TEXTS,
                           "messages": st.lists(st.fixed_dictionaries({"role": st.text(max_size=5),
                                                                        "content": st.text(max_size=8)}), max_size=3)}),
    st.fixed_dictionaries({"kind": st.just("markdown"), "output": st.text(max_size=12), "warnings": TEXTS,
                           "dependencies": TEXTS, "sourceMap": st.fixed_dictionaries(
                               {"version": st.just(3), "mappings": st.text(max_size=8), "names": st.just([]),
                                "sources": st.just(["a", "b"])},
                               optional={"file": st.text(max_size=4),
                                         "sourcesContent": st.lists(st.text(max_size=8), min_size=2, max_size=2)})}),
)


@settings(max_examples=300, deadline=None)
@given(RESULTS)
def test_canonical_json_is_the_json_of_the_value(state):
    """The canonical text reads back as the value it came from, with keys in byte order,
    and the result rebuilt from it, or from to_dict(), is equal."""
    result = CompileResult(state)
    text = result.to_json()
    assert json.loads(text) == state
    assert CompileResult(json.loads(text)) == result == CompileResult(result.to_dict())

    def keys_in_byte_order(pairs):
        keys = [key.encode() for key, _ in pairs]
        assert keys == sorted(keys)
        return dict(pairs)

    json.loads(text, object_pairs_hook=keys_in_byte_order)
