"""
Ages: from 5-year groups to single years
========================================

Population tables count people in 5-year age groups, with an open "85 and over".
The fitted density re-bins onto any edges: here single years, as a demographer's
smoothing of the groups would give them, with the counts kept in every group.
"""

import matplotlib.pyplot as plt
import numpy as np

from zelvane import PiecewiseLinearDensity

# People (thousands) in 0-4, 5-9, ..., 80-84 and 85 or over: an illustrative table.
groups = [5_890, 6_100, 6_320, 6_480, 6_710, 7_250, 7_020, 6_630, 6_240, 6_120,
          6_480, 6_510, 6_010, 5_170, 4_020, 2_660, 1_790, 1_920]
edges = [*range(0, 90, 5), np.inf]
total = sum(groups)

d = PiecewiseLinearDensity.from_histogram(groups, edges, smoothing=0)
years = np.arange(0, 101)
single = d.masses(years) * total
print("ages 0 to 9:", single[:10].round(0))
print("group 0-4 kept:", round(single[:5].sum()), "of", groups[0])
print(f"median age {d.median():.1f}; 100 or over: {d.sf(100) * total:.0f} thousand")

fig, ax = plt.subplots()
ax.bar(years[:-1], single, width=1.0, align="edge", color="C0", label="single years")
ax.stairs(np.array(groups[:-1]) / 5, edges[:-1], color="k", label="5-year groups / 5")
ax.set_xlabel("age")
ax.set_ylabel("people (thousands)")
ax.legend()
plt.show()
