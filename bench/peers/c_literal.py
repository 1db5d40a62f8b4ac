"""The plain C loops of literal.c, compiled now with the system compiler, through ctypes.

Each call makes its scratch vectors with numpy.empty, as zelvane.bake does, so the
allocations are the same on both sides."""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import tempfile
from typing import Optional

import numpy as np

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "literal.c")
FLAGS = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC"]

_i64 = ctypes.c_int64
_ptr = ctypes.c_void_p


def _compiler() -> str:
    for name in (os.environ.get("CC", ""), "cc", "gcc", "clang"):
        if name and shutil.which(name):
            return name
    raise RuntimeError("the speed suite needs a C compiler (cc, gcc or clang) for its C peer")


def _address_and_stride(a: np.ndarray) -> "tuple[int, int]":
    if a.dtype != np.float32 or a.ndim != 1 or a.strides[0] % 4:
        raise ValueError("the C peer takes one-dimensional float32 vectors with whole-element strides")
    return a.ctypes.data, a.strides[0] // 4


class CLiteral:
    """fitgapmass and fitgapmass_meh as plain C loops; fitgapmass returns the passes it ran."""

    def __init__(self, workdir: Optional[str] = None) -> None:
        self._dir = workdir or tempfile.mkdtemp(prefix="zelvane-bench-")
        self.library = os.path.join(self._dir, "literal.so")
        self.command = [_compiler(), *FLAGS, SOURCE, "-o", self.library]
        subprocess.run(self.command, check=True)
        lib = ctypes.CDLL(self.library)
        self._fit = lib.literal_fitgapmass
        self._fit.argtypes = [_ptr, _i64, _ptr, _i64, _ptr, _ptr, _i64, _i64, ctypes.POINTER(ctypes.c_int)]
        self._fit.restype = _i64
        self._meh = lib.literal_fitgapmass_meh
        self._meh.argtypes = [_ptr, _i64, _ptr, _i64, _ptr, _ptr, _ptr, _ptr, _i64, _i64]
        self._meh.restype = _i64
        self._passes = ctypes.c_int(0)

    def fitgapmass(self, center: np.ndarray, gap: np.ndarray, prob: np.ndarray) -> int:
        n = len(gap)
        average = np.empty(n, dtype=np.float32)
        c, sc = _address_and_stride(center)
        g, sg = _address_and_stride(gap)
        p, sp = _address_and_stride(prob)
        if self._fit(c, sc, g, sg, average.ctypes.data, p, sp, n, ctypes.byref(self._passes)) >= 0:
            raise ZeroDivisionError("float division")
        return self._passes.value

    def fitgapmass_meh(self, center: np.ndarray, gap: np.ndarray, prob: np.ndarray) -> None:
        n = len(prob)
        gsum = np.empty(n - 1, dtype=np.float32)
        low = np.empty(n, dtype=np.float32)
        high = np.empty(n, dtype=np.float32)
        c, sc = _address_and_stride(center)
        g, sg = _address_and_stride(gap)
        p, sp = _address_and_stride(prob)
        if self._meh(c, sc, g, sg, gsum.ctypes.data, low.ctypes.data, high.ctypes.data, p, sp, n) >= 0:
            raise ZeroDivisionError("float division")

    def close(self) -> None:
        shutil.rmtree(self._dir, ignore_errors=True)
