"""Where the command line writes: standard output and standard error, each
coloured or not, and what it does when one of them cannot be written."""

from __future__ import annotations

import errno
import json
import os
import sys
from typing import Any, BinaryIO

from tessel._diagnostics import Diagnostic


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
