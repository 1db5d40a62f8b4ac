"""``zelvane summary``: the median, mean, inequality measures (Gini coefficient, top 10 %
share, Palma ratio, P90/P10, Theil, mean log deviation, Atkinson indices), smoothing and
tails of one histogram; the median, mean, Gini and top share each with its margin of
error (``median: 71,008 ± 640 (90 %)``).

The margins are half the width of ``PiecewiseLinearDensity.confidence`` intervals at
``--level``: from the counts as a sample (of their sum, or ``--sample-size``), or from
the standard errors of the counts where the table has a margin-of-error column (read as
90 % margins); masses that are no counts and have no sample size are exact, and only an
open tail without ``--mean`` leaves room. ``--no-margins`` prints the figures alone.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Tuple

from zelvane.cli.errors import BadInput
from zelvane.cli.fitting import (SMOOTH, check_mean, closed, fit, smooth_options,
                                 smoothing_text, tail_text, whole_numbers)
from zelvane.cli.plot import prepare_plot
from zelvane.cli.write import refuse_overwriting, write_files

if TYPE_CHECKING:
    from zelvane import PiecewiseLinearDensity
    from zelvane.cli.histograms import Histograms


#: What the margins of a margin-of-error column are taken to be: the American Community
#: Survey's (and most statistics offices') 90 % margins.
COLUMN_LEVEL = 0.9


def with_margin(value: float, interval: Optional[Tuple[float, float]], level: float,
                fallback: str) -> str:
    """`value` and the half width of its `interval` at `level`, the value rounded to
    the margin's second significant digit: ``71,008 ± 640 (90 %)``; where the interval is
    open above or leaves the value out, its ends instead; `fallback` formats the value
    alone (no interval)."""
    if interval is None or not math.isfinite(value):
        return format(value, fallback)
    low, high = interval
    percent = f"{100 * level:g} %"
    margin = 0.5 * (high - low)
    if not (math.isfinite(low) and math.isfinite(high)) or not low <= value <= high:
        return f"{format(value, ',' + fallback)} ({percent}: {_number(low, margin)} to " \
               f"{_number(high, margin)})"
    if margin <= 1e-9 * abs(value):
        # Nothing uncertain (exact masses, a mean held), but for rounding.
        return f"{format(value, ',' + fallback)} ± 0 ({percent})"
    return f"{_number(value, margin)} ± {_number(margin, margin)} ({percent})"


def _number(value: float, margin: float) -> str:
    """`value` to the second significant digit of `margin`, with thousands separators."""
    if not math.isfinite(value):
        return "inf" if value > 0 else "-inf" if value < 0 else "nan"
    if not (math.isfinite(margin) and margin > 0):
        return f"{value:,.6g}"
    decimals = max(0, 1 - math.floor(math.log10(margin)))
    return f"{value:,.{decimals}f}"


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


def summary_lines(histograms: Histograms, density: PiecewiseLinearDensity,
                  intervals: Any = None) -> List[str]:
    """The summary of one fitted histogram, a ``name: value`` line each; with
    `intervals` (the density's ``Confidence``) the median, mean, Gini and top share with
    their margins."""
    import numpy as np

    masses = np.asarray(histograms.masses, dtype=np.float64)
    counts = whole_numbers(masses)
    level = intervals.level if intervals is not None else 0.0

    def shown(name: str, value: float, fallback: str) -> str:
        pair = None if intervals is None else getattr(intervals, name)()
        return with_margin(value, pair, level, fallback)

    top = 1.0 - float(density.lorenz(0.9))
    top_pair = None if intervals is None else intervals.top_share(0.1)
    lines = [f"input: {histograms.source}, {masses.size} bins, total {masses.sum():.10g} "
             f"({'counts' if counts else 'masses'})",
             f"median: {shown('median', density.median(), '.6g')}",
             f"mean: {shown('mean', density.mean(), '.6g')}",
             f"gini: {shown('gini', density.gini(), '.4f')}",
             f"top 10% share: {with_margin(top, top_pair, level, '.4f')}",
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
    intervals = None
    if not args.no_margins:
        intervals = margins_of(histograms, density, options, args.level)
    lines = summary_lines(histograms, density, intervals)
    if plot_extension is not None:
        title = f"{histograms.source}: median {density.median():.6g}, Gini {density.gini():.3f}"
        write_files(result, None, (args.plot, plot_extension), title, densities=[density])
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


def margins_of(histograms: Histograms, density: PiecewiseLinearDensity, options: Any,
               level: float) -> Any:
    """The density's ``Confidence`` at `level`: from a margin-of-error column where the
    reader found one (the density fitted again with those standard errors), else from
    what the fit was given."""
    margins = getattr(histograms, "margins", None)
    if margins is None:
        return density.confidence(level)
    import numpy as np

    from zelvane import PiecewiseLinearDensity, margin_to_se

    with_errors = PiecewiseLinearDensity.from_histogram(
        np.asarray(histograms.masses, dtype=np.float64),
        np.asarray(histograms.edges, dtype=np.float64), refine=options.refine,
        smoothing="auto" if options.smoothing is None else options.smoothing,
        sample_size=options.sample_size, mean=options.mean, tail=options.tail,
        standard_errors=margin_to_se(margins, COLUMN_LEVEL))
    return with_errors.confidence(level)
