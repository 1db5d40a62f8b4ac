"""Argument binding of both functions: counts, keywords, the plain call slot and the
vector calling convention, and the traceback entry that a failure carries."""
import ctypes
import itertools
import traceback

import numpy as np
import pytest

from conftest import FUNCTION_LINES, module_frames

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake

NAMES = ("center", "gap", "prob")
COUNT = "{}() takes exactly 3 positional arguments ({} given)"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
MULTIPLE = "{}() got multiple values for keyword argument '{}'"
# The one traceback entry in "zelvane/bake", (line, name), that a failure of each function carries.
ENTRY = {name: (line, f"zelvane.bake.{name}") for name, line in FUNCTION_LINES.items()}


def vectors():  # a valid call whose result changes when any two arguments are swapped
    return tuple(np.array(v, np.float32) for v in ([0, 1, 3], [0.5, 1.5], [0, 0, 0]))


def reference(f):
    a, b, d = vectors()
    f(a, b, d)
    return d.tolist()


# The C entry points, which take keyword forms that the call syntax cannot make,
# read straight from the type object (its layout is the same from 3.8 to 3.12 on
# 64-bit builds): tp_vectorcall_offset at byte 56, tp_call at byte 128.
_obj, _ptr = ctypes.py_object, ctypes.c_void_p
_TERNARY = ctypes.PYFUNCTYPE(_obj, _obj, _obj, _ptr)
_VECTORCALL = ctypes.PYFUNCTYPE(_obj, _obj, ctypes.POINTER(_obj), ctypes.c_size_t, _ptr)


def plain_call(f, args, kwargs):
    """The type's tp_call slot, given a keyword mapping or NULL (None)."""
    tp_call = _ptr.from_address(id(type(f)) + 128).value
    return _TERNARY(tp_call)(f, tuple(args), None if kwargs is None else id(kwargs))


def vectorcall(f, args, kwnames=None, kwvalues=()):
    offset = ctypes.c_ssize_t.from_address(id(type(f)) + 56).value
    entry = _VECTORCALL(_ptr.from_address(id(f) + offset).value)
    values = (ctypes.py_object * max(1, len(args) + len(kwvalues)))(*args, *kwvalues)
    return entry(f, values, len(args), None if kwnames is None else id(kwnames))


def keyword_mix(positional, order):
    """A call passing the first `positional` arguments by position, the rest by keyword in `order`."""
    return lambda f, *args: f(*args[:positional], **{name: args[NAMES.index(name)] for name in order})


@pytest.mark.parametrize("call", [keyword_mix(p, order) for p in range(4)
                                  for order in itertools.permutations(NAMES[p:])] + [
    lambda f, a, b, d: f(**{"".join("center"): a, "".join("gap"): b, "".join("prob"): d}),  # not interned
    lambda f, a, b, d: f(a, b, **{type("S", (str,), {})("prob"): d}),  # str subclass, equal by ==
    lambda f, a, b, d: plain_call(f, (a, b), {"prob": d}),
    lambda f, a, b, d: plain_call(f, (a, b, d), None),
    lambda f, a, b, d: vectorcall(f, (a,), ("prob", "gap"), (d, b)),
])
def test_bound_calls_fill_prob(func, call):
    a, b, d = vectors()
    assert call(func, a, b, d) is None
    assert [v.tolist() for v in (a, b, d)] == [v.tolist() for v in vectors()[:2]] + [reference(func)]


@pytest.mark.parametrize("call, message, arg", [
    (lambda f, a, b, d: f(), COUNT, 0),
    (lambda f, a, b, d: f(a, b), COUNT, 2),
    (lambda f, a, b, d: f(a, b, d, a), COUNT, 4),
    (lambda f, a, b, d: f(a, b, d, a, x=2), COUNT, 4),  # too many, whatever the keywords
    (lambda f, a, b, d: f(a, prob=d), COUNT, 1),
    (lambda f, a, b, d: f(gap=b, prob=d), COUNT, 0),
    (lambda f, a, b, d: f(center=a, gap=b, x=2), COUNT, 2),
    (lambda f, a, b, d: f(a, center=a, x=2), COUNT, 1),  # missing gap wins over both
    (lambda f, a, b, d: f(a, b, d, center=a), MULTIPLE, "center"),
    (lambda f, a, b, d: f(a, b, prob=d, center=a), MULTIPLE, "center"),
    (lambda f, a, b, d: f(a, b, d, x=2), UNEXPECTED, "x"),
    (lambda f, a, b, d: f(a, b, d, x=2, center=a), UNEXPECTED, "x"),  # the first bad name decides
    (lambda f, a, b, d: f(a, b, d, center=a, x=2), MULTIPLE, "center"),
    (lambda f, a, b, d: f(a, b, d, **{"".join("gap"): b}), MULTIPLE, "gap"),
    (lambda f, a, b, d: f(a, b, d, probe=d), UNEXPECTED, "probe"),
    (lambda f, a, b, d: type(f).__call__(f, a), COUNT, 1),
    (lambda f, a, b, d: plain_call(f, (a, b), {}), COUNT, 2),  # empty mapping: no keywords
    (lambda f, a, b, d: plain_call(f, (a, b, d), {"x": 2, "center": a}), UNEXPECTED, "x"),  # in order
    (lambda f, a, b, d: vectorcall(f, (a, b), ()), COUNT, 2),  # empty kwnames: no keywords
    (lambda f, a, b, d: vectorcall(f, (a, b), (1,), (d,)), COUNT, 2),  # 1 == "prob" is false
    (lambda f, a, b, d: vectorcall(f, (a, b, d), (1,), (d,)), "{}() keywords must be strings", 0),
    # A mapping with a non-string key is refused before binding starts.
    (lambda f, a, b, d: plain_call(f, (a, b), {1: d}), "keywords must be strings", 0),
    (lambda f, a, b, d: plain_call(f, (a, b), {"prob": d, 1: d}), "keywords must be strings", 0),
])
@pytest.mark.parametrize("convertible", [True, False], ids=["vectors", "unconvertible"])
def test_binding_errors(func, call, message, arg, convertible):
    # Binding comes before conversion: unconvertible objects get the same error.
    a, b, d = vectors() if convertible else ([0.0], "gap", 3)
    with pytest.raises(TypeError) as info:
        call(func, a, b, d)
    assert str(info.value) == message.format(func.__name__, arg)
    assert not convertible or d.tolist() == [0, 0, 0]
    if message.startswith("{}()"):  # raised by the function itself
        innermost = traceback.extract_tb(info.value.__traceback__)[-1]
        assert module_frames(info.value) == [ENTRY[func.__name__]] == [(innermost.lineno, innermost.name)]


class Touchy(str):  # a keyword name whose comparison raises
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError(f"compared {self!s} with {other!s}")


COMPARED = RuntimeError("compared prob with prob")


@pytest.mark.parametrize("call, error", [
    (lambda f, a, b, d: f(a, b, **{Touchy("prob"): d}), COMPARED),
    (lambda f, a, b, d: vectorcall(f, (a, b), (Touchy("prob"),), (d,)), COMPARED),
    (lambda f, a, b, d: plain_call(f, (a, b), {Touchy("prob"): d}), COMPARED),
    (lambda f, a, b, d: f(a, b, np.zeros(3)),
     ValueError("Buffer dtype mismatch, expected 'float' but got 'double'")),
])
def test_propagated_errors_carry_the_same_entry(func, call, error):
    a, b, d = vectors()
    with pytest.raises(type(error)) as info:
        call(func, a, b, d)
    assert (str(info.value), module_frames(info.value)) == (str(error), [ENTRY[func.__name__]])
    assert d.tolist() == [0, 0, 0]
