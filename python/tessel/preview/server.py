"""`quarl preview`: a local web server for the preview page.

A preview server is still a server, and the page renders untrusted text:
- it listens on 127.0.0.1 only, and answers only requests whose Host is
  its own address (a DNS name rebound to 127.0.0.1 gets nothing);
- every request but the page's static files carries the run's token (in the
  page's URL, then in a header the page's script sends);
- writes (POST) must come from the page itself: JSON bodies, no foreign
  Origin, and saving a file only when started with --write;
- it serves templates under the project root only (`Project.resolve`);
- the page allows no inline script and no other origin
  (Content-Security-Policy), so rendered output can run nothing.
"""

from __future__ import annotations

import hmac
import json
import os
import secrets
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, urlsplit

from tessel._files import write_atomically
from tessel.preview.render import Project, render

TOKEN_HEADER = "X-Quarl-Token"
# Request bodies larger than this are refused (a template is at most a few MB).
MAX_BODY_BYTES = 16 * 1048576
CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                           "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
_STATIC = {"/static/app.js": "text/javascript", "/static/app.css": "text/css"}


class PreviewServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, project: Project, templates: list[str], port: int = 0, writable: bool = False) -> None:
        super().__init__(("127.0.0.1", port), PreviewHandler)
        self.project = project
        self.templates = templates
        self.writable = writable
        self.token = secrets.token_urlsafe(24)
        self.hosts = {f"127.0.0.1:{self.server_port}", f"localhost:{self.server_port}"}
        self.lock = threading.Lock()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_port}/?token={self.token}"


class Refused(Exception):
    def __init__(self, status: HTTPStatus, reason: str) -> None:
        super().__init__(reason)
        self.status = status


class PreviewHandler(BaseHTTPRequestHandler):
    server: PreviewServer
    server_version = "quarl-preview"
    sys_version = ""

    def log_message(self, format: str, *args: Any) -> None:  # the terminal shows the URL, not each request
        pass

    # ---- the checks every request passes ------------------------------------------

    def _check_host(self) -> None:
        if self.headers.get("Host", "") not in self.server.hosts:
            raise Refused(HTTPStatus.FORBIDDEN, "this server answers only to its own address")

    def _check_token(self, given: str | None) -> None:
        if given is None or not hmac.compare_digest(given.encode(), self.server.token.encode()):
            raise Refused(HTTPStatus.FORBIDDEN, "missing or wrong token: open the URL quarl preview printed")

    def _check_same_origin(self) -> None:
        origin = self.headers.get("Origin")
        if origin is not None and urlsplit(origin).netloc not in self.server.hosts:
            raise Refused(HTTPStatus.FORBIDDEN, "cross-origin requests are refused")
        if self.headers.get("Sec-Fetch-Site", "same-origin") not in ("same-origin", "none"):
            raise Refused(HTTPStatus.FORBIDDEN, "cross-origin requests are refused")
        if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
            raise Refused(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "requests carry JSON")

    def _body(self) -> dict[str, Any]:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise Refused(HTTPStatus.BAD_REQUEST, "Content-Length is not a number") from None
        if length < 0:
            raise Refused(HTTPStatus.BAD_REQUEST, "Content-Length is negative")
        if length > MAX_BODY_BYTES:
            raise Refused(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "request too large")
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        except (json.JSONDecodeError, UnicodeDecodeError):
            raise Refused(HTTPStatus.BAD_REQUEST, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise Refused(HTTPStatus.BAD_REQUEST, "the body is not a JSON object")
        return body

    def _template(self, relative: str) -> str:
        """The file of one of the templates this preview offers."""
        path = self.server.project.resolve(relative)
        if relative not in self.server.templates:
            raise Refused(HTTPStatus.NOT_FOUND, f"not a template of this preview: {relative}")
        return path

    # ---- answers -------------------------------------------------------------------

    def _send(self, status: HTTPStatus, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Security-Policy", CONTENT_SECURITY_POLICY)
        self.end_headers()
        self.wfile.write(body)

    def _json(self, value: Any, status: HTTPStatus = HTTPStatus.OK) -> None:
        self._send(status, json.dumps(value, ensure_ascii=False).encode(), "application/json; charset=utf-8")

    def _answer(self, work: Any) -> None:
        try:
            work()
        except Refused as refusal:
            self._json({"error": str(refusal)}, refusal.status)
        except PermissionError as refusal:
            self._json({"error": str(refusal)}, HTTPStatus.FORBIDDEN)
        except FileNotFoundError as missing:
            self._json({"error": f"no such template: {missing.filename}"}, HTTPStatus.NOT_FOUND)
        except Exception as fault:  # a fault of the server itself: an answer, not a dropped connection
            self._json({"error": f"internal error: {type(fault).__name__}: {fault}"},
                       HTTPStatus.INTERNAL_SERVER_ERROR)

    def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
        self._answer(self._get)

    def do_POST(self) -> None:  # noqa: N802
        self._answer(self._post)

    def _get(self) -> None:
        self._check_host()
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if url.path in _STATIC:
            name = url.path.rsplit("/", 1)[1]
            self._send(HTTPStatus.OK, resources.files("tessel.preview").joinpath("static", name).read_bytes(),
                       _STATIC[url.path] + "; charset=utf-8")
            return
        if url.path == "/":
            self._check_token(query.get("token", [None])[0])
            page = resources.files("tessel.preview").joinpath("static", "index.html").read_bytes()
            self._send(HTTPStatus.OK, page, "text/html; charset=utf-8")
            return
        self._check_token(self.headers.get(TOKEN_HEADER))
        project = self.server.project
        if url.path == "/api/templates":
            self._json({"templates": self.server.templates, "writable": self.server.writable})
        elif url.path == "/api/template":
            relative = query.get("path", [""])[0]
            path = self._template(relative)
            with open(path, encoding="utf-8", errors="replace") as file:
                text = file.read()
            inputs = project.inputs(path)
            variables, origin = project.initial_variables(path, inputs)
            self._json({"path": relative, "text": text, "mtime": os.stat(path).st_mtime_ns,
                        "variables": variables, "variables_origin": origin, "inputs": inputs or []})
        elif url.path == "/api/stat":
            path = self._template(query.get("path", [""])[0])
            self._json({"mtime": os.stat(path).st_mtime_ns})
        else:
            raise Refused(HTTPStatus.NOT_FOUND, "no such page")

    def _post(self) -> None:
        self._check_host()
        self._check_token(self.headers.get(TOKEN_HEADER))
        self._check_same_origin()
        url = urlsplit(self.path)
        body = self._body()
        relative = str(body.get("path", ""))
        text = body.get("text")
        if text is not None and not isinstance(text, str):
            raise Refused(HTTPStatus.BAD_REQUEST, "text must be a string")
        self._template(relative)
        if url.path == "/api/render":
            form = "yaml" if body.get("format") == "yaml" else "json"
            self._json(render(self.server.project, relative, text, str(body.get("variables", "")), form))
        elif url.path == "/api/save":
            if not self.server.writable:
                raise Refused(HTTPStatus.FORBIDDEN, "saving is off: start quarl preview with --write")
            if text is None:
                raise Refused(HTTPStatus.BAD_REQUEST, "nothing to save")
            path = self._template(relative)
            with self.server.lock:
                write_atomically(path, text.encode("utf-8"))
            self._json({"saved": relative, "mtime": os.stat(path).st_mtime_ns})
        else:
            raise Refused(HTTPStatus.NOT_FOUND, "no such page")
