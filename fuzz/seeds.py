"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small inputs that reach every directive, every frontmatter form
and every kind of error: templates in the style of the tests, the bundled
examples, the benchmark prompt, short real prompts and CommonMark examples
from ../shared/data (text nobody here wrote: the CommonMark examples are
read from its commonmark text file). Run it again after adding
language features; the files it writes are checked in.

    python3 fuzz/seeds.py [SHARED_DATA_DIR]
"""

import hashlib
import re
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
SHARED = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT.parent / "shared" / "data"
MAX_SEED_BYTES = 4096

# Most templates use only the variables the compile target can pass (x, n,
# s, xs, o), so that they get past the check gate and render.
TEMPLATES = [
    "Hello {{ s }}!\n",
    "{{ o.a }} \\{{ not }} {{ upper(trim(s)) }} {{ o.b }}\n",
    "@if x && n == 3 || s != \"t\":\nA\n@elseif o.a == 1:\nB\n@else:\nC\n@end\n",
    "@if !x:\nno\n@elseif xs && o:\n{{ length(xs) }}\n@end\n",
    "@for item in xs:\n- {{ item }}\n@end\n@for k, v in o:\n{{ k }}={{ v }}\n@end\n",
    "@define greet(name, greeting=\"Hi\", count=1, flag=false, none=null):\n"
    "{{ greeting }}, {{ name }} {{ count }}\n@end\n{{ greet(s) }} {{ greet(s, 'Yo', n) }}\n",
    '@import "./m1.quarl"\n@import "./m1.quarl" as lib\n@import { f, g } from "./m1.quarl"\n'
    "{{ lib.f(1, 2.5, true) }}\n@include lib\n",
    '@export f\n@export g from "./m2.quarl"\n@export * from "./m2.quarl"\n@export prompt\n'
    "@define f():\nF\n@end\n",
    "@message system:\nYou are {{ s }}.\n@end\n@for i in xs:\n@message {{ i }}:\n{{ n }}\n@end\n@end\n",
    '@extends "./m1.quarl"\n\n@block body:\nChild {{ s }}\n@end\n',
    "# Title\n@block intro:\nDefault {{ s }}\n@end\n@block body:\n@end\n",
    "```python\n@decorator\n{{ not_interpolated }}\n```\n~~~\n@if\n~~~\n",
    "---\ntitle: T\ntype: quarl\nimports:\n  - path: ./m1.quarl\n    as: lib\n"
    "  - path: ./m2.quarl\n    names: [f, g]\n---\n{{ title }} {{ lib.f() }}\n",
    "---\r\nk: v\r\n---\r\nline\r\n{{ k }}\r\n",
    "{{ length(xs) }} {{ join(xs, \", \") }} {{ slice(s, 1, 3) }} {{ replace(s, \"a\", \"b\") }}\n"
    "{{ number(\"4\") }} {{ string(n) }} {{ reverse(s) }} {{ sort(xs) }} {{ lower(s) }}\n"
    "{{ starts_with(s, \"t\") }} {{ ends_with(s, \"t\") }} {{ contains(s, \"e\") }} "
    "{{ default(s, \"d\") }} {{ keys(o) }} {{ values(o) }} {{ first(xs) }} {{ last(xs) }}\n",
    "@if\n", "@else\n", "@end\n", "{{ unclosed", "{{ f(a, }}", "@define f(a, a):\n@end\n",
    "@for x in 1:\n@end\n", "@if x = 1:\n@end\n", "{{ a..b }}", "@import x\n", "@unknown\n",
    "{{ o }}", "@for i in o:\n@end\n", "@if s == n:\n@end\n", "{{ missing }}",
    "@if " + "f(" * 70 + "x" + ")" * 70 + ":\n@end\n",
    "@if x:\n" * 66 + "@end\n" * 66,
]

FRONTMATTERS = [
    "title: Hello\ncount: 3\nratio: 0.5\nflag: true\nnothing: ~\n",
    "list: [1, 2, {a: b}]\nmap: {x: 1, y: [z]}\n",
    "base: &b {a: 1, b: 2}\ncopy: *b\nmerge:\n  <<: *b\n  c: 3\n",
    "hex: 0x1F\noct: 0o17\nbin: 0b101\nbig: 123456789012345678901234567890\nneg: -.inf\nnan: .nan\n",
    "tagged: !custom value\nint: !!int \"42\"\nstr: !!str 42\nset: !!set {a, b}\n",
    "? [complex, key]\n: value\n? {a: 1}\n: other\n",
    "block: |\n  line one\n  line two\nfolded: >\n  folded\n  text\n",
    "quoted: 'it''s'\ndouble: \"tab\\there\\u00e9\"\nplain: a: b\n",
    "type: quarl\nimports:\n  - path: ./a.quarl\n    names: [x, y]\n  - path: ./b.quarl\n    as: b\n",
    "imports: 5\n", "imports:\n  - {path: /abs}\n", "a: 1\na: 2\n", "*undefined\n",
    "a: [[[[[[[[]]]]]]]]\n", "- - - - - x\n", "--- a\n--- b\n", "key: \"unclosed\n",
]

JSON = [
    '{"dependencies":[],"kind":"markdown","output":"Hi\\n","warnings":[]}',
    '{"kind":"messages","messages":[{"content":"c","role":"user"}],"warnings":["w"]}',
    '[{"span":{"offset":3,"length":4},"replacement":"{{ x }}"}]',
    '{"a":"\\u0000\\u001f\\"\\\\/\\ud83d\\ude00","b":[1,-0,1.5e300,1e-300,18446744073709551616]}',
    '[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]',
    '{"z":1,"a":2,"\\u00e9":3,"e":{"nested":{"deep":null}}}', "1e999", '"text"', "true",
]

# Module maps for the compile target: a flags byte (entry index, 0x10 for
# variables, 0x20 for a source map), then module texts separated by 0xFF.
MODULE_MAPS = [
    (0x10, ['@import "./m1.quarl" as lib\n{{ lib.f(s) }}\n@include lib\n',
            "@define f(x):\n<{{ x }}>\n@end\nBody of m1\n"]),
    (0x10, ['---\nt: child\n---\n@extends "./m1.quarl"\n@block b:\n{{ t }} {{ x }}\n@end\n',
            "---\nt: base\nk: {a: 1}\n---\n# {{ t }}\n@block b:\nbase\n@end\n"]),
    (0x30, ["@message system:\nHi {{ s }}\n@end\n@for m in xs:\n@message user:\n{{ m }}\n@end\n@end\n"]),
    (0x00, ['@import "./m1.quarl"\n', '@import "./m0.quarl"\n']),
    (0x01, ['@export * from "./m0.quarl"\n@export prompt\nM1\n',
            "@define g():\nG\n@end\n@export g\n", '@import { g } from "./m1.quarl"\n{{ g() }}\n']),
    (0x12, ["x", "y", '---\nimports:\n  - path: ./m0.quarl\n    as: a\n---\n{{ a.nothing() }}\n']),
    (0x50, ['---\ntype: quarl\nt: 1\n---\n@import "./m1.md" as m\n{{ t }} {{ m.f() }}\n',
            "---\ntype: 'quarl'\n---\n@define f():\nF\n@end\n", "# plain Markdown\n"]),
    (0x42, ['---\ntype: quarl\n---\n@import "./m2.md"\n', "x", "---\ntitle: no marker\n---\n"]),
]


def write(target, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    if len(data) > MAX_SEED_BYTES:
        return
    name = hashlib.sha1(data).hexdigest()[:16]
    (CORPUS / target / name).write_bytes(data)


def commonmark_examples():
    text = next(SHARED.glob("commonmark*.txt")).read_text(encoding="utf-8")
    fence = "`" * 32
    for match in re.finditer(fence + r" example\n(.*?)\n" + fence, text, re.S):
        markdown = match.group(1).split("\n.\n", 1)[0]
        yield markdown.replace("\u2192", "\t") + "\n"


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    # scan_imports starts from the parse seeds.
    for target in ("parse", "frontmatter", "compile", "canonical"):
        (CORPUS / target).mkdir(parents=True)
    texts = list(TEMPLATES)
    texts += [path.read_text(encoding="utf-8") for path in sorted((ROOT / "examples").glob("*.quarl"))]
    texts.append((ROOT / "bench" / "data" / "typical_prompt.quarl").read_text(encoding="utf-8"))
    prompts = sorted((SHARED / "prompts").glob("*.md"), key=lambda path: path.stat().st_size)
    texts += [path.read_text(encoding="utf-8") for path in prompts[:20]]
    texts += list(commonmark_examples())[::10]
    texts += ["---\n" + frontmatter + "---\nbody\n" for frontmatter in FRONTMATTERS]
    for text in texts:
        write("parse", text)
        write("compile", bytes([0x10]) + text.encode("utf-8"))
    for flags, modules in MODULE_MAPS:
        write("compile", bytes([flags]) + b"\xff".join(m.encode("utf-8") for m in modules))
    for frontmatter in FRONTMATTERS:
        write("frontmatter", frontmatter)
    for text in JSON:
        write("canonical", text)


if __name__ == "__main__":
    main()
