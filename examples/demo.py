"""Compiles the bundled examples and prints what comes out.

Run with `make demo`, or `python examples/demo.py` where tessel is installed.
"""

from pathlib import Path

import tessel

HERE = Path(__file__).resolve().parent


def show(title, result):
    print(f"== {title} ({result.kind})")
    if result.kind == "markdown":
        print(result.output, end="")
    else:
        for message in result.messages:
            print(f"[{message.role}]\n{message.content}")
    for warning in result.warnings:
        print(f"warning: {warning}")
    print()


def main():
    show("system_prompt.quarl", tessel.compile_file(
        HERE / "system_prompt.quarl",
        vars={"customer": {"name": "Ada Lovelace", "since": 2019}}))

    show("chat.quarl", tessel.compile_file(
        HERE / "chat.quarl",
        vars={
            "facts": ["It has three colour temperatures.", "Its base has a USB-C port."],
            "history": [
                {"role": "user", "text": "Is it dimmable?"},
                {"role": "assistant", "text": "Yes, in ten steps."},
            ],
            "question": "Can it charge my phone?",
        }))

    notes = tessel.compile_file(
        HERE / "release_notes.quarl",
        vars={
            "version": "2.4",
            "date": "2026-12-01",
            "changes": ["Dimming in ten steps", "USB-C charging for phones"],
            "known_issues": ["The base light flickers below 5% brightness"],
        })
    show("release_notes.quarl", notes)
    print("it imports:", ", ".join(Path(key).name for key in notes.dependencies))
    print()

    # Templates can also live in memory, keyed by name.
    show("virtual greeting", tessel.compile_virtual(
        {"greeting.quarl": "Hello {{ upper(name) }}!\n"}, "greeting.quarl", vars={"name": "world"}))

    # Mistakes come back as QuarlError with a code, a message and where it happened.
    try:
        tessel.compile("Dear {{ nmae }},\n", vars={"name": "Ada"})
    except tessel.QuarlError as error:
        print("== a misspelt variable")
        print(f"{error.code}: {error.message}")
        if error.span is not None:
            print(f"  at line {error.span.line}, column {error.span.column}")
        if error.help:
            print(f"  help: {error.help}")


if __name__ == "__main__":
    main()
