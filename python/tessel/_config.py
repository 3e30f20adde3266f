"""The project configuration: `[tool.quarl]` in the nearest pyproject.toml, or
the same keys at the top of a quarl.toml (which wins in a folder that has
both). One reader for the command line, the language server and the preview.

    [tool.quarl]
    include = ["prompts/**"]     # the templates a folder holds (default: all)
    exclude = ["prompts/old/**"]
    frontmatter = "drop"         # Markdown output without its frontmatter block
    vars = { "prompts/chat/*.quarl" = "fixtures/chat.json" }
    rules = { legacy-interpolation = "off" }

    [[tool.quarl.overrides]]
    files = ["lib/*.quarl"]
    rules = { unused-function = "off" }

Globs and vars files are relative to the configuration file's folder. In a
glob `*` and `?` stay within one name, `**` spans folders, and a glob that
names a folder takes in everything below it. What the command line's own
flags say wins over the configuration.
"""

from __future__ import annotations

import os
import re
import tomllib
from typing import Any, NamedTuple

from tessel._diagnostics import CommandError
from tessel._variables import read_vars_file

CONFIG_FILE = "quarl.toml"
PYPROJECT = "pyproject.toml"
SEVERITIES = ("off", "info", "warn", "error")
FRONTMATTER = ("keep", "drop")
# How far up from a template the search for its configuration goes.
MAX_SEARCH = 256

_TOP_KEYS = ("include", "exclude", "frontmatter", "vars", "rules", "overrides")
_OVERRIDE_KEYS = ("files", "frontmatter", "rules")


def _glob_pattern(glob: str) -> re.Pattern[str]:
    """A glob as a regular expression over '/'-separated relative paths."""
    out, at = [], 0
    while at < len(glob):
        if glob.startswith("**/", at):
            out.append("(?:[^/]*/)*")
            at += 3
        elif glob.startswith("**", at):
            out.append(".*")
            at += 2
        elif glob[at] == "*":
            out.append("[^/]*")
            at += 1
        elif glob[at] == "?":
            out.append("[^/]")
            at += 1
        elif glob[at] == "[" and (close := glob.find("]", at + 2)) > 0:
            inside = glob[at + 1:close]
            out.append("[" + ("^" + inside[1:] if inside.startswith("!") else inside).replace("\\", "\\\\") + "]")
            at = close + 1
        else:
            out.append(re.escape(glob[at]))
            at += 1
    return re.compile("".join(out) + r"\Z")


class Globs:
    """Globs relative to a folder; a path matches when it, or a folder it
    lies in, matches one of them."""

    __slots__ = ("folder", "patterns", "_compiled")

    def __init__(self, folder: str, patterns: tuple[str, ...]) -> None:
        self.folder, self.patterns = folder, patterns
        self._compiled = tuple(_glob_pattern(p.strip("/")) for p in patterns)

    def match(self, path: str) -> bool:
        relative = os.path.relpath(os.path.abspath(path), self.folder).replace(os.sep, "/")
        if relative == ".." or relative.startswith("../"):
            return False
        names = relative.split("/")
        candidates = ["/".join(names[:end]) for end in range(len(names), 0, -1)]
        return any(pattern.match(candidate) for pattern in self._compiled for candidate in candidates)


class Override(NamedTuple):
    files: Globs
    rules: dict[str, str]
    frontmatter: str | None


class Settings(NamedTuple):
    """What the configuration says of one template (read, never changed)."""
    vars_files: tuple[str, ...] = ()  # in order: a later one wins
    rules: dict[str, str] = {}
    frontmatter: str | None = None


class Config(NamedTuple):
    """One configuration file's settings (`file` none: there is none)."""
    file: str | None
    folder: str
    include: Globs | None = None
    exclude: Globs | None = None
    frontmatter: str | None = None
    vars: tuple[tuple[Globs, str], ...] = ()
    rules: dict[str, str] = {}
    overrides: tuple[Override, ...] = ()

    def excludes(self, path: str) -> bool:
        """Whether a folder given on the command line leaves `path` out."""
        return (self.exclude is not None and self.exclude.match(path)) or (
            self.include is not None and not self.include.match(path))

    def settings_for(self, path: str) -> Settings:
        rules = dict(self.rules)
        frontmatter = self.frontmatter
        for override in self.overrides:
            if override.files.match(path):
                rules.update(override.rules)
                frontmatter = override.frontmatter or frontmatter
        return Settings(tuple(file for globs, file in self.vars if globs.match(path)), rules, frontmatter)


class _Reader:
    """Checks the keys and values of one configuration file, naming the file
    and the key in every complaint."""

    def __init__(self, file: str, section: str) -> None:
        self.file, self.section = file, section
        self.folder = os.path.dirname(file)

    def fail(self, key: str, problem: str) -> CommandError:
        shown = os.path.relpath(self.file) if not os.path.isabs(self.file) else self.file
        return CommandError("quarl::invalid_options", f"invalid configuration: {shown}: {key}: {problem}")

    def table(self, table: dict[str, Any], where: str, allowed: tuple[str, ...]) -> None:
        for key in table:
            if key not in allowed:
                raise self.fail(f"{where}{key}", f"unknown key; known keys are {', '.join(allowed)}")

    def strings(self, value: Any, key: str) -> tuple[str, ...]:
        if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
            raise self.fail(key, "must be a list of strings")
        return tuple(value)

    def choice(self, value: Any, key: str, choices: tuple[str, ...]) -> str | None:
        if value is None:
            return None
        if value not in choices:
            raise self.fail(key, f"must be one of {', '.join(choices)}, got {value!r}")
        return str(value)

    def rules(self, value: Any, key: str) -> dict[str, str]:
        if value is None:
            return {}
        if not isinstance(value, dict):
            raise self.fail(key, "must be a table of rule names to severities")
        for name, severity in value.items():
            self.choice(severity, f"{key}.{name}", SEVERITIES)
        return dict(value)

    def vars(self, value: Any, key: str) -> tuple[tuple[Globs, str], ...]:
        if value is None:
            return ()
        if not isinstance(value, dict) or not all(isinstance(file, str) for file in value.values()):
            raise self.fail(key, "must be a table of globs to vars files")
        out = []
        for glob, file in value.items():
            path = os.path.normpath(os.path.join(self.folder, file))
            try:
                read_vars_file(path)
            except CommandError as error:
                raise self.fail(f'{key}."{glob}"', error.message) from None
            out.append((Globs(self.folder, (glob,)), path))
        return tuple(out)

    def read(self, settings: dict[str, Any]) -> Config:
        where = f"[{self.section}] " if self.section else ""
        self.table(settings, where, _TOP_KEYS)
        overrides = settings.get("overrides", [])
        if not isinstance(overrides, list) or not all(isinstance(item, dict) for item in overrides):
            raise self.fail("overrides", "must be a list of tables ([[overrides]])")
        read_overrides = []
        for index, override in enumerate(overrides):
            at = f"overrides[{index}]"
            self.table(override, f"{at}.", _OVERRIDE_KEYS)
            if "files" not in override:
                raise self.fail(at, "needs files, the globs it applies to")
            read_overrides.append(Override(Globs(self.folder, self.strings(override["files"], f"{at}.files")),
                                           self.rules(override.get("rules"), f"{at}.rules"),
                                           self.choice(override.get("frontmatter"), f"{at}.frontmatter", FRONTMATTER)))
        include = settings.get("include")
        exclude = settings.get("exclude")
        return Config(
            self.file, self.folder,
            include=Globs(self.folder, self.strings(include, "include")) if include is not None else None,
            exclude=Globs(self.folder, self.strings(exclude, "exclude")) if exclude is not None else None,
            frontmatter=self.choice(settings.get("frontmatter"), "frontmatter", FRONTMATTER),
            vars=self.vars(settings.get("vars"), "vars"),
            rules=self.rules(settings.get("rules"), "rules"),
            overrides=tuple(read_overrides))


def _parsed(path: str, reader: _Reader) -> dict[str, Any]:
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except OSError as error:
        raise reader.fail("(file)", f"cannot read it: {error.strerror or error}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise reader.fail("(file)", f"not valid TOML: {error}") from None


def load_config(path: str) -> Config | None:
    """The configuration in `path`: a quarl.toml, or a pyproject.toml whose
    `[tool.quarl]` table holds it (none when it has no such table)."""
    path = os.path.abspath(path)
    if os.path.basename(path) != PYPROJECT:
        reader = _Reader(path, "")
        return reader.read(_parsed(path, reader))
    reader = _Reader(path, "tool.quarl")
    try:
        with open(path, "rb") as file:
            if b"quarl" not in file.read():  # most have no such table: not worth parsing
                return None
    except OSError:
        return None
    tool = _parsed(path, reader).get("tool", {})
    if not isinstance(tool, dict) or "quarl" not in tool:
        return None
    if not isinstance(tool["quarl"], dict):
        raise reader.fail("[tool.quarl]", "must be a table")
    return reader.read(tool["quarl"])


class Configs:
    """The configuration of each folder, found once: the nearest quarl.toml or
    pyproject.toml with a `[tool.quarl]` table, from the folder upward."""

    def __init__(self) -> None:
        self._by_folder: dict[str, Config] = {}

    def for_folder(self, folder: str) -> Config:
        folder = os.path.realpath(folder)
        if folder in self._by_folder:
            return self._by_folder[folder]
        found: Config | None = None
        current = folder
        for _ in range(MAX_SEARCH):
            if current in self._by_folder:
                found = self._by_folder[current]
                break
            for name in (CONFIG_FILE, PYPROJECT):
                if found is None and os.path.isfile(os.path.join(current, name)):
                    found = load_config(os.path.join(current, name))
            if found is not None:
                break
            parent = os.path.dirname(current)
            if parent == current:
                break
            current = parent
        config = found or Config(None, folder)
        self._by_folder[folder] = config
        return config

    def for_template(self, path: str) -> Config:
        return self.for_folder(os.path.dirname(os.path.abspath(path)))
