"""The project configuration and folders on the command line, and what lint --fix
refuses to write: run as a user runs them."""

import json

import pytest
from test_cli import quarl

PYPROJECT = """\
[project]
name = "prompts"

[tool.quarl]
exclude = ["prompts/old/**"]
frontmatter = "drop"
vars = { "prompts/chat/*.quarl" = "fixtures/chat.json" }
rules = { legacy-interpolation = "off" }

[[tool.quarl.overrides]]
files = ["lib"]
rules = { unused-function = "off" }
"""

PROJECT = {
    "pyproject.toml": PYPROJECT,
    "fixtures/chat.json": '{"who": "Ada"}',
    "prompts/hello.quarl": "---\ntitle: T\n---\nHello {{ title }}\n",
    "prompts/chat/ask.quarl": "Ask {{ who }} about {placeholder}.\n",
    "prompts/old/broken.quarl": "{{ missing }}\n",
    "prompts/page.md": "---\ntype: quarl\n---\nA page {{ upper('x') }}\n",
    "prompts/readme.md": "Not a template {{ missing }}\n",
    "lib/helpers.quarl": "@define unused():\nx\n@end\n",
}


@pytest.fixture
def project(tmp_path):
    for name, text in PROJECT.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    return tmp_path


# (arguments, exit status, standard output it holds, standard error it holds)
CASES = [
    # Folders: every template below, the excluded ones and unmarked .md files left out.
    (["check", "."], 0, "", ""),
    (["check", "prompts/old/broken.quarl"], 1, "", "undefined variable 'missing'"),  # named: checked
    (["check", "fixtures"], 2, "", "no templates in fixtures"),
    (["scan-imports", "prompts", "--json"], 0,
     '{"prompts/hello.quarl": [], "prompts/page.md": [], "prompts/chat/ask.quarl": []}', ""),
    # The configuration's frontmatter, vars and rules; flags win over it.
    (["compile", "prompts/hello.quarl"], 0, "Hello T\n", ""),
    (["compile", "prompts/hello.quarl", "--frontmatter", "keep"], 0, "---\ntitle: T\n---\nHello T\n", ""),
    (["compile", "prompts/chat/ask.quarl"], 0, "Ask Ada about {placeholder}.\n", ""),
    (["compile", "prompts/chat/ask.quarl", "--set", "who=Bo"], 0, "Ask Bo about", ""),
    (["lint", "."], 0, "", ""),
    (["lint", "prompts", "--rule", "legacy-interpolation=warn"], 0, "1 finding (1 warn)", ""),
    (["lint", "lib/helpers.quarl", "--rule", "unused-function=error"], 1, "error[unused-function]", ""),
    (["fmt", "--check", "."], 0, "", ""),
]


@pytest.mark.parametrize("args, status, stdout, stderr", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_configured_project(project, args, status, stdout, stderr):
    got_status, got_stdout, got_stderr = quarl(project, *args)
    assert (got_status, stdout in got_stdout, stderr in got_stderr) == (status, True, True), (got_stdout, got_stderr)


def test_a_folder_compiles_into_a_folder(project):
    assert quarl(project, "compile", "prompts", "-o", "out")[:2] == (0, "")
    assert (project / "out/prompts/hello.md").read_text() == "Hello T\n"
    assert (project / "out/prompts/chat/ask.md").read_text() == "Ask Ada about {placeholder}.\n"
    assert not (project / "out/prompts/old").exists()
    assert quarl(project, "compile", "prompts")[2] == ("quarl compile: error: several templates compile into a "
                                                       "folder: give it with -o FOLDER\n")


# A configuration that cannot be used says where and why, and nothing runs.
@pytest.mark.parametrize("config, message", [
    ("[tool.quarl]\ncolour = 1\n",
     "pyproject.toml: [tool.quarl] colour: unknown key; known keys are include, exclude, frontmatter, vars, rules, "
     "overrides"),
    ("[tool.quarl]\nfrontmatter = true\n", "pyproject.toml: frontmatter: must be one of keep, drop, got True"),
    ("[tool.quarl]\nexclude = \"old\"\n", "pyproject.toml: exclude: must be a list of strings"),
    ("[tool.quarl]\nrules = { empty-block = \"loud\" }\n",
     "pyproject.toml: rules.empty-block: must be one of off, info, warn, error, got 'loud'"),
    ("[tool.quarl]\nvars = { \"*.quarl\" = \"gone.json\" }\n",
     'pyproject.toml: vars."*.quarl": invalid vars file: cannot read'),
    ("[tool.quarl]\nvars = { \"*.quarl\" = \"list.json\" }\n",
     'pyproject.toml: vars."*.quarl": invalid vars file:'),
    ("[[tool.quarl.overrides]]\nrules = {}\n", "pyproject.toml: overrides[0]: needs files, the globs it applies to"),
    ("[tool.quarl\n", "pyproject.toml: (file): not valid TOML"),
])
def test_a_bad_configuration(tmp_path, config, message):
    (tmp_path / "pyproject.toml").write_text(config)
    (tmp_path / "list.json").write_text("[1]")
    (tmp_path / "t.quarl").write_text("x\n")
    status, _, stderr = quarl(tmp_path, "check", "t.quarl")
    assert (status, f"error[quarl::invalid_options]: invalid configuration: {tmp_path}/{message}" in stderr) == (
        2, True), stderr


def test_the_nearest_configuration_wins(project):
    """A quarl.toml in a subfolder is that folder's configuration; in a folder
    with both, quarl.toml wins over pyproject.toml."""
    (project / "prompts/quarl.toml").write_text('frontmatter = "keep"\n')
    assert quarl(project, "compile", "prompts/hello.quarl")[1] == "---\ntitle: T\n---\nHello T\n"
    (project / "quarl.toml").write_text('frontmatter = "keep"\n')
    (project / "prompts/quarl.toml").unlink()
    assert quarl(project, "compile", "prompts/hello.quarl")[1] == "---\ntitle: T\n---\nHello T\n"


# lint --fix writes only the fixes that leave the template passing its check.
@pytest.mark.parametrize("text, fixed, note", [
    ("---\nname: A\n---\nHi {name}\n", "---\nname: A\n---\nHi {{name}}\n", None),
    ("Use the placeholder {customer} literally.\n", None, "undefined variable 'customer'"),
    ("---\nname: A\n---\nHi {name}, use {customer} literally.\n",
     "---\nname: A\n---\nHi {{name}}, use {customer} literally.\n", "undefined variable 'customer'"),
])
def test_fixes_that_would_break_the_template_are_not_written(tmp_path, text, fixed, note):
    (tmp_path / "t.quarl").write_text(text)
    status, stdout, stderr = quarl(tmp_path, "lint", "--fix", "t.quarl")
    assert (tmp_path / "t.quarl").read_text() == (fixed or text)
    assert ("fixed 1 finding" in stdout) == (fixed is not None)
    assert (note is None and "not fixed" not in stderr) or (
        "t.quarl:4: warning: not fixed (legacy-interpolation): the fixed template would fail its check: "
        f"{note}" in stderr or f"t.quarl:1: warning: not fixed (legacy-interpolation): the fixed template would "
                               f"fail its check: {note}" in stderr), stderr
    again = quarl(tmp_path, "lint", "--fix", "t.quarl")
    assert (tmp_path / "t.quarl").read_text() == (fixed or text) and "fixed" not in again[1]


def test_pre_commit_example_with_configured_variables(tmp_path):
    """The configuration gives the hooks the variables callers supply: check
    and lint pass with no arguments (run as the hooks run them)."""
    (tmp_path / "pyproject.toml").write_text('[tool.quarl]\nvars = { "prompts/*.quarl" = "defaults.json" }\n')
    (tmp_path / "defaults.json").write_text(json.dumps({"customer": {"name": "Ada"}}))
    (tmp_path / "prompts").mkdir()
    (tmp_path / "prompts/greet.quarl").write_text("Hello {{ customer.name }}\n")
    for command in ("check", "lint"):
        assert quarl(tmp_path, command, "prompts/greet.quarl")[0] == 0
