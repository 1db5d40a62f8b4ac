"""Grouped data as reports publish them: household income in the 16 brackets of the U.S.
census tables (under $10,000, $10,000 to $14,999, ..., $150,000 to $199,999, and "$200,000
or more", open above), with or without the published mean.

Truths: five income distributions with medians of $65,000 to $75,000 and Gini
coefficients of 0.42 to 0.45 (parameters in the first table), whose median, mean, Gini
coefficient and top 10 % share come from closed forms (the mixture's Gini from the
numerical routine below), each checked against that routine. Inputs: the exact masses
of the brackets (from the truth's cdf), and the counts of n = 200 and 5,000 draws
(20 replicates each, fixed seeds); the published mean is the true mean for exact
masses, the mean of the draws for counts. Metrics: the relative errors of the median,
mean, Gini coefficient and top 10 % share of the fitted distribution, and its KS
distance to the truth (largest |F - G| on a grid to the truth's 1 - 10⁻⁶ quantile,
with every knot of the fit).

Methods: binsmooth (PyPI) with its own mean matching, both spline types (the lower edges
of the brackets and the counts, with the published mean as m; binsmooth places the end of
the top bracket so that the mean matches); the step density (scipy.stats.rv_histogram)
and PCHIP through the cumulative counts, with the top bracket closed at twice its lower
edge ($400,000), no mean; the package's smooth fit closed the same way; and its open-top
fit (a Pareto tail beyond $200,000) without and with mean=, its bottom bracket shaped
by default (its mean at its midpoint) and fitted smooth (bottom="smooth"). A method that matches the
mean can miss it (binsmooth then returns a fit whose mean is off) or refuse it (the
package raises when the mean is out of its tail's reach): either counts as a missed mean.
Summaries of every fit come from one routine (integrals of the cdf: Gauss-Legendre
between the knots, adaptive quadrature in the open tail, checked on a uniform and two
Pareto cases); where the fitted object computes a summary itself (the package's mean,
median, Gini coefficient and Lorenz curve) that value is used, and its distance to the
routine's is reported. Last, the time of one fit of each method on 16 brackets, side by
side in one run.

Writes results/grouped.md and results/grouped.png. Run it from outside the checkout with
the package and its bench extra installed (bash tools/bench.sh grouped does):

    cd build && ../.venv/bin/python ../bench/grouped.py
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _fits as F  # noqa: E402
import _harness as h  # noqa: E402

EDGES = np.array([0, 10e3, 15e3, 20e3, 25e3, 30e3, 35e3, 40e3, 45e3, 50e3, 60e3, 75e3, 100e3,
                  125e3, 150e3, 200e3, np.inf])
CLOSED = "top closed at $400k"

#: The methods, in the order of the tables; add one with a line here. `uses_mean` ones get
#: the published mean as mean=; a method whose peer is not installed is left out of the run
#: and named in the report.
METHODS: List[F.Method] = [
    F.Method(f"step density, {CLOSED}", F.closed_top(F.step_fit), peer=True, colour="0.55"),
    F.Method(f"PCHIP, {CLOSED}", F.closed_top(F.pchip_fit), peer=True, colour="tab:orange"),
    F.Method("binsmooth PCHIP, mean-matched", F.binsmooth_mean("PCHIP"), needs=(F.has_binsmooth,),
             uses_mean=True, peer=True, colour="tab:purple"),
    F.Method("binsmooth HYMAN, mean-matched", F.binsmooth_mean("HYMAN"), needs=(F.has_binsmooth,),
             uses_mean=True, peer=True, colour="tab:pink"),
    F.Method(f"zelvane smooth, {CLOSED}", F.closed_top(F.zelvane_fit()), colour="tab:blue"),
    F.Method("zelvane, open top", F.zelvane_fit(), colour="tab:cyan"),
    F.Method("zelvane, open top, mean=", F.zelvane_fit(), uses_mean=True, colour="tab:green"),
    F.Method('zelvane, open top, bottom="smooth"', F.zelvane_fit(bottom="smooth"),
             colour="tab:brown"),
    F.Method('zelvane, open top, mean=, bottom="smooth"', F.zelvane_fit(bottom="smooth"),
             uses_mean=True, colour="tab:red"),
]

SIZES = (200, 5000)
SEED = 20261209
QUANTITIES = ("median", "mean", "gini", "top10")
NAMES = {"median": "median", "mean": "mean", "gini": "Gini", "top10": "top 10 % share"}


# ------------------------------------------------------------------------------ the truths

class Truth:
    """An income distribution with its summaries in closed form (None: numerical)."""

    def __init__(self, name: str, parameters: str, dist: Any, exact: Dict[str, Optional[float]],
                 draw: Optional[Callable[[int, np.random.Generator], np.ndarray]] = None):
        self.name, self.parameters, self.dist, self.exact = name, parameters, dist, exact
        self._draw = draw or (lambda size, rng: dist.rvs(size=size, random_state=rng))
        self.numerical = F.summaries(self.fitted())
        self.values = {k: (v if v is not None else self.numerical[k]) for k, v in exact.items()}

    def cdf(self, x: np.ndarray) -> np.ndarray:
        return np.asarray(self.dist.cdf(np.asarray(x, dtype=np.float64)), dtype=np.float64)

    def fitted(self) -> F.Fitted:
        """The truth seen by the numerical routine (breaks on a fine log grid)."""
        breaks = np.concatenate([np.linspace(0, 1e3, 11)[1:], np.geomspace(1e3, 3e6, 400)[1:]])
        return F.Fitted(cdf=self.cdf, low=0.0, high=np.inf, breaks=breaks,
                        median=lambda: self.values["median"])

    def sample(self, n: int, rng: np.random.Generator) -> np.ndarray:
        return self._draw(n, rng)

    def top(self) -> float:
        return float(self.dist.ppf(1 - 1e-6))


def truths() -> List[Truth]:
    from scipy import optimize, special, stats

    out = []
    s = 0.845
    d = stats.lognorm(s, scale=70e3)
    out.append(Truth("lognormal", "σ = 0.845, median $70,000", d, {
        "median": 70e3, "mean": 70e3 * np.exp(s * s / 2),
        "gini": 2 * stats.norm.cdf(s / np.sqrt(2)) - 1,
        "top10": 1 - stats.norm.cdf(stats.norm.ppf(0.9) - s)}))

    k = 1.3
    theta = 65e3 / special.gammaincinv(k, 0.5)
    out.append(Truth("gamma", f"shape 1.3, scale {theta:,.0f} (median $65,000)",
                     stats.gamma(k, scale=theta), {
                         "median": 65e3, "mean": k * theta,
                         "gini": special.gamma(k + 0.5) / (np.sqrt(np.pi) * special.gamma(k + 1)),
                         "top10": 1 - special.gammainc(k + 1, special.gammaincinv(k, 0.9))}))

    c, q = 1.7, 2.2  # Singh-Maddala: F = 1 - (1 + (x/b)^c)^-q
    b = 72e3 / (2 ** (1 / q) - 1) ** (1 / c)
    out.append(Truth("Singh–Maddala", f"burr12 c = 1.7, d = 2.2, scale {b:,.0f} (median $72,000)",
                     stats.burr12(c, q, scale=b), {
                         "median": 72e3, "mean": b * q * special.beta(q - 1 / c, 1 + 1 / c),
                         "gini": 1 - special.gamma(q) * special.gamma(2 * q - 1 / c)
                         / (special.gamma(q - 1 / c) * special.gamma(2 * q)),
                         "top10": 1 - special.betainc(1 + 1 / c, q - 1 / c, 1 - 0.1 ** (1 / q))}))

    c, p = 2.4, 0.9  # Dagum: F = (1 + (x/b)^-c)^-p
    b = 75e3 * (2 ** (1 / p) - 1) ** (1 / c)
    out.append(Truth("Dagum", f"burr c = 2.4, d = 0.9, scale {b:,.0f} (median $75,000)",
                     stats.burr(c, p, scale=b), {
                         "median": 75e3, "mean": b * p * special.beta(p + 1 / c, 1 - 1 / c),
                         "gini": special.gamma(p) * special.gamma(2 * p + 1 / c)
                         / (special.gamma(2 * p) * special.gamma(p + 1 / c)) - 1,
                         "top10": 1 - special.betainc(p + 1 / c, 1 - 1 / c, 0.9 ** (1 / p))}))

    weights, medians, sigmas = (0.6, 0.4), (40e3, 130e3), (0.7, 0.5)
    parts = [stats.lognorm(sg, scale=m) for m, sg in zip(medians, sigmas)]

    class Mixture:
        def cdf(self, x: np.ndarray) -> np.ndarray:
            return sum(w * part.cdf(x) for w, part in zip(weights, parts))

        def ppf(self, u: float) -> float:
            return float(optimize.brentq(lambda x: float(self.cdf(x)) - u, 1e-6, 1e9,
                                         xtol=1e-9, rtol=1e-15))

    mixture = Mixture()

    def draw(n: int, rng: np.random.Generator) -> np.ndarray:
        second = rng.random(n) < weights[1]
        return np.where(second, parts[1].rvs(size=n, random_state=rng),
                        parts[0].rvs(size=n, random_state=rng))

    def partial_mean(x: float) -> float:  # E[X; X <= x]
        return sum(w * m * np.exp(sg * sg / 2) * stats.norm.cdf((np.log(x / m) - sg * sg) / sg)
                   for w, m, sg in zip(weights, medians, sigmas))

    mean = sum(w * m * np.exp(sg * sg / 2) for w, m, sg in zip(weights, medians, sigmas))
    out.append(Truth("two-lognormal mixture",
                     "0.6 × lognormal(median $40,000, σ 0.7) + 0.4 × lognormal(median $130,000, σ 0.5)",
                     mixture, {"median": mixture.ppf(0.5), "mean": mean, "gini": None,
                               "top10": 1 - partial_mean(mixture.ppf(0.9)) / mean}, draw))
    return out


# ------------------------------------------------------------------------------ the inputs

Record = Dict[str, Any]


def inputs(truth: Truth, ti: int, replicates: int) -> List[Tuple[str, int, np.ndarray, float]]:
    """(input kind, replicate, counts or masses per bracket, published mean)."""
    out = [("exact masses", 0, np.diff(truth.cdf(EDGES)), truth.values["mean"])]
    for n in SIZES:
        for rep in range(replicates):
            draws = truth.sample(n, np.random.default_rng([SEED, ti, n, rep]))
            out.append((f"n = {n:,}", rep, np.histogram(draws, EDGES)[0].astype(np.float64),
                        float(draws.mean())))
    return out


def grid(truth: Truth, fit: F.Fitted) -> np.ndarray:
    x = np.concatenate([np.linspace(0, 400e3, 4001), np.geomspace(400e3, truth.top(), 400),
                        fit.breaks, [fit.low] + ([fit.high] if np.isfinite(fit.high) else [])])
    return np.unique(x[np.isfinite(x) & (x >= 0)])


def evaluate(methods: Sequence[F.Method], replicates: int) -> Tuple[List[Record], List[Truth]]:
    records: List[Record] = []
    all_truths = truths()
    for ti, truth in enumerate(all_truths):
        for kind, rep, counts, mean in inputs(truth, ti, replicates):
            for m in methods:
                record: Record = {"truth": truth.name, "input": kind, "rep": rep, "method": m.label,
                                  "ok": False, "given_mean": mean if m.uses_mean else None}
                try:
                    fit = m.fit(counts, EDGES, mean if m.uses_mean else None)
                    numeric = F.summaries(fit)
                    got = dict(numeric)
                    for name, own in fit.own.items():
                        got[name] = own()
                        record[f"own_{name}"] = abs(got[name] - numeric[name]) / abs(numeric[name])
                    x = grid(truth, fit)
                    ks = float(np.max(np.abs(fit.cdf(x) - truth.cdf(x))))
                except Exception as error:
                    record["error"] = f"{type(error).__name__}: {error}"
                    # A mean the method will not meet is a missed mean, not only a failure.
                    record["refused"] = m.uses_mean and getattr(error, "argument", None) == "mean"
                    if record["refused"]:
                        reach = getattr(error, "details", {})
                        record["below_reach"] = mean < reach.get("lowest", -np.inf)
                    records.append(record)
                    continue
                finite = all(np.isfinite(v) for v in got.values()) and np.isfinite(ks)
                record.update(ok=bool(finite), ks=ks, **fit.info)
                for name in QUANTITIES:
                    record[name] = (got[name] - truth.values[name]) / truth.values[name]
                if m.uses_mean:
                    record["missed"] = abs(got["mean"] - mean) / mean > 0.01
                    record["mean_vs_given"] = (got["mean"] - mean) / mean
                records.append(record)
    return records, all_truths


# ------------------------------------------------------------------------------ the tables

def pct(value: float) -> str:
    return f"{100 * value:.2g} %" if abs(value) >= 1e-4 else f"{100 * value:.1e} %"


def summary_table(records: List[Record], methods: Sequence[F.Method], kind: str) -> List[str]:
    header = (["method", "mean given"] + [NAMES[q] for q in QUANTITIES]
              + ["KS", "mean missed by > 1 % or refused", "failed"])
    rows = []
    for m in methods:
        mine = [r for r in records if r["method"] == m.label and r["input"] == kind]
        ok = [r for r in mine if r["ok"]]
        row: List[object] = [m.label, "yes" if m.uses_mean else "no"]
        for q in QUANTITIES:
            row.append(pct(float(np.median([abs(r[q]) for r in ok]))) if ok else None)
        row.append(float(np.median([r["ks"] for r in ok])) if ok else None)
        refused = sum(r.get("refused", False) for r in mine)
        if m.uses_mean and (ok or refused):
            row.append(f"{sum(r['missed'] for r in ok) + refused}/{len(ok) + refused}")
        else:
            row.append("")
        row.append(f"{len(mine) - len(ok)}/{len(mine)}")
        rows.append(row)
    return h.table(header, rows)


def exact_by_truth(records: List[Record], methods: Sequence[F.Method], names: List[str]) -> List[str]:
    header = ["method"] + names
    rows = []
    for m in methods:
        row: List[object] = [m.label]
        for t in names:
            r = next((r for r in records if r["method"] == m.label and r["input"] == "exact masses"
                      and r["truth"] == t), None)
            if r is None or not r["ok"]:
                row.append("failed" if r is not None else None)
            else:
                row.append(f"{100 * r['gini']:+.1f} / {100 * r['top10']:+.1f} / {100 * r['mean']:+.1f}")
        rows.append(row)
    return h.table(header, rows)


def signed_table(records: List[Record], methods: Sequence[F.Method], kinds: Sequence[str]) -> List[str]:
    header = ["method"] + [f"{kind}: {NAMES[q]}" for kind in kinds for q in ("gini", "top10")]
    rows = []
    for m in methods:
        row: List[object] = [m.label]
        for kind in kinds:
            ok = [r for r in records if r["method"] == m.label and r["input"] == kind and r["ok"]]
            for q in ("gini", "top10"):
                row.append(f"{100 * float(np.median([r[q] for r in ok])):+.1f} %" if ok else None)
        rows.append(row)
    return h.table(header, rows)


def failures(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    lines = []
    for m in methods:
        failed = [r for r in records if r["method"] == m.label and not r["ok"]]
        if not failed:
            continue
        kinds: Dict[str, int] = {}
        for r in failed:
            message = r.get("error", "a summary is not finite")
            kinds[message] = kinds.get(message, 0) + 1
        where: Dict[str, int] = {}
        for r in failed:
            where[r["input"]] = where.get(r["input"], 0) + 1
        lines.append(f"- {m.label}: " + "; ".join(f"{count} × `{message[:120]}`"
                                                  for message, count in kinds.items())
                     + " (" + ", ".join(f"{k}: {v}" for k, v in where.items()) + ")")
    return lines


def own_checks(records: List[Record]) -> List[str]:
    # Over the fits whose summaries are all finite: where the object's mean is
    # infinite (a Pareto index at 1), the routine's integrals are truncated sums.
    lines = []
    for method in sorted({r["method"] for r in records}):
        worst = {}
        for r in records:
            if r["method"] != method or not r["ok"]:
                continue
            for key, value in r.items():
                if key.startswith("own_") and np.isfinite(value):
                    worst[key[4:]] = max(worst.get(key[4:], 0.0), value)
        if worst:
            lines.append(f"- {method}: " + ", ".join(f"{NAMES.get(k, k)} {v:.1e}" for k, v in worst.items()))
    return lines


# ---------------------------------------------------------------------------------- timing

def timing(methods: Sequence[F.Method]) -> List[str]:
    truth = truths()[0]
    draws = truth.sample(5000, np.random.default_rng([SEED, 77]))
    counts = np.histogram(draws, EDGES)[0].astype(np.float64)
    mean = float(draws.mean())
    best, refused = h.time_each({
        m.label: lambda m=m: m.fit(counts, EDGES, mean if m.uses_mean else None).median()
        for m in methods})
    pchip = best.get(f"PCHIP, {CLOSED}")
    rows = [[label, f"{t * 1e6:,.0f} µs", f"{t / pchip:.2f}" if pchip else None]
            for label, t in best.items()]
    rows += [[label, f"refused ({error})", None] for label, error in refused.items()]
    return (["## Time per fit (16 brackets)", "",
             "One fit and its median query (each method's own), on the counts of 5,000 "
             "lognormal draws with their mean. Processor time of the calling thread, median of "
             "15 interleaved samples per method (at least 3 for slow ones), all in this run.", ""]
            + h.table(["method", "per fit", "× PCHIP"], rows))


# ------------------------------------------------------------------------------------ plot

def plot(records: List[Record], methods: Sequence[F.Method], all_truths: List[Truth], replicates: int,
         path: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(13, 9.5), constrained_layout=True)
    FigureCanvasAgg(figure)
    axes = figure.subplots(2, 2)
    truth = next(t for t in all_truths if t.name == "Dagum")
    masses = np.diff(truth.cdf(EDGES))
    fits = {}
    for m in methods:
        try:
            fits[m.label] = m.fit(masses, EDGES, truth.values["mean"] if m.uses_mean else None)
        except Exception:
            pass
    x = np.linspace(0, 450e3, 3601)
    ax = axes[0][0]
    ax.plot(x / 1e3, np.diff(truth.cdf(np.append(x, x[-1] + 125))) / 125 * 1e3, color="black",
            lw=1.5, ls=(0, (4, 3)), label="true density", zorder=5)
    for m in methods:
        fit = fits.get(m.label)
        if fit is None:
            continue
        density = np.diff(fit.cdf(np.append(x, x[-1] + 125))) / 125 * 1e3
        ax.plot(x / 1e3, density, color=m.colour, lw=1.3, label=m.label)
    for e in EDGES[1:-1]:
        ax.axvline(e / 1e3, color="0.88", lw=0.6, zorder=0)
    ax.set_xlabel("household income ($1000s)")
    ax.set_ylabel("density (per $1000)")
    ax.set_title("Dagum truth, exact bracket masses: the fitted densities")
    ax.legend(fontsize=8)
    ax.set_ylim(bottom=0)

    ax = axes[0][1]
    x = np.geomspace(100e3, 2e6, 800)
    ax.plot(x / 1e3, 1 - truth.cdf(x), color="black", lw=1.5, ls=(0, (4, 3)), label="truth", zorder=5)
    for m in methods:
        fit = fits.get(m.label)
        if fit is not None:
            ax.plot(x / 1e3, np.maximum(1 - fit.cdf(x), 1e-9), color=m.colour, lw=1.3, label=m.label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylim(1e-4, 0.6)
    ax.axvline(200, color="0.7", lw=0.8)
    ax.set_xlabel("household income ($1000s)")
    ax.set_ylabel("share above (1 - F)")
    ax.set_title("The same fits above $100k: how each ends the open bracket")
    ax.grid(True, which="both", color="0.92", lw=0.5)

    kinds = ["exact masses"] + [f"n = {n:,}" for n in SIZES]
    for ax, q in zip(axes[1], ("gini", "top10")):
        width = 0.8 / max(1, len(methods))
        for k, m in enumerate(methods):
            values = []
            for kind in kinds:
                ok = [abs(r[q]) for r in records if r["method"] == m.label and r["input"] == kind and r["ok"]]
                values.append(100 * np.median(ok) if ok else np.nan)
            ax.bar(np.arange(len(kinds)) + (k - (len(methods) - 1) / 2) * width, values, width,
                   color=m.colour, label=m.label)
        ax.set_xticks(np.arange(len(kinds)), kinds)
        ax.set_ylabel(f"median |relative error| of the {NAMES[q]} (%)")
        ax.set_title(f"{NAMES[q]}: exact, 5 truths; counts, 5 truths × {replicates} samples",
                     fontsize=11)
        ax.grid(True, axis="y", color="0.9", lw=0.6)
        # Head room for the legend above the bars.
        ax.set_ylim(0, 1.45 * ax.get_ylim()[1])
    axes[1][0].legend(fontsize=8, ncol=2, loc="upper center")
    figure.savefig(path, dpi=100)


# ------------------------------------------------------------------------------------ main

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replicates", type=int, default=20,
                        help="samples per truth and n (default 20)")
    args = parser.parse_args()
    methods, absent = F.installed(METHODS)
    import scipy

    versions = {"SciPy": scipy.__version__, **h.versions("binsmooth", "zelvane")}
    lines = ["# Grouped income data: brackets with an open top", "", *h.machine(versions), ""]
    for paragraph in __doc__.split("\n\n")[:3]:
        lines += [paragraph.replace("\n", " "), ""]
    lines += absent
    lines += ["The numerical routine on closed forms:", ""]
    lines += [f"- {line}" for line in F.check_summaries()] + [""]

    start = time.perf_counter()
    records, all_truths = evaluate(methods, args.replicates)
    seconds = time.perf_counter() - start
    lines += ["## The truths", ""]
    rows = []
    for t in all_truths:
        gap = max(abs(t.numerical[k] - v) / abs(v) for k, v in t.exact.items() if v is not None)
        rows.append([t.name, t.parameters, f"${t.values['median']:,.0f}", f"${t.values['mean']:,.0f}",
                     f"{t.values['gini']:.4f}", f"{t.values['top10']:.4f}",
                     f"{float(1 - t.cdf(np.array([200e3]))[0]):.3f}", f"{gap:.0e}"])
    lines += h.table(["truth", "parameters", "median", "mean", "Gini", "top 10 % share",
                      "share above $200k", "closed forms vs routine"], rows) + [""]

    lines += ["Medians in the tables below are over the fits that did not fail. A method "
              "that misses the mean keeps its fit in them; one that refuses the mean has no fit, "
              "is left out of them and counts as failed. Both count as a missed mean.", ""]
    lines += ["## Exact bracket masses", "",
              "Median over the five truths of the absolute relative error; KS median. With the "
              "mean given, it is the true mean.", ""]
    lines += summary_table(records, methods, "exact masses") + [""]
    lines += ["Signed relative errors (%) truth by truth: Gini / top 10 % share / mean.", ""]
    lines += exact_by_truth(records, methods, [t.name for t in all_truths]) + [""]
    for n in SIZES:
        kind = f"n = {n:,}"
        lines += [f"## Counts of {n:,} draws", "",
                  f"Median over 5 truths × {args.replicates} samples of the absolute relative error; "
                  "KS median. With the mean given, it is the mean of the draws (so even a "
                  "perfect match carries the sampling error of that mean).", ""]
        lines += summary_table(records, methods, kind) + [""]
    kinds = ["exact masses"] + [f"n = {n:,}" for n in SIZES]
    lines += ["## Bias: median signed relative error", ""]
    lines += signed_table(records, methods, kinds) + [""]
    lines += ["## Failures and checks", "",
              "A fit failed when the method raised or a summary of its fit is not finite:", ""]
    lines += failures(records, methods) or ["- none"]
    lines += ["", "Largest relative distance between a summary the fitted object computes "
              "itself and the numerical routine's, over the fits that did not fail:", ""]
    lines += own_checks(records) or ["- no fitted object computes one"]
    lines += ["", "Means missed by more than 1 % (the fitted mean against the mean given) or "
              "refused (the method raised on the mean):", ""]
    for m in methods:
        if not m.uses_mean:
            continue
        missed = [r for r in records if r["method"] == m.label and r.get("missed")]
        refused = [r for r in records if r["method"] == m.label and r.get("refused")]
        if not missed and not refused:
            lines.append(f"- {m.label}: none")
            continue
        both = missed + refused
        line = (f"- {m.label}: {len(both)} ("
                + ", ".join(f"{kind}: {sum(r['input'] == kind for r in both)}" for kind in kinds)
                + f"): {len(missed)} missed, {len(refused)} refused")
        if missed:
            low = sum(r["mean_vs_given"] < 0 for r in missed)
            line += (f"; {low} of the missed below the mean given, largest miss "
                     f"{max(abs(r['mean_vs_given']) for r in missed):.1%}")
        if refused:
            line += (f"; {sum(r['below_reach'] for r in refused)} of the refused below the "
                     "lowest mean the fit can reach")
        if missed and all("tail" in r for r in missed):
            tails = [r["tail"] for r in missed]
            others = [r["tail"] for r in records if r["method"] == m.label and r["ok"]
                      and not r.get("missed")]
            where = (f"is ${min(tails):,.0f} in every one" if max(tails) == min(tails) else
                     f"lies between ${min(tails):,.0f} and ${max(tails):,.0f}")
            line += (f"; where it misses, the top end it chose (tail_) {where}, against a "
                     f"median of ${np.median(others):,.0f} where it meets the mean")
        lines.append(line)
    lines += ["", *timing(methods), "",
              f"The accuracy part took {seconds:.0f} s for {len(records):,} fits.", "",
              "![fits of the Dagum truth and the errors of the Gini and top share](grouped.png)"]
    os.makedirs(h.RESULTS, exist_ok=True)
    plot(records, methods, all_truths, args.replicates, os.path.join(h.RESULTS, "grouped.png"))
    path = h.write("grouped.md", lines)
    print("\n".join(lines))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
