"""Helpers shared by the Python tests of zelvane."""

import subprocess
import sys
import tempfile
import textwrap
import traceback

import numpy as np
import pytest

import zelvane.bake as bake

# File name that the extension gives its function code objects and traceback entries.
MODULE_FILE = "zelvane/bake"

# The line of each function's own traceback entry and code object.
FUNCTION_LINES = {"fitgapmass": 18, "fitgapmass_meh": 94}


@pytest.fixture(params=sorted(FUNCTION_LINES))
def func(request):
    """Each of the two functions, for behaviour that they share."""
    return getattr(bake, request.param)


def f32(*values):
    """A contiguous, writable float32 vector holding `values`."""
    return np.array(values, dtype=np.float32)


def run_python(code, *args, timeout=300):
    """Run `code` in a fresh interpreter of this environment; return (rc, stdout, stderr).

    The child runs outside any source checkout, so it imports the installed package;
    `args` become its sys.argv[1:]. A crash shows as a negative return code."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=timeout,
                          cwd=tempfile.gettempdir())
    return proc.returncode, proc.stdout, proc.stderr


def assert_bits_equal(actual, expected):
    """Element-wise float32 identity by bit pattern, so -0.0 and +0.0 differ; any NaN
    matches any NaN, whatever its payload."""
    a = np.array(actual, dtype=np.float32)
    e = np.array(expected, dtype=np.float32)
    assert a.shape == e.shape, f"shape {a.shape} != {e.shape}"
    same = (a.view(np.uint32) == e.view(np.uint32)) | (np.isnan(a) & np.isnan(e))
    assert same.all(), (f"{a.tolist()} != {e.tolist()} "
                        f"at positions {np.flatnonzero(~same).tolist()}")


def module_frames(exc):
    """(line, function name) of the traceback entries that the extension added to
    `exc`, outermost first (the order in which a traceback prints them)."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == MODULE_FILE]
