"""Shared by the suites in bench/: the machine a run came from, the cut distributions
that serve as truths, timing in turns, and Markdown tables. A suite is a script run from
outside the checkout with the package installed; it writes its results under
bench/results/."""

from __future__ import annotations

import datetime
import os
import platform
import time
import timeit
from typing import Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple, TypeVar

import numpy as np

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine(extra: Optional[Dict[str, str]] = None) -> List[str]:
    """Markdown lines that say where and when a run was made."""
    load = os.getloadavg()
    lines = [
        f"- CPU: {cpu_model()} ({os.cpu_count()} logical cores)",
        f"- Python {platform.python_version()}, NumPy {np.__version__}",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- Load average at the start (1, 5, 15 min): {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}",
    ]
    for key, value in (extra or {}).items():
        lines.append(f"- {key}: {value}")
    return lines


def versions(*distributions: str) -> Dict[str, str]:
    """The installed version of each distribution, or "not installed"."""
    from importlib import metadata

    found: Dict[str, str] = {}
    for name in distributions:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = "not installed"
    return found


def time_each(jobs: Dict[str, Callable[[], object]], max_total: float = 8.0
              ) -> Tuple[Dict[str, float], Dict[str, str]]:
    """Median seconds of each call, taken in turns (`interleaved`, 15 rounds, at least
    3); a call that raises on a first try is left out, with its exception's name."""
    candidates: Dict[str, Runner] = {}
    refused: Dict[str, str] = {}
    for label, call in jobs.items():
        try:
            call()
        except Exception as error:
            refused[label] = type(error).__name__
            continue
        candidates[label] = calls(call)
    return interleaved(candidates, repeats=15, min_sample=0.02, max_total=max_total,
                       statistic=median, fewest=3), refused


def two_normal_mixture() -> Any:
    """0.7 N(0, 1) + 0.3 N(3, 0.5²) as a scipy.stats distribution (SciPy loaded on call)."""
    from scipy import stats

    class mixture_gen(stats.rv_continuous):  # type: ignore[misc]
        def _pdf(self, x: np.ndarray) -> np.ndarray:
            return 0.7 * stats.norm.pdf(x) + 0.3 * stats.norm.pdf(x, 3, 0.5)

        def _cdf(self, x: np.ndarray) -> np.ndarray:
            return 0.7 * stats.norm.cdf(x) + 0.3 * stats.norm.cdf(x, 3, 0.5)

    return mixture_gen(name="mixture")


Draw = Callable[[int, np.random.Generator], np.ndarray]


class Truncated:
    """A scipy distribution cut to [t_low, t_high] and renormalised there, seen through
    x = (t - shift) * scale: t_low is its `low_q` quantile (where its support starts
    for low_q = 0), t_high its 99.5th percentile. `draw(size, rng)` draws from the
    distribution before the cut (its rvs unless given)."""

    def __init__(self, name: str, dist: Any, low_q: float, shift: float = 0.0, scale: float = 1.0,
                 draw: Optional[Draw] = None):
        self.name, self.dist, self.low_q, self.shift, self.scale = name, dist, low_q, shift, scale
        self.t_low = float(dist.support()[0] if low_q == 0 else dist.ppf(low_q))
        self.t_high = float(dist.ppf(0.995))
        self.f_low = float(dist.cdf(self.t_low))
        self.mass = float(dist.cdf(self.t_high)) - self.f_low
        self.low, self.high = self.x(self.t_low), self.x(self.t_high)
        self._draw = draw

    def x(self, t: Any) -> Any:
        return (t - self.shift) * self.scale

    def t(self, x: Any) -> Any:
        return np.asarray(x) / self.scale + self.shift

    def rescaled(self, shift: float, scale: float) -> "Truncated":
        return Truncated(self.name, self.dist, self.low_q, shift, scale, self._draw)

    def pdf(self, x: np.ndarray) -> np.ndarray:
        inside = (x >= self.low) & (x <= self.high)
        return np.where(inside, self.dist.pdf(self.t(x)) / self.mass / self.scale, 0.0)

    def cdf(self, x: np.ndarray) -> np.ndarray:
        raw = (self.dist.cdf(self.t(np.clip(x, self.low, self.high))) - self.f_low) / self.mass
        return np.clip(raw, 0.0, 1.0)

    def ppf(self, q: float) -> float:
        return float(self.x(self.dist.ppf(self.f_low + q * self.mass)))

    def masses(self, edges: np.ndarray) -> np.ndarray:
        return np.diff(self.cdf(edges))

    def sample(self, n: int, rng: np.random.Generator) -> np.ndarray:
        """n draws from the cut distribution (draws outside [t_low, t_high] are redrawn)."""
        kept: List[np.ndarray] = []
        have = 0
        while have < n:
            size = int((n - have) * 1.05) + 16
            t = (self._draw(size, rng) if self._draw is not None
                 else self.dist.rvs(size=size, random_state=rng))
            t = t[(t >= self.t_low) & (t <= self.t_high)]
            kept.append(t)
            have += len(t)
        return self.x(np.concatenate(kept)[:n])


Runner = Callable[[int], float]  # runs `number` calls, returns the seconds they took
Name = TypeVar("Name", bound=Hashable)  # how a suite names its candidates

# Single-threaded work is timed by the CPU time of the calling thread (user and
# system, page faults included): on a shared machine, time spent waiting for a
# core would otherwise swamp the ratios. Work spread over threads is timed by
# the wall clock.
cpu_clock = time.thread_time
wall_clock = time.perf_counter


def calls(f: Callable[[], object], clock: Callable[[], float] = cpu_clock) -> Runner:
    def run(number: int) -> float:
        start = clock()
        for _ in range(number):
            f()
        return clock() - start

    return run


def statement(stmt: str, namespace: Dict[str, object]) -> Runner:
    """A statement timed by timeit on the thread's CPU clock, without the cost of a wrapper."""
    return timeit.Timer(stmt, timer=cpu_clock, globals=namespace).timeit


def _calibrated(candidates: Dict[Name, Runner],
                min_sample: float) -> Tuple[Dict[Name, int], Dict[Name, float]]:
    """Per candidate, the number of calls that lasts at least `min_sample`, and the
    time that many calls took."""
    numbers: Dict[Name, int] = {}
    first: Dict[Name, float] = {}
    for name, run in candidates.items():
        number = 1
        while True:
            elapsed = run(number)
            if elapsed >= min_sample:
                break
            number *= max(2, int(min_sample / max(elapsed, 1e-9) * 1.2))
        numbers[name] = number
        first[name] = elapsed
    return numbers, first


def median(samples: Sequence[float]) -> float:
    return float(np.median(samples))


def interleaved(candidates: Dict[Name, Runner], repeats: int = 5, min_sample: float = 0.02,
                max_total: float = 10.0, statistic: Callable[[Sequence[float]], float] = min,
                fewest: int = 1) -> Dict[Name, float]:
    """Time of one call of each candidate, in seconds: by default the best of its samples.

    Every candidate is first calibrated to a number of calls that lasts at least
    `min_sample`; then the candidates take turns, one sample each per round, for
    `repeats` rounds (fewer, but at least `fewest`, for a candidate whose samples
    would exceed `max_total` in all), and each reports `statistic` of its samples
    (`min`, or `median`)."""
    numbers, first = _calibrated(candidates, min_sample)
    allowed = {name: max(fewest, min(repeats, int(max_total / max(first[name], 1e-9))))
               for name in candidates}
    samples: Dict[Name, List[float]] = {name: [] for name in candidates}
    for r in range(max(allowed.values(), default=0)):
        for name, run in candidates.items():
            if r < allowed[name]:
                samples[name].append(run(numbers[name]) / numbers[name])
    return {name: float(statistic(s)) for name, s in samples.items()}


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    a32 = np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)
    b32 = np.ascontiguousarray(b, dtype=np.float32).view(np.uint32)
    return a32.shape == b32.shape and bool((a32 == b32).all())


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> List[str]:
    def cell(value: object) -> str:
        return value if isinstance(value, str) else "—" if value is None else f"{value:.3g}"

    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(cell(v) for v in row) + " |" for row in rows]
    return lines


def write(name: str, lines: Sequence[str]) -> str:
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, name)
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    return path
