"""The templates a command line names: files, standard input, and the
templates folders hold (recursively: `*.quarl` files, and `.md` files whose
frontmatter says `type: quarl`, less what the project's configuration
excludes)."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator

from tessel._config import Configs, Settings
from tessel._diagnostics import CommandError, escape_text

STDIN = "-"
STDIN_NAME = "<stdin>"
BYTE_ORDER_MARK = b"\xef\xbb\xbf"
# How much of a .md file is read to find its frontmatter's type marker: the
# frontmatter is at most this long.
MAX_FRONTMATTER_BYTES = 1048576
_MARKERS = ("quarl", '"quarl"', "'quarl'")


def is_utf8_name(path: str) -> bool:
    try:
        path.encode()
        return True
    except UnicodeEncodeError:
        return False


def is_marked_markdown(path: str) -> bool:
    """Whether a .md file is a template: its frontmatter has a line, not
    indented, that reads `type: quarl` (or the word quoted)."""
    try:
        with open(path, "rb") as file:
            head = file.read(MAX_FRONTMATTER_BYTES + 16)
    except OSError:
        return False
    head = head.removeprefix(BYTE_ORDER_MARK)
    if not (head.startswith(b"---\n") or head.startswith(b"---\r\n")):
        return False
    end = head.find(b"\n---", 3)
    for line in head[head.index(b"\n") + 1:end if end >= 0 else len(head)].split(b"\n"):
        line = line.removesuffix(b"\r")
        if line.startswith(b"type:") and line[5:].decode("utf-8", "replace").strip() in _MARKERS:
            return True
    return False


def _is_template_file(path: str) -> bool:
    return path.endswith(".quarl") or (path.endswith(".md") and is_marked_markdown(path))


def _walk(folder: str) -> Iterator[str]:
    """The files below `folder`, in name order, hidden folders left out."""
    for root, folders, files in os.walk(folder):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        for name in sorted(files):
            yield os.path.join(root, name)


class Template:
    """A template the command line names: a file, or standard input."""

    __slots__ = ("path", "source", "settings")

    def __init__(self, path: str) -> None:
        self.path = path
        self.source: str | None = None  # the text of standard input, once read
        self.settings = Settings()

    @property
    def from_stdin(self) -> bool:
        return self.path == STDIN

    @property
    def shown(self) -> str:
        return STDIN_NAME if self.from_stdin else escape_text(self.path)

    @property
    def folder(self) -> str:
        """Where the template's imports and configuration are looked for."""
        return os.getcwd() if self.from_stdin else os.path.dirname(os.path.abspath(self.path))

    def decoded(self, data: bytes) -> str:
        """The template's bytes as text; not UTF-8 is an error, as for the compiler."""
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CommandError("quarl::io", f"invalid UTF-8 in {self.shown}: invalid byte sequence at offset "
                                            f"{error.start}") from None

    def read(self) -> str:
        """The template's text: standard input as read, or the file's, decoded."""
        if self.from_stdin:
            return self.source or ""
        with open(self.path, "rb") as file:
            return self.decoded(file.read())

    def unreadable(self) -> bool:
        """Whether the file cannot be opened (the command line's problem, not
        the template's): it is missing, not a regular file, not readable, or
        its name is not UTF-8 where the compiler needs it."""
        return not self.from_stdin and (not is_utf8_name(self.path) or not os.path.isfile(self.path)
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
        if not is_utf8_name(self.path):
            raise CommandError("quarl::io", f"cannot read {self.shown}: the file name is not valid UTF-8")
        return self.path


def templates_in(path: str, configs: Configs) -> list[str]:
    """The path as given, or for a folder the templates below it that its
    configuration does not exclude (an error when there are none)."""
    if path == STDIN or not os.path.isdir(path):
        return [path]
    found = [file for file in _walk(path)
             if _is_template_file(file) and not configs.for_template(file).excludes(file)]
    if not found:
        raise CommandError("quarl::io", f"no templates in {escape_text(path)} (*.quarl files, or .md files "
                                        "marked with type: quarl)")
    return found
