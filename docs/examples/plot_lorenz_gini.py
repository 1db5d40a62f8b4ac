"""
The Lorenz curve and the Gini coefficient
=========================================

``lorenz(p)`` is the share of all income held by the poorest fraction ``p`` of
households, and the Gini coefficient is twice the area between the curve and the
diagonal. Both come in closed form from the fitted density, Pareto tail included.
"""

import matplotlib.pyplot as plt
import numpy as np

from zelvane import PiecewiseLinearDensity

import _acs

edges, households = _acs.brackets("Pennsylvania", 2018)
mean = _acs.published()[("Pennsylvania", 2018)]["mean"]
d = PiecewiseLinearDensity.from_histogram(households, edges, mean=mean)

p = np.linspace(0, 1, 201)
share = d.lorenz(p)
print(f"Gini {d.gini():.3f}; the top 10 % hold {1 - d.lorenz(0.9):.1%}")

fig, ax = plt.subplots(figsize=(4.8, 4.8))
ax.plot(p, p, color="0.5", lw=1, label="equality")
ax.plot(p, share, color="C3", label="Lorenz curve")
ax.fill_between(p, share, p, color="C3", alpha=0.15, label=f"Gini / 2 = {d.gini() / 2:.3f}")
ax.set_xlabel("share of households, poorest first")
ax.set_ylabel("share of income")
ax.legend(loc="upper left")
plt.show()
