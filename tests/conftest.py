"""Helpers shared by the Python tests of zelvane, and the markers that choose tests by
the NumPy installed: ``needs_bake`` for the tests of zelvane.bake or against it, which
loads with NumPy 1.x alone, and ``needs_numpy2`` for those of how the package behaves
under NumPy 2. CI's sessions choose with ``-m``; without a marker expression, the tests
that the installed NumPy cannot run are deselected (not skipped) and the header says
how many."""

import ctypes
import importlib
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import traceback

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# CI runs a fixed set of examples (--hypothesis-profile=ci): the same on every run.
settings.register_profile("ci", derandomize=True, max_examples=200, deadline=None,
                          database=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("dev", deadline=None)
settings.load_profile(os.environ.get("ZELVANE_HYPOTHESIS_PROFILE", "dev"))

# Preloaded in the sanitizer run, AddressSanitizer's runtime handles a child's
# deliberate fault itself: it reports a segmentation fault and exits instead of dying
# by the signal, and it aborts where it cannot map memory of its own.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


# zelvane.bake is built for NumPy 1.x's binary interface and refuses NumPy 2.
NUMPY2 = int(np.__version__.split(".")[0]) >= 2


def pytest_configure(config):
    config.addinivalue_line("markers", "child_fault: the test makes a child process fault "
                            "or run out of address space on purpose")
    config.addinivalue_line("markers", "needs_bake: the test loads zelvane.bake, which needs "
                            "NumPy 1.x")
    config.addinivalue_line("markers", "needs_numpy2: the test is of the package under NumPy 2")


@pytest.hookimpl(hookwrapper=True)
def pytest_collect_file(file_path, parent):
    """The docstring examples that --doctest-modules runs are the package's: the modules
    of this folder are tests, and are not imported again to look for examples."""
    outcome = yield
    outcome.force_result([collector for collector in outcome.get_result()
                          if type(collector).__name__ != "DoctestModule"])


def pytest_report_header(config):
    return f"zelvane tests: NumPy {np.__version__}, zelvane.bake " \
           f"{'cannot load (needs_bake tests need NumPy 1.x)' if NUMPY2 else 'loads'}"


def pytest_collection_modifyitems(config, items):
    if UNDER_ASAN:
        skip = pytest.mark.skip(reason="the AddressSanitizer runtime handles the child's "
                                "deliberate fault or exhausted address space itself")
        for item in items:
            if "child_fault" in item.keywords:
                item.add_marker(skip)
    if not config.option.markexpr:
        unfit = "needs_bake" if NUMPY2 else "needs_numpy2"
        deselected = [item for item in items if unfit in item.keywords]
        if deselected:
            config.hook.pytest_deselected(items=deselected)
            items[:] = [item for item in items if unfit not in item.keywords]


class _Unloadable:
    """Stands for zelvane.bake where it cannot load: only the tests marked needs_bake
    use it, and they are not run there."""

    def __getattr__(self, name):
        raise RuntimeError(f"zelvane.bake needs NumPy 1.x, not {np.__version__}: "
                           "mark the test needs_bake")


def load_bake():
    """zelvane.bake, or under NumPy 2 (where importing it would fail, and make NumPy
    print its notice) a stand-in that refuses every use."""
    return _Unloadable() if NUMPY2 else importlib.import_module("zelvane.bake")


# File name that the extension gives its function code objects and traceback entries.
MODULE_FILE = "zelvane/bake"

# The line of each function's own traceback entry and code object.
FUNCTION_LINES = {"fitgapmass": 18, "fitgapmass_meh": 94}

# Filler around strided views, to show writes between their elements.
MARK = np.float32(-123.5)


@pytest.fixture(params=sorted(FUNCTION_LINES))
def func(request):
    """Each of the two functions of zelvane.bake, for behaviour that they share."""
    return getattr(load_bake(), request.param)


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


def assert_bits_equal(actual, expected, note=""):
    """Element-wise float32 identity by bit pattern, so -0.0 and +0.0 differ; any NaN
    matches any NaN, whatever its payload. `note` prefixes the failure message."""
    a = np.array(actual, dtype=np.float32)
    e = np.array(expected, dtype=np.float32)
    assert a.shape == e.shape, f"{note}shape {a.shape} != {e.shape}"
    same = (a.view(np.uint32) == e.view(np.uint32)) | (np.isnan(a) & np.isnan(e))
    assert same.all(), (f"{note}{a.tolist()} != {e.tolist()} "
                        f"at positions {np.flatnonzero(~same).tolist()}")


def module_frames(exc):
    """(line, function name) of the traceback entries that the extension added to
    `exc`, outermost first (the order in which a traceback prints them)."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == MODULE_FILE]


def spread(values, step):
    """(buffer, view): `values` at every `step`-th float32 of a buffer of MARK; a
    negative step lays them out backwards."""
    base = np.full(len(values) * abs(step), MARK, np.float32)
    view = base[::step]
    view[:] = values
    return base, view


def outside(base, step):
    """The elements of a `spread` buffer that lie between those of its view."""
    return np.delete(base, np.arange(len(base))[::step])


def random_inputs(count, seed):
    """Random float32 (center, gap) with 1 to 8 masses: unit-step, ascending, unsorted or
    shuffled centres, the odd extra centre and zero-width bin; masses that tie, of either
    sign, near the float32 limit, signed zeros, and the odd NaN or infinity."""
    rng = np.random.default_rng(seed)
    for k in range(count):
        n, kind = int(rng.integers(1, 9)), k % 5
        if kind == 0:  # small integers on unit widths: bounds and pair sums often tie
            center, gap = np.arange(n + 1), rng.integers(-2, 4, n)
        elif kind == 1:  # ascending centres, uneven widths, mostly positive masses
            center, gap = np.cumsum(rng.uniform(0.05, 3, n + 1)), rng.normal(1, 1, n)
        elif kind == 2:  # unsorted centres (negative widths), masses of either sign
            center, gap = rng.uniform(-5, 5, n + 1), rng.normal(0, 2, n)
        elif kind == 3:  # masses near the float32 limit: overflow on the way
            center, gap = np.arange(n + 1) * 0.5, rng.uniform(-3.4e38, 3.4e38, n)
        else:  # shuffled unit steps, zero masses of both signs
            center, gap = rng.permutation(n + 1), rng.choice(np.array([-1, -0.0, 0.0, 1]), n)
        center = np.append(center, rng.normal(size=rng.integers(0, 3))).astype(np.float32)
        gap = gap.astype(np.float32)
        for i in range(n):
            r = rng.random()
            if r < 0.04:
                gap[i] = rng.choice([np.nan, np.inf, -np.inf])
            elif r < 0.06:
                center[i + 1] = center[i]
        yield center, gap


# Element steps of center, gap and prob.
STEPS = [(1, 1, 1), (2, 2, 2), (-1, -1, -1), (2, -1, -3), (-3, 1, 2)]


def check_on_random_inputs(func, reference, count=400, seed=20240611):
    """Call func on random inputs, with center, gap and prob laid out at varied element
    steps, and compare prob bit for bit with reference(center, gap); where that raises
    ZeroDivisionError, func must too and leave prob untouched. center, gap and the floats
    between prob's elements must keep their values. Returns the successful
    (center, gap, prob)."""
    done, raised = [], 0
    for k, (center, gap) in enumerate(random_inputs(count, seed)):
        steps, before = STEPS[k % len(STEPS)], np.full(len(gap) + 1, 7.25)
        (cbase, cview), (gbase, gview), (pbase, pview) = (
            spread(v, s) for v, s in zip((center, gap, before), steps))
        inputs = np.concatenate([cbase, gbase])
        note = f"case {k}: center={center.tolist()} gap={gap.tolist()} steps={steps}: "
        try:
            want = reference(center, gap)
        except ZeroDivisionError:
            raised += 1
            with pytest.raises(ZeroDivisionError):
                func(cview, gview, pview)
            want = before
        else:
            assert func(cview, gview, pview) is None
            done.append((center, gap, pview))
        assert_bits_equal(pview, want, note)
        assert (outside(pbase, steps[2]) == MARK).all(), note
        assert_bits_equal(np.concatenate([cbase, gbase]), inputs, note)
    assert 0 < raised < count // 4, raised
    return done


# Each vector is placed so that its last element is the last float before a page that
# any access faults on: reading or writing past the end crashes the child.
GUARDED_CALL = r"""
import ctypes, json, mmap, sys
import numpy as np
import zelvane.bake as bake

PAGE = mmap.PAGESIZE
libc = ctypes.CDLL(None, use_errno=True)
libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)

def guarded(values):
    if values is None:
        return None
    region = mmap.mmap(-1, 2 * PAGE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(region))
    if libc.mprotect(base + PAGE, PAGE, 0) != 0:  # PROT_NONE
        raise OSError(ctypes.get_errno(), "mprotect failed")
    vector = np.frombuffer(region, np.float32, len(values), PAGE - 4 * len(values))
    vector[:] = values
    return vector

name, touch_guard, args = json.loads(sys.argv[1])
center, gap, prob = map(guarded, args)
if touch_guard:
    ctypes.c_float.from_address(center.ctypes.data + 4 * len(center)).value
try:
    getattr(bake, name)(center, gap, prob)
    outcome = None
except Exception as e:
    outcome = [type(e).__name__, str(e)]
print(json.dumps([outcome, None if prob is None else prob.tolist()]))
"""


def run_guarded(name, center, gap, prob, touch_guard=False):
    """Call bake.<name> in a child process on float32 vectors (lists, or None) that each
    end right before an inaccessible page. Returns (rc, outcome, prob afterwards, stderr),
    outcome being None or [exception type name, message]; `touch_guard` first reads the
    float just past `center`."""
    case = json.dumps([name, touch_guard, [center, gap, prob]])
    rc, out, err = run_python(GUARDED_CALL, case)
    outcome, after = json.loads(out) if rc == 0 else (None, None)
    return rc, outcome, after, err
