"""
A census income table: median, mean and Gini
=============================================

Table B19001 of the American Community Survey counts households in 16 income
brackets, the last one "$200,000 or more". With the published mean beside it, the
open bracket gets a Pareto tail that meets that mean, and the median and the Gini
index follow from the fitted density. The Census Bureau computes its own figures from
the unbinned answers; they are printed beside ours.
"""

import matplotlib.pyplot as plt

from zelvane import PiecewiseLinearDensity

import _acs

edges, households = _acs.brackets("Colorado", 2018)
figures = _acs.published()[("Colorado", 2018)]

d = PiecewiseLinearDensity.from_histogram(households, edges, mean=figures["mean"])
print(f"median {d.median():9.0f}  published {figures['median']:9.0f}")
print(f"mean   {d.mean():9.0f}  published {figures['mean']:9.0f}")
print(f"Gini   {d.gini():9.4f}  published {figures['gini']:9.4f}")
print(d.right_tail)

fig, ax = plt.subplots()
d.plot(ax=ax, color="C0")
ax.set_xlim(0, 400_000)
ax.set_xlabel("household income ($)")
ax.set_title("Colorado 2018: households by income, fitted density")
plt.show()
