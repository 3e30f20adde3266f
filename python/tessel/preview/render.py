"""One render for the preview page: a template (its file, or the page's
scratch copy of it) compiled with the page's variables, and everything the
page shows of it: the output as sanitised HTML and as raw text, chat
messages, warnings, the error with its source line, lint findings, and
which template line each output line came from.

Template output is untrusted text. Markdown is rendered by cmark in its
safe mode (raw HTML such as `<script>` or an `onerror=` attribute is left
out, and so are `javascript:` URLs); the raw view shows the text as it is,
set as text. The page's Content-Security-Policy is the second wall.
"""

from __future__ import annotations

import json
import os
import time
from typing import Any

import cmarkgfm  # type: ignore[import-untyped]
import yaml
from cmarkgfm.cmark import Options  # type: ignore[import-untyped]

import tessel
from tessel._config import Configs
from tessel._diagnostics import CommandError
from tessel._files import project_root
from tessel._index import example_variables
from tessel._variables import caller_variables

# Output beyond this many bytes is not sent to the page: it shows this much
# and says how much more there is.
MAX_SHOWN_BYTES = 1048576


def markdown_html(text: str) -> str:
    """CommonMark as HTML, safe: raw HTML is left out, and links and images
    whose URL could run script (`javascript:` and the like) lose it. Each
    block carries `data-sourcepos`, the output lines it came from."""
    return str(cmarkgfm.markdown_to_html(text, options=Options.CMARK_OPT_SOURCEPOS))


def parse_variables(text: str, form: str) -> dict[str, Any]:
    """The page's variables: a JSON object, or a YAML mapping. Raises
    ValueError with what is wrong."""
    if not text.strip():
        return {}
    try:
        value = json.loads(text) if form == "json" else yaml.safe_load(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not valid JSON: {error.msg} at line {error.lineno}, column {error.colno}") from None
    except yaml.YAMLError as error:
        raise ValueError(f"not valid YAML: {error}") from None
    if not isinstance(value, dict):
        raise ValueError("the variables must be a " + ("JSON object" if form == "json" else "YAML mapping")
                         + " of names to values")
    return value


class Project:
    """The templates a preview serves: files under `root` only."""

    def __init__(self, root: str) -> None:
        self.root = os.path.realpath(root)
        self.configs = Configs()

    def resolve(self, relative: str) -> str:
        """The file a page names: a relative path that stays under the root
        (no `..`, no absolute path, no symbolic link out of it). Raises
        PermissionError otherwise."""
        if not relative or os.path.isabs(relative) or "\\" in relative or "\0" in relative or \
                any(part in ("..", "") for part in relative.split("/")):
            raise PermissionError(f"not a path under the project: {relative!r}")
        path = os.path.realpath(os.path.join(self.root, relative))
        if os.path.commonpath([path, self.root]) != self.root:
            raise PermissionError(f"not a path under the project: {relative!r}")
        return path

    def relative(self, path: str) -> str:
        return os.path.relpath(os.path.realpath(path), self.root).replace(os.sep, "/")

    def initial_variables(self, path: str, inputs: list[dict[str, Any]] | None) -> tuple[str, str]:
        """(JSON text, where it came from) of the variables a template
        starts with: its configured vars files, else a value of each of its
        `inputs`' types (none: the template does not parse)."""
        try:
            settings = self.configs.for_template(path).settings_for(path)
            configured = caller_variables(list(settings.vars_files), [], [])
        except CommandError as error:
            return "{}", error.message
        if configured is not None:
            shown = ", ".join(self.relative(file) for file in settings.vars_files)
            return json.dumps(configured, indent=2, ensure_ascii=False), f"from {shown}"
        if inputs is None:
            return "{}", "empty: the template does not parse"
        return json.dumps(example_variables(inputs), indent=2, ensure_ascii=False), "an example of each input's type"

    def inputs(self, path: str) -> list[dict[str, Any]] | None:
        """The caller's variables the template reads (none when it does not parse)."""
        try:
            return tessel.index_file(path).inputs
        except (tessel.QuarlError, OSError, ValueError):
            return None

    def rules(self, path: str) -> dict[str, str]:
        try:
            return dict(self.configs.for_template(path).settings_for(path).rules)
        except CommandError:
            return {}

    def frontmatter(self, path: str) -> str:
        """What the page does with the frontmatter block: what the
        configuration says, else leave it out (the page shows what a model
        is sent)."""
        try:
            return self.configs.for_template(path).settings_for(path).frontmatter or "drop"
        except CommandError:
            return "drop"


def _error(project: Project, path: str, text: str | None, error: tessel.QuarlError) -> dict[str, Any]:
    root = project_root(os.path.dirname(path))
    module = path if error.source is None else os.path.join(root, error.source)
    source: str | None = text if error.source is None and text is not None else None
    if source is None:
        try:
            with open(module, encoding="utf-8", errors="replace") as file:
                source = file.read()
        except OSError:
            source = None
    shown = project.relative(module) if os.path.exists(module) else (error.source or project.relative(path))
    return {"code": error.code, "message": error.message, "help": error.help, "notes": list(error.notes),
            "module": shown, "line": error.span.line if error.span else None,
            "shown": tessel.render_diagnostic(error, source, path=shown)}


def render(project: Project, relative: str, text: str | None, variables_text: str, form: str) -> dict[str, Any]:
    """What the page shows for one render (see the module's docstring).
    `text` is the scratch copy, or None for the file as it is on disk."""
    path = project.resolve(relative)
    result: dict[str, Any] = {"path": relative}
    try:
        variables = parse_variables(variables_text, form)
    except ValueError as problem:
        result["variables_error"] = str(problem)
        return result
    started = time.perf_counter()

    def compiled_with(source_map: bool) -> tessel.CompileResult:
        frontmatter: Any = project.frontmatter(path)
        if text is None:
            return tessel.compile_file(path, vars=variables, source_map=source_map, frontmatter=frontmatter)
        return tessel.compile(text, vars=variables, base_path=os.path.dirname(path), source_map=source_map,
                              frontmatter=frontmatter)

    try:
        compiled = compiled_with(True)
        if compiled.kind == "messages":  # chat has no map; asking for one only adds a warning of its own
            compiled = compiled_with(False)
    except tessel.QuarlError as error:
        result["error"] = _error(project, path, text, error)
        result["elapsed_ms"] = round((time.perf_counter() - started) * 1000, 2)
        return result
    result["elapsed_ms"] = round((time.perf_counter() - started) * 1000, 2)
    result["kind"] = compiled.kind
    result["warnings"] = compiled.warnings
    if compiled.kind == "messages":
        result["messages"] = [_message(m.role, m.content) for m in compiled.messages or []]
    else:
        output, total = _shown(compiled.output or "")
        if total > MAX_SHOWN_BYTES:
            result["truncated"] = {"shown": MAX_SHOWN_BYTES, "total": total}
        result["raw"] = output
        result["html"] = markdown_html(output)
        source_map = compiled.source_map or {}
        result["sources"] = _sources(project, path, source_map, text is not None)
        # The mappings of the lines shown (the page decodes them when the
        # user points at the output: a large output costs nothing until then).
        mappings = source_map.get("mappings", "")
        cut = -1
        for _ in range(output.count("\n") + 1):
            cut = mappings.find(";", cut + 1)
            if cut < 0:
                break
        result["mappings"] = mappings if cut < 0 else mappings[:cut]
    result["lint"] = _lint(project, path, text, variables)
    return result


def _shown(text: str) -> tuple[str, int]:
    """What of `text` the page is sent (its first MAX_SHOWN_BYTES), and its
    whole size in bytes."""
    data = text.encode("utf-8")
    return (text if len(data) <= MAX_SHOWN_BYTES else data[:MAX_SHOWN_BYTES].decode("utf-8", "ignore")), len(data)


def _message(role: str, content: str) -> dict[str, Any]:
    shown, total = _shown(content)
    return {"role": role, "content": shown, "characters": len(content), "bytes": total,
            "truncated": total > MAX_SHOWN_BYTES}


def _sources(project: Project, path: str, source_map: dict[str, Any], scratch: bool) -> list[str]:
    """The source map's modules, as paths relative to the project."""
    root = project_root(os.path.dirname(path))
    out = []
    for index, name in enumerate(source_map.get("sources", [])):
        if scratch and index == 0 and name == "input.quarl":
            out.append(project.relative(path))
            continue
        module = os.path.join(root, name) if not os.path.isabs(name) else name
        out.append(project.relative(module) if os.path.exists(module) else name)
    return out


def _lint(project: Project, path: str, text: str | None, variables: dict[str, Any]) -> list[dict[str, Any]]:
    rules = project.rules(path)
    try:
        if text is None:
            result = tessel.lint_file(path, vars=variables, rules=rules)
        else:
            result = tessel.lint(text, vars=variables, base_path=os.path.dirname(path), rules=rules)
    except tessel.QuarlError:
        return []
    return [{"rule": found.rule, "severity": found.severity, "message": found.message,
             "line": found.span.line if found.span else None}
            for report in result.files[:1] for found in report.diagnostics]
