"""Does every valid histogram get a fit? Random overdispersed histograms, fitted and tallied.

Each histogram has `--bins` bins (200) on exponential widths (so widths over several
decades), each count Poisson with a gamma(0.3, 10) mean: most bins empty or nearly so, a
few large. The exact-mass fit (``smoothing=0``) is run on all of them in one call per
batch of 1,000 (a failed row stops a batch, which is then fitted row by row to tally
every row); with ``--counts`` the counts-aware fit (``smoothing="auto"``, the default of
``from_histogram``) is run row by row beside it. The tally is of what each fit ended in:
``ok``, an ``InputError`` by its problem, or another exception by its type and message.

    python bench/solver_robust.py                    # 10,000 histograms, exact masses
    python bench/solver_robust.py --count 2000 --counts --refine 4 16

Exits 1 when any exact-mass fit ended in anything but ``ok`` or an ``InputError``.
"""

from __future__ import annotations

import argparse
import collections
import sys
import time

import numpy as np

import zelvane


def histograms(seed: int, count: int, bins: int):
    """Edges (count, bins + 1) and counts (count, bins), as the module docstring says."""
    rng = np.random.default_rng(seed)
    widths = rng.exponential(size=(count, bins))
    edges = np.concatenate([np.zeros((count, 1)), np.cumsum(widths, axis=1)], axis=1)
    counts = rng.poisson(rng.gamma(0.3, 10, size=(count, bins))).astype(float)
    counts[counts.sum(axis=1) == 0, 0] = 1
    return edges, counts


def outcome(call) -> str:
    try:
        call()
    except zelvane.InputError as error:
        return f"InputError {error.problem}"
    except Exception as error:  # noqa: BLE001 - what is tallied is exactly what escapes
        return f"{type(error).__name__}: {error}"
    return "ok"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10_000)
    parser.add_argument("--bins", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--refine", type=int, nargs="+", default=[4])
    parser.add_argument("--counts", action="store_true", help="the counts-aware fit too")
    args = parser.parse_args()
    edges, counts = histograms(args.seed, args.count, args.bins)
    failed = False
    for refine in args.refine:
        tally: collections.Counter = collections.Counter()
        start = time.perf_counter()
        for first in range(0, args.count, 1000):
            e, c = edges[first:first + 1000], counts[first:first + 1000]
            whole = outcome(lambda: zelvane.fit_smooth(e, c, refine=refine))
            if whole == "ok":
                tally["ok"] += len(c)
                continue
            for row in range(len(c)):
                tally[outcome(lambda: zelvane.fit_smooth(e[row], c[row], refine=refine))] += 1
        seconds = time.perf_counter() - start
        print(f"exact masses, refine={refine}: {dict(tally)}  ({seconds:.1f} s)")
        failed |= any(not (key == "ok" or key.startswith("InputError")) for key in tally)
        if args.counts:
            tally = collections.Counter()
            start = time.perf_counter()
            for row in range(args.count):
                tally[outcome(lambda: zelvane.fit_smooth(edges[row], counts[row], refine=refine,
                                                         smoothing="auto"))] += 1
            seconds = time.perf_counter() - start
            print(f"counts, smoothing='auto', refine={refine}: {dict(tally)}  ({seconds:.1f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
