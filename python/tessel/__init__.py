"""tessel: a compiler for Quarl templates (Markdown and chat prompts).

The compiler itself is the native extension module :mod:`tessel._tessel`;
this package re-exports its public names.
"""

from tessel._tessel import QuarlError, Span

__all__ = ["QuarlError", "Span"]
