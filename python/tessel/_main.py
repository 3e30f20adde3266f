"""The `quarl` command as installed (and `python -m tessel`): its imports
run inside the same guard as the command, so that Ctrl-C at any moment ends
it quietly with status 130, never a traceback."""

from __future__ import annotations


def main() -> int:
    try:
        from tessel.cli import main as run
    except KeyboardInterrupt:
        return 130
    return run()
