"""The layers of the installed package: its modules' imports, read with ast, form no
circle; zelvane._native alone imports the rows module; a module imports another of the
package inside a function only where the density's constructors hand over to the
fitting code; and the rows module states the contract that zelvane._native reads."""

import ast
import importlib.util
import inspect
from pathlib import Path

import numpy as np
import pytest

import zelvane
from conftest import run_python

PACKAGE = Path(importlib.util.find_spec("zelvane").origin).parent
# (importer, imported) of the imports made inside a function that the layers allow:
# the density's convenience constructors and its intervals (held in _from_data), and the
# smooth fit's intervals, delegate to the fitting module above them.
LAZY_ALLOWED = {("zelvane._from_data", "zelvane._fitted"), ("zelvane._smooth", "zelvane._fitted")}


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def is_type_checking(node):
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def imported(node, importer, modules, is_package):
    """The package's modules that an import statement names."""
    if isinstance(node, ast.Import):
        names = [alias.name for alias in node.names]
    else:
        base = node.module or ""
        if node.level:
            parts = importer.split(".")[:len(importer.split(".")) - node.level + is_package]
            base = ".".join(parts + ([node.module] if node.module else []))
        # `from package import module` names the module; `from module import name` the module.
        names = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base
                 for alias in node.names]
    return {name for name in names if name == "zelvane" or name.startswith("zelvane.")}


def import_statements(body, top_level=True):
    """(statement, whether it runs when the module is imported) for every import in
    `body`: a module's and a class's body run at import, a function's when called;
    a TYPE_CHECKING block never runs."""
    for node in body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node, top_level
        elif isinstance(node, ast.If) and is_type_checking(node):
            continue
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield from import_statements(node.body, False)
        else:
            for field in ("body", "orelse", "finalbody", "handlers"):
                yield from import_statements(getattr(node, field, []), top_level)


def import_graph():
    """{module: (modules imported at import time, modules imported inside functions)}
    for every Python module of the installed package, and the extension modules."""
    paths = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    modules = set(paths) | {f"zelvane.{p.name.split('.')[0]}" for p in PACKAGE.glob("*.so")}
    graph = {name: (set(), set()) for name in modules}
    for name, path in paths.items():
        tree = ast.parse(path.read_text(), str(path))
        for node, top in import_statements(tree.body):
            targets = imported(node, name, modules, path.name == "__init__.py") - {name}
            graph[name][0 if top else 1].update(targets)
    return graph


def find_cycle(edges):
    """A circle of the directed graph `edges` as a list of its modules, or None."""
    state, stack = {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in sorted(edges.get(node, ())):
            if state.get(target) == "open":
                return stack[stack.index(target):] + [target]
            if target not in state:
                found = visit(target)
                if found:
                    return found
        state[node] = "done"
        stack.pop()
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def test_the_graph_reader_finds_a_circle():
    assert find_cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": {"b", "c"}, "b": {"c"}, "c": set()}) is None
    tree = ast.parse("import zelvane._fit as f\nfrom zelvane import _dask, Tail\n"
                     "from . import _checks\nif TYPE_CHECKING:\n    import zelvane._smooth\n"
                     "def later():\n    from zelvane._fitted import from_masses\n")
    modules = {"zelvane", "zelvane._fit", "zelvane._dask", "zelvane._checks", "zelvane._smooth",
               "zelvane._fitted", "zelvane._density"}
    found = [(imported(node, "zelvane._density", modules, False), top)
             for node, top in import_statements(tree.body)]
    assert found == [({"zelvane._fit"}, True), ({"zelvane._dask", "zelvane"}, True),
                     ({"zelvane._checks"}, True), ({"zelvane._fitted"}, False)]


def test_imports_of_the_package_form_no_circle():
    graph = import_graph()
    assert {"zelvane._native", "zelvane._checks", "zelvane._fitted", "zelvane.cli"} <= set(graph)
    cycle = find_cycle({name: top for name, (top, _) in graph.items()})
    assert cycle is None, "import circle: " + " -> ".join(cycle)


def reach(graph, start):
    """Every module that importing `start` imports, directly or through others."""
    seen, todo = set(), [start]
    while todo:
        for target in graph[todo.pop()][0] - seen:
            seen.add(target)
            todo.append(target)
    return seen


def test_the_stack_sits_below_the_intervals_and_the_fits():
    # The stack evaluates fitted densities; the intervals build on it, never the reverse.
    graph = import_graph()
    assert "zelvane._stack" in reach(graph, "zelvane._confidence")
    assert "zelvane._density" in reach(graph, "zelvane._stack")
    above = {"zelvane._confidence", "zelvane._fitted", "zelvane._smooth", "zelvane._fit"}
    assert not reach(graph, "zelvane._stack") & above


def test_the_open_ends_sit_below_the_smooth_fit():
    # The tails' policy serves the smooth fit and knows no fit, density or front above it.
    graph = import_graph()
    assert "zelvane._open_ends" in reach(graph, "zelvane._smooth")
    above = {"zelvane._smooth", "zelvane._fit", "zelvane._density", "zelvane._confidence",
             "zelvane._stack", "zelvane._fitted", "zelvane._dask"}
    assert not reach(graph, "zelvane._open_ends") & above

def test_the_density_binds_every_method_that_its_modules_hold():
    # _summaries and _from_data hold the density's methods as functions of it, bound by
    # name in the class body: one left unbound would be missing from the class, its
    # pickles' interface and the API reference. They sit below the density.
    from zelvane import _from_data, _summaries
    from zelvane._density import PiecewiseLinearDensity

    graph = import_graph()
    for module in (_summaries, _from_data):
        names = [name for name, value in vars(module).items() if inspect.isfunction(value)
                 and value.__module__ == module.__name__ and not name.startswith("_")]
        assert len(names) >= 3
        for name in names:
            bound = inspect.getattr_static(PiecewiseLinearDensity, name, None)
            assert getattr(bound, "__func__", bound) is getattr(module, name), name
            assert inspect.getdoc(getattr(PiecewiseLinearDensity, name)), name
        assert "zelvane._density" not in reach(graph, module.__name__)
    # The constructors stay classmethods: a subclass's call reaches the fit as the class's.
    for name in ("from_masses", "from_histogram"):
        assert isinstance(inspect.getattr_static(PiecewiseLinearDensity, name), classmethod)
    assert "self" not in inspect.signature(PiecewiseLinearDensity([0, 1], [1, 1]).gini).parameters


def test_only_native_imports_the_rows_module_and_functions_import_only_what_is_allowed():
    graph = import_graph()
    importers = {name for name, (top, lazy) in graph.items() if "zelvane._rows" in top | lazy}
    assert importers == {"zelvane._native"}
    lazy = {(name, target) for name, (_, inner) in graph.items() if not name.startswith(
        "zelvane.cli") for target in inner}
    assert lazy == LAZY_ALLOWED


def test_import_loads_neither_numpy_nor_an_extension_and_constants_load_lazily():
    # The rows module's constants need the extension, not NumPy: the command line reads
    # its defaults at import and loads NumPy only once it has input to read.
    rc, out, err = run_python("""
        import sys, zelvane
        loaded = lambda: [m for m in ("numpy", "zelvane._rows") if m in sys.modules]
        print(loaded())
        print(zelvane.DEFAULT_REFINE, zelvane.MAX_REFINE, zelvane.MAX_WORKERS, loaded())
        import zelvane.cli
        print(loaded())
        print(zelvane.FIT_METHODS, loaded())
    """)
    assert rc == 0, err
    assert out.splitlines() == ["[]", "4 256 1024 ['zelvane._rows']", "['zelvane._rows']",
                                "('smooth', 'iterative', 'exact') ['numpy', 'zelvane._rows']"]


def test_the_rows_module_states_the_contract_that_native_reads():
    from zelvane import _native, _rows

    assert (zelvane.DEFAULT_REFINE, zelvane.MAX_REFINE, zelvane.MAX_WORKERS) == (
        _rows.DEFAULT_REFINE, _rows.MAX_REFINE, _rows.MAX_WORKERS)
    # The layout: every number once, in the order the open fit writes them.
    offsets = sorted(_native.INFO.values())
    assert offsets == list(range(_native.INFO_LENGTH)) and len(set(_native.INFO)) == 13
    assert set(_native.TAIL_KINDS) == {"none", "exponential", "pareto"}
    assert _native.STATUS["ok"] == 0 and len(set(_native.STATUS.values())) == len(_native.STATUS)
    with pytest.raises(TypeError):
        _rows.STATUS["ok"] = 1  # read-only: the contract is the module's
    # What the open fit writes at those offsets is what SmoothFit reads back.
    fit = zelvane.fit_smooth([0.0, 1.0, 2.0, np.inf], [[3.0, 2.0, 1.0]] * 2, smoothing="auto",
                             tail=2.5)
    out = np.empty((2, 3 * 4 + 1 + _native.INFO_LENGTH))
    held = np.full(2, 2.5)
    assert _rows.open(np.array([0.0, 1.0, 2.0, np.inf]), np.array([[3.0, 2.0, 1.0]] * 2), out, 4,
                      _native.AUTO_SMOOTHING, 3.0, None, None, None, held, 0, 1) is None
    info = out[:, 13:]
    assert info[:, _native.INFO["edf"]].tolist() == fit.edf.tolist()
    assert info[:, _native.INFO["right_parameter"]].tolist() == fit.right_tail.parameter.tolist()
    assert info[0, _native.INFO["right_kind"]] == _native.TAIL_KINDS[fit.right_tail.kind]
