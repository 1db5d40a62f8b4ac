"""
Noisy counts against the truth
==============================

The counts of a histogram are a sample: a density that meets every count exactly
(``smoothing=0``) fits their noise too, and on uneven bins it draws bumps that the
truth lacks. ``from_histogram`` smooths counts by default (``smoothing="auto"``),
choosing the amount by an information criterion.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import stats

from zelvane import PiecewiseLinearDensity

truth = stats.gamma(2.0)
sample = truth.rvs(size=400, random_state=np.random.default_rng(3))
edges = np.array([0, 0.3, 0.5, 1.0, 1.3, 2.0, 2.4, 3.0, 4.0, 5.5, 8.0, 12.0])
counts, _ = np.histogram(sample, bins=edges)

smooth = PiecewiseLinearDensity.from_histogram(counts, edges)
exact = PiecewiseLinearDensity.from_histogram(counts, edges, smoothing=0)
print(f"smoothing chosen {smooth.smoothing:.2e}, {smooth.edf:.1f} degrees of freedom")
print(f"largest mass moved: {smooth.mass_error:.3f} of the total")

x = np.linspace(0, 12, 600)
fig, ax = plt.subplots()
ax.stairs(counts / counts.sum() / np.diff(edges), edges, color="0.7", fill=True,
          label="histogram")
ax.plot(x, truth.pdf(x), "k--", label="truth")
ax.plot(x, exact.pdf(x), color="C1", label="smoothing=0")
ax.plot(x, smooth.pdf(x), color="C0", lw=2, label='smoothing="auto"')
ax.set_xlim(0, 9)
ax.legend()
plt.show()
