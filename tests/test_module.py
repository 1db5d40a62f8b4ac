"""zelvane.bake as Python code sees it: the namespace, repeated import, reload, a second interpreter,
the two function objects, and the module-level name `numpy` that gives the solvers scratch memory."""

import builtins
import functools
import importlib
import inspect
import json
import pickle
import pydoc
import re
import sys
import types

import numpy as np
import pytest

from conftest import FUNCTION_LINES, assert_bits_equal, f32, load_bake, module_frames, run_python

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

DOC = ("Given bin centers this outputs the probabilities (into prob) of a piecewise linear PDF "
       "(Zelvane) using those centers such that the probability mass between each pair of "
       "centers is as given in the gap array, which is of length one less than center/prob.")
DOCS = {"fitgapmass": DOC, "fitgapmass_meh": DOC + (
    " This version solves the problem exactly... but then suffers from accidental hedgehog. "
    "Have dropped for now, as a basic solver, while not as precise, gives a more reasonable "
    "result and this isn't my focus at this time.")}
REFUSED = re.escape("Interpreter change detected - this module can only be loaded into "
                    "one interpreter per process.")


def example():  # center, gap and a prefilled prob of a small fit
    return f32(0, 1, 2.5, 3), f32(0.5, 1.5, 0.25), f32(9, 9, 9, 9)


def expected_prob(func):
    center, gap, prob = example()
    func(center, gap, prob)
    return prob


# ---- Namespace and import --------------------------------------------------------

def test_namespace_after_import():
    ns = vars(bake)
    assert (bake.__name__, bake.__package__, bake.__loader__, bake.__file__) == (
        "zelvane.bake", "zelvane", bake.__spec__.loader, bake.__spec__.origin)
    assert (ns["__doc__"], ns["__builtins__"], bake.numpy, type(bake.__test__), bake.__test__,
            "__path__" in ns) == (None, builtins, np, dict, {}, False)
    assert {name for name in ns if not name.startswith("_")} == {"numpy", "fitgapmass", "fitgapmass_meh"}


def test_package_import_loads_neither_numpy_nor_extension():
    rc, out, err = run_python("""
        import sys, zelvane
        print(sorted({"numpy", "zelvane.bake"} & set(sys.modules)))
        import zelvane.bake
        print(sorted({"numpy", "zelvane.bake"} & set(sys.modules)))
        """)
    assert (rc, out.splitlines()) == (0, ["[]", "['numpy', 'zelvane.bake']"]), err


def test_import_after_removal_and_reload_give_the_same_module():
    import zelvane
    kept = {name: vars(bake)[name]
            for name in ("numpy", "fitgapmass", "fitgapmass_meh", "__test__", "__builtins__")}
    bake.user_added = marker = object()
    try:
        del sys.modules["zelvane.bake"]
        again = importlib.import_module("zelvane.bake")
        assert (again, importlib.reload(bake), bake.user_added) == (bake, bake, marker)
        assert all(vars(bake)[name] is value for name, value in kept.items())
    finally:
        sys.modules["zelvane.bake"] = zelvane.bake = bake
        vars(bake).pop("user_added", None)


# Steps in a fresh process, the pattern of its whole output, and whether stderr shows the refusal.
SECOND_INTERPRETER = {
    "main first": ("main_import(); sub()", "main loaded\nsub rc -1\n", True),
    "failed main first": ("sys.modules['numpy'] = None; main_import(); del sys.modules['numpy']; sub()",
                          f"main refused: (?!{REFUSED}).+\nsub rc -1\n", True),
    "sub first": ("sub(); main_import()", f"sub rc -?[01]\nmain refused: {REFUSED}\n", False),
}


@pytest.mark.parametrize("steps, expected, sub_refused", SECOND_INTERPRETER.values(),
                         ids=SECOND_INTERPRETER)
def test_second_interpreter_is_refused(steps, expected, sub_refused):
    pytest.importorskip("_testcapi")
    rc, out, err = run_python(f"""
        import sys, _testcapi
        def main_import():
            try:
                import zelvane.bake
                print("main loaded")
            except ImportError as e:
                print("main refused:", e)
        def sub():
            print("sub rc", _testcapi.run_in_subinterp("import zelvane.bake"))
        {steps}
        """)
    assert rc == 0 and re.fullmatch(expected, out), (out, err)
    assert not sub_refused or re.search(f"^ImportError: {REFUSED}$", err, re.M), err


@pytest.mark.parametrize("taken", [False, True], ids=["free", "taken"])
def test_load_under_another_name_registers_canonical_name(taken):
    rc, out, err = run_python(f"""
        import importlib.util, json, sys
        origin = importlib.util.find_spec("zelvane.bake").origin
        placeholder = sys.modules.setdefault("zelvane.bake", object()) if {taken} else None
        spec = importlib.util.spec_from_file_location("elsewhere.bake", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        entry = sys.modules.get("zelvane.bake")
        print(json.dumps([entry is m, entry is placeholder, m.__name__, m.__package__,
                          m.__file__ == origin, hasattr(m, "__path__"), m.fitgapmass.__module__]))
        """)
    assert (rc, json.loads(out or "null")) == (0, [not taken, taken, "elsewhere.bake", "elsewhere",
                                                   True, False, "zelvane.bake"]), err


# ---- Function objects ------------------------------------------------------------

def test_function_attributes(func):
    name, code = func.__name__, func.__code__
    assert (func.__qualname__, func.__module__, func.__doc__) == (name, "zelvane.bake", DOCS[name])
    assert (func.__defaults__, func.__kwdefaults__, func.__closure__) == (None, None, None)
    assert func.__globals__ is vars(bake) and func is getattr(bake, name)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_varnames,
            code.co_filename, code.co_firstlineno, code.co_name) == (
        3, 0, 0, ("center", "gap", "prob"), "zelvane/bake", FUNCTION_LINES[name], name)
    assert str(inspect.signature(func)) == "(center, gap, prob)"
    assert DOCS[name] in pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert all(pickle.loads(pickle.dumps(func, p)) is func for p in range(pickle.HIGHEST_PROTOCOL + 1))


def test_writable_attributes(func, monkeypatch):
    assert [(type(d), d) for d in (func.__annotations__, func.__dict__)] == [(dict, {})] * 2
    assert func.__annotations__ is func.__annotations__  # made once, on first access
    for name, value in [("__annotations__", {"prob": "float32 vector"}), ("note", 42), ("__doc__", "new")]:
        monkeypatch.setattr(func, name, value, raising=False)  # undone after the test
    assert (func.__annotations__, func.__dict__, func.__doc__) == (
        {"prob": "float32 vector"}, {"note": 42}, "new")



def centers(f):  # a class that holds `f` as an attribute
    return type("Centers", (np.ndarray,), {"fit": f})


@pytest.mark.parametrize("call", [
    lambda f, c, g, p: type(f).__call__(f, c, g, p),
    lambda f, c, g, p: type(f).__call__(f, prob=p, center=c, gap=g),
    lambda f, c, g, p: functools.partial(f, c)(g, prob=p),
    lambda f, c, g, p: c.view(centers(f)).fit(g, p),
    lambda f, c, g, p: centers(f).fit(c, g, p),
], ids=["slot, positional", "slot, keywords", "partial", "bound to an instance", "from the class"])
def test_call_forms_agree_with_a_direct_call(func, call):
    center, gap, prob = example()
    assert call(func, center, gap, prob) is None
    assert_bits_equal(prob, expected_prob(func))


# ---- The module-level name numpy -------------------------------------------------

def test_missing_numpy_is_a_name_error(func, monkeypatch):
    center, gap, prob = example()
    expected = expected_prob(func)  # a first call may cache the lookup
    monkeypatch.delattr(bake, "numpy")
    with pytest.raises(NameError, match="^name 'numpy' is not defined$") as caught:
        func(center, gap, prob)
    frames = module_frames(caught.value)  # the function's own line, then the failing statement's
    assert (len(frames), frames[0]) == (2, (FUNCTION_LINES[func.__name__], "zelvane.bake." + func.__name__))
    assert_bits_equal(prob, [9, 9, 9, 9])
    # Not in the module's namespace, the name is looked up among the builtins.
    monkeypatch.setattr(builtins, "numpy", np, raising=False)
    func(center, gap, prob)
    assert_bits_equal(prob, expected)


def stand_in_numpy(empty):
    """A numpy to bind as zelvane.bake.numpy: `empty`, and a marker as float32."""
    return types.SimpleNamespace(empty=empty, float32=object())


def test_scratch_comes_from_the_bound_numpy(monkeypatch):
    center, gap = f32(0, 1, 2, 3, 4), f32(0.1, 0.5, 0.1, 0.3)
    expected, prob = np.zeros(5, np.float32), np.zeros(5, np.float32)
    bake.fitgapmass(center, gap, expected)  # a first call may cache the lookup
    calls = []

    def empty(*args, **kwargs):
        calls.append((args, kwargs))
        return np.full(args[0], np.nan, np.float32)  # NaN shows a read before a write
    stand_in = stand_in_numpy(empty)
    monkeypatch.setattr(bake, "numpy", stand_in)
    bake.fitgapmass(center, gap, prob)
    assert calls == [((4,), {"dtype": stand_in.float32})] and type(calls[0][0][0]) is int
    assert_bits_equal(prob, expected)


def refuse(n, dtype):
    raise LookupError("no scratch today")


@pytest.mark.parametrize("empty, error, message", [
    (refuse, LookupError, r"^no scratch today$"),
    (lambda n, dtype: [0.0] * n, TypeError, None),
    (lambda n, dtype: np.zeros(n), ValueError, r"^Buffer dtype mismatch, expected 'float' but got 'double'$"),
    (lambda n, dtype: np.zeros(n - 1, np.float32), ValueError, r"\b4\b.*\b3\b"),
    (lambda n, dtype: np.zeros(n + 1, np.float32), ValueError, r"\b4\b.*\b5\b"),
], ids=["empty raises", "list", "float64 array", "one short", "one long"])
def test_unusable_scratch_fails_the_call(monkeypatch, empty, error, message):
    center, gap, prob = f32(0, 1, 2, 3, 4), f32(0.1, 0.5, 0.1, 0.3), f32(7, 6, 5, 4, 3)
    monkeypatch.setattr(bake, "numpy", stand_in_numpy(empty))
    with pytest.raises(error, match=message) as caught:
        bake.fitgapmass(center, gap, prob)
    assert module_frames(caught.value) == [(18, "zelvane.bake.fitgapmass"), (26, "zelvane.bake.fitgapmass")]
    assert_bits_equal(prob, [7, 6, 5, 4, 3])
