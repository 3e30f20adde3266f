"""The limits of the editor tools, each at the limit and one past it: what
the language server lints as you type, lists of a project and completes,
and what the preview page sends."""

from __future__ import annotations

import http.client
import json
import threading
from pathlib import Path

import pytest

pytest.importorskip("pygls", reason="the language server needs tessel[lsp]")
pytest.importorskip("cmarkgfm", reason="quarl preview needs tessel[preview]")
from tessel.lsp import analysis, assist, project  # noqa: E402
from tessel.preview import render, server  # noqa: E402

LEGACY = "Hi {name}\n"  # a lint finding (legacy-interpolation)


@pytest.mark.parametrize("past", [0, 1])
def test_documents_are_linted_up_to_the_limit(tmp_path: Path, past: int) -> None:
    padding = "x" * (analysis.MAX_LINTED_BYTES - len(LEGACY) - 1 + past) + "\n"
    found = analysis.analyse(str(tmp_path / "a.quarl"), padding + LEGACY)
    assert [f.code for f in found.findings] == ([] if past else ["legacy-interpolation"])


@pytest.mark.parametrize("past", [0, 1])
def test_a_project_lists_templates_up_to_the_limit(tmp_path: Path, past: int) -> None:
    for number in range(project.MAX_PROJECT_FILES + past):
        (tmp_path / f"t{number:05}.quarl").write_text("")
    assert len(project.Project(str(tmp_path)).template_files()) == project.MAX_PROJECT_FILES


@pytest.mark.parametrize("past", [0, 1])
def test_module_texts_are_read_up_to_the_limit(tmp_path: Path, past: int) -> None:
    path = tmp_path / "big.quarl"
    path.write_bytes(b"x" * (project.MAX_FILE_BYTES + past))
    lines = project.Project(str(tmp_path)).text_of(str(path))
    assert (lines is None) == bool(past)


@pytest.mark.parametrize("past", [0, 1])
def test_import_paths_complete_up_to_the_limit(tmp_path: Path, past: int) -> None:
    for number in range(assist.MAX_PATH_COMPLETIONS + past):
        (tmp_path / f"m{number:04}.quarl").write_text("")
    found = assist._path_completions(str(tmp_path), "./", str(tmp_path))
    assert len(found) == assist.MAX_PATH_COMPLETIONS


@pytest.mark.parametrize("past", [0, 1])
def test_the_preview_shows_output_up_to_the_limit(tmp_path: Path, past: int) -> None:
    (tmp_path / ".quarlroot").touch()
    (tmp_path / "t.quarl").write_text("{{ s }}\n")
    text = "y" * (render.MAX_SHOWN_BYTES - 1 + past)
    shown = render.render(render.Project(str(tmp_path)), "t.quarl", None, json.dumps({"s": text}), "json")
    assert len(shown["raw"].encode()) == render.MAX_SHOWN_BYTES
    assert shown.get("truncated") == ({"shown": render.MAX_SHOWN_BYTES, "total": render.MAX_SHOWN_BYTES + 1}
                                      if past else None)


@pytest.mark.parametrize(("past", "status"), [(0, 200), (1, 413)])
def test_the_preview_takes_requests_up_to_the_limit(tmp_path: Path, past: int, status: int) -> None:
    (tmp_path / "t.quarl").write_text("Hi\n")
    running = server.PreviewServer(render.Project(str(tmp_path)), ["t.quarl"])
    threading.Thread(target=running.serve_forever, daemon=True).start()
    try:
        start = b'{"path": "t.quarl", "variables": "'
        body = start + b"x" * (server.MAX_BODY_BYTES - len(start) - 2 + past) + b'"}'
        connection = http.client.HTTPConnection("127.0.0.1", running.server_port, timeout=60)
        connection.putrequest("POST", "/api/render", skip_host=True)
        for name, value in (("Host", f"127.0.0.1:{running.server_port}"), ("X-Quarl-Token", running.token),
                            ("Content-Type", "application/json"), ("Content-Length", str(len(body)))):
            connection.putheader(name, value)
        connection.endheaders()
        if not past:  # a body past the limit is refused from its length, unread
            connection.send(body)
        assert connection.getresponse().status == status
    finally:
        running.shutdown()
        running.server_close()
