"""A NumPy array and a memoryview of the same memory must not be told apart: each
array is run as itself and as a memoryview (never an ndarray, so never anything
but the buffer protocol), whatever shortcut a call might take for plain arrays."""

import types
import warnings

import numpy as np
import pytest

from conftest import assert_bits_equal, load_bake
from test_conversion import exporter_refusal

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

F = np.float32


def strided(values, step, dtype=F):
    """`values` every `step` elements of a larger array (reversed for a negative step)."""
    base = np.full(len(values) * abs(step) + 3, -7.25, dtype=dtype)
    view = base[1::step][: len(values)] if step > 0 else base[::step][: len(values)]
    view[:] = values
    return view


def outcome(f, *args):
    """What a call did: the exception's type and message, or None; and every argument's bits."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            f(*args)
            error = None
        except Exception as exc:  # noqa: BLE001 - the exception itself is compared
            error = (type(exc), str(exc))
    arrays = [np.array(a, dtype=F) if a is not None else None for a in args]
    return error, [(w.category, str(w.message)) for w in caught], arrays


def twins(make):
    """Two independent copies of the arguments `make` builds: as they are, and wrapped."""
    plain = make()
    wrapped = [memoryview(a) if isinstance(a, np.ndarray) else a for a in make()]
    return plain, wrapped


LAYOUTS = {
    "contiguous": lambda v: np.array(v, dtype=F),
    "stride 2": lambda v: strided(v, 2),
    "reversed": lambda v: strided(v, -1),
    "stride 3 reversed": lambda v: strided(v, -3),
}


@pytest.mark.parametrize("n", [1, 2, 7, 64])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_same_results_either_way(func, layout, n):
    rng = np.random.default_rng(n)
    to = LAYOUTS[layout]
    masses = rng.standard_normal(n).astype(F)

    def make():
        return [to(np.arange(n + 1)), to(masses), to(np.zeros(n + 1))]

    plain, wrapped = twins(make)
    got, want = outcome(func, *plain), outcome(func, *wrapped)
    assert got[:2] == want[:2]
    for a, b in zip(got[2], want[2]):
        assert_bits_equal(a, b)


class Sub(np.ndarray):
    pass


def odd_arrays():
    """Arrays that a shortcut for plain float32 vectors must leave to the buffer protocol."""
    one = np.zeros(10, F)
    big_endian = np.zeros(3, ">f4")
    read_only = np.zeros(3, F)
    read_only.flags.writeable = False
    return {
        "length 1, stride 20": lambda: one.copy()[3:4:5],
        "length 0, stride 8": lambda: one.copy()[3:3:2],
        "big-endian": lambda: big_endian.copy(),
        "read-only": lambda: read_only,
        "float64": lambda: np.zeros(3),
        "two-dimensional": lambda: np.zeros((3, 1), F),
        "zero stride, warns on write": lambda: np.broadcast_arrays(np.zeros(1, F), np.zeros(3, F))[0],
        "subclass": lambda: np.zeros(3, F).view(Sub),
    }


@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("name", sorted(odd_arrays()))
def test_odd_arrays_behave_as_exported(func, name, position):
    make_odd = odd_arrays()[name]

    def args(wrap):
        values = [np.arange(3, dtype=F), np.ones(2, F), np.zeros(3, F)]
        odd = make_odd()
        values[position] = memoryview(odd) if wrap else odd
        return values

    # A memoryview of these would be read-only or silent: NumPy's own export is the yardstick.
    got = outcome(func, *args(False))
    if name == "read-only":
        assert got[0] == exporter_refusal(make_odd())
        return
    if name == "zero stride, warns on write":
        assert [category for category, _ in got[1]] == [DeprecationWarning]
        return
    want = outcome(func, *args(True))
    assert got[:2] == want[:2]
    for a, b in zip(got[2], want[2]):
        assert_bits_equal(a, b)


def recording_module(kind, calls):
    """A module to bind as zelvane.bake.numpy whose `empty` records its calls."""
    def empty(n, dtype):
        calls.append(kind)
        return np.empty(n, dtype)

    if kind == "subclass property":
        class Module(types.ModuleType):
            empty = property(lambda self: empty)  # a type attribute comes before the dict
        module = Module("standin")
        module.__dict__["empty"] = None
    else:
        module = types.ModuleType("standin")
        if kind == "module __getattr__":
            module.__getattr__ = {"empty": empty}.__getitem__
        elif kind != "no empty":
            module.empty = empty
    module.float32 = np.float32
    return module


@pytest.mark.parametrize("kind", ["plain module", "module __getattr__", "subclass property", "no empty"])
def test_module_attributes_found_as_getattr_finds_them(func, monkeypatch, kind):
    calls = []
    module = recording_module(kind, calls)
    monkeypatch.setattr(bake, "numpy", module)
    args = (np.arange(3, dtype=F), np.ones(2, F), np.zeros(3, F))
    if kind == "no empty":
        with pytest.raises(AttributeError) as caught:
            func(*args)
        with pytest.raises(AttributeError) as direct:
            getattr(module, "empty")
        assert str(caught.value) == str(direct.value)
        return
    func(*args)
    assert calls == [kind] * (1 if func.__name__ == "fitgapmass" else 3)
