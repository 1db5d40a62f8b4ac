"""The histograms of the end-to-end differential test and the reference they are held to.

``python tests/end_to_end_cases.py`` (with the package installed) fits every case of
:func:`cases` and writes ``end_to_end_reference.npz`` beside this file: per case its
input, every native smooth fit it made (the arguments and a digest of the output, so that a test
can tell whether the kernels still give the same bits), and the density's arrays and
summaries as float64 bits. ``test_end_to_end.py`` holds the package to the committed
reference; rewrite it only where a fit's method changes.
"""

import os
from typing import Any, Dict, List, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE = os.path.join(HERE, "end_to_end_reference.npz")

#: The fields of a native call recorded per case, in the order of ``_native.fit_open``.
CALL_FIELDS = ("edges", "masses", "refine", "smoothing", "complexity", "sample_sizes",
               "means", "held_left", "held_right", "right_kind", "out")


def _histograms() -> List[Tuple[str, np.ndarray, np.ndarray]]:
    """(name, counts, edges): 16-bin histograms of whole counts, closed, and a 32-bin one
    of 100 lognormal draws."""
    rng = np.random.default_rng(2026)
    out = []
    shapes = {
        "normal": lambda n: rng.normal(50.0, 12.0, n),
        "lognormal": lambda n: rng.lognormal(3.5, 0.6, n),
        "bimodal": lambda n: np.where(rng.random(n) < 0.6, rng.normal(30, 6, n),
                                      rng.normal(70, 8, n)),
        "exponential": lambda n: rng.exponential(20.0, n),
    }
    for name, draw in shapes.items():
        for n in (60, 2000):
            x = draw(n)
            counts, edges = np.histogram(x, bins=16, range=(float(x.min()), float(x.max())))
            out.append((f"{name}-{n}", counts.astype(np.float64), edges))
    counts, edges = np.histogram(rng.lognormal(0.0, 1.0, 100), bins=32)
    out.append(("lognormal32-100", counts.astype(np.float64), edges))
    sparse = np.zeros(16)
    sparse[[0, 3, 4, 11]] = [2.0, 1.0, 5.0, 1.0]
    out.append(("sparse", sparse, np.arange(17.0) * 2.5))
    return out


def cases() -> List[Tuple[str, np.ndarray, np.ndarray, Dict[str, Any]]]:
    """(name, counts, edges, options of ``from_histogram``) of every case."""
    made = []
    for name, counts, edges in _histograms():
        made.append((name, counts, edges, {}))
        top = np.append(edges[:-1], np.inf)
        shares = counts / counts.sum()
        centres = 0.5 * (edges[:-1] + edges[1:])
        mean = float(np.sum(shares * centres))
        if counts[-1] > 0:
            made.append((name + "/open-mean", counts, top, {"mean": mean * 1.02}))
            made.append((name + "/open", counts, top, {}))
        made.append((name + "/exact", counts, edges, {"smoothing": 0}))
    counts, edges = _histograms()[1][1:]
    top = np.append(edges[:-1], np.inf)
    both = np.concatenate(([-np.inf], edges[1:-1], [np.inf]))
    made += [
        ("lognormal-2000/refine2", counts, edges, {"refine": 2}),
        ("lognormal-2000/refine16", counts, edges, {"refine": 16}),
        ("lognormal-2000/lambda", counts, edges, {"smoothing": 1e-6}),
        ("lognormal-2000/shares", counts / counts.sum(), edges, {"sample_size": 2000.0}),
        ("lognormal-2000/exact-open-mean", counts, top,
         {"smoothing": 0, "mean": float(np.sum(counts / counts.sum() * edges[:-1])) * 1.1}),
        ("lognormal-2000/exponential", counts, top, {"tail": "exponential"}),
        ("lognormal-2000/pareto-3", counts, top, {"tail": 3.0}),
        ("lognormal-2000/upper", counts, top, {"upper": float(edges[-1]) * 1.5}),
        ("lognormal-2000/both-open", counts, both, {}),
        ("lognormal-2000/density", counts / counts.sum() / np.diff(edges), edges,
         {"density": True, "sample_size": 2000.0}),
    ]
    return made


def _bits(value: Any) -> np.ndarray:
    return np.asarray(value, dtype=np.float64).reshape(-1)


def summary(d: Any) -> Dict[str, np.ndarray]:
    """What the test compares of a density: its arrays and numbers as float64."""
    fields = {"knots": digest(d.knots), "values": _bits(d.values),
              "numbers": _bits([d.median(), d.mean(), float(d.cdf(d.knots[len(d.knots) // 3])),
                                d.smoothing, d.edf, d.mass_error])}
    for side in ("left_tail", "right_tail"):
        tail = getattr(d, side)
        if tail is not None:
            fields[side] = _bits([tail.joint, tail.mass, tail.parameter])
            fields[side + "_how"] = np.array([tail.kind, tail.chosen])
    return fields


def digest(out: Any) -> np.ndarray:
    """The SHA-256 of a native fit's output, as a string array."""
    import hashlib

    return np.array(hashlib.sha256(np.ascontiguousarray(out, np.float64).tobytes()).hexdigest())


def _recorded(call: Any, log: List[Dict[str, Any]]) -> Any:
    def fit_open(edges: Any, masses: Any, out: Any, refine: int, smoothing: float,
                 complexity: float, sample_sizes: Any, means: Any, workers: int,
                 held: Tuple[Any, Any] = (None, None), right_kind: str = "none",
                 *names: Any) -> None:
        call(edges, masses, out, refine, smoothing, complexity, sample_sizes, means, workers,
             held, right_kind, *names)
        log.append({"edges": np.array(edges), "masses": np.array(masses), "refine": refine,
                    "smoothing": smoothing, "complexity": complexity,
                    "sample_sizes": sample_sizes, "means": means, "held_left": held[0],
                    "held_right": held[1], "right_kind": right_kind, "out": digest(out)})

    return fit_open


def write() -> None:
    import json
    import warnings

    from zelvane import PiecewiseLinearDensity, _smooth

    floats: List[np.ndarray] = []
    index: Dict[str, Tuple[int, int]] = {}
    strings: Dict[str, Any] = {}
    at = 0

    def put(key: str, value: Any) -> None:
        nonlocal at
        value = np.asarray(value)
        if value.dtype.kind in "US":
            strings[key] = value.tolist()
            return
        flat = _bits(value)
        index[key] = (at, flat.size)
        floats.append(flat)
        at += flat.size

    for name, counts, edges, options in cases():
        log: List[Dict[str, Any]] = []
        original = _smooth._native.fit_open
        _smooth._native.fit_open = _recorded(original, log)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                d = PiecewiseLinearDensity.from_histogram(counts, edges, **options)
        finally:
            _smooth._native.fit_open = original
        put(f"{name}|counts", counts)
        put(f"{name}|edges", edges)
        for key, value in summary(d).items():
            put(f"{name}|{key}", value)
        for k, call in enumerate(log):
            for field in CALL_FIELDS:
                if call[field] is not None:
                    put(f"{name}|call{k}|{field}", call[field])
    np.savez_compressed(REFERENCE, floats=np.concatenate(floats),
                        index=np.array(json.dumps(index)), strings=np.array(json.dumps(strings)))


def load() -> Dict[str, Any]:
    """The reference as written by :func:`write`: arrays (float64) and strings by key."""
    import json

    with np.load(REFERENCE, allow_pickle=False) as stored:
        floats = stored["floats"]
        index = json.loads(str(stored["index"]))
        found: Dict[str, Any] = json.loads(str(stored["strings"]))
    for key, (start, size) in index.items():
        found[key] = floats[start:start + size]
    return found


if __name__ == "__main__":
    write()
