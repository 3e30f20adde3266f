"""tessel beside the template engines Python users pick today, in one process.

    python bench/peers_bench.py [--quick]

Each case renders the same document written in each engine's own syntax:
tessel compiles from source on every call; the peers are timed compiling and
rendering ("compile+render") and rendering a template compiled once
("cached"); plain Python (f-strings and joins) is the floor. Times are the
median of several runs, in microseconds per call; the ratios at the end are
the ones the project's targets are stated in. "tessel, loaded once" renders a
`tessel.Template` made before the timing: the counterpart of the peers'
cached renders. Last, a file-based project (an `@extends` chain with two
imports) through `compile_file` and through `Template.from_file`. Jinja2 and MiniJinja come from
bench/requirements.txt (make bench installs them).
"""

import statistics
from importlib import metadata
import sys
import threading
import time
from pathlib import Path

import jinja2
import minijinja

import tessel

sys.path.insert(0, str(Path(__file__).resolve().parent))
import prompt_floor  # noqa: E402
from python_bench import typical_vars as prompt_vars  # noqa: E402

HERE = Path(__file__).resolve().parent
PROMPTS = HERE.parent.parent / "shared" / "data" / "prompts"
QUICK = "--quick" in sys.argv


def batch_size(function, budget):
    """How many calls of `function` take about budget / 5 seconds."""
    function()
    calls, start = 1, time.perf_counter()
    while time.perf_counter() - start < 0.02:
        function()
        calls += 1
    return max(1, int(calls * budget / 5 / 0.02 / (3 if QUICK else 1)))


def per_calls(functions, budgets=None):
    """Median microseconds per call of each function over five rounds; each
    round times a batch of every function in turn, so that a burst of load
    on a shared machine falls on all of them rather than on one."""
    budgets = budgets or {}
    calls = {name: batch_size(function, budgets.get(name, 0.4)) for name, function in functions.items()}
    runs = {name: [] for name in functions}
    for _ in range(5):
        for name, function in functions.items():
            start = time.perf_counter()
            for _ in range(calls[name]):
                function()
            runs[name].append((time.perf_counter() - start) / calls[name] * 1e6)
    return {name: statistics.median(times) for name, times in runs.items()}


def per_call(function):
    """Median microseconds per call of one function."""
    return per_calls({"f": function})["f"]


# ---- the prompt: 3.4 KB of text, a customer, 100 tickets, rules, examples ----

PROMPT_QUARL = (HERE / "data" / "typical_prompt.quarl").read_text(encoding="utf-8")
PROMPT_JINJA = (HERE / "data" / "typical_prompt.jinja").read_text(encoding="utf-8")
PROJECT_ENTRY = HERE / "data" / "project" / "support.quarl"


# ---- messages: 20 turns of about 200 bytes ----

MESSAGES_QUARL = "@for turn in turns:\n@message {{ turn.role }}:\n{{ turn.content }}\n@end\n@end\n"
MESSAGES_JINJA = "{% for turn in turns %}<|{{ turn.role }}|>\n{{ turn.content }}\n{% endfor %}"


def messages_vars(turns=20):
    sentence = "Could you tell me how the order system confirms a delivery date, and what happens next? "
    return {"turns": [{"role": "user" if i % 2 == 0 else "assistant", "content": (sentence * 3)[:200]}
                      for i in range(turns)]}


def messages_python(v):
    return [{"role": t["role"], "content": t["content"].strip()} for t in v["turns"]]


# ---- an inline loop: 100 orders of 4 fields, an @if/@else per order, no call ----

ORDERS_QUARL = (HERE / "data" / "orders_prompt.quarl").read_text(encoding="utf-8")
ORDERS_JINJA = (HERE / "data" / "orders_prompt.jinja").read_text(encoding="utf-8")


def orders_vars():
    names = ["Ada Lovelace", "Grace Hopper and Partners Ltd", "Edsger Dijkstra", "Barbara Liskov Consulting"]
    items = ["USB-C charging cable, 2 m", "Desk lamp", "Replacement battery pack for the Orbit 2 lamp",
             "Power adapter (EU plug)"]
    return {"shop": "Orbit Lighting", "limit": 40,
            "orders": [{"number": 1000 + i, "customer": names[i % 4], "item": items[(i * 3) % 4],
                        "paid": i % 5 != 0} for i in range(100)]}


def orders_python(v):
    shop = v["shop"]
    lines = "".join(
        f"- #{o['number']} {o['customer']}: {o['item']} (paid)\n" if o["paid"]
        else f"- #{o['number']} {o['customer']}: {o['item']} (**not paid**: ask {o['customer']})\n"
        for o in v["orders"])
    return (f"# Order review for {shop}\n\n"
            f"You review the day's orders for {shop} before they are shipped. Read the\n"
            "list below from top to bottom. For every order that is not paid, write one\n"
            "line saying what is missing and whom to ask; for every paid order, confirm it\n"
            f"in a single word. Keep the whole answer under {v['limit']} lines, and never\n"
            "invent an order that is not on the list.\n\n## Orders\n\n"
            f"{lines}\n## How to answer\n\n"
            "Start with the orders that are not paid, in the order they appear. Then list\n"
            "the paid ones by number only. End with one sentence that says how many orders\n"
            "can ship today.\n")


# ---- a chat of 40 turns after a system message ----

CHAT_QUARL = ("@message system:\nYou are a concise assistant for {{ shop }}. Answer in {{ language }}.\n@end\n"
              "@for turn in turns:\n@message {{ turn.role }}:\n{{ turn.content }}\n@end\n@end\n")
CHAT_JINJA = ("<|system|>\nYou are a concise assistant for {{ shop }}. Answer in {{ language }}.\n"
              "{% for turn in turns %}<|{{ turn.role }}|>\n{{ turn.content }}\n{% endfor %}")


def chat_vars():
    return {"shop": "Orbit Lighting", "language": "English", **messages_vars(40)}


def chat_python(v):
    return [{"role": "system", "content": f"You are a concise assistant for {v['shop']}. Answer in {v['language']}."},
            *messages_python(v)]


def as_chat_text(messages):
    """Messages as the Jinja chat templates write them, to compare outputs byte for byte."""
    return "".join(f"<|{m['role']}|>\n{m['content']}\n" for m in messages)


# ---- 1500 nested calls: a chain of 30 functions, called 50 times ----

def chain_quarl(depth=30):
    parts = [f"@define f{i}(x):\n{{{{ f{i + 1}(x) }}}}\n@end\n" for i in range(1, depth)]
    parts.append(f"@define f{depth}(x):\n<{{{{ x }}}}>\n@end\n")
    return "".join(parts) + "@for i in items:\n{{ f1(i) }}\n@end\n"


def chain_jinja(depth=30):
    parts = [f"{{% macro f{i}(x) %}}{{{{ f{i + 1}(x) }}}}{{% endmacro %}}" for i in range(1, depth)]
    parts.append(f"{{% macro f{depth}(x) %}}<{{{{ x }}}}>{{% endmacro %}}")
    return "".join(parts) + "{% for i in items %}{{ f1(i) }}\n{% endfor %}"


def chain_python(v, depth=30):
    def f(level, x):
        return f"<{x}>" if level == depth else f(level + 1, x)

    return "".join(f(1, i) + "\n" for i in v["items"])


# ---- 1 MB of real text with 20 interpolations ----

def large_text():
    texts = [p.read_text(encoding="utf-8") for p in sorted(PROMPTS.glob("*.md"))]
    text = "\n\n".join(texts)
    while len(text.encode()) < 1_000_000:
        text += "\n\n" + text
    text = text.encode()[:1_000_000].decode("utf-8", "ignore")
    # Only literal text: what the prompts say about braces is theirs, not a template's.
    text = text.replace("{", "(").replace("}", ")").replace("@", "(at)").replace("`", "'").replace("---", "- -")
    step = len(text) // 20
    pieces = [text[i * step:(i + 1) * step] for i in range(20)]
    return pieces


def large_cases():
    pieces = large_text()
    names = [f"v{i}" for i in range(20)]
    variables = {name: f"🌍 value {i} ✓" for i, name in enumerate(names)}
    quarl = "".join(p + "{{ " + n + " }}" for p, n in zip(pieces, names))
    return quarl, quarl, variables, lambda v: "".join(p + v[n] for p, n in zip(pieces, names))


# ---- the table ----

def cases():
    large_quarl, large_jinja, large_vars, large_python = large_cases()
    return [
        ("prompt 3.5 KB, loop 100", PROMPT_QUARL, PROMPT_JINJA, prompt_vars(), prompt_floor.prompt),
        ("messages, 20 turns of 200 B", MESSAGES_QUARL, MESSAGES_JINJA, messages_vars(), messages_python),
        ("inline loop, 100 orders of 4 fields", ORDERS_QUARL, ORDERS_JINJA, orders_vars(), orders_python),
        ("chat, system + 40 turns", CHAT_QUARL, CHAT_JINJA, chat_vars(), chat_python),
        ("1500 nested calls (30-deep chain x 50)", chain_quarl(), chain_jinja(), {"items": list(range(50))},
         chain_python),
        ("1 MB real text, 20 interpolations", large_quarl, large_jinja, large_vars, large_python),
    ]


SAME_OUTPUT_CASES = ("inline loop, 100 orders of 4 fields", "chat, system + 40 turns")


def check_same_output(name, loaded, render_minijinja, render_jinja2, python, variables):
    """Every engine writes the same bytes (messages compared in the chat templates' text form)."""
    result = loaded.compile(variables)
    if result.kind == "markdown":
        outputs = {"tessel": result.output, "Python": python(variables)}
    else:
        outputs = {"tessel": as_chat_text([m.to_dict() for m in result.messages]),
                   "Python": as_chat_text(python(variables))}
    outputs["MiniJinja"] = render_minijinja()
    outputs["Jinja2"] = render_jinja2()
    if len(set(outputs.values())) != 1:
        raise SystemExit(f"{name}: the engines' outputs differ: {sorted(outputs)}")


def measure(name, quarl, jinja, variables, python):
    mj = minijinja.Environment(templates={"t": jinja}, trim_blocks=True, lstrip_blocks=True)
    j2 = jinja2.Environment(trim_blocks=True, lstrip_blocks=True)
    j2_cached = j2.from_string(jinja)
    if name in SAME_OUTPUT_CASES:
        check_same_output(name, tessel.Template(quarl), lambda: mj.render_template("t", **variables),
                          lambda: j2_cached.render(**variables), python, variables)

    loaded = tessel.Template(quarl)

    def tessel_call():
        result = tessel.compile(quarl, vars=variables)
        return result.output if result.kind == "markdown" else result.messages

    def loaded_call():
        result = loaded.compile(variables)
        return result.output if result.kind == "markdown" else result.messages

    return {"case": name, **per_calls({
        "tessel": tessel_call,
        "tessel, loaded once": loaded_call,
        "MiniJinja compile+render": lambda: mj.render_str(jinja, **variables),
        "MiniJinja cached": lambda: mj.render_template("t", **variables),
        "Jinja2 compile+render": lambda: j2.from_string(jinja).render(**variables),
        "Jinja2 cached": lambda: j2_cached.render(**variables),
        "Python": lambda: python(variables),
    }, budgets={"Jinja2 compile+render": 0.2})}


def throughput(function, threads, seconds=2.0):
    """Calls per second of `function` run on `threads` threads at once."""
    counts = [0] * threads
    stop = threading.Event()

    def run(index):
        while not stop.is_set():
            function()
            counts[index] += 1

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - start)


def main():
    versions = "  ".join(f"{name} {metadata.version(name)}" for name in ("tessel", "jinja2", "minijinja"))
    print(f"Python {sys.version.split()[0]}  {versions}")
    columns = ["tessel", "tessel, loaded once", "MiniJinja compile+render", "MiniJinja cached", "Jinja2 compile+render", "Jinja2 cached",
               "Python"]
    print(f"\n{'case (us per call, median)':<40}" + "".join(f"{c:>26}" for c in columns))
    rows = [measure(*case) for case in cases()]
    for row in rows:
        print(f"{row['case']:<40}" + "".join(f"{row[c]:>26.1f}" for c in columns))

    print(f"\n{'ratios':<40}{'MiniJinja cached / tessel':>28}{'Jinja2 c+r / tessel':>22}"
          f"{'tessel / Python':>18}{'MiniJinja c+r / tessel':>26}{'loaded once / tessel':>24}"
          f"{'MiniJinja cached / loaded':>28}")
    for row in rows:
        print(f"{row['case']:<40}{row['MiniJinja cached'] / row['tessel']:>28.2f}"
              f"{row['Jinja2 compile+render'] / row['tessel']:>22.1f}{row['tessel'] / row['Python']:>18.2f}"
              f"{row['MiniJinja compile+render'] / row['tessel']:>26.2f}"
              f"{row['tessel, loaded once'] / row['tessel']:>24.2f}"
              f"{row['MiniJinja cached'] / row['tessel, loaded once']:>28.2f}")

    project_vars = prompt_vars()
    project = tessel.Template.from_file(PROJECT_ENTRY)
    files = per_calls({"compile_file": lambda: tessel.compile_file(PROJECT_ENTRY, vars=project_vars),
                       "loaded once": lambda: project.compile(project_vars)})
    print(f"\nfile project (@extends chain, two imports): compile_file {files['compile_file']:.1f} us, "
          f"Template.from_file once then compile {files['loaded once']:.1f} us "
          f"({files['loaded once'] / files['compile_file']:.2f}x)")

    variables = prompt_vars()
    one = throughput(lambda: tessel.compile(PROMPT_QUARL, vars=variables), 1)
    two = throughput(lambda: tessel.compile(PROMPT_QUARL, vars=variables), 2)
    print(f"\nprompt on 2 threads: {two / one:.2f}x the throughput of 1 ({one:.0f} and {two:.0f} compiles/s)")
    print(f"compile(\"Hello world\"): {per_call(lambda: tessel.compile('Hello world')):.2f} us")
    conversion = per_call(lambda: tessel.compile("x", vars=variables))
    values = count_values(variables)
    print(f"compile(\"x\", vars=<the prompt's {values} values>): {conversion:.1f} us "
          f"({(conversion - per_call(lambda: tessel.compile('x'))) * 1000 / values:.0f} ns per value)")
    large_quarl, _, large_vars, _ = large_cases()
    result = tessel.compile(large_quarl, vars=large_vars)
    output_bytes = result.output.encode()
    print(f"1 MB output: .output {per_call(lambda: result.output):.0f} us, "
          f"bytes.decode() of the same {per_call(lambda: output_bytes.decode()):.0f} us, "
          f"to_json() {per_call(result.to_json):.0f} us")

    # Source maps: the prompt, and real text of 1, 2 and 4 MB, with a map and without.
    with_map = per_calls({"plain": lambda: tessel.compile(PROMPT_QUARL, vars=variables),
                          "map": lambda: tessel.compile(PROMPT_QUARL, vars=variables, source_map=True)})
    print(f"source map: prompt {with_map['map'] / with_map['plain']:.2f}x the time without", end="")
    for size in (1, 2, 4):
        source = large_quarl * size
        times = per_calls({"plain": lambda: tessel.compile(source, vars=large_vars),
                           "map": lambda: tessel.compile(source, vars=large_vars, source_map=True)})
        print(f"; {size} MB {times['map'] / 1000:.1f} ms ({times['map'] / times['plain']:.2f}x)", end="")
    print()

    # Lint: the prompt against its check, and real text of 1, 2 and 4 MB.
    linted = per_calls({"check": lambda: tessel.check(PROMPT_QUARL, vars=variables),
                        "lint": lambda: tessel.lint(PROMPT_QUARL, vars=variables)})
    print(f"lint: prompt {linted['lint'] / linted['check']:.2f}x its check", end="")
    for size in (1, 2, 4):
        source = large_quarl * size
        print(f"; {size} MB {per_call(lambda: tessel.lint(source, vars=large_vars)) / 1000:.1f} ms", end="")
    print()


def count_values(value):
    if isinstance(value, dict):
        return 1 + sum(count_values(v) + 1 for v in value.values())
    if isinstance(value, list):
        return 1 + sum(count_values(v) for v in value)
    return 1


if __name__ == "__main__":
    main()
