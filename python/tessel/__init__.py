"""tessel: a compiler for Quarl templates (Markdown and chat prompts).

The compiler itself is the native extension module :mod:`tessel._tessel`;
this package re-exports its public names. `__version__` is the installed
package's version.
"""

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _version

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

try:
    __version__ = _version("tessel")
except _PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

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
    "format",
    "lint",
    "lint_file",
    "lint_virtual",
    "scan_imports",
]
