"""The bundled examples compile as the README shows them."""

import doctest
import runpy
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_demo_runs(capsys):
    runpy.run_path(str(EXAMPLES / "demo.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "- Never promise a delivery date the order system has not confirmed.\n" in out
    assert "The customer is **Ada Lovelace**, a member since 2019.\n" in out
    assert "[assistant]\nYes, in ten steps.\n[user]\nCan it charge my phone?\n" in out
    assert "- USB-C charging for phones\n\n## Known issues\n\nThe base light flickers" in out
    assert "it imports: helpers.quarl\n" in out
    assert "Hello WORLD!\n" in out
    assert "quarl::undefined_var: undefined variable 'nmae'\n  at line 1, column 9\n" in out


def test_readme_session(monkeypatch):
    root = EXAMPLES.parent
    monkeypatch.chdir(root)
    failures, tried = doctest.testfile(str(root / "README.md"), module_relative=False,
                                       optionflags=doctest.ELLIPSIS)
    assert tried > 10 and failures == 0
