"""zelvane._rows: every row of a batch gets the bits that zelvane.bake gives it alone
(where it loads: NumPy 1.x), whatever the number of worker threads; a row it cannot fit
comes back as data, and what it refuses on its own raises a plain error."""

import numpy as np
import pytest

import zelvane
import zelvane._rows as rows
from conftest import assert_bits_equal, load_bake, run_python
from zelvane import _native
from zelvane._fit import METHODS


def raw_batch(n_rows, m, seed, shared):
    """float32 (center, gap) of every kind the kernels meet when called directly: uneven
    ascending or unsorted centres, masses of either sign, near the float32 limit, signed
    zeros, and the odd NaN or infinity (no zero width)."""
    rng = np.random.default_rng(seed)
    center = np.cumsum(rng.uniform(0.01, 3, (n_rows, m + 1)), axis=1)
    center[::7] = rng.uniform(-5, 5, (len(center[::7]), m + 1))
    gap = rng.normal(1, 1.5, (n_rows, m))
    gap[1::5] = rng.uniform(-3.4e38, 3.4e38, (len(gap[1::5]), m))
    gap[2::5] = rng.choice([-0.0, 0.0, 1.0, 2.0], (len(gap[2::5]), m))
    gap[rng.random(gap.shape) < 0.01] = np.nan
    gap[rng.random(gap.shape) < 0.01] = np.inf
    center, gap = center.astype(np.float32), gap.astype(np.float32)
    return (center[0] if shared else center), gap


def by_bake(method, center, gap):
    solver = getattr(load_bake(), METHODS[method])
    want = np.empty((gap.shape[0], gap.shape[1] + 1), np.float32)
    for r in range(gap.shape[0]):
        solver(center if center.ndim == 1 else center[r], gap[r], want[r])
    return want


@pytest.fixture(params=sorted(METHODS))
def method(request):
    return request.param


@pytest.mark.parametrize("shared", [True, False], ids=["shared", "per-row"])
@pytest.mark.parametrize("m", [1, 3, 32])
@pytest.mark.needs_bake
def test_same_bits_as_bake_row_by_row(method, shared, m):
    center, gap = raw_batch(1001, m, seed=m, shared=shared)
    want = by_bake(method, center, gap)
    for workers in (1, 2, 0, 7):
        out = np.full_like(want, -123.5)
        assert getattr(rows, method)(center, gap, out, workers) is None
        assert_bits_equal(out, want, f"workers={workers}: ")


@pytest.mark.parametrize("m", [1, 3, 32])
@pytest.mark.needs_bake
def test_one_histogram_gets_bakes_bits(method, m):
    # A 1-D gap is a batch of one row: what fit_density uses for one histogram.
    center, gap = raw_batch(300, m, seed=m + 10, shared=False)
    want = by_bake(method, center, gap)
    for r in range(300):
        out = np.full(m + 1, -123.5, np.float32)
        assert getattr(rows, method)(center[r], gap[r], out, 1) is None
        assert_bits_equal(out, want[r], f"row {r}: ")


@pytest.mark.parametrize("shared", [True, False], ids=["shared", "per-row"])
@pytest.mark.needs_bake
def test_fit_density_batches_give_bakes_bits(method, shared):
    rng = np.random.default_rng(8)
    center = np.cumsum(rng.uniform(0.05, 2, (300, 17)), axis=1)
    gap = rng.gamma(0.7, 1, (300, 16))
    center = center[0] if shared else center
    want = by_bake(method, center.astype(np.float32), gap.astype(np.float32))
    for workers in (1, 2, 0):
        assert_bits_equal(zelvane.fit_density(center, gap, method=method, workers=workers), want,
                          f"workers={workers}: ")


def test_zero_width_names_the_lowest_row(method):
    # The rows module hands the row back as data; zelvane._native raises what
    # zelvane.bake raises for it.
    center, gap = raw_batch(400, 5, seed=1, shared=False)
    center[300, 3] = center[300, 2]
    center[123, 5] = center[123, 4]
    for workers in (1, 2):
        out = np.empty((400, 6), np.float32)
        assert getattr(rows, method)(center, gap, out, workers) == (123, rows.ZERO_WIDTH, 4)
        with pytest.raises(ZeroDivisionError, match="^float division: row 123 has a zero width "
                                                    "between its centres 4 and 5$"):
            _native.fit_values(method, center, gap, out, workers)
    assert getattr(rows, method)(center[300], gap[300], np.empty(6, np.float32), 1) == (
        0, rows.ZERO_WIDTH, 2)
    with pytest.raises(ZeroDivisionError, match="^float division: a zero width between the "
                                                "centres 2 and 3$"):
        _native.fit_values(method, center[300], gap[300], np.empty(6, np.float32), 1)


@pytest.mark.needs_bake
def test_empty_batch_and_read_only_inputs(method):
    fit = getattr(rows, method)
    assert fit(np.zeros(4, np.float32), np.zeros((0, 3), np.float32),
               np.zeros((0, 4), np.float32), 0) is None
    center, gap = raw_batch(40, 4, seed=2, shared=False)
    center, gap = center[3], np.abs(gap)  # ascending centres; gap[0] is finite
    center.flags.writeable = gap.flags.writeable = False
    out = np.empty((40, 5), np.float32)
    fit(center, gap, out, 2)
    assert_bits_equal(out, by_bake(method, center.copy(), gap.copy()))
    assert_bits_equal(zelvane.fit_density(center, gap[0], method=method),
                      by_bake(method, center.copy(), gap[:1].copy())[0])


F32 = np.float32
C, G, O = np.zeros(4, F32), np.ones((2, 3), F32), np.zeros((2, 4), F32)


@pytest.mark.parametrize("args, error, message", [
    ((C, G, O), TypeError, r"^expected 4 arguments, got 3$"),
    ((C, G.astype(np.float64), O, 1), TypeError, "gap must hold float32, not items of format 'd'"),
    ((C, G.astype(">f4"), O, 1), TypeError, "gap must hold float32, not items of format '>f'"),
    ((C, G, O.astype(np.int32), 1), TypeError, "out must hold float32"),
    ((C, G, O[:, ::2], 1), ValueError, "not C-contiguous"),
    ((C, G, np.zeros((2, 4), F32)[::-1], 1), ValueError, "not C-contiguous"),
    ((C, np.ones((2, 2, 3), F32), O, 1), ValueError, "^gap must be 1-D or 2-D$"),
    ((C, G[0], O, 1), ValueError, "^out does not have the shape of the result$"),
    ((C[:1], np.ones((2, 0), F32), O, 1), ValueError, "^gap must hold at least one mass per row$"),
    ((C[:3], G, O, 1), ValueError, "^center must hold one more element than gap"),
    ((np.zeros((3, 4), F32), G, O, 1), ValueError, "^center must hold one more element than gap"),
    ((C, G, O[:, :3].copy(), 1), ValueError, "^out does not have the shape of the result$"),
    ((C, G, O[0], 1), ValueError, "^out does not have the shape of the result$"),
    # workers: a plain count from 0 to MAX_WORKERS; a bool or a float is no count,
    # and one too large to hold is refused as out of range rather than overflowing.
    ((C, G, O, -2), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, 1025), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, 10 ** 9), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, 2 ** 63), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, 2 ** 70), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, -2 ** 64), ValueError, "^workers must be from 0 to 1024$"),
    ((C, G, O, True), TypeError, "^workers must be an int, not bool$"),
    ((C, G, O, False), TypeError, "^workers must be an int, not bool$"),
    ((C, G, O, 1.0), TypeError, "^workers must be an int, not float$"),
    ((C, G, O, "1"), TypeError, "^workers must be an int, not str$"),
    ((C, G, bytes(32), 1), BufferError, None),
    ((C, [[1.0] * 3] * 2, O, 1), TypeError, None),
])
def test_refusals(method, args, error, message):
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(error, match=message):
        getattr(rows, method)(*args)
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert_bits_equal(a, b)


def test_out_sharing_memory_with_an_input_is_refused(method):
    storage = np.zeros(40, F32)
    gap, out = storage[:12].reshape(4, 3), storage[8:24].reshape(4, 4)
    with pytest.raises(ValueError, match="^out shares memory with gap$"):
        getattr(rows, method)(C, gap, out, 1)
    with pytest.raises(ValueError, match="^out shares memory with center$"):
        getattr(rows, method)(storage[24:28], G, storage[20:28].reshape(2, 4), 1)


def test_usable_cores_follows_the_affinity_mask():
    rc, out, err = run_python("""
        import os, zelvane._rows as rows
        print(rows.usable_cores(), len(os.sched_getaffinity(0)))
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(rows.usable_cores())
    """)
    assert rc == 0, err
    first, pinned = out.split("\n")[:2]
    mine, theirs = first.split()
    assert mine == theirs and pinned == "1"


IN_SUBINTERPRETER = """
import array, zelvane._rows as rows
center, gap = array.array("f", [0, 1, 2, 3]), array.array("f", [1, 2, 1])
out = array.array("f", [0] * 4)
rows.iterative(center, gap, out, 2)
print(list(out))
try:
    rows.exact(center, gap, array.array("f", [0] * 3), 1)
except ValueError as error:
    print(type(error).__name__, error)
print(rows.exact(array.array("f", [0, 1, 1, 3]), gap, out, 1), dict(rows.OPEN_INFO)["edf"])
"""


def test_loads_and_fits_in_a_subinterpreter():
    # From 3.12 on a new interpreter has a lock of its own and loads only the extension
    # modules that declare they support that; before, it shares the main one's.
    rc, out, err = run_python("""
        import sys
        try:
            import _interpreters as interpreters  # 3.13 on
        except ImportError:
            import _xxsubinterpreters as interpreters
        import zelvane._rows
        interpreter = interpreters.create()
        print(interpreters.run_string(interpreter, sys.argv[1]), flush=True)
        interpreters.destroy(interpreter)
    """, IN_SUBINTERPRETER)
    assert rc == 0, err
    assert out.splitlines() == ["[0.5, 1.5, 1.5, 0.5]",
                                "ValueError out does not have the shape of the result",
                                f"(0, {rows.ZERO_WIDTH}, 1) 1", "None"]


@pytest.mark.child_fault
def test_failed_thread_creation_is_an_exception():
    # Under a small address-space limit the threads' stacks cannot be mapped.
    rc, out, err = run_python("""
        import resource
        import numpy as np
        import zelvane._rows as rows
        gap = np.ones((64 * 16, 3), np.float32)
        out = np.empty((64 * 16, 4), np.float32)
        center = np.arange(4, dtype=np.float32)
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        limit = pages * resource.getpagesize() + 64 * 2 ** 20
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        try:
            rows.iterative(center, gap, out, 64)
        except RuntimeError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        rows.iterative(center, gap, out, 64)
        print((out == 1).all())
    """)
    assert rc == 0, err
    lines = out.split("\n")
    assert lines[0].startswith("cannot start 64 worker threads: "), out
    assert lines[1] == "True"  # unit masses on unit widths: a flat density
