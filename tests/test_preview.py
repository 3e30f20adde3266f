"""`quarl preview` in a real browser: Debian's Chromium, headless, driven by
selenium through the system chromedriver, against a preview server on a
project on disk. A screenshot of each page state is saved in the test's
temporary folder."""

from __future__ import annotations

import http.client
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

import tessel

pytest.importorskip("cmarkgfm", reason="quarl preview needs tessel[preview]")
from tessel.preview.render import Project  # noqa: E402
from tessel.preview.server import PreviewServer  # noqa: E402

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")
needs_browser = pytest.mark.skipif(CHROMIUM is None or CHROMEDRIVER is None,
                                   reason="needs chromium and chromium-driver (scripts/setup.sh installs them)")

TEMPLATES = {
    "hello.quarl": "---\ntitle: Greeting\n---\n# {{ title }}\n\nHello {{ name }}!\n\n@for item in items:\n- {{ item }}\n@end\n",
    "chat.quarl": "---\nunused: 1\n---\n@message system:\nBe brief.\n@end\n@message user:\n{{ question }}\n@end\n",
    "broken.quarl": "Hi {{ nope(1) }}\n",
    "lib/faulty.quarl": "@define f():\n{{ missing }}\n@end\n@export f\n",
    "uses_faulty.quarl": '@import "./lib/faulty.quarl" as lib\n{{ lib.f() }}\n',
    "hostile.quarl": ('{{ payload }}\n\n<script>window.pwned = "script"</script>\n\n<img src="x" '
                      'onerror="window.pwned = \'img\'">\n\n[click](javascript:window.pwned=1)\n'),
}
VARS = {"hello.quarl": {"name": "Ada", "items": ["one", "two"]}, "chat.quarl": {"question": "Why?"},
        "hostile.quarl": {"payload": "<script>window.pwned = 'var'</script><svg onload=\"window.pwned=2\">"}}


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    root.mkdir()
    (root / ".quarlroot").touch()
    vars_dir = root / "vars"
    vars_dir.mkdir()
    (root / "lib").mkdir()
    for name, text in TEMPLATES.items():
        (root / name).write_text(text)
        if name in VARS:
            (vars_dir / f"{name}.json").write_text(json.dumps(VARS[name]))
    (root / "quarl.toml").write_text("vars = {" + ", ".join(f'"{n}" = "vars/{n}.json"' for n in VARS) + "}\n")
    return root


def serve(root: Path, writable: bool = False) -> PreviewServer:
    server = PreviewServer(Project(str(root)), sorted(TEMPLATES), 0, writable)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


@pytest.fixture
def server(project: Path) -> Iterator[PreviewServer]:
    running = serve(project, writable=True)
    yield running
    running.shutdown()
    running.server_close()


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM or ""
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,900"):
        options.add_argument(flag)
    # The browser is the client, not what is tested: under the sanitizers
    # (make asan) it is started without their preloaded runtimes.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


def until(driver: Any, condition: Any, timeout: float = 10) -> Any:
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout).until(lambda d: condition(d))


def opened(browser: Any, server: PreviewServer, template: str, shots: Path, name: str) -> None:
    from selenium.webdriver.support.ui import Select

    renders = browser.execute_script("return Number(document.body && document.body.dataset.renders || 0)") \
        if browser.current_url.startswith(server.url.split("?")[0]) else -1
    if renders == -1:
        browser.get(server.url)
        until(browser, lambda d: d.execute_script("return Number(document.body.dataset.renders || 0)") > 0)
        renders = browser.execute_script("return Number(document.body.dataset.renders)")
    if template != "broken.quarl":  # the first of the list is opened with the page
        Select(browser.find_element("id", "template")).select_by_value(template)
        until(browser, lambda d: d.execute_script("return Number(document.body.dataset.renders)") > renders)
    browser.save_screenshot(str(shots / f"{name}.png"))


def text_of(browser: Any, element_id: str) -> str:
    return str(browser.find_element("id", element_id).text)


@needs_browser
def test_changing_a_variable_changes_the_output(browser: Any, server: PreviewServer, tmp_path: Path) -> None:
    opened(browser, server, "hello.quarl", tmp_path, "hello")
    assert "Hello Ada!" in text_of(browser, "rendered") and "Greeting" in text_of(browser, "rendered")
    assert "title:" not in text_of(browser, "rendered")  # the frontmatter is not what a model sees
    variables = browser.find_element("id", "vars")
    variables.clear()
    variables.send_keys('{"name": "Grace", "items": ["x"]}')
    until(browser, lambda d: "Hello Grace!" in text_of(d, "rendered"))
    browser.save_screenshot(str(tmp_path / "hello-grace.png"))
    variables.send_keys(" trailing")
    until(browser, lambda d: d.find_element("id", "vars-error").is_displayed())
    assert "not valid JSON" in text_of(browser, "vars-error")
    browser.save_screenshot(str(tmp_path / "hello-bad-vars.png"))
    from selenium.webdriver.support.ui import Select

    Select(browser.find_element("id", "format")).select_by_value("yaml")
    variables.clear()
    variables.send_keys("name: Yaml\nitems: [a]\n")
    until(browser, lambda d: "Hello Yaml!" in text_of(d, "rendered"))
    Select(browser.find_element("id", "format")).select_by_value("json")


@needs_browser
def test_messages_are_bubbles_with_their_role_and_size(browser: Any, server: PreviewServer, tmp_path: Path) -> None:
    opened(browser, server, "chat.quarl", tmp_path, "chat")
    bubbles = browser.find_elements("css selector", "#messages .message")
    assert [b.get_attribute("data-role") for b in bubbles] == ["system", "user"]
    assert "user · 4 characters, 4 bytes" in bubbles[1].text and "Why?" in bubbles[1].text
    assert "[unused-variable] line 2" in text_of(browser, "lint") and not text_of(browser, "warnings")


@needs_browser
def test_the_variables_form_has_a_field_per_input_and_groups_for_lists(browser: Any, server: PreviewServer,
                                                                       tmp_path: Path) -> None:
    opened(browser, server, "hello.quarl", tmp_path, "form")
    browser.find_element("id", "form-toggle").click()
    fields = browser.find_elements("css selector", "#form input[type=text]")
    assert len(fields) == 3  # name, and one per item of the list
    fields[0].clear()
    fields[0].send_keys("Form")
    until(browser, lambda d: "Hello Form!" in text_of(d, "rendered"))
    add = next(b for b in browser.find_elements("css selector", "#form button") if b.text == "Add")
    add.click()
    browser.find_elements("css selector", "#form input[type=text]")[-1].send_keys("three")
    until(browser, lambda d: "three" in text_of(d, "rendered"))
    browser.save_screenshot(str(tmp_path / "form.png"))
    assert json.loads(browser.find_element("id", "vars").get_attribute("value"))["items"] == ["one", "two", "three"]
    browser.find_element("id", "form-toggle").click()


@needs_browser
@pytest.mark.parametrize(("template", "expected"), [
    ("broken.quarl", ["broken.quarl:1:7: error[quarl::undefined_fn]", "1 | Hi {{ nope(1) }}", "^^^^"]),
    ("uses_faulty.quarl", ["lib/faulty.quarl:2:4: error[quarl::undefined_var]", "2 | {{ missing }}", "^^^^^^^"]),
])
def test_an_error_shows_its_module_code_and_caret_line(browser: Any, server: PreviewServer, tmp_path: Path,
                                                       template: str, expected: list[str]) -> None:
    opened(browser, server, template, tmp_path, template)
    shown = text_of(browser, "error-text")
    assert all(part in shown for part in expected), shown


@needs_browser
def test_output_and_template_lines_point_at_each_other(browser: Any, server: PreviewServer, project: Path,
                                                       tmp_path: Path) -> None:
    import sourcemap

    opened(browser, server, "hello.quarl", tmp_path, "hello-source")
    compiled = tessel.compile_file(project / "hello.quarl", vars=VARS["hello.quarl"], source_map=True,
                                   frontmatter="drop")
    index = sourcemap.loads(json.dumps(compiled.source_map))
    for item in browser.find_elements("css selector", "#rendered li[data-sourcepos]"):
        item.click()
        output_line = int(item.get_attribute("data-sourcepos").split(":")[0]) - 1
        expected = index.lookup(output_line, 0).src_line
        picked = browser.find_elements("css selector", "#source .line.picked")
        assert [p.get_attribute("data-line") for p in picked] == [str(expected)]
    browser.save_screenshot(str(tmp_path / "hello-picked.png"))
    from selenium.webdriver.common.action_chains import ActionChains

    template_line = browser.find_element("css selector", '#source .line[data-line="8"]')  # "- {{ item }}"
    ActionChains(browser).move_to_element(template_line).perform()
    lit = browser.find_elements("css selector", "#rendered .lit")
    assert [node.text for node in lit] == ["one", "two"]


@needs_browser
def test_a_file_saved_on_disk_renders_again(browser: Any, server: PreviewServer, project: Path,
                                            tmp_path: Path) -> None:
    opened(browser, server, "hello.quarl", tmp_path, "before-save")
    (project / "hello.quarl").write_text(TEMPLATES["hello.quarl"].replace("Hello", "Goodbye"))
    until(browser, lambda d: "Goodbye Ada!" in text_of(d, "rendered"))
    browser.save_screenshot(str(tmp_path / "after-save.png"))


@needs_browser
def test_a_scratch_copy_renders_and_saves_only_when_asked(browser: Any, server: PreviewServer, project: Path,
                                                          tmp_path: Path) -> None:
    opened(browser, server, "hello.quarl", tmp_path, "scratch")
    browser.find_element("id", "scratch").click()
    editor = browser.find_element("id", "editor")
    editor.send_keys("Scratch line {{ name }}.\n")
    until(browser, lambda d: "Scratch line Ada." in text_of(d, "rendered"))
    assert (project / "hello.quarl").read_text() == TEMPLATES["hello.quarl"]
    browser.find_element("id", "save").click()
    until(browser, lambda d: "Scratch line" in (project / "hello.quarl").read_text())
    browser.find_element("id", "scratch").click()


@needs_browser
def test_hostile_output_runs_nothing(browser: Any, server: PreviewServer, tmp_path: Path) -> None:
    opened(browser, server, "hostile.quarl", tmp_path, "hostile")
    for link in browser.find_elements("css selector", "#rendered a"):
        link.click()
    time.sleep(0.3)
    assert browser.execute_script("return window.pwned === undefined")
    assert not browser.find_elements("css selector", "#rendered script, #rendered img, #rendered svg, "
                                                     "#rendered a[href^='javascript']")
    browser.find_element("id", "view-raw").click()
    assert "<script>window.pwned" in text_of(browser, "raw")  # the raw view shows it, as text
    browser.find_element("id", "view-rendered").click()


@needs_browser
def test_a_huge_output_is_shown_truncated(browser: Any, project: Path, tmp_path: Path) -> None:
    (project / "huge.quarl").write_text("@for line in lines:\n{{ line }}\n@end\n")
    server = PreviewServer(Project(str(project)), ["huge.quarl"], 0, False)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        browser.get(server.url)
        until(browser, lambda d: d.execute_script("return Number(document.body.dataset.renders || 0)") > 0)
        browser.find_element("id", "vars").clear()
        browser.execute_script('document.getElementById("vars").value = JSON.stringify({lines: Array(40000)'
                               '.fill("x".repeat(60))}); document.getElementById("vars").dispatchEvent('
                               'new Event("input"))')
        until(browser, lambda d: d.find_element("id", "truncated").is_displayed(), timeout=30)
        assert "Showing the first 1048576 bytes of 2440000" in text_of(browser, "truncated")
        browser.save_screenshot(str(tmp_path / "huge.png"))
    finally:
        server.shutdown()
        server.server_close()


def request(server: PreviewServer, method: str, path: str, *, host: str | None = None, token: bool = True,
            body: dict[str, Any] | None = None, headers: dict[str, str] | None = None) -> tuple[int, dict[str, Any]]:
    connection = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=10)
    sent = {"Host": host or f"127.0.0.1:{server.server_port}", **(headers or {})}
    if token:
        sent["X-Quarl-Token"] = server.token
    data = None
    if body is not None:
        data = json.dumps(body).encode()
        sent.setdefault("Content-Type", "application/json")
    connection.request(method, path, body=data, headers=sent)
    reply = connection.getresponse()
    answer = json.loads(reply.read() or b"{}")
    connection.close()
    return reply.status, answer


REFUSED = [  # method, path, changes to the request, status
    ("GET", "/api/templates", {"host": "attacker.example:80"}, 403),
    ("GET", "/api/templates", {"token": False}, 403),
    ("GET", "/?token=wrong", {"token": False}, 403),
    ("GET", "/api/template?path=../secret.quarl", {}, 403),
    ("GET", "/api/template?path=/etc/passwd", {}, 403),
    ("GET", "/api/template?path=link.quarl", {}, 403),
    ("GET", "/api/template?path=quarl.toml", {}, 404),
    ("POST", "/api/render", {"body": {"path": "hello.quarl"}, "headers": {"Origin": "http://attacker.example"}}, 403),
    ("POST", "/api/render", {"body": {"path": "hello.quarl"}, "headers": {"Content-Type": "text/plain"}}, 415),
    ("POST", "/api/save", {"body": {"path": "hello.quarl", "text": "x"}}, 403),
    ("POST", "/api/render", {"body": {"path": "hello.quarl"}, "headers": {"Content-Length": "many"}}, 400),
    ("GET", "/api/nothing", {}, 404),
]


@pytest.mark.parametrize(("method", "path", "changes", "status"), REFUSED)
def test_requests_the_server_refuses(project: Path, method: str, path: str, changes: dict[str, Any],
                                     status: int) -> None:
    (project.parent / "secret.quarl").write_text("secret")
    (project / "link.quarl").symlink_to(project.parent / "secret.quarl")
    server = serve(project, writable=False)
    try:
        got, answer = request(server, method, path, **changes)
        assert (got, "error" in answer) == (status, True), answer
        assert (project / "hello.quarl").read_text() == TEMPLATES["hello.quarl"]
    finally:
        server.shutdown()
        server.server_close()


def test_the_command_line_prints_the_url_and_serves_the_page(project: Path) -> None:
    process = subprocess.Popen([sys.executable, "-m", "tessel", "preview", "hello.quarl", "chat.quarl"],
                               cwd=project, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline() if process.stdout else ""
        assert line.startswith("quarl preview: http://127.0.0.1:"), line + (process.stderr.read() if process.stderr else "")
        url = line.split(": ", 1)[1].strip()
        port = int(url.split(":")[2].split("/")[0])
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", url.split(str(port), 1)[1])
        reply = connection.getresponse()
        assert reply.status == 200 and "script-src 'self'" in (reply.getheader("Content-Security-Policy") or "")
        assert b'<script src="/static/app.js" defer>' in reply.read()
    finally:
        process.terminate()
        process.wait(timeout=10)


def test_preview_without_its_extra_says_what_to_install(tmp_path: Path) -> None:
    (tmp_path / "cmarkgfm").mkdir()
    (tmp_path / "cmarkgfm" / "__init__.py").write_text("raise ImportError('blocked')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *sys.path]))
    done = subprocess.run([sys.executable, "-m", "tessel", "preview"], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=60)
    assert done.returncode == 2 and "pip install 'tessel[preview]'" in done.stderr
