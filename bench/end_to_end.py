"""One histogram end to end: counts to a density to its median, side by side with the
peers, what each step of the package's path costs, and how evenly the counts fit
spends its time.

- Sixteen-bin histograms of counts (lognormal incomes, 1,000 draws each, eight of
  them), closed and with an open top and the sample's mean:
  ``PiecewiseLinearDensity.from_histogram(counts, edges[, mean=...]).median()``
  against SciPy's PCHIP through the cumulative shares at the edges with ``brentq``
  on it for the median (its top closed at twice its lower edge for the open case:
  it takes no mean), and the ``binsmooth`` package (``includes_tail=True`` closed;
  its own mean matching open). The methods take turns, one pass over the eight
  histograms each per round, timed by the thread's CPU clock; the ratio to PCHIP
  is the median over the rounds of each round's ratio.
- The package's path for the same calls, step by step: the native fit alone (the
  rows module, on the arrays it is handed), ``fit_smooth``'s own Python around it,
  the density made from the fit, the median, and what ``from_histogram`` adds; each
  step the difference between two nested chains of calls (``fit_smooth``, then
  ``.density()``, then ``.median()``), each chain the best of its repeats. Beside
  them, the native fit at the lambda the criterion chose, given: what its search
  costs.
- The slow case of the counts fit: 32 equal bins of 100 lognormal(0, 1) draws with
  the criterion's choice of lambda (25 draws of the sample), end to end.
- Evenness: 200 random histograms of counts for each of 8, 16, 32 and 64 bins
  (five shapes, 30 to 20,000 draws), each fitted with ``smoothing="auto"`` at
  ``refine=4``; the slowest fit of each size against the median fit of its size.

Targets: closed 16 bins at most 0.5 x PCHIP's time, open with a mean at most 0.7 x;
the lognormal case under 2 ms; no fit above 3 x the median of its size.

Writes results/end_to_end.md and results/end_to_end.png. Run from outside the
checkout with the package and its bench extra installed (tools/bench.sh end_to_end
does all of this):

    cd build && ../.venv/bin/python ../bench/end_to_end.py [--rounds 200] [--per-size 200]
"""

from __future__ import annotations

import argparse
import os
import sys
import timeit
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _fits  # noqa: E402
import _harness as h  # noqa: E402

import zelvane  # noqa: E402
from zelvane import PiecewiseLinearDensity  # noqa: E402

Histogram = Tuple[np.ndarray, np.ndarray, Optional[float]]  # counts, edges, mean
TARGETS = {"closed": 0.5, "open top, mean": 0.7}
#: Not a step: the native fit at the lambda the criterion chose, for comparison.
ONE_FIT = "(native fit at the chosen lambda, given)"


# ---------------------------------------------------------------------------- histograms

def incomes(open_top: bool, count: int = 8, draws: int = 1000) -> List[Histogram]:
    """Sixteen bins of lognormal draws: fifteen of equal width up to the sample's 95th
    percentile, and one above it, open (with the sample's mean) or closed at the
    largest draw."""
    out: List[Histogram] = []
    for seed in range(count):
        x = np.random.default_rng(100 + seed).lognormal(10.5, 0.75, draws)
        inner = np.linspace(0.0, float(np.quantile(x, 0.95)), 16)
        counts = np.histogram(x, bins=np.append(inner, x.max()))[0].astype(np.float64)
        edges = np.append(inner, np.inf if open_top else x.max())
        out.append((counts, edges, float(x.mean()) if open_top else None))
    return out


# -------------------------------------------------------------------------------- methods

def zelvane_median(counts: np.ndarray, edges: np.ndarray, mean: Optional[float]) -> float:
    if mean is None:
        return PiecewiseLinearDensity.from_histogram(counts, edges).median()
    return PiecewiseLinearDensity.from_histogram(counts, edges, mean=mean).median()


def zelvane_smooth_bottom_median(counts: np.ndarray, edges: np.ndarray,
                                 mean: Optional[float]) -> float:
    """The package with its first bin as the smooth fit makes it (``bottom="smooth"``):
    where the default shapes that bin (a first edge of 0 below an open top), a mean is
    met in two or three fits instead of one."""
    return PiecewiseLinearDensity.from_histogram(counts, edges, mean=mean,
                                                 bottom="smooth").median()


def pchip_median(counts: np.ndarray, edges: np.ndarray, mean: Optional[float]) -> float:
    from scipy.interpolate import PchipInterpolator
    from scipy.optimize import brentq

    if np.isinf(edges[-1]):
        edges = np.append(edges[:-1], 2.0 * edges[-2])
    spline = PchipInterpolator(edges, np.concatenate(([0.0], np.cumsum(counts))) / counts.sum())
    return float(brentq(lambda x: float(spline(x)) - 0.5, edges[0], edges[-1]))


def binsmooth_median(counts: np.ndarray, edges: np.ndarray, mean: Optional[float]) -> float:
    bs = _fits._binsmooth().BinSmooth()
    y = np.concatenate(([0.0], counts))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if mean is None:
            bs.fit(edges, y, includes_tail=True)
        else:
            bs.fit(edges[:-1], y, m=mean)
        return float(bs.inv_cdf(0.5))


def side_by_side(histograms: Sequence[Histogram], rounds: int,
                 methods: Dict[str, Callable[..., float]]) -> Dict[str, Any]:
    """Per method: the median time of one histogram, its ratios to PCHIP per round, and
    its medians (to show that the peers answer alike)."""
    clock = h.cpu_clock
    for method in methods.values():  # warm: imports, first calls
        for counts, edges, mean in histograms:
            method(counts, edges, mean)
    samples: Dict[str, List[float]] = {name: [] for name in methods}
    for _ in range(rounds):
        for name, method in methods.items():
            start = clock()
            for counts, edges, mean in histograms:
                method(counts, edges, mean)
            samples[name].append((clock() - start) / len(histograms))
    base = np.array(samples["PCHIP + brentq"])
    return {name: {"time": float(np.median(s)),
                   "ratio": float(np.median(np.array(s) / base)),
                   "medians": [method(*x) for x in histograms]}
            for (name, s), method in zip(samples.items(), methods.values())}


# ------------------------------------------------------------------------------- the steps

def best(call: Callable[[], object], number: int = 200, repeat: int = 9) -> float:
    return min(timeit.repeat(call, number=number, repeat=repeat, timer=h.cpu_clock)) / number


def steps(histogram: Histogram) -> List[Tuple[str, float]]:
    """Seconds of each step of ``from_histogram(...).median()`` for one histogram."""
    from zelvane import _native

    counts, edges, mean = histogram
    options = {} if mean is None else {"mean": mean}
    calls: List[Tuple[Any, ...]] = []
    native = _native.fit_open

    def recorded(*arguments: Any) -> None:
        calls.append(arguments)
        native(*arguments)

    _native.fit_open = recorded  # type: ignore[assignment]
    try:
        fit = zelvane.fit_smooth(edges, counts, smoothing="auto", **options)
    finally:
        _native.fit_open = native  # type: ignore[assignment]
    arguments = calls[-1]
    total = best(lambda: zelvane_median(counts, edges, mean))
    fitted = best(lambda: zelvane.fit_smooth(edges, counts, smoothing="auto", **options))
    kernel = best(lambda: native(*arguments))
    # The native fit at the lambda the criterion chose, given: what its search costs.
    fixed = arguments[:4] + (float(fit.smoothing),) + arguments[5:]
    one = best(lambda: native(*fixed))
    # Each step the difference of two nested chains of calls, timed alike.
    made = best(lambda: zelvane.fit_smooth(edges, counts, smoothing="auto", **options).density())
    median = best(lambda: zelvane.fit_smooth(edges, counts, smoothing="auto",
                                             **options).density().median())
    return [("native fit (rows module)", kernel),
            ("fit_smooth: checks, tails, result", fitted - kernel),
            ("density from the fit", made - fitted),
            ("median", median - made),
            ("from_histogram's layers", total - median),
            ("total", total),
            (ONE_FIT, one)]


# ------------------------------------------------------------------------- the counts fit

def lognormal_case(seeds: int = 25) -> List[float]:
    """Seconds of from_histogram(...).median() on 32 equal bins of 100 lognormal draws."""
    times = []
    for seed in range(seeds):
        counts, edges = np.histogram(np.random.default_rng(seed).lognormal(0.0, 1.0, 100),
                                     bins=32)
        counts = counts.astype(np.float64)
        times.append(best(lambda: zelvane_median(counts, edges, None), number=5, repeat=3))
    return times


SHAPES: Dict[str, Callable[[np.random.Generator, int], np.ndarray]] = {
    "lognormal": lambda rng, n: rng.lognormal(0.0, rng.uniform(0.3, 1.3), n),
    "normal": lambda rng, n: rng.normal(0.0, 1.0, n),
    "exponential": lambda rng, n: rng.exponential(1.0, n),
    "bimodal": lambda rng, n: np.where(rng.random(n) < rng.uniform(0.2, 0.8),
                                       rng.normal(0.0, 1.0, n), rng.normal(4.0, 0.6, n)),
    "uniform": lambda rng, n: rng.uniform(0.0, 1.0, n),
}


def evenness(sizes: Sequence[int], per_size: int) -> Dict[int, Dict[str, Any]]:
    """Per number of bins: every random histogram's fit time (best of 3), and the
    slowest one's shape and number of draws."""
    rng = np.random.default_rng(7)
    found: Dict[int, Dict[str, Any]] = {}
    names = list(SHAPES)
    for m in sizes:
        times, labels = [], []
        for _ in range(per_size):
            shape = names[int(rng.integers(len(names)))]
            n = int(np.exp(rng.uniform(np.log(30), np.log(20000))))
            counts, edges = np.histogram(SHAPES[shape](rng, n), bins=m)
            counts = counts.astype(np.float64)
            times.append(best(lambda: zelvane.fit_smooth(edges, counts, smoothing="auto",
                                                         refine=4), number=1, repeat=3))
            labels.append(f"{shape}, {n} draws")
        t = np.array(times)
        found[m] = {"times": t, "median": float(np.median(t)), "p90": float(np.quantile(t, 0.9)),
                    "max": float(t.max()), "worst": labels[int(np.argmax(t))]}
    return found


# ------------------------------------------------------------------------------ reporting

def plot(path: str, compared: Dict[str, Dict[str, Any]],
         broken: Dict[str, List[Tuple[str, float]]], even: Dict[int, Dict[str, Any]]) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(15, 4.8))
    FigureCanvasAgg(figure)
    left, middle, right = figure.subplots(1, 3)

    cases = list(compared)
    methods = list(compared[cases[0]])
    width = 0.8 / len(methods)
    for k, method in enumerate(methods):
        x = np.arange(len(cases)) + (k - (len(methods) - 1) / 2) * width
        left.bar(x, [compared[c][method]["time"] * 1e6 for c in cases], width, label=method)
    for j, case in enumerate(cases):
        target = TARGETS[case] * compared[case]["PCHIP + brentq"]["time"] * 1e6
        left.plot([j - 0.45, j + 0.45], [target, target], "k--", lw=1)
    left.set_xticks(range(len(cases)), cases)
    left.set_yscale("log")
    left.set_ylabel("µs per histogram (counts to median)")
    left.set_title("16 bins; dashed: the target (a share of PCHIP's time)")
    left.legend(fontsize=8)

    labels = [name for name, _ in broken[cases[0]] if name not in ("total", ONE_FIT)]
    bottom = np.zeros(len(cases))
    for label in labels:
        heights = np.array([dict(broken[c])[label] * 1e6 for c in cases])
        middle.bar(cases, heights, 0.5, bottom=bottom, label=label)
        bottom += heights
    middle.set_ylabel("µs")
    middle.set_ylim(0, 1.6 * float(bottom.max()))
    middle.set_title("zelvane's path, step by step")
    middle.legend(fontsize=8, loc="upper left")

    for k, (m, found) in enumerate(even.items()):
        t = found["times"] / found["median"]
        jitter = np.random.default_rng(k).uniform(-0.25, 0.25, t.size)
        right.plot(np.full(t.size, k) + jitter, t, ".", ms=3, alpha=0.6)
    right.axhline(3.0, color="k", ls="--", lw=1)
    right.set_xticks(range(len(even)), [f"{m} bins" for m in even])
    right.set_ylabel("fit time / median fit of its size")
    right.set_title("counts fits (auto, refine=4), random histograms")
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--per-size", type=int, default=200)
    args = parser.parse_args(argv)

    methods: Dict[str, Callable[..., float]] = {
        "zelvane": zelvane_median, 'zelvane, bottom="smooth"': zelvane_smooth_bottom_median,
        "PCHIP + brentq": pchip_median}
    missing = _fits.has_binsmooth()
    if missing is None:
        methods["binsmooth"] = binsmooth_median
    lines = ["# One histogram end to end", "",
             "Counts to a density to its median; what each step costs; the counts fit's "
             "slow case and its evenness (bench/end_to_end.py).", ""]
    lines += h.machine(h.versions("zelvane", "scipy", "binsmooth"))
    if missing is not None:
        lines.append(f"- binsmooth left out: {missing}")
    compared, broken = {}, {}
    for case, open_top in (("closed", False), ("open top, mean", True)):
        histograms = incomes(open_top)
        compared[case] = side_by_side(histograms, args.rounds, methods)
        broken[case] = steps(histograms[0])
    lines += ["", f"## 16 bins, counts to median ({args.rounds} rounds of 8 histograms, "
              "interleaved; CPU time of the thread)", ""]
    rows = []
    for case, found in compared.items():
        for name, result in found.items():
            target = TARGETS[case] if name == "zelvane" else None
            spread = np.median(np.abs(np.array(result["medians"]) -
                                      np.array(found["PCHIP + brentq"]["medians"])) /
                               np.array(found["PCHIP + brentq"]["medians"]))
            rows.append([case, name, f"{result['time'] * 1e6:.1f}", f"{result['ratio']:.2f}",
                         "—" if target is None else f"<= {target}",
                         "—" if target is None else ("met" if result["ratio"] <= target
                                                     else "missed"),
                         f"{100 * spread:.2f} %"])
    lines += h.table(["histogram", "method", "µs", "x PCHIP (median of ratios)", "target",
                      "", "median vs PCHIP's"], rows)
    lines += ["", "## The package's path, step by step (the first histogram; nested chains of "
              "calls, each the best of 9 x 200)", ""]
    rows = []
    for case, parts in broken.items():
        total = dict(parts)["total"]
        rows += [[case, label, f"{t * 1e6:.1f}", f"{100 * t / total:.0f} %"]
                 for label, t in parts]
    lines += h.table(["histogram", "step", "µs", "share"], rows)
    for case, parts in broken.items():
        found = dict(parts)
        python = found["total"] - found["native fit (rows module)"]
        lines += ["", f"- {case}: the criterion's search makes the native fit "
                  f"{found['native fit (rows module)'] / found[ONE_FIT]:.1f} x one fit at the "
                  f"lambda it chose; the Python around it takes {python * 1e6:.0f} µs "
                  f"({100 * python / found['total']:.0f} %)."]
    lines += ["", "- open top, mean: these histograms start at 0 below an open top, so the "
              "default gives the first bin its mean at its midpoint; meeting the mean with "
              "that bin takes fit_smooth two more native fits (one without the mean for the "
              "bin's shift, one more where the counts' fit moves with the target), which the "
              "step 'fit_smooth: checks, tails, result' holds; bottom=\"smooth\" is the fit "
              "of one native call."]

    slow = np.array(lognormal_case())
    lines += ["", "## 32 bins of 100 lognormal(0, 1) draws, smoothing=\"auto\", end to end "
              "(25 samples)", "",
              f"median {np.median(slow) * 1e3:.2f} ms, slowest {slow.max() * 1e3:.2f} ms "
              f"(target: under 2 ms: {'met' if slow.max() < 2e-3 else 'missed'})"]

    even = evenness((8, 16, 32, 64), args.per_size)
    lines += ["", f"## Evenness: {args.per_size} random histograms per size, "
              "smoothing=\"auto\", refine=4 (best of 3 per fit)", ""]
    rows = [[f"{m}", f"{f['median'] * 1e6:.0f}", f"{f['p90'] * 1e6:.0f}",
             f"{f['max'] * 1e6:.0f}", f"{f['max'] / f['median']:.2f}",
             "met" if f["max"] <= 3 * f["median"] else "missed", f["worst"]]
            for m, f in even.items()]
    lines += h.table(["bins", "median µs", "90th pct µs", "slowest µs", "slowest / median",
                      "<= 3", "slowest histogram"], rows)
    path = os.path.join(h.RESULTS, "end_to_end.png")
    plot(path, compared, broken, even)
    lines += ["", "![end to end](end_to_end.png)"]
    print("\n".join(lines))
    print("wrote", h.write("end_to_end.md", lines), "and", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
