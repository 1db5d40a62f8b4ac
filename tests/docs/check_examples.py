"""Every example of the user guide and of the README runs, and prints what the page says.

- reStructuredText pages (``docs/**/*.rst``): each ``.. code-block:: pycon`` is a
  doctest; the blocks of one page share their names, as a reader typing them in turn
  would. Each ``.. code-block:: console`` is a shell session: a line ``$ command`` runs
  in bash, and the lines after it, up to the next command, are its output (standard
  output, then standard error).
- The README: each ```python block runs as a script and prints exactly the ```text
  block that follows it, if any; each ```console block is a shell session as above.

Output is compared as doctest compares it, ``...`` standing for any text. The commands
and examples of one page run in a temporary folder of their own with the
``zelvane`` command and the package of this interpreter's environment. A code block of
another language is refused, so that nothing shown to a reader goes unchecked (``text``
and ``none`` hold output or file contents, and ``.. plot::`` runs when the site is
built).

Run with ``pytest --confcutdir=tests/docs tests/docs/check_examples.py`` in the
environment of ``bash tools/docs.sh`` (the nox session ``docs`` does).
"""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import List, Tuple

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
GENERATED = {"_build", "auto_examples", "generated", "examples", "_templates"}
PAGES = sorted(p for p in DOCS.rglob("*.rst")
               if not GENERATED & set(p.relative_to(DOCS).parts))
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
CHECKER = doctest.OutputChecker()
# The languages a page may show without running them.
NOT_CODE = {"text", "none"}

Block = Tuple[str, str, int]  # language, body, line number


def rst_blocks(text: str) -> List[Block]:
    """The ``code-block`` (and ``code``, ``sourcecode``) directives of a page."""
    blocks = []
    lines = text.splitlines()
    k = 0
    while k < len(lines):
        match = re.match(r"^(\s*)\.\. (?:code-block|code|sourcecode)::\s*(\S*)", lines[k])
        if not match:
            k += 1
            continue
        indent, language, start = len(match.group(1)), match.group(2) or "none", k + 1
        k += 1
        while k < len(lines) and re.match(r"^\s+:\w", lines[k]):
            k += 1
        body = []
        while k < len(lines) and (not lines[k].strip() or
                                  len(lines[k]) - len(lines[k].lstrip()) > indent):
            body.append(lines[k])
            k += 1
        blocks.append((language, textwrap.dedent("\n".join(body)).strip("\n") + "\n", start))
    return blocks


def markdown_blocks(text: str) -> List[Block]:
    """The fenced blocks of a Markdown file, with the language of each fence."""
    return [(m.group(1) or "none", m.group(2), text.count("\n", 0, m.start()) + 1)
            for m in re.finditer(r"^```(\w*)\n(.*?)^```\s*$", text, re.S | re.M)]


def same_output(expected: str, got: str) -> bool:
    return CHECKER.check_output(expected, got, FLAGS)


def environment() -> dict:
    bin_dir = str(Path(sys.executable).parent)
    return dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""),
                MPLBACKEND="Agg", COLUMNS="80", PYTHONHASHSEED="0")


def run_console(body: str, where: str, cwd: Path) -> None:
    """Each ``$ command`` of a shell session in bash, its output against the lines after it."""
    steps: List[Tuple[str, List[str]]] = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line)
        elif line.strip():
            raise AssertionError(f"{where}: output before the first command: {line!r}")
    assert steps, f"{where}: a console block without a command"
    for command, expected in steps:
        proc = subprocess.run(["bash", "-c", command], cwd=cwd, env=environment(),
                              capture_output=True, text=True, timeout=600)
        got = proc.stdout + proc.stderr
        want = "\n".join(expected).strip("\n")
        want = want + "\n" if want else ""
        assert same_output(want, got), (
            f"{where}: $ {command}\n--- expected\n{want}--- got (status {proc.returncode})\n{got}")


def check_pycon(blocks: List[Block], page: str, cwd: Path) -> None:
    """The pycon blocks of one page as one doctest, each block's line numbers kept."""
    parser = doctest.DocTestParser()
    examples = []
    for _, body, line in blocks:
        for example in parser.get_examples(body, name=page):
            example.lineno += line + 1
            examples.append(example)
    test = doctest.DocTest(examples, {"__name__": "__main__"}, page, page, 0, None)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    report: List[str] = []
    here = os.getcwd()
    os.chdir(cwd)
    try:
        runner.run(test, out=report.append)
    finally:
        os.chdir(here)
        test.globs.clear()
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("page", [p.relative_to(ROOT).as_posix() for p in PAGES])
def test_guide_page(page: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("MPLBACKEND", "Agg")
    blocks = rst_blocks((ROOT / page).read_text(encoding="utf-8"))
    unknown = [(language, line) for language, _, line in blocks
               if language not in {"pycon", "console"} | NOT_CODE]
    assert not unknown, f"{page}: code blocks that no test runs: {unknown}"
    pycon = [b for b in blocks if b[0] == "pycon"]
    if pycon:
        check_pycon(pycon, page, tmp_path)
    for language, body, line in blocks:
        if language == "console":
            run_console(body, f"{page}:{line}", tmp_path)


def test_guide_has_examples() -> None:
    # The checks above must have something to check on the pages that teach a task.
    with_examples = [p for p in PAGES if any(b[0] in ("pycon", "console")
                                             for b in rst_blocks(p.read_text("utf-8")))]
    assert len(with_examples) >= 6, with_examples


def test_readme(tmp_path: Path) -> None:
    blocks = markdown_blocks((ROOT / "README.md").read_text(encoding="utf-8"))
    ran = 0
    for k, (language, body, line) in enumerate(blocks):
        where = f"README.md:{line}"
        if language == "python":
            script = tmp_path / f"readme_{line}.py"
            script.write_text(body)
            proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=environment(),
                                  capture_output=True, text=True, timeout=600)
            assert proc.returncode == 0 and proc.stderr == "", f"{where}:\n{proc.stderr}"
            following = blocks[k + 1] if k + 1 < len(blocks) else None
            if following is not None and following[0] == "text":
                assert same_output(following[1], proc.stdout), (
                    f"{where}\n--- expected\n{following[1]}--- got\n{proc.stdout}")
            ran += 1
        elif language == "console":
            run_console(body, where, tmp_path)
            ran += 1
        else:
            assert language in NOT_CODE, f"{where}: a {language!r} block that no test runs"
    assert ran >= 2, "the README shows no example"


def test_the_block_readers() -> None:
    rst = textwrap.dedent("""\
        Text.

        .. code-block:: pycon
           :caption: x

           >>> 1 + 1
           2

        After.

        .. code-block:: console

           $ echo hi
           hi
        """)
    assert rst_blocks(rst) == [("pycon", ">>> 1 + 1\n2\n", 3), ("console", "$ echo hi\nhi\n", 11)]
    md = "# t\n\n```python\nprint(1)\n```\n\n```text\n1\n```\n"
    assert markdown_blocks(md) == [("python", "print(1)\n", 3), ("text", "1\n", 7)]
    assert same_output("a ... c\n", "a b b c\n") and not same_output("a\n", "b\n")
    with pytest.raises(AssertionError, match="expected"):
        run_console("$ echo one\ntwo\n", "t", Path("."))
