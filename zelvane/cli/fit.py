"""The command line's fitting: its input checked and fitted by every chosen method
through the package's fitting layer (``zelvane._fit``), in chunks of rows behind a
progress bar, and the mass errors of the fits.

An :class:`~zelvane.InputError` of the fitting layer becomes the command's bad
input, placed by its fields (argument, index, row) on the line of the input
table or in the array of the archive where the offending number is.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, Sequence, Tuple

from zelvane.cli.errors import BadInput

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from zelvane._errors import InputError
    from zelvane.cli.read import Histograms
    from zelvane.cli.write import Result

# The method whose values lie on knots finer than the edges, and its default cut.
SMOOTH = "smooth"
DEFAULT_REFINE = 4
# Batches at least this large show a progress bar on a terminal.
BAR_MIN_ROWS = 1000
# Rows fitted per call to the fitting layer, so that a bar moves between calls.
CHUNK_ROWS = 1024


def methods() -> Tuple[str, ...]:
    """The package's fitting methods, in the order they are run and shown."""
    from zelvane import _density

    return tuple(_density.FIT_METHODS)


# -- progress ---------------------------------------------------------------

@contextlib.contextmanager
def progress_bar(total: int, label: str) -> Iterator[Callable[[int], None]]:
    """A function to call with the number of rows just done. It draws a bar on
    standard error only when that is a terminal, the batch is large and tqdm
    is installed; otherwise it does nothing."""
    bar: Any = None
    if total >= BAR_MIN_ROWS and sys.stderr.isatty():
        try:
            tqdm: Any = importlib.import_module("tqdm")
        except ImportError:
            pass
        else:
            try:
                columns = os.get_terminal_size(sys.stderr.fileno()).columns
            except OSError:
                columns = 0
            # A terminal that reports no width would get no bar at all.
            bar = tqdm.tqdm(total=total, desc=label, unit=" rows", file=sys.stderr,
                            leave=False, ncols=columns or 80)
    if bar is None:
        yield lambda done: None
        return
    with bar:
        yield bar.update


# -- checking and fitting through the fitting layer -------------------------

def refused(histograms: Histograms, error: InputError, names: Tuple[str, str]) -> BadInput:
    """The fitting layer's complaint about the input, as bad input of the file.

    The error's fields place it: its argument (the fitting layer's ``center``
    and ``gap``, or the names it was given) becomes what the file calls the
    edges and the masses, ``names``, and an element of the one histogram that a
    table holds (an index without a row) is on the table line of that edge or
    mass."""
    renamed = {"center": names[0], "gap": names[1]}
    if error.argument in renamed:
        error = error.replaced(argument=renamed[error.argument])
    where = None
    if error.row is None and error.index is not None and error.argument in names:
        where = histograms.line(error.index)
    return BadInput(histograms.source, "checked", where, text=str(error))


def checked(histograms: Histograms, nonnegative: bool = False
            ) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The float32 edges and masses that the fitting layer accepts (with
    ``nonnegative``, as the smooth fit needs them), or its complaint as bad input."""
    from zelvane import _fit
    from zelvane._errors import InputError

    edge_name, mass_name = histograms.names
    try:
        edges, masses = _fit.check_histogram(histograms.edges, histograms.masses,
                                             center_name=edge_name, gap_name=mass_name,
                                             nonnegative=nonnegative)
    except InputError as error:
        raise refused(histograms, error, histograms.names) from None
    if masses.ndim == 2 and masses.shape[0] == 0:
        raise BadInput(histograms.source, "no_histograms", name=mass_name)
    return edges, masses


def fit(histograms: Histograms, names: Sequence[str], workers: int, refine: int) -> Result:
    """Every method's fit of the histograms, with the masses it reproduces.

    A batch is fitted in chunks of rows so that a progress bar moves: rows
    are fitted independently, so the values are those of a single call."""
    import numpy as np

    from zelvane import _fit
    from zelvane.cli.write import MethodFit, Result

    edges, masses = checked(histograms, nonnegative=SMOOTH in names)
    rows = masses.shape[0] if masses.ndim == 2 else 1
    fits = []
    for method in names:
        if method == SMOOTH:
            knots, smooth_values = fit_smooth(histograms, edges, masses, refine, workers)
            pieces = _fit.trapezoid_masses(knots, smooth_values)
            fitted = pieces.reshape(pieces.shape[:-1] + (-1, refine)).sum(axis=-1)
            fits.append(MethodFit(method, smooth_values, fitted, knots, refine))
            continue
        if masses.ndim == 1:
            values = _fit.fit_density(edges, masses, method=method, workers=workers)
        else:
            values = np.empty(masses.shape[:-1] + (masses.shape[-1] + 1,), np.float32)
            with progress_bar(rows, f"{method} fit") as advance:
                for start, stop in chunks(rows):
                    _fit.fit_density(rows_of(edges, start, stop), masses[start:stop],
                                     method=method, out=values[start:stop], workers=workers)
                    advance(stop - start)
        fits.append(MethodFit(method, values, _fit.trapezoid_masses(edges, values)))
    return Result(edges, masses, tuple(fits))


def chunks(rows: int) -> Iterator[Tuple[int, int]]:
    for start in range(0, rows, CHUNK_ROWS):
        yield start, min(start + CHUNK_ROWS, rows)


def rows_of(array: npt.NDArray[Any], start: int, stop: int) -> npt.NDArray[Any]:
    """Rows ``start:stop`` of a per-row array; a 1-D array is shared by all."""
    return array if array.ndim == 1 else array[start:stop]


def fit_smooth(histograms: Histograms, edges: npt.NDArray[np.float32],
               masses: npt.NDArray[np.float32], refine: int, workers: int
               ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The smooth fit's knots and values, in chunks of rows like the others."""
    import numpy as np

    from zelvane import _fit
    from zelvane._errors import InputError

    # A table's masses, all of them, are what a message about the whole histogram names.
    names = (histograms.names[0],
             "masses" if histograms.lines is not None else histograms.names[1])
    edges64, masses64 = edges.astype(np.float64), masses.astype(np.float64)

    def solve(start: int, stop: int) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        chunk = masses64 if masses64.ndim == 1 else masses64[start:stop]
        try:
            return _fit.smooth_checked(rows_of(edges64, start, stop), chunk, refine, workers,
                                       gap_name=names[1])
        except InputError as error:
            # Rows are counted from the chunk's start; the file counts them from its first.
            raise refused(histograms, error.shifted(start), names) from None

    if masses.ndim == 1:
        return solve(0, 1)
    rows = masses.shape[0]
    parts = []
    with progress_bar(rows, f"{SMOOTH} fit") as advance:
        for start, stop in chunks(rows):
            parts.append(solve(start, stop))
            advance(stop - start)
    knots = parts[0][0] if edges.ndim == 1 else np.concatenate([k for k, _ in parts])
    return knots, np.concatenate([v for _, v in parts])


def largest_errors(given: npt.NDArray[np.float32], fitted: npt.NDArray[np.float64]
                   ) -> Tuple[float, float]:
    """The largest absolute and relative difference between fitted and given
    masses; the relative one over the bins with a non-zero mass (NaN if none)."""
    import numpy as np

    difference = np.abs(fitted - given.astype(np.float64))
    nonzero = given != 0
    relative = difference[nonzero] / np.abs(given[nonzero].astype(np.float64))
    return float(difference.max()), float(relative.max()) if relative.size else float("nan")


def check_report(result: Result, stream: IO[str]) -> None:
    """One line per histogram and method: the largest mass errors of the fit."""
    for k in range(result.count):
        _, masses, fits = result.row(k)
        lead = f"histogram {k}, " if result.masses.ndim == 2 else ""
        for method_fit, fit_row in zip(result.fits, fits):
            absolute, relative = largest_errors(masses, fit_row.fitted_masses)
            stream.write(f"{lead}{method_fit.method}: largest absolute mass error "
                         f"{absolute:.3e}, largest relative {relative:.3e}\n")
