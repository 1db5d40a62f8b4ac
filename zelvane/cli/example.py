"""The embedded example: a mixture of two normal distributions in 40 uneven bins.

The bins crowd together in the middle of [-4, 6]; the mass of every bin comes
from the mixture's distribution function, so the example needs no data file.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, List, Tuple

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

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
