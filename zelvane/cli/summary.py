"""``zelvane summary``: the median, mean, inequality measures (Gini coefficient, top 10 %
share, Palma ratio, P90/P10, Theil, mean log deviation, Atkinson indices), smoothing and
tails of one histogram."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Callable, List

from zelvane.cli.errors import BadInput
from zelvane.cli.fitting import (SMOOTH, check_mean, closed, fit, smooth_options,
                                 smoothing_text, tail_text, whole_numbers)
from zelvane.cli.plot import prepare_plot
from zelvane.cli.write import refuse_overwriting, write_files

if TYPE_CHECKING:
    from zelvane import PiecewiseLinearDensity
    from zelvane.cli.histograms import Histograms


# The inequality aversions of the Atkinson indices shown.
ATKINSON = (0.5, 1.0, 2.0)


def measure(value: Callable[[], float]) -> str:
    """An inequality measure as the summary shows it: four decimals, ``inf`` where it
    diverges, and why where it has no value (mass at or below 0, where shares of income
    mean nothing, or beyond float64's range)."""
    try:
        found = float(value())
    except OverflowError:
        return "beyond float64's range"
    if found != found:
        return "undefined (mass at or below 0)"
    return f"{found:.4f}"


def atkinson_text(density: PiecewiseLinearDensity) -> str:
    """The Atkinson indices of :data:`ATKINSON`, or once why none has a value."""
    shown = [measure(lambda e=e: density.atkinson(e)) for e in ATKINSON]  # type: ignore[misc]
    return shown[0] if len(set(shown)) == 1 and shown[0].startswith("undefined") \
        else ", ".join(shown)


def summary_lines(histograms: Histograms, density: PiecewiseLinearDensity) -> List[str]:
    """The summary of one fitted histogram, a ``name: value`` line each."""
    import numpy as np

    masses = np.asarray(histograms.masses, dtype=np.float64)
    counts = whole_numbers(masses)
    lines = [f"input: {histograms.source}, {masses.size} bins, total {masses.sum():.10g} "
             f"({'counts' if counts else 'masses'})",
             f"median: {density.median():.6g}",
             f"mean: {density.mean():.6g}",
             f"gini: {density.gini():.4f}",
             f"top 10% share: {1.0 - float(density.lorenz(0.9)):.4f}",
             "palma: " + measure(density.palma),
             "p90/p10: " + measure(lambda: density.quantile_ratio(0.9, 0.1)),
             "theil: " + measure(density.theil),
             "mld: " + measure(density.mld),
             "atkinson (epsilon 0.5, 1, 2): " + atkinson_text(density),
             "smoothing: " + smoothing_text(density.smoothing or 0.0, density.edf or 0.0)]
    for side, tail in (("left", density.left_tail), ("right", density.right_tail)):
        lines.append(tail_text(side, tail))
    return lines


def run_summary(args: argparse.Namespace) -> int:
    from zelvane.cli.read import read_input
    from zelvane.cli.results import density_of

    refuse_overwriting(args.input, (args.plot,))
    options = smooth_options(args, (SMOOTH,))
    plot_extension = prepare_plot(args.plot)
    histograms = read_input(args.input, args.samples, args.bins, args.column,
                            args.all_columns)
    histograms = closed(histograms, args.lower, args.upper)
    if histograms.count != 1:
        raise BadInput(histograms.source, "summary_one", count=histograms.count)
    check_mean(histograms, options)
    result = fit(histograms, (SMOOTH,), 1, options.refine, options)
    density = density_of(result, 0)
    lines = summary_lines(histograms, density)
    if plot_extension is not None:
        title = f"{histograms.source}: median {density.median():.6g}, Gini {density.gini():.3f}"
        write_files(result, None, (args.plot, plot_extension), title, densities=[density])
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0

