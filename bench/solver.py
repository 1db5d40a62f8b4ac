"""The smooth fit's solver against one banded solve of a system of its size.

- refine 4, 10^4 bins of equal width, three patterns of masses (irregular: uniform on
  [0.1, 1]; sparse: 70 % zeros, the rest uniform on [0, 1]; alternating: 1 and 0), each
  fit against ``scipy.linalg.solve_banded`` (LAPACK's banded LU with partial pivoting) of
  the fit's KKT system's order, bins * (refine + 1) + 1, with the band of its envelope,
  refine + 2 places on either side; and against a pentadiagonal solve with one unknown
  per knot (the curvature alone, the least any fit on these knots solves).
- Time per knot against refine (4, 16, 64, 256) at about 2 * 10^4 knots on uneven widths, for
  the irregular and sparse patterns, and its ratio to refine 4.
- The exact-mass fit of three bins, the middle one 10^10 times narrower than the others
  (a fit that the solves in double do not confirm, and the double-double fallback makes
  again), against the same masses on even bins.

Each fit goes through zelvane._rows.smooth (one row, one worker) and every candidate is
timed by the process's CPU time, median of samples taken in turns with the others of its
table. Given ``--old DIR``, a folder holding an earlier build of the package (``pip
install --no-deps --target DIR <checkout>``), its fits are timed in the same turns and the
ratios reported. Writes results/solver.md. Run it from outside the checkout with the package
installed:

    cd /tmp && /path/to/checkout/.venv/bin/python /path/to/checkout/bench/solver.py
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable, Dict, List

import numpy as np
import scipy.linalg

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _harness as h  # noqa: E402

import zelvane._rows as rows  # noqa: E402

PATTERNS = ("irregular", "sparse", "alternating")


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


def fit(edges: np.ndarray, masses: np.ndarray, refine: int, module=rows) -> Callable[[], object]:
    out = np.empty(len(masses) * refine + 1)
    if module.smooth(edges, masses, out, refine, 1) is not None:
        raise SystemExit(f"no fit of the {len(masses)} bins at refine {refine}")
    return lambda: module.smooth(edges, masses, out, refine, 1)


def banded(order: int, half_band: int, seed: int = 7) -> Callable[[], object]:
    """One solve of a diagonally dominant band matrix of `order` unknowns."""
    rng = np.random.default_rng(seed)
    band = rng.uniform(-1.0, 1.0, (2 * half_band + 1, order))
    band[half_band] += 4.0 * half_band
    rhs = rng.uniform(size=order)
    return lambda: scipy.linalg.solve_banded((half_band, half_band), band, rhs, check_finite=False)


def timed(jobs: Dict[str, Callable[[], object]], max_total: float) -> Dict[str, float]:
    runners = {name: h.calls(job, time.process_time) for name, job in jobs.items()}
    return h.interleaved(runners, repeats=9, min_sample=0.05, max_total=max_total, statistic=h.median,
                         fewest=3)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bins", type=int, default=10_000)
    parser.add_argument("--knots", type=int, default=20_000)
    parser.add_argument("--max-total", type=float, default=3.0, help="seconds of samples per candidate")
    parser.add_argument("--old", help="folder of an earlier build (pip install --target)")
    parser.add_argument("--old-label", default="", help="what the earlier build is (a commit, say)")
    args = parser.parse_args()
    old = None
    if args.old:
        from refine import load_old
        old = load_old(args.old)
    refine = 4
    order, knots = args.bins * (refine + 1) + 1, args.bins * refine + 1
    lines: List[str] = ["# Smooth fit against one banded solve", ""]
    lines += h.machine({"SciPy": scipy.__version__, "Earlier build": (f"{args.old} {args.old_label}".strip() if args.old
                                                                         else "not given")})
    lines += ["", "Processor time (median of samples taken in turns) through zelvane._rows.smooth with "
              "one worker; the banded solves by scipy.linalg.solve_banded.", "",
              f"## refine {refine}, {args.bins} bins of equal width", "",
              f"KKT order {order}, half band {refine + 2}; pentadiagonal: {knots} unknowns, half band 2.", ""]
    jobs: Dict[str, Callable[[], object]] = {"banded": banded(order, refine + 2), "penta": banded(knots, 2)}
    for pattern in PATTERNS:
        jobs[pattern] = fit(*histogram(pattern, args.bins, even=True), refine)
        if old is not None:
            jobs["old " + pattern] = fit(*histogram(pattern, args.bins, even=True), refine, old)
    t = timed(jobs, args.max_total)
    lines += [f"- one banded solve of the KKT order: {t['banded'] * 1e3:.3g} ms; "
              f"pentadiagonal: {t['penta'] * 1e3:.3g} ms", ""]
    lines += h.table(["masses", "fit ms", "fit / banded solve", "fit / pentadiagonal solve", "old fit ms",
                      "old / new"],
                     [[p, t[p] * 1e3, t[p] / t["banded"], t[p] / t["penta"],
                       t["old " + p] * 1e3 if old is not None else None,
                       t["old " + p] / t[p] if old is not None else None] for p in PATTERNS])
    lines += ["", f"## Time per knot against refine, about {args.knots} knots, uneven widths", ""]
    for pattern in ("irregular", "sparse"):
        refines = (4, 16, 64, 256)
        jobs = {str(r): fit(*histogram(pattern, args.knots // r, even=False), r) for r in refines}
        if old is not None:
            jobs.update({"old " + str(r): fit(*histogram(pattern, args.knots // r, even=False), r, old)
                         for r in refines})
        t = timed(jobs, args.max_total)
        per_knot = {key: t[key] / (args.knots // int(key.split()[-1]) * int(key.split()[-1])) for key in t}
        lines += [f"### {pattern}", ""]
        lines += h.table(["refine", "ns/knot", "/ refine 4", "old ns/knot", "old / refine 4", "old / new"],
                         [[r, per_knot[str(r)] * 1e9, per_knot[str(r)] / per_knot["4"],
                           per_knot["old " + str(r)] * 1e9 if old is not None else None,
                           per_knot["old " + str(r)] / per_knot["old 4"] if old is not None else None,
                           per_knot["old " + str(r)] / per_knot[str(r)] if old is not None else None]
                          for r in refines])
        lines += [""]
    lines += ["## Where the solves in double cannot be confirmed", "",
              "Masses 3, 6 and 9 at refine 4 on the edges 0, 1e6, 1e6 + 1e-4, 2e6 (a middle bin "
              "1e10 times narrower than the others: the solves in double do not confirm its fit and "
              "the fallback makes it again in double-double) against the same masses on 0, 1e6, "
              "2e6, 3e6.", ""]
    masses = np.array([3.0, 6.0, 9.0])
    narrow, even = np.array([0, 1e6, 1e6 + 1e-4, 2e6]), np.array([0, 1e6, 2e6, 3e6])
    t = timed({"ordinary": fit(even, masses, 4), "narrow": fit(narrow, masses, 4)}, args.max_total)
    lines += h.table(["edges", "ms", "/ even"],
                     [["even", t["ordinary"] * 1e3, 1.0],
                      ["one bin 1e10 narrower", t["narrow"] * 1e3, t["narrow"] / t["ordinary"]]])
    print(h.write("solver.md", lines))


if __name__ == "__main__":
    main()
