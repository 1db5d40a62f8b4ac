"""The command line's fitting: its input checked and fitted by every chosen method
through the package's public functions (:func:`zelvane.fit_density`,
:func:`zelvane.fit_smooth`), in chunks of rows behind a progress bar, and the mass
errors of the fits.

An :class:`~zelvane.InputError` of the package becomes the command's bad input,
placed by its fields (argument, index, row) on the line of the input table or in the
array of the archive where the offending number is.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import re
import sys
from dataclasses import dataclass
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterator, Optional, Sequence, Tuple,
                    Union)

from zelvane import DEFAULT_REFINE
from zelvane.cli.errors import BadInput, GaveUp

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from zelvane import InputError, SmoothFit
    from zelvane.cli.histograms import Histograms
    from zelvane.cli.results import Result

__all__ = ["DEFAULT_REFINE", "EVERY_METHOD", "SMOOTH", "SmoothOptions", "fit", "methods",
           "progress_bar"]

# The method whose values lie on knots finer than the edges.
SMOOTH = "smooth"
# --method names that stand for every method there is.
EVERY_METHOD = ("both", "all")
# Batches at least this large show a progress bar on a terminal.
BAR_MIN_ROWS = 1000
# Rows fitted per call to the fitting layer, so that a bar moves between calls.
CHUNK_ROWS = 1024


def whole_numbers(masses: npt.NDArray[Any]) -> bool:
    """Whether every finite mass is a whole number: counts, which the counts-aware fit
    reads as a sample whose size is their sum."""
    import numpy as np

    given = np.asarray(masses)
    if given.dtype.kind != "f":
        return True
    return bool(np.all(np.mod(given[np.isfinite(given)], 1) == 0))


@dataclass(frozen=True)
class SmoothOptions:
    """How the smooth fit treats the masses.

    ``smoothing`` None decides from the masses (:meth:`smoothing_for`); otherwise
    ``"auto"``, 0 or a positive number, as ``zelvane.fit_smooth`` takes it.
    ``sample_size`` and ``mean`` are the published sample size and mean, or None;
    ``tail`` and ``bottom`` as ``zelvane.fit_smooth`` takes them (None: its default)."""

    refine: int = DEFAULT_REFINE
    smoothing: Union[None, str, float] = None
    sample_size: Optional[float] = None
    mean: Optional[float] = None
    tail: Union[None, str, float, Tuple[Union[str, float], Union[str, float]]] = None
    bottom: Optional[str] = None

    def smoothing_for(self, masses: npt.NDArray[Any]) -> Union[str, float]:
        """The smoothing asked for, or else: counts-aware (``"auto"``) when every mass is
        a whole number (counts) or a sample size is given, the exact masses (0) when not."""
        if self.smoothing is not None:
            return self.smoothing
        if self.sample_size is not None or whole_numbers(masses):
            return "auto"
        return 0.0

    def arguments(self, masses: npt.NDArray[Any]) -> Dict[str, Any]:
        """The keyword arguments of ``zelvane.fit_smooth`` beyond ``refine`` and ``workers``
        that differ from its defaults: none for a fit of exact masses."""
        given: Dict[str, Any] = {}
        smoothing = self.smoothing_for(masses)
        if smoothing != 0:
            given["smoothing"] = smoothing
        if self.sample_size is not None:
            given["sample_size"] = self.sample_size
        if self.mean is not None:
            given["mean"] = self.mean
        if self.tail is not None:
            given["tail"] = self.tail
        if self.bottom is not None:
            given["bottom"] = self.bottom
        return given


def methods() -> Tuple[str, ...]:
    """The package's fitting methods, in the order they are run and shown."""
    from zelvane import FIT_METHODS

    return tuple(FIT_METHODS)


def chosen_methods(method: str) -> Tuple[str, ...]:
    """The methods that ``--method`` names: one, or every one for ``both`` or ``all``."""
    return methods() if method in EVERY_METHOD else (method,)


def smooth_options(args: argparse.Namespace, names: Sequence[str]) -> SmoothOptions:
    """The smooth fit's options from the command line, refused without the smooth fit."""
    given = [(flag, value) for flag, value in (("--smoothing", args.smoothing),
                                               ("--sample-size", args.sample_size),
                                               ("--mean", args.mean), ("--refine", args.refine),
                                               ("--tail", args.tail),
                                               ("--bottom", args.bottom))
             if value is not None]
    if given and SMOOTH not in names:
        raise BadInput(None, "smooth_only", option=given[0][0])
    refine = DEFAULT_REFINE if args.refine is None else args.refine
    return SmoothOptions(refine, args.smoothing, args.sample_size, args.mean, args.tail,
                         args.bottom)


def closed(histograms: Histograms, lower: Optional[float],
           upper: Optional[float]) -> Histograms:
    """The histograms with their open first bin closed at `lower` and their open last bin
    at `upper` (``--upper 110`` for an age group "85+"), as ``upper=`` and ``lower=``
    close them in the package's fits: refused where that end is not open, or where the
    edge is not beyond the finite edge next to it."""
    import dataclasses

    import numpy as np

    if lower is None and upper is None:
        return histograms
    edges = np.array(histograms.edges, dtype=np.float64)
    for value, k, option, end, beyond in ((lower, 0, "--lower", "first", np.less),
                                          (upper, -1, "--upper", "last", np.greater)):
        if value is None:
            continue
        ends = edges[..., k].reshape(-1)
        if not np.isinf(ends).all():
            raise BadInput(histograms.source, "not_open", option=option, end=end,
                           edge=f"{ends[np.argmin(np.isinf(ends))]:g}")
        inner = edges[..., 1 if k == 0 else -2].reshape(-1)
        if not beyond(value, inner).all():
            raise BadInput(histograms.source, "closing_edge", option=option, value=f"{value:g}",
                           side="below" if k == 0 else "above", end=end,
                           edge=f"{inner[np.argmin(beyond(value, inner))]:g}")
        edges[..., k] = value
    return dataclasses.replace(histograms, edges=edges)


def check_mean(histograms: Histograms, options: SmoothOptions) -> None:
    """Refuse a mean for histograms without an open end, which has no tail to meet it."""
    if options.mean is not None and not any(histograms.open_ends):
        raise BadInput(histograms.source, "mean_without_open")


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
    mass; of a wide table's histograms (a row), on that line in the row's column."""
    renamed = {"center": names[0], "gap": names[1]}
    if error.argument in renamed:
        error = error.replaced(argument=renamed[error.argument])
    where = None
    if error.index is not None and error.argument in names:
        line = histograms.line(error.index, mass=error.argument == names[1])
        if error.row is None:
            where = line
        elif line is not None and error.row < len(histograms.columns):
            where = f"{line}, column {histograms.columns[error.row]!r}"
    return BadInput(histograms.source, "checked", where, text=str(error))


def checked(histograms: Histograms, dtype: Any = None) -> Tuple[npt.NDArray[Any],
                                                                npt.NDArray[Any]]:
    """The edges and masses that the fitting layer accepts, as float32 (what the
    iterative and exact fits take) or as ``dtype`` (float64 for the smooth fit), or
    its complaint as bad input. Masses are counts or shares of a total: a negative
    one is refused."""
    import numpy as np

    from zelvane import InputError, check_histogram

    edge_name, mass_name = histograms.names
    try:
        edges, masses = check_histogram(histograms.edges, histograms.masses,
                                        center_name=edge_name, gap_name=mass_name,
                                        nonnegative=True,
                                        dtype=np.float32 if dtype is None else dtype)
    except InputError as error:
        raise refused(histograms, error, histograms.names) from None
    if masses.ndim == 2 and masses.shape[0] == 0:
        raise BadInput(histograms.source, "no_histograms", name=mass_name)
    return edges, masses


def open_arrays(histograms: Histograms) -> Tuple[npt.NDArray[np.float64],
                                                npt.NDArray[np.float64]]:
    """The float64 edges and masses of histograms with an open end, for the smooth fit
    to check (the checks of the other fits refuse infinite edges)."""
    import numpy as np

    arrays = []
    for name, given in zip(histograms.names, (histograms.edges, histograms.masses)):
        array = np.asarray(given)
        if array.dtype.kind not in "biuf":
            raise BadInput(histograms.source, "checked",
                           text=f"{name} must hold real numbers, not {array.dtype} values")
        arrays.append(np.ascontiguousarray(array, dtype=np.float64))
    return arrays[0], arrays[1]


def fit(histograms: Histograms, names: Sequence[str], workers: int, refine: int,
        options: Optional[SmoothOptions] = None) -> Result:
    """Every method's fit of the histograms, with the masses it reproduces.

    A batch is fitted in chunks of rows so that a progress bar moves: rows
    are fitted independently, so the values are those of a single call.
    Histograms with an open end (an edge at -inf or inf) have the smooth fit
    alone, with a tail beyond each open end."""
    import numpy as np

    from zelvane import InputError, fit_density, trapezoid_masses
    from zelvane.cli.results import MethodFit, Result

    options = SmoothOptions(refine) if options is None else options
    if any(histograms.open_ends):
        if list(names) != [SMOOTH]:
            raise BadInput(histograms.source, "open_methods")
        edges64, masses64 = open_arrays(histograms)
        knots, body_values, raw = fit_smooth(histograms, edges64, masses64, options, workers)
        body = MethodFit(SMOOTH, body_values, fitted_masses(raw), knots, options.refine, raw,
                         histograms.open_ends)
        return Result(edges64, masses64, (body,))
    # The iterative and exact fits work on float32; the smooth fit takes the float64
    # numbers as read, and then the result shows them as read too (a float64 check of
    # numbers that the float32 check accepted cannot refuse them).
    others = [method for method in names if method != SMOOTH]
    edges, masses = checked(histograms) if others else checked(histograms, np.float64)
    shown_edges, shown_masses = edges, masses
    if SMOOTH in names and others:
        shown_edges, shown_masses = checked(histograms, np.float64)
    rows = masses.shape[0] if masses.ndim == 2 else 1
    fits = []
    for method in names:
        if method == SMOOTH:
            knots, smooth_values, raw = fit_smooth(histograms, shown_edges, shown_masses,
                                                   options, workers)
            fits.append(MethodFit(method, smooth_values, fitted_masses(raw), knots,
                                  options.refine, raw))
            continue
        start = 0
        try:
            if masses.ndim == 1:
                values = fit_density(edges, masses, method=method, workers=workers)
            else:
                values = np.empty(masses.shape[:-1] + (masses.shape[-1] + 1,), np.float32)
                with progress_bar(rows, f"{method} fit") as advance:
                    for start, stop in chunks(rows):
                        fit_density(rows_of(edges, start, stop), masses[start:stop],
                                    method=method, out=values[start:stop], workers=workers)
                        advance(stop - start)
        except InputError as error:
            # Rows are counted from the chunk's start; the file counts them from its first.
            raise refused(histograms, error.shifted(start), histograms.names) from None
        fits.append(MethodFit(method, values, trapezoid_masses(edges, values)))
    return Result(shown_edges, shown_masses, tuple(fits))


def fitted_masses(raw: Sequence[Tuple[int, SmoothFit]]) -> npt.NDArray[np.float64]:
    """The fitted mass of every bin of every histogram (a tail's in its open bin), from
    the smooth fit of each chunk of rows."""
    import numpy as np

    parts = [part.bin_masses() for _, part in raw]
    return parts[0] if len(parts) == 1 and parts[0].ndim == 1 else np.concatenate(parts)


def chunks(rows: int) -> Iterator[Tuple[int, int]]:
    for start in range(0, rows, CHUNK_ROWS):
        yield start, min(start + CHUNK_ROWS, rows)


def rows_of(array: npt.NDArray[Any], start: int, stop: int) -> npt.NDArray[Any]:
    """Rows ``start:stop`` of a per-row array; a 1-D array is shared by all."""
    return array if array.ndim == 1 else array[start:stop]


def fit_smooth(histograms: Histograms, edges: npt.NDArray[np.float64],
               masses: npt.NDArray[np.float64], options: SmoothOptions, workers: int
               ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64],
                          Tuple[Tuple[int, SmoothFit], ...]]:
    """The smooth fit's knots and values, in chunks of rows like the others, and each
    chunk's fit as ``zelvane.fit_smooth`` returns it with the chunk's first row (its
    smoothing, degrees of freedom and tails)."""
    import numpy as np

    import zelvane
    from zelvane import InputError

    # A table's masses, all of them, are what a message about the whole histogram names.
    names = (histograms.names[0],
             "masses" if histograms.lines is not None else histograms.names[1])

    def solve(start: int, stop: int) -> SmoothFit:
        chunk = masses if masses.ndim == 1 else masses[start:stop]
        try:
            return zelvane.fit_smooth(rows_of(edges, start, stop), chunk,
                                      refine=options.refine, workers=workers,
                                      **options.arguments(chunk))
        except InputError as error:
            # Rows are counted from the chunk's start; the file counts them from its first.
            raise refused(histograms, error.shifted(start), names) from None
        except RuntimeError as error:
            # A solver that gave up names the row of the chunk, as the file counts it.
            reason = re.sub(r"^row (\d+)", lambda m: f"row {int(m.group(1)) + start}",
                            str(error))
            raise GaveUp(histograms.source, reason) from None

    if masses.ndim == 1:
        result = solve(0, 1)
        knots, values = result
        return knots, values, ((0, result),)
    rows = masses.shape[0]
    parts = []
    with progress_bar(rows, f"{SMOOTH} fit") as advance:
        for start, stop in chunks(rows):
            parts.append((start, solve(start, stop)))
            advance(stop - start)
    unpacked = [tuple(part) for _, part in parts]
    knots = unpacked[0][0] if edges.ndim == 1 else np.concatenate([k for k, _ in unpacked])
    return knots, np.concatenate([v for _, v in unpacked]), tuple(parts)


def largest_errors(given: npt.NDArray[np.float32], fitted: npt.NDArray[np.float64]
                   ) -> Tuple[float, float]:
    """The largest absolute and relative difference between fitted and given
    masses; the relative one over the bins with a non-zero mass (NaN if none)."""
    import numpy as np

    difference = np.abs(fitted - given.astype(np.float64))
    nonzero = given != 0
    relative = difference[nonzero] / np.abs(given[nonzero].astype(np.float64))
    return float(difference.max()), float(relative.max()) if relative.size else float("nan")


# How a tail's parameter was chosen (zelvane.Tail.chosen), as --check and the summary say it.
CHOSEN_TEXT = {"given": "given", "brackets": "from the last brackets and the prior index",
               "prior": "the prior index alone", "interpolated": "interpolated from the end "
               "brackets", "bound": "held at a bound of its range", "fixed": "fixed by --tail",
               "mean": "meeting the mean"}


def tail_text(side: str, tail: Any) -> str:
    """A tail as --check and the summary describe it."""
    if tail is None:
        return f"{side} tail: none"
    name = "index (alpha)" if tail.kind == "pareto" else "scale (beta)"
    return (f"{side} tail: {tail.kind} from {tail.joint:.6g}, mass {tail.mass:.6g}, "
            f"{name} {tail.parameter:.6g} ({CHOSEN_TEXT.get(tail.chosen, tail.chosen)})")


def smoothing_text(smoothing: float, edf: float, deviance: Optional[float] = None) -> str:
    """The smoothing (lambda) of a smooth fit, what it means, and the effective degrees of
    freedom (and the deviance, where known) it leaves."""
    kind = "exact masses" if smoothing == 0 else "counts-aware"
    text = f"{smoothing:.6g} ({kind}), {edf:.4g} effective degrees of freedom"
    return text if deviance is None else f"{text}, deviance {deviance:.6g}"

