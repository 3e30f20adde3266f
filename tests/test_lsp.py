"""`quarl lsp` end to end: a real client (pytest-lsp) starts the server over
stdio on a project on disk and talks the protocol to it."""

from __future__ import annotations

import asyncio
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest
import pytest_lsp
from lsprotocol import types
from pytest_lsp import ClientServerConfig, LanguageClient

SERVER = [sys.executable, "-m", "tessel", "lsp"]

LIB = """\
@define shout(text, mark = "!"):
{{ upper(text) }}{{ mark }}
@end
@define unused_here():
x
@end
@export shout
@export unused_here
"""
BASE = "# Report\n@block body:\nDefault.\n@end\n"
MAIN = """\
---
greeting: Hello
---
@import "./lib.quarl" as lib
@define line(item):
- {{ item.title }}: {{ lib.shout(item.note) }}
@end
{{ greeting }}, {{ lib.shout(name, "?") }}
@for t in tickets:
{{ line(t) }}
@end
"""
OTHER = '@import { shout } from "./lib.quarl"\n@import "./base.quarl" as base\n{{ shout("hi") }}\n@include base\n'
WEEKLY = '@extends "./base.quarl"\n@block body:\nThis week.\n@end\n'
FILES = {"lib.quarl": LIB, "base.quarl": BASE, "main.quarl": MAIN, "other.quarl": OTHER, "weekly.quarl": WEEKLY}


def pos(name: str, needle: str, inside: int = 0) -> types.Position:
    """The position `inside` characters into the first `needle` of a file of
    FILES (or where a "|" in the needle stands)."""
    if "|" in needle:
        needle, inside = needle.replace("|", ""), needle.index("|")
    before = FILES[name][:FILES[name].index(needle) + inside]
    return types.Position(line=before.count("\n"), character=len(before) - before.rfind("\n") - 1)


@pytest.fixture
def project(tmp_path: Path) -> Path:
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "checked").mkdir()
    (tmp_path / "checked" / "vars.json").write_text('{"user": {"name": "Ada"}}')
    (tmp_path / "quarl.toml").write_text('vars = { "checked/*.quarl" = "checked/vars.json" }\n'
                                         'rules = { unused-variable = "error" }\n')
    return tmp_path


@pytest_lsp.fixture(config=ClientServerConfig(server_command=SERVER))
async def client(lsp_client: LanguageClient, project: Path):  # type: ignore[no-untyped-def]
    await lsp_client.initialize_session(types.InitializeParams(
        capabilities=types.ClientCapabilities(), root_uri=project.as_uri(),
        workspace_folders=[types.WorkspaceFolder(uri=project.as_uri(), name="project")]))
    lsp_client.project = project  # type: ignore[attr-defined]
    yield
    await lsp_client.shutdown_session()


async def opened(client: LanguageClient, name: str, text: str | None = None) -> str:
    path = client.project / name  # type: ignore[attr-defined]
    if text is None:
        text = path.read_text()
    uri = path.as_uri()
    client.text_document_did_open(types.DidOpenTextDocumentParams(
        text_document=types.TextDocumentItem(uri=uri, language_id="quarl", version=1, text=text)))
    await client.wait_for_notification(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    return uri


def at(line: int, character: int) -> types.Position:
    return types.Position(line=line, character=character)


def doc(uri: str) -> types.TextDocumentIdentifier:
    return types.TextDocumentIdentifier(uri=uri)


# ---- diagnostics ----------------------------------------------------------------

DIAGNOSTICS = [  # file, text, [(code, line, severity)]
    ("main.quarl", None, []),  # caller variables are not reported without configured vars
    ("a.quarl", "@if x:\nyes\n", [("quarl::syntax", 0, 1)]),
    ("a.quarl", "{{ nope(1) }}\n", [("quarl::undefined_fn", 0, 1)]),
    ("a.quarl", "{{ upper(1, 2) }}\n", [("quarl::arity", 0, 1)]),
    ("a.quarl", '@import "./missing.quarl" as m\n', [("quarl::file_not_found", 0, 1)]),
    ("a.quarl", '@import "./lib.quarl" as lib\n', [("unused-import", 0, 2)]),
    ("a.quarl", "---\nx: 1\n---\nHi {name}\n", [("unused-variable", 1, 1), ("legacy-interpolation", 3, 2)]),
    ("checked/a.quarl", "{{ user.name }} {{ user.age }}\n", [("quarl::vars", 0, 1)]),
    ("checked/b.quarl", "{{ user.name }}\n", []),
]


@pytest.mark.parametrize(("name", "text", "expected"), DIAGNOSTICS)
async def test_diagnostics_on_open(client: LanguageClient, name: str, text: str | None, expected: list) -> None:
    uri = await opened(client, name, text)
    found = [(d.code, d.range.start.line, d.severity) for d in client.diagnostics[uri]]
    assert found == expected, client.diagnostics[uri]


class Published(dict):  # type: ignore[type-arg]
    """The client's diagnostics by document, remembering every publication."""

    def __init__(self) -> None:
        super().__init__()
        self.log: list[tuple[str, list[str]]] = []

    def __setitem__(self, uri: str, diagnostics: list[types.Diagnostic]) -> None:
        self.log.append((uri, [str(d.code) for d in diagnostics]))
        super().__setitem__(uri, diagnostics)


async def changed(client: LanguageClient, uri: str, text: str, version: int = 2) -> None:
    client.text_document_did_change(types.DidChangeTextDocumentParams(
        text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=version),
        content_changes=[types.TextDocumentContentChangeWholeDocument(text=text)]))
    await client.wait_for_notification(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)


async def test_rapid_edits_publish_only_the_last_text(client: LanguageClient) -> None:
    uri = await opened(client, "a.quarl", "ok\n")
    client.diagnostics = published = Published()
    for version, text in enumerate(["{{ a(", "{{ nope() }}\n", "@if x:\n"], start=2):
        client.text_document_did_change(types.DidChangeTextDocumentParams(
            text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=version),
            content_changes=[types.TextDocumentContentChangeWholeDocument(text=text)]))
    await changed(client, uri, "{{ upper(1, 2) }}\n", version=5)
    await asyncio.sleep(0.4)
    assert published.log == [(uri, ["quarl::arity"])]


# ---- hover, definition, references, rename ---------------------------------------

HOVERS = [  # file, the text hovered (and how far into it), expected within the hover (None: no hover)
    ("main.quarl", "greeting }}", 2, "frontmatter variable: `greeting: Hello`"),
    ("main.quarl", 'shout(name', 1, 'shout(text, mark = "!")'),
    ("main.quarl", "name,", 1, "`name`: caller input, string"),
    ("main.quarl", "tickets", 1, "`tickets`: caller input, array (iterated)"),
    ("main.quarl", "./lib", 2, "lib.quarl"),
    ("main.quarl", "line(t)", 1, "line(item)"),
    ("main.quarl", "item.title", 1, "parameter `item`"),
    ("main.quarl", "- {{", 0, None),
    ("lib.quarl", "upper", 1, "upper(s)"),
    ("lib.quarl", "upper", 1, "upper case"),
]


@pytest.mark.parametrize(("name", "needle", "inside", "expected"), HOVERS)
async def test_hover(client: LanguageClient, name: str, needle: str, inside: int, expected: str | None) -> None:
    uri = await opened(client, name)
    hover = await client.text_document_hover_async(
        types.HoverParams(text_document=doc(uri), position=pos(name, needle, inside)))
    if expected is None:
        assert hover is None
    else:
        assert hover is not None and expected in hover.contents.value, hover


DEFINITIONS = [  # file, the text the cursor is in -> file, the text defined
    ("main.quarl", "shout(name", "lib.quarl", "shout(text"),
    ("main.quarl", "line(t)", "main.quarl", "line(item)"),
    ("main.quarl", "t)", "main.quarl", "t in"),
    ("main.quarl", "./lib", "lib.quarl", "@define shout"),
    ("other.quarl", "shout }", "lib.quarl", "shout(text"),
    ("other.quarl", 'shout("', "lib.quarl", "shout(text"),
    ("weekly.quarl", "body", "base.quarl", "body"),
    ("other.quarl", "include b|ase", "base.quarl", "# Report"),
]


@pytest.mark.parametrize(("name", "needle", "target", "defined"), DEFINITIONS)
async def test_definition(client: LanguageClient, name: str, needle: str, target: str, defined: str) -> None:
    uri = await opened(client, name)
    found = await client.text_document_definition_async(
        types.DefinitionParams(text_document=doc(uri), position=pos(name, needle, 1)))
    assert found and (Path(found[0].uri[7:]).name, found[0].range.start) == (target, pos(target, defined))


async def test_references_across_files(client: LanguageClient) -> None:
    uri = await opened(client, "lib.quarl")
    found = await client.text_document_references_async(types.ReferenceParams(
        text_document=doc(uri), position=pos("lib.quarl", "shout", 1),
        context=types.ReferenceContext(include_declaration=True)))
    places = sorted((Path(loc.uri[7:]).name, loc.range.start.line) for loc in found)  # lines hold one each
    assert places == [("lib.quarl", 0), ("lib.quarl", 6), ("main.quarl", 5), ("main.quarl", 7),
                      ("other.quarl", 0), ("other.quarl", 2)]


RENDERED = {"name": "a", "tickets": [{"title": "T", "note": "n"}]}


async def test_references_of_an_import_path_are_every_path_to_that_module(client: LanguageClient) -> None:
    uri = await opened(client, "other.quarl")
    found = await client.text_document_references_async(types.ReferenceParams(
        text_document=doc(uri), position=pos("other.quarl", "./li|b"),
        context=types.ReferenceContext(include_declaration=True)))
    assert sorted((Path(loc.uri[7:]).name, loc.range.start.line) for loc in found) == [
        ("main.quarl", 3), ("other.quarl", 0)]


def _apply(edit: types.WorkspaceEdit) -> None:
    for changed_uri, edits in (edit.changes or {}).items():
        path = Path(changed_uri[7:])
        lines = path.read_text().split("\n")
        for one in sorted(edits, key=lambda e: (e.range.start.line, e.range.start.character), reverse=True):
            text = lines[one.range.start.line]
            lines[one.range.start.line] = text[:one.range.start.character] + one.new_text + text[one.range.end.character:]
        path.write_text("\n".join(lines))


@pytest.mark.parametrize(("name", "needle", "new_name", "changed_files"), [
    ("lib.quarl", "shout", "yell", {"lib.quarl", "main.quarl", "other.quarl"}),
    ("base.quarl", "body", "main_part", {"base.quarl", "weekly.quarl"}),
    ("main.quarl", "greeting:", "salutation", {"main.quarl"}),
])
async def test_rename_across_files(client: LanguageClient, name: str, needle: str, new_name: str,
                                   changed_files: set[str]) -> None:
    import tessel
    project = client.project  # type: ignore[attr-defined]
    uri = await opened(client, name)
    before = {file: tessel.compile_file(project / file, vars=RENDERED, frontmatter="drop").output
              for file in ("main.quarl", "other.quarl", "weekly.quarl")}
    edit = await client.text_document_rename_async(
        types.RenameParams(text_document=doc(uri), position=pos(name, needle, 1), new_name=new_name))
    assert edit is not None and {Path(u[7:]).name for u in edit.changes or {}} == changed_files
    _apply(edit)
    after = {file: tessel.compile_file(project / file, vars=RENDERED, frontmatter="drop").output for file in before}
    assert after == before and new_name in (project / name).read_text()


RENAME_REFUSALS = [  # the name the cursor is in, new name, reason
    ("t)", "u", "'t' is a loop variable"),
    ("tickets", "u", "caller's variable"),
    ("upper", "u", None),
    ("line(item)", "upper", "'upper' is a builtin"),
    ("line(item)", "greeting", "'greeting' is already used"),
    ("line(item)", "2x", "'2x' is not a name"),
    ("lib.shout(item", "sign", "'sign' is already used in .*merged.quarl"),
]


@pytest.mark.parametrize(("needle", "new_name", "reason"), RENAME_REFUSALS)
async def test_rename_refused_where_it_would_change_meaning(client: LanguageClient, needle: str, new_name: str,
                                                            reason: str | None) -> None:
    (client.project / "merged.quarl").write_text(  # type: ignore[attr-defined]
        '@import "./lib.quarl"\n@define sign():\nx\n@end\n{{ sign() }}\n')
    uri = await opened(client, "lib.quarl" if needle == "upper" else "main.quarl")
    position = pos("lib.quarl" if needle == "upper" else "main.quarl", needle, 5 if needle.startswith("lib.") else 1)
    with pytest.raises(Exception, match=reason or "'upper' is a builtin function"):
        await client.text_document_rename_async(
            types.RenameParams(text_document=doc(uri), position=position, new_name=new_name))


# ---- completion and signatures -----------------------------------------------------

COMPLETIONS = [  # text typed on a new last line, labels expected among the items, labels not expected
    ("@i", {"if", "import", "include"}, {"for"}),
    ("{{ ", {"greeting", "line", "lib", "upper", "name", "tickets"}, {"t", "item"}),
    ("{{ lib.", {"shout", "unused_here"}, {"upper"}),
    ('@import "./l', {"./lib.quarl"}, {"./main.quarl"}),
    ("plain text ", set(), {"upper"}),
]


@pytest.mark.parametrize(("line", "expected", "absent"), COMPLETIONS)
async def test_completion_while_typing(client: LanguageClient, line: str, expected: set[str], absent: set[str]) -> None:
    uri = await opened(client, "main.quarl")
    await changed(client, uri, MAIN + line)
    found = await client.text_document_completion_async(
        types.CompletionParams(text_document=doc(uri), position=at(11, len(line))))
    labels = {item.label for item in (found.items if found else [])}
    assert expected <= labels and not (absent & labels), labels


async def test_completion_inside_a_loop_offers_its_variable(client: LanguageClient) -> None:
    uri = await opened(client, "main.quarl")
    found = await client.text_document_completion_async(
        types.CompletionParams(text_document=doc(uri), position=pos("main.quarl", "line(t)")))
    assert "t" in {item.label for item in found.items}


@pytest.mark.parametrize(("line", "label", "active"), [
    ("{{ lib.shout(name, ", 'shout(text, mark = "!")', 1),
    ("{{ slice(x, ", "slice(x, start, end?)", 1),
    ('{{ line("a, b"', "line(item)", 0),
    ("{{ upper(trim(x), ", "upper(s)", 0),
])
async def test_signature_help(client: LanguageClient, line: str, label: str, active: int) -> None:
    uri = await opened(client, "main.quarl")
    await changed(client, uri, MAIN + line)
    found = await client.text_document_signature_help_async(
        types.SignatureHelpParams(text_document=doc(uri), position=at(11, len(line))))
    assert found is not None and (found.signatures[0].label, found.active_parameter) == (label, active)


# ---- structure, formatting and fixes ----------------------------------------------

async def test_symbols_folding_links_and_tokens(client: LanguageClient) -> None:
    uri = await opened(client, "main.quarl")
    symbols = await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=doc(uri)))
    assert [(s.name, s.range.start.line) for s in symbols] == [("greeting", 1), ("lib", 3), ("line", 4)]
    folds = await client.text_document_folding_range_async(types.FoldingRangeParams(text_document=doc(uri)))
    assert sorted((f.start_line, f.end_line) for f in folds) == [(0, 2), (4, 6), (8, 10)]
    links = await client.text_document_document_link_async(types.DocumentLinkParams(text_document=doc(uri)))
    assert [(link.range.start.line, Path(link.target[7:]).name) for link in links] == [(3, "lib.quarl")]
    tokens = await client.text_document_semantic_tokens_full_async(types.SemanticTokensParams(text_document=doc(uri)))
    # greeting (a variable declared), then @import (a keyword), lib (a namespace declared)
    assert tokens is not None and list(tokens.data[:15]) == [1, 0, 8, 2, 1, 2, 0, 7, 4, 0, 0, 25, 3, 0, 1]


async def test_formatting_and_a_fix_all_that_lints_clean(client: LanguageClient) -> None:
    text = "---\nx: 1\n---\n@if  x:\nHi {name}\n@end\n"
    uri = await opened(client, "a.quarl", text)
    edits = await client.text_document_formatting_async(types.DocumentFormattingParams(
        text_document=doc(uri), options=types.FormattingOptions(tab_size=2, insert_spaces=True)))
    import tessel
    assert edits and edits[0].new_text == tessel.format(text)
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=doc(uri), range=types.Range(start=at(4, 0), end=at(4, 9)),
        context=types.CodeActionContext(diagnostics=[])))
    kinds = {action.kind for action in actions}
    assert kinds == {types.CodeActionKind.QuickFix, types.CodeActionKind.SourceFixAll}
    fix_all = next(a for a in actions if a.kind == types.CodeActionKind.SourceFixAll)
    fixed = fix_all.edit.changes[uri][0].new_text
    await changed(client, uri, fixed)
    assert "{{name}}" in fixed and not client.diagnostics[uri]


async def test_pyproject_configuration_sets_rule_severities(client: LanguageClient) -> None:
    folder = client.project / "sub"  # type: ignore[attr-defined]
    folder.mkdir()
    (folder / "pyproject.toml").write_text('[tool.quarl]\nrules = { legacy-interpolation = "off" }\n')
    uri = await opened(client, "sub/a.quarl", "Hi {name}\n")
    assert not client.diagnostics[uri]


# ---- robustness --------------------------------------------------------------------

async def test_mid_edit_text_keeps_navigating_by_the_last_index(client: LanguageClient) -> None:
    uri = await opened(client, "main.quarl")
    await changed(client, uri, MAIN.replace("{{ line(t) }}", "{{ line(t) }} {{ lib."))
    assert client.diagnostics[uri][0].code == "quarl::syntax"
    found = await client.text_document_definition_async(
        types.DefinitionParams(text_document=doc(uri), position=pos("main.quarl", "line(t)", 1)))
    assert found and found[0].range.start == pos("main.quarl", "line(item)")


async def test_a_deleted_file_and_a_huge_document_still_get_answers(client: LanguageClient) -> None:
    project = client.project  # type: ignore[attr-defined]
    uri = await opened(client, "lib.quarl")
    (project / "lib.quarl").unlink()
    hover = await client.text_document_hover_async(
        types.HoverParams(text_document=doc(uri), position=pos("lib.quarl", "upper", 1)))
    assert hover is not None
    huge = "---\nname: x\n---\n" + "Hello {{ name }} and {{ upper(name) }}.\n" * 26000
    big = await opened(client, "big.quarl", huge)
    assert not client.diagnostics[big]
    symbols = await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=doc(big)))
    assert [s.name for s in symbols] == ["name"]


def _frame(payload: bytes) -> bytes:
    return b"Content-Length: %d\r\n\r\n" % len(payload) + payload


def _message(**fields: object) -> bytes:
    return _frame(json.dumps({"jsonrpc": "2.0", **fields}).encode())


def test_malformed_messages_and_unknown_methods_do_not_stop_the_server(tmp_path: Path) -> None:
    stream = b"".join([
        _message(id=1, method="initialize", params={"capabilities": {}, "rootUri": tmp_path.as_uri()}),
        _frame(b"{not json"),
        _message(id=2, method="no/such/method", params={}),
        _message(id=3, method="textDocument/hover", params={"textDocument": {"uri": "file:///nowhere.quarl"},
                                                              "position": {"line": 0, "character": 0}}),
        _message(id=4, method="shutdown"),
        _message(method="exit"),
    ])
    done = subprocess.run(SERVER, input=stream, capture_output=True, timeout=60)
    replies = {reply["id"]: reply for reply in _replies(done.stdout) if "id" in reply}
    assert "capabilities" in replies[1]["result"]
    assert replies[2]["error"]["code"] == -32601
    assert 3 in replies and 4 in replies and done.returncode == 0


def _replies(data: bytes) -> list[dict]:
    out = []
    while data:
        header, _, rest = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: *(\d+)", header).group(1))  # type: ignore[union-attr]
        out.append(json.loads(rest[:length]))
        data = rest[length:]
    return out


def test_lsp_without_pygls_says_what_to_install(tmp_path: Path) -> None:
    blocker = tmp_path / "pygls"
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ImportError('blocked')\n")
    import os
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *sys.path]))
    done = subprocess.run(SERVER, capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 2 and "pip install 'tessel[lsp]'" in done.stderr


@pytest.mark.parametrize("text", [MAIN, OTHER, *(text for _, text, found in DIAGNOSTICS
                                                  if text and ("quarl::syntax", 0, 1) not in found)])
def test_failures_and_links_read_alone_are_those_of_the_whole_index(project: Path, text: str) -> None:
    import tessel
    from tessel.lsp.analysis import _failures_and_links

    index = tessel.index(text, base_path=project)
    alone = _failures_and_links(index)
    assert index._data and _failures_and_links(index) == alone  # once read whole, from the whole
