"""The counts-aware fit on a sharp peak, and what its criterion's price of a degree of
freedom trades for it.

The sharp peak: lognormal(0, 1) draws binned into 16 equal bins of width exp(0.2533)
(60 % of the distribution in the first), draws beyond the last edge dropped; n = 200
draws, 200 histograms (fixed seed). A fit keeps the peak where the counts put it unless
the first bin's fitted share falls below its count share q by more than the binomial
standard error sqrt(q (1 - q) / n). Even the true density falls that far below the counts
in about one histogram in six (the count share lies a standard error above the truth's
that often), so that share, measured on the same histograms, is the floor. Also the KS
distance to the truth (the lognormal cut at the last edge) and the share moved out of the
first bin (count share less fitted share).

The criterion (smoothing="auto") picks lambda by the deviance plus a price per effective
degree of freedom (zelvane._smooth.COMPLEXITY); a bin with the most counts at an end of the
histogram then keeps its count share within a standard error. Each price here is run on the
peak and on the simulated histograms and the development splits of the real variables of
bench/counts.py (L1, KS, extra modes; its held-out splits and variables are not used).

Run from outside the checkout with the package and its bench extra installed:

    cd build && ../.venv/bin/python ../bench/peaks.py [--replicates 6]

Writes results/peaks.md.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from typing import Any, Dict, Iterator, List, Sequence

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _fits as F  # noqa: E402
import _harness as h  # noqa: E402
import counts as C  # noqa: E402

PRICES = (3.0, 2.5, 2.0)
WIDTH = float(np.exp(0.2533))
EDGES = WIDTH * np.arange(17)


@contextlib.contextmanager
def price(value: float) -> Iterator[None]:
    """The criterion's price of a degree of freedom set to `value` for the block."""
    from zelvane import _smooth

    before = _smooth.COMPLEXITY
    _smooth.COMPLEXITY = value
    try:
        yield
    finally:
        _smooth.COMPLEXITY = before


def priced(value: float) -> F.Method:
    fit = F.zelvane_fit(smoothing="auto")

    def run(counts: np.ndarray, edges: np.ndarray, mean: Any = None) -> F.Fitted:
        with price(value):
            return fit(counts, edges)

    return F.Method(f"auto, price {value:g}", run)


def peak_histograms(replicates: int = 200) -> List[np.ndarray]:
    rng = np.random.default_rng(24)
    out = []
    for _ in range(replicates):
        x = rng.lognormal(0.0, 1.0, 200)
        out.append(np.histogram(x[x < EDGES[-1]], bins=EDGES)[0].astype(float))
    return out


def below(fitted: np.ndarray, counts: np.ndarray) -> bool:
    """Whether the first bin's fitted share lies more than one binomial standard error
    below its count share."""
    total = counts.sum()
    q = counts[0] / total
    return bool(fitted[0] / fitted.sum() < q - np.sqrt(q * (1 - q) / total))


def peak(hists: Sequence[np.ndarray]) -> List[List[object]]:
    from scipy import stats

    import zelvane

    law = stats.lognorm(1.0)
    grid = np.linspace(0.0, EDGES[-1], 4097)
    truth_cdf = law.cdf(grid) / law.cdf(EDGES[-1])
    truth_bins = np.diff(truth_cdf[::256])
    rows: List[List[object]] = [["the true density", f"{np.mean([below(truth_bins, c) for c in hists]):.1%}",
                                 "", "", ""]]
    for value in PRICES:
        flags, moved, ks, took = [], [], [], []
        for counts in hists:
            with price(value):
                start = time.perf_counter()
                fit = zelvane.fit_smooth(EDGES, counts, smoothing="auto")
                took.append(time.perf_counter() - start)
            masses = fit.bin_masses()
            flags.append(below(masses, counts))
            moved.append(counts[0] / counts.sum() - masses[0] / masses.sum())
            d = fit.density()
            ks.append(float(np.max(np.abs(d.cdf(grid) - truth_cdf))))
        rows.append([f"auto, price {value:g}", f"{np.mean(flags):.1%}",
                     f"{100 * np.median(moved):.2f} %", f"{np.median(ks):.4f} / {np.max(ks):.4f}",
                     f"{1e3 * np.median(took):.2f}"])
    return rows


def accuracy(replicates: int) -> List[str]:
    methods = [priced(value) for value in PRICES]
    records, _ = C.simulate(methods, replicates)
    real, _ = C.real_data(methods)
    real = [r for r in real if r["group"] == "development"]
    rows = []
    for m in methods:
        mine = [r for r in records if r["method"] == m.label and r["ok"]]
        small = [r for r in mine if r["n"] == 200]
        dev = [r for r in real if r["method"] == m.label and r["ok"]]
        rows.append([m.label, f"{np.median([r['l1'] for r in mine]):.4f}",
                     f"{np.median([r['ks'] for r in mine]):.4f}",
                     f"{np.mean([r['extra'] for r in mine]):.1%}",
                     f"{np.mean([r['extra'] for r in small]):.1%}",
                     f"{np.median([r['l1'] for r in dev]):.4f}",
                     f"{np.median([r['ks'] for r in dev]):.4f}"])
    return h.table(["criterion", "simulated: L1", "simulated: KS", "simulated: extra modes",
                    "extra modes at n = 200", "real (development): L1", "real: KS"], rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replicates", type=int, default=6,
                        help="simulated histograms per truth, bin count, design and n (default 6)")
    args = parser.parse_args()
    import scipy

    lines = ["# The counts-aware fit on a sharp peak", "",
             *h.machine({"SciPy": scipy.__version__, **h.versions("zelvane")}), ""]
    for paragraph in __doc__.split("\n\n")[1:3]:
        lines += [paragraph.replace("\n", " "), ""]
    lines += ["## The sharp peak (200 histograms of 200 draws)", ""]
    lines += h.table(["fit", "first bin below its count share by > 1 s.e.",
                      "median share moved out of it", "KS to the truth: median / largest",
                      "median time per fit (ms)"], peak(peak_histograms()))
    lines += ["", f"## What the price costs elsewhere (bench/counts.py's cases, "
              f"{args.replicates} replicates; real data: development splits)", ""]
    lines += accuracy(args.replicates)
    lines += ["", "The price trades modes the truths lack against the real variables' KS "
              "distance. Before the rule below it also traded the peak (the first bin more "
              "than a standard error low in 44.5 % of these fits at price 3, 11.5 % at price "
              "2): the curvature penalty is taken on the density's own scale, and a bin at an "
              "end of the histogram has nothing beyond it to balance the pull of the bend at "
              "its inner edge. Where the bin with the most counts is an end bin (and no open "
              "end lies beside it), the fit now lowers lambda by factors of 4 until that bin's "
              "fitted share is within one standard error of its count share. The share below "
              "is then 0 by construction; what tells whether the rule is right is the rest: "
              "the KS distance to the truth (0.0676 median at price 3 before), the share moved "
              "out of the first bin (2.96 % before), and the cases of bench/counts.py, where "
              "no fit changes. The KS distance to the peak's truth lies inside the first bin, "
              "where the lognormal rises from 0 to its mode: no fit of the bins' counts "
              "follows that."]
    path = h.write("peaks.md", lines)
    print("\n".join(lines))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
