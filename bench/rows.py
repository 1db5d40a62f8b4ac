"""Batches of histograms: zelvane._rows against a Python loop over zelvane.bake.

Fits ROWS histograms of BINS irregular bins (uneven widths shared by every row,
multinomial counts of a normal sample as masses) with each method, three ways
in the same run: a Python loop calling zelvane.bake on preallocated row views,
and zelvane._rows with one and with two workers. Each is timed as the best of
REPEATS interleaved runs; every way must give the loop's bits. Run it from
outside the checkout, with the package installed:

    cd /tmp && /path/to/checkout/.venv/bin/python /path/to/checkout/bench/rows.py
"""

from __future__ import annotations

import argparse
import math
import os
import time
from typing import Callable, Dict, List

import numpy as np

import zelvane._rows as rows
import zelvane.bake as bake

SOLVERS = {"iterative": bake.fitgapmass, "exact": bake.fitgapmass_meh}


def make_batch(n_rows: int, bins: int, seed: int) -> "tuple[np.ndarray, np.ndarray]":
    rng = np.random.default_rng(seed)
    edges = np.sort(rng.uniform(-3.5, 3.5, bins + 1))
    edges[0], edges[-1] = -4.0, 4.0
    cdf = np.array([0.5 * (1.0 + math.erf(x / math.sqrt(2.0))) for x in edges])
    p = np.diff(cdf)
    counts = rng.multinomial(1000, p / p.sum(), size=n_rows)
    return edges.astype(np.float32), (counts / 1000.0).astype(np.float32)


def best_of(repeats: int, runs: Dict[str, Callable[[], None]]) -> Dict[str, float]:
    best = {name: math.inf for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--bins", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    center, gap = make_batch(args.rows, args.bins, seed=2024)
    print(f"{args.rows} histograms of {args.bins} irregular bins; "
          f"{len(os.sched_getaffinity(0))} usable cores; best of {args.repeats}")
    print(f"{'method':<10} {'python loop':>12} {'workers=1':>10} {'workers=2':>10} "
          f"{'loop/w1':>8} {'w1/w2':>6}")
    for method, solver in SOLVERS.items():
        outs: Dict[str, np.ndarray] = {k: np.empty((args.rows, args.bins + 1), np.float32)
                                       for k in ("loop", "w1", "w2")}
        gap_rows: List[np.ndarray] = list(gap)
        out_rows: List[np.ndarray] = list(outs["loop"])
        fit = getattr(rows, method)

        def loop() -> None:
            for g, o in zip(gap_rows, out_rows):
                solver(center, g, o)

        times = best_of(args.repeats, {
            "loop": loop,
            "w1": lambda: fit(center, gap, outs["w1"], 1),
            "w2": lambda: fit(center, gap, outs["w2"], 2),
        })
        for k in ("w1", "w2"):
            assert outs[k].view(np.uint32).tobytes() == outs["loop"].view(np.uint32).tobytes(), k
        print(f"{method:<10} {times['loop']:>11.4f}s {times['w1']:>9.4f}s {times['w2']:>9.4f}s "
              f"{times['loop'] / times['w1']:>8.2f} {times['w1'] / times['w2']:>6.2f}")


if __name__ == "__main__":
    main()
