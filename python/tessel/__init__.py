"""tessel: a compiler for Quarl templates (Markdown and chat prompts).

The compiler itself is the native extension module :mod:`tessel._tessel`;
this package re-exports its public names. `__version__` is the installed
package's version, looked up when first read (the lookup takes longer than
importing the compiler).
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


__version__: str  # set by __getattr__ on first use


def __getattr__(name: str) -> str:
    if name != "__version__":
        raise AttributeError(f"module 'tessel' has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        found = version("tessel")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        found = "0+unknown"
    globals()["__version__"] = found
    return found

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
