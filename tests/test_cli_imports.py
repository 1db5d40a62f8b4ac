"""The command line is a caller of the package like any other: its modules reach the
package through public names alone (``zelvane.X``, never ``zelvane._x``)."""

from __future__ import annotations

import ast
import pathlib
from typing import Iterator, Tuple

import pytest


def private_uses(tree: ast.AST) -> Iterator[Tuple[int, str]]:
    """Every import of a private module or name of the package in `tree`, every
    attribute ``zelvane._x`` and every string naming a private module (as
    ``importlib.import_module`` takes it), with its line."""
    def private(dotted: str) -> bool:
        parts = dotted.split(".")
        return parts[0] == "zelvane" and any(part.startswith("_") for part in parts[1:])

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if private(alias.name):
                    yield node.lineno, f"import {alias.name}"
        elif isinstance(node, ast.ImportFrom):
            module = node.module or ""
            if node.level:
                # A relative import inside the command line is of its own modules.
                module = "zelvane.cli" + ("." + module if module else "")
            if private(module):
                yield node.lineno, f"from {module} import ..."
            elif module == "zelvane":
                for alias in node.names:
                    if alias.name.startswith("_"):
                        yield node.lineno, f"from zelvane import {alias.name}"
        elif isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            if node.value.id == "zelvane" and node.attr.startswith("_"):
                yield node.lineno, f"zelvane.{node.attr}"
        elif isinstance(node, ast.Constant) and isinstance(node.value, str):
            if private(node.value.split(":")[0]) and " " not in node.value:
                yield node.lineno, repr(node.value)


def test_the_checker_finds_every_way_to_a_private_name():
    source = ("import zelvane._fit as f\nfrom zelvane import _checks, Tail\n"
              "from zelvane._errors import InputError\nimport zelvane\nzelvane._native.x\n"
              "importlib.import_module('zelvane._smooth')\n"
              "from zelvane import InputError, fit_smooth\nimport zelvane.cli.fitting\n"
              "from . import _helpers\n")
    found = sorted(private_uses(ast.parse(source)))
    assert [line for line, _ in found] == [1, 2, 3, 5, 6]


def test_the_command_line_imports_no_private_name_of_the_package():
    cli = pytest.importorskip("zelvane.cli")
    folder = pathlib.Path(cli.__file__).parent
    modules = sorted(folder.glob("*.py"))
    assert {"__init__.py", "fit.py", "summary.py", "example.py", "read.py"} <= \
        {path.name for path in modules}
    found = [f"{path.name}:{line}: {what}" for path in modules
             for line, what in private_uses(ast.parse(path.read_text(encoding="utf-8")))]
    assert found == []
