"""Import-time compatibility checks of zelvane.bake against stand-in NumPy packages generated
per test, each import in a fresh interpreter: the extension loads only once per process."""

import json
import os
import subprocess
import sys

import pytest

NUMPY_IMPORT_FAILED = ("numpy.core.multiarray failed to import (auto-generated because you didn't call "
                       "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' "
                       "to disable if you are certain you don't need it).")
INIT_ENTRY = ["zelvane/bake", 1, "init zelvane.bake"]
SIZE = ("numpy.{} size changed, may indicate binary incompatibility. "
        "Expected {} from C header, got {} from PyObject")
# Object sizes given by the NumPy 1.x headers (API target 1.23) on x86-64.
NUMPY_SIZES = {"dtype": 96, "flatiter": 2632, "broadcast": 560, "ndarray": 96, "ufunc": 232,
               **dict.fromkeys(["generic", "number", "integer", "signedinteger", "unsignedinteger",
                                "inexact", "floating", "complexfloating", "flexible", "character"], 16)}


# numpy/__init__.py: each row a type of exactly the given (basic, item) size, or another value.
NUMPY_INIT = '''
import ctypes

class _Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(ctypes.c_void_p * 2))]

_from_spec = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.POINTER(_Spec))(
    ("PyType_FromSpec", ctypes.pythonapi))
_specs = []  # kept alive with the types made from them

def _sized_type(name, basic, item=0):
    _specs.append(_Spec(("numpy." + name).encode(), basic, item, 1 << 18,
                         ctypes.pointer((ctypes.c_void_p * 2)())))  # no slots
    made = _from_spec(ctypes.byref(_specs[-1]))
    assert (made.__basicsize__, made.__itemsize__) == (basic, item)
    return made

for _name, _row in {rows!r}.items():
    globals()[_name] = _sized_type(_name, *_row) if isinstance(_row, list) else _row
'''
# numpy/core/_multiarray_umath.py: the array interface table that a capsule points at,
# with the ABI version (slot 0), byte order (210) and feature version (211) queries.
MULTIARRAY = '''
import ctypes

_uint, _int = ctypes.CFUNCTYPE(ctypes.c_uint), ctypes.CFUNCTYPE(ctypes.c_int)
_queries = {{0: _uint(lambda: {abi}), 210: _int(lambda: {endian}), 211: _uint(lambda: {feature})}}
_table = (ctypes.c_void_p * 212)()
for _slot, _query in _queries.items():
    _table[_slot] = None if _slot in {null_slots!r} else ctypes.cast(_query, ctypes.c_void_p).value

def make_capsule(name=None):
    new = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)(
        ("PyCapsule_New", ctypes.pythonapi))
    return new(ctypes.addressof(_table), name, None)

{api}
'''
API_FORMS = {"capsule": "_ARRAY_API = make_capsule()", "missing": "",
             "not a capsule": "_ARRAY_API = object()",
             "named capsule": "_ARRAY_API = make_capsule(b'numpy.core._multiarray_umath._ARRAY_API')"}


def make_standin(root, abi=0x1000009, feature=0x10, endian=1, api="capsule", null_slots=(), types=()):
    """Writes a stand-in `numpy` under `root`. `types` overrides rows of NUMPY_SIZES:
    a (basic, item) pair, another value to bind instead of a type, or None to leave it out."""
    rows = {name: [size, 0] for name, size in NUMPY_SIZES.items()}
    rows.update({name: list(row) if isinstance(row, tuple) else row for name, row in dict(types).items()})
    core = root / "numpy" / "core"
    core.mkdir(parents=True)
    (root / "numpy" / "__init__.py").write_text(NUMPY_INIT.format(
        rows={name: row for name, row in rows.items() if row is not None}))
    (core / "__init__.py").write_text("")
    (core / "_multiarray_umath.py").write_text(MULTIARRAY.format(
        abi=abi, feature=feature, endian=endian, null_slots=list(null_slots), api=API_FORMS[api]))
    return root


def run_in(root, code, *flags):
    """Runs `code` in a new interpreter whose sys.path starts with `root`; (stdout, stderr)."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONWARNINGS")}
    done = subprocess.run([sys.executable, *flags, "-c", code], cwd=root, capture_output=True,
                          text=True, timeout=120, env={**env, "PYTHONPATH": str(root)})
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


# attempt() imports zelvane.bake and describes the outcome: the warnings recorded
# and, on failure, the exception with its traceback entries.
ATTEMPT = '''
import gc, json, sys, traceback, warnings, weakref

def attempt():
    with warnings.catch_warnings(record=True) as caught:
        try:
            import zelvane.bake
            out = {"error": None}
        except BaseException as e:
            out = {"error": type(e).__name__, "message": str(e),
                   "chained": e.__context__ is not None or e.__cause__ is not None,
                   "frames": [[f.filename, f.lineno, f.name] for f in traceback.extract_tb(e.__traceback__)]}
    return {"warnings": [[w.category.__name__, str(w.message)] for w in caught], **out}
'''


def import_outcome(root, *flags, prelude=""):
    return json.loads(run_in(root, ATTEMPT + prelude + "\nprint(json.dumps(attempt()))", *flags)[0])


@pytest.mark.parametrize("standin, prelude", [
    pytest.param({}, "sys.modules['numpy'] = None", id="numpy missing"),
    pytest.param({"api": "missing"}, "", id="_ARRAY_API missing"),
    pytest.param({"api": "not a capsule"}, "", id="_ARRAY_API not a capsule"),
    pytest.param({"api": "named capsule"}, "", id="capsule with a name"),
    pytest.param({"abi": 0x1000008}, "", id="older ABI"),
    pytest.param({"abi": 0x2000009}, "", id="newer ABI"),
    pytest.param({"feature": 0xF}, "", id="feature version 0xF"),
    pytest.param({"endian": 0}, "", id="byte order unknown"),
    pytest.param({"endian": 2}, "", id="big-endian"),
    pytest.param({"null_slots": [211]}, "", id="empty feature-version slot"),
])
def test_incompatible_numpy_is_refused_with_one_import_error(tmp_path, standin, prelude):
    outcome = import_outcome(make_standin(tmp_path, **standin), prelude=prelude)
    assert (outcome["error"], outcome["message"], outcome["chained"], outcome["frames"][-1]) == (
        "ImportError", NUMPY_IMPORT_FAILED, False, INIT_ENTRY)


@pytest.mark.parametrize("standin, warnings", [
    pytest.param({}, [], id="as built against"),
    pytest.param({"feature": 0x11}, [], id="newer feature version"),
    pytest.param({"feature": 0xFFFFFFFF}, [], id="feature version compared unsigned"),
    pytest.param({"types": {"dtype": (200, 0), "ufunc": (240, 8)}}, [], id="ignore rows may grow"),
    pytest.param({"types": {"ndarray": (90, 1)}}, [], id="item size below 8 counts as 8"),
    pytest.param({"types": {"flatiter": (2600, 32)}}, [], id="basic plus item size"),
    pytest.param({"types": {"generic": (16, 8)}}, [], id="warn rows compare the basic size alone"),
    pytest.param({"types": {"generic": (24, 0), "character": (32, 0)}},
                 [["RuntimeWarning", SIZE.format("generic", 16, 24)],
                  ["RuntimeWarning", SIZE.format("character", 16, 32)]], id="grown scalar types warn"),
])
def test_compatible_numpy_is_accepted(tmp_path, standin, warnings):
    assert import_outcome(make_standin(tmp_path, **standin)) == {"warnings": warnings, "error": None}


@pytest.mark.parametrize("types, flags, error, message", [
    ({"generic": (24, 0)}, ["-W", "error"], "RuntimeWarning", SIZE.format("generic", 16, 24)),
    ({"ndarray": (88, 0)}, [], "ValueError", SIZE.format("ndarray", 96, 88)),
    ({"ndarray": (87, 1)}, [], "ValueError", SIZE.format("ndarray", 96, 95)),  # item size counted as 8
    ({"flexible": "flexible"}, [], "TypeError", "numpy.flexible is not a type object"),
    ({"character": None}, [], "AttributeError", "module 'numpy' has no attribute 'character'"),
    ({"dtype": 3, "generic": "generic", "ufunc": None}, [], "TypeError",  # the first failing row decides
     "numpy.dtype is not a type object"),
], ids=["grown type with -W error", "too small", "too small after rounding", "not a type", "missing",
        "first failing row"])
def test_type_check_failure(tmp_path, types, flags, error, message):
    outcome = import_outcome(make_standin(tmp_path, types=types), *flags)
    assert (outcome["error"], outcome["message"], outcome["frames"][-1]) == (error, message, INIT_ENTRY)


RETRY = '''
import numpy, numpy.core._multiarray_umath as multiarray
outcomes = [attempt()]  # no _ARRAY_API
multiarray._ARRAY_API, numpy.generic = multiarray.make_capsule(), "generic"
outcomes.append(attempt())  # builtins and four numpy rows pass, then TypeError
old_dtype = weakref.ref(numpy.dtype)
numpy.dtype, numpy.generic = numpy._sized_type("dtype", 96), numpy._sized_type("generic", 16)
outcomes.append(attempt())
gc.collect()  # the failed attempt's reference to the old numpy.dtype was dropped:
print(json.dumps([[o["error"], o.get("message"), o["warnings"]] for o in outcomes]
                 + [old_dtype() is None, sys.modules["zelvane.bake"].numpy is numpy]))
'''


def test_failed_import_can_be_retried_in_the_same_process(tmp_path):
    assert json.loads(run_in(make_standin(tmp_path, api="missing"), ATTEMPT + RETRY)[0]) == [
        ["ImportError", NUMPY_IMPORT_FAILED, []], ["TypeError", "numpy.generic is not a type object", []],
        [None, None, []], True, True]


@pytest.mark.needs_bake
def test_real_numpy_imports_without_warnings(tmp_path):
    assert run_in(tmp_path, "import zelvane.bake, numpy\nassert zelvane.bake.numpy is numpy",
                  "-W", "error") == ("", "")
