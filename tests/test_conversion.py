"""Conversion of the three arguments to float32 vector views: which buffers are
accepted and how they are addressed, the exact refusals, their order, and that
no buffer stays exported after a call, failing or not."""
import array
import ctypes

import numpy as np
import pytest

from zelvane import bake
from exporter import Exporter, PyBuffer, ReadOnlyExporter

REQUEST = 0x0018 | 0x0004 | 0x0001  # PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE
CENTER, GAP, PROB = [0.0, 1.0, 3.0], [0.5, 1.5], [0.0, 0.0, 0.0]
VALUES = (CENTER, GAP, PROB)

_get_buffer = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)(
    ("PyObject_GetBuffer", ctypes.pythonapi))
_release = ctypes.PYFUNCTYPE(None, ctypes.POINTER(PyBuffer))(("PyBuffer_Release", ctypes.pythonapi))



def reference(f):
    prob = np.zeros(3, np.float32)
    f(np.array(CENTER, np.float32), np.array(GAP, np.float32), prob)
    return prob.tolist()


def exporter_refusal(obj):
    """What the object itself raises for the request a conversion makes."""
    view = PyBuffer()
    try:
        _get_buffer(obj, ctypes.byref(view), REQUEST)
    except Exception as error:
        return type(error), str(error)
    _release(ctypes.byref(view))
    raise AssertionError(f"{obj!r} grants a writable buffer")


# Layouts of one argument: values -> (object, function reading the values back
# as the vector's elements, checking on the way that nothing else was touched).
def _strided(values):
    base = np.full(2 * len(values), 7, np.float32)
    base[::2] = values

    def read():
        assert (base[1::2] == 7).all()
        return base[::2].tolist()
    return base[::2], read


def _reversed(values):
    base = np.array(values[::-1], np.float32)
    return base[::-1], lambda: base[::-1].tolist()


def _array_f(values):
    arr = array.array("f", values)
    return arr, lambda: arr.tolist()


def _exported(step=1, reverse=False, **layout):
    def make(values):
        raw = [7.0] * (step * len(values))
        raw[::step] = values[::-1] if reverse else values
        e = Exporter(raw, shape=[len(values)], offset=4 * (len(raw) - 1) if reverse else 0, **layout)

        def read():
            assert (e.exports, e.requests, e.flags) == (0, 1, REQUEST)
            got = e.floats()
            if step == 2:
                assert got[1::2] == [7.0] * len(values)
            return got[::-1] if reverse else got[::step]
        return e, read
    return make


LAYOUTS = {
    "step2": _strided, "reversed": _reversed, "array.array": _array_f,
    "exporter": _exported(),
    "exporter-no-strides": _exported(strides=None),
    "exporter-step2": _exported(step=2, strides=[8]),
    "exporter-negative": _exported(reverse=True, strides=[-4]),
    "exporter-suboffsets": _exported(suboffsets=[-1]),
}


@pytest.mark.parametrize("position", range(3), ids=["center", "gap", "prob"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_accepted_layouts_address_elements_by_stride(func, layout, position):
    args = [np.array(v, np.float32) for v in VALUES]
    args[position], read_back = LAYOUTS[layout](VALUES[position])
    assert func(*args) is None
    want = reference(func) if position == 2 else VALUES[position]
    assert read_back() == want
    if position != 2:
        assert args[2].tolist() == reference(func)


def test_same_array_for_center_and_prob(func):
    # prob aliases center, which is read before prob is first written.
    shared = np.array(CENTER, np.float32)
    func(shared, np.array(GAP, np.float32), shared)
    assert shared.tolist() == reference(func)
    e = Exporter(CENTER)
    func(e, np.array(GAP, np.float32), e)
    assert (e.floats(), e.exports, e.requests) == (reference(func), 0, 2)


class Reached(Exception):
    """Raised by the stand-in numpy.empty: every argument was converted."""


class _NoScratch:
    float32 = np.float32

    @staticmethod
    def empty(*args, **kwargs):
        raise Reached


@pytest.mark.parametrize("position", range(3), ids=["center", "gap", "prob"])
@pytest.mark.parametrize("obj", [
    lambda: None, lambda: np.zeros(0, np.float32), lambda: array.array("f"),
    lambda: Exporter([], shape=[0], suboffsets=[0]),            # no bytes: suboffsets not examined
    lambda: Exporter([], shape=[3], strides=None, suboffsets=[0]),
], ids=["None", "empty", "empty-array.array", "empty-suboffsets", "zero-len-suboffsets"])
def test_empty_vectors_are_accepted(func, monkeypatch, obj, position):
    # No call with an empty vector keeps to every solver's length rules, so
    # the scratch allocation is made to fail: reaching it means that the
    # three conversions succeeded.
    monkeypatch.setattr(bake, "numpy", _NoScratch)
    args = [array.array("f", v) for v in VALUES]
    args[position] = obj()
    with pytest.raises(Reached):
        func(*args)
    assert not isinstance(args[position], Exporter) or args[position].exports == 0


def refused(f, position, bad):
    """Call with `bad` at `position`, valid array.arrays elsewhere; check that
    afterwards no argument is exported and return the exception."""
    args = [array.array("f", v) for v in VALUES]
    args[position] = bad
    with pytest.raises(Exception) as info:
        f(*args)
    for arg in args:
        if isinstance(arg, array.array):
            arg.append(0.0)  # BufferError while any export is outstanding
        if isinstance(arg, Exporter):
            assert arg.exports == 0
    if position != 2:
        assert args[2][:3].tolist() == PROB
    return info.value


def mismatch(got, expected="'float'"):
    return f"Buffer dtype mismatch, expected {expected} but got {got}"


def readonly_array():
    a = np.zeros(3, np.float32)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("position", range(3), ids=["center", "gap", "prob"])
@pytest.mark.parametrize("make", [
    readonly_array, lambda: b"\0" * 12, ReadOnlyExporter, lambda: [0.0, 1.0, 2.0], lambda: (0.0,), lambda: 1.5,
], ids=["readonly", "bytes", "readonly-exporter", "list", "tuple", "number"])
def test_exporter_refusal_passes_unchanged(func, make, position):
    error = refused(func, position, make())
    assert (type(error), str(error)) == exporter_refusal(make())


@pytest.mark.parametrize("position", range(3), ids=["center", "gap", "prob"])
@pytest.mark.parametrize("make, message", [
    (lambda: np.zeros(3), mismatch("'double'")),
    (lambda: np.zeros(3, np.int32), mismatch("'int'")),
    (lambda: np.zeros(3, np.int64), mismatch("'long'")),
    (lambda: np.zeros(3, np.complex64), mismatch("'complex float'")),
    (lambda: np.zeros(3, bool), mismatch("'bool'")),
    (lambda: np.zeros(3, object), mismatch("Python object")),
    (lambda: bytearray(12), mismatch("'unsigned char'")),
    (lambda: array.array("d", [0.0] * 3), mismatch("'double'")),
    (lambda: np.zeros(3, np.float16), "Does not understand character buffer dtype format string ('e')"),
    (lambda: np.zeros(3, ">f4"), "Big-endian buffer not supported on little-endian compiler"),
    (lambda: np.zeros((3, 1), np.float32), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.zeros((1, 3), np.float32), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.zeros((), np.float32), "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_refused_arrays(func, make, message, position):
    error = refused(func, position, make())
    assert (type(error), str(error)) == (ValueError, message)


@pytest.mark.parametrize("fmt", ["f", "@f", "=f", "<f", "^f", " f", "\r\n f", "1f", "T{f}", "T{f:x:}", "()f",
                                 ":name:f", "f}d", "^T{:a:f}"])
def test_format_accepted(func, fmt):
    prob = Exporter(PROB, fmt=fmt)
    func(np.array(CENTER, np.float32), np.array(GAP, np.float32), prob)
    assert (prob.floats(), prob.exports) == (reference(func), 0)


DESCRIPTIONS = {"?": "'bool'", "c": "'char'", "b": "'signed char'", "B": "'unsigned char'", "h": "'short'",
                "H": "'unsigned short'", "i": "'int'", "I": "'unsigned int'", "l": "'long'",
                "L": "'unsigned long'", "q": "'long long'", "Q": "'unsigned long long'", "d": "'double'",
                "g": "'long double'", "=g": "'long double'", "Zf": "'complex float'", "Zd": "'complex double'",
                "Zg": "'complex long double'", "O": "Python object", "s": "a string", "p": "a string",
                "": "end", "x": "end", " :a: ": "end"}


@pytest.mark.parametrize("fmt, message", [(k, mismatch(v)) for k, v in DESCRIPTIONS.items()] + [
    ("2f", mismatch("'float'", "end")), ("ff", mismatch("'float'", "end")), ("0f", mismatch("'float'", "end")),
    ("fd", mismatch("'double'", "end")), ("fxZf", mismatch("'complex float'", "end")),
    ("xf", "Buffer dtype mismatch; next field is at offset 4 but 0 expected"),
    ("5xf", "Buffer dtype mismatch; next field is at offset 8 but 0 expected"),
    ("=xf", "Buffer dtype mismatch; next field is at offset 1 but 0 expected"),
    ("^3xf", "Buffer dtype mismatch; next field is at offset 3 but 0 expected"),
    (">f", "Big-endian buffer not supported on little-endian compiler"),
    ("!f", "Big-endian buffer not supported on little-endian compiler"),
    ("Zq", "Unexpected format string character: 'Z'"),
    ("Tf", "Buffer acquisition: Expected '{' after 'T'"),
    ("e", "Does not understand character buffer dtype format string ('e')"),
    ("(a)f", "Does not understand character buffer dtype format string ('a')"),
    ("(2)f", "Expected 0 dimension(s), got 1"),
    ("(2, 3)f", "Expected 0 dimension(s), got 2"),
    ("(2x)f", "Expected a comma in format string, got 'x'"),
    ("(", "Unexpected end of format string, expected ')'"),
    ("2(1)f", "Cannot handle repeated arrays in format string"),
])
def test_format_refused(func, fmt, message):
    bad = Exporter(PROB, fmt=fmt)
    error = refused(func, 1, bad)
    assert (type(error), str(error), bad.requests) == (ValueError, message, 1)


@pytest.mark.parametrize("layout, message", [
    (dict(itemsize=8), "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"),
    (dict(itemsize=1), "Item size of buffer (1 byte) does not match size of 'float' (4 bytes)"),
    (dict(itemsize=5, fmt="fx"), "Item size of buffer (5 bytes) does not match size of 'float' (4 bytes)"),
    (dict(ndim=0, shape=None), "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (dict(ndim=3, shape=[1, 1, 3], fmt="d"), "Buffer has wrong number of dimensions (expected 1, got 3)"),
    (dict(fmt="d", itemsize=8), mismatch("'double'")),                 # format before item size
    (dict(itemsize=8, suboffsets=[0]), "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"),
    (dict(strides=None, suboffsets=[-1]), "Buffer exposes suboffsets but no strides"),
    (dict(strides=None, suboffsets=[5]), "Buffer exposes suboffsets but no strides"),
    (dict(strides=None, shape=[1], suboffsets=[0]), "Buffer not compatible with direct access in dimension 0."),
    (dict(strides=[4], suboffsets=[0]), "Buffer not compatible with direct access in dimension 0."),
])
def test_record_refused(func, layout, message):
    bad = Exporter(PROB, **layout)
    error = refused(func, 0, bad)
    assert (type(error), str(error), bad.requests) == (ValueError, message, 1)


@pytest.mark.parametrize("center, gap, message", [
    (lambda: np.zeros(3), lambda: np.zeros((2, 1), np.float32), mismatch("'double'")),
    (lambda: Exporter(CENTER), lambda: np.zeros((2, 1), np.float32),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: Exporter(CENTER), lambda: Exporter(GAP), None),
])
def test_first_bad_argument_decides(func, center, gap, message):
    center, gap, prob = center(), gap(), [0.0, 0.0, 0.0]
    with pytest.raises((TypeError, ValueError)) as info:
        func(center, gap, prob)
    assert str(info.value) == (message or exporter_refusal(prob)[1])
    for arg in (center, gap):
        assert not isinstance(arg, Exporter) or (arg.exports, arg.requests) == (0, 1)


def test_later_arguments_are_not_examined(func):
    gap, prob = Exporter(GAP), Exporter(PROB)
    with pytest.raises(ValueError):
        func(np.zeros(3), gap, prob)
    assert (gap.requests, prob.requests) == (0, 0)
