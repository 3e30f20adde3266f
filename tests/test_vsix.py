"""The VS Code extension as `make vsix` packages it: the manifest names the
language, the grammar and the server command, and the package carries the
grammar and the bundled client, with no run-time downloads."""

from __future__ import annotations

import json
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
VSIX = ROOT / "build" / "quarl.vsix"


@pytest.mark.skipif(not VSIX.exists(), reason="build/quarl.vsix is built by make vsix (make test builds it)")
def test_the_package_names_the_grammar_and_the_server_command() -> None:
    with zipfile.ZipFile(VSIX) as package:
        manifest = json.loads(package.read("extension/package.json"))
        grammar = json.loads(package.read("extension/syntaxes/quarl.tmLanguage.json"))
        client = package.read("extension/dist/extension.js").decode()
        names = set(package.namelist())
    contributes = manifest["contributes"]
    assert contributes["languages"][0]["id"] == "quarl" and contributes["languages"][0]["extensions"] == [".quarl"]
    assert [(g["language"], g["scopeName"], g["path"]) for g in contributes["grammars"]] == [
        ("quarl", "source.quarl", "./syntaxes/quarl.tmLanguage.json")]
    settings = contributes["configuration"]["properties"]
    assert settings["quarl.server.args"]["default"] == ["-m", "tessel", "lsp"]
    assert grammar == json.loads((ROOT / "editors" / "quarl.tmLanguage.json").read_text())
    assert manifest["main"] == "./dist/extension.js" and "extension/syntaxes/language-configuration.json" in names
    assert not any("node_modules" in name for name in names)  # the client is bundled, nothing fetched
    assert "tessel[lsp]" in client and "require(\"vscode\")" in client.replace("'", "\"")
