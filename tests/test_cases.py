"""The shared compile cases of tests/cases/ (format: tests/cases/README.md), run through tessel."""

import json
from pathlib import Path

import pytest

import tessel

CASES = Path(__file__).parent / "cases"


def read_cases(path):
    cases, block, text = [], None, []

    def end_block():
        while text and text[-1] == "\n":  # blank lines end a block: they separate cases
            text.pop()
        if block is not None:
            cases[-1]["modules"][block] = "".join(text)

    for number, line in enumerate(path.read_bytes().decode("utf-8").split("\n")[:-1], 1):
        if line.startswith(("===", "%%")):
            end_block()
            block, text = None, []
        if line.startswith("==="):
            cases.append({"id": f"{path.name}:{number}", "modules": {}, "warnings": [], "notes": [], "vars": {}})
        elif line.startswith("%%"):
            block = line[3:]
        elif block is not None:
            text.append(line + "\n")
        elif line and not line.startswith("#"):
            key, value = line.split(": ", 1)
            case = cases[-1]
            if key.startswith("module "):
                case["modules"][key[7:]] = json.loads(value)
            elif key in ("warning", "note"):
                case[key + "s"].append(value)
            elif key in ("error", "help", "tree", "tokens"):
                case[key] = value
            else:
                case[key] = json.loads(value)
    end_block()
    return cases


# Parse and lexer cases (a `tree` or `tokens` field) need the core's own
# structures: the C++ tests run them.
ALL = [case for path in sorted(CASES.glob("*.txt")) for case in read_cases(path)
       if "tree" not in case and "tokens" not in case]


def error_line(error):
    span = f" {error.span.offset}+{error.span.length}" if error.span else ""
    return f"{error.code}{span} {error.message}"


@pytest.mark.parametrize("case", ALL, ids=[case["id"] for case in ALL])
def test_case(case):
    if "source" in case:
        run = lambda call: call(case["source"], vars=case["vars"])
        calls = (tessel.compile, tessel.check)
    else:
        entry = next(iter(case["modules"]))
        run = lambda call: call(case["modules"], entry, vars=case["vars"])
        calls = (tessel.compile_virtual, tessel.check_virtual)
    if "error" in case:
        for call in calls:
            with pytest.raises(tessel.QuarlError) as info:
                run(call)
            assert error_line(info.value) == case["error"]
            if "help" in case:
                assert (info.value.help or "none") == case["help"]
            if case["notes"]:
                assert info.value.notes == ([] if case["notes"] == ["none"] else case["notes"])
        return
    result, checked = run(calls[0]), run(calls[1])
    if result.kind == "markdown":
        assert result.output == case.get("output")
    else:
        assert [m.to_dict() for m in result.messages] == case.get("messages")
    assert result.warnings == checked.warnings == case["warnings"]
    if "dependencies" in case:
        assert result.dependencies == case["dependencies"]
