"""Import-time compatibility checks of zelvane.bake, run against stand-in NumPy
packages generated per test. Every import happens in a fresh interpreter, since
the extension can be loaded only once per process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

NUMPY_IMPORT_FAILED = (
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it)."
)
INIT_ENTRY = ["zelvane/bake", 1, "init zelvane.bake"]
GOOD_ABI, GOOD_FEATURE, LITTLE = 0x1000009, 0x10, 1

# Object sizes given by the NumPy 1.x headers (API target 1.23) on x86-64.
NUMPY_SIZES = {
    "dtype": 96, "flatiter": 2632, "broadcast": 560, "ndarray": 96,
    "generic": 16, "number": 16, "integer": 16, "signedinteger": 16,
    "unsignedinteger": 16, "inexact": 16, "floating": 16, "complexfloating": 16,
    "flexible": 16, "character": 16, "ufunc": 232,
}


def size_message(name, expected, got):
    return (f"numpy.{name} size changed, may indicate binary incompatibility. "
            f"Expected {expected} from C header, got {got} from PyObject")


# ---- Stand-in NumPy ------------------------------------------------------------

NUMPY_INIT = '''
import ctypes

class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

class _Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_Slot))]

_from_spec = ctypes.pythonapi.PyType_FromSpec
_from_spec.restype = ctypes.py_object
_from_spec.argtypes = (ctypes.POINTER(_Spec),)
_specs = []

def _sized_type(name, basic, item=0):
    """A type object whose basic and item sizes are exactly the ones given."""
    spec = _Spec(("numpy." + name).encode(), basic, item, 1 << 18, (_Slot * 1)())
    _specs.append(spec)
    made = _from_spec(ctypes.byref(spec))
    assert (made.__basicsize__, made.__itemsize__) == (basic, item)
    return made

for _name, _row in {rows!r}.items():
    globals()[_name] = _sized_type(_name, *_row) if isinstance(_row, list) else _row
'''

MULTIARRAY = '''
import ctypes

_uint = ctypes.CFUNCTYPE(ctypes.c_uint)
_int = ctypes.CFUNCTYPE(ctypes.c_int)
_queries = {{0: _uint(lambda: {abi}), 210: _int(lambda: {endian}), 211: _uint(lambda: {feature})}}
_table = (ctypes.c_void_p * 212)()
for _slot, _query in _queries.items():
    _table[_slot] = ctypes.cast(_query, ctypes.c_void_p).value
for _slot in {null_slots!r}:
    _table[_slot] = None

def make_capsule(name=None):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
    return new(ctypes.addressof(_table), name, None)

{api}
'''

API_FORMS = {
    "capsule": "_ARRAY_API = make_capsule()",
    "missing": "",
    "not a capsule": "_ARRAY_API = object()",
    "named capsule": "_ARRAY_API = make_capsule(b'numpy.core._multiarray_umath._ARRAY_API')",
}


def make_standin(root, abi=GOOD_ABI, feature=GOOD_FEATURE, endian=LITTLE, api="capsule",
                 null_slots=(), types=None):
    """Writes a stand-in `numpy` under `root`. `types` overrides rows of
    NUMPY_SIZES: a (basic, item) pair, any other value to bind instead of a
    type, or None to leave the name out."""
    rows = {name: [size, 0] for name, size in NUMPY_SIZES.items()}
    for name, row in (types or {}).items():
        if row is None:
            del rows[name]
        else:
            rows[name] = list(row) if isinstance(row, tuple) else row
    core = root / "numpy" / "core"
    core.mkdir(parents=True)
    (root / "numpy" / "__init__.py").write_text(NUMPY_INIT.format(rows=rows))
    (core / "__init__.py").write_text("")
    (core / "_multiarray_umath.py").write_text(MULTIARRAY.format(
        abi=abi, feature=feature, endian=endian, null_slots=list(null_slots),
        api=API_FORMS[api]))
    return root


# ---- Running an import in a fresh interpreter ------------------------------------

def run_python(root, code, *flags):
    """Runs `code` in a new interpreter whose sys.path starts with `root`."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONWARNINGS")}
    env["PYTHONPATH"] = str(root)
    done = subprocess.run([sys.executable, *flags, "-c", code], cwd=root, env=env,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


# attempt() imports zelvane.bake and describes the outcome: the warnings
# recorded and, on failure, the exception with its traceback entries.
ATTEMPT = textwrap.dedent('''
    import gc, json, sys, traceback, warnings, weakref

    def attempt():
        with warnings.catch_warnings(record=True) as caught:
            try:
                import zelvane.bake
                error = None
            except BaseException as exc:
                error = exc
        out = {"warnings": [[w.category.__name__, str(w.message)] for w in caught],
               "error": None}
        if error is not None:
            out.update(error=type(error).__name__, message=str(error),
                       frames=[[f.filename, f.lineno, f.name]
                               for f in traceback.extract_tb(error.__traceback__)],
                       chained=error.__context__ is not None or error.__cause__ is not None)
        return out
''')


def import_outcome(root, *flags, prelude=""):
    code, out, err = run_python(root, ATTEMPT + prelude + "\nprint(json.dumps(attempt()))",
                                *flags)
    assert code == 0, err
    return json.loads(out)


# ---- Refused array interface -----------------------------------------------------

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
    assert outcome["error"] == "ImportError"
    assert outcome["message"] == NUMPY_IMPORT_FAILED
    assert not outcome["chained"]
    assert outcome["frames"][-1] == INIT_ENTRY


# ---- Accepted installations -------------------------------------------------------

@pytest.mark.parametrize("standin, warnings", [
    pytest.param({}, [], id="as built against"),
    pytest.param({"feature": 0x11}, [], id="newer feature version"),
    pytest.param({"feature": 0xFFFFFFFF}, [], id="feature version compared unsigned"),
    pytest.param({"types": {"dtype": (200, 0), "ufunc": (240, 8)}}, [],
                 id="ignore rows may grow"),
    pytest.param({"types": {"ndarray": (90, 1)}}, [], id="item size below 8 counts as 8"),
    pytest.param({"types": {"flatiter": (2600, 32)}}, [], id="basic plus item size"),
    pytest.param({"types": {"generic": (16, 8)}}, [],
                 id="warn rows compare the basic size alone"),
    pytest.param({"types": {"generic": (24, 0), "character": (32, 0)}},
                 [["RuntimeWarning", size_message("generic", 16, 24)],
                  ["RuntimeWarning", size_message("character", 16, 32)]],
                 id="grown scalar types warn"),
])
def test_compatible_numpy_is_accepted(tmp_path, standin, warnings):
    outcome = import_outcome(make_standin(tmp_path, **standin))
    assert outcome == {"warnings": warnings, "error": None}


# ---- Refused type sizes ----------------------------------------------------------

@pytest.mark.parametrize("types, flags, error, message", [
    pytest.param({"generic": (24, 0)}, ["-W", "error"], "RuntimeWarning",
                 size_message("generic", 16, 24), id="grown type with -W error"),
    pytest.param({"ndarray": (88, 0)}, [], "ValueError", size_message("ndarray", 96, 88),
                 id="too small"),
    pytest.param({"ndarray": (87, 1)}, [], "ValueError", size_message("ndarray", 96, 95),
                 id="too small with rounded item size"),
    pytest.param({"flexible": "flexible"}, [], "TypeError",
                 "numpy.flexible is not a type object", id="not a type"),
    pytest.param({"character": None}, [], "AttributeError",
                 "module 'numpy' has no attribute 'character'", id="missing"),
    pytest.param({"dtype": 3, "generic": "generic", "ufunc": None}, [], "TypeError",
                 "numpy.dtype is not a type object", id="first failing row decides"),
])
def test_type_check_failure(tmp_path, types, flags, error, message):
    outcome = import_outcome(make_standin(tmp_path, types=types), *flags)
    assert (outcome["error"], outcome["message"]) == (error, message)
    assert outcome["frames"][-1] == INIT_ENTRY


# ---- Retry and the real NumPy ----------------------------------------------------

RETRY = '''
import numpy, numpy.core._multiarray_umath as multiarray
outcomes = [attempt()]                       # no _ARRAY_API
multiarray._ARRAY_API = multiarray.make_capsule()
numpy.generic = "generic"
outcomes.append(attempt())                   # builtins and four numpy rows pass, then TypeError
old_dtype = weakref.ref(numpy.dtype)
numpy.dtype = numpy._sized_type("dtype", 96)
numpy.generic = numpy._sized_type("generic", 16)
outcomes.append(attempt())
gc.collect()
outcomes.append(old_dtype() is None)         # the failed attempt's reference was dropped
outcomes.append(sys.modules["zelvane.bake"].numpy is numpy)
print(json.dumps(outcomes))
'''


def test_failed_import_can_be_retried_in_the_same_process(tmp_path):
    code, out, err = run_python(make_standin(tmp_path, api="missing"), ATTEMPT + RETRY)
    assert code == 0, err
    missing_api, not_a_type, success, released, bound = json.loads(out)
    assert (missing_api["error"], missing_api["message"]) == ("ImportError", NUMPY_IMPORT_FAILED)
    assert (not_a_type["error"], not_a_type["message"]) == (
        "TypeError", "numpy.generic is not a type object")
    assert success == {"warnings": [], "error": None}
    assert released and bound


def test_real_numpy_imports_without_warnings(tmp_path):
    code, out, err = run_python(tmp_path, "import zelvane.bake, numpy\n"
                                          "assert zelvane.bake.numpy is numpy", "-W", "error")
    assert (code, out, err) == (0, "", "")
