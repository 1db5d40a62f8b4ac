"""Test-only buffer exporter built with ctypes.

``Exporter`` instances export a buffer with any ``format``, ``itemsize``,
``ndim``, ``shape``/``strides``/``suboffsets`` (``None`` exports NULL) over
memory the instance owns, and count outstanding exports so tests can check
that every buffer the module acquired was also released.

The buffer slots are ctypes callbacks installed into a heap type made with
``PyType_FromSpec``; ``Exporter`` is a Python subclass of it, so the slots are
inherited and each instance can keep its state as ordinary attributes.
"""
import ctypes
import struct

_ssize = ctypes.c_ssize_t
_api = ctypes.pythonapi


class PyBuffer(ctypes.Structure):
    """The 3.11 ``Py_buffer`` record, field for field."""

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


class _PyTypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_Slot))]


_GETBUF = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)
_RELBUF = ctypes.PYFUNCTYPE(None, ctypes.py_object, ctypes.POINTER(PyBuffer))
_BF_GETBUFFER, _BF_RELEASEBUFFER, _TPFLAGS_BASETYPE = 1, 2, 1 << 10
# Private prototypes, so that the shared ctypes.pythonapi is left as it is.
_from_spec = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)(("PyType_FromSpec", _api))
_incref = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", _api))
get_slot = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_int)(("PyType_GetSlot", _api))


def _array(values):
    """A C array of Py_ssize_t, or None (exported as NULL)."""
    return None if values is None else (_ssize * max(len(values), 1))(*values)


@_GETBUF
def _getbuffer(self, view, flags):
    # A read-only exporter cannot refuse from here: ctypes swallows exceptions
    # raised in callbacks.  Read-only instances use _ReadOnlyBase instead.
    v = view.contents
    v.buf = ctypes.addressof(self.memory) + self.offset
    _incref(self)       # view.obj owns a reference
    v.obj = id(self)
    v.len, v.itemsize, v.readonly, v.ndim = self.len, self.itemsize, 0, self.ndim
    v.format = self.format
    v.shape, v.strides, v.suboffsets = self._shape, self._strides, self._suboffsets
    v.internal = None
    self.exports += 1
    self.requests, self.flags = self.requests + 1, flags
    return 0


@_RELBUF
def _releasebuffer(self, view):
    self.exports -= 1


def _make_base(name, getbuffer, releasebuffer, basicsize):
    slots = (_Slot * 3)((_BF_GETBUFFER, getbuffer), (_BF_RELEASEBUFFER, releasebuffer), (0, None))
    type_spec = _PyTypeSpec(name, basicsize, 0, _TPFLAGS_BASETYPE, slots)
    return _from_spec(ctypes.byref(type_spec))


_Base = _make_base(b"exporter._Base", ctypes.cast(_getbuffer, ctypes.c_void_p),
                   ctypes.cast(_releasebuffer, ctypes.c_void_p), object.__basicsize__)

# A read-only exporter borrows the C getbuffer of ``bytes``: it refuses a
# writable request with BufferError before looking at the object's contents
# (it reads only ob_size, hence the PyVarObject-sized base, which stays 0: a
# read-only request gets zero bytes).
_ReadOnlyBase = _make_base(b"exporter._ReadOnlyBase", get_slot(bytes, _BF_GETBUFFER),
                           None, tuple.__basicsize__)


class Exporter(_Base):
    """Exports ``data`` (bytes or float values packed as float32).

    ``shape`` and ``strides`` default to a contiguous vector; ``None``
    exports NULL.
    ``offset`` is the byte position of ``buf`` inside the owned memory, so a
    negative stride can start at the last element.  ``exports`` is getbuffer
    calls minus releasebuffer calls, ``requests`` counts getbuffer calls and
    ``flags`` holds the flags of the last one.
    """

    def __init__(self, data=(), fmt="f", itemsize=4, ndim=1, shape=(), strides=(),
                 suboffsets=None, offset=0):
        raw = data if isinstance(data, bytes) else struct.pack(f"<{len(data)}f", *data)
        self.size = len(raw)
        self.memory = ctypes.create_string_buffer(raw, max(len(raw), 1))
        # Defaults: a contiguous vector of the whole memory (NULL for ndim != 1).
        if shape == ():
            shape = (len(raw) // itemsize,) if ndim == 1 else None
        if strides == ():
            strides = (itemsize,) if ndim == 1 else None
        self.format = None if fmt is None else fmt.encode()
        self.itemsize, self.ndim, self.offset = itemsize, ndim, offset
        self.len = len(raw)
        self._shape, self._strides, self._suboffsets = map(_array, (shape, strides, suboffsets))
        self.exports = self.requests = 0
        self.flags = None

    def floats(self):
        """The owned memory read back as float32 values."""
        return list(struct.unpack(f"<{self.size // 4}f", self.memory.raw[: self.size // 4 * 4]))


class ReadOnlyExporter(_ReadOnlyBase):
    """Refuses every writable request with the exporter's own BufferError."""
