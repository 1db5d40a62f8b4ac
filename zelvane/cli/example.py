"""``zelvane example``: the embedded mixture of two normal distributions in 40 uneven
bins, fitted by every method, which is also what the command does without arguments.

The bins crowd together in the middle of [-4, 6]; the mass of every bin comes
from the mixture's distribution function, so the example needs no data file.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import IO, TYPE_CHECKING, List, Tuple

from zelvane.cli.fitting import DEFAULT_REFINE, fit, largest_errors, methods
from zelvane.cli.plot import prepare_plot
from zelvane.cli.write import write_files

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from zelvane.cli.results import Result

# (weight, mean, standard deviation) of each component.
MIXTURE = ((0.7, -1.0, 0.6), (0.3, 1.8, 0.9))
LOW, HIGH, BINS = -4.0, 6.0, 40
TITLE = f"Mixture of {len(MIXTURE)} normals in {BINS} uneven bins on [{LOW}, {HIGH}]"


def mixture_cdf(x: float) -> float:
    return sum(w * 0.5 * (1.0 + math.erf((x - mu) / (sigma * math.sqrt(2.0))))
               for w, mu, sigma in MIXTURE)


def mixture_pdf(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The mixture's density at every element of ``x``."""
    import numpy as np

    density = np.zeros_like(x, dtype=np.float64)
    for w, mu, sigma in MIXTURE:
        density += w * np.exp(-0.5 * ((x - mu) / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi))
    return density


def uneven_edges(low: float, high: float, count: int) -> List[float]:
    """``count + 1`` edges that crowd together in the middle of [low, high]."""
    edges = []
    for i in range(count + 1):
        t = i / count
        # A smooth stretch of [0, 1] onto itself: dense near 0.5, sparse at the ends.
        stretched = 0.5 + 0.5 * math.copysign(abs(2.0 * t - 1.0) ** 1.6, 2.0 * t - 1.0)
        edges.append(low + (high - low) * stretched)
    return edges


def example_histogram() -> Tuple[List[float], List[float]]:
    """The example's edges and the mixture's mass in every bin between them,
    the edges rounded to float32 first so that the masses are those of the
    bins that the fit sees."""
    import numpy as np

    edges = [float(e) for e in np.array(uneven_edges(LOW, HIGH, BINS), dtype=np.float32)]
    cdf = [mixture_cdf(e) for e in edges]
    return edges, [b - a for a, b in zip(cdf, cdf[1:])]


def example_report(result: Result, title: str, stream: IO[str]) -> None:
    """The example's table: every edge with its bin's mass and, for every
    method, the fitted value and the mass it reproduces; then each method's
    largest relative mass error."""
    edges, masses, fits = result.row(0)
    header = f"{'i':>3} {'center':>9} {'mass':>11}"
    for method_fit in result.fits:
        header += f" {method_fit.method + ' value':>22} {'mass':>11}"
    stream.write(f"{title}\n{header}\n")
    at_edges = [fit_row.values[::fit_row.refine] for fit_row in fits]
    for i in range(len(edges)):
        # The last edge closes the last bin and has no mass of its own.
        last = i == len(masses)
        row = f"{i:>3} {edges[i]:>9.4f} {'' if last else format(masses[i], '.3e'):>11}"
        for values, fit_row in zip(at_edges, fits):
            mass = "" if last else format(fit_row.fitted_masses[i], ".3e")
            row += f" {values[i]:>22.6f} {mass:>11}"
        stream.write(row + "\n")
    for method_fit, fit_row in zip(result.fits, fits):
        relative = largest_errors(masses, fit_row.fitted_masses)[1]
        stream.write(f"{method_fit.method}: largest relative mass error {relative:.3e}\n")


def run_example(args: argparse.Namespace) -> int:
    import numpy as np

    from zelvane.cli.histograms import Histograms

    plot_extension = prepare_plot(args.plot)
    edge_list, mass_list = example_histogram()
    histograms = Histograms("example", np.array(edge_list), np.array(mass_list))
    result = fit(histograms, methods(), workers=1, refine=DEFAULT_REFINE)
    example_report(result, TITLE, sys.stdout)
    sys.stdout.flush()
    if plot_extension is not None:
        write_files(result, None, (args.plot, plot_extension), TITLE, mixture_pdf)
    return 0
