"""A test-only buffer exporter built with ctypes.

An ``Exporter`` exports its own memory with any format, item size, ndim, shape,
strides and suboffsets (``None`` exports NULL) and counts its exports, so tests
can check that every buffer the module acquired was also released. The buffer
slots are ctypes callbacks in a heap type made with ``PyType_FromSpec``; the
Python subclass keeps the per-instance state as ordinary attributes.
"""
import ctypes
import struct
import sys

_ssize = ctypes.c_ssize_t
_api = ctypes.pythonapi


class PyBuffer(ctypes.Structure):
    """The 3.11 ``Py_buffer`` record."""

    _fields_ = [
        ("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p),
        ("len", _ssize), ("itemsize", _ssize),
        ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(_ssize)),
        ("strides", ctypes.POINTER(_ssize)),
        ("suboffsets", ctypes.POINTER(_ssize)), ("internal", ctypes.c_void_p),
    ]


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _TypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_Slot))]


# Private prototypes, so that the shared ctypes.pythonapi is left as it is.
_from_spec = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)(("PyType_FromSpec", _api))
_incref = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", _api))


def _array(values):
    """A C array of Py_ssize_t, or None (exported as NULL)."""
    return None if values is None else (_ssize * max(len(values), 1))(*values)


@ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)
def _getbuffer(self, view, flags):
    v = view.contents
    v.buf = ctypes.addressof(self.memory) + self.offset
    _incref(self)  # view.obj owns a reference
    v.obj = id(self)
    v.len, v.itemsize, v.readonly, v.ndim = self.len, self.itemsize, 0, self.ndim
    v.format, v.internal = self.format, None
    v.shape, v.strides, v.suboffsets = self._shape, self._strides, self._suboffsets
    self.exports, self.requests, self.flags = self.exports + 1, self.requests + 1, flags
    return 0


@ctypes.PYFUNCTYPE(None, ctypes.py_object, ctypes.POINTER(PyBuffer))
def _releasebuffer(self, view):
    self.exports -= 1


_slots = (_Slot * 3)((1, ctypes.cast(_getbuffer, ctypes.c_void_p)),  # bf_getbuffer
                     (2, ctypes.cast(_releasebuffer, ctypes.c_void_p)),  # bf_releasebuffer
                     (0, None))
_spec = _TypeSpec(b"exporter._Base", object.__basicsize__, 0, 1 << 10, _slots)  # BASETYPE
_Base = _from_spec(ctypes.byref(_spec))
if sys.version_info < (3, 9):
    # Before 3.9 a type spec cannot carry buffer slots; fill the heap type's
    # buffer procedures (pointed to by tp_as_buffer, byte 160) before subclassing.
    _procs = ctypes.c_void_p.from_address(id(_Base) + 160).value
    (ctypes.c_void_p * 2).from_address(_procs)[:] = [
        ctypes.cast(_getbuffer, ctypes.c_void_p).value,
        ctypes.cast(_releasebuffer, ctypes.c_void_p).value]


class Exporter(_Base):
    """Exports ``data`` (bytes, or floats packed as float32) at byte ``offset`` of
    the owned memory. ``shape`` and ``strides`` default to a contiguous vector
    (NULL when ndim != 1). ``exports`` is getbuffer minus releasebuffer calls,
    ``requests`` counts getbuffer calls, ``flags`` holds those of the last one."""

    def __init__(self, data=(), fmt="f", itemsize=4, ndim=1, shape=(), strides=(),
                 suboffsets=None, offset=0):
        raw = data if isinstance(data, bytes) else struct.pack(f"<{len(data)}f", *data)
        self.memory = ctypes.create_string_buffer(raw, max(len(raw), 1))
        if shape == ():
            shape = (len(raw) // itemsize,) if ndim == 1 else None
        if strides == ():
            strides = (itemsize,) if ndim == 1 else None
        self.format = None if fmt is None else fmt.encode()
        self.itemsize, self.ndim, self.offset, self.len = itemsize, ndim, offset, len(raw)
        self._shape, self._strides, self._suboffsets = map(_array, (shape, strides, suboffsets))
        self.exports = self.requests = 0
        self.flags = None

    def floats(self):
        """The owned memory read back as float32 values."""
        return list(struct.unpack(f"<{self.len // 4}f", self.memory.raw[: self.len // 4 * 4]))
