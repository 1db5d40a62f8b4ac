"""Speed of zelvane.bake against its peers, measured side by side in one run.

- Per call at n = 1, 16, 256 for both functions, with numpy.empty(16, float32) as
  the yardstick.
- Time per bin for n = 10^3 .. 10^6 on irregular (uniform on [0, 1)), all-negative
  and smooth masses, contiguous and with a stride of 2, against the literal pass
  loop in plain C (the rule alone, no early stop), the same loop under numba, a
  NumPy/Python version and, for the exact fitter, scipy.optimize.lsq_linear.
  Every peer that computes the same thing must give the same bits.
- Two threads against one on a batch of large solves.

Writes results/speed.md and results/speed.png. Run it from outside the checkout
with the package and its bench extra installed (tools/bench.sh does all of this):

    cd /tmp && /path/to/checkout/.venv/bin/python /path/to/checkout/bench/speed.py
"""

from __future__ import annotations

import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Optional, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _harness as h  # noqa: E402
from peers import numpy_python, scipy_lsq  # noqa: E402
from peers.c_literal import CLiteral  # noqa: E402
from peers.numba_literal import compile_peers  # noqa: E402

import zelvane.bake as bake  # noqa: E402

F = np.float32
KINDS = ("irregular", "all-negative", "smooth")
LAYOUTS = ("contiguous", "stride 2")
Inputs = Tuple[np.ndarray, np.ndarray, np.ndarray]


def masses(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "irregular":
        return rng.random(n, dtype=F)
    if kind == "all-negative":
        return -(1 - rng.random(n, dtype=F))
    x = np.linspace(-4, 4, n)
    return (np.exp(-x * x / 2) + 0.1).astype(F)


def laid_out(values: np.ndarray, layout: str) -> np.ndarray:
    if layout == "contiguous":
        return np.array(values, dtype=F)
    base = np.zeros(2 * len(values), dtype=F)
    base[::2] = values
    return base[::2]


def inputs(kind: str, layout: str, n: int, seed: int = 1) -> Inputs:
    """center, gap and prob (n + 1 values) for n bins of unit width."""
    rng = np.random.default_rng(seed)
    center = laid_out(np.arange(n + 1, dtype=F), layout)
    return center, laid_out(masses(kind, n, rng), layout), laid_out(np.zeros(n + 1, F), layout)


def fresh(prob: np.ndarray) -> np.ndarray:
    """An output of the same layout as `prob`."""
    return laid_out(np.zeros(len(prob), F), "contiguous" if prob.strides[0] == 4 else "stride 2")


def ns(seconds: Optional[float], per: int = 1) -> Optional[float]:
    return None if seconds is None else seconds / per * 1e9


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    return None if a is None or b is None else a / b


# ---- Per call ----------------------------------------------------------------------


def per_call(sizes: List[int], repeats: int) -> Tuple[List[str], Dict[int, Dict[str, float]]]:
    rows, found = [], {}
    for n in sizes:
        center, gap, prob = inputs("irregular", "contiguous", n)
        namespace = {"np": np, "fit": bake.fitgapmass, "meh": bake.fitgapmass_meh,
                     "c": center, "g": gap, "p": prob}
        t = h.interleaved({
            "empty": h.statement("np.empty(16, dtype=np.float32)", namespace),
            "fitgapmass": h.statement("fit(c, g, p)", namespace),
            "fitgapmass_meh": h.statement("meh(c, g, p)", namespace),
        }, repeats=repeats, min_sample=0.05)
        found[n] = t
        rows.append([str(n), ns(t["empty"]), ns(t["fitgapmass"]), ratio(t["fitgapmass"], t["empty"]),
                     ns(t["fitgapmass_meh"]), ratio(t["fitgapmass_meh"], t["empty"])])
    header = ["n", "numpy.empty(16) ns", "fitgapmass ns", "× empty", "fitgapmass_meh ns", "× empty"]
    return h.table(header, rows), found


# ---- Time per bin --------------------------------------------------------------------


class Peers:
    def __init__(self) -> None:
        self.c = CLiteral()
        self.numba_fit, self.numba_meh = compile_peers()
        for layout in LAYOUTS:  # compile every specialisation before any timing
            for f in (self.numba_fit, self.numba_meh):
                center, gap, prob = inputs("irregular", layout, 8)
                f(center, gap, prob)


def iterative_row(peers: Peers, kind: str, layout: str, n: int, repeats: int,
                  python_limit: int) -> Dict[str, object]:
    center, gap, prob = inputs(kind, layout, n)
    outs = {name: fresh(prob) for name in ("zelvane", "C", "numba", "python")}
    passes = {}
    candidates: Dict[str, h.Runner] = {
        "zelvane": h.calls(lambda: bake.fitgapmass(center, gap, outs["zelvane"])),
        "C": h.calls(lambda: passes.__setitem__("C", peers.c.fitgapmass(center, gap, outs["C"]))),
        "numba": h.calls(lambda: peers.numba_fit(center, gap, outs["numba"])),
    }
    if n <= python_limit:
        candidates["python"] = h.calls(lambda: numpy_python.fitgapmass(center, gap, outs["python"]))
    t = h.interleaved(candidates, repeats=repeats)
    same = all(h.same_bits(outs["zelvane"], outs[name]) for name in candidates)
    return {"t": t, "passes": passes["C"], "same": same}


def exact_row(peers: Peers, kind: str, layout: str, n: int, repeats: int, python_limit: int,
              lsq_limit: int) -> Dict[str, object]:
    center, gap, prob = inputs(kind, layout, n)
    outs = {name: fresh(prob) for name in ("zelvane", "C", "numba", "python")}
    candidates: Dict[str, h.Runner] = {
        "zelvane": h.calls(lambda: bake.fitgapmass_meh(center, gap, outs["zelvane"])),
        "C": h.calls(lambda: peers.c.fitgapmass_meh(center, gap, outs["C"])),
        "numba": h.calls(lambda: peers.numba_meh(center, gap, outs["numba"])),
    }
    if n <= python_limit:
        candidates["python"] = h.calls(lambda: numpy_python.fitgapmass_meh(center, gap, outs["python"]))
    lsq_residual = None
    if n <= lsq_limit and kind == "irregular" and layout == "contiguous":
        system = scipy_lsq.trapezoid_system(center, gap)
        candidates["lsq"] = h.calls(lambda: scipy_lsq.solve(system))
    t = h.interleaved(candidates, repeats=repeats)
    same = all(h.same_bits(outs["zelvane"], outs[name]) for name in candidates if name != "lsq")
    if "lsq" in candidates:
        a, b = system
        x = scipy_lsq.solve(system)
        lsq_residual = float(np.abs(a @ x - b).max())
    return {"t": t, "same": same, "lsq_residual": lsq_residual}


# ---- Two threads -----------------------------------------------------------------------


def two_threads(n: int, batch: int, repeats: int) -> List[List[object]]:
    rows = []
    for name, f in (("fitgapmass", bake.fitgapmass), ("fitgapmass_meh", bake.fitgapmass_meh)):
        jobs = [inputs("irregular", "contiguous", n, seed=k) for k in range(batch)]
        pool = ThreadPoolExecutor(2)

        def one() -> None:
            for job in jobs:
                f(*job)

        def two() -> None:
            list(pool.map(lambda job: f(*job), jobs))

        t = h.interleaved({"one": h.calls(one, h.wall_clock), "two": h.calls(two, h.wall_clock)},
                          repeats=repeats)
        pool.shutdown()
        rows.append([name, f"{batch} × n = {n:.0e}", t["one"] * 1e3, t["two"] * 1e3, t["one"] / t["two"]])
    return rows


# ---- Report ------------------------------------------------------------------------------


def plot(iterative: Dict[Tuple[str, str, int], Dict[str, object]],
         exact: Dict[Tuple[str, str, int], Dict[str, object]], sizes: List[int], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5))

    def line(results: Dict[Tuple[str, str, int], Dict[str, object]], kind: str, who: str,
             label: str, style: str) -> None:
        xs, ys = [], []
        for n in sizes:
            t = results[(kind, "contiguous", n)]["t"]
            if who in t:  # type: ignore[operator]
                xs.append(n)
                ys.append(t[who] / n * 1e9)  # type: ignore[index]
        if xs:
            ax.plot(xs, ys, style, label=label)

    for kind, colour in zip(KINDS, ("C0", "C1", "C2")):
        line(iterative, kind, "zelvane", f"fitgapmass, {kind}", colour + "-o")
        line(iterative, kind, "C", f"literal loop in C, {kind}", colour + "--s")
    line(iterative, "irregular", "numba", "literal loop in numba, irregular", "C0:^")
    line(iterative, "irregular", "python", "NumPy/Python, irregular", "C0-.x")
    line(exact, "irregular", "zelvane", "fitgapmass_meh, irregular", "C3-o")
    line(exact, "irregular", "C", "exact steps in C, irregular", "C3--s")
    line(exact, "irregular", "lsq", "scipy lsq_linear, irregular", "C4-.d")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("bins n")
    ax.set_ylabel("time per bin (ns)")
    ax.set_title("zelvane.bake against its peers (contiguous float32)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**3, 10**4, 10**5, 10**6])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--python-limit", type=int, default=10**3,
                        help="largest n for the NumPy/Python peer (its passes are a Python loop)")
    parser.add_argument("--lsq-limit", type=int, default=10**4)
    parser.add_argument("--batch", type=int, default=8)
    args = parser.parse_args(argv)

    import numba
    import scipy

    start_lines = h.machine({"SciPy": scipy.__version__, "numba": numba.__version__})
    peers = Peers()
    start_lines.append(f"- C peer built with: `{' '.join(os.path.basename(a) for a in peers.c.command)}`")

    print("per call ...", flush=True)
    call_lines, calls_found = per_call([1, 16, 256], args.repeats)

    iterative: Dict[Tuple[str, str, int], Dict[str, object]] = {}
    exact: Dict[Tuple[str, str, int], Dict[str, object]] = {}
    for n in args.sizes:
        for kind in KINDS:
            for layout in LAYOUTS:
                print(f"n = {n}, {kind}, {layout} ...", flush=True)
                iterative[(kind, layout, n)] = iterative_row(peers, kind, layout, n, args.repeats,
                                                             args.python_limit)
                exact[(kind, layout, n)] = exact_row(peers, kind, layout, n, args.repeats,
                                                     args.python_limit, args.lsq_limit)
    print("two threads ...", flush=True)
    thread_rows = two_threads(max(args.sizes), args.batch, 3)

    it_rows, ex_rows = [], []
    for (kind, layout, n), r in iterative.items():
        t = r["t"]
        contiguous = iterative[(kind, "contiguous", n)]["t"]["zelvane"]  # type: ignore[index]
        it_rows.append([kind, layout, str(n), ns(t["zelvane"], n), ns(t["C"], n), str(r["passes"]),
                        ratio(t["C"], t["zelvane"]), ns(t["numba"], n), ns(t.get("python"), n),
                        ratio(t["zelvane"], contiguous), "yes" if r["same"] else "NO"])
    for (kind, layout, n), r in exact.items():
        t = r["t"]
        contiguous = exact[(kind, "contiguous", n)]["t"]["zelvane"]  # type: ignore[index]
        ex_rows.append([kind, layout, str(n), ns(t["zelvane"], n), ns(t["C"], n),
                        ratio(t["zelvane"], t["C"]), ns(t["numba"], n), ns(t.get("python"), n),
                        ns(t.get("lsq"), n), ratio(t.get("lsq"), t["zelvane"]),
                        ratio(t["zelvane"], contiguous), "yes" if r["same"] else "NO"])

    big, small = max(args.sizes), 16
    def it(kind: str, who: str, layout: str = "contiguous") -> float:
        return iterative[(kind, layout, big)]["t"][who]  # type: ignore[index]

    lsq_n = max(n for n in args.sizes if n <= args.lsq_limit)
    targets = [
        ("fitgapmass, irregular, n = %d: literal C / fitgapmass (≥ 50)" % big, it("irregular", "C") / it("irregular", "zelvane")),
        ("fitgapmass, all-negative, n = %d: literal C / fitgapmass (≥ 50)" % big, it("all-negative", "C") / it("all-negative", "zelvane")),
        ("fitgapmass, smooth, n = %d: fitgapmass / literal C (≤ 1.1)" % big, it("smooth", "zelvane") / it("smooth", "C")),
        *[("fitgapmass, %s, n = %d: stride 2 / contiguous (≤ 1.3)" % (kind, big),
           it(kind, "zelvane", "stride 2") / it(kind, "zelvane")) for kind in KINDS],
        ("fitgapmass_meh, irregular, n = %d: stride 2 / contiguous (≤ 1.3)" % big,
         exact[("irregular", "stride 2", big)]["t"]["zelvane"] / exact[("irregular", "contiguous", big)]["t"]["zelvane"]),  # type: ignore[index]
        ("fitgapmass_meh, irregular, n = %d: fitgapmass_meh / C steps (≤ 1.0)" % big,
         exact[("irregular", "contiguous", big)]["t"]["zelvane"] / exact[("irregular", "contiguous", big)]["t"]["C"]),  # type: ignore[index]
        ("fitgapmass_meh, irregular, n = %d: lsq_linear / fitgapmass_meh (≥ 100)" % lsq_n,
         exact[("irregular", "contiguous", lsq_n)]["t"]["lsq"] / exact[("irregular", "contiguous", lsq_n)]["t"]["zelvane"]),  # type: ignore[index]
        ("per call, n = 16: fitgapmass / numpy.empty(16) (≤ 2.5)", calls_found[small]["fitgapmass"] / calls_found[small]["empty"]),
        ("per call, n = 16: fitgapmass_meh / numpy.empty(16) (≤ 4.5)", calls_found[small]["fitgapmass_meh"] / calls_found[small]["empty"]),
        ("two threads / one thread, fitgapmass (≥ 1.7)", thread_rows[0][4]),
        ("two threads / one thread, fitgapmass_meh (≥ 1.7)", thread_rows[1][4]),
    ]
    load = os.getloadavg()
    lsq_notes = [f"n = {n}: largest |A x - b| = {r['lsq_residual']:.2g}"
                 for (kind, layout, n), r in exact.items() if r["lsq_residual"] is not None]
    lines = ["# Speed of zelvane.bake", "", "Made by `bench/speed.py` (`bash tools/bench.sh`).", "",
             "## Machine", "", *start_lines,
             f"- Load average at the end: {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}", "",
             "Times are the best of interleaved repeats in one run, on the calling thread's CPU clock "
             "(user and system time); the two-thread rows use the wall clock. Ratios compare columns of "
             "the same run.",
             "", "## Targets", "", *h.table(["measure (target)", "measured"], targets), "",
             "## Per call (irregular masses, contiguous)", "", *call_lines, "",
             "## fitgapmass: time per bin (ns)", "",
             "`C literal` is the rule alone in plain C (a pass with no interior move, or 128 passes); "
             "`passes` is how many it ran. `same bits`: every peer in the row wrote the bits fitgapmass wrote.",
             "", *h.table(["masses", "layout", "n", "fitgapmass", "C literal", "passes", "C / fitgapmass",
                           "numba", "NumPy/Python", "× contiguous", "same bits"], it_rows), "",
             "## fitgapmass_meh: time per bin (ns)", "",
             "`C steps` are the five loops in plain C with the same three numpy.empty scratch arrays. "
             "`lsq_linear` solves the bounded least-squares problem instead (other bits; its residuals below).",
             "", *h.table(["masses", "layout", "n", "fitgapmass_meh", "C steps", "meh / C", "numba",
                           "NumPy/Python", "lsq_linear", "lsq / meh", "× contiguous", "same bits"], ex_rows),
             "", *["- lsq_linear " + note for note in lsq_notes], "",
             "## Two threads against one (batch of large solves, irregular)", "",
             *h.table(["function", "batch", "one thread ms", "two threads ms", "throughput ×"], thread_rows),
             "", "![time per bin](speed.png)"]
    path = h.write("speed.md", lines)
    plot(iterative, exact, args.sizes, os.path.join(h.RESULTS, "speed.png"))
    peers.c.close()
    print("\n".join(lines))
    print(f"wrote {path}")
    bad = [r for r in it_rows + ex_rows if r[-1] != "yes"]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
