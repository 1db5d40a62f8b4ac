"""The package and the README's examples pass mypy --strict; the examples also run.

The package is checked from the checkout that these tests belong to; the
examples against the installed package, so its py.typed marker and its stubs
for the extension modules are what the check sees."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[1]
FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
BLOCKS = FENCE.findall((ROOT / "README.md").read_text())


def mypy(cache, cwd, *targets):
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
                           "--no-color-output", *map(str, targets)],
                          capture_output=True, text=True, cwd=cwd, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    """One mypy cache for the module's checks: the standard library's and NumPy's stubs
    are read once (a cached module whose file differs is checked again)."""
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    """Every ```python block of the README, as a file of its own."""
    folder = tmp_path_factory.mktemp("readme")
    paths = []
    for k, block in enumerate(BLOCKS, 1):
        paths.append(folder / f"readme_example_{k}.py")
        paths[-1].write_text(block)
    return folder, paths


def test_package_is_strictly_typed(cache, tmp_path):
    rc, report = mypy(cache, tmp_path, ROOT / "zelvane")
    assert rc == 0, report


def test_readme_examples_are_strictly_typed(examples, cache):
    folder, paths = examples
    assert paths, "the README has no python example"
    rc, report = mypy(cache, folder, *paths)
    assert rc == 0, report


# The example of zelvane.bake runs where it loads (NumPy 1.x); every other, everywhere.
@pytest.mark.parametrize("k", [
    pytest.param(k, marks=[pytest.mark.needs_bake] * ("zelvane import bake" in block))
    for k, block in enumerate(BLOCKS)])
def test_readme_examples_run(examples, k):
    folder, paths = examples
    path = paths[k]
    env = dict(os.environ, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, str(path)], capture_output=True, text=True,
                          cwd=folder, env=env, timeout=300)
    assert proc.returncode == 0, f"{path.name}:\n{path.read_text()}\n{proc.stderr}"
    assert proc.stderr == "", f"{path.name}:\n{proc.stderr}"


CALLER = '''
from typing import Optional

import zelvane
from zelvane.cli import main

status: int = main(["--version"])
try:
    zelvane.fit_density([0.0, 1.0], [1.0])
except zelvane.InputError as error:
    problem: str = error.problem
    row: Optional[int] = error.row
    index: Optional[int] = error.index
'''


def test_command_line_and_errors_are_typed_for_callers(cache, tmp_path):
    # The installed package as a caller's code sees it: zelvane.cli and zelvane.InputError.
    (tmp_path / "caller.py").write_text(CALLER)
    rc, report = mypy(cache, tmp_path, tmp_path / "caller.py")
    assert rc == 0, report
