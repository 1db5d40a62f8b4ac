"""The surface of zelvane.bake as Python code sees it: the namespace that import
leaves, repeated import, reload, a second interpreter, the two function objects,
and the module-level name `numpy` through which the solvers get scratch memory."""

import builtins
import copy
import functools
import importlib
import importlib.util
import inspect
import json
import pickle
import pydoc
import re
import sys

import numpy as np
import pytest

from conftest import assert_bits_equal, f32, module_frames, run_python

import zelvane.bake as bake

DOC = ("Given bin centers this outputs the probabilities (into prob) of a piecewise linear "
       "PDF (Zelvane) using those centers such that the probability mass between each pair "
       "of centers is as given in the gap array, which is of length one less than "
       "center/prob.")
DOC_MEH = DOC + (" This version solves the problem exactly... but then suffers from "
                 "accidental hedgehog. Have dropped for now, as a basic solver, while not as "
                 "precise, gives a more reasonable result and this isn't my focus at this time.")
FUNCTIONS = {"fitgapmass": (DOC, 18), "fitgapmass_meh": (DOC_MEH, 94)}
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into "
                      "one interpreter per process.")


def example():  # center, gap and a prefilled prob of a small fit
    return f32(0, 1, 2.5, 3), f32(0.5, 1.5, 0.25), f32(9, 9, 9, 9)


# ---- Namespace and import --------------------------------------------------------

def test_namespace_after_import():
    ns = vars(bake)
    assert bake.__name__ == "zelvane.bake"
    assert "__doc__" in ns and ns["__doc__"] is None
    assert bake.__package__ == "zelvane"
    assert bake.__loader__ is bake.__spec__.loader
    assert bake.__file__ == bake.__spec__.origin
    assert "__path__" not in ns
    assert ns["__builtins__"] is builtins
    assert bake.numpy is np
    assert callable(bake.fitgapmass)
    assert type(bake.__test__) is dict and bake.__test__ == {}
    public = {name for name in ns if not name.startswith("_")}
    assert {"numpy", "fitgapmass"} <= public <= {"numpy", "fitgapmass", "fitgapmass_meh"}


def test_package_import_loads_neither_numpy_nor_extension():
    rc, out, err = run_python("""
        import sys
        loaded = lambda: sorted(m for m in ("numpy", "zelvane.bake") if m in sys.modules)
        import zelvane
        print(loaded())
        import zelvane.bake
        print(loaded())
        """)
    assert rc == 0, err
    assert out.splitlines() == ["[]", "['numpy', 'zelvane.bake']"]


def test_import_after_removal_gives_the_same_module():
    import zelvane
    ns = vars(bake)
    kept = {name: ns[name] for name in ("fitgapmass", "numpy", "__test__")}
    bake.user_added = marker = object()
    try:
        del sys.modules["zelvane.bake"]
        again = importlib.import_module("zelvane.bake")
        assert again is bake
        assert again.user_added is marker
        assert all(vars(again)[name] is value for name, value in kept.items())
    finally:
        sys.modules["zelvane.bake"] = zelvane.bake = bake
        ns.pop("user_added", None)


def test_reload_changes_nothing():
    before = dict(vars(bake))
    assert importlib.reload(bake) is bake
    for name in ("numpy", "fitgapmass", "fitgapmass_meh", "__test__", "__builtins__"):
        if name in before:
            assert vars(bake)[name] is before[name], name


# The sub-interpreter reports through file descriptor 1 and re-raises, so a refusal
# shows both in the output and as run_in_subinterp's return code -1.
SUB_IMPORT = '''
import os
try:
    import zelvane.bake
except ImportError as e:
    os.write(1, ("sub refused: %s\\n" % e).encode())
    raise
os.write(1, b"sub loaded\\n")
'''
REFUSED = re.escape(INTERPRETER_CHANGE)
# Steps run in one fresh process, and the pattern that its whole output must match.
SECOND_INTERPRETER = {
    "main first": ("main_import(); sub()",
                   f"main loaded\nsub refused: {REFUSED}\nsub rc -1\n"),
    "failed main first": ("sys.modules['numpy'] = None; main_import(); "
                          "del sys.modules['numpy']; sub()",
                          f"main refused: (?!{REFUSED}).+\nsub refused: {REFUSED}\nsub rc -1\n"),
    "sub first": ("sub(); main_import()",
                  f"(sub .+\n)?sub rc -?[01]\nmain refused: {REFUSED}\n"),
}


@pytest.mark.parametrize("steps, expected", SECOND_INTERPRETER.values(),
                         ids=SECOND_INTERPRETER)
def test_second_interpreter_is_refused(steps, expected):
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("needs _testcapi")
    rc, out, err = run_python(f"""
        import sys, _testcapi
        def main_import():
            try:
                import zelvane.bake
            except ImportError as e:
                print("main refused:", e, flush=True)
            else:
                print("main loaded", flush=True)
        def sub():
            print("sub rc", _testcapi.run_in_subinterp({SUB_IMPORT!r}), flush=True)
        {steps}
        """)
    assert rc == 0, err
    assert re.fullmatch(expected, out), (out, err)


@pytest.mark.parametrize("taken", [False, True], ids=["free", "taken"])
def test_load_under_another_name_registers_canonical_name(taken):
    rc, out, err = run_python(f"""
        import importlib.util, json, sys
        origin = importlib.util.find_spec("zelvane.bake").origin
        placeholder = object()
        if {taken}:
            sys.modules["zelvane.bake"] = placeholder
        spec = importlib.util.spec_from_file_location("elsewhere.bake", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        entry = sys.modules.get("zelvane.bake")
        print(json.dumps([entry is m, entry is placeholder, m.__name__, m.__package__,
                          m.__file__ == origin, hasattr(m, "__path__"),
                          m.fitgapmass.__module__]))
        """)
    assert rc == 0, err
    assert json.loads(out) == [not taken, taken, "elsewhere.bake", "elsewhere", True, False,
                               "zelvane.bake"]


# ---- Function objects ------------------------------------------------------------

def test_function_identity(func):
    doc, line = FUNCTIONS[func.__name__]
    assert (func.__qualname__, func.__module__, func.__doc__) == (func.__name__,
                                                                 "zelvane.bake", doc)
    assert func is getattr(bake, func.__name__)
    assert func.__globals__ is vars(bake)
    assert func.__defaults__ is None and func.__kwdefaults__ is None
    assert func.__closure__ is None
    code = func.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (3, 0, 0)
    assert code.co_varnames == ("center", "gap", "prob")
    assert (code.co_filename, code.co_firstlineno, code.co_name) == ("zelvane/bake", line,
                                                                   func.__name__)


def test_writable_attributes(func):
    doc = func.__doc__
    assert type(func.__annotations__) is dict and func.__annotations__ == {}
    assert func.__annotations__ is func.__annotations__
    assert type(func.__dict__) is dict and func.__dict__ == {}
    try:
        func.__annotations__ = {"prob": "float32 vector"}
        func.note = 42
        func.__doc__ = "replaced"
        assert func.__annotations__ == {"prob": "float32 vector"}
        assert func.__dict__ == {"note": 42} and func.note == 42
        assert func.__doc__ == "replaced"
    finally:
        func.__annotations__ = {}
        func.__dict__.clear()
        func.__doc__ = doc


def test_introspection(func):
    assert str(inspect.signature(func)) == "(center, gap, prob)"
    assert FUNCTIONS[func.__name__][0] in pydoc.render_doc(func, renderer=pydoc.plaintext)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_as_a_reference(func, protocol):
    assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.deepcopy(func) is func


def test_binds_to_instances(func):
    class Centers(np.ndarray):
        fit = func

    center, gap, prob = example()
    expected = prob.copy()
    func(center, gap, expected)
    centers = center.view(Centers)
    assert Centers.fit is func
    assert centers.fit.__self__ is centers and centers.fit.__func__ is func
    assert centers.fit(gap, prob) is None
    assert_bits_equal(prob, expected)


CALL_FORMS = {
    "slot, positional": lambda f, c, g, p: type(f).__call__(f, c, g, p),
    "slot, keywords": lambda f, c, g, p: type(f).__call__(f, prob=p, center=c, gap=g),
    "slot, mixed": lambda f, c, g, p: type(f).__call__(f, c, prob=p, gap=g),
    "partial": lambda f, c, g, p: functools.partial(f, c)(g, prob=p),
    "mapping": lambda f, c, g, p: f(**{"gap": g, "prob": p, "center": c}),
}


@pytest.mark.parametrize("call", CALL_FORMS.values(), ids=CALL_FORMS)
def test_call_forms_agree_with_a_direct_call(func, call):
    center, gap, prob = example()
    expected = prob.copy()
    assert func(center, gap, expected) is None
    assert call(func, center, gap, prob) is None
    assert_bits_equal(prob, expected)


def test_plain_call_slot_refuses_like_a_direct_call(func):
    with pytest.raises(TypeError) as caught:
        type(func).__call__(func, f32(0, 1))
    assert str(caught.value) == f"{func.__name__}() takes exactly 3 positional arguments (1 given)"
    assert module_frames(caught.value) == [(FUNCTIONS[func.__name__][1],
                                            "zelvane.bake." + func.__name__)]


# ---- The module-level name numpy -------------------------------------------------

def test_missing_numpy_is_a_name_error(func, monkeypatch):
    center, gap, prob = example()
    expected = prob.copy()
    func(center, gap, expected)
    monkeypatch.delattr(bake, "numpy")
    with pytest.raises(NameError) as caught:
        func(center, gap, prob)
    assert str(caught.value) == "name 'numpy' is not defined"
    frames = module_frames(caught.value)
    assert len(frames) == 2 and frames[0] == (FUNCTIONS[func.__name__][1],
                                              "zelvane.bake." + func.__name__)
    assert_bits_equal(prob, [9, 9, 9, 9])
    # Not in the module's namespace, the name is looked up among the builtins.
    monkeypatch.setattr(builtins, "numpy", np, raising=False)
    func(center, gap, prob)
    assert_bits_equal(prob, expected)


class StandInNumpy:
    """Bound as zelvane.bake.numpy: records the calls of `empty`, answers with `make(n)`."""

    def __init__(self, make):
        self.make, self.calls, self.float32 = make, [], object()

    def empty(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.make(*args)


def test_scratch_comes_from_the_bound_numpy(monkeypatch):
    center, gap = f32(0, 1, 2, 3, 4), f32(0.1, 0.5, 0.1, 0.3)
    expected, prob = np.zeros(5, np.float32), np.zeros(5, np.float32)
    bake.fitgapmass(center, gap, expected)  # a first call may cache the lookup
    # The scratch contents start unspecified: NaN fill shows any read before a write.
    stand_in = StandInNumpy(lambda n: np.full(n, np.nan, np.float32))
    monkeypatch.setattr(bake, "numpy", stand_in)
    bake.fitgapmass(center, gap, prob)
    assert stand_in.calls == [((4,), {"dtype": stand_in.float32})]
    assert type(stand_in.calls[0][0][0]) is int
    assert_bits_equal(prob, expected)


def refuse(n):
    raise LookupError("no scratch today")


BAD_SCRATCH = {
    "empty raises": (refuse, LookupError, r"^no scratch today$"),
    "list": (lambda n: [0.0] * n, TypeError, None),
    "float64 array": (lambda n: np.zeros(n), ValueError,
                      r"^Buffer dtype mismatch, expected 'float' but got 'double'$"),
    "one short": (lambda n: np.zeros(n - 1, np.float32), ValueError, r"\b4\b.*\b3\b"),
    "one long": (lambda n: np.zeros(n + 1, np.float32), ValueError, r"\b4\b.*\b5\b"),
}


@pytest.mark.parametrize("make, error, message", BAD_SCRATCH.values(), ids=BAD_SCRATCH)
def test_unusable_scratch_fails_the_call(monkeypatch, make, error, message):
    center, gap, prob = f32(0, 1, 2, 3, 4), f32(0.1, 0.5, 0.1, 0.3), f32(7, 6, 5, 4, 3)
    monkeypatch.setattr(bake, "numpy", StandInNumpy(make))
    with pytest.raises(error, match=message) as caught:
        bake.fitgapmass(center, gap, prob)
    assert module_frames(caught.value) == [(18, "zelvane.bake.fitgapmass"),
                                           (26, "zelvane.bake.fitgapmass")]
    assert_bits_equal(prob, [7, 6, 5, 4, 3])
