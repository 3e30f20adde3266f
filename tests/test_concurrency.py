"""Threads, the interpreter lock, and memory over many calls."""

import runpy
import sys
import threading
from pathlib import Path

import pytest

import tessel

OUT_OF_STACK = (
    "resource limit exceeded: template nesting exceeds the available stack space",
    "invalid vars: nesting exceeds the available stack space",
)


def template(i):
    return (
        f"---\nid: {i}\n---\n@define line(x):\n- {{{{ x }}}} of {{{{ id }}}}\n@end\n"
        "@for item in items:\n{{ line(item) }}\n@end\n"
    )


def test_parallel_calls_match_sequential_ones():
    jobs = [(template(i), {"items": [f"t{i}-{k}" for k in range(200)]}) for i in range(8)]
    expected = [tessel.compile(source, vars=vars).to_json() for source, vars in jobs]
    results = [None] * len(jobs)
    errors = []

    def run(index):
        try:
            for _ in range(20):
                source, vars = jobs[index]
                results[index] = tessel.compile(source, vars=vars).to_json()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert results == expected


def test_the_lock_is_released_during_a_compile():
    source = "@for a in xs:\n@for b in xs:\n{{ upper(b) }}\n@end\n@end\n"
    items = ["abc"] * 900  # 810,000 calls of upper: long enough to be seen
    started = threading.Event()
    done = threading.Event()

    def run():
        started.set()
        tessel.compile(source, vars={"xs": items})
        done.set()

    thread = threading.Thread(target=run)
    thread.start()
    started.wait()
    progress = 0
    while not done.is_set():
        progress += 1
    thread.join()
    # With the lock held for the whole compile this loop could not run at all
    # meanwhile; released, it runs many thousands of times.
    assert progress > 10_000


def test_many_calls_do_not_grow_memory():
    def work():
        result = tessel.compile("Hi {{ x }}\n@for i in xs:\n{{ i }}\n@end", vars={"x": "y", "xs": [1, 2]})
        result.to_dict(), result.to_json(), repr(result), result.output
        try:
            tessel.compile("{{ missing }}")
        except tessel.QuarlError as error:
            error.span
        tessel.check("x").warnings
        tessel.scan_imports('@import "./a.quarl"')

    for _ in range(200):
        work()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        work()
    assert sys.getallocatedblocks() - before < 100


def on_thread_stack(kib, call):
    """What `call` gives on a new thread with a stack of `kib` KiB: its result or its error."""
    outcome = []

    def run():
        try:
            outcome.append(call())
        except tessel.QuarlError as error:
            outcome.append(error.message)

    previous = threading.stack_size(kib * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    return outcome[0]


def nested_list(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    return value


# Built once, here: CPython itself cannot free a list nested this deep on
# the smallest thread stacks.
DEEP_LIST = nested_list(1500)

DEEP_CALLS = {
    "YAML 2047 deep": lambda: tessel.compile("---\nk:\n" + "- " * 2047 + "x\n---\nbody\n"),
    "blocks 48 deep": lambda: tessel.compile("@if x:\n" * 48 + "y\n" + "@end\n" * 48, vars={"x": True}),
    "vars 1500 deep": lambda: tessel.compile("x", vars={"v": DEEP_LIST}),
}


@pytest.mark.parametrize("call", DEEP_CALLS.values(), ids=DEEP_CALLS.keys())
@pytest.mark.parametrize("kib", [32, 64, 160])
def test_small_stacks_give_the_result_or_a_clean_error(call, kib):
    expected = on_thread_stack(16 * 1024, call)
    got = on_thread_stack(kib, call)
    assert got == expected or got in OUT_OF_STACK


def test_ordinary_templates_on_a_small_stack(capsys):
    demo = str(Path(__file__).resolve().parent.parent / "examples" / "demo.py")
    runpy.run_path(demo, run_name="__main__")
    expected = capsys.readouterr().out
    on_thread_stack(128, lambda: runpy.run_path(demo, run_name="__main__"))
    assert capsys.readouterr().out == expected


def compile_while(mutate, source, variables):
    """Compiles on a thread while `mutate` runs again and again on this one, until the compile ends."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(tessel.compile(source, vars=variables)))
    thread.start()
    while thread.is_alive():
        mutate()
    thread.join()
    return outcome[0]


def test_values_are_read_when_the_call_begins():
    # Long strings are read in place: the compile holds them while a thread
    # drops and replaces them; dicts and lists are read once, at the start.
    long = "".join(["borrowed text "] * 20)
    items = [{"name": f"item {i}", "note": long.upper() + str(i)} for i in range(5000)]
    variables = {"items": items, "title": long + "!"}
    source = "@for item in items:\n{{ item.name }} {{ item.note }}\n@end\n{{ title }}\n"
    expected = tessel.compile(source, vars=variables).output
    del items

    def mutate():
        variables["title"] = "".join(["replaced "] * 40)
        for item in variables["items"][-50:]:
            item["note"] = item["name"] * 30
        variables["items"].insert(0, {"name": "new", "note": "x"})
        ["Z" * 280 + str(i) for i in range(200)]  # new strings where the dropped ones were

    assert compile_while(mutate, source, variables).output == expected


def test_results_outlive_the_values_they_came_from():
    def compiled(mode):
        text = "".join(["a caller's text that is long enough to be borrowed "] * 4)
        source = "@message user:\n{{ t }}\n@end\n" if mode == "messages" else "{{ t }} {{ short }}"
        return tessel.compile(source, vars={"t": text, "short": "copied"}), text

    for mode in ("markdown", "messages"):
        result, text = compiled(mode)
        del text
        expected = "".join(["a caller's text that is long enough to be borrowed "] * 4)
        ["Z" * len(expected) + str(i) for i in range(1000)]
        if mode == "messages":
            assert [m.content for m in result.messages] == [expected.strip()]
        else:
            assert result.output == expected + " copied\n"
        assert expected.strip() in result.to_json()
        if mode == "messages":  # a message views its result's text and keeps the result
            messages = result.messages
            del result
            ["Z" * len(expected) + str(i) for i in range(1000)]
            assert messages[0] == tessel.Message("user", expected.strip())
