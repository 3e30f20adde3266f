"""The preview page timed in the browser (headless Chromium from Debian).

    python bench/preview_bench.py

Opens the typical prompt (3.4 KB) with its variables in the preview page and
changes a variable many times; the page itself measures each change, from
the input event to the updated output on screen (the debounce included).
Then a template with 2.4 MB of output: the same change, the page showing
the first megabyte.
"""

from __future__ import annotations

import json
import shutil
import tempfile
import threading
from pathlib import Path

from python_bench import typical_vars
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

from tessel.preview.render import Project
from tessel.preview.server import PreviewServer

HERE = Path(__file__).resolve().parent
CHANGES = 25
CHANGE = """
const vars = document.getElementById("vars");
const value = JSON.parse(vars.value);
value.customer.name = "Name " + arguments[0];
vars.value = JSON.stringify(value);
vars.dispatchEvent(new Event("input"));
"""


def latencies(driver: webdriver.Chrome, changes: int, expected: str) -> list[float]:
    out = []
    for number in range(changes):
        renders = int(driver.execute_script("return Number(document.body.dataset.renders || 0)"))
        driver.execute_script(CHANGE, number)
        WebDriverWait(driver, 60).until(
            lambda d: int(d.execute_script("return Number(document.body.dataset.renders || 0)")) > renders)
        assert expected.format(number) in driver.find_element("id", "rendered").get_attribute("textContent")
        out.append(float(driver.execute_script("return Number(document.body.dataset.latency)")))
    return sorted(out)


def main() -> None:
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or ""
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=shutil.which("chromedriver")), options=options)
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        (root / ".quarlroot").touch()
        (root / "prompt.quarl").write_text((HERE / "data" / "typical_prompt.quarl").read_text())
        (root / "vars.json").write_text(json.dumps(typical_vars()))
        lines = "@for line in lines:\n{{ customer.name }} {{ line }}\n@end\n"
        (root / "huge.quarl").write_text(lines)
        big = {"customer": {"name": "x"}, "lines": ["y" * 50] * 40000}
        (root / "big.json").write_text(json.dumps(big))
        (root / "quarl.toml").write_text('vars = { "prompt.quarl" = "vars.json", "huge.quarl" = "big.json" }\n')
        for template, expected, label in (("prompt.quarl", "Name {}", "3.4 KB prompt"),
                                          ("huge.quarl", "Name {} ", "2.4 MB of output (1 MB shown)")):
            server = PreviewServer(Project(str(root)), [template], 0, False)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            driver.get(server.url)
            WebDriverWait(driver, 60).until(
                lambda d: int(d.execute_script("return Number(document.body.dataset.renders || 0)")) > 0)
            found = latencies(driver, CHANGES if template == "prompt.quarl" else 5, expected)
            print(f"preview, change to output on screen, {label}: best {found[0]:.1f} ms, "
                  f"median {found[len(found) // 2]:.1f} ms")
            server.shutdown()
            server.server_close()
    driver.quit()


if __name__ == "__main__":
    main()
