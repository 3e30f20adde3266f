"""The preview page (`quarl preview`): a template, its variables and what it
renders side by side, re-rendered as either changes, with each piece of
output linked to the template line that produced it.

It needs cmarkgfm and PyYAML (`pip install 'tessel[preview]'`); the
rest of tessel does not."""

from __future__ import annotations

MISSING = ("quarl preview needs the preview packages: pip install 'tessel[preview]' "
           "(cmarkgfm and PyYAML)")


def available() -> bool:
    try:
        import cmarkgfm  # type: ignore[import-untyped]  # noqa: F401
        import yaml  # noqa: F401
    except ImportError:
        return False
    return True
