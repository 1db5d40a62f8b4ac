"""Conversion of the arguments to float32 views: accepted buffers and their addressing,
the exact refusals and their order, and no buffer left exported after any call."""
import array
import ctypes
import functools

import numpy as np
import pytest

from conftest import load_bake
from exporter import Exporter, PyBuffer

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

REQUEST = 0x0018 | 0x0004 | 0x0001  # PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE
CENTER, GAP, PROB = [0.0, 1.0, 3.0], [0.5, 1.5], [0.0, 0.0, 0.0]
VALUES = (CENTER, GAP, PROB)
POSITIONS = pytest.mark.parametrize("position", range(3), ids=["center", "gap", "prob"])

_get_buffer = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer),
                                ctypes.c_int)(("PyObject_GetBuffer", ctypes.pythonapi))
_release = ctypes.PYFUNCTYPE(None, ctypes.POINTER(PyBuffer))(("PyBuffer_Release", ctypes.pythonapi))


def reference(f):
    center, gap, prob = (np.array(v, np.float32) for v in VALUES)
    f(center, gap, prob)
    return prob.tolist()


def exporter_refusal(obj):
    """(type, message) that the object itself raises for the request a conversion makes."""
    view = PyBuffer()
    try:
        _get_buffer(obj, ctypes.byref(view), REQUEST)
    except Exception as error:
        return type(error), str(error)
    _release(ctypes.byref(view))
    raise AssertionError(f"{obj!r} grants a writable buffer")


def mismatch(got, expected="'float'"):
    return f"Buffer dtype mismatch, expected {expected} but got {got}"


# Accepted layouts of one argument, made from its values; one format of each
# token family (the format check itself is unit-tested in C++).
LAYOUTS = {
    "numpy-step2": lambda v: np.repeat(np.array(v, np.float32), 2)[::2],
    "numpy-reversed": lambda v: np.array(v[::-1], np.float32)[::-1],
    "array.array": lambda v: array.array("f", v),
    "exporter-step2": lambda v: Exporter(np.repeat(v, 2).tolist(), shape=[len(v)], strides=[8]),
    "exporter-no-strides": lambda v: Exporter(v, strides=None),
    "exporter-suboffset-1": lambda v: Exporter(v, suboffsets=[-1]),
    **{f"format {fmt!r}": functools.partial(Exporter, fmt=fmt)
       for fmt in ["f", "<f", "\r\n f", "1f", "^T{:a:f}", "()f", "f}d"]},
}


def elements(obj, n):
    if not isinstance(obj, Exporter):
        return obj.tolist()
    assert (obj.exports, obj.requests, obj.flags) == (0, 1, REQUEST)
    raw = obj.floats()
    return raw[:: len(raw) // n]  # the elements of an exported vector


@POSITIONS
@pytest.mark.parametrize("layout", LAYOUTS)
def test_accepted_layouts_address_elements_by_stride(func, layout, position):
    args = [np.array(v, np.float32) for v in VALUES]
    args[position] = LAYOUTS[layout](VALUES[position])
    assert func(*args) is None
    assert [elements(a, len(v)) for a, v in zip(args, VALUES)] == [CENTER, GAP, reference(func)]


def test_same_object_for_center_and_prob(func):
    # prob aliases center, which is read before prob is first written.
    shared, e = np.array(CENTER, np.float32), Exporter(CENTER)
    func(shared, np.array(GAP, np.float32), shared)
    func(e, np.array(GAP, np.float32), e)
    assert (shared.tolist(), e.floats(), e.exports, e.requests) == (reference(func),) * 2 + (0, 2)


@POSITIONS
@pytest.mark.parametrize("obj", [
    lambda: None, lambda: np.zeros(0, np.float32),
    lambda: Exporter([], shape=[0], suboffsets=[0]),  # no bytes: suboffsets not examined
    lambda: Exporter([], shape=[3], strides=None, suboffsets=[0]),
], ids=["None", "empty", "empty-suboffsets", "zero-len-no-strides-suboffsets"])
def test_empty_vectors_are_accepted(func, monkeypatch, obj, position):
    # The solver's first look-up of the deleted numpy shows that all conversions succeeded.
    monkeypatch.delattr(bake, "numpy")
    args = [array.array("f", v) for v in VALUES]
    args[position] = obj()
    with pytest.raises(NameError, match="^name 'numpy' is not defined$"):
        func(*args)
    assert getattr(args[position], "exports", 0) == 0


def refused(f, position, bad):
    """The exception of a call with `bad` at `position`, array.arrays elsewhere."""
    args = [array.array("f", v) for v in VALUES]
    args[position] = bad
    with pytest.raises(Exception) as info:
        f(*args)
    for arg in args:
        if isinstance(arg, array.array):
            arg.append(0.0)  # BufferError while any export is outstanding
    assert getattr(bad, "exports", 0) == 0
    if position != 2:
        assert args[2][:3].tolist() == PROB
    return info.value


DIMENSIONS = "Buffer has wrong number of dimensions (expected 1, got {})"


@POSITIONS
@pytest.mark.parametrize("make, message", [
    (lambda: np.frombuffer(b"\0" * 12, np.float32), None),  # None: refused with the object's own error
    (lambda: b"\0" * 12, None), (list, None), (float, None),
    (lambda: np.zeros(3), mismatch("'double'")),
    (lambda: np.zeros(3, np.int32), mismatch("'int'")),
    (lambda: np.zeros(3, np.int64), mismatch("'long'")),
    (lambda: np.zeros(3, np.complex64), mismatch("'complex float'")),
    (lambda: np.zeros(3, bool), mismatch("'bool'")),
    (lambda: np.zeros(3, object), mismatch("Python object")),
    (bytearray, mismatch("'unsigned char'")),
    (lambda: np.zeros(3, np.float16), "Does not understand character buffer dtype format string ('e')"),
    (lambda: np.zeros(3, ">f4"), "Big-endian buffer not supported on little-endian compiler"),
    (lambda: np.zeros((1, 3), np.float32), DIMENSIONS.format(2)),
    (lambda: np.zeros((), np.float32), DIMENSIONS.format(0)),
], ids=["readonly", "bytes", "list", "number", "double", "int", "long", "complex", "bool", "object",
        "bytearray", "float16", "big-endian", "2-D", "0-D"])
def test_refused_objects(func, make, message, position):
    raised = refused(func, position, make())
    assert (type(raised), str(raised)) == ((ValueError, message) if message else exporter_refusal(make()))


ITEM_SIZE = "Item size of buffer ({}) does not match size of 'float' (4 bytes)"
NO_DIRECT = "Buffer not compatible with direct access in dimension 0."
OFFSET = "Buffer dtype mismatch; next field is at offset {} but 0 expected"
FORMAT_REFUSALS = [  # one format of each kind of refusal
    ("", mismatch("end")), ("ff", mismatch("'float'", "end")), ("fd", mismatch("'double'", "end")),
    ("xf", OFFSET.format(4)), ("=xf", OFFSET.format(1)),  # "@" aligns the float, "=" does not
    ("!f", "Big-endian buffer not supported on little-endian compiler"),
    ("Zq", "Unexpected format string character: 'Z'"),
    ("Tf", "Buffer acquisition: Expected '{' after 'T'"),
    ("(2, 3)f", "Expected 0 dimension(s), got 2"),
    ("(2x)f", "Expected a comma in format string, got 'x'"),
    ("(", "Unexpected end of format string, expected ')'"),
    ("2(1)f", "Cannot handle repeated arrays in format string"),
]


@pytest.mark.parametrize("layout, message", [(dict(fmt=f), m) for f, m in FORMAT_REFUSALS] + [
    (dict(itemsize=8), ITEM_SIZE.format("8 bytes")),
    (dict(itemsize=1), ITEM_SIZE.format("1 byte")),
    (dict(ndim=3, shape=[1, 1, 3], fmt="d"), DIMENSIONS.format(3)),  # dimensions before format
    (dict(fmt="d", itemsize=8), mismatch("'double'")),  # format before item size
    (dict(itemsize=8, suboffsets=[0]), ITEM_SIZE.format("8 bytes")),  # item size before suboffsets
    (dict(strides=None, suboffsets=[-1]), "Buffer exposes suboffsets but no strides"),
    (dict(strides=None, shape=[1], suboffsets=[0]), NO_DIRECT),
    (dict(strides=[4], suboffsets=[0]), NO_DIRECT),
])
def test_exported_record_refused(func, layout, message):
    bad = Exporter(PROB, **layout)
    error = refused(func, 1, bad)
    assert (type(error), str(error), bad.requests) == (ValueError, message, 1)


@pytest.mark.parametrize("center, gap, prob, message", [
    (lambda: np.zeros(3), lambda: np.zeros((2, 1), np.float32), list, mismatch("'double'")),
    (lambda: Exporter(CENTER), lambda: np.zeros((2, 1), np.float32), list, DIMENSIONS.format(2)),
    (lambda: Exporter(CENTER), lambda: Exporter(GAP), list, exporter_refusal([])[1]),
    (lambda: np.zeros(3), lambda: Exporter(GAP), lambda: Exporter(PROB), mismatch("'double'")),
])
def test_first_bad_argument_decides(func, center, gap, prob, message):
    args = center(), gap(), prob()
    with pytest.raises((TypeError, ValueError)) as info:
        func(*args)
    assert str(info.value) == message
    # Exporters before the first non-exporter (the bad one) were acquired once, later ones never.
    bad = next(i for i, a in enumerate(args) if not isinstance(a, Exporter))
    for i, a in enumerate(args):
        assert not isinstance(a, Exporter) or (a.exports, a.requests) == (0, int(i < bad)), i
