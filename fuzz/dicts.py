"""Writes the libFuzzer dictionaries of the fuzz targets into fuzz/dicts/.

    python3 fuzz/dicts.py
"""

from pathlib import Path

DICTS = Path(__file__).resolve().parent / "dicts"

TEMPLATE = [
    "{{", "}}", "\\{{", "@if ", "@elseif ", "@else:", "@end", "@for ", " in ", ", ", "@define ",
    "@import ", "@export ", "@include ", "@message ", "@block ", "@extends ", "---", "```", "~~~",
    "&&", "||", "==", "!=", "!", "(", ")", ".", '"', "'", ":", "\n", "\r\n", "true", "false", "null",
    " as ", " from ", "{ ", " }", "* from ", "prompt", '"./m1.quarl"', '"./m0.quarl"', '"../m2.quarl"',
    "type: quarl", "imports:", "- path: ./m1.quarl", "names: [", "as: ", "system:", "user:",
    "{{ role }}:", "upper(", "lower(", "trim(", "length(", "join(", "split(", "replace(", "slice(",
    "string(", "number(", "default(", "keys(", "values(", "sort(", "reverse(", "first(", "last(",
    "contains(", "starts_with(", "ends_with(", "x", "xs", "s", "n", "o", "o.a", "\xff", "é", "😀",
    "\t", "  ",
]
YAML = [
    "---", "...", "- ", ": ", "? ", "[", "]", "{", "}", ", ", "&a ", "*a", "<<: ", "!!int ", "!!str ",
    "!!float ", "!!bool ", "!!null ", "!tag ", "|", ">", "|-", ">+", "'", '"', "#", "~", "null", "true",
    "False", "0x1F", "0o17", "0b1", ".inf", "-.inf", ".nan", "1e10", "%YAML 1.2", "%TAG ! tag:x,2000:",
    "\n", "\n  ", "\t", "imports", "type", "extends", "path", "names", "as", "quarl", "é",
]
JSON = [
    "{", "}", "[", "]", ":", ",", '"', "\\u0000", "\\ud83d\\ude00", "\\n", "true", "false", "null", "-0",
    "1e308", "1e-320", "18446744073709551616", "0.1", '"offset"', '"length"', '"replacement"',
]


def escaped(token):
    """The token as a quoted dictionary entry: printable ASCII as it is, other bytes as \\xNN."""
    out = []
    for byte in token.encode("utf-8") if token != "\xff" else b"\xff":
        char = chr(byte)
        if char in '\\"':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\x{byte:02X}")
    return '"' + "".join(out) + '"'


def main():
    DICTS.mkdir(exist_ok=True)
    for name, tokens in (("template", TEMPLATE), ("yaml", YAML), ("json", JSON)):
        lines = [f"# {name} tokens for libFuzzer (written by fuzz/dicts.py)"]
        lines += [f"{name}_{i}={escaped(token)}" for i, token in enumerate(tokens)]
        (DICTS / f"{name}.dict").write_text("\n".join(lines) + "\n", encoding="ascii")


if __name__ == "__main__":
    main()
