#!/usr/bin/env python3
"""List the kernels' functions and the Python modules that have grown too long.

    python tools/sizes.py [--lines N] [--modules N] [--all]

run from the checkout: the C++ functions of src/kernels over --lines lines (100 unless
given), and the modules of zelvane/ and zelvane/cli/ over --modules lines (700); with
--all, every function, longest first. Exits 1 when anything is over its limit.

A function is a brace-delimited body whose header has a parameter list and which opens
at namespace or class scope; lambdas and blocks inside it count towards it. Comments,
string and character literals are blanked first, so their braces do not count. A
function's length runs from its header's first line to its closing brace.
"""
from __future__ import annotations

import argparse
import pathlib
import re
import sys
from typing import Iterator, List, Tuple

CONTAINER = re.compile(r"\b(namespace|class|struct|union|extern\s+\"C\")\b[^()]*$")
SUFFIXES = (".cpp", ".hpp", ".cc", ".h")


def blank(text: str) -> str:
    """Replace comments and literals by spaces, keeping every newline."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum()
                                                          or text[i - 1] == "_")):
            open_ = text.find("(", i)
            delim = ")" + text[i + 2:open_] + '"'
            j = text.find(delim, open_)
            j = n if j < 0 else j + len(delim)
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # a digit separator
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
        else:
            out.append(c)
            i += 1
            continue
        out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
        i = j
    return "".join(out)


def functions(text: str) -> Iterator[Tuple[str, int, int]]:
    """(name, first line, last line) of every function defined in `text`."""
    code = blank(text)
    stack: List[Tuple[str, str, int]] = []  # (kind, name, first line)
    start = 0  # where the current header began
    for i, c in enumerate(code):
        if c in ";":
            start = i + 1
        elif c == "{":
            header = code[start:i]
            inside_function = any(kind in ("function", "block") for kind, _, _ in stack)
            stripped = header.strip()
            if inside_function or not stripped:
                stack.append(("block", "", 0))
            elif CONTAINER.search(" ".join(stripped.split())):
                stack.append(("container", "", 0))
            elif "(" in stripped:
                first = start + len(header) - len(header.lstrip())
                line = code.count("\n", 0, first) + 1
                name = stripped[: stripped.index("(")].split()[-1] if stripped[0] != "(" else "?"
                stack.append(("function", name, line))
            else:
                stack.append(("block", "", 0))
            start = i + 1
        elif c == "}":
            if stack:
                kind, name, line = stack.pop()
                if kind == "function":
                    yield name, line, code.count("\n", 0, i) + 1
            start = i + 1


def long_functions(paths: List[pathlib.Path]) -> List[Tuple[int, str, str]]:
    """(length, file:line, name) of every function in the C++ files under `paths`,
    longest first."""
    found = []
    for path in paths:
        files = sorted(p for p in path.rglob("*") if p.suffix in SUFFIXES) \
            if path.is_dir() else [path]
        for f in files:
            for name, first, last in functions(f.read_text(encoding="utf-8")):
                found.append((last - first + 1, f"{f}:{first}", name))
    return sorted(found, reverse=True)


def main(argv: List[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100, help="the longest function allowed")
    parser.add_argument("--modules", type=int, default=700, help="the longest module allowed")
    parser.add_argument("--all", action="store_true", help="list every function, longest first")
    args = parser.parse_args(argv)
    found = long_functions([pathlib.Path("src/kernels")])
    over = [entry for entry in found if entry[0] > args.lines]
    for length, where, name in found if args.all else over:
        print(f"{length:5d}  {where}  {name}")
    modules = [*sorted(pathlib.Path("zelvane").glob("*.py")),
               *sorted(pathlib.Path("zelvane/cli").glob("*.py"))]
    for module in modules:
        length = len(module.read_text(encoding="utf-8").splitlines())
        if length > args.modules:
            over.append((length, str(module), ""))
            print(f"{length:5d}  {module}")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
