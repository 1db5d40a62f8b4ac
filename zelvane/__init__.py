"""Piecewise linear densities fitted to the masses of their bins.

The work is done by the extension module ``zelvane._rows`` on the kernels of
``zelvane.bake``; importing this package alone loads neither an extension nor
NumPy: every public name below is looked up in its module on first use, the
constants too (``DEFAULT_REFINE``, ``MAX_REFINE`` and ``MAX_WORKERS`` are the rows
module's, ``FIT_METHODS`` the methods ``PiecewiseLinearDensity.from_masses`` takes).
``check_histogram`` is the check every fit makes of its edges and masses, for callers
(the command line among them) that check before they fit; ``memory_bytes`` the memory
this process may have, for callers that size their input against it. ``read_table``
reads a table as a spreadsheet exports it (``read_samples`` a column of numbers),
and refuses one with a ``TableError``.
``zelvane.bake`` (NumPy 1.x only) is loaded when asked for by name, never by
the package itself.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, List

if TYPE_CHECKING:
    from zelvane._checks import check_histogram as check_histogram
    from zelvane._confidence import Confidence as Confidence
    from zelvane._confidence import margin_to_se as margin_to_se
    from zelvane._density import PiecewiseLinearDensity as PiecewiseLinearDensity
    from zelvane._errors import ExtrapolationWarning as ExtrapolationWarning
    from zelvane._errors import InputError as InputError
    from zelvane._fit import fit_density as fit_density
    from zelvane._fit import trapezoid_masses as trapezoid_masses
    from zelvane._fitted import FIT_METHODS as FIT_METHODS
    from zelvane._native import DEFAULT_REFINE as DEFAULT_REFINE
    from zelvane._native import MAX_REFINE as MAX_REFINE
    from zelvane._native import MAX_WORKERS as MAX_WORKERS
    from zelvane._native import memory_bytes as memory_bytes
    from zelvane._smooth import SmoothFit as SmoothFit
    from zelvane._smooth import fit_smooth as fit_smooth
    from zelvane._tables import Table as Table
    from zelvane._tables import TableError as TableError
    from zelvane._tables import read_samples as read_samples
    from zelvane._tables import read_table as read_table
    from zelvane._tails import Tail as Tail

# Public name -> the module that defines it, imported when the name is first used. The
# bounds of refine and workers are the rows module's, read through zelvane._native.
_EXPORTS: Dict[str, str] = {
    "fit_density": "zelvane._fit",
    "fit_smooth": "zelvane._smooth",
    "SmoothFit": "zelvane._smooth",
    "Tail": "zelvane._tails",
    "trapezoid_masses": "zelvane._fit",
    "PiecewiseLinearDensity": "zelvane._density",
    "Confidence": "zelvane._confidence",
    "margin_to_se": "zelvane._confidence",
    "InputError": "zelvane._errors",
    "ExtrapolationWarning": "zelvane._errors",
    "FIT_METHODS": "zelvane._fitted",
    "DEFAULT_REFINE": "zelvane._native",
    "MAX_REFINE": "zelvane._native",
    "MAX_WORKERS": "zelvane._native",
    "check_histogram": "zelvane._checks",
    "memory_bytes": "zelvane._native",
    "read_table": "zelvane._tables",
    "read_samples": "zelvane._tables",
    "Table": "zelvane._tables",
    "TableError": "zelvane._tables",
}

# zelvane.bake is left out of __all__ and dir(): tools that import every name
# listed (``from zelvane import *``, documentation and completion) must not load
# a module that refuses NumPy 2 and makes NumPy print its notice about it.
__all__ = list(_EXPORTS)


def __getattr__(name: str) -> Any:
    if name == "bake":
        return importlib.import_module("zelvane.bake")
    module_name = _EXPORTS.get(name)
    if module_name is None:
        raise AttributeError(f"module 'zelvane' has no attribute {name!r}")
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as error:
        if error.name != module_name:
            raise
        raise AttributeError(f"module 'zelvane' has no attribute {name!r}: "
                             f"{module_name} is not installed") from error
    value = getattr(module, name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(__all__) | {name for name in globals() if name.startswith("__")})
