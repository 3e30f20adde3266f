"""`quarl lsp` timed over a pipe, as an editor talks to it.

    python bench/lsp_bench.py

Starts the server as an editor would (`python -m tessel lsp`, stdio) and
times, best of several runs:
- diagnostics after a change to the typical prompt (3.4 KB): from the change
  leaving the client to the diagnostics arriving, less the debounce;
- completion and hover in that prompt;
- references across a project of 500 templates, on a server that has not
  indexed any of them yet;
- diagnostics of a 1 MB template after it is opened.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from tessel.lsp.server import DEBOUNCE_SECONDS

HERE = Path(__file__).resolve().parent
RUNS = 7


class Client:
    """A JSON-RPC client over the server's standard input and output."""

    def __init__(self, root: Path) -> None:
        self.process = subprocess.Popen([sys.executable, "-m", "tessel", "lsp"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
        self.next_id = 0
        self.request("initialize", {"capabilities": {}, "rootUri": root.as_uri()})
        self.notify("initialized", {})

    def send(self, message: dict[str, Any]) -> None:
        body = json.dumps({"jsonrpc": "2.0", **message}).encode()
        assert self.process.stdin is not None
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.process.stdin.flush()

    def receive(self) -> dict[str, Any]:
        assert self.process.stdout is not None
        length = 0
        while (line := self.process.stdout.readline().strip()):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        result: dict[str, Any] = json.loads(self.process.stdout.read(length))
        return result

    def notify(self, method: str, params: dict[str, Any]) -> None:
        self.send({"method": method, "params": params})

    def request(self, method: str, params: dict[str, Any]) -> Any:
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, "params": params})
        while True:
            message = self.receive()
            if message.get("id") == self.next_id:
                return message.get("result")

    def diagnostics(self, uri: str) -> list[Any]:
        while True:
            message = self.receive()
            if message.get("method") == "textDocument/publishDiagnostics" and message["params"]["uri"] == uri:
                return list(message["params"]["diagnostics"])

    def close(self) -> None:
        self.request("shutdown", {})
        self.notify("exit", {})
        self.process.wait(timeout=30)


def best(samples: list[float]) -> str:
    return f"{min(samples) * 1000:7.2f} ms (median {sorted(samples)[len(samples) // 2] * 1000:.2f})"


def main() -> None:
    prompt = (HERE / "data" / "typical_prompt.quarl").read_text()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        (root / "prompt.quarl").write_text(prompt)
        client = Client(root)
        uri = (root / "prompt.quarl").as_uri()
        client.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "quarl", "version": 1,
                                                                "text": prompt}})
        client.diagnostics(uri)
        changes, completions, hovers = [], [], []
        line = prompt.count("\n")
        for version in range(2, 2 + RUNS):
            started = time.perf_counter()
            client.notify("textDocument/didChange", {
                "textDocument": {"uri": uri, "version": version},
                "contentChanges": [{"text": prompt + "{{ upper(customer.name) }}" * (version % 2)}]})
            client.diagnostics(uri)
            changes.append(time.perf_counter() - started - DEBOUNCE_SECONDS)
            started = time.perf_counter()
            client.request("textDocument/completion", {"textDocument": {"uri": uri},
                                                       "position": {"line": line, "character": 3}})
            completions.append(time.perf_counter() - started)
            started = time.perf_counter()
            client.request("textDocument/hover", {"textDocument": {"uri": uri},
                                                  "position": {"line": line, "character": 5}})
            hovers.append(time.perf_counter() - started)
        print(f"diagnostics after a change, 3.4 KB prompt: {best(changes)}")
        print(f"completion in it:                         {best(completions)}")
        print(f"hover in it:                              {best(hovers)}")

        huge = "---\nname: x\n---\n" + "Hello {{ name }} and {{ upper(name) }}, see [the docs](./d.md).\n" * 16000
        opened = []
        for version in range(RUNS):
            big = (root / f"big{version}.quarl").as_uri()
            started = time.perf_counter()
            client.notify("textDocument/didOpen", {"textDocument": {"uri": big, "languageId": "quarl",
                                                                    "version": 1, "text": huge}})
            client.diagnostics(big)
            opened.append(time.perf_counter() - started)
        print(f"diagnostics of a {len(huge.encode()) // 1024} KB template on open: {best(opened)}")
        client.close()

    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        (root / "lib.quarl").write_text("@define shout(text):\n{{ upper(text) }}!\n@end\n@export shout\n")
        for number in range(500):
            (root / f"t{number:03}.quarl").write_text(
                f'@import {{ shout }} from "./lib.quarl"\n# Prompt {number}\n{{{{ shout(name) }}}}\n' + prompt[:2000])
        client = Client(root)
        uri = (root / "lib.quarl").as_uri()
        client.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "quarl", "version": 1,
                                                                "text": (root / "lib.quarl").read_text()}})
        client.diagnostics(uri)
        started = time.perf_counter()
        found = client.request("textDocument/references", {"textDocument": {"uri": uri},
                                                           "position": {"line": 0, "character": 9},
                                                           "context": {"includeDeclaration": True}})
        elapsed = time.perf_counter() - started
        print(f"references over 500 templates, first time: {elapsed * 1000:7.2f} ms ({len(found)} found)")
        client.close()


if __name__ == "__main__":
    main()
