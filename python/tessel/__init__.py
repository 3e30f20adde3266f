"""tessel: a compiler for Quarl templates (Markdown and chat prompts).

The compiler itself is the native extension module :mod:`tessel._tessel`;
this package re-exports its public names.
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
    lint,
    lint_file,
    lint_virtual,
    scan_imports,
)

__all__ = [
    "CheckResult",
    "CompileResult",
    "LintDiagnostic",
    "LintFileReport",
    "LintResult",
    "Message",
    "QuarlError",
    "Span",
    "check",
    "check_file",
    "check_virtual",
    "compile",
    "compile_file",
    "compile_virtual",
    "lint",
    "lint_file",
    "lint_virtual",
    "scan_imports",
]
