"""Every example in docs/ runs, and prints what the documentation says it prints.

How the examples are written (docs/README.md says the same for authors):
- a fenced block whose info string is a language and a file name (```quarl helpers.quarl```)
  writes that file into the document's own project folder;
- a ```quarl``` block followed directly by a ```text``` block: the text is what
  `quarl compile -` prints for that template (standard output, then standard error);
- a ```console``` block: each `$ quarl ...` or `$ cat FILE` line runs, followed by what it prints;
  a command ending in `; echo $?` prints its exit status after its output;
- in what a template or command prints, "..." stands for any text within a line;
- the ```pycon``` blocks of a page are one Python session, run with doctest in the project folder.
Any other fenced block fails the test: an example that is not run can go stale.
"""

import contextlib
import doctest
import io
import re
import shlex
import sys
from pathlib import Path

import pytest

import tessel
from tessel import cli

DOCS = Path(__file__).parents[1] / "docs"
FENCE = re.compile(r"^(`{3,}|~{3,})(.*)$")


def fenced_blocks(text):
    """(info string, body, line number) of each top-level fenced block."""
    lines = text.splitlines(keepends=True)
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index].rstrip("\n"))
        index += 1
        if not opening:
            continue
        fence, info, start = opening.group(1), opening.group(2).strip(), index
        while index < len(lines):
            line = lines[index].rstrip("\n")
            if line.startswith(fence[0] * len(fence)) and not line.lstrip(fence[0]).strip():
                break
            index += 1
        yield info, "".join(lines[start:index]), start
        index += 1


def run_quarl(argv, stdin=b""):
    """What `quarl ARGV` prints (standard output, then standard error), and its exit status."""
    out, err = io.BytesIO(), io.BytesIO()
    streams = [io.TextIOWrapper(buffer, encoding="utf-8") for buffer in (io.BytesIO(stdin), out, err)]
    with contextlib.ExitStack() as stack:
        for name, stream in zip(("stdin", "stdout", "stderr"), streams):
            stack.enter_context(_replaced(name, stream))
        try:
            status = cli.main(argv)
        except SystemExit as exit:  # argparse's own exits
            status = exit.code
        for stream in streams[1:]:
            stream.flush()
    return (out.getvalue() + err.getvalue()).decode(), status


@contextlib.contextmanager
def _replaced(name, stream):
    saved = getattr(sys, name)
    setattr(sys, name, stream)
    try:
        yield
    finally:
        setattr(sys, name, saved)


def console_output(command, folder):
    """What one `$` line of a console block prints."""
    show_status = command.endswith("; echo $?")
    argv = shlex.split(command.removesuffix("; echo $?"))
    if argv[0] == "cat":
        return (folder / argv[1]).read_text(encoding="utf-8")
    assert argv[0] == "quarl", f"only quarl and cat run in examples: {command}"
    printed, status = run_quarl(argv[1:])
    return printed + (f"{status}\n" if show_status else "")


def matches(printed, expected):
    """Whether the printed text is the expected one, where "..." in the
    expected text stands for any text within a line (a temporary path)."""
    if "..." not in expected:
        return printed == expected
    pattern = ".*?".join(re.escape(part) for part in expected.split("..."))
    return re.fullmatch(pattern, printed) is not None


def check_console(body, folder, where):
    commands = re.split(r"^\$ ", body, flags=re.MULTILINE)
    assert commands[0] == "", f"{where}: a console block starts with a $ line"
    for chunk in commands[1:]:
        command, _, expected = chunk.partition("\n")
        assert matches(console_output(command, folder), expected), f"{where}: $ {command}"


def check_document(path, folder, monkeypatch):
    monkeypatch.chdir(folder)
    (folder / ".quarlroot").write_text("")
    blocks = list(fenced_blocks(path.read_text(encoding="utf-8")))
    session = {"tessel": tessel}  # the page's Python blocks are one session
    ran = 0
    for position, (info, body, line) in enumerate(blocks):
        where = f"{path.name}:{line}"
        words = info.split()
        if len(words) == 2:
            (folder / words[1]).parent.mkdir(parents=True, exist_ok=True)
            (folder / words[1]).write_text(body, encoding="utf-8")
        elif words == ["quarl"]:
            assert position + 1 < len(blocks) and blocks[position + 1][0] == "text", \
                f"{where}: a template example is followed by a text block of what it prints"
            printed, _ = run_quarl(["compile", "-"], body.encode())
            assert matches(printed, blocks[position + 1][1]), f"{where}: the template prints otherwise"
            ran += 1
        elif words == ["console"]:
            check_console(body, folder, where)
            ran += 1
        elif words == ["pycon"]:
            test = doctest.DocTestParser().get_doctest(body, session, where, str(path), line)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            runner.run(test, clear_globs=False)
            session.update(test.globs)
            assert runner.failures == 0, f"{where}: the Python session prints otherwise"
            ran += 1
        else:
            assert words == ["text"] and blocks[position - 1][0] == "quarl", f"{where}: an example that is not run"
    return ran


@pytest.mark.parametrize("name", sorted(p.name for p in DOCS.glob("*.md")))
def test_documentation_examples(name, tmp_path, monkeypatch):
    assert check_document(DOCS / name, tmp_path, monkeypatch) > 0 or name == "README.md"


def test_the_harness_catches_a_stale_example(tmp_path, monkeypatch):
    stale = tmp_path / "stale.md"
    stale.write_text("```quarl\nHi {{ x }}\n```\n\n```text\nHi x\n```\n")
    with pytest.raises(AssertionError, match="prints otherwise"):
        check_document(stale, tmp_path, monkeypatch)
    stale.write_text("```python\nprint(1)\n```\n")
    with pytest.raises(AssertionError, match="not run"):
        check_document(stale, tmp_path, monkeypatch)
