"""The templates of the folder an editor has open: each one's index, for
references and renames across files. An open document counts with the text
in the editor; every other template with its text on disk, indexed again only
when its file changes."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator
from typing import Any

import tessel
from tessel._config import Configs
from tessel._index import TemplateIndex
from tessel._templates import _is_template_file, _walk
from tessel.lsp.analysis import ENTRY_KEY, Analysis
from tessel.lsp.text import LineIndex

# How many templates below the root are indexed for project-wide features:
# a folder with more (a home directory opened by mistake) is cut there.
MAX_PROJECT_FILES = 5000
# Files larger than this are left out of project-wide indexing.
MAX_FILE_BYTES = 4 * 1048576


def file_key(path: str) -> str:
    """One spelling of a file's path, so that two names of one file match."""
    return os.path.realpath(path)


class ModuleView:
    """One module of one index: its definitions and references, with the
    module keys they name spelled as file keys."""

    __slots__ = ("path", "data", "_entry_path")

    def __init__(self, data: dict[str, Any], entry_path: str) -> None:
        self.data = data
        self._entry_path = entry_path
        self.path = self.resolve(data["key"])

    def resolve(self, key: str | None) -> str:
        if key is None or key == ENTRY_KEY:
            return file_key(self._entry_path)
        return file_key(key if os.path.isabs(key) else os.path.join(os.path.dirname(self._entry_path), key))


def modules_of(index: TemplateIndex, entry_path: str) -> Iterator[ModuleView]:
    for module in index._data["modules"]:
        yield ModuleView(module, entry_path)


class Project:
    """The indexes of the templates below `root` (thread-safe: requests run
    on worker threads)."""

    def __init__(self, root: str | None) -> None:
        self.root = root
        self._lock = threading.Lock()
        self._open: dict[str, Analysis] = {}  # by file key
        self._on_disk: dict[str, tuple[tuple[int, int], TemplateIndex | None]] = {}
        self.configs = Configs()

    def opened(self, analysis: Analysis) -> None:
        with self._lock:
            self._open[file_key(analysis.path)] = analysis

    def closed(self, path: str) -> None:
        with self._lock:
            self._open.pop(file_key(path), None)

    def text_of(self, path: str) -> LineIndex | None:
        """The text of a module: the editor's when it is open, else the file's."""
        with self._lock:
            analysis = self._open.get(file_key(path))
        if analysis is not None:
            return analysis.lines
        try:
            with open(path, "rb") as file:
                data = file.read(MAX_FILE_BYTES + 1)
        except OSError:
            return None
        if len(data) > MAX_FILE_BYTES:
            return None
        return LineIndex(data.removeprefix(b"\xef\xbb\xbf").decode("utf-8", "replace"))

    def template_files(self) -> list[str]:
        if self.root is None or not os.path.isdir(self.root):
            return []
        found = []
        for path in _walk(self.root):
            if _is_template_file(path) and not self.configs.for_template(path).excludes(path):
                found.append(path)
                if len(found) >= MAX_PROJECT_FILES:
                    break
        return found

    def _disk_index(self, path: str) -> TemplateIndex | None:
        try:
            info = os.stat(path)
        except OSError:
            return None
        stamp = (info.st_mtime_ns, info.st_size)
        with self._lock:
            cached = self._on_disk.get(path)
        if cached is not None and cached[0] == stamp:
            return cached[1]
        index: TemplateIndex | None = None
        if info.st_size <= MAX_FILE_BYTES:
            try:
                index = tessel.index_file(path)
            except (tessel.QuarlError, OSError, ValueError):
                index = None
        with self._lock:
            self._on_disk[path] = (stamp, index)
        return index

    def indexes(self) -> Iterator[tuple[str, TemplateIndex]]:
        """(entry path, index) of every template of the project and every open
        document, each once."""
        with self._lock:
            open_now = dict(self._open)
        seen = set()
        for key, analysis in open_now.items():
            seen.add(key)
            if analysis.index is not None:
                yield analysis.path, analysis.index
        for path in self.template_files():
            key = file_key(path)
            if key in seen:
                continue
            seen.add(key)
            index = self._disk_index(path)
            if index is not None:
                yield path, index
