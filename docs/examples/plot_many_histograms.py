"""
Many histograms at once: 280 census tables
==========================================

``fit_smooth`` takes one histogram per row and fits the rows on native threads
(``workers=0``: one per core). Here every state and year of the census tables, each
with its own published mean, in one call; ``SmoothFit.density(row)`` gives any
row's distribution without fitting it again.
"""

import matplotlib.pyplot as plt
import numpy as np

import zelvane

import _acs

keys, edges, households = _acs.every_table()
figures = _acs.published()
means = np.array([figures[k]["mean"] for k in keys])

fit = zelvane.fit_smooth(edges, households, mean=means, workers=0)
medians = np.array([fit.density(row).median() for row in range(len(keys))])
published = np.array([figures[k]["median"] for k in keys])
error = medians / published - 1
print(f"{len(keys)} tables, knots {fit.knots.shape}, values {fit.values.shape}")
print(f"median against the published one: {np.median(error):+.2%} "
      f"(from {error.min():+.2%} to {error.max():+.2%})")

fig, ax = plt.subplots()
ax.scatter(published / 1000, medians / 1000, s=10)
ax.axline((50, 50), slope=1, color="0.5", lw=1)
ax.set_xlabel("published median ($1000)")
ax.set_ylabel("median of the fit ($1000)")
plt.show()
