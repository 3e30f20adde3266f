"""The `quarl` command line: compile, check, scan, format and lint Quarl templates.

Every decision about a template is the compiler's; this module reads the
command line and the project's configuration, calls `tessel`, and shows what
comes back. Exit codes: 0 for success, 1 when a template failed (or lint
found errors), 2 for a usage or I/O problem of the command line itself (a
file it was given that it cannot open, output it cannot write, a bad
configuration), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

import tessel
from tessel import QuarlError, Span, TemplateIndex
from tessel._config import Configs
from tessel._console import Console, OutputError
from tessel._diagnostics import CommandError, Diagnostic, error_dict, escape_text, place_in_message
from tessel._files import project_root, read_bytes, write_atomically
from tessel._fixes import choose_fixes
from tessel._templates import STDIN, STDIN_NAME, Template, templates_in
from tessel._variables import caller_variables, read_vars_file, split_assignment

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # as a shell reports a command that Ctrl-C stopped
REPORT_NOTE = "this is a bug in tessel, not in your template; please report it with the template that caused it"

# Failures that come from what the command line was given, not from a template.
USAGE_CODES = frozenset(["quarl::invalid_options", "quarl::invalid_vars", "quarl::json", "quarl::var_conflict"])
UNKNOWN_DIRECTIVE = "syntax error: unknown directive: "
LITERAL_AT_HELP = ('a line that starts with "@" is a directive; to write it as text, begin it with '
                   '{{ string("@") }} instead (as in {{ string("@") }}media), or put it in a fenced code block')


class UsageError(Exception):
    """A combination of flags the command cannot run with."""


class Run:
    """One invocation: its flags, where output goes, the project configuration
    of each folder, and the variables the flags give (read once)."""

    def __init__(self, args: argparse.Namespace, console: Console) -> None:
        self.args, self.console = args, console
        self.configs = Configs()
        self.flag_variables: dict[str, Any] | None = None
        self._vars_files: dict[str, dict[str, Any]] = {}

    def variables(self, template: Template) -> dict[str, Any] | None:
        """The configuration's vars files for the template, then the flags'."""
        variables: dict[str, Any] = {}
        for path in template.settings.vars_files:
            if path not in self._vars_files:
                self._vars_files[path] = read_vars_file(path)
            variables.update(self._vars_files[path])
        if self.flag_variables is not None:
            variables.update(self.flag_variables)
        return variables if variables or self.flag_variables is not None else None

    def rules(self, template: Template) -> dict[str, str] | None:
        rules = {**template.settings.rules, **dict(getattr(self.args, "rules", []))}
        return rules or None

    def frontmatter(self, template: Template) -> str:
        return getattr(self.args, "frontmatter", None) or template.settings.frontmatter or "keep"


def module_text(template: Template, error: Exception) -> tuple[str, bytes | None]:
    """The name to show for the module the error points into (or belongs to),
    and its text."""
    source = getattr(error, "source", None)
    if source is None and getattr(error, "span", None) is None:
        return template.shown, None
    if source is None:  # the string entry: standard input
        return template.shown, (template.source or "").encode()
    absolute = os.path.join(project_root(template.folder), source)
    shown = os.path.relpath(absolute)
    if not template.from_stdin and os.path.realpath(template.path) == absolute:
        shown = template.path
    try:
        with open(absolute, "rb") as file:
            return shown, file.read()
    except OSError:
        return shown, None


def report_failure(console: Console, template: Template, error: Exception) -> int:
    """Shows a failure of one template; returns the exit code it asks for."""
    code = getattr(error, "code", "quarl::internal")
    notes = list(getattr(error, "notes", None) or [])
    if code == "quarl::internal":
        detail = getattr(error, "detail", None)
        notes.append(REPORT_NOTE + (f" (detail: {detail})" if detail else ""))
    message = getattr(error, "message", str(error))
    help = getattr(error, "help", None)
    if help is None and not notes and code == "quarl::syntax" and message.startswith(UNKNOWN_DIRECTIVE):
        help = LITERAL_AT_HELP  # CSS at-rules, decorators and the like trip over this more than anything
    if console.format == "json":
        record = error_dict(error, template.shown)
        record["help"] = help
        record["notes"] = notes
        console.err(json.dumps(record, ensure_ascii=False) + "\n")
    else:
        shown, text = module_text(template, error)
        span = getattr(error, "span", None)
        if span is None and text is not None:
            span = place_in_message(message, text)
        console.diagnostic(Diagnostic("error", code, message, shown, help, span, text, tuple(notes)))
    if code in USAGE_CODES:
        return EXIT_USAGE
    if code in ("quarl::io", "quarl::file_not_found") and getattr(error, "span", None) is None \
            and template.unreadable():
        return EXIT_USAGE
    return EXIT_FAILED


def named_templates(run: Run, paths: Sequence[str]) -> tuple[list[Template], int]:
    """The templates the paths name (folders replaced by the templates in
    them), and the exit status of the paths that name none."""
    templates, status = [], EXIT_OK
    for path in paths:
        try:
            templates += [Template(file) for file in templates_in(path, run.configs)]
        except CommandError as error:
            status = max(status, report_failure(run.console, Template(path), error))
    return templates, status


def for_each_template(run: Run, templates: Sequence[Template], work: Callable[[Template], int]) -> int:
    """Runs `work` on each template in turn, with what its configuration says
    of it, every failure shown; the worst exit code of them all."""
    worst = EXIT_OK
    for template in templates:
        try:
            if template.from_stdin:
                template.source = template.decoded(sys.stdin.buffer.read())
            template.require_openable()
            # Standard input has no name a glob could match: the settings
            # of the whole configuration of the current folder apply.
            template.settings = run.configs.for_folder(template.folder).settings_for(
                os.path.join(template.folder, STDIN_NAME) if template.from_stdin else template.path)
            status = work(template)
        except (QuarlError, CommandError) as error:
            status = report_failure(run.console, template, error)
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            where = escape_text(error.filename) if isinstance(error.filename, str) else template.shown
            run.console.err(f"quarl: error: {where}: {error.strerror or error}\n")
            status = EXIT_USAGE
        worst = max(worst, status)
    return worst


def each_named(run: Run, paths: Sequence[str], work: Callable[[Template], int]) -> int:
    templates, status = named_templates(run, paths)
    return max(status, for_each_template(run, templates, work))


def write_output(console: Console, destination: str | None, data: str | bytes) -> int:
    payload = data.encode() if isinstance(data, str) else data
    if destination is None or destination == STDIN:
        if payload and not payload.endswith(b"\n") and sys.stdout is not None and sys.stdout.isatty():
            payload += b"\n"  # keep the shell's prompt on a line of its own
        console.out(payload)
        return EXIT_OK
    try:
        write_atomically(destination, payload)
    except OSError as error:
        console.err(f"quarl: error: cannot write {escape_text(destination)}: {error.strerror or error}\n")
        return EXIT_USAGE
    return EXIT_OK


# ---- compile ----------------------------------------------------------------

def compiled(run: Run, template: Template, source_map: bool) -> tessel.CompileResult:
    options: dict[str, Any] = dict(vars=run.variables(template), source_map=source_map,
                                   sources_content=run.args.sources_content, frontmatter=run.frontmatter(template))
    if template.from_stdin:
        return tessel.compile(template.source or "", **options)
    return tessel.compile_file(template.compiler_path, **options)


def output_text(run: Run, result: tessel.CompileResult) -> str:
    if run.args.json:
        return result.to_json() + "\n"
    if result.kind == "messages":
        return json.dumps([m.to_dict() for m in result.messages or []], ensure_ascii=False, indent=2) + "\n"
    return result.output or ""


def run_compile(run: Run) -> int:
    args = run.args
    if args.sources_content and not args.source_map:
        raise UsageError("--sources-content requires --source-map")
    templates, status = named_templates(run, args.paths)
    if len(templates) > 1 or any(os.path.isdir(path) for path in args.paths):
        return max(status, compile_into_folder(run, templates))

    def work(template: Template) -> int:
        result = compiled(run, template, args.source_map is not None)
        for warning in result.warnings:
            run.console.warning(template.shown, warning)
        if args.expect and result.kind != args.expect:
            raise CommandError(f"quarl::expected_{args.expect}",
                               f"expected {args.expect} output, but template produced {result.kind}")
        written = EXIT_OK
        if args.source_map is not None and result.source_map is not None:
            document = json.dumps(result.source_map, ensure_ascii=False, sort_keys=True, separators=(",", ":"))
            written = write_output(run.console, args.source_map, document + "\n")
        return max(written, write_output(run.console, args.output, output_text(run, result)))

    return max(status, for_each_template(run, templates, work))


def compile_into_folder(run: Run, templates: list[Template]) -> int:
    """Several templates (or a folder): each output into the folder -o names,
    under the template's path relative to the current folder, as .md (or
    .json for messages and --json)."""
    args = run.args
    if not args.output or args.output == STDIN:
        raise UsageError("several templates compile into a folder: give it with -o FOLDER")
    if args.source_map is not None:
        raise UsageError("--source-map takes one template")
    if any(template.from_stdin for template in templates):
        raise UsageError("- (standard input) is one template; it cannot be compiled with others")

    def work(template: Template) -> int:
        result = compiled(run, template, False)
        for warning in result.warnings:
            run.console.warning(template.shown, warning)
        if args.expect and result.kind != args.expect:
            raise CommandError(f"quarl::expected_{args.expect}",
                               f"expected {args.expect} output, but template produced {result.kind}")
        relative = os.path.relpath(os.path.abspath(template.path))
        if relative.startswith(".."):
            relative = os.path.basename(template.path)
        stem = os.path.splitext(relative)[0]
        destination = os.path.join(args.output, stem + (".json" if args.json or result.kind == "messages" else ".md"))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        return write_output(run.console, destination, output_text(run, result))

    return for_each_template(run, templates, work)


# ---- check and scan-imports ---------------------------------------------------

def run_check(run: Run) -> int:
    def work(template: Template) -> int:
        variables = run.variables(template)
        if template.from_stdin:
            result = tessel.check(template.source or "", vars=variables)
        else:
            result = tessel.check_file(template.compiler_path, vars=variables)
        for warning in result.warnings:
            run.console.warning(template.shown, warning)
        return EXIT_OK

    return each_named(run, run.args.paths, work)


def run_scan_imports(run: Run) -> int:
    templates, status = named_templates(run, run.args.paths)
    several = len(templates) > 1
    found: dict[str, list[str]] = {}

    def work(template: Template) -> int:
        paths = tessel.scan_imports(template.read())
        if several:
            found[template.shown] = paths
            if not run.args.json:
                run.console.out("".join(f"{template.shown}: {path}\n" for path in paths))
        else:
            run.console.out(json.dumps(paths, ensure_ascii=False) + "\n" if run.args.json
                            else "".join(path + "\n" for path in paths))
        return EXIT_OK

    status = max(status, for_each_template(run, templates, work))
    if several and run.args.json:
        run.console.out(json.dumps(found, ensure_ascii=False) + "\n")
    return status


# ---- vars -------------------------------------------------------------------

def run_vars(run: Run) -> int:
    from tessel._index import walk_inputs

    args = run.args
    templates, status = named_templates(run, args.paths)
    several = len(templates) > 1

    def place(template: Template, item: dict[str, Any]) -> tuple[str, Span | None, bytes | None]:
        """Where an index item is: its module shown as errors show it, its span and the module's text."""
        module = item.get("module")
        span = Span(item["offset"], item["length"], item["line"], item["column"]) \
            if item.get("line") is not None else None
        if module is None or template.from_stdin or os.path.realpath(template.path) == module:
            return template.shown, span, (template.source or "").encode() if template.from_stdin else read_bytes(
                template.path)
        return os.path.relpath(module), span, read_bytes(module)

    def work(template: Template) -> int:
        variables = run.variables(template)
        if template.from_stdin:
            ix: TemplateIndex = tessel.index(template.source or "")
        else:
            ix = tessel.index_file(template.compiler_path)
        worst = EXIT_OK
        for failure in ix.failures:
            shown, span, text = place(template, failure)
            run.console.diagnostic(Diagnostic("error", failure["code"], failure["message"], shown, None, span, text))
            worst = EXIT_FAILED
        if args.check is not None or variables is not None:
            given = dict(variables or {})
            if args.check is not None:
                given.update(read_vars_file(args.check))
            for problem in ix.check_vars(given):
                shown, span, text = place(template, problem)
                run.console.diagnostic(Diagnostic("error", "vars", f"{problem['path']}: {problem['message']}",
                                                  shown, None, span, text))
                worst = EXIT_FAILED
            return worst
        if several and not args.json:
            run.console.out(f"{template.shown}:\n")
        if args.schema:
            run.console.out(json.dumps(ix.schema(), ensure_ascii=False, indent=2) + "\n")
        elif args.json:
            run.console.out(json.dumps({"inputs": ix.inputs, "overridable": ix.overridable},
                                       ensure_ascii=False) + "\n")
        else:
            rows = [(depth, node) for depth, node in walk_inputs(ix.inputs)]
            width = max((2 * depth + len(node["name"]) for depth, node in rows), default=0)
            for depth, node in rows:
                label = "  " * depth + node["name"]
                kind = "|".join(node["types"]) + ("" if node["required"] else ", optional")
                uses = f"  {', '.join(node['uses'])}" if node["uses"] else ""
                line = f"  (line {node['line']})" if node.get("line") is not None else ""
                run.console.out(f"{label:<{width}}  {kind}{uses}{line}\n")
            if ix.overridable:
                run.console.out(f"overridable: {', '.join(ix.overridable)}\n")
        return worst

    return max(status, for_each_template(run, templates, work))


# ---- fmt --------------------------------------------------------------------

def run_fmt(run: Run) -> int:
    args = run.args
    changed: list[str] = []

    def work(template: Template) -> int:
        text = template.read()
        template.source = text  # what the caret of an error points into
        formatted = tessel.format(text)
        if template.from_stdin and not (args.check or args.diff):
            run.console.out(formatted)
            return EXIT_OK
        if formatted == text:
            return EXIT_OK
        if args.diff:
            import difflib  # only here: it takes longer to load than most of a run
            run.console.out("".join(difflib.unified_diff(
                text.splitlines(keepends=True), formatted.splitlines(keepends=True),
                f"{template.shown}", f"{template.shown} (formatted)")))
        elif args.check:
            run.console.out(f"would reformat {template.shown}\n")
        else:
            try:
                write_atomically(template.path, formatted.encode())
            except OSError as error:
                run.console.err(f"quarl: error: cannot write {template.shown}: {error.strerror or error}\n")
                return EXIT_USAGE
        changed.append(template.shown)
        return EXIT_FAILED if args.check else EXIT_OK

    status = each_named(run, args.paths, work)
    if changed and not (args.check or args.diff):
        run.console.err(f"reformatted {len(changed)} file{'s' if len(changed) != 1 else ''}\n")
    return status


# ---- lsp --------------------------------------------------------------------

def run_lsp(run: Run) -> int:
    from tessel import lsp

    if not lsp.available():
        run.console.err(f"quarl: error: {lsp.MISSING}\n")
        return EXIT_USAGE
    from tessel.lsp.server import serve

    serve()
    return EXIT_OK


# ---- preview ----------------------------------------------------------------

def run_preview(run: Run) -> int:
    from tessel import preview

    if not preview.available():
        run.console.err(f"quarl: error: {preview.MISSING}\n")
        return EXIT_USAGE
    from tessel._files import project_root
    from tessel.preview.render import Project
    from tessel.preview.server import PreviewServer

    paths = [os.path.abspath(path) for path in run.args.paths] or [os.getcwd()]
    folders = [path if os.path.isdir(path) else os.path.dirname(path) for path in paths]
    project = Project(project_root(os.path.commonpath(folders)))
    templates: list[str] = []
    for path in paths:
        for found in templates_in(path, project.configs):
            relative = project.relative(found)
            if relative.startswith("../") or relative == "..":
                raise UsageError(f"{escape_text(found)} is not under the project root {escape_text(project.root)}")
            if relative not in templates:
                templates.append(relative)
    try:
        server = PreviewServer(project, templates, run.args.port, run.args.write)
    except OSError as error:
        raise UsageError(f"cannot listen on port {run.args.port}: {error.strerror or error}") from None
    run.console.out(f"quarl preview: {server.url}\n".encode())
    sys.stdout.flush()
    if run.args.open:
        import webbrowser

        webbrowser.open(server.url)
    with server:
        server.serve_forever()
    return EXIT_OK


# ---- lint -------------------------------------------------------------------

def _counted(count: int, what: str) -> str:
    return f"{count} {what}{'s' if count != 1 else ''}"


def run_lint(run: Run) -> int:
    args, console = run.args, run.console
    if args.fix and STDIN in args.paths:
        raise UsageError("--fix rewrites files in place; it cannot fix standard input")
    files: list[dict[str, Any]] = []
    truncated = False
    lint_warnings: list[str] = []
    counts = {"error": 0, "warn": 0, "info": 0}
    fixable = fixed = refused = 0
    linted = 0

    def lint_one(template: Template) -> tessel.LintResult:
        variables, rules = run.variables(template), run.rules(template)
        if template.from_stdin:
            return tessel.lint(template.source or "", vars=variables, rules=rules)
        return tessel.lint_file(template.compiler_path, vars=variables, rules=rules)

    def fix(template: Template, result: tessel.LintResult) -> tessel.LintResult:
        nonlocal fixed, refused
        with open(template.path, "rb") as file:
            data = file.read()
        variables = run.variables(template)

        def check(text: str) -> None:
            tessel.check(text, vars=variables, base_path=template.folder)

        chosen = choose_fixes(data, result, check)
        refused += len(chosen.unfixed)  # still findings, but not fixable here
        for skipped in chosen.unfixed:
            where = f":{skipped.finding.span.line}" if skipped.finding.span and skipped.finding.span.line else ""
            console.warning(f"{template.shown}{where}", f"not fixed ({skipped.finding.rule}): {skipped.reason}")
        if not chosen.fixed:
            return result
        write_atomically(template.path, chosen.text)
        fixed += chosen.fixed
        return lint_one(template)

    def work(template: Template) -> int:
        nonlocal truncated, fixable, linted
        result = lint_one(template)
        if args.fix:
            result = fix(template, result)
        text = template.source.encode() if template.from_stdin and template.source is not None else b""
        if not template.from_stdin:
            with open(template.path, "rb") as file:
                text = file.read()
        linted += 1
        canonical = result.to_dict()
        for warning in result.lint_warnings:
            if warning not in lint_warnings:
                lint_warnings.append(warning)
                console.warning(template.shown, warning)
        truncated = truncated or result.truncated
        worst = EXIT_OK
        for report, report_dict in zip(result.files, canonical["files"]):
            report_dict["file"] = template.shown if template.from_stdin else report_dict["file"]
            files.append(report_dict)
            for found in report.diagnostics:
                counts[found.severity] += 1
                fixable += found.fix_edits is not None
                if found.severity == "error":
                    worst = EXIT_FAILED
                if args.format == "text":
                    console.diagnostic(Diagnostic(found.severity, found.rule, found.message, template.shown,
                                                  found.help, found.span, text), to_stdout=True)
        return worst

    templates, status = named_templates(run, args.paths)
    status = max(status, for_each_template(run, templates, work))
    failed = len(templates) - linted
    if args.format == "json":
        document: dict[str, Any] = {"files": files, "truncated": truncated, "version": 1}
        if lint_warnings:
            document["lint_warnings"] = lint_warnings
        console.out(json.dumps(document, ensure_ascii=False, sort_keys=True, separators=(",", ":")) + "\n")
        return status
    total = sum(counts.values())
    if fixed:
        console.out(f"fixed {_counted(fixed, 'finding')}\n")
    parts = []
    if total:
        parts.append(f"{_counted(total, 'finding')} ({', '.join(f'{n} {s}' for s, n in counts.items() if n)})")
        if fixable > refused:
            parts.append(f"{fixable - refused} fixable with --fix")
    if failed:
        parts.append(f"{_counted(failed, 'template')} could not be linted (the errors above)")
    if parts:
        console.out("; ".join(parts) + (" (some files hit the cap of findings)" if truncated else "") + "\n")
    return status


# ---- the command line ---------------------------------------------------------

def _assignment(text: str) -> tuple[str, str]:
    try:
        return split_assignment(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _rule(text: str) -> tuple[str, str]:
    try:
        name, severity = split_assignment(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=SEVERITY, got {text!r}") from None
    return name, severity


class _VersionAction(argparse.Action):
    """--version, which looks the installed version up only when asked."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit", **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        parser.exit(message=f"quarl (tessel) {tessel.__version__}\n")


PATHS_HELP = "template files or folders (every template below them), or - for standard input"


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour diagnostics: on a terminal unless NO_COLOR is set (auto), always or never")
    variables = argparse.ArgumentParser(add_help=False)
    group = variables.add_argument_group("variables")
    group.add_argument("--set", dest="sets", action="append", default=[], type=_assignment, metavar="KEY=VALUE",
                       help="set a variable; true, false, null, numbers and JSON arrays are converted, "
                            "anything else stays a string")
    group.add_argument("--set-string", dest="set_strings", action="append", default=[], type=_assignment,
                       metavar="KEY=VALUE", help="set a variable to the string VALUE exactly as written")
    group.add_argument("--vars", dest="vars_files", action="append", default=[], metavar="FILE",
                       help="read variables from a JSON object in FILE; --set and --set-string win over it, and it "
                            "wins over the configuration's vars files")
    formats = argparse.ArgumentParser(add_help=False)
    formats.add_argument("--format", choices=("text", "json"), default="text",
                         help="show errors as text with the source line (text) or as JSON lines (json)")

    parser = argparse.ArgumentParser(
        prog="quarl", description="Compile, check and lint Quarl templates (Markdown documents and chat prompts).",
        epilog="Settings come from [tool.quarl] in the nearest pyproject.toml, or a quarl.toml; flags win over "
               "them. Exit status: 0 success, 1 a template failed or lint found errors, 2 a usage or I/O problem.")
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compile_ = commands.add_parser("compile", parents=[common, variables, formats],
                                   help="render templates to Markdown or chat messages",
                                   description="Render a template to Markdown (or, for a template with @message "
                                               "blocks, its messages as JSON); several into a folder (-o).")
    compile_.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    compile_.add_argument("-o", "--output", metavar="FILE",
                          help="write the output to FILE instead of standard output; for several templates, the "
                               "folder to write each one's output into")
    compile_.add_argument("--json", action="store_true", help="print the whole result as canonical JSON")
    compile_.add_argument("--expect", choices=("markdown", "messages"),
                          help="fail unless the template produces this kind of output")
    compile_.add_argument("--source-map", metavar="FILE", help="write a Source Map (revision 3) of the output to FILE")
    compile_.add_argument("--sources-content", action="store_true",
                          help="embed the templates' text in the source map")
    compile_.add_argument("--frontmatter", choices=("keep", "drop"),
                          help="keep the frontmatter block in front of Markdown output (the default), or drop it")
    compile_.add_argument("--no-frontmatter", dest="frontmatter", action="store_const", const="drop",
                          help="the same as --frontmatter drop: the output is what a model would be sent")
    compile_.set_defaults(run=run_compile)

    check = commands.add_parser("check", parents=[common, variables, formats],
                                help="check templates without rendering them",
                                description="Check templates: every file is checked and every failure shown.")
    check.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    check.set_defaults(run=run_check)

    scan = commands.add_parser("scan-imports", parents=[common, formats],
                               help="list the modules templates import, without loading them",
                               description="List the import, re-export and @extends paths a template names.")
    scan.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    scan.add_argument("--json", action="store_true",
                      help="print the paths as a JSON array (for several templates, an object by template)")
    scan.set_defaults(run=run_scan_imports)

    fmt = commands.add_parser("fmt", parents=[common, formats],
                              help="rewrite templates in the one canonical layout",
                              description="Format templates: template syntax in one layout, Markdown untouched; "
                                          "each result is checked to mean what the template meant.")
    fmt.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP + " (to standard output)")
    fmt.add_argument("--check", action="store_true", help="change nothing; list the files that would change, "
                                                          "and exit 1 if any would")
    fmt.add_argument("--diff", action="store_true", help="change nothing; print what would change as a unified diff")
    fmt.set_defaults(run=run_fmt)

    vars_ = commands.add_parser("vars", parents=[common, variables],
                                help="list the variables templates read, as a tree or a JSON Schema",
                                description="List the caller's variables a template reads: each path with its "
                                            "type, how it is used and the line of its first use. With --check, "
                                            "--vars or --set, check given variables against them instead: "
                                            "every missing or mistyped path is reported, and the status is 1.")
    vars_.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    vars_.add_argument("--schema", action="store_true", help="print a JSON Schema (draft 2020-12) of the variables")
    vars_.add_argument("--json", action="store_true", help="print the variables as JSON")
    vars_.add_argument("--check", metavar="FILE", help="check the variables of a JSON object in FILE")
    vars_.set_defaults(run=run_vars)

    lint = commands.add_parser("lint", parents=[common, variables],
                               help="find likely mistakes in templates",
                               description="Check each template, then run the lint rules on it.")
    lint.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    lint.add_argument("--fix", action="store_true",
                      help="apply the fixes the findings carry, in place (never one that would make the template "
                           "fail its check)")
    lint.add_argument("--rule", dest="rules", action="append", default=[], type=_rule, metavar="NAME=SEVERITY",
                      help="set a rule's severity: off, info, warn or error (wins over the configuration)")
    lint.add_argument("--format", choices=("text", "json"), default="text",
                      help="show findings as text with the source line (text) or as one JSON document (json)")
    lint.set_defaults(run=run_lint)

    lsp = commands.add_parser("lsp", parents=[common], help="run the language server for editors (over standard input and output)",
                              description="Run the Quarl language server on standard input and output, for an "
                                          "editor to start: diagnostics, navigation, completion, formatting and "
                                          "lint fixes. Needs the lsp extra: pip install 'tessel[lsp]'.")
    lsp.add_argument("--stdio", action="store_true", help="talk over standard input and output (the default)")
    lsp.set_defaults(run=run_lsp)

    preview = commands.add_parser(
        "preview", parents=[common], help="show what templates render, in a browser page, as you edit them",
        description="Serve a page on 127.0.0.1 that shows a template, its variables and its output side by side, "
                    "re-rendered on every change, each output line linked to the template line that made it. "
                    "Needs the preview extra: pip install 'tessel[preview]'. Ctrl-C stops it.")
    preview.add_argument("paths", nargs="*", metavar="PATH",
                         help="templates or folders to offer (default: every template of the current folder)")
    preview.add_argument("--port", type=int, default=0, help="the port to listen on (default: a free one)")
    preview.add_argument("--open", action="store_true", help="open the page in the browser")
    preview.add_argument("--write", action="store_true",
                         help="let the page save its scratch copy over the template file")
    preview.set_defaults(run=run_preview)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns its exit status. Ctrl-C at any moment
    ends it quietly with status 130 (files are replaced whole or not at all)."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run = Run(args, Console(args.color, getattr(args, "format", "text")))
    try:
        if hasattr(args, "vars_files"):
            try:
                run.flag_variables = caller_variables(args.vars_files, args.sets, args.set_strings)
            except CommandError as error:
                return report_failure(run.console, Template(args.paths[0]), error)
        status: int = args.run(run)
        return status
    except UsageError as error:
        parser.exit(EXIT_USAGE, f"quarl {args.command}: error: {error}\n")
    except OutputError as error:
        run.console.err(f"quarl: error: {error}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`quarl compile t.quarl | head`): not a failure
        # worth a traceback; stop writing to the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as fault:  # a fault of the command line itself: never a traceback
        failure = CommandError("quarl::internal", "internal compiler error",
                               detail=f"{type(fault).__name__}: {fault}")
        return report_failure(run.console, Template("quarl"), failure)
    return EXIT_OK  # not reached: parser.exit raises


if __name__ == "__main__":
    sys.exit(main())
