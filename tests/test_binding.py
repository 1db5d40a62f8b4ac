"""Argument binding of fitgapmass and fitgapmass_meh: counts, keywords, the
plain call slot and the vector calling convention, and the traceback entry
that a binding failure carries."""
import ctypes
import itertools

import numpy as np
import pytest

from zelvane import bake

from conftest import FUNCTION_LINES

NAMES = ("center", "gap", "prob")



def vectors():
    """A valid call whose result differs from its reversal, so a swapped or
    misbound argument shows in the output."""
    return (np.array([0, 1, 3], np.float32), np.array([0.5, 1.5], np.float32),
            np.zeros(3, np.float32))


def reference(f):
    a, b, d = vectors()
    f(a, b, d)
    return d


def count_error(f, given):
    return f"{f.__name__}() takes exactly 3 positional arguments ({given} given)"


def unexpected(f, name):
    return f"{f.__name__}() got an unexpected keyword argument '{name}'"


def multiple(f, name):
    return f"{f.__name__}() got multiple values for keyword argument '{name}'"


# Calls through the C entry points, so that keyword forms the interpreter's own
# call syntax cannot produce reach the function.  A NULL pointer is None.
_api = ctypes.pythonapi
_get_slot = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_int)(("PyType_GetSlot", _api))
_TERNARY = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                ctypes.c_size_t, ctypes.c_void_p)(("PyObject_Vectorcall", _api))
_TP_CALL = 50


def plain_call(f, args, kwargs):
    """The type's tp_call slot, given a keyword mapping (or NULL)."""
    return _TERNARY(_get_slot(type(f), _TP_CALL))(f, tuple(args), None if kwargs is None else id(kwargs))


def vectorcall(f, args, kwnames=None, kwvalues=()):
    values = (ctypes.py_object * max(1, len(args) + len(kwvalues)))(*args, *kwvalues)
    return _vectorcall(f, values, len(args), None if kwnames is None else id(kwnames))


BOUND = [
    lambda f, a, b, d: f(a, b, d),
    lambda f, a, b, d: f(a, gap=b, prob=d),
    lambda f, a, b, d: f(prob=d, center=a, gap=b),
    lambda f, a, b, d: f(a, b, d, **{}),
    lambda f, a, b, d: f(**{"".join("center"): a, "".join("gap"): b, "".join("prob"): d}),  # not interned
    lambda f, a, b, d: f(a, b, **{type("S", (str,), {})("prob"): d}),  # str subclass, equal by ==
    lambda f, a, b, d: plain_call(f, (a, b), {"prob": d}),
    lambda f, a, b, d: plain_call(f, (a, b, d), {}),
    lambda f, a, b, d: plain_call(f, (a, b, d), None),
    lambda f, a, b, d: vectorcall(f, (a,), ("prob", "gap"), (d, b)),
]


@pytest.mark.parametrize("call", BOUND)
def test_bound_calls_fill_prob(func, call):
    a, b, d = vectors()
    assert call(func, a, b, d) is None
    np.testing.assert_array_equal(d, reference(func))
    np.testing.assert_array_equal(a, vectors()[0])
    np.testing.assert_array_equal(b, vectors()[1])


@pytest.mark.parametrize("positional", range(3))
def test_keyword_order_never_matters(func, positional):
    a, b, d = vectors()
    want = reference(func)
    for order in itertools.permutations(NAMES[positional:]):
        a, b, d = vectors()
        given = dict(zip(NAMES, (a, b, d)))
        func(*(a, b, d)[:positional], **{name: given[name] for name in order})
        np.testing.assert_array_equal(d, want)


ERRORS = [
    (lambda f, a, b, d: f(), count_error, 0),
    (lambda f, a, b, d: f(a, b), count_error, 2),
    (lambda f, a, b, d: f(a, b, d, a), count_error, 4),
    (lambda f, a, b, d: f(a, b, d, a, x=2), count_error, 4),
    (lambda f, a, b, d: f(a, prob=d), count_error, 1),
    (lambda f, a, b, d: f(gap=b, prob=d), count_error, 0),
    (lambda f, a, b, d: f(center=a, gap=b, x=2), count_error, 2),
    (lambda f, a, b, d: f(a, center=a, x=2), count_error, 1),  # missing gap wins over both
    (lambda f, a, b, d: f(a, b, d, center=a), multiple, "center"),
    (lambda f, a, b, d: f(a, b, prob=d, center=a), multiple, "center"),
    (lambda f, a, b, d: f(a, b, d, x=2), unexpected, "x"),
    (lambda f, a, b, d: f(a, b, d, x=2, center=a), unexpected, "x"),  # first bad name decides
    (lambda f, a, b, d: f(a, b, d, center=a, x=2), multiple, "center"),
    (lambda f, a, b, d: f(a, b, d, **{"".join("gap"): b}), multiple, "gap"),
    (lambda f, a, b, d: f(a, b, d, probe=d), unexpected, "probe"),
    (lambda f, a, b, d: plain_call(f, (a, b), {}), count_error, 2),  # empty mapping: no keywords
    (lambda f, a, b, d: plain_call(f, (a, b, d), {"x": 2, "center": a}), unexpected, "x"),
    (lambda f, a, b, d: plain_call(f, (a, b, d), {"center": a, "x": 2}), multiple, "center"),
    (lambda f, a, b, d: vectorcall(f, (a, b), ()), count_error, 2),  # empty kwnames: no keywords
    (lambda f, a, b, d: vectorcall(f, (a, b), (1,), (d,)), count_error, 2),  # 1 == "prob" is false
    (lambda f, a, b, d: vectorcall(f, (a, b), (None,), (d,)), count_error, 2),
    (lambda f, a, b, d: vectorcall(f, (a, b, d), (1,), (d,)),
     lambda f, _: f"{f.__name__}() keywords must be strings", None),
    # A mapping with a non-string key is refused before binding starts.
    (lambda f, a, b, d: plain_call(f, (a, b), {1: d}), lambda f, _: "keywords must be strings", None),
    (lambda f, a, b, d: plain_call(f, (a, b, d), {1: d}), lambda f, _: "keywords must be strings", None),
    (lambda f, a, b, d: plain_call(f, (a, b), {"prob": d, 1: d}), lambda f, _: "keywords must be strings", None),
]


@pytest.mark.parametrize("convertible", [True, False], ids=["vectors", "unconvertible"])
@pytest.mark.parametrize("call, message, arg", ERRORS)
def test_binding_errors(func, call, message, arg, convertible):
    # Binding comes before conversion: objects that no conversion accepts must
    # get the very same binding error.
    a, b, d = vectors() if convertible else ([0.0], "gap", 3)
    with pytest.raises(TypeError) as info:
        call(func, a, b, d)
    assert str(info.value) == message(func, arg)
    if convertible:
        np.testing.assert_array_equal(d, np.zeros(3, np.float32))


@pytest.mark.parametrize("call", [
    lambda f, a, b, d: f(a, b),
    lambda f, a, b, d: f(a, b, d, x=2),
    lambda f, a, b, d: f(a, b, np.zeros(3)),  # a conversion failure carries the same entry
])
def test_failure_has_one_entry_at_function_line(func, call):
    with pytest.raises((TypeError, ValueError)) as info:
        call(func, *vectors())
    entries = []
    tb = info.value.__traceback__
    while tb is not None:
        entries.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    name = func.__name__
    assert entries[-1] == (f"zelvane.bake.{name}", "zelvane/bake", FUNCTION_LINES[name])
    assert [e for e in entries if e[1] == "zelvane/bake"] == entries[-1:]


class Touchy(str):
    """A keyword name whose comparison with anything raises."""

    raised = []
    __hash__ = str.__hash__

    def __eq__(self, other):
        self.raised.append(RuntimeError(f"compared {self!s} with {other!s}"))
        raise self.raised[-1]


@pytest.mark.parametrize("call", [
    lambda f, a, b, d: f(a, b, **{Touchy("prob"): d}),
    lambda f, a, b, d: vectorcall(f, (a, b), (Touchy("prob"),), (d,)),
    lambda f, a, b, d: plain_call(f, (a, b), {Touchy("prob"): d}),
])
def test_keyword_comparison_error_propagates(func, call):
    Touchy.raised.clear()
    a, b, d = vectors()
    with pytest.raises(RuntimeError) as info:
        call(func, a, b, d)
    assert Touchy.raised and info.value is Touchy.raised[0]
    np.testing.assert_array_equal(d, np.zeros(3, np.float32))
