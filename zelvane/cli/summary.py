"""``zelvane summary``: the median, mean, Gini coefficient and tails of one histogram."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, List

from zelvane.cli.errors import BadInput
from zelvane.cli.fitting import (SMOOTH, check_mean, fit, smooth_options, smoothing_text,
                                 tail_text, whole_numbers)
from zelvane.cli.plot import prepare_plot
from zelvane.cli.write import refuse_overwriting, write_files

if TYPE_CHECKING:
    from zelvane import PiecewiseLinearDensity
    from zelvane.cli.histograms import Histograms


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
    histograms = read_input(args.input, args.samples, args.bins)
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

