"""Long native calls of the rows module under Ctrl-C, and scratch memory that a call
cannot have.

A child process starts a fit that takes tens of seconds, says so on a line of its
own, and gets SIGINT shortly after: it must end with KeyboardInterrupt (the last line
of its traceback), print no result, and have fitted only part of the rows (the
proof that the workers stopped, whatever the clock says). The time from SIGINT to
the child's exit is printed (run with -s to see it), never asserted; the timeout
only guards against a hang."""

import re
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

from zelvane import _rows

# Fills `out` with NaN, calls the fit, and on KeyboardInterrupt prints how many rows
# got their values (a row's first value is written when its fit succeeds) before
# letting the exception end the process.
CHILD = """
import sys
import numpy as np
from zelvane import _rows

kind, workers = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
if kind == "smooth":    # 2 * 10^5 histograms of 32 bins: about 5 s on one core
    rows, m, refine = 2 * 10**5, 32, 4
    edges = np.linspace(0.0, 1.0, m + 1)
    masses = rng.uniform(0.1, 1.0, (rows, m))
    out = np.full((rows, m * refine + 1), np.nan)
    call = lambda: _rows.smooth(edges, masses, out, refine, workers)
elif kind == "counts":  # 2 * 10^5 histograms of counts, lambda chosen per row
    rows, m, refine = 2 * 10**5, 16, 4
    edges = np.linspace(0.0, 1.0, m + 1)
    masses = rng.multinomial(500, np.full(m, 1.0 / m), size=rows).astype(np.float64)
    out = np.full((rows, m * refine + 1 + 13), np.nan)
    call = lambda: _rows.open(edges, masses, out, refine, -1.0, 3.0, None, None, workers)
elif kind == "counts_one":  # 400 bins, a 1 in every 7th, cut 256 times, lambda chosen: a second or more
    rows, m, refine = 1, 400, 256  # an output of 102,414 numbers: a small call by its size
    edges = np.linspace(0.0, 1.0, m + 1)
    masses = np.where(np.arange(m) % 7 == 0, 1.0, 0.0)
    out = np.full((rows, m * refine + 1 + 13), np.nan)
    call = lambda: _rows.open(edges, masses, out[0], refine, -1.0, 3.0, None, None, workers)
else:                   # one histogram of 2 * 10^4 bins cut 256 times: one kernel call of seconds
    rows, m, refine = 1, 20000, 256
    edges = np.linspace(0.0, 1.0, m + 1)
    masses = rng.uniform(0.1, 1.0, m)  # irregular: many factorisations, over 10 s
    out = np.full((rows, m * refine + 1), np.nan)
    call = lambda: _rows.smooth(edges, masses, out[0], refine, workers)
print("calling", flush=True)
try:
    call()
except KeyboardInterrupt:
    print("fitted", int(np.count_nonzero(~np.isnan(out[:, 0]))), "of", rows, flush=True)
    raise
print("result", flush=True)
"""


def interrupt(kind, workers):
    """Runs the child, sends SIGINT 0.3 s into its call; (returncode, stdout, stderr)."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(workers)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             cwd=tempfile.gettempdir())
    try:
        first = child.stdout.readline()
        assert first == "calling\n", first + child.stderr.read()
        time.sleep(0.3)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
        took = time.perf_counter() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    print(f"\n{kind}, workers={workers}: exited {took:.3f} s after SIGINT")
    return child.returncode, out, err


def fitted_rows(out):
    """(rows fitted, rows asked) from the child's line after the interrupt."""
    found = re.fullmatch(r"fitted (\d+) of (\d+)\n", out)
    assert found, out
    return int(found.group(1)), int(found.group(2))


@pytest.mark.parametrize("kind, workers", [("smooth", 1), ("smooth", 2), ("counts", 1)])
def test_ctrl_c_stops_a_long_batch(kind, workers):
    rc, out, err = interrupt(kind, workers)
    assert rc != 0 and err.strip().splitlines()[-1] == "KeyboardInterrupt", err
    assert "result" not in out
    fitted, rows = fitted_rows(out)
    assert fitted < rows  # the workers stopped: most rows were never fitted


@pytest.mark.parametrize("kind", ["one", "counts_one"])
def test_ctrl_c_stops_one_large_fit(kind):
    # A single row, however small its output: the counts-aware fit's Newton steps
    # and its search over lambda see the stop flag.
    rc, out, err = interrupt(kind, 1)
    assert rc != 0 and err.strip().splitlines()[-1] == "KeyboardInterrupt", err
    assert "result" not in out
    # The kernel gave up (its values untouched), rather than finishing its fit first.
    assert fitted_rows(out) == (0, 1)


def test_scratch_beyond_the_memory_available_is_a_memory_error_naming_the_bytes():
    # 3 * 10^6 bins cut 256 times: scratch for 7.7 * 10^8 knots, hundreds of GB for the
    # one worker, refused before any of it is allocated (out itself is never touched,
    # so it costs nothing).
    m, refine = 3_000_000, 256
    edges, masses = np.linspace(0.0, 1.0, m + 1), np.ones(m)
    out = np.empty(m * refine + 1)
    with pytest.raises(MemoryError) as caught:
        _rows.smooth(edges, masses, out, refine, 1)
    found = re.fullmatch(r"cannot allocate (\d+) bytes of scratch memory for 1 worker: this "
                         r"process may have at most (\d+) bytes", str(caught.value))
    assert found, str(caught.value)
    asked, available = int(found.group(1)), int(found.group(2))
    assert asked > available == _rows.memory_bytes() and asked > m * refine * 8
