"""The smooth fits: exact masses, counts, open ends and a known mean.

:func:`fit_smooth` is the one front of the native smooth fits (the rows module's
``open`` entry, on the kernels' ``open_fit``):

- exact masses (``smoothing=0``): the least-curvature non-negative density on
  refined knots that carries every mass exactly;
- counts (``smoothing="auto"`` or a positive number): the penalised
  multinomial likelihood of the counts, the counts' sampling noise smoothed
  away, with the smoothness chosen per histogram by an information criterion
  or fixed;
- open ends (a first edge of ``-inf``, a last edge of ``+inf``): a tail beyond
  each, joined continuously to the body;
- a known mean, met exactly by the tail's parameter.

The result, :class:`SmoothFit`, unpacks as ``(knots, values)`` and tells how
the fit was made.
"""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from zelvane._errors import InputError
from zelvane._fit import (DEFAULT_REFINE, MAX_REFINE, _aligned, _check_refine, _check_workers,
                          _is_dask_array, check_histogram, check_real, open_sides, read_only,
                          real_array, trapezoid_masses)
from zelvane._tails import Tail

if TYPE_CHECKING:
    Float64Array = npt.NDArray[np.float64]
    FloatArray = npt.NDArray[np.floating[Any]]

__all__ = ["fit_smooth", "SmoothFit", "COMPLEXITY", "bin_masses", "whole_numbers"]

#: The smoothing that asks for the information criterion's choice.
AUTO = "auto"
#: The criterion's price of one effective degree of freedom. Akaike's is 2; on
#: simulated histograms (five distributions, 8 and 16 bins, 200 to 5,000
#: draws) a price of 3 gave the same L1 error and a third fewer modes that the
#: true density lacks, and on the real data of the benchmark a lower L1 and KS
#: distance to held-out halves (bench/counts.py).
COMPLEXITY = 3.0
# The tails' kinds by the native fit's codes (0: none).
_KINDS = {1: "exponential", 2: "pareto"}
# What the rows module writes after a row's values (open_info in row_batch.hpp).
_INFO = 13
(_SMOOTHING, _EDF, _DEVIANCE, _LEFT, _RIGHT, _LOWEST, _HIGHEST) = (0, 1, 2, 3, 7, 11, 12)


def _check_smoothing(smoothing: Union[str, float]) -> float:
    """The native form of `smoothing`: -1 for "auto", else the number (0 or more)."""
    if isinstance(smoothing, str):
        if smoothing == AUTO:
            return -1.0
        raise InputError("choice", argument="smoothing", given=repr(smoothing),
                         choices=(AUTO, 0, "a positive number"))
    if isinstance(smoothing, bool) or not isinstance(smoothing, numbers.Real):
        raise InputError("type", argument="smoothing", expected="'auto' or a real number",
                         type_name=type(smoothing).__name__)
    value = float(smoothing)
    if not (value >= 0.0 and np.isfinite(value)):
        raise InputError("out_of_range", argument="smoothing", value=value, minimum=0)
    return value


def whole_numbers(masses: Any) -> bool:
    """Whether `masses` are counts: every finite one a whole number. The counts-aware fit
    reads counts as a sample whose size is their sum; shares and weights say nothing of
    the sample behind them."""
    given = np.asarray(masses)
    if given.dtype.kind != "f":
        return True
    return bool(np.all(np.mod(given[np.isfinite(given)], 1) == 0))


def bin_masses(knots: npt.ArrayLike, values: npt.ArrayLike, refine: int) -> Float64Array:
    """The mass of every bin under a smooth fit's `values` at its `knots`, `refine`
    pieces per bin (1-D, or one row per histogram)."""
    pieces = trapezoid_masses(knots, values)
    masses: Float64Array = pieces.reshape(pieces.shape[:-1] + (-1, refine)).sum(axis=-1)
    return masses


def _per_row(name: str, value: Any, rows: Tuple[int, ...], *, missing_allowed: bool
             ) -> Optional[Float64Array]:
    """`value` (a number, or one per row of a batch) as float64 of one per row; None
    stays None. Numbers must be finite, and positive for a sample size; a mean may be
    NaN (none for that row) where `missing_allowed`."""
    if value is None:
        return None
    given = real_array(name, value)
    count = rows[0] if rows else 1
    if given.ndim > 1 or (given.ndim == 1 and given.shape[0] != count):
        raise InputError("shape", argument=name, shape=given.shape, expected=((), (count,)))
    column = np.ascontiguousarray(np.broadcast_to(given.astype(np.float64), (count,)))
    bad = ~np.isfinite(column)
    if missing_allowed:
        bad &= ~np.isnan(column)
    else:
        bad |= ~(column > 0)
    if bad.any():
        k = int(np.argmax(bad))
        row = k if rows else None
        if not np.isfinite(column[k]):
            raise InputError("not_finite", argument=name, row=row, value=column[k])
        raise InputError("out_of_range", argument=name, row=row, value=column[k], minimum=0,
                         exclusive=True)
    return column


def _open_ends(center: FloatArray, name: str) -> Tuple[bool, bool]:
    """Whether the edges open to the left and to the right, the same in every row."""
    left, right = open_sides(center)
    for side, flags in (("first", left), ("last", right)):
        if flags.any() and not flags.all():
            row = int(np.argmin(flags)) if flags[0] else int(np.argmax(flags))
            raise InputError("open_rows", argument=name, row=row, side=side)
    return bool(left.all()), bool(right.all())


class SmoothFit:
    """What :func:`fit_smooth` found: unpacks as ``(knots, values)``.

    Attributes
    ----------
    knots, values : numpy.ndarray
        The body's knots and the density's values there (carrying the total
        of the masses or counts given, tails included), 1-D for one histogram,
        one row per histogram for a batch.
    smoothing : float or numpy.ndarray
        The lambda of each fit (0 for exact masses).
    edf : float or numpy.ndarray
        Effective degrees of freedom: the trace of the fit's hat matrix (the
        occupied bins less one for exact masses).
    deviance : float or numpy.ndarray
        2 N sum q log(q / p) of the counts' shares q and the fitted masses p
        (0 for exact masses).
    left_tail, right_tail : zelvane.Tail or None
        The tail before the first edge and beyond the last, where they are
        open (fields are arrays of one entry per row for a batch; ``kind`` is
        ``"none"`` in a row whose open bin is empty, and an array of every
        row's kind where the rows differ). For a Dask array of masses every
        field is a Dask array of one entry per row, ``kind`` included: each
        row's kind as its fit chose it, known once computed.

    Every NumPy array here is read-only and owns its memory (or, for
    ``kind``, holds strings of its own): none is a view of a buffer that
    could still be written.
    """

    __slots__ = ("knots", "values", "smoothing", "edf", "deviance", "left_tail", "right_tail")

    def __init__(self, knots: Float64Array, values: Float64Array, smoothing: Any, edf: Any,
                 deviance: Any, left_tail: Optional[Tail], right_tail: Optional[Tail]) -> None:
        self.knots = knots
        self.values = values
        self.smoothing = smoothing
        self.edf = edf
        self.deviance = deviance
        self.left_tail = left_tail
        self.right_tail = right_tail

    def __iter__(self) -> Iterator[Float64Array]:
        yield self.knots
        yield self.values

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> Float64Array:
        return (self.knots, self.values)[index]

    def __repr__(self) -> str:
        tails = "".join(f", {name}={getattr(self, name)!r}" for name in ("left_tail", "right_tail")
                        if getattr(self, name) is not None)
        return (f"SmoothFit(knots of shape {self.knots.shape}, values of shape {self.values.shape}, "
                f"smoothing={self.smoothing!r}, edf={self.edf!r}{tails})")


def _scalar_or_rows(column: Any, batch: bool) -> Any:
    if not isinstance(column, np.ndarray):
        return column
    return read_only(column.copy()) if batch else float(column[0])


def _kind_names(codes: Any) -> Any:
    """The kind of every row's tail from the fit's codes (``"none"`` where a row has
    none, an empty open bin): a read-only array of strings."""
    names = np.array([_KINDS.get(code, "none") for code in range(max(_KINDS) + 1)])
    numbers = np.asarray(codes).astype(np.int64)
    known = (numbers >= 0) & (numbers < len(names))
    return read_only(np.where(known, names[np.where(known, numbers, 0)], "none"))


def _one_tail(info: Any, at: int) -> Optional[Tail]:
    """The tail of one side of one histogram, from the fit's numbers as a list."""
    kind = _KINDS.get(int(info[at]))
    return None if kind is None else Tail(kind, info[at + 1], info[at + 2], info[at + 3])


def _tail(info: Any, at: int, batch: bool) -> Optional[Tail]:
    """The tail of one side from the fit's numbers (NumPy, or Dask columns), its kind
    from the fit's codes."""
    joint, mass, parameter = (info[:, at + k] for k in (1, 2, 3))
    if not isinstance(info, np.ndarray):
        # Lazy: the kind of every row, as its fit chose it, computed with the rest.
        dtype = _kind_names(()).dtype
        kinds = info[:, at].map_blocks(_kind_names, dtype=dtype, meta=np.empty((0,), dtype))
        return Tail(kinds, joint, mass, parameter)
    kinds = _kind_names(info[:, at])
    if not batch:
        if kinds[0] == "none":
            return None
        return Tail(str(kinds[0]), float(joint[0]), float(mass[0]), float(parameter[0]))
    shown: Any = str(kinds[0]) if (kinds == kinds[0]).all() else kinds
    return Tail(shown, read_only(joint.copy()), read_only(mass.copy()),
                read_only(parameter.copy()))


def fit_smooth(
    center: npt.ArrayLike,
    gap: npt.ArrayLike,
    *,
    refine: int = DEFAULT_REFINE,
    workers: int = 1,
    smoothing: Union[str, float] = 0,
    sample_size: Any = None,
    mean: Any = None,
    center_name: str = "center",
    gap_name: str = "gap",
) -> SmoothFit:
    """The smooth fit of masses or counts, with open ends and a known mean.

    Every interval between neighbouring finite edges is cut into `refine` equal
    sub-intervals, and the density is linear on each of them and nowhere
    negative. With exact masses (``smoothing=0``) it carries every mass
    exactly and of all such densities has the least curvature: the sum over
    the inner knots of the squared change of slope, each weighted by 2 / (sum
    of the widths on either side), a discrete integral of the squared second
    derivative. With counts it maximises

        sum_i q_i log p_i - (lambda / 2) W^5 C(f),

    q the shares of the counts, p the density's masses (total 1), W the width
    of the finite edges and C the curvature above: lambda (`smoothing`) is free
    of the units of x and of the scale of the counts, and for
    ``smoothing="auto"`` is chosen per histogram by an information criterion,
    deviance + 3 edf (the deviance 2 N sum q log(q / p), N the sample size; edf
    the trace of the fit's hat matrix). As the counts grow, the choice tends
    to the exact-mass fit. Typical choices run from about 1e-5 at a few
    hundred counts to 1e-8 at a hundred thousand.

    An open end (a first edge of -inf, a last of +inf) gets a tail joined
    continuously to the body: beyond a positive last edge L a Pareto tail
    f(L) (x / L)^-(alpha + 1), otherwise an exponential one f(L) e^-|x - L| /
    beta, each carrying the open bin's mass (with counts, its fitted mass).
    Continuity ties the parameter to the body's end value f(L). The parameter
    is interpolated from the end bin's mass m and the open bin's T, as if the
    tail continued over the end bin: (m + T) / T = (L / L0)^alpha for a
    Pareto tail over [L0, L], e^(h / beta) for an exponential one over a bin
    of width h (with counts, from the counts); the body's end value follows.
    (A Pareto end bin that starts at zero or below leaves the end value free,
    the fit's own, and the parameter follows from it.) The parameter stays
    within 1 <= alpha <= 100 and W / 1000 <= beta <= W (an end beyond them is
    held at the bound). A known `mean` is met exactly (to 1e-9 relative) by
    the tail beyond the last edge (or, if that end is closed or empty, the
    first), the body's end following by continuity.

    Parameters
    ----------
    center : array_like, shape (m + 1,) or (rows, m + 1)
        Strictly increasing bin edges, finite but for a first edge of -inf
        and a last of +inf (the same ends open in every row), shared by every
        histogram (1-D) or one row per histogram (2-D, only with a 2-D `gap`).
    gap : array_like, shape (m,) or (rows, m)
        Non-negative mass (or count, or weight) of every bin, not all zero. A
        NumPy masked array with masked elements, here or as any other array
        argument, is refused (``"masked"``): a masked bin has no one meaning
        (empty? unknown?), so fill or compress it first.
    refine : int
        Sub-intervals per finite bin, 1 to 256; at least 2 with an open end.
    workers : int
        Native threads sharing the histograms; 0 means one per core that this
        process may run on, up to 1024 (``zelvane._rows.MAX_WORKERS``);
        never more threads than rows. A bool is refused.
    smoothing : {0, "auto"} or float
        0 for exact masses (the default), "auto" for counts with the
        criterion's choice, or a positive lambda.
    sample_size : float or array_like, optional
        The criterion's N, one for all or one per row: the number of counts
        of which the masses are shares. Without it the masses are counts, and
        N is their sum.
    mean : float or array_like, optional
        The known mean, one for all or one per row (NaN: none for that row);
        needs an open end with mass.
    center_name, gap_name : str
        How messages name the two arguments.

    Returns
    -------
    SmoothFit
        Unpacks as ``(knots, values)``; also the smoothing, the edf and the
        deviance of each fit, and the tails.

    Raises
    ------
    zelvane.InputError
        For input that :func:`~zelvane._fit.check_histogram` refuses (an
        infinite edge elsewhere than at the ends, say), negative masses, a
        histogram without mass (``"all_zero"``), settings out of range, a
        mean without an open end (``"mean_needs_tail"``) or out of reach
        (``"unreachable_mean"``, with the range that is reachable), masses
        that no density fits with ``refine=1`` (``"infeasible"``), and
        intervals too narrow to cut (``"too_narrow"``) or magnitudes beyond
        float64's range (``"magnitude"``).
    RuntimeError
        If a solver reaches its bound on iterations or cannot confirm its
        answer; neither is known to happen.

    Examples
    --------
    >>> import numpy as np
    >>> import zelvane
    >>> knots, values = zelvane.fit_smooth([0, 1, 2, 4], [1, 2, 1], refine=2)
    >>> knots.tolist()
    [0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0]
    >>> np.round(values, 4).tolist()
    [0.093, 1.0305, 1.8459, 2.1731, 1.8079, 0.096, 0.0]
    >>> fit = zelvane.fit_smooth([0, 10, 20, np.inf], [30, 50, 20], smoothing="auto")
    >>> fit.right_tail.kind, round(fit.right_tail.parameter, 2)
    ('pareto', 1.0)
    """
    count = _check_workers(workers)
    r = _check_refine(refine)
    lam = _check_smoothing(smoothing)
    if _is_dask_array(gap):
        return _dask_fit(center, gap, r, lam, sample_size, mean, count, center_name, gap_name)
    edges, masses = check_histogram(center, gap, center_name=center_name, gap_name=gap_name,
                                    nonnegative=True, dtype=np.float64, open_ends=True)
    edges, masses = _aligned(edges), _aligned(masses)
    left, right = _check_open(edges, masses, r, center_name, gap_name)
    rows = masses.shape[:-1]
    out = _fit_rows(edges, masses, r, lam, sample_size, mean, count, left, right, gap_name)
    return _result(edges, masses, out, r, lam, left, right, bool(rows))


def _check_open(edges: FloatArray, masses: FloatArray, r: int, center_name: str,
                gap_name: str) -> Tuple[bool, bool]:
    """The open ends, checked against refine and the bins; every histogram's mass."""
    batch = masses.ndim == 2
    left, right = _open_ends(edges, center_name)
    opens = int(left) + int(right)
    if opens and r < 2:
        raise InputError("out_of_range", argument="refine", value=r, minimum=2,
                         maximum=MAX_REFINE, reason="open_end")
    if masses.shape[-1] <= opens:
        raise InputError("too_short", argument=gap_name, length=masses.shape[-1],
                         minimum=opens + 1, per_row=batch, finite=True)
    if not batch:
        if not masses.any():
            raise InputError("all_zero", argument=gap_name)
        return left, right
    empty = ~(masses > 0).any(axis=-1)
    if empty.any():
        raise InputError("all_zero", argument=gap_name, row=int(np.argmax(empty)))
    return left, right


def _fit_rows(edges: FloatArray, masses: FloatArray, r: int, lam: float, sample_size: Any,
              mean: Any, workers: int, left: bool, right: bool, gap_name: str) -> Float64Array:
    """The native fit of checked rows: per row the values at every knot the bins
    would have if all were finite, then what the fit found (``_INFO`` numbers)."""
    rows = masses.shape[:-1]
    batch = bool(rows)
    sizes = _per_row("sample_size", sample_size, rows, missing_allowed=False)
    means = _per_row("mean", mean, rows, missing_allowed=True)
    if means is not None:
        wanted = ~np.isnan(means)
        flat = masses.reshape(-1, masses.shape[-1])
        usable = np.zeros(flat.shape[0], bool)
        if right:
            usable |= flat[:, -1] > 0
        if left:
            usable |= flat[:, 0] > 0
        lacking = wanted & ~usable
        if lacking.any():
            k = int(np.argmax(lacking))
            raise InputError("mean_needs_tail", argument="mean", row=k if batch else None,
                             value=means[k])
        if not wanted.any():
            means = None

    from zelvane import _rows

    out = np.empty(rows + (masses.shape[-1] * r + 1 + _INFO,), np.float64)
    _rows.open(_aligned(edges), _aligned(masses), out, r, lam, COMPLEXITY, sizes, means, workers)
    return out


def _result(edges: Any, masses: Any, out: Any, r: int, lam: float, left: bool, right: bool,
            batch: bool) -> SmoothFit:
    """The SmoothFit of the rows module's output (NumPy, or Dask arrays of rows)."""
    from zelvane import _rows

    opens = int(left) + int(right)
    finite = masses.shape[-1] - opens
    knots_total = masses.shape[-1] * r + 1
    body_knots = finite * r + 1
    first = 1 if left else 0
    body_edges = np.ascontiguousarray(np.asarray(edges)[..., first:first + finite + 1])
    knots = np.empty(body_edges.shape[:-1] + (body_knots,), np.float64)
    _rows.smooth_knots(body_edges, knots, r)
    read_only(knots)
    values = out[..., :body_knots]
    if not batch:
        # One histogram: plain numbers, and the tails as Tail of numbers.
        info = out[knots_total:].tolist()
        return SmoothFit(knots, read_only(values.copy()), info[_SMOOTHING], info[_EDF],
                         info[_DEVIANCE], _one_tail(info, _LEFT) if left else None,
                         _one_tail(info, _RIGHT) if right else None)
    info = out[..., knots_total:].reshape(-1, _INFO)
    if isinstance(values, np.ndarray):
        # A copy of its own, even where the slice of the rows module's output is
        # contiguous already (one row), so that nothing handed out views a writable buffer.
        values = read_only(values.copy())
    return SmoothFit(knots, values, _scalar_or_rows(info[:, _SMOOTHING], batch),
                     _scalar_or_rows(info[:, _EDF], batch), _scalar_or_rows(info[:, _DEVIANCE], batch),
                     _tail(info, _LEFT, batch) if left else None,
                     _tail(info, _RIGHT, batch) if right else None)


def _dask_fit(center: Any, lazy_gap: Any, r: int, lam: float, sample_size: Any, mean: Any,
              workers: int, center_name: str, gap_name: str) -> SmoothFit:
    """A Dask array of masses, one histogram per row, with edges shared by every row:
    one native fit per chunk of whole rows, computed when asked. The edges, refine
    and the settings are checked now; each chunk's masses in its task, with rows
    numbered as in the whole array. A sample size and a mean are one for all rows."""
    gap: Any = lazy_gap
    if gap.ndim != 2:
        raise InputError("ndim", argument=gap_name, ndim=gap.ndim, allowed=(2,))
    check_real(gap_name, gap.dtype)
    m = gap.shape[-1]
    if not isinstance(m, int):
        raise InputError("unknown_length", argument=gap_name)
    for name, value in (("sample_size", sample_size), ("mean", mean)):
        if value is not None and np.ndim(value) != 0:
            raise InputError("shape", argument=name, shape=np.shape(value), expected=((),))
    edges, _ = check_histogram(center, np.ones(m), center_name=center_name, gap_name=gap_name,
                               dtype=np.float64, max_ndim=1, open_ends=True)
    left, right = _check_open(edges, np.ones(m), r, center_name, gap_name)
    _per_row("sample_size", sample_size, (), missing_allowed=False)
    _per_row("mean", mean, (), missing_allowed=True)
    gap = gap.rechunk({1: -1})

    def block(chunk: Any, block_info: Any = None) -> Float64Array:
        first = int(block_info[0]["array-location"][0][0]) if block_info else 0
        try:
            _, masses = check_histogram(edges, chunk, center_name=center_name, gap_name=gap_name,
                                        nonnegative=True, dtype=np.float64, open_ends=True)
            _check_open(edges, masses, r, center_name, gap_name)
            return _fit_rows(edges, masses, r, lam, sample_size, mean, workers, left, right,
                             gap_name)
        except InputError as error:
            raise error.shifted(first) from None

    width = m * r + 1 + _INFO
    lazy = gap.map_blocks(block, dtype=np.float64, chunks=(gap.chunks[0], (width,)),
                          meta=np.empty((0, 0), np.float64))
    return _result(edges, gap, lazy, r, lam, left, right, True)
