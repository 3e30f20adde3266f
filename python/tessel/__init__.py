"""tessel: a compiler for Quarl templates (Markdown and chat prompts).

The compiler itself is the native extension module :mod:`tessel._tessel`;
this package re-exports its public names, and renders diagnostics as the
command line shows them. `__version__` is the version it was built as.
"""

from tessel._tessel import (
    CheckResult,
    CompileResult,
    LintDiagnostic,
    LintFileReport,
    LintResult,
    Message,
    QuarlError,
    Span,
    check,
    check_file,
    check_virtual,
    compile,
    compile_file,
    compile_virtual,
    format,
    lint,
    lint_file,
    lint_virtual,
    scan_imports,
)
from tessel._tessel import __version__ as __version__
from tessel._index import TemplateIndex, index, index_file, index_virtual
from tessel._template import Template


def render_diagnostic(item: QuarlError | LintDiagnostic, source: str | bytes | None = None, *,
                      path: str | None = None, color: bool = False) -> str:
    """A QuarlError or a lint finding as the `quarl` command line shows it:
    `path:line:column: error[code]: message`, the source line with a caret
    under the span, then the help and the notes. `source` is the text the
    span points into (for an error in an imported module, that module's text:
    `error.source` names it); without it there is no source line. `path` is
    the name shown (default: `error.source`, else "<source>"); `color` adds
    the terminal's colours."""
    from tessel._diagnostics import render_diagnostic as render

    return render(item, source, path=path, color=color)


__all__ = [
    "CheckResult",
    "CompileResult",
    "LintDiagnostic",
    "LintFileReport",
    "LintResult",
    "Message",
    "QuarlError",
    "Span",
    "Template",
    "TemplateIndex",
    "check",
    "check_file",
    "check_virtual",
    "compile",
    "compile_file",
    "compile_virtual",
    "format",
    "index",
    "index_file",
    "index_virtual",
    "lint",
    "lint_file",
    "lint_virtual",
    "render_diagnostic",
    "scan_imports",
]
