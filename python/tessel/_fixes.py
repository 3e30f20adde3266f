"""What `quarl lint --fix` writes: the findings' fix edits, each finding's
edits applied together or not at all, and only those that leave a template
that still passes the check it passed before (with the same variables)."""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

import tessel
from tessel import QuarlError

# Edits of one finding: (start, end, replacement) in bytes of the file.
Edits = list[tuple[int, int, bytes]]


class Unfixed(NamedTuple):
    """A finding whose fix was not written, and why."""
    finding: tessel.LintDiagnostic
    reason: str


class Fixed(NamedTuple):
    text: bytes  # the file's new text (the old one when nothing was fixed)
    fixed: int  # how many findings were fixed
    unfixed: list[Unfixed]


def _applied(data: bytes, chosen: list[Edits]) -> bytes:
    edits = sorted(edit for edits in chosen for edit in edits)
    for start, end, new_text in reversed(edits):
        data = data[:start] + new_text + data[end:]
    return data


def choose_fixes(data: bytes, result: tessel.LintResult, check: Callable[[str], None]) -> Fixed:
    """The fixes of `result` for the file whose bytes are `data`. A finding
    whose edits overlap an earlier finding's waits for the next run. `check`
    raises QuarlError when a text would fail the check gate: the fixes are
    tried all at once, and when that fails, one by one in document order,
    each kept only when the template still passes with it."""
    chosen: list[tuple[tessel.LintDiagnostic, Edits]] = []
    taken_until = 0
    findings = [found for report in result.files for found in report.diagnostics if found.fix_edits]
    for found in sorted(findings, key=lambda f: min(edit["start"] for edit in f.fix_edits or [])):
        edits = sorted((edit["start"], edit["end"], edit["new_text"].encode()) for edit in found.fix_edits or [])
        if edits[0][0] >= taken_until and edits[-1][1] <= len(data):
            chosen.append((found, edits))
            taken_until = edits[-1][1]
    if not chosen:
        return Fixed(data, 0, [])

    def failure(kept: list[Edits]) -> str | None:
        try:
            check(_applied(data, kept).decode("utf-8"))
        except QuarlError as error:
            return str(error)
        except UnicodeDecodeError as error:
            return f"the fixed text would not be UTF-8 ({error.reason})"
        return None

    if failure([edits for _, edits in chosen]) is None:
        return Fixed(_applied(data, [edits for _, edits in chosen]), len(chosen), [])
    kept: list[Edits] = []
    unfixed = []
    for found, edits in chosen:
        reason = failure([*kept, edits])
        if reason is None:
            kept.append(edits)
        else:
            unfixed.append(Unfixed(found, f"the fixed template would fail its check: {reason}"))
    return Fixed(_applied(data, kept), len(kept), unfixed)
