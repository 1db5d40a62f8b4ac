"""Fit densities to the bin masses of an embedded example and show the fit.

The example is a mixture of two normal distributions, cut into unevenly
spaced bins; the mass of every bin comes from the mixture's distribution
function. Both solvers of ``zelvane.bake`` fit a piecewise linear density to
those masses, and the table shows how well each reproduces them.
"""

from __future__ import annotations

import math
import sys
from typing import TYPE_CHECKING, List, Sequence, TextIO

if TYPE_CHECKING:
    import numpy
    import numpy.typing as npt

# (weight, mean, standard deviation) of each component.
MIXTURE = ((0.7, -1.0, 0.6), (0.3, 1.8, 0.9))
LOW, HIGH, BINS = -4.0, 6.0, 40


def mixture_cdf(x: float) -> float:
    return sum(w * 0.5 * (1.0 + math.erf((x - mu) / (sigma * math.sqrt(2.0))))
               for w, mu, sigma in MIXTURE)


def uneven_centers(low: float, high: float, count: int) -> List[float]:
    """Centres that crowd together in the middle of [low, high]."""
    centers = []
    for i in range(count + 1):
        t = i / count
        # A smooth stretch of [0, 1] onto itself: dense near 0.5, sparse at the ends.
        stretched = 0.5 + 0.5 * math.copysign(abs(2.0 * t - 1.0) ** 1.6, 2.0 * t - 1.0)
        centers.append(low + (high - low) * stretched)
    return centers


def trapezoid_masses(center: npt.NDArray[numpy.float64],
                     prob: npt.NDArray[numpy.float64]) -> List[float]:
    return [(prob[i] + prob[i + 1]) / 2.0 * (center[i + 1] - center[i])
            for i in range(len(center) - 1)]


def largest_relative_error(target: npt.NDArray[numpy.float64], got: Sequence[float]) -> float:
    return float(max(abs(g - t) / abs(t) for t, g in zip(target, got) if t != 0.0))


def main(out: TextIO = sys.stdout) -> int:
    import numpy
    from zelvane import bake

    center = numpy.array(uneven_centers(LOW, HIGH, BINS), dtype=numpy.float32)
    cdf = [mixture_cdf(float(c)) for c in center]
    gap = numpy.array([b - a for a, b in zip(cdf, cdf[1:])], dtype=numpy.float32)

    fits = {}
    for name in ("fitgapmass", "fitgapmass_meh"):
        solver = getattr(bake, name, None)
        if solver is None:
            continue
        prob = numpy.empty(len(center), dtype=numpy.float32)
        solver(center, gap, prob)
        fits[name] = prob

    c64 = center.astype(numpy.float64)
    reproduced = {name: trapezoid_masses(c64, prob.astype(numpy.float64))
                  for name, prob in fits.items()}

    header = f"{'i':>3} {'center':>9} {'mass':>11}"
    for name in fits:
        header += f" {name + ' value':>22} {'mass':>11}"
    print(f"Mixture of {len(MIXTURE)} normals in {BINS} uneven bins on [{LOW}, {HIGH}]", file=out)
    print(header, file=out)
    for i in range(len(center)):
        # The last centre closes the last bin and has no mass of its own.
        last = i == len(gap)
        row = f"{i:>3} {center[i]:>9.4f} {'' if last else format(gap[i], '.3e'):>11}"
        for name, prob in fits.items():
            mass = "" if last else format(reproduced[name][i], ".3e")
            row += f" {prob[i]:>22.6f} {mass:>11}"
        print(row, file=out)
    for name in fits:
        err = largest_relative_error(gap.astype(numpy.float64), reproduced[name])
        print(f"{name}: largest relative mass error {err:.3e}", file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
