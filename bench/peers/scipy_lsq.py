"""The library route to exact, non-negative masses: scipy.optimize.lsq_linear with
bounds (0, inf) on the sparse bidiagonal trapezoid system."""

from __future__ import annotations

import numpy as np


def trapezoid_system(center: np.ndarray, gap: np.ndarray) -> "tuple[object, np.ndarray]":
    """(A, b): row i of A has width_i / 2 at columns i and i + 1, so A @ prob is the masses."""
    try:
        import scipy.sparse as sparse
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("the lsq_linear peer needs scipy: pip install 'zelvane[bench]'") from exc
    n = len(gap)
    half = (np.asarray(center[1 : n + 1], float) - np.asarray(center[:n], float)) / 2
    rows = np.repeat(np.arange(n), 2)
    cols = np.stack([np.arange(n), np.arange(1, n + 1)], axis=1).ravel()
    a = sparse.csr_matrix((np.repeat(half, 2), (rows, cols)), shape=(n, n + 1))
    return a, np.asarray(gap, float)


def solve(system: "tuple[object, np.ndarray]") -> np.ndarray:
    from scipy.optimize import lsq_linear

    a, b = system
    return np.asarray(lsq_linear(a, b, bounds=(0, np.inf)).x)
