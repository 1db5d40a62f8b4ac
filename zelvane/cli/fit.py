"""``zelvane fit``: fit the histograms of a file and write every fit.

Every histogram of the input is fitted by the chosen methods; the values, the masses
and the masses the fit reproduces go to the output file (or as CSV to standard
output), the plot to its own file, and ``--check`` reports each fit's mass errors.
Fitted values below zero (the iterative and exact fits give them by design) are
announced on standard error, one line per file.

``--bands`` adds the smooth fit's confidence band at ``--level`` (0.9 by default): the low
and high ends of the interval (``SmoothFit.confidence(level)``) of every fitted value and
of every fitted mass, beside them. In CSV the columns ``value_low``, ``value_high`` after
``value`` and ``fitted_mass_low``, ``fitted_mass_high`` after ``fitted_mass`` (with several
methods ``value_smooth_low`` and so on); in JSON the smooth fit's ``values_low``,
``values_high``, ``fitted_masses_low``, ``fitted_masses_high`` and ``band_level``; in
``.npz`` arrays of those names (suffixed ``_smooth`` with several methods) and
``band_level``. A ``.npy`` file holds the values alone and takes no band. The
uncertainty is that of the counts as a sample (of their sum, or ``--sample-size``), or,
where the table has a margin-of-error column, of those margins (read as 90 % margins);
exact masses (shares without a sample size) leave a band of zero width but beyond an
open top without ``--mean``. ``--plot`` shades the band.
"""

from __future__ import annotations

import argparse
import sys
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Optional

from zelvane.cli.errors import PROG, BadInput
from zelvane.cli.fitting import (SMOOTH, check_mean, chosen_methods, closed, fit,
                                 largest_errors, smooth_options, smoothing_text, tail_text)
from zelvane.cli.plot import prepare_plot
from zelvane.cli.write import refuse_overwriting, write_files, write_stdout

if TYPE_CHECKING:
    import numpy.typing as npt

    from zelvane.cli.results import Result


def run_fit(args: argparse.Namespace) -> int:
    from zelvane.cli.formats import OUTPUT_EXTENSIONS
    from zelvane.cli.plot import GRID_LIMIT
    from zelvane.cli.read import display_name, read_input
    from zelvane.cli.results import density_of, with_band
    from zelvane.cli.summary import COLUMN_LEVEL
    from zelvane.cli.write import check_destination

    refuse_overwriting(args.input, (args.output, args.plot))
    names = chosen_methods(args.method)
    options = smooth_options(args, names)
    bands = args.level if args.bands else None
    if bands is not None and SMOOTH not in names:
        raise BadInput(None, "smooth_only", option="--bands")
    output = None
    if args.output is not None:
        output = (args.output, check_destination(args.output, "output_extension",
                                                 OUTPUT_EXTENSIONS))
        if output[1] == ".npy" and SMOOTH in names and len(names) > 1 and options.refine > 1:
            raise BadInput(args.output, "npy_lengths")
        if output[1] == ".npy" and bands is not None:
            raise BadInput(args.output, "npy_bands")
    plot_extension = prepare_plot(args.plot)
    plot = None if plot_extension is None else (args.plot, plot_extension)

    histograms = read_input(args.input, args.samples, args.bins, args.column,
                            args.all_columns)
    histograms = closed(histograms, args.lower, args.upper)
    check_mean(histograms, options)
    result = fit(histograms, names, args.workers, options.refine, options)
    if bands is not None:
        result = with_band(result, bands, histograms.margins, COLUMN_LEVEL, args.workers,
                           kept=0 if plot is None else GRID_LIMIT)
    warning = below_zero_warning(display_name(args.input), result)
    if warning is not None:
        print(f"{PROG}: {warning}", file=sys.stderr)
    densities = None
    if plot is not None and any(result.open_ends):
        densities = [density_of(result, k) for k in range(min(result.count, GRID_LIMIT))]

    write_files(result, output, plot, densities=densities)
    if output is None:
        write_stdout(result)
    if args.check:
        check_report(result, sys.stdout if output is not None else sys.stderr)
    return 0


class BelowZero(NamedTuple):
    """A fit's values below zero: in how many histograms, how many, the lowest."""

    histograms: int
    values: int
    lowest: float


def below_zero(values: npt.NDArray[Any]) -> BelowZero:
    """How many of one method's fitted values (one histogram per row) lie below zero."""
    import numpy as np

    negative = np.asarray(values) < 0
    if not negative.any():
        return BelowZero(0, 0, 0.0)
    rows = int(negative.any(axis=-1).sum()) if negative.ndim == 2 else 1
    return BelowZero(rows, int(negative.sum()), float(np.min(values)))


def below_zero_warning(source: str, result: Result) -> Optional[str]:
    """One line that names every fit of the file with values below zero (the
    iterative and exact fits give them by design, around empty bins say): how many
    histograms and values, and the most negative. None when there are none."""
    parts = []
    for method_fit in result.fits:
        found = below_zero(method_fit.values)
        if found.values:
            parts.append(f"the {method_fit.method} fit has {found.values} value"
                         f"{'' if found.values == 1 else 's'} below zero in {found.histograms} "
                         f"of {result.count} histogram{'' if result.count == 1 else 's'}, the "
                         f"most negative {found.lowest:.6g}")
    if not parts:
        return None
    return f"{source}: {'; '.join(parts)}: no density there"



def check_report(result: Result, stream: IO[str]) -> None:
    """One line per histogram and method: the largest mass errors of the fit and, where
    there are any, its values below zero (how many, the most negative); for the
    smooth fit also its smoothing (lambda) and effective degrees of freedom, and the tail
    beyond each open end."""
    for k in range(result.count):
        _, masses, fits = result.row(k)
        lead = f"histogram {k}, " if result.masses.ndim == 2 else ""
        for method_fit, fit_row in zip(result.fits, fits):
            absolute, relative = largest_errors(masses, fit_row.fitted_masses)
            found = below_zero(fit_row.values)
            negative = "" if not found.values else \
                f", {found.values} value{'' if found.values == 1 else 's'} below zero " \
                f"(the most negative {found.lowest:.6g})"
            stream.write(f"{lead}{method_fit.method}: largest absolute mass error "
                         f"{absolute:.3e}, largest relative {relative:.3e}{negative}\n")
            if not method_fit.raw:
                continue
            stats = method_fit.smooth_row(k)
            stream.write(f"{lead}{method_fit.method}: smoothing "
                         f"{smoothing_text(stats.smoothing, stats.edf, stats.deviance)}\n")
            for side, open_end in zip(("left", "right"), method_fit.open_ends):
                if open_end:
                    tail = stats.left_tail if side == "left" else stats.right_tail
                    stream.write(f"{lead}{method_fit.method}: {tail_text(side, tail)}\n")
