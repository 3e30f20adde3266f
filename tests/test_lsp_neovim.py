"""`quarl lsp` driven by a real editor: Neovim, headless, with its built-in
LSP client started on a template; the diagnostics and a definition it got
are read back from what the editor itself holds."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = """
local client = vim.lsp.start_client({
  name = "quarl", cmd = {vim.env.QUARL_PYTHON, "-m", "tessel", "lsp"}, root_dir = vim.fn.getcwd(),
})
vim.cmd("edit main.quarl")
vim.lsp.buf_attach_client(0, client)
local ok = vim.wait(30000, function() return #vim.diagnostic.get(0) > 0 end, 50)
local found = {}
for _, d in ipairs(vim.diagnostic.get(0)) do
  local lsp = d.user_data and d.user_data.lsp or {}
  table.insert(found, {line = d.lnum, col = d.col, code = d.code or lsp.code, message = d.message})
end
local replies = vim.lsp.buf_request_sync(0, "textDocument/definition",
  {textDocument = {uri = vim.uri_from_bufnr(0)}, position = {line = 4, character = 3}}, 10000)
local target = vim.NIL
for _, reply in pairs(replies or {}) do
  if reply.result and reply.result[1] then
    target = {vim.uri_to_fname(reply.result[1].uri), reply.result[1].range.start.line}
  end
end
vim.fn.writefile({vim.fn.json_encode({ok = ok, diagnostics = found, definition = target})}, vim.env.QUARL_OUT)
vim.lsp.stop_client(client)
vim.cmd("qall!")
"""


@pytest.mark.skipif(shutil.which("nvim") is None, reason="needs Neovim (scripts/setup.sh installs it)")
def test_neovim_gets_diagnostics_and_a_definition_in_another_file(tmp_path: Path) -> None:
    (tmp_path / "lib.quarl").write_text("@define f(x):\n{{ x }}\n@end\n@export f\n")
    (tmp_path / "main.quarl").write_text('@import { f } from "./lib.quarl"\n{{ nope(1) }}\n\n\n{{ f(1) }}\n')
    (tmp_path / "run.lua").write_text(SCRIPT)
    env = dict(os.environ, QUARL_PYTHON=sys.executable, QUARL_OUT=str(tmp_path / "out.json"),
               PYTHONPATH=os.pathsep.join(sys.path))
    subprocess.run(["nvim", "--headless", "--clean", "-u", "NONE", "-c", "luafile run.lua"], cwd=tmp_path,
                   env=env, timeout=120, check=True, capture_output=True)
    seen = json.loads((tmp_path / "out.json").read_text())
    assert seen["ok"] is True
    assert seen["diagnostics"] == [{"line": 1, "col": 3, "code": "quarl::undefined_fn",
                                    "message": "undefined function 'nope'"}]
    assert seen["definition"] == [str((tmp_path / "lib.quarl").resolve()), 0]
