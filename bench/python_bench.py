"""Time per call of tessel.compile from Python.

    python bench/python_bench.py [TEMPLATE]

Times a one-line template and TEMPLATE (default: the typical prompt of the
compile benchmark, with the same variables), best of several runs. The
one-line case is almost all binding work: argument reading, conversion of
the variables, the result object. First, what `import tessel` costs a fresh
interpreter (and what the `quarl` command line's own imports add).
"""

import subprocess
import sys
import time
import timeit
from pathlib import Path

import tessel

HERE = Path(__file__).resolve().parent


def typical_vars():
    return {
        "customer": {"name": "Dana", "plan": "Business", "region": "EU", "vip": True},
        "tickets": [
            {"title": f"Ticket number {i}", "owner": "Ann" if i % 2 else "Bo",
             "priority": "high" if i % 7 == 0 else "normal", "done": i % 3 == 0, "hours": i % 24}
            for i in range(100)
        ],
        "rules": ["Be accurate.", "Be brief.", "Cite the documentation.",
                  "Escalate when unsure.", "Protect customer data."],
        "examples": [{"question": f"How do I reset item {i}?", "answer": "Open Settings, then Reset."}
                     for i in range(3)],
    }


def per_call(function, calls):
    best = min(timeit.repeat(function, number=calls, repeat=15))
    return best / calls * 1e6


def import_ms(statement):
    """The best wall time of a fresh interpreter running `statement`, less
    that of one running nothing, in milliseconds."""
    def best(code):
        times = []
        for _ in range(15):
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", code], check=True)
            times.append(time.perf_counter() - start)
        return min(times)
    return (best(statement) - best("pass")) * 1e3


# About 1 MB of template: a loop with a field and a builtin call, repeated.
LARGE = "@for t in ts:\n{{ t.a }} {{ upper(name) }}\n@end\n" * 22000


def main():
    print(f"{'import tessel':<40} {import_ms('import tessel'):9.2f} ms")
    print(f"{'import tessel.cli':<40} {import_ms('import tessel.cli'):9.2f} ms")
    template = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "data" / "typical_prompt.quarl"
    source = template.read_text(encoding="utf-8")
    variables = typical_vars()
    loaded = tessel.Template(source)
    project_entry = HERE / "data" / "project" / "support.quarl"
    project = tessel.Template.from_file(project_entry)
    rows = [
        ("one line, no variables", lambda: tessel.compile("Hello world"), 20000),
        ("one line, one variable", lambda: tessel.compile("Hello {{ who }}", vars={"who": "you"}), 20000),
        ("one line, the typical variables", lambda: tessel.compile("Hello {{ customer.name }}", vars=variables), 5000),
        (f"{template.name}", lambda: tessel.compile(source, vars=variables), 500),
        (f"{template.name}, a Template loaded once", lambda: loaded.compile(variables), 500),
        ("Template(...) of the same, then compile", lambda: tessel.Template(source).compile(variables), 500),
        ("compile_file() of the project", lambda: tessel.compile_file(project_entry, vars=variables), 500),
        ("the project, a Template loaded once", lambda: project.compile(variables), 500),
        (f"{template.name} + to_json()", lambda: tessel.compile(source, vars=variables).to_json(), 500),
        (f"{template.name} with a source map", lambda: tessel.compile(source, vars=variables, source_map=True), 500),
        ("check() of the same", lambda: tessel.check(source, vars=variables), 500),
        ("lint() of the same", lambda: tessel.lint(source, vars=variables), 500),
        ("index() of the same", lambda: tessel.index(source), 500),
        ("index() of 1 MB (loops, calls, fields)", lambda: tessel.index(LARGE), 2),
    ]
    for name, function, calls in rows:
        print(f"{name:<40} {per_call(function, calls):9.2f} us/call")


if __name__ == "__main__":
    main()
