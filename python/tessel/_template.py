"""`Template`: a template loaded once and rendered many times.

The extension loads the template (`tessel._tessel.load`, `load_file`,
`load_virtual`): every module it reaches is read, parsed and linked once, and
each render only links the caller's variables, checks and renders. This
module adds what a caller keeps such an object for: equality, pickling, and
`changed()` to tell when the files it was read from differ.
"""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from typing import Any

from tessel import _tessel
from tessel._files import read_bytes
from tessel._index import TemplateIndex

# A file modified this close to when its state was recorded may change again
# within the same timestamp tick: changed() always compares its content.
_RACY_NS = 2_000_000_000

_FileState = tuple[int, int, bool]  # size, mtime_ns, racy


class Template:
    """A template loaded once, with every module it reaches (imports,
    re-exports, includes, the `@extends` chain), and rendered many times.

    Made like the compile functions take their input: `Template(source, *,
    base_path=None)`, `Template.from_file(path)` or
    `Template.from_virtual(modules, entry)`; making one raises the
    `QuarlError` that compiling the same input would raise whatever its
    variables (a module that cannot be read or does not parse, an import
    that fails). `compile`, `check`, `lint` and `index` give what the
    functions of the same names give for that input as it was when loaded.

    Immutable: any number of threads may render one at once. It never reads
    a file again by itself; `changed()` says whether a module file differs
    from what was read. Picklable (as its module texts, parsed again when
    unpickled) and equal to a template loaded from the same texts."""

    __slots__ = ("_loaded", "_files", "_snapshot")
    _loaded: _tessel.LoadedTemplate
    _files: dict[str, _FileState | None]
    _snapshot: dict[str, Any] | None

    def __init__(self, source: str, *, base_path: str | os.PathLike[str] | None = None) -> None:
        self._start(_tessel.load(source, base_path=base_path))

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Template:
        """The template file `path` (a str or `os.PathLike`), as `compile_file` reads it."""
        return cls._of(_tessel.load_file(path))

    @classmethod
    def from_virtual(cls, modules: Mapping[str, str], entry: str) -> Template:
        """The module `entry` of the map `modules`, as `compile_virtual` reads it."""
        return cls._of(_tessel.load_virtual(modules, entry))

    @classmethod
    def _of(cls, loaded: _tessel.LoadedTemplate, *, record_files: bool = True) -> Template:
        template = cls.__new__(cls)
        template._start(loaded, record_files=record_files)
        return template

    def _start(self, loaded: _tessel.LoadedTemplate, *, record_files: bool = True) -> None:
        if hasattr(self, "_loaded"):
            raise TypeError("Template is immutable: it cannot be initialised again")
        object.__setattr__(self, "_loaded", loaded)
        object.__setattr__(self, "_snapshot", None)
        files: dict[str, _FileState | None] = {}
        # Files are the modules of a file template, and a source's imports.
        if loaded.kind == "file" or (loaded.kind == "source" and loaded.dependencies):
            texts = self.modules
            for key in texts:
                if os.path.isabs(key):
                    files[key] = _file_state(key, texts[key]) if record_files else None
        object.__setattr__(self, "_files", files)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Template is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Template is immutable")

    # ---- rendering ------------------------------------------------------------

    def compile(self, vars: Mapping[str, Any] | None = None, *, source_map: bool = False,
                sources_content: bool = False, frontmatter: str = "keep") -> _tessel.CompileResult:
        """What `compile` (`compile_file`, `compile_virtual`) gives for the
        loaded input with these options."""
        return self._loaded.compile(vars, source_map=source_map, sources_content=sources_content,
                                    frontmatter=frontmatter)

    def check(self, vars: Mapping[str, Any] | None = None) -> _tessel.CheckResult:
        """What `check` gives for the loaded input."""
        return self._loaded.check(vars)

    def lint(self, rules: Mapping[str, str] | None = None, *,
             vars: Mapping[str, Any] | None = None) -> _tessel.LintResult:
        """What `lint` gives for the loaded input."""
        return self._loaded.lint(rules, vars=vars)

    def index(self, vars: Mapping[str, Any] | None = None) -> TemplateIndex:
        """What `index` gives for the loaded input."""
        return TemplateIndex._from_json(self._loaded.index(vars))

    # ---- what it was loaded from ---------------------------------------------

    @property
    def entry(self) -> str:
        """The entry module's key: "<source>" for a source string, the
        file's absolute path, or the map's key."""
        return self._loaded.entry

    @property
    def dependencies(self) -> list[str]:
        """The keys of the imported modules, each after the modules it
        imports (as a compile result lists them)."""
        return self._loaded.dependencies

    @property
    def modules(self) -> dict[str, str]:
        """Every module's key and the text read, the entry first."""
        return {key: text for key, text in self._state()["modules"]}

    def changed(self) -> bool:
        """Whether any module file now differs from the text read when the
        template was loaded (its size and modification time, then its
        content). A template of a virtual map has no files: never changed."""
        texts: dict[str, str] | None = None
        for path, recorded in self._files.items():
            try:
                info = os.stat(path)
            except OSError:
                return True
            if recorded is not None and not recorded[2] and (info.st_size, info.st_mtime_ns) == recorded[:2]:
                continue
            if texts is None:
                texts = self.modules
            if read_bytes(path) != texts[path].encode("utf-8"):
                return True
        return False

    # ---- value semantics ------------------------------------------------------

    def _state(self) -> dict[str, Any]:
        if self._snapshot is None:
            object.__setattr__(self, "_snapshot", self._loaded.snapshot())
        assert self._snapshot is not None
        return self._snapshot

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Template):
            return NotImplemented
        return self is other or self._state() == other._state()

    def __hash__(self) -> int:
        state = self._state()
        return hash((state["kind"], state["entry"], tuple(map(tuple, state["modules"]))))

    def __copy__(self) -> Template:
        return self  # immutable: a copy would be the same template

    def __deepcopy__(self, memo: dict[int, Any]) -> Template:
        return self

    def __reduce__(self) -> tuple[Any, tuple[dict[str, Any]]]:
        return (_restore, (self._state(),))

    def __repr__(self) -> str:
        count = len(self._state()["modules"])
        return f"<tessel.Template {self.entry!r} ({count} module{'' if count == 1 else 's'})>"


def _restore(state: dict[str, Any]) -> Template:
    """A pickled template: its texts parsed again; its files, if any, are
    compared by content the first time `changed()` looks."""
    return Template._of(_tessel.load_snapshot(state), record_files=False)


def _file_state(path: str, text: str) -> _FileState | None:
    """The file's size and modification time now, if its content is still
    the text read (None: it differs already, or cannot be read)."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    if read_bytes(path) != text.encode("utf-8"):
        return None
    racy = time.time_ns() - info.st_mtime_ns < _RACY_NS
    return (info.st_size, info.st_mtime_ns, racy)
