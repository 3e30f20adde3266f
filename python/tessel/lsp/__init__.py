"""The Quarl language server (`quarl lsp`): diagnostics, navigation,
completion and formatting for editors, over the Language Server Protocol.

It needs pygls (`pip install tessel[lsp]`); the rest of tessel does not."""

from __future__ import annotations

MISSING = ("quarl lsp needs the language server packages: pip install 'tessel[lsp]' "
           "(into the Python environment the editor starts quarl from)")


def available() -> bool:
    try:
        import lsprotocol  # noqa: F401
        import pygls  # noqa: F401
    except ImportError:
        return False
    return True
