"""`quarl lsp`: the language server, over standard input and output.

Each open document is analysed (index, check failures, lint findings) on a
worker thread, a moment after its last change: a burst of keystrokes costs
one analysis, and an analysis of text that changed meanwhile is dropped
unpublished. Requests read the newest analysis of the document's current
text (computing it when the debounce has not yet run), or, while the text
does not parse, the last one that did."""

from __future__ import annotations

import asyncio
import os
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from lsprotocol import types
from pygls import uris
from pygls.exceptions import JsonRpcException
from pygls.lsp.server import LanguageServer

import tessel
from tessel.lsp import assist, navigation, outline
from tessel.lsp.analysis import Analysis, Finding, analyse, fix_all
from tessel.lsp.navigation import NameGraph, Refusal
from tessel.lsp.project import Project, file_key

NAME = "quarl"
# How long the server waits after a change before analysing: typing faster
# than this analyses once, at the end.
DEBOUNCE_SECONDS = 0.12
# Threads for analyses and, apart from them, for requests: a long analysis
# of one document never holds up a hover in another.
WORKERS = 2
# The protocol's code for a request the server understood but refuses.
REQUEST_FAILED = -32803

_SEVERITY = {"error": types.DiagnosticSeverity.Error, "warn": types.DiagnosticSeverity.Warning,
             "info": types.DiagnosticSeverity.Information}
_SYMBOL_KIND = {"function": types.SymbolKind.Function, "block": types.SymbolKind.Class,
                "variable": types.SymbolKind.Variable, "alias": types.SymbolKind.Module,
                "import": types.SymbolKind.Function}
_COMPLETION_KIND = {"function": types.CompletionItemKind.Function, "builtin": types.CompletionItemKind.Function,
                    "variable": types.CompletionItemKind.Variable, "module": types.CompletionItemKind.Module,
                    "keyword": types.CompletionItemKind.Keyword, "file": types.CompletionItemKind.File,
                    "folder": types.CompletionItemKind.Folder, "field": types.CompletionItemKind.Field}
_FOLDING_KIND = {"frontmatter": types.FoldingRangeKind.Region}

T = TypeVar("T")


class DocumentState:
    """What the server knows of one open document."""

    __slots__ = ("generation", "current", "last_good")

    def __init__(self) -> None:
        self.generation = 0
        self.current: Analysis | None = None
        self.last_good: Analysis | None = None


class QuarlServer(LanguageServer):
    def __init__(self) -> None:
        super().__init__(NAME, tessel.__version__)
        self.documents: dict[str, DocumentState] = {}
        self.project: Project | None = None
        self.analyses = ThreadPoolExecutor(max_workers=WORKERS, thread_name_prefix="quarl-analysis")
        self.requests = ThreadPoolExecutor(max_workers=WORKERS, thread_name_prefix="quarl-request")
        self._lock = threading.Lock()

    # ---- documents and analyses ------------------------------------------------

    def path_of(self, uri: str) -> str:
        path = uris.to_fs_path(uri) if uri.startswith("file:") else None
        if path is None:  # an unsaved buffer: imports resolve from the project's root
            root = self.workspace.root_path or os.getcwd()
            return os.path.join(root, os.path.basename(uri.rstrip("/")) or "untitled.quarl")
        return path

    def get_project(self) -> Project:
        if self.project is None:
            self.project = Project(self.workspace.root_path)
        return self.project

    def analysis(self, uri: str) -> tuple[Analysis, Analysis | None]:
        """The analysis of the document's current text (computed now when the
        debounced one has not run yet), and the newest one with an index."""
        state = self.documents.setdefault(uri, DocumentState())
        text = self.workspace.get_text_document(uri).source
        current = state.current
        if current is None or current.text != text:
            current = self._analyse(uri, text)
        return current, (current if current.index is not None else state.last_good)

    def _analyse(self, uri: str, text: str) -> Analysis:
        project = self.get_project()
        found = analyse(self.path_of(uri), text, project.configs)
        with self._lock:
            state = self.documents.setdefault(uri, DocumentState())
            if self.workspace.get_text_document(uri).source == text:
                state.current = found
                if found.index is not None:
                    state.last_good = found
                project.opened(state.last_good or found)
        return found

    async def run(self, work: Callable[..., T], *args: Any) -> T:
        """Runs a request's work on a request thread."""
        return await asyncio.get_running_loop().run_in_executor(self.requests, work, *args)

    async def refresh(self, uri: str, debounce: bool = True) -> None:
        """Analyses the document after the debounce and publishes its
        diagnostics, unless it changed again meanwhile."""
        state = self.documents.setdefault(uri, DocumentState())
        state.generation += 1
        generation = state.generation
        if debounce:
            await asyncio.sleep(DEBOUNCE_SECONDS)
            if state.generation != generation:
                return
        document = self.workspace.get_text_document(uri)
        text, version = document.source, document.version
        found = await asyncio.get_running_loop().run_in_executor(self.analyses, self._analyse, uri, text)
        if state.generation != generation or uri not in self.documents:
            return
        self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(
            uri=uri, version=version, diagnostics=[diagnostic(found, item) for item in found.findings]))

    def refresh_all(self) -> None:
        """Analyses every open document again: a module or the configuration changed on disk."""
        self.project = None
        for uri in list(self.documents):
            asyncio.ensure_future(self.refresh(uri, debounce=False))


def diagnostic(analysis: Analysis, finding: Finding) -> types.Diagnostic:
    return types.Diagnostic(range=analysis.lines.range(finding.offset, finding.length), message=finding.message,
                            severity=_SEVERITY.get(finding.severity, types.DiagnosticSeverity.Error),
                            code=finding.code, source=NAME)


def _location(server: QuarlServer, path: str, offset: int, length: int) -> types.Location | None:
    lines = server.get_project().text_of(path)
    if lines is None:
        return None
    return types.Location(uri=uris.from_fs_path(path) or path, range=lines.range(offset, length))


def _uri_of(server: QuarlServer, path: str) -> str:
    for uri in server.documents:
        if file_key(server.path_of(uri)) == path:
            return uri
    return uris.from_fs_path(path) or path


def _graph(analysis: Analysis | None) -> NameGraph:
    return NameGraph([(analysis.path, analysis.index)] if analysis is not None and analysis.index is not None else [])


def build_server() -> QuarlServer:
    """The server with every feature registered."""
    server = QuarlServer()

    @server.feature(types.TEXT_DOCUMENT_DID_OPEN)
    async def did_open(ls: QuarlServer, params: types.DidOpenTextDocumentParams) -> None:
        await ls.refresh(params.text_document.uri, debounce=False)

    @server.feature(types.TEXT_DOCUMENT_DID_CHANGE)
    async def did_change(ls: QuarlServer, params: types.DidChangeTextDocumentParams) -> None:
        await ls.refresh(params.text_document.uri)

    @server.feature(types.TEXT_DOCUMENT_DID_SAVE)
    def did_save(ls: QuarlServer, params: types.DidSaveTextDocumentParams) -> None:
        ls.refresh_all()

    @server.feature(types.WORKSPACE_DID_CHANGE_WATCHED_FILES)
    def did_change_files(ls: QuarlServer, params: types.DidChangeWatchedFilesParams) -> None:
        ls.refresh_all()

    @server.feature(types.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(ls: QuarlServer, params: types.DidCloseTextDocumentParams) -> None:
        uri = params.text_document.uri
        ls.documents.pop(uri, None)
        ls.get_project().closed(ls.path_of(uri))
        ls.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=uri, diagnostics=[]))

    def located(ls: QuarlServer, uri: str, position: types.Position) -> tuple[Analysis, Analysis | None, int]:
        current, navigable = ls.analysis(uri)
        lines = (navigable or current).lines
        return current, navigable, lines.offset(position)

    def navigated(ls: QuarlServer, uri: str, position: types.Position) -> tuple[Analysis, int] | None:
        """The analysis to navigate by and the cursor's offset in it (none
        before the document has ever parsed)."""
        _, navigable, offset = located(ls, uri, position)
        return (navigable, offset) if navigable is not None else None

    @server.feature(types.TEXT_DOCUMENT_HOVER)
    async def hover(ls: QuarlServer, params: types.HoverParams) -> types.Hover | None:
        def work() -> types.Hover | None:
            if (at := navigated(ls, params.text_document.uri, params.position)) is None:
                return None
            navigable, offset = at
            text = assist.hover(navigable, _graph(navigable), offset)
            if text is None:
                return None
            return types.Hover(contents=types.MarkupContent(kind=types.MarkupKind.Markdown, value=text))
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_DEFINITION)
    async def definition(ls: QuarlServer, params: types.DefinitionParams) -> list[types.Location]:
        def work() -> list[types.Location]:
            if (at := navigated(ls, params.text_document.uri, params.position)) is None:
                return []
            navigable, offset = at
            graph = _graph(navigable)
            path = file_key(navigable.path)
            found = navigation.definition_of(graph, path, offset)
            target = navigation.link_target(graph, path, offset) if found is None else None
            if target is not None:
                found = (target, 0, 0)
            place = _location(ls, *found) if found else None
            return [place] if place else []
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_REFERENCES)
    async def references(ls: QuarlServer, params: types.ReferenceParams) -> list[types.Location]:
        def work() -> list[types.Location]:
            if (at := navigated(ls, params.text_document.uri, params.position)) is None:
                return []
            navigable, offset = at
            graph = NameGraph(ls.get_project().indexes())
            path = file_key(navigable.path)
            target = navigation.link_target(graph, path, offset)
            if target is not None:  # an import path: every path naming the same module
                return [place for at in navigation.links_to(graph, target) if (place := _location(ls, *at))]
            found = navigation.references_of(graph, path, offset, params.context.include_declaration)
            return [place for item in found if (place := _location(ls, item.path, item.offset, item.length))]
        return await ls.run(work)

    def rename_edits(ls: QuarlServer, uri: str, position: types.Position,
                     new_name: str | None) -> dict[str, list[types.TextEdit]]:
        """The edits of a rename (of the name itself when `new_name` is none),
        by document. A refused rename fails the request with the reason."""
        try:
            return _rename_edits(ls, uri, position, new_name)
        except Refusal as refusal:
            raise JsonRpcException(f"cannot rename: {refusal}", REQUEST_FAILED) from None

    def _rename_edits(ls: QuarlServer, uri: str, position: types.Position,
                      new_name: str | None) -> dict[str, list[types.TextEdit]]:
        current, _, offset = located(ls, uri, position)
        if current.index is None:
            raise Refusal("the template does not parse; fix it before renaming")
        graph = NameGraph(ls.get_project().indexes())
        items = navigation.rename_targets(graph, file_key(current.path), offset, new_name,
                                          current.variables or {})
        changes: dict[str, list[types.TextEdit]] = {}
        done = set()
        for item in items:
            lines = ls.get_project().text_of(item.path)
            if lines is None:
                raise Refusal(f"cannot read {item.path}")
            name = item.name.rpartition(".")[2] if item.kind == "member" else item.name
            spelled = lines.data[item.offset:item.offset + item.length]
            if not spelled.endswith(name.encode()):
                raise Refusal(f"{item.path}:{item.data['line']} does not spell '{name}' where the index says")
            start = item.offset + item.length - len(name.encode())
            if (item.path, start) in done:
                continue
            done.add((item.path, start))
            changes.setdefault(_uri_of(ls, item.path), []).append(
                types.TextEdit(range=lines.range(start, len(name.encode())), new_text=new_name or name))
        return changes

    @server.feature(types.TEXT_DOCUMENT_PREPARE_RENAME)
    async def prepare_rename(ls: QuarlServer, params: types.PrepareRenameParams) -> types.Range | None:
        def work() -> types.Range | None:
            own = rename_edits(ls, params.text_document.uri, params.position, None).get(
                params.text_document.uri, [])
            return next((edit.range for edit in own if edit.range.start.line == params.position.line
                         and edit.range.start.character <= params.position.character <= edit.range.end.character),
                        None)
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_RENAME)
    async def rename(ls: QuarlServer, params: types.RenameParams) -> types.WorkspaceEdit | None:
        def work() -> types.WorkspaceEdit:
            return types.WorkspaceEdit(
                changes=rename_edits(ls, params.text_document.uri, params.position, params.new_name))
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_COMPLETION,
                    types.CompletionOptions(trigger_characters=["@", ".", "/", "\"", "{"]))
    async def completion(ls: QuarlServer, params: types.CompletionParams) -> types.CompletionList:
        def work() -> types.CompletionList:
            current, navigable, _ = located(ls, params.text_document.uri, params.position)
            prefix = current.lines.prefix(params.position)
            offset = (navigable or current).lines.offset(params.position)
            found = assist.completions(navigable or current, _graph(navigable), prefix, offset, ls.workspace.root_path)
            return types.CompletionList(is_incomplete=False, items=[
                types.CompletionItem(
                    label=item.label, kind=_COMPLETION_KIND.get(item.kind), detail=item.detail or None,
                    insert_text=item.insert, insert_text_format=types.InsertTextFormat.Snippet if item.insert else None)
                for item in found])
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_SIGNATURE_HELP,
                    types.SignatureHelpOptions(trigger_characters=["(", ","], retrigger_characters=[","]))
    async def signature_help(ls: QuarlServer, params: types.SignatureHelpParams) -> types.SignatureHelp | None:
        def work() -> types.SignatureHelp | None:
            current, navigable, _ = located(ls, params.text_document.uri, params.position)
            found = assist.signature_help(navigable or current, _graph(navigable), current.lines.prefix(params.position))
            if found is None:
                return None
            return types.SignatureHelp(
                signatures=[types.SignatureInformation(
                    label=found.label, documentation=found.help or None,
                    parameters=[types.ParameterInformation(label=p) for p in found.parameters])],
                active_signature=0, active_parameter=min(found.active, max(len(found.parameters) - 1, 0)))
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_DOCUMENT_LINK)
    async def document_links(ls: QuarlServer, params: types.DocumentLinkParams) -> list[types.DocumentLink]:
        def work() -> list[types.DocumentLink]:
            current, _ = ls.analysis(params.text_document.uri)
            if current.index is None:
                return []
            view = _graph(current).modules[file_key(current.path)]
            return [types.DocumentLink(range=current.lines.range(link["offset"], link["length"]),
                                       target=uris.from_fs_path(view.resolve(link["target"])))
                    for link in outline.links(current)]
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_FOLDING_RANGE)
    async def folding(ls: QuarlServer, params: types.FoldingRangeParams) -> list[types.FoldingRange]:
        def work() -> list[types.FoldingRange]:
            current, _ = ls.analysis(params.text_document.uri)
            return [types.FoldingRange(start_line=start, end_line=end, kind=_FOLDING_KIND.get(kind))
                    for start, end, kind in outline.folding_ranges(current)]
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    async def document_symbols(ls: QuarlServer, params: types.DocumentSymbolParams) -> list[types.DocumentSymbol]:
        def work() -> list[types.DocumentSymbol]:
            current, _ = ls.analysis(params.text_document.uri)
            out = []
            for symbol in outline.symbols(current):
                whole = current.lines.range(symbol.offset, symbol.length)
                name = current.lines.range(symbol.name_offset, symbol.name_length)
                if not (whole.start.line <= name.start.line <= whole.end.line):
                    whole = name
                out.append(types.DocumentSymbol(name=symbol.name, detail=symbol.detail or None,
                                                kind=_SYMBOL_KIND.get(symbol.kind, types.SymbolKind.Variable),
                                                range=whole, selection_range=name))
            return out
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL,
                    types.SemanticTokensLegend(token_types=list(outline.TOKEN_TYPES),
                                               token_modifiers=list(outline.TOKEN_MODIFIERS)))
    async def semantic_tokens(ls: QuarlServer, params: types.SemanticTokensParams) -> types.SemanticTokens:
        def work() -> types.SemanticTokens:
            current, _ = ls.analysis(params.text_document.uri)
            return types.SemanticTokens(data=outline.semantic_tokens(current) if current.index else [])
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_FORMATTING)
    async def formatting(ls: QuarlServer, params: types.DocumentFormattingParams) -> list[types.TextEdit]:
        def work() -> list[types.TextEdit]:
            current, _ = ls.analysis(params.text_document.uri)
            try:
                formatted = tessel.format(current.text)
            except tessel.QuarlError:  # shown as a diagnostic already
                return []
            if formatted == current.text:
                return []
            return [types.TextEdit(range=current.lines.range(0, current.lines.byte_length), new_text=formatted)]
        return await ls.run(work)

    @server.feature(types.TEXT_DOCUMENT_CODE_ACTION,
                    types.CodeActionOptions(code_action_kinds=[types.CodeActionKind.QuickFix,
                                                               types.CodeActionKind.SourceFixAll]))
    async def code_actions(ls: QuarlServer, params: types.CodeActionParams) -> list[types.CodeAction]:
        def work() -> list[types.CodeAction]:
            uri = params.text_document.uri
            current, _ = ls.analysis(uri)
            wanted = params.context.only
            lines = current.lines
            start, end = lines.offset(params.range.start), lines.offset(params.range.end)
            actions = []
            fixable = [found for found in current.findings if found.fix_edits]
            if not wanted or types.CodeActionKind.QuickFix in wanted:
                for found in fixable:
                    if found.offset <= end and start <= found.offset + found.length:
                        edits = [types.TextEdit(range=lines.range(s, e - s), new_text=new) for s, e, new in found.fix_edits]
                        actions.append(types.CodeAction(
                            title=f"Fix: {found.message.splitlines()[0]}", kind=types.CodeActionKind.QuickFix,
                            diagnostics=[diagnostic(current, found)], is_preferred=True,
                            edit=types.WorkspaceEdit(changes={uri: edits})))
            if fixable and (not wanted or any(kind.startswith(types.CodeActionKind.SourceFixAll) or
                                              kind == types.CodeActionKind.Source for kind in wanted)):
                fixed = fix_all(current)
                if fixed is not None:
                    actions.append(types.CodeAction(
                        title="Fix all lint findings", kind=types.CodeActionKind.SourceFixAll,
                        edit=types.WorkspaceEdit(changes={uri: [types.TextEdit(
                            range=lines.range(0, lines.byte_length), new_text=fixed)]})))
            return actions
        return await ls.run(work)

    return server


def serve() -> None:
    """Runs the server on standard input and output until the client exits."""
    build_server().start_io()
