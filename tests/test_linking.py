"""Linking files from Python: the project root, dependencies as paths, base_path (module maps are cases in cases/)."""

import pytest

import tessel
from tessel import QuarlError


def test_files_and_base_path(tmp_path, monkeypatch):
    project = tmp_path / "project"
    (project / "lib").mkdir(parents=True)
    (project / ".quarlroot").touch()
    (tmp_path / "outside.quarl").write_text("outside")
    (project / "lib" / "util.quarl").write_text("@define f():\nutil\n@end\n")
    (project / "base.quarl").write_text("---\ntone: calm\n---\n@block body:\nBase\n@end\n({{ tone }})\n")
    (project / "page.quarl").write_text(
        '---\nimports:\n  - path: ./lib/util.quarl\n---\n@extends "./base.quarl"\n@block body:\n{{ f() }}\n@end\n')
    result = tessel.compile_file(project / "page.quarl")
    assert result.output == "---\ntone: calm\n---\nutil\n(calm)\n"
    assert result.dependencies == [str((project / "lib" / "util.quarl").resolve()),
                                   str((project / "base.quarl").resolve())]
    source = '@import { f } from "./lib/util.quarl"\n{{ f() }}'
    assert tessel.compile(source, base_path=project).output == "util\n"
    monkeypatch.chdir(project / "lib")  # without a base path, imports start from here
    assert tessel.compile(source.replace("./lib/", "./")).output == "util\n"
    with pytest.raises(QuarlError) as info:
        tessel.compile('@import "../outside.quarl"\n', base_path=project)
    assert info.value.message == 'import error: import path escapes project directory: "../outside.quarl"'


@pytest.mark.parametrize("path", ["../outside.quarl", "../missing.quarl", "../link.quarl", "../nowhere/x.quarl",
                                  "./../outside.quarl"])
def test_an_escape_does_not_tell_what_is_outside(tmp_path, path):
    """Whether something is there or not, and what it is, a path out of the
    project fails the same way."""
    project = tmp_path / "project"
    project.mkdir()
    (project / ".quarlroot").touch()
    (tmp_path / "outside.quarl").write_text("outside")
    (tmp_path / "link.quarl").symlink_to(tmp_path / "outside.quarl")
    with pytest.raises(QuarlError) as info:
        tessel.compile(f'@import "{path}"\n', base_path=project)
    assert (info.value.code, info.value.message) == (
        "quarl::import", f'import error: import path escapes project directory: "{path}"')
    # Where the project root is, and where a .quarlroot would take in both.
    root, both = project.resolve(), tmp_path.resolve()
    assert info.value.notes == [f"the project root is {root}, the nearest folder above the template with .git or "
                                f".quarlroot (else the template's own folder); an empty .quarlroot file in {both} "
                                "would take in both"]
