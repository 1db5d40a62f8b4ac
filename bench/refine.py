"""Time of the smooth fit per knot against refine, and per bin at refine 4.

- refine 1, 2, 4, ..., 256 at about 2 * 10^4 knots (bins = 20000 // refine), on uneven
  widths, for three patterns of masses: irregular (uniform on [0.1, 1]), sparse (70 %
  zeros, the rest uniform on [0, 1]) and alternating (1 and 0).
- refine 4 with 10^4 bins of equal width, the same three patterns, per bin.
- 200 irregular bins at refine 4, 16, 32, 64 and 256.
- The counts-aware fit of 200 bins of counts (a bell of Poisson counts on uneven widths)
  at refine 4 to 256 for a given smoothing, and to 128 for the criterion's choice, per
  fit and per knot.

Each fit goes through zelvane._rows.smooth (one row, one worker), timed by the process's
CPU time (a large fit runs on a worker thread while the calling thread watches for
Ctrl-C), median of samples taken in turns; the counts-aware fit goes through
zelvane._rows.open on closed edges. Given ``--old DIR``, a folder holding an
earlier build of the package (``pip install --no-deps --target DIR <checkout>``), its
smooth fit is timed in the same turns and the ratios reported; it is loaded under another
name, so both live in one process. Where one fit of the earlier build would take more
than ``--old-limit`` seconds, or above refine ``--old-refine`` (its cost grew with refine
squared: a minute and more per fit at 256), it is left out. At
refine 1 some masses have no fit at all (the knots are the edges alone); the table says so.
``--old-counts DIR`` names the earlier build that the counts-aware fit is timed against,
in the same way (by default the one of ``--old``).

Writes results/refine.md. Run it from outside the checkout with the package installed
(tools/bench.sh refine does that):

    cd /tmp && /path/to/checkout/.venv/bin/python /path/to/checkout/bench/refine.py --old DIR
"""

from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import sys
import time
from typing import Callable, Dict, List, Optional

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _harness as h  # noqa: E402

import zelvane._rows as rows  # noqa: E402

PATTERNS = ("irregular", "sparse", "alternating")
REFINES = (1, 2, 4, 8, 16, 32, 64, 128, 256)


def load_old(folder: str):
    """The _rows module of an earlier build in `folder`, under the name zelvane_old._rows."""
    found = glob.glob(os.path.join(folder, "zelvane", "_rows*.so"))
    if not found:
        raise SystemExit(f"no zelvane/_rows*.so under {folder}")
    spec = importlib.util.spec_from_file_location("zelvane_old._rows", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # type: ignore[union-attr]
    return module


def histogram(pattern: str, bins: int, even: bool, seed: int = 3):
    rng = np.random.default_rng(seed)
    widths = np.ones(bins) if even else rng.uniform(0.1, 1.0, bins)
    edges = np.concatenate([[0.0], np.cumsum(widths)])
    if pattern == "irregular":
        masses = rng.uniform(0.1, 1.0, bins)
    elif pattern == "sparse":
        masses = np.where(rng.random(bins) < 0.7, 0.0, rng.random(bins))
        masses[0] = 1.0
    else:
        masses = np.where(np.arange(bins) % 2 == 0, 1.0, 0.0)
    return edges, masses


def fitter(module, edges: np.ndarray, masses: np.ndarray, refine: int) -> Callable[[], object]:
    out = np.empty(len(masses) * refine + 1)
    return lambda: module.smooth(edges, masses, out, refine, 1)


# Values the open fits write after the knots' (smoothing, edf, deviance, the tails' and
# the means' fields).
OPEN_FIELDS = 13


def counts_fitter(smoothing: float) -> Callable[..., Callable[[], object]]:
    """A fitter of the counts-aware fit for `smoothing` (negative: the criterion's choice)."""
    def make(module, edges: np.ndarray, counts: np.ndarray, refine: int) -> Callable[[], object]:
        out = np.empty(len(counts) * refine + 1 + OPEN_FIELDS)
        return lambda: module.open(edges, counts, out, refine, smoothing, 2.0, None, None, 1)
    return make


def counts_histogram(bins: int, seed: int = 5):
    rng = np.random.default_rng(seed)
    edges = np.concatenate([[0.0], np.cumsum(rng.uniform(0.5, 1.5, bins))])
    middle = np.arange(bins) - bins / 2
    counts = rng.poisson(50.0 * np.exp(-0.5 * (middle / (0.15 * bins)) ** 2) + 1.0).astype(float)
    return edges, counts


def measure(edges: np.ndarray, masses: np.ndarray, refine: int, old, old_limit: float, old_refine: int,
            max_total: float, make: Callable[..., Callable[[], object]] = fitter) -> Dict[str, Optional[float]]:
    first = make(rows, edges, masses, refine)
    # refine = 1: no non-negative density on the edges fits these masses, a row that the
    # rows module hands back as (row, status, position).
    if first() is not None:
        return {"new": None, "old": None}
    jobs = {"new": h.calls(first, time.process_time)}
    if old is not None and refine <= old_refine:
        once = make(old, edges, masses, refine)
        start = time.process_time()
        once()
        if time.process_time() - start <= old_limit:
            jobs["old"] = h.calls(once, time.process_time)
    timed = h.interleaved(jobs, repeats=7, min_sample=0.05, max_total=max_total, statistic=h.median, fewest=3)
    return {"new": timed["new"], "old": timed.get("old")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--old", help="folder of an earlier build (pip install --target)")
    parser.add_argument("--old-counts", help="folder of the earlier build for the counts-aware fit")
    parser.add_argument("--old-limit", type=float, default=2.0, help="seconds one earlier fit may take")
    parser.add_argument("--old-refine", type=int, default=32, help="largest refine at which the earlier build runs")
    parser.add_argument("--knots", type=int, default=20000)
    parser.add_argument("--max-total", type=float, default=3.0, help="seconds of samples per candidate")
    args = parser.parse_args()
    old = load_old(args.old) if args.old else None
    old_counts = load_old(args.old_counts) if args.old_counts else old

    lines: List[str] = ["# Smooth fit: time against refine", ""]
    lines += h.machine({"Earlier build": args.old or "not given",
                        "Earlier build of the counts-aware fit": args.old_counts or args.old or "not given"})
    lines += ["", "Processor time of one fit (median of samples taken in turns), through zelvane._rows.smooth "
              "with one worker. `old` is the earlier build where given; `old / new` the ratio.", ""]

    def cells(t: Dict[str, Optional[float]], scale: float) -> List[object]:
        new, was = t["new"], t["old"]
        if new is None:
            return ["no fit (refine 1)", "—", "—"]
        return [new * scale, was * scale if was else "not timed", was / new if was else None]

    lines += [f"## Per knot, about {args.knots} knots, uneven widths", ""]
    for pattern in PATTERNS:
        rows_out = []
        for refine in REFINES:
            bins = max(1, args.knots // refine)
            edges, masses = histogram(pattern, bins, even=False)
            t = measure(edges, masses, refine, old, args.old_limit, args.old_refine, args.max_total)
            rows_out.append([str(refine), str(bins)] + cells(t, 1e9 / (bins * refine + 1)))
            print(pattern, refine, t, flush=True)
        lines += [f"### {pattern}", ""]
        lines += h.table(["refine", "bins", "new ns/knot", "old ns/knot", "old / new"], rows_out) + [""]

    lines += ["## Per bin, refine 4, 10^4 bins of equal width", ""]
    rows_out = []
    for pattern in PATTERNS:
        edges, masses = histogram(pattern, 10_000, even=True)
        t = measure(edges, masses, 4, old, args.old_limit, args.old_refine, args.max_total)
        rows_out.append([pattern] + cells(t, 1e9 / 10_000))
        print(pattern, "per bin", t, flush=True)
    lines += h.table(["masses", "new ns/bin", "old ns/bin", "old / new"], rows_out) + [""]

    lines += ["## 200 irregular bins (uneven widths), per fit", ""]
    edges, masses = histogram("irregular", 200, even=False)
    rows_out = []
    for refine in (4, 16, 32, 64, 256):
        # The earlier build up to refine 64 here, where one of its fits takes under a second.
        t = measure(edges, masses, refine, old, args.old_limit, max(args.old_refine, 64), args.max_total)
        rows_out.append([str(refine)] + cells(t, 1e3))
        print("200 bins at", refine, t, flush=True)
    lines += h.table(["refine", "new ms", "old ms", "old / new"], rows_out) + [""]

    lines += ["## Counts-aware fit, 200 bins of counts, per knot", "",
              "Through zelvane._rows.open on closed edges, with complexity 2.", ""]
    edges, counts = counts_histogram(200)
    for label, smoothing in (("smoothing 1e-6", 1e-6), ("the criterion's choice", -1.0)):
        rows_out = []
        # The criterion's choice fits a dozen smoothings, each holding its knots at
        # zero one Newton step at a time: up to refine 128 here.
        for refine in (4, 8, 16, 32, 64, 128, 256)[: 7 if smoothing > 0 else 6]:
            knots = 200 * refine + 1
            t = measure(edges, counts, refine, old_counts, args.old_limit, 256, args.max_total,
                        counts_fitter(smoothing))
            rows_out.append([str(refine)] + cells(t, 1e3) + [t["new"] * 1e9 / knots if t["new"] else None])
            print("counts", label, refine, t, flush=True)
        lines += [f"### {label}", ""]
        lines += h.table(["refine", "new ms", "old ms", "old / new", "new ns/knot"], rows_out) + [""]
    print(h.write("refine.md", lines))


if __name__ == "__main__":
    main()
