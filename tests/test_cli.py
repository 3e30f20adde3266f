"""The `quarl` command line, run as a user runs it: a subprocess per invocation."""

import json
import os
import pty
import signal
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tessel import Span, cli
from tessel._diagnostics import MAX_LINE_WIDTH, snippet
from tessel._files import MAX_ROOT_SEARCH, project_root
from tessel._variables import coerce

PROJECT = {
    ".quarlroot": "",
    "hello.quarl": "---\nname: World\n---\nHello {{ name }}!\n",
    "typo.quarl": "Hello {{ nmae }}!\n",
    "chat.quarl": "@message system:\nBe brief.\n@end\n@message user:\nHi {{ who }}\n@end\n",
    "lib/helpers.quarl": "@define greet(name):\nHi {{ nmae }}\n@end\n",
    "main.quarl": "@import \"./lib/helpers.quarl\"\n{{ helpers.greet(\"x\") }}\n",
    "legacy.quarl": "x {name} y\n",
    "kinds.quarl": "@if flag == true:\nyes\n@end\n{{ n }} {{ length(xs) }} {{ s }} {{ nothing }}\n",
    "messy.quarl": "---\nname: A\n---\nHi {{name}}\n@if  name :\nyes\n@end\n",
    "vars.json": '{"name": "Vars", "who": "Vee"}',
    "array.json": "[1]",
    "bad.json": '{"name": ',
    "latin1.json": b'{"name": "Jos\xe9"}',
}

TYPO_TEXT = """\
typo.quarl:1:10: error[quarl::undefined_var]: undefined variable 'nmae'
 1 | Hello {{ nmae }}!
   |          ^^^^
help: define 'nmae' in frontmatter or imports
"""


@pytest.fixture
def project(tmp_path):
    for name, text in PROJECT.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        if isinstance(text, bytes):
            (tmp_path / name).write_bytes(text)
        else:
            (tmp_path / name).write_text(text, encoding="utf-8")
    return tmp_path


def quarl(cwd, *args, stdin=b"", env=None):
    done = subprocess.run([sys.executable, "-m", "tessel", *args], cwd=cwd, input=stdin, capture_output=True,
                          env={**os.environ, "NO_COLOR": "", **(env or {})}, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


# (arguments, standard input, exit code, standard output, text standard error starts with or holds)
CASES = [
    (["compile", "hello.quarl"], b"", 0, "---\nname: World\n---\nHello World!\n", ""),
    (["compile", "hello.quarl", "--set", "name=Ada"], b"", 0, "---\nname: World\n---\nHello Ada!\n", ""),
    (["compile", "typo.quarl"], b"", 1, "", TYPO_TEXT),
    (["compile", "main.quarl"], b"", 1, "", "lib/helpers.quarl:2:7: error[quarl::undefined_var]: undefined "
                                             "variable 'nmae'\n 2 | Hi {{ nmae }}\n   |       ^^^^\n"),
    (["compile", "-", "--set", "who=Sam"], b"Hi {{ who }}", 0, "Hi Sam", ""),
    (["compile", "-", "--set", "who=a=b"], b"Hi {{ who }}", 0, "Hi a=b", ""),  # split at the first "="
    (["compile", "-"], b"Hi {{ who }}\n", 1, "", "<stdin>:1:7: error[quarl::undefined_var]"),
    (["compile", "-"], b"Hi \xff", 1, "", "<stdin>: error[quarl::io]: invalid UTF-8 in <stdin>: invalid byte "
                                          "sequence at offset 3\n"),
    (["compile", "chat.quarl", "--vars", "vars.json"], b"", 0,
     json.dumps([{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi Vee"}], indent=2) + "\n",
     ""),
    (["compile", "chat.quarl", "--expect", "markdown", "--set", "who=x"], b"", 1, "",
     "chat.quarl: error[quarl::expected_markdown]: expected markdown output, but template produced messages\n"),
    (["compile", "hello.quarl", "--expect", "messages"], b"", 1, "",
     "hello.quarl: error[quarl::expected_messages]: expected messages output, but template produced markdown\n"),
    (["compile", "hello.quarl", "--vars", "vars.json", "--set", "name=A", "--set", "name=B"], b"", 0,
     "---\nname: World\n---\nHello B!\n", ""),
    (["compile", "hello.quarl", "--vars", "array.json"], b"", 2, "",
     "hello.quarl: error[quarl::invalid_vars]: invalid vars file: array.json holds a JSON array, not an object\n"
     "help: vars file must be a JSON object mapping variable names to values\n"),
    (["compile", "hello.quarl", "--vars", "bad.json"], b"", 2, "",
     "hello.quarl: error[quarl::json]: JSON parse error: bad.json: Expecting value at line 1 column 10\n"),
    (["compile", "hello.quarl", "--vars", "latin1.json"], b"", 2, "",
     "hello.quarl: error[quarl::json]: JSON parse error: latin1.json: invalid UTF-8 at offset 13\n"),
    (["compile", "hello.quarl", "--vars", "gone.json"], b"", 2, "",
     "hello.quarl: error[quarl::invalid_vars]: invalid vars file: cannot read gone.json: No such file or directory\n"),
    (["compile", "hello.quarl", "--set", "xs=[1,"], b"", 2, "", "error[quarl::json]: JSON parse error: --set xs: "),
    (["compile", "hello.quarl", "--set", "name=1", "--set-string", "name=1"], b"", 2, "",
     "hello.quarl: error[quarl::var_conflict]: variable 'name' is set by both --set and --set-string; use only one\n"
     "help: --set coerces"),
    (["compile", "kinds.quarl", "--set", "flag=true", "--set", "n=2.50", "--set", "xs=[1, [2]]", "--set-string",
      "s=true", "--set", "nothing=null"], b"", 0, "yes\n2.5 2 true\n", ""),
    (["compile", "hello.quarl", "--sources-content"], b"", 2, "",
     "quarl compile: error: --sources-content requires --source-map\n"),
    (["compile", "gone.quarl"], b"", 2, "", "gone.quarl: error[quarl::file_not_found]: file not found: gone.quarl\n"),
    (["compile", "lib"], b"", 2, "", "quarl compile: error: several templates compile into a folder: give it with -o "
                                     "FOLDER\n"),
    (["compile", "hello.quarl", "--bogus"], b"", 2, "", "usage: quarl"),
    ([], b"", 2, "", "usage: quarl"),
    (["compile", "typo.quarl", "--format", "json"], b"", 1, "",
     json.dumps({"code": "quarl::undefined_var", "message": "undefined variable 'nmae'",
                 "help": "define 'nmae' in frontmatter or imports",
                 "span": {"offset": 9, "length": 4, "line": 1, "column": 10}, "source": "typo.quarl",
                 "notes": [], "file": "typo.quarl"}) + "\n"),
    (["check", "hello.quarl", "typo.quarl", "gone.quarl", "main.quarl"], b"", 2, "",
     TYPO_TEXT + "gone.quarl: error[quarl::file_not_found]"),
    (["check", "hello.quarl", "-"], b"{{ x }}", 1, "", "<stdin>:1:4: error[quarl::undefined_var]"),
    (["check", "hello.quarl", "chat.quarl", "--set", "who=x"], b"", 0, "", ""),
    (["check", "-"], b"@media print {\n", 1, "", "help: a line that starts with \"@\" is a directive; to write it as "
                                                    "text, begin it with {{ string(\"@\") }} instead"),
    (["check", "-"], b"@elsif x:\n", 1, "", " 1 | @elsif x:\n   | ^^^^^^^^^\nnote: did you mean '@elseif'?\n"),
    (["check", "-", "--format", "json", "--set", "name=x"], b"{{ nmae }}", 1, "",
     '"notes": ["did you mean \'name\'?"], "file": "<stdin>"}'),
    (["scan-imports", "main.quarl"], b"", 0, "./lib/helpers.quarl\n", ""),
    (["scan-imports", "-", "--json"], b'@extends "./base.quarl"\n', 0, '["./base.quarl"]\n', ""),
    (["scan-imports", "gone.quarl"], b"", 2, "", "quarl: error: gone.quarl: No such file or directory\n"),
    (["lint", "legacy.quarl", "hello.quarl"], b"", 0,
     "legacy.quarl:1:3: warn[legacy-interpolation]: legacy single-brace interpolation `{name}` \u2014 use `{{name}}` "
     "(double braces)\n 1 | x {name} y\n   |   ^^^^^^\nhelp: Run `quarl lint --fix` to migrate to `{{x}}` syntax "
     "automatically.\n1 finding (1 warn); 1 fixable with --fix\n", ""),
    (["lint", "legacy.quarl", "--rule", "legacy-interpolation=error", "--rule", "no-such-rule=warn"], b"", 1,
     "legacy.quarl:1:3: error[legacy-interpolation]", "legacy.quarl: warning: unknown lint rule"),
    (["lint", "legacy.quarl", "--rule", "legacy-interpolation=loud"], b"", 2,
     "1 template could not be linted (the errors above)\n",
     "legacy.quarl: error[quarl::invalid_options]: rules[\"legacy-interpolation\"]: unknown severity \"loud\""),
    (["lint", "legacy.quarl", "--rule", "legacy-interpolation"], b"", 2, "", "expected NAME=SEVERITY"),
    (["lint", "typo.quarl", "legacy.quarl"], b"", 1, "legacy.quarl:1:3: warn[legacy-interpolation]: legacy "
     "single-brace interpolation `{name}` \u2014 use `{{name}}` (double braces)\n 1 | x {name} y\n   |   ^^^^^^\n"
     "help: Run `quarl lint --fix` to migrate to `{{x}}` syntax automatically.\n1 finding (1 warn); 1 fixable with "
     "--fix; 1 template could not be linted (the errors above)\n", TYPO_TEXT),
    (["lint", "--fix", "-"], b"", 2, "", "quarl lint: error: --fix rewrites files in place"),
    (["fmt", "--check", "messy.quarl", "hello.quarl"], b"", 1, "would reformat messy.quarl\n", ""),
    (["fmt", "--diff", "messy.quarl"], b"", 0, "--- messy.quarl\n+++ messy.quarl (formatted)\n@@ -1,7 +1,7 @@\n"
     " ---\n name: A\n ---\n-Hi {{name}}\n-@if  name :\n+Hi {{ name }}\n+@if name:\n yes\n @end\n", ""),
    (["fmt", "-"], b"{{x}}\r\n", 0, "{{ x }}\r\n", ""),
    (["fmt", "-", "typo.quarl"], b"{{ x", 1, "", "<stdin>:1:1: error[quarl::syntax]: syntax error: unclosed `{{`"),
    (["vars", "kinds.quarl"], b"", 0, "flag     boolean  compared with a literal  (line 1)\n"
     "n        string|number|boolean|null  interpolated  (line 4)\nxs       string|array  argument of length()  "
     "(line 4)\ns        string|number|boolean|null  interpolated  (line 4)\n"
     "nothing  string|number|boolean|null  interpolated  (line 4)\n", ""),
    (["vars", "hello.quarl"], b"", 0, "overridable: name\n", ""),
    (["vars", "-", "--schema"], b"{{ who }}", 0, '{\n  "$schema": "https://json-schema.org/draft/2020-12/schema"', ""),
    (["vars", "hello.quarl", "--check", "vars.json"], b"", 0, "", ""),
    (["vars", "kinds.quarl", "--set", "n=1", "--set", "flag=1"], b"", 1, "",
     "kinds.quarl:1:5: error[vars]: flag: expected boolean, got number\n 1 | @if flag == true:\n   |     ^^^^\n"
     "kinds.quarl:4:19: error[vars]: xs: missing: string or array (argument of length())\n"),
    (["vars", "typo.quarl", "main.quarl"], b"", 1, "typo.quarl:\nnmae", "lib/helpers.quarl:2:7: error[quarl::"
     "undefined_var]: undefined variable 'nmae'"),
]


@pytest.mark.parametrize("args, stdin, status, stdout, stderr", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_invocations(project, args, stdin, status, stdout, stderr):
    got_status, got_stdout, got_stderr = quarl(project, *args, stdin=stdin)
    assert "Traceback" not in got_stderr
    assert got_status == status, got_stderr
    assert got_stdout == stdout or (stdout and got_stdout.startswith(stdout) and not stdout.endswith("\n"))
    assert got_stderr.startswith(stderr) or (stderr and stderr in got_stderr), got_stderr


def test_outputs_written_to_files(project):
    status, stdout, _ = quarl(project, "compile", "hello.quarl", "-o", "out/x.md", "--source-map", "out/x.map")
    assert (status, stdout) == (2, "")  # the folder does not exist: nothing half-written
    (project / "out").mkdir()
    assert quarl(project, "compile", "hello.quarl", "-o", "out/x.md", "--source-map", "out/x.map",
                 "--sources-content")[:2] == (0, "")
    assert (project / "out/x.md").read_text() == "---\nname: World\n---\nHello World!\n"
    document = json.loads((project / "out/x.map").read_text())
    assert (document["version"], document["sources"], document["sourcesContent"]) == (
        3, ["hello.quarl"], [PROJECT["hello.quarl"]])
    status, stdout, _ = quarl(project, "compile", "hello.quarl", "--json")
    assert json.loads(stdout)["output"] == "---\nname: World\n---\nHello World!\n"
    assert sorted(os.listdir(project / "out")) == ["x.map", "x.md"]  # no temporary file left behind


def test_fmt_rewrites_in_place(project):
    assert quarl(project, "fmt", "messy.quarl", "hello.quarl") == (0, "", "reformatted 1 file\n")
    assert (project / "messy.quarl").read_text() == "---\nname: A\n---\nHi {{ name }}\n@if name:\nyes\n@end\n"


def test_lint_fix_rewrites_in_place(project):
    (project / "copy.quarl").write_text("---\nname: Ada\n---\nx {name} \\{a b}\n")
    (project / "copy.quarl").chmod(0o640)
    status, stdout, stderr = quarl(project, "lint", "--fix", "copy.quarl", "hello.quarl")
    assert (status, stderr) == (0, "")
    assert stdout == "fixed 2 findings\n"
    assert (project / "copy.quarl").read_text() == "---\nname: Ada\n---\nx {{name}} {a b}\n"
    assert (project / "copy.quarl").stat().st_mode & 0o777 == 0o640
    assert quarl(project, "compile", "copy.quarl")[1] == "---\nname: Ada\n---\nx Ada {a b}\n"
    status, stdout, _ = quarl(project, "lint", "copy.quarl", "--format", "json")
    assert (status, json.loads(stdout)) == (0, {"files": [{"diagnostics": [], "file": "copy.quarl"}],
                                                "truncated": False, "version": 1})


def colored(project, *args, env, tty):
    """Standard error of `quarl` when it is (or is not) a terminal."""
    if not tty:
        return quarl(project, *args, env=env)[2]
    leader, follower = pty.openpty()
    with subprocess.Popen([sys.executable, "-m", "tessel", *args], cwd=project, stderr=follower,
                          stdout=subprocess.DEVNULL, env={**os.environ, **env}) as process:
        os.close(follower)
        chunks = []
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            chunks.append(chunk)
        process.wait(timeout=60)
    os.close(leader)
    return b"".join(chunks).decode()


@pytest.mark.parametrize("flag, env, tty, expected", [
    ([], {"NO_COLOR": ""}, True, True),
    ([], {"NO_COLOR": "1"}, True, False),
    ([], {"NO_COLOR": ""}, False, False),
    (["--color=always"], {"NO_COLOR": "1"}, False, True),
    (["--color=never"], {"NO_COLOR": ""}, True, False),
])
def test_colour(project, flag, env, tty, expected):
    assert ("\x1b[" in colored(project, "compile", "typo.quarl", *flag, env=env, tty=tty)) == expected


@pytest.mark.parametrize("text, span, shown, underline", [
    (b"abc {{ x }}\n", Span(0, 3, 1, 1), "abc {{ x }}", "^^^"),
    (b"abc\n{{ x }}", Span(10, 1, 2, 7), "{{ x }}", "      ^"),
    (b"abc\r\nxyz", Span(3, 2, 1, 4), "abc", "   ^"),  # at the line end: one caret after the text
    (b"ab\ncd", Span(1, 3, 1, 2), "ab", " ^"),  # a span that crosses the line end stops at it
    ("日本 é {{ x }}".encode(), Span(11, 5, 1, 7), "日本 é {{ x }}", "        ^^^^^"),
    ("e\u0301 \u202e{{ x }}".encode(), Span(7, 2, 1, 4), "e\u0301 \ufffd{{ x }}", "   ^^"),
    (b"\t\x1b[31m {{ x }}", Span(7, 7, 1, 8), "    \u241b[31m {{ x }}", "          ^^^^^^^"),
    # A line as wide as the limit is shown whole; one column more is cut.
    (b"x" * 93 + b"{{ y }}", Span(93, 7, 1, 94), "x" * 93 + "{{ y }}", " " * 93 + "^" * 7),
    (b"x" * 94 + b"{{ y }}", Span(94, 7, 1, 95), "\u2026" + "x" * 40 + "{{ y }}", " " * 41 + "^" * 7),
    (b"x" * 300 + b"{{ y }}" + b"z" * 300, Span(300, 7, 1, 301), "\u2026" + "x" * 40 + "{{ y }}" + "z" * 53 + "\u2026",
     " " * 41 + "^" * 7),
])
def test_caret_under_the_span(text, span, shown, underline):
    got = snippet(text, span)
    assert (got.shown, " " * got.caret_column + "^" * got.caret_width) == (shown, underline)
    assert len(shown) <= MAX_LINE_WIDTH + 2


@pytest.mark.parametrize("depth, found", [(MAX_ROOT_SEARCH - 1, True), (MAX_ROOT_SEARCH, False)])
def test_the_project_root_is_searched_as_far_as_the_compiler_searches(tmp_path, depth, found):
    (tmp_path / ".quarlroot").write_text("")
    start = tmp_path.joinpath(*["d"] * depth)
    start.mkdir(parents=True)
    assert project_root(str(start)) == str(tmp_path if found else start)


@pytest.mark.parametrize("text, value", [
    ("true", True), ("false", False), ("null", None), ("12", 12), ("-0.5", -0.5), ("1e3", 1000.0),
    ("007", "007"), ("+1", "+1"), ("1e999", "1e999"), ("NaN", "NaN"), ("True", "True"), ("", ""),
    ("[1, \"a\", [null]]", [1, "a", [None]]), ("{\"a\": 1}", "{\"a\": 1}"), ("a=b", "a=b"),
])
def test_set_coerces_values(text, value):
    assert coerce("key", text) == value and type(coerce("key", text)) is type(value)


def test_an_internal_fault_is_reported_not_raised(monkeypatch, capfdbinary, project):
    monkeypatch.chdir(project)

    def broken(*args, **kwargs):
        raise RuntimeError("boom")

    monkeypatch.setattr(cli.tessel, "compile_file", broken)
    assert cli.main(["compile", "hello.quarl"]) == 1
    err = capfdbinary.readouterr().err.decode()
    assert err.startswith("quarl: error[quarl::internal]: internal compiler error\nnote: this is a bug in tessel")
    assert "RuntimeError: boom" in err and "Traceback" not in err


def test_a_closed_pipe_is_not_a_traceback(project):
    (project / "big.quarl").write_text("line\n" * 200000)
    with subprocess.Popen([sys.executable, "-m", "tessel", "compile", "big.quarl"], cwd=project,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.read(10)
        process.stdout.close()
        assert b"Traceback" not in process.stderr.read()


def test_pre_commit_runs_the_hooks(project):
    """The repository's hooks, run by pre-commit on a repository of templates
    whose variables come from the configuration, as docs/cli.md sets them up
    (as local hooks: installing this package from source per run is too slow)."""
    pre_commit = shutil.which("pre-commit", path=os.path.dirname(sys.executable))
    if pre_commit is None or shutil.which("git") is None:
        pytest.skip("pre-commit or git is not installed")
    import yaml

    hooks = yaml.safe_load((Path(__file__).parents[1] / ".pre-commit-hooks.yaml").read_text())
    local = [{**hook, "language": "system", "entry": f"{sys.executable} -m tessel {hook['entry'].split(' ', 1)[1]}"}
             for hook in hooks]
    (project / ".pre-commit-config.yaml").write_text(yaml.safe_dump({"repos": [{"repo": "local", "hooks": local}]}))
    (project / "pyproject.toml").write_text('[tool.quarl]\nvars = { "chat.quarl" = "vars.json", "kinds.quarl" = '
                                            '"kinds.json" }\nrules = { legacy-interpolation = "off" }\n')
    (project / "kinds.json").write_text('{"flag": true, "n": 1, "xs": [], "s": "x", "nothing": null}')
    env = {**os.environ, "PRE_COMMIT_HOME": str(project / ".cache"), "GIT_CONFIG_GLOBAL": os.devnull}
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run([*git, "init", "-q"], cwd=project, check=True, env=env)
    subprocess.run([*git, "add", "."], cwd=project, check=True, env=env)
    run = subprocess.run([pre_commit, "run", "--all-files"], cwd=project, capture_output=True, env=env, text=True)
    assert run.returncode == 1 and "typo.quarl:1:10: error[quarl::undefined_var]" in run.stdout, run.stdout
    (project / "typo.quarl").write_text("fixed\n")
    for name in ("main.quarl", "lib/helpers.quarl", "messy.quarl"):  # broken or unformatted on purpose
        (project / name).unlink()
    subprocess.run([*git, "add", "-A"], cwd=project, check=True, env=env)
    run = subprocess.run([pre_commit, "run", "--all-files"], cwd=project, capture_output=True, env=env, text=True)
    assert run.returncode == 0, run.stdout


def test_a_byte_order_mark_is_not_content(project):
    (project / "marked.quarl").write_bytes(b"\xef\xbb\xbf---\nname: Ada\n---\nHi {{ name }} {old}\n{{ nmae }}\n")
    status, _, stderr = quarl(project, "compile", "marked.quarl")
    assert (status, stderr) == (1, "marked.quarl:5:4: error[quarl::undefined_var]: undefined variable 'nmae'\n"
                                   " 5 | {{ nmae }}\n   |    ^^^^\nhelp: define 'nmae' in frontmatter or imports\n"
                                   "note: did you mean 'name'?\n")
    (project / "marked.quarl").write_bytes(b"\xef\xbb\xbf---\nname: Ada\n---\nHi {{ name }} {name}\n")
    assert quarl(project, "lint", "--fix", "marked.quarl")[:2] == (0, "fixed 1 finding\n")
    assert (project / "marked.quarl").read_bytes() == b"\xef\xbb\xbf---\nname: Ada\n---\nHi {{ name }} {{name}}\n"
    # Columns count in the text as given, the mark included; the caret goes under the name.
    stderr = quarl(project, "compile", "-", stdin=b"\xef\xbb\xbf{{ x }}")[2]
    assert stderr.startswith("<stdin>:1:5: error[") and "\n 1 | {{ x }}\n   |    ^\n" in stderr, stderr


def _loop(project):
    os.symlink("loop-b.quarl", project / "loop-a.quarl")
    os.symlink("loop-a.quarl", project / "loop-b.quarl")
    return "loop-a.quarl"


def _undecodable_name(project):
    with open(os.path.join(os.fsencode(project), b"bad\xff.quarl"), "wb") as file:
        file.write(b"Hi\n")
    return os.fsdecode(b"bad\xff.quarl")


def _not_utf8_text(project):
    (project / "latin1.quarl").write_bytes(b"Jos\xe9\n")
    return "latin1.quarl"


# A file named on the command line that cannot be opened is the command
# line's problem (2), said as such; one that opens and fails is the
# template's (1).
@pytest.mark.parametrize("make, command, status, stderr", [
    (_loop, "compile", 2, "loop-a.quarl: error[quarl::io]: cannot read loop-a.quarl: Too many levels of symbolic links\n"),
    (lambda project: "/dev/stdin", "check", 2,
     "/dev/stdin: error[quarl::io]: cannot read /dev/stdin: not a regular file (use - for standard input)\n"),
    (_undecodable_name, "lint", 2,
     "bad\\xFF.quarl: error[quarl::io]: cannot read bad\\xFF.quarl: the file name is not valid UTF-8\n"),
    (_undecodable_name, "fmt", 0, ""),  # fmt reads any name
    (_not_utf8_text, "check", 1, "latin1.quarl: error[quarl::io]: invalid UTF-8 in latin1.quarl"),
])
def test_files_that_cannot_be_opened(project, make, command, status, stderr):
    got_status, _, got_stderr = quarl(project, command, make(project))
    assert (got_status, "Traceback" in got_stderr) == (status, False), got_stderr
    assert got_stderr.startswith(stderr) or stderr in got_stderr, got_stderr


@pytest.mark.parametrize("stdout, message", [
    ("closed", "quarl: error: cannot write standard output: Bad file descriptor\n"),
    ("/dev/full", "quarl: error: cannot write standard output: No space left on device\n"),
])
def test_output_that_cannot_be_written(project, stdout, message):
    with open(os.devnull if stdout == "closed" else stdout, "wb") as sink:
        done = subprocess.run([sys.executable, "-m", "tessel", "compile", "hello.quarl"], cwd=project, stdout=sink,
                              stderr=subprocess.PIPE, timeout=60,
                              preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None)
    assert (done.returncode, done.stderr.decode()) == (2, message)


def test_fmt_counts_only_what_it_wrote(project, monkeypatch, capfdbinary):
    monkeypatch.chdir(project)

    def disk_full(path, data):
        raise OSError(28, "No space left on device", os.path.join(project, ".messy.quarl.x.tmp"))

    monkeypatch.setattr(cli, "write_atomically", disk_full)
    assert cli.main(["fmt", "messy.quarl", "hello.quarl"]) == 2
    assert capfdbinary.readouterr().err.decode() == "quarl: error: cannot write messy.quarl: No space left on device\n"
    assert (project / "messy.quarl").read_text() == PROJECT["messy.quarl"]


def test_interrupted_quietly_with_130(project):
    """Ctrl-C while a command waits (here on standard input) ends it with 130
    and nothing on standard error; Ctrl-C at any moment of fmt leaves each
    file as it was or formatted whole, and no temporary file behind."""
    waiting = subprocess.Popen([sys.executable, "-m", "tessel", "compile", "-"], cwd=project, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.5)
    waiting.send_signal(signal.SIGINT)
    _, stderr = waiting.communicate(timeout=60)
    assert (waiting.returncode, stderr) == (130, b"")
    names = [f"m{i}.quarl" for i in range(40)]
    for delay in (0.05, 0.1, 0.15, 0.2, 0.3, 0.4):
        for name in names:
            (project / name).write_text(PROJECT["messy.quarl"])
        run = subprocess.Popen([sys.executable, "-m", "tessel", "fmt", *names], cwd=project, stderr=subprocess.PIPE)
        time.sleep(delay)
        run.send_signal(signal.SIGINT)
        run.communicate(timeout=60)
        assert {(project / name).read_text() for name in names} <= {
            PROJECT["messy.quarl"], "---\nname: A\n---\nHi {{ name }}\n@if name:\nyes\n@end\n"}
        assert not [entry for entry in os.listdir(project) if entry.endswith(".tmp")]


@pytest.mark.parametrize("bad, stderr", [
    ("---\na: 1\nb: [\n---\nbody\n", "bad.quarl:4:1: error[quarl::yaml]: YAML parse error: while parsing a flow node, "
                                     "did not find expected node content at line 4, column 1\n 4 | ---\n   | ^\n"),
    ("\ufeff---\na: 1\n  b: 2\n---\n", "bad.quarl:3:4: error[quarl::yaml]: YAML parse error: mapping values are not "
                                       "allowed in this context at line 3, column 4\n 3 |   b: 2\n   |    ^\n"),
    ("---\nimports: 1\n---\n", "bad.quarl: error[quarl::import]: import error: imports must be a YAML sequence"),
])
def test_a_frontmatter_error_is_shown_in_its_own_module(tmp_path, bad, stderr):
    (tmp_path / "uses.quarl").write_text('@import "./bad.quarl" as b\nx\n')
    (tmp_path / "bad.quarl").write_text(bad)
    status, _, got = quarl(tmp_path, "compile", "uses.quarl")
    assert (status, got.startswith(stderr)) == (1, True), got
