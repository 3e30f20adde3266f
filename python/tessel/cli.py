"""The `quarl` command line: compile, check, scan and lint Quarl templates.

Every decision about a template is the compiler's; this module reads the
command line, calls `tessel`, and shows what comes back. Exit codes: 0 for
success, 1 when a template failed (or lint found errors), 2 for a usage or
I/O problem of the command line itself (a file it was given that it cannot
open, output it cannot write), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import stat
import sys
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Sequence

import tessel
from tessel import QuarlError
from tessel._diagnostics import CommandError, Diagnostic, error_dict, escape_text
from tessel._files import project_root, write_atomically
from tessel._variables import caller_variables, split_assignment

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
STDIN = "-"
STDIN_NAME = "<stdin>"
REPORT_NOTE = "this is a bug in tessel, not in your template; please report it with the template that caused it"

# Failures that come from what the command line was given, not from a template.
USAGE_CODES = frozenset(["quarl::invalid_options", "quarl::invalid_vars", "quarl::json", "quarl::var_conflict"])
UNKNOWN_DIRECTIVE = "syntax error: unknown directive: "
LITERAL_AT_HELP = ('a line that starts with "@" is a directive; to write it as text, begin it with '
                   '{{ string("@") }} instead (as in {{ string("@") }}media), or put it in a fenced code block')


class OutputError(Exception):
    """Standard output cannot be written (closed, or its disk full)."""


class Console:
    """Where output and diagnostics go, and whether each stream gets colour.
    A stream the process was started without (closed by the shell) is none."""

    def __init__(self, color: str, diagnostics_format: str = "text") -> None:
        self.format = diagnostics_format
        self.stdout: BinaryIO | None = sys.stdout.buffer if sys.stdout is not None else None
        self.stderr: BinaryIO | None = sys.stderr.buffer if sys.stderr is not None else None
        self.out_color = self._colored(color, sys.stdout)
        self.err_color = self._colored(color, sys.stderr)

    @staticmethod
    def _colored(choice: str, stream: Any) -> bool:
        if choice != "auto":
            return choice == "always"
        if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
            return False
        return bool(getattr(stream, "isatty", lambda: False)())

    def out(self, data: str | bytes) -> None:
        try:
            if self.stdout is None:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            self.stdout.write(data.encode(errors="backslashreplace") if isinstance(data, str) else data)
            self.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(f"cannot write standard output: {error.strerror or error}") from None

    def err(self, text: str) -> None:
        """Writes to standard error, when there is one to write to."""
        try:
            if self.stderr is not None:
                self.stderr.write(text.encode(errors="backslashreplace"))
                self.stderr.flush()
        except OSError:
            pass  # nowhere left to say anything

    def diagnostic(self, diagnostic: Diagnostic, to_stdout: bool = False) -> None:
        if to_stdout:
            self.out(diagnostic.render(self.out_color))
        else:
            self.err(diagnostic.render(self.err_color))

    def warning(self, path: str, text: str) -> None:
        if self.format == "json":
            self.err(json.dumps({"file": path, "warning": text}, ensure_ascii=False) + "\n")
        else:
            self.diagnostic(Diagnostic("warning", None, text, path))


@dataclass
class Template:
    """A template the command line names: a file, or standard input."""
    path: str
    source: str | None = None  # the text of standard input

    @property
    def from_stdin(self) -> bool:
        return self.path == STDIN

    @property
    def shown(self) -> str:
        return STDIN_NAME if self.from_stdin else escape_text(self.path)

    def read_stdin(self) -> None:
        self.source = self.decoded(sys.stdin.buffer.read())

    def decoded(self, data: bytes) -> str:
        """The template's bytes as text; not UTF-8 is an error, as for the compiler."""
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CommandError("quarl::io", f"invalid UTF-8 in {self.shown}: invalid byte sequence at offset "
                                            f"{error.start}") from None

    def unreadable(self) -> bool:
        """Whether the file cannot be opened (the command line's problem, not
        the template's): it is missing, not a regular file, not readable, or
        its name is not UTF-8 where the compiler needs it."""
        return not self.from_stdin and (not _utf8_name(self.path) or not os.path.isfile(self.path)
                                        or not os.access(self.path, os.R_OK))

    def require_openable(self) -> None:
        """Fails, as the compiler reports files, for a named file that exists
        but cannot be opened as a template: a loop of symbolic links, a device
        or a pipe. (A missing file is the compiler's to report, as for an
        import.)"""
        if self.from_stdin:
            return
        reason = None
        try:
            mode = os.stat(self.path).st_mode
            if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
                reason = "not a regular file" + (" (use - for standard input)" if stat.S_ISFIFO(mode)
                                                  or stat.S_ISCHR(mode) else "")
        except FileNotFoundError:
            pass
        except OSError as error:
            reason = error.strerror or str(error)
        if reason:
            raise CommandError("quarl::io", f"cannot read {self.shown}: {reason}")

    @property
    def compiler_path(self) -> str:
        """The path as the compiler takes it, whose names are UTF-8 text (the
        command line itself reads any file name: fmt formats it)."""
        if not _utf8_name(self.path):
            raise CommandError("quarl::io", f"cannot read {self.shown}: the file name is not valid UTF-8")
        return self.path

    def module_text(self, error: Exception) -> tuple[str, bytes | None]:
        """The name to show for the module the error points into, and its text."""
        source = getattr(error, "source", None)
        if getattr(error, "span", None) is None:
            return self.shown, None
        if source is None:  # the string entry: standard input
            return self.shown, (self.source or "").encode()
        start = os.getcwd() if self.from_stdin else os.path.dirname(os.path.abspath(self.path))
        absolute = os.path.join(project_root(start), source)
        shown = os.path.relpath(absolute)
        if not self.from_stdin and os.path.realpath(self.path) == absolute:
            shown = self.path
        try:
            with open(absolute, "rb") as file:
                return shown, file.read()
        except OSError:
            return shown, None


def _utf8_name(path: str) -> bool:
    try:
        path.encode()
        return True
    except UnicodeEncodeError:
        return False


def report_failure(console: Console, template: Template, error: Exception) -> int:
    """Shows a failure of one template; returns the exit code it asks for."""
    code = getattr(error, "code", "quarl::internal")
    note = None
    if code == "quarl::internal":
        detail = getattr(error, "detail", None)
        note = REPORT_NOTE + (f" (detail: {detail})" if detail else "")
    message = getattr(error, "message", str(error))
    help = getattr(error, "help", None)
    if help is None and code == "quarl::syntax" and message.startswith(UNKNOWN_DIRECTIVE):
        help = LITERAL_AT_HELP  # CSS at-rules, decorators and the like trip over this more than anything
    if console.format == "json":
        record = error_dict(error, template.shown)
        record["help"] = help
        if note:
            record["note"] = note
        console.err(json.dumps(record, ensure_ascii=False) + "\n")
    else:
        shown, text = template.module_text(error)
        console.diagnostic(Diagnostic("error", code, message, shown, help, getattr(error, "span", None), text, note))
    if code in USAGE_CODES:
        return EXIT_USAGE
    if code in ("quarl::io", "quarl::file_not_found") and getattr(error, "span", None) is None \
            and template.unreadable():
        return EXIT_USAGE
    return EXIT_FAILED


def for_each_template(console: Console, paths: Sequence[str],
                      work: Callable[[Template], int]) -> int:
    """Runs `work` on each template in turn, every failure shown; the worst
    exit code of them all."""
    worst = EXIT_OK
    for path in paths:
        template = Template(path)
        try:
            if template.from_stdin:
                template.read_stdin()
            template.require_openable()
            status = work(template)
        except (QuarlError, CommandError) as error:
            status = report_failure(console, template, error)
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            where = escape_text(error.filename) if isinstance(error.filename, str) else template.shown
            console.err(f"quarl: error: {where}: {error.strerror or error}\n")
            status = EXIT_USAGE
        worst = max(worst, status)
    return worst


def write_output(console: Console, destination: str | None, data: str | bytes) -> int:
    payload = data.encode() if isinstance(data, str) else data
    if destination is None or destination == STDIN:
        if payload and not payload.endswith(b"\n") and sys.stdout.isatty():
            payload += b"\n"  # keep the shell's prompt on a line of its own
        console.out(payload)
        return EXIT_OK
    try:
        write_atomically(destination, payload)
    except OSError as error:
        console.err(f"quarl: error: cannot write {escape_text(destination)}: {error.strerror or error}\n")
        return EXIT_USAGE
    return EXIT_OK


def read_template_text(template: Template) -> str:
    """A template's text: standard input as read, or the file's, decoded."""
    if template.from_stdin:
        return template.source or ""
    with open(template.path, "rb") as file:
        return template.decoded(file.read())


def read_variables(args: argparse.Namespace, console: Console) -> dict[str, Any] | None | int:
    """The caller variables the flags give, or the exit code after showing
    why they cannot be used."""
    try:
        return caller_variables(args.vars_files, args.sets, args.set_strings)
    except CommandError as error:
        return report_failure(console, Template(getattr(args, "path", None) or "quarl"), error)


# ---- compile ----------------------------------------------------------------

def run_compile(args: argparse.Namespace, console: Console) -> int:
    if args.sources_content and not args.source_map:
        raise UsageError("--sources-content requires --source-map")
    variables = read_variables(args, console)
    if isinstance(variables, int):
        return variables

    def work(template: Template) -> int:
        options = dict(vars=variables, source_map=args.source_map is not None,
                       sources_content=args.sources_content)
        if template.from_stdin:
            result = tessel.compile(template.source or "", **options)
        else:
            result = tessel.compile_file(template.compiler_path, **options)
        for warning in result.warnings:
            console.warning(template.shown, warning)
        if args.expect and result.kind != args.expect:
            raise CommandError(f"quarl::expected_{args.expect}",
                               f"expected {args.expect} output, but template produced {result.kind}")
        status = EXIT_OK
        if args.source_map is not None and result.source_map is not None:
            document = json.dumps(result.source_map, ensure_ascii=False, sort_keys=True, separators=(",", ":"))
            status = write_output(console, args.source_map, document + "\n")
        if args.json:
            data = result.to_json() + "\n"
        elif result.kind == "messages":
            data = json.dumps([m.to_dict() for m in result.messages or []], ensure_ascii=False, indent=2) + "\n"
        else:
            data = result.output or ""
        return max(status, write_output(console, args.output, data))

    return for_each_template(console, [args.path], work)


# ---- check and scan-imports ---------------------------------------------------

def run_check(args: argparse.Namespace, console: Console) -> int:
    variables = read_variables(args, console)
    if isinstance(variables, int):
        return variables

    def work(template: Template) -> int:
        if template.from_stdin:
            result = tessel.check(template.source or "", vars=variables)
        else:
            result = tessel.check_file(template.compiler_path, vars=variables)
        for warning in result.warnings:
            console.warning(template.shown, warning)
        return EXIT_OK

    return for_each_template(console, args.paths, work)


def run_scan_imports(args: argparse.Namespace, console: Console) -> int:
    def work(template: Template) -> int:
        paths = tessel.scan_imports(read_template_text(template))
        console.out(json.dumps(paths, ensure_ascii=False) + "\n" if args.json else "".join(p + "\n" for p in paths))
        return EXIT_OK

    return for_each_template(console, [args.path], work)


# ---- fmt --------------------------------------------------------------------

def run_fmt(args: argparse.Namespace, console: Console) -> int:
    changed: list[str] = []

    def work(template: Template) -> int:
        text = read_template_text(template)
        template.source = text  # what the caret of an error points into
        formatted = tessel.format(text)
        if template.from_stdin and not (args.check or args.diff):
            console.out(formatted)
            return EXIT_OK
        if formatted == text:
            return EXIT_OK
        if args.diff:
            import difflib  # only here: it takes longer to load than most of a run
            console.out("".join(difflib.unified_diff(text.splitlines(keepends=True), formatted.splitlines(keepends=True),
                                                     f"{template.shown}", f"{template.shown} (formatted)")))
        elif args.check:
            console.out(f"would reformat {template.shown}\n")
        else:
            try:
                write_atomically(template.path, formatted.encode())
            except OSError as error:
                console.err(f"quarl: error: cannot write {template.shown}: {error.strerror or error}\n")
                return EXIT_USAGE
        changed.append(template.shown)
        return EXIT_FAILED if args.check else EXIT_OK

    status = for_each_template(console, args.paths, work)
    if changed and not (args.check or args.diff):
        console.err(f"reformatted {len(changed)} file{'s' if len(changed) != 1 else ''}\n")
    return status


# ---- lint -------------------------------------------------------------------

def apply_fix_edits(path: str, result: tessel.LintResult) -> int:
    """Applies the result's fix edits to the file, atomically; the number of
    findings fixed. Edits that overlap an earlier one wait for the next run.
    Nothing is written unless the fixed template still parses."""
    with open(path, "rb") as file:
        data = file.read()
    fixes = sorted((edit["start"], edit["end"], edit["new_text"].encode(), index)
                   for report in result.files for index, found in enumerate(report.diagnostics)
                   for edit in (found.fix_edits or []))
    chosen: list[tuple[int, int, bytes, int]] = []
    for fix in fixes:
        if (not chosen or fix[0] >= chosen[-1][1]) and fix[1] <= len(data):
            chosen.append(fix)
    if not chosen:
        return 0
    fixed = data
    for start, end, new_text, _ in reversed(chosen):
        fixed = fixed[:start] + new_text + fixed[end:]
    # The fixed text must still parse. (The check gate is not asked again: a
    # migrated `{{name}}` may need variables only a compile gives it.)
    try:
        tessel.scan_imports(fixed.decode("utf-8"))
    except (QuarlError, UnicodeDecodeError) as error:
        raise CommandError("quarl::internal", "internal compiler error", detail="the fixes would leave a "
                             f"template that does not parse, so none were written: {error}") from None
    write_atomically(path, fixed)
    return len({index for *_, index in chosen})


def run_lint(args: argparse.Namespace, console: Console) -> int:
    variables = read_variables(args, console)
    if isinstance(variables, int):
        return variables
    if args.fix and STDIN in args.paths:
        raise UsageError("--fix rewrites files in place; it cannot fix standard input")
    rules = dict(args.rules) if args.rules else None
    files: list[dict[str, Any]] = []
    truncated = False
    lint_warnings: list[str] = []
    counts = {"error": 0, "warn": 0, "info": 0}
    fixable = fixed = 0

    def work(template: Template) -> int:
        nonlocal truncated, fixable, fixed
        if template.from_stdin:
            result = tessel.lint(template.source or "", vars=variables, rules=rules)
            text = (template.source or "").encode()
        else:
            result = tessel.lint_file(template.compiler_path, vars=variables, rules=rules)
            if args.fix:
                fixed_here = apply_fix_edits(template.path, result)
                if fixed_here:
                    fixed += fixed_here
                    result = tessel.lint_file(template.path, vars=variables, rules=rules)
            with open(template.path, "rb") as file:
                text = file.read()
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

    status = for_each_template(console, args.paths, work)
    if args.format == "json":
        document: dict[str, Any] = {"files": files, "truncated": truncated, "version": 1}
        if lint_warnings:
            document["lint_warnings"] = lint_warnings
        console.out(json.dumps(document, ensure_ascii=False, sort_keys=True, separators=(",", ":")) + "\n")
    else:
        total = sum(counts.values())
        if fixed:
            console.out(f"fixed {fixed} finding{'s' if fixed != 1 else ''}\n")
        if total:
            parts = ", ".join(f"{n} {severity}" for severity, n in counts.items() if n)
            line = f"{total} finding{'s' if total != 1 else ''} ({parts})"
            if fixable:
                line += f"; {fixable} fixable with --fix"
            console.out(line + (" (some files hit the cap of findings)" if truncated else "") + "\n")
    return status


# ---- the command line ---------------------------------------------------------

class UsageError(Exception):
    """A combination of flags the command cannot run with."""


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
                       help="read variables from a JSON object in FILE; --set and --set-string win over it")
    formats = argparse.ArgumentParser(add_help=False)
    formats.add_argument("--format", choices=("text", "json"), default="text",
                         help="show errors as text with the source line (text) or as JSON lines (json)")

    parser = argparse.ArgumentParser(
        prog="quarl", description="Compile, check and lint Quarl templates (Markdown documents and chat prompts).",
        epilog="Exit status: 0 success, 1 a template failed or lint found errors, 2 a usage or I/O problem.")
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compile_ = commands.add_parser("compile", parents=[common, variables, formats],
                                   help="render a template to Markdown or chat messages",
                                   description="Render a template to Markdown (or, for a template with @message "
                                               "blocks, its messages as JSON).")
    compile_.add_argument("path", metavar="PATH", help="the template file, or - for standard input")
    compile_.add_argument("-o", "--output", metavar="FILE", help="write the output to FILE instead of standard output")
    compile_.add_argument("--json", action="store_true", help="print the whole result as canonical JSON")
    compile_.add_argument("--expect", choices=("markdown", "messages"),
                          help="fail unless the template produces this kind of output")
    compile_.add_argument("--source-map", metavar="FILE", help="write a Source Map (revision 3) of the output to FILE")
    compile_.add_argument("--sources-content", action="store_true",
                          help="embed the templates' text in the source map")
    compile_.set_defaults(run=run_compile)

    check = commands.add_parser("check", parents=[common, variables, formats],
                                help="check templates without rendering them",
                                description="Check templates: every file is checked and every failure shown.")
    check.add_argument("paths", nargs="+", metavar="PATH", help="template files, or - for standard input")
    check.set_defaults(run=run_check)

    scan = commands.add_parser("scan-imports", parents=[common, formats],
                               help="list the modules a template imports, without loading them",
                               description="List the import, re-export and @extends paths a template names.")
    scan.add_argument("path", metavar="PATH", help="the template file, or - for standard input")
    scan.add_argument("--json", action="store_true", help="print the paths as a JSON array")
    scan.set_defaults(run=run_scan_imports)

    fmt = commands.add_parser("fmt", parents=[common, formats],
                              help="rewrite templates in the one canonical layout",
                              description="Format templates: template syntax in one layout, Markdown untouched; "
                                          "each result is checked to mean what the template meant.")
    fmt.add_argument("paths", nargs="+", metavar="PATH", help="template files, or - (standard input to output)")
    fmt.add_argument("--check", action="store_true", help="change nothing; list the files that would change, "
                                                          "and exit 1 if any would")
    fmt.add_argument("--diff", action="store_true", help="change nothing; print what would change as a unified diff")
    fmt.set_defaults(run=run_fmt)

    lint = commands.add_parser("lint", parents=[common, variables],
                               help="find likely mistakes in templates",
                               description="Check each template, then run the lint rules on it.")
    lint.add_argument("paths", nargs="+", metavar="PATH", help="template files, or - for standard input")
    lint.add_argument("--fix", action="store_true", help="apply the fixes the findings carry, in place")
    lint.add_argument("--rule", dest="rules", action="append", default=[], type=_rule, metavar="NAME=SEVERITY",
                      help="set a rule's severity: off, info, warn or error")
    lint.add_argument("--format", choices=("text", "json"), default="text",
                      help="show findings as text with the source line (text) or as one JSON document (json)")
    lint.set_defaults(run=run_lint)
    return parser


EXIT_INTERRUPTED = 130  # as a shell reports a command that Ctrl-C stopped


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
    console = Console(args.color, getattr(args, "format", "text"))
    try:
        status: int = args.run(args, console)
        return status
    except UsageError as error:
        parser.exit(EXIT_USAGE, f"quarl {args.command}: error: {error}\n")
    except OutputError as error:
        console.err(f"quarl: error: {error}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`quarl compile t.quarl | head`): not a failure
        # worth a traceback; stop writing to the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as fault:  # a fault of the command line itself: never a traceback
        failure = CommandError("quarl::internal", "internal compiler error",
                                 detail=f"{type(fault).__name__}: {fault}")
        return report_failure(console, Template("quarl"), failure)
    return EXIT_OK  # not reached: parser.exit raises


if __name__ == "__main__":
    sys.exit(main())
