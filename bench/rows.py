"""Batches of histograms: zelvane._rows against a Python loop over zelvane.bake.

Fits ROWS histograms of BINS irregular bins (uneven widths shared by every row;
as masses the counts of a 1000-point normal sample, or with --masses uniform
values uniform on [0, 1)) with each method, three ways
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


def make_batch(n_rows: int, bins: int, masses: str, seed: int) -> "tuple[np.ndarray, np.ndarray]":
    """Uneven edges on [-4, 4]; masses of a 1000-point normal sample, or uniform on [0, 1)."""
    rng = np.random.default_rng(seed)
    edges = np.sort(rng.uniform(-3.5, 3.5, bins + 1))
    edges[0], edges[-1] = -4.0, 4.0
    if masses == "uniform":
        return edges.astype(np.float32), rng.random((n_rows, bins), dtype=np.float32)
    cdf = np.array([0.5 * (1.0 + math.erf(x / math.sqrt(2.0))) for x in edges])
    p = np.diff(cdf)
    counts = rng.multinomial(1000, p / p.sum(), size=n_rows)
    return edges.astype(np.float32), (counts / 1000.0).astype(np.float32)


def best_of(repeats: int, runs: Dict[str, Callable[[], None]]) -> Dict[str, "tuple[float, float]"]:
    """Best wall-clock time and best processor time (all threads) of each run."""
    wall = {name: math.inf for name in runs}
    cpu = {name: math.inf for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            run()
            wall[name] = min(wall[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], time.process_time() - start_cpu)
    return {name: (wall[name], cpu[name]) for name in runs}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--bins", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--masses", choices=["sample", "uniform"], default="sample")
    args = parser.parse_args()
    center, gap = make_batch(args.rows, args.bins, args.masses, seed=2024)
    print(f"{args.rows} histograms of {args.bins} irregular bins, {args.masses} masses; "
          f"{len(os.sched_getaffinity(0))} usable cores; best of {args.repeats}")
    print("wall-clock seconds (processor seconds, all threads), and wall-clock ratios")
    print(f"{'method':<10} {'python loop':>18} {'workers=1':>18} {'workers=2':>18} "
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
        cells = " ".join(f"{times[k][0]:>7.4f} ({times[k][1]:.4f})" for k in ("loop", "w1", "w2"))
        print(f"{method:<10} {cells} {times['loop'][0] / times['w1'][0]:>8.2f} "
              f"{times['w1'][0] / times['w2'][0]:>6.2f}")
    print(f"load average over the last minute: {os.getloadavg()[0]:.2f}")

if __name__ == "__main__":
    main()
