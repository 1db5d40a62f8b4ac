"""Accuracy of the densities fitted to histograms, against the true density.

Five distributions (a two-normal mixture, gamma(2), lognormal(0.8), beta(2, 5),
Weibull(1.5)), each cut at its 0.5th and 99.5th percentiles (at 0 where its
support starts there) and binned into 8, 16 and 40 bins of equal width and of
equal mass: 30 histograms with their exact masses. Every method of the package
(the smooth fit, also at other refinements, and the iterative and exact fits of
zelvane.fit_density) and two peers from SciPy (the step density that
scipy.stats.rv_histogram gives, and a monotone cubic spline, PCHIP, through the
cumulative masses) are compared with the truth by the KS distance between the
distribution functions, the L1 distance between the densities and the largest
mass error. A method is usable on a histogram if it gives a density there
(the exact fits refuse masses whose fit goes negative). Then the same
distributions, scaled to a median of $72,500 (the mixture shifted to start
at 0), binned into the 16 brackets of a household-income survey with the top one
closed at the 99.5th percentile: the error of the median and of the Gini
coefficient computed from each fitted density. Last, the speed of the smooth
fit, kernel and Python call, and of a batch on one and two workers.

Writes results/accuracy.md and results/accuracy.png. Run it from outside the
checkout with the package and its bench extra installed (tools/bench.sh does):

    cd /tmp && /path/to/checkout/.venv/bin/python /path/to/checkout/bench/accuracy.py
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _fits as F  # noqa: E402
import _harness as h  # noqa: E402

import zelvane  # noqa: E402
import zelvane._rows as rows  # noqa: E402

Curve = Callable[[np.ndarray], np.ndarray]
#: A fitted density: (pdf, cdf, largest mass error relative to the total), or None.
Fit = Optional[Tuple[Curve, Curve, float]]

# Lower edges of the brackets of a household-income survey, in dollars; the last
# bracket is open above and is closed here at the 99.5th percentile.
INCOME_EDGES = [0, 10e3, 15e3, 20e3, 25e3, 30e3, 35e3, 40e3, 45e3, 50e3, 60e3, 75e3, 100e3,
                125e3, 150e3, 200e3]
INCOME_MEDIAN = 72.5e3
PEERS = ("step density (scipy rv_histogram)", "PCHIP through the cumulative masses")
SMOOTH = "smooth, refine=4 (the default)"


Truth = h.Truncated


def distributions() -> List[Truth]:
    from scipy import stats

    return [Truth("two-normal mixture", h.two_normal_mixture(), 0.005),
            Truth("gamma(2)", stats.gamma(2), 0.0),
            Truth("lognormal(0.8)", stats.lognorm(0.8), 0.0),
            Truth("beta(2, 5)", stats.beta(2, 5), 0.0),
            Truth("Weibull(1.5)", stats.weibull_min(1.5), 0.0)]


def binned(truth: Truth, bins: int, kind: str) -> np.ndarray:
    if kind == "equal width":
        return np.linspace(truth.low, truth.high, bins + 1)
    edges = np.array([truth.ppf(q) for q in np.linspace(0, 1, bins + 1)])
    edges[0], edges[-1] = truth.low, truth.high
    return edges


def mass_error(edges: np.ndarray, masses: np.ndarray, knots: np.ndarray, values: np.ndarray) -> float:
    per_piece = zelvane.trapezoid_masses(knots, values)
    per_bin = per_piece.reshape(len(masses), -1).sum(axis=1)
    return float(np.max(np.abs(per_bin - masses)) / masses.sum())


def density_fit(edges: np.ndarray, masses: np.ndarray, method: str, refine: int = 4) -> Fit:
    try:
        d = zelvane.PiecewiseLinearDensity.from_masses(edges, masses, method, refine=refine)
    except ValueError:
        return None
    if method == "smooth":
        knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
    else:
        knots, values = edges, zelvane.fit_density(edges, masses, method=method).astype(np.float64)
    return d.pdf, d.cdf, mass_error(edges, masses, knots, values)


def peer_fit(fit: Callable[..., F.Fitted], carries_masses: bool = False
             ) -> Callable[[np.ndarray, np.ndarray], Fit]:
    """A peer of bench/_fits.py on (edges, masses); its mass error from its cdf at the edges,
    0 for one that `carries_masses` by construction."""

    def run(edges: np.ndarray, masses: np.ndarray) -> Fit:
        f = fit(masses, edges)
        assert f.pdf is not None
        if carries_masses:
            return f.pdf, f.cdf, 0.0
        return f.pdf, f.cdf, float(np.max(np.abs(np.diff(f.cdf(edges)) - masses / masses.sum())))

    return run


METHODS: Dict[str, Callable[[np.ndarray, np.ndarray], Fit]] = {
    PEERS[0]: peer_fit(F.step_fit, carries_masses=True),
    PEERS[1]: peer_fit(F.pchip_fit),
    "iterative (fit_density)": lambda e, m: density_fit(e, m, "iterative"),
    "exact (fit_density)": lambda e, m: density_fit(e, m, "exact"),
    "smooth, refine=1": lambda e, m: density_fit(e, m, "smooth", 1),
    "smooth, refine=2": lambda e, m: density_fit(e, m, "smooth", 2),
    SMOOTH: lambda e, m: density_fit(e, m, "smooth", 4),
    "smooth, refine=8": lambda e, m: density_fit(e, m, "smooth", 8),
}


def grid(truth: Truth, edges: np.ndarray) -> np.ndarray:
    return np.unique(np.concatenate([np.linspace(truth.low, truth.high, 40001), edges]))


def distances(truth: Truth, fit: Tuple[Curve, Curve, float], x: np.ndarray) -> Tuple[float, float]:
    pdf, cdf, _ = fit
    ks = float(np.max(np.abs(cdf(x) - truth.cdf(x))))
    gap = np.abs(pdf(x) - truth.pdf(x))
    return ks, float(np.sum((gap[1:] + gap[:-1]) * np.diff(x)) / 2)


def median_and_gini(cdf: Curve, x: np.ndarray) -> Tuple[float, float]:
    """The median (from the CDF on the grid, interpolated) and the Gini coefficient
    1 - int (1 - F)^2 dx / int (1 - F) dx of a distribution on [0, x[-1]]."""
    f = cdf(x)
    k = int(np.searchsorted(f, 0.5))
    median = x[k - 1] + (0.5 - f[k - 1]) / (f[k] - f[k - 1]) * (x[k] - x[k - 1])
    above = 1 - f
    mean = np.sum((above[1:] + above[:-1]) * np.diff(x)) / 2
    squared = np.sum((above[1:] ** 2 + above[:-1] ** 2) * np.diff(x)) / 2
    return float(median), float(1 - squared / mean)


def median_of(values: List[float]) -> Optional[float]:
    return float(np.median(values)) if values else None


Case = Tuple[str, np.ndarray, np.ndarray, Truth]


def accuracy_cases(truths: List[Truth]) -> Tuple[List[List[object]], Dict[str, Dict[str, List[float]]],
                                                   List[Case]]:
    """Per-case (name, PCHIP's KS / L1, the smooth fit's), every method's statistics, the cases."""
    stats: Dict[str, Dict[str, List[float]]] = {m: {"ks": [], "l1": [], "mass": []} for m in METHODS}
    per_case: List[List[object]] = []
    cases: List[Case] = []
    for truth in truths:
        for kind in ("equal width", "equal mass"):
            for bins in (8, 16, 40):
                name = f"{truth.name}, {bins} bins of {kind}"
                edges = binned(truth, bins, kind)
                masses = truth.masses(edges)
                x = grid(truth, edges)
                shown: Dict[str, str] = {}
                for method, fitter in METHODS.items():
                    fit = fitter(edges, masses)
                    if fit is None:
                        continue
                    ks, l1 = distances(truth, fit, x)
                    stats[method]["ks"].append(ks)
                    stats[method]["l1"].append(l1)
                    stats[method]["mass"].append(fit[2])
                    shown[method] = f"{ks:.2g} / {l1:.2g}"
                per_case.append([name, shown[PEERS[1]], shown[SMOOTH], shown.get("exact (fit_density)", "not usable")])
                cases.append((name, edges, masses, truth))
    return per_case, stats, cases


def income_cases(truths: List[Truth]) -> List[List[object]]:
    results: Dict[str, Dict[str, List[float]]] = {m: {"median": [], "gini": [], "ks": [], "l1": []}
                                                  for m in METHODS}
    for truth in truths:
        median_t = truth.t(truth.ppf(0.5))
        scaled = truth.rescaled(truth.t_low, INCOME_MEDIAN / (median_t - truth.t_low))
        edges = np.array([e for e in INCOME_EDGES if e < scaled.high] + [scaled.high])
        masses = scaled.masses(edges)
        x = grid(scaled, edges)
        true_median, true_gini = median_and_gini(scaled.cdf, x)
        for method, fitter in METHODS.items():
            fit = fitter(edges, masses)
            if fit is None:
                continue
            median, gini = median_and_gini(fit[1], x)
            ks, l1 = distances(scaled, fit, x)
            results[method]["median"].append(abs(median - true_median) / true_median)
            results[method]["gini"].append(abs(gini - true_gini))
            results[method]["ks"].append(ks)
            results[method]["l1"].append(l1)
    table: List[List[object]] = []
    for method, r in results.items():
        table.append([method, median_of(r["median"]), max(r["median"], default=None),
                      median_of(r["gini"]), max(r["gini"], default=None), median_of(r["ks"]),
                      median_of(r["l1"]), f"{len(r['median'])}/{len(truths)}"])
    return table


def plot(cases: List[Case], path: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    chosen = [c for c in cases if c[0] in ("gamma(2), 8 bins of equal width",
                                           "two-normal mixture, 16 bins of equal width",
                                           "lognormal(0.8), 16 bins of equal mass",
                                           "beta(2, 5), 8 bins of equal mass")]
    figure = Figure(figsize=(12, 8), constrained_layout=True)
    FigureCanvasAgg(figure)
    shown = {"truth": None, PEERS[0]: "0.6", PEERS[1]: "tab:orange", "exact (fit_density)": "tab:green",
             SMOOTH: "tab:blue"}
    for k, (name, edges, masses, truth) in enumerate(chosen):
        ax = figure.add_subplot(2, 2, k + 1)
        x = np.linspace(truth.low, truth.high, 2001)
        x = np.unique(np.concatenate([x, edges, edges - 1e-9 * (edges[-1] - edges[0])]))
        for label, colour in shown.items():
            if label == "truth":
                ax.plot(x, truth.pdf(x), color="black", lw=1.4, ls=(0, (4, 3)), zorder=5,
                        label="true density")
                continue
            fit = METHODS[label](edges, masses)
            if fit is None:
                ax.plot([], [], color=colour, label=f"{label}: not usable")
                continue
            ax.plot(x, fit[0](x), color=colour, lw=1.3, label=label)
        for e in edges:
            ax.axvline(e, color="0.85", lw=0.6, zorder=0)
        ax.set_title(name)
        ax.set_ylim(bottom=0)
        ax.legend(fontsize=7)
    figure.savefig(path, dpi=110)


def speed_section(quick: bool) -> List[str]:
    """The kernel through zelvane._rows (per histogram in a batch on one worker, and one
    call), the Python call, and a batch on one and two workers. Single-thread runs are
    timed in processor time, so that other jobs on the machine weigh less; the workers'
    ratio is wall-clock, as it must be."""
    mixture = distributions()[0]

    def histogram(bins: int) -> Tuple[np.ndarray, np.ndarray]:
        edges = np.linspace(mixture.low, mixture.high, bins + 1)
        return edges, mixture.masses(edges)

    rng = np.random.default_rng(7)
    batch_rows = 2000 if quick else 20000
    e40, m40 = histogram(40)
    counts = rng.multinomial(1000, m40 / m40.sum(), size=batch_rows).astype(np.float64)
    counts[:, 0] += 1  # no histogram without mass
    exact_masses = np.tile(m40, (batch_rows, 1))
    out40, one_out = np.empty((batch_rows, 161)), np.empty(161)
    e1e4, m1e4 = histogram(10_000)
    out1e4 = np.empty(40_001)

    def processor_time(f: Callable[[], object]) -> h.Runner:
        return h.calls(f, time.process_time)

    best = h.interleaved({
        "batch exact": processor_time(lambda: rows.smooth(e40, exact_masses, out40, 4, 1)),
        "batch counts": processor_time(lambda: rows.smooth(e40, counts, out40, 4, 1)),
        "one rows": processor_time(lambda: rows.smooth(e40, m40, one_out, 4, 1)),
        "one python": processor_time(lambda: zelvane.fit_smooth(e40, m40)),
        "big rows": processor_time(lambda: rows.smooth(e1e4, m1e4, out1e4, 4, 1)),
    }, repeats=5, max_total=5.0 if quick else 20.0)
    lines = ["## Speed of the smooth fit (refine=4)", "",
             "Processor time, best of interleaved samples in this run; the two-normal mixture "
             "binned into equal widths, with its exact masses or with the counts of a "
             "1000-point sample (zero bins in the tails, bounds active).", ""]
    lines += h.table(["what", "time", "target"], [
        [f"40 bins, exact masses: per histogram, batch of {batch_rows} on one worker",
         f"{best['batch exact'] / batch_rows * 1e6:.1f} µs", "≤ 20 µs"],
        [f"40 bins, sampled counts: per histogram, batch of {batch_rows} on one worker",
         f"{best['batch counts'] / batch_rows * 1e6:.1f} µs", "≤ 20 µs"],
        ["40 bins, exact masses: one call of zelvane._rows.smooth", f"{best['one rows'] * 1e6:.1f} µs", ""],
        ["40 bins, exact masses: one call of zelvane.fit_smooth (input checks included)",
         f"{best['one python'] * 1e6:.1f} µs", ""],
        ["10^4 bins, exact masses: one call of zelvane._rows.smooth, per bin",
         f"{best['big rows'] / 1e4 * 1e9:.0f} ns", "≤ 300 ns"],
    ])
    n_rows = 20_000 if quick else 100_000
    big = np.tile(counts, (n_rows // batch_rows, 1))
    out_big = np.empty((len(big), 161))
    wall: Dict[int, float] = {}
    cpu: Dict[int, float] = {}
    for _ in range(3):
        for workers in (1, 2):
            start, start_cpu = time.perf_counter(), time.process_time()
            rows.smooth(e40, big, out_big, 4, workers)
            wall[workers] = min(wall.get(workers, np.inf), time.perf_counter() - start)
            cpu[workers] = min(cpu.get(workers, np.inf), time.process_time() - start_cpu)
    control = parallel_capacity()
    load = os.getloadavg()[0]
    lines += ["", f"{len(big)} histograms of 40 bins (sampled counts), best of 3 each: one worker "
              f"{wall[1]:.3f} s, two workers {wall[2]:.3f} s wall-clock, ratio {wall[1] / wall[2]:.2f} "
              f"(target ≥ 1.7); processor time of all threads {cpu[1]:.3f} s and {cpu[2]:.3f} s. "
              f"What this machine gives two threads, measured beside it: two threads hashing "
              f"(hashlib, lock released) finish the work of one {control:.2f} times as fast. "
              f"Load average after the run: {load:.2f} on {os.cpu_count()} cores."]
    return lines


def parallel_capacity() -> float:
    """Wall-clock speed-up of two threads over one on work that shares nothing:
    SHA-256 of separate buffers, which hashlib computes with the lock released."""
    import hashlib
    import threading

    data = [os.urandom(1 << 25), os.urandom(1 << 25)]

    def hash_all(chunks: List[bytes]) -> None:
        for chunk in chunks:
            hashlib.sha256(chunk).digest()

    one = two = np.inf
    for _ in range(3):
        start = time.perf_counter()
        hash_all(data)
        one = min(one, time.perf_counter() - start)
        threads = [threading.Thread(target=hash_all, args=([chunk],)) for chunk in data]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        two = min(two, time.perf_counter() - start)
    return float(one / two)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller speed measurements")
    args = parser.parse_args()
    truths = distributions()
    per_case, stats, cases = accuracy_cases(truths)
    n_cases = len(per_case)
    summary: List[List[object]] = []
    for method, s in stats.items():
        summary.append([method, median_of(s["ks"]), median_of(s["l1"]), max(s["mass"], default=None),
                        f"{len(s['ks'])}/{n_cases}"])
    pchip, smooth = stats[PEERS[1]], stats[SMOOTH]
    ks_ratio = np.median(smooth["ks"]) / np.median(pchip["ks"])
    l1_ratio = np.median(smooth["l1"]) / np.median(pchip["l1"])
    lines = ["# Accuracy of fitted densities", "", *h.machine(), "",
             __doc__.split("\n\n")[1].replace("\n", " "), "",
             "## The 30 histograms", "",
             "Medians over the histograms where the method is usable; the mass error is the "
             "largest over them, relative to the total (the step density and the exact fits in "
             "float64 carry every mass by construction, the float32 fits to float32 rounding).", ""]
    lines += h.table(["method", "KS median", "L1 median", "largest mass error", "usable"], summary)
    lines += ["", f"Smooth fit against PCHIP: KS median ratio {ks_ratio:.2f}, L1 median ratio "
              f"{l1_ratio:.2f} (target: each at most 0.5).", ""]
    lines += ["### Case by case (KS / L1)", ""]
    lines += h.table(["histogram", "PCHIP", "smooth, refine=4", "exact (fit_density)"], per_case)
    lines += ["", "## Household-income brackets", "",
              f"Each distribution scaled to a median of ${INCOME_MEDIAN:,.0f} (inside a bracket; the "
              "mixture shifted to start at 0) and binned into the survey's 16 brackets (under $10,000, ..., $150,000 to "
              "$199,999, $200,000 and more), the top one closed at the 99.5th percentile. Median "
              "error relative to the true median, Gini error absolute; medians and largest values "
              "over the five distributions.", ""]
    lines += h.table(["method", "median error", "largest", "Gini error", "largest", "KS median",
                      "L1 median (per $)", "usable"], income_cases(truths))
    lines += ["", *speed_section(args.quick), "",
              "![true densities and fits](accuracy.png)"]
    os.makedirs(h.RESULTS, exist_ok=True)
    plot(cases, os.path.join(h.RESULTS, "accuracy.png"))
    path = h.write("accuracy.md", lines)
    print("\n".join(lines))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
