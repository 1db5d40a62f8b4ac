"""Every call path gives back what it borrowed: after many calls, succeeding or
failing, the arguments, the scratch arrays and the function hold no extra
references, and nothing stays exported."""

import sys
import types

import numpy as np
import pytest

from conftest import f32, load_bake

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

CENTER, GAP, PROB = f32(0, 1, 2, 3), f32(1, 2, 1), np.zeros(4, np.float32)
ZERO_WIDTH = f32(0, 1, 1, 3)
CALLS = {
    "solved": lambda f: f(CENTER, GAP, PROB),
    "by keyword": lambda f: f(prob=PROB, gap=GAP, center=CENTER),
    "too few": lambda f: f(CENTER, GAP),
    "unexpected keyword": lambda f: f(CENTER, GAP, PROB, extra=GAP),
    "bad prob": lambda f: f(CENTER, GAP, PROB.astype(np.float64)),
    "two-dimensional gap": lambda f: f(CENTER, GAP.reshape(1, 3), PROB),
    "zero width": lambda f: f(ZERO_WIDTH, GAP, PROB),
    "short prob": lambda f: f(CENTER, GAP, PROB[:2]),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_call_paths_keep_reference_counts(func, call):
    watched = (CENTER, GAP, PROB, ZERO_WIDTH, func, bake.numpy)

    def run(times):
        for _ in range(times):
            try:
                call(func)
            except (TypeError, ValueError, ZeroDivisionError):
                pass

    run(10)
    before = [sys.getrefcount(obj) for obj in watched]
    run(200)
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_scratch_arrays_are_released(func, monkeypatch):
    made = []

    def empty(n, dtype):
        made.append(np.zeros(n, np.float32))
        return made[-1]

    monkeypatch.setattr(bake, "numpy", types.SimpleNamespace(empty=empty, float32=np.float32))
    func(CENTER, GAP, PROB)
    with pytest.raises(ZeroDivisionError):
        func(ZERO_WIDTH, GAP, PROB)
    # Each array is now referred to by the list alone, like one never handed out.
    made.append(np.zeros(1, np.float32))
    assert len(made) > 2 and len({sys.getrefcount(array) for array in made}) == 1
