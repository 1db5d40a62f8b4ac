"""
A census income table: median, mean and Gini
=============================================

Table B19001 of the American Community Survey counts households in 16 income
brackets, the last one "$200,000 or more". With the published mean beside it, the
open bracket gets a Pareto tail that meets that mean, and the median and the Gini
index follow from the fitted density. The Census Bureau computes its own figures from
the unbinned answers; they are printed beside ours.

The counts are estimates weighted up from a sample, not a count of 2 million
households: taken at face value they leave nothing to smooth, and the fit follows
every bracket, heaping at round incomes included. The published margins of error say
how many observations the table is worth (``_acs.effective_sample_size``, about
23,000 here), and ``sample_size`` tells the fit.
"""

import matplotlib.pyplot as plt

from zelvane import PiecewiseLinearDensity

import _acs

edges, households = _acs.brackets("Colorado", 2018)
figures = _acs.published()[("Colorado", 2018)]
n = _acs.effective_sample_size("Colorado", 2018)

d = PiecewiseLinearDensity.from_histogram(households, edges, mean=figures["mean"],
                                          sample_size=n)
as_counts = PiecewiseLinearDensity.from_histogram(households, edges, mean=figures["mean"])
print(f"effective sample size {n:.0f}")
print(f"median {d.median():9.0f}  published {figures['median']:9.0f}")
print(f"mean   {d.mean():9.0f}  published {figures['mean']:9.0f}")
print(f"Gini   {d.gini():9.4f}  published {figures['gini']:9.4f}")
print(d.right_tail)

fig, ax = plt.subplots()
as_counts.plot(ax=ax, color="0.6", lw=1, label="counts taken at face value")
d.plot(ax=ax, color="C0", lw=2, label=f"sample_size={n:.0f}")
ax.set_xlim(0, 400_000)
ax.set_xlabel("household income ($)")
ax.set_title("Colorado 2018: households by income")
ax.legend()
plt.show()
