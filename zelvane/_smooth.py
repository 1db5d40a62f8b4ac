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

from typing import TYPE_CHECKING, Any, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from zelvane import _dask, _native
from zelvane._bottom import check_bottom, shaped
from zelvane._checks import (aligned, as_array, check_histogram, check_means, check_open,
                             check_refine, check_row, check_rows, check_smoothing, check_unmasked,
                             check_workers, per_row, read_only)
from zelvane._density import PiecewiseLinearDensity
from zelvane._errors import InputError
from zelvane._native import DEFAULT_REFINE, INFO, INFO_LENGTH
from zelvane._open_ends import (Choice, _check_choice, _check_tails, _closed, _fit_reaching,
                                _held, _tail)
from zelvane._tail_checks import check_closing, check_tail_choice
from zelvane._smooth_rows import (_computed, _mass_error, _row_tail, _scalar_or_rows,
                                  _tail_masses, _tail_of, bin_masses, sources)
from zelvane._tails import Tail

if TYPE_CHECKING:
    Float64Array = npt.NDArray[np.float64]
    FloatArray = npt.NDArray[np.floating[Any]]

__all__ = ["fit_smooth", "SmoothFit", "COMPLEXITY", "bin_masses"]

#: The criterion's price of one effective degree of freedom. Akaike's is 2; on
#: simulated histograms (five distributions, 8 and 16 bins, 200 to 5,000
#: draws) a price of 3 gave the same L1 error and a third fewer modes that the
#: true density lacks, and on the real data of the benchmark a lower L1 and KS
#: distance to held-out halves (bench/counts.py).
COMPLEXITY = 3.0


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

    See Also
    --------
    SmoothFit.density, SmoothFit.bin_masses
    """

    __slots__ = ("knots", "values", "smoothing", "edf", "deviance", "left_tail", "right_tail",
                 "_masses", "_refine", "_open", "_given")

    def __init__(self, knots: Float64Array, values: Float64Array, smoothing: Any, edf: Any,
                 deviance: Any, left_tail: Optional[Tail], right_tail: Optional[Tail], *,
                 masses: Any, refine: int, open_ends: Tuple[bool, bool]) -> None:
        self.knots = knots
        self.values = values
        self.smoothing = smoothing
        self.edf = edf
        self.deviance = deviance
        self.left_tail = left_tail
        self.right_tail = right_tail
        # What the fit was given: the masses, the pieces per bin and the open ends.
        self._masses = masses
        self._refine = refine
        self._open = open_ends
        # The edges, smoothing, sample sizes and means given (one for all or one per
        # row; Dask arrays for a lazy fit), for confidence intervals.
        self._given: Optional[Tuple[Any, Any, Any, Any, Any, Any]] = None

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

    def density(self, row: Optional[int] = None) -> PiecewiseLinearDensity:
        """The density of one histogram of the fit, with its tails and how it was fitted.

        Nothing is fitted again: the density is made from this fit's knots, values and
        tails, and is to the bit the one that
        ``PiecewiseLinearDensity.from_masses(edges, masses, refine=..., smoothing=...,
        sample_size=..., mean=...)`` gives for the histogram (``from_histogram`` for
        counts).

        Parameters
        ----------
        row : int, optional
            The histogram of a batch, from 0; None (the default) for the fit of one
            histogram, which takes no row.

        Returns
        -------
        PiecewiseLinearDensity
            With ``method="smooth"``, the fit's ``smoothing`` and ``edf``, and its
            ``mass_error``: the largest difference between a fitted mass
            (:meth:`bin_masses`) and a given one, as a share of the histogram's total.

        Raises
        ------
        zelvane.InputError
            For a batch without `row` (``"needs_row"``) or with a row that it does not
            have (``"out_of_range"``), and for a `row` with the fit of one histogram
            (``"one_histogram"``).

        Notes
        -----
        For a fit of a Dask array of masses, what the row needs is computed.

        Examples
        --------
        >>> import zelvane
        >>> fit = zelvane.fit_smooth([0, 10, 20, 40], [[3, 5, 2], [1, 1, 1]])
        >>> d = fit.density(1)
        >>> d.method, d.masses().reshape(3, 4).sum(axis=1).round(12).tolist()
        ('smooth', [0.333333333333, 0.333333333333, 0.333333333333])
        """
        batch = self.values.ndim == 2
        k = check_row(row, int(self.values.shape[0]) if batch else None)
        knots, values, masses = self.knots, self.values, self._masses
        smoothing, edf, left, right = self.smoothing, self.edf, self.left_tail, self.right_tail
        if k is not None:
            knots = knots[k] if knots.ndim == 2 else knots
            values, masses, smoothing, edf = values[k], masses[k], smoothing[k], edf[k]
            left, right = _row_tail(left, k), _row_tail(right, k)
        if not isinstance(values, np.ndarray):
            # A fit of a Dask array: what the row needs, computed together.
            knots, values, masses, smoothing, edf, left, right = _computed(
                knots, values, masses, smoothing, edf, left, right)
        given = np.asarray(masses, dtype=np.float64)
        tails = _tail_of(left), _tail_of(right)
        return PiecewiseLinearDensity._from_fit(
            knots, values, left_tail=tails[0], right_tail=tails[1], method="smooth",
            smoothing=float(smoothing), edf=float(edf),
            mass_error=_mass_error(knots, values, self._refine, given, tails, self._open),
            source=None if self._given is None else self._sources(k or 0)[0])

    def confidence(self, level: float = 0.9, *, standard_errors: Any = None, mean_se: Any = None,
                   method: str = "auto", replicates: Optional[int] = None, seed: Any = 0,
                   workers: int = 1) -> Any:
        """Confidence intervals at `level` for every summary of every histogram's density.

        As ``PiecewiseLinearDensity.confidence`` for each row (see there for the method
        and the options), from what the fit was given: the masses as counts of a sample
        (of their sum or ``sample_size``) where they are counts, else exact, and each
        row's ``mean``.

        Parameters
        ----------
        level : float
            In (0, 1).
        standard_errors : array_like, optional
            Standard errors of the masses, the masses' shape: used in place of their
            sampling as counts.
        mean_se : float or array_like, optional
            The standard error of the mean given to the fit, one for all rows or one per
            row.
        method, replicates, seed, workers
            As ``PiecewiseLinearDensity.confidence`` (each row's bootstrap draws from a
            seed of its own, made from `seed`).

        Returns
        -------
        Confidence, RowsConfidence or LazyRowsConfidence
            For the fit of one histogram a ``Confidence``; for a batch a
            ``RowsConfidence`` whose methods return ``(low, high)`` with a leading axis
            of rows, and whose ``[row]`` is that row's ``Confidence``; for a batch of a
            Dask array of masses a ``LazyRowsConfidence``, the same with Dask arrays.

        Raises
        ------
        zelvane.InputError
            For bad options or standard errors.

        Notes
        -----
        For a batch of a Dask array of masses nothing is computed here: each chunk of
        rows makes its rows' intervals in one task, shared by the intervals computed
        together (``dask.compute(c.median(), c.gini())``), with the same results as in
        memory. Bad standard errors in a NumPy array are refused here, in a Dask array
        when their chunk is computed.

        Examples
        --------
        >>> import zelvane
        >>> fit = zelvane.fit_smooth([0, 10, 20, 40], [[30, 50, 20], [300, 500, 200]],
        ...                          smoothing="auto")
        >>> low, high = fit.confidence(0.9).median()
        >>> bool((high - low)[0] > (high - low)[1])
        True
        """
        from zelvane import _fitted

        return _fitted.fit_confidence(self, level, standard_errors, mean_se, method, replicates,
                                      seed, workers)

    def _sources(self, only: Optional[int] = None) -> Any:
        """What every row of the fit (or row `only`) was given, as the fields of a
        confidence interval's ``Source`` (a list, one per row)."""
        if self._given is None:
            raise InputError("no_source", argument="confidence", made="made without its data")
        given = ((*self._given, self._masses) if isinstance(self.values, np.ndarray)
                 else _dask.computed(*self._given, self._masses))
        return sources(given, self._refine, only)

    def bin_masses(self) -> Float64Array:
        """The fitted mass of every bin: the body's between finite edges, each tail's in its
        open bin (0 where the open bin has no tail), in the units of the masses given.

        Returns
        -------
        numpy.ndarray
            float64, one mass per bin given: 1-D for one histogram, one row per
            histogram for a batch (computed, for a fit of a Dask array of masses).

        Examples
        --------
        >>> import zelvane
        >>> fit = zelvane.fit_smooth([0, 10, 20, float("inf")], [30, 50, 20])
        >>> fit.bin_masses().round(9).tolist()
        [30.0, 50.0, 20.0]
        """
        knots, values, left, right = _computed(self.knots, self.values, self.left_tail,
                                               self.right_tail)
        body = bin_masses(knots, values, self._refine)
        rows = body.shape[:-1]
        parts = [_tail_masses(left, rows)] if self._open[0] else []
        parts.append(body)
        if self._open[1]:
            parts.append(_tail_masses(right, rows))
        fitted: Float64Array = np.concatenate(parts, axis=-1)
        return fitted


def fit_smooth(
    center: npt.ArrayLike,
    gap: npt.ArrayLike,
    *,
    refine: int = DEFAULT_REFINE,
    workers: int = 1,
    smoothing: Union[str, float] = 0,
    sample_size: Any = None,
    mean: Any = None,
    tail: Any = None,
    upper: Optional[float] = None,
    lower: Optional[float] = None,
    bottom: str = "auto",
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
    Continuity ties the parameter to the body's end value f(L), and the
    parameter is chosen first, the body's end value following:

    - a Pareto tail's index (without a mean) leans on the last brackets and a
      prior (``zelvane._tails.pareto_index``): the index that the survival
      shares at the last two lower edges imply, carried one bracket further
      along its rise (2 a2 - a3), weighed half and half against 2.5, within
      1.5 <= alpha <= 20. Two brackets alone pin an index down poorly; on
      published income tables the index the known mean implies barely
      follows them, and the prior keeps one misleading bracket from making the
      mean, the Gini index or the top shares absurd;
    - an exponential tail's scale is interpolated from the end bin's mass m
      and the open bin's T, as if the tail continued over the end bin of width
      h: (m + T) / T = e^(h / beta), within W / 1000 <= beta <= W (W the
      width of the finite edges).

    `tail` changes that choice, per end; `upper` and `lower` close an open
    end at a finite edge instead. With exact masses an end bin carries at
    most its own mass on its last piece, which bounds the end value: a tail
    that no parameter within its bounds lets it carry is refused
    (``"tail_uncarried"``). Each tail says how its parameter was chosen
    (``Tail.chosen``), and a ``zelvane.ExtrapolationWarning`` says when the
    result rests on an extrapolation the brackets barely support: a
    parameter held at a bound, a default index whose prior moves the mean by
    more than 5 % from where the brackets' own index would put it, or an
    index of 1 or below given as `tail` (an infinite mean).

    A known `mean` is met exactly (to 1e-9 relative) by the tail beyond the
    last edge (or, if that end is closed or empty, the first), its parameter
    within 1 <= alpha <= 100 or the bounds on beta above, the body's end
    following by continuity. With counts open at the top only, a mean below
    what such a tail reaches tilts the counts' shares towards the low bins
    (``q_i exp(-theta x_i)``, the move of least divergence for a given change
    of the mean; a row of a batch moved as it would be alone) as far as the
    likelihood allows (a likelihood-ratio statistic of at most 6.63, the 99 %
    point of chi-squared with one degree of freedom) and no further than the
    mean needs: the sample's own mean is reached where its top draws lie just
    above the last edge. Exact masses (``smoothing=0``) do not move: a mean
    beyond what a tail reaches on them is refused, and for masses that are
    counts the message names ``smoothing="auto"``.

    Parameters
    ----------
    center : array_like, shape (m + 1,) or (rows, m + 1)
        Strictly increasing bin edges, finite but for a first edge of -inf
        and a last of +inf (the same ends open in every row), shared by every
        histogram (1-D) or one row per histogram (2-D, only with a 2-D `gap`).
    gap : array_like or dask.array.Array, shape (m,) or (rows, m)
        Non-negative mass (or count, or weight) of every bin, not all zero. A
        NumPy masked array with masked elements, here or as any other array
        argument, is refused (``"masked"``): a masked bin has no one meaning
        (empty? unknown?), so fill or compress it first. A 2-D Dask array
        gives a fit whose arrays are Dask arrays, computed chunk by chunk
        (every chunk holding whole rows), as for ``zelvane.fit_density``; its
        edges are a NumPy array (a Dask array of edges is computed when the
        fit is set up, since their open ends decide the fit's form), and a
        sample size or a mean per row may be a Dask array too. A 1-D Dask
        array (one histogram) is refused: ``zelvane.fit_density`` takes one.
    refine : int
        Sub-intervals per finite bin, 1 to 256; at least 2 with an open end.
    workers : int
        Native threads sharing the histograms; 0 means one per core that this
        process may run on, up to 1024 (``zelvane.MAX_WORKERS``);
        never more threads than rows. A bool is refused.
    smoothing : {0, "auto"} or float
        0 for exact masses (the default), "auto" for counts with the
        criterion's choice, or a positive lambda.
    sample_size : float or array_like, optional
        The criterion's N, one for all or one per row: the number of counts
        of which the masses are shares. Without it the masses are counts, and
        N is their sum.
    mean : float or array_like, optional
        The known mean, one for all or one per row (NaN: none for that row;
        a single number must be finite); needs an open end with mass.
    tail : {None, "pareto", "exponential"} or float, or a pair (left, right)
        The law of each open end's tail: None for the choice above,
        ``"pareto"`` (a right tail beyond a positive edge) or
        ``"exponential"`` with the parameter chosen as above, or a number: the
        parameter held fixed (the Pareto index, or the exponential scale), not
        with a mean on that end. One choice is for both ends (``"pareto"`` for
        the right one); a pair gives each its own.
    upper, lower : float, optional
        Close the open last (first) bin at this edge, above the last finite
        edge (below the first): ``upper=110`` for an age group "85+".
    bottom : {"auto", "midpoint", "flat", "smooth"}
        The shape of the first bin, which keeps its (fitted) mass, the fit's
        knots and continuity at its upper edge, every other bin as fitted.
        ``"midpoint"``: its mean at its midpoint, as an even spread's (the
        values up to its last inner knot on a line, then linear to the body's
        value at its upper edge over its last piece); ``"flat"``: one level
        up to its last inner knot, then linear to that value; ``"smooth"``: as
        the fit makes it. ``"auto"`` (the default) is ``"midpoint"`` where the
        first edge is 0, the top is open and the fit rises through the first
        bin from below 0.9 of its average at 0 (a non-negative quantity
        published with an open top bracket, incomes: the bottom bin, "less
        than 10,000", holds zeros and values near 0 that a smooth fit rising
        from 0 puts too high); smooth elsewhere (a population's youngest age
        group, through which the fit is all but level). A shape with a negative value falls
        back to the flat one, and that to the fitted one; a shape that would
        raise the bin's mean (a bin heavier than the body's value at its upper
        edge, through which the fit already falls) leaves the fitted one; with
        ``refine=1`` the fitted shape stays. With a known `mean` the tail meets it with the
        shaped bin. ``"midpoint"`` and ``"flat"`` need a closed first bin.
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
        For input that :func:`~zelvane._checks.check_histogram` refuses (an
        infinite edge elsewhere than at the ends, say), negative masses, a
        histogram without mass (``"all_zero"``), settings out of range, a
        mean without an open end (``"mean_needs_tail"``) or out of reach
        (``"unreachable_mean"``, with the range that is reachable), an open
        bin that no tail within its bounds carries (``"tail_uncarried"``),
        tail settings that do not fit the ends (``"tail_closed"``,
        ``"not_open"``, ``"closing_edge"``, ``"tail_with_mean"``), masses
        that no density fits with ``refine=1`` (``"infeasible"``), and
        intervals too narrow to cut (``"too_narrow"``) or magnitudes beyond
        float64's range (``"magnitude"``). Exact masses whose fit cannot be
        confirmed even by the slower double-double solve that follows a
        failed one in double (``"ill_conditioned"``: bin widths or masses
        many decades apart, the message says how many) are refused too.
    RuntimeError
        If the counts-aware fit (``smoothing`` not 0) cannot confirm its
        answer: its Newton steps reach their bound, or its factorisations
        lose too much to rounding, both from the histogram's own start and
        again from a smoother one on the slower factorisation by rotations of
        the Hessian's square root (which refines above 64 go without).

    Examples
    --------
    >>> import numpy as np
    >>> import zelvane
    >>> knots, values = zelvane.fit_smooth([0, 1, 2, 4], [1, 2, 1], refine=2)
    >>> knots.tolist()
    [0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0]
    >>> np.round(values, 4).tolist()
    [0.093, 1.0305, 1.8459, 2.1731, 1.8079, 0.096, 0.0]
    >>> fit = zelvane.fit_smooth([0, 10, 20, 40, np.inf], [30, 50, 15, 5], smoothing="auto")
    >>> fit.right_tail.kind, round(fit.right_tail.parameter, 2), fit.right_tail.chosen
    ('pareto', 2.3, 'brackets')
    """
    count = check_workers(workers)
    r = check_refine(refine)
    lam = check_smoothing(smoothing)
    choice = check_tail_choice(tail)
    closing = check_closing("lower", lower), check_closing("upper", upper)
    if _dask.is_dask_array(gap):
        return _fit_lazy(center, gap, r, lam, sample_size, mean, count, center_name, gap_name,
                         (tail, choice, bottom), closing)
    edges, masses = check_histogram(center, gap, center_name=center_name, gap_name=gap_name,
                                    nonnegative=True, dtype=np.float64, open_ends=True)
    edges = _closed(edges, closing)
    edges, masses = aligned(edges), aligned(masses)
    left, right = check_open(edges, masses, r, center_name, gap_name)
    _check_choice(choice, left, right, mean, tail)
    fit_rows = shaped(_fit_rows, check_bottom(bottom, left))
    out, chosen = _fit_reaching(fit_rows, edges, masses, r, lam, sample_size, mean, count,
                                (left, right), choice, (center_name, gap_name))
    fit = _result(edges, read_only(masses.copy()), out, r, left, right, chosen[:2])
    _check_tails(fit, edges, masses, lam, chosen, gap_name)
    fit._given = (read_only(np.array(edges, dtype=np.float64)), lam, sample_size, mean, tail,
                  bottom)
    return fit


def _fit_rows(edges: FloatArray, masses: FloatArray, r: int, lam: float, sample_size: Any,
              mean: Any, workers: int, left: bool, right: bool, choice: Choice,
              gap_name: str, center_name: str = "center"
              ) -> Tuple[Float64Array, Tuple[Any, ...]]:
    """The native fit of checked rows: per row the values at every knot the bins
    would have if all were finite, then what the fit found (the numbers ``INFO``
    names); and how each row's tails were chosen."""
    rows = masses.shape[:-1]
    sizes = per_row("sample_size", sample_size, rows, missing_allowed=False)
    means = check_means(per_row("mean", mean, rows, missing_allowed=True), masses, left, right)
    held, kind, chosen = _held(choice, edges, masses, r, lam == 0.0, left, right, means,
                               gap_name)
    out = np.empty(rows + (masses.shape[-1] * r + 1 + INFO_LENGTH,), np.float64)
    _native.fit_open(aligned(edges), aligned(masses), out, r, lam, COMPLEXITY, sizes, means,
                     workers, held, kind, center_name, gap_name)
    return out, chosen


def _result(edges: Any, masses: Any, out: Any, r: int, left: bool, right: bool,
            chosen: Tuple[Any, Any] = ("", "")) -> SmoothFit:
    """The SmoothFit of the rows module's output (NumPy, or Dask arrays of rows) for
    the `masses` given (kept for the fit's bin masses and densities)."""
    batch = masses.ndim == 2
    opens = int(left) + int(right)
    finite = masses.shape[-1] - opens
    knots_total = masses.shape[-1] * r + 1
    body_knots = finite * r + 1
    first = 1 if left else 0
    body_edges = np.ascontiguousarray(np.asarray(edges)[..., first:first + finite + 1])
    knots = np.empty(body_edges.shape[:-1] + (body_knots,), np.float64)
    _native.smooth_knots(body_edges, knots, r)
    read_only(knots)
    values = out[..., :body_knots]
    info = out[..., knots_total:].reshape(-1, INFO_LENGTH)
    if isinstance(values, np.ndarray):
        # A copy of its own, even where the slice of the rows module's output is
        # contiguous already (one row), so that nothing handed out views a writable buffer.
        values = read_only(values.copy())
    smoothing, edf, deviance = (_scalar_or_rows(info[:, INFO[name]], batch)
                                for name in ("smoothing", "edf", "deviance"))
    return SmoothFit(knots, values, smoothing, edf, deviance,
                     _tail(info, "left", batch, chosen[0]) if left else None,
                     _tail(info, "right", batch, chosen[1]) if right else None, masses=masses,
                     refine=r, open_ends=(left, right))


def _fit_chunk(masses: Any, *, edges: Any, sample_size: Any, mean: Any, refine: int,
               smoothing: float, workers: int, center_name: str, gap_name: str,
               choice: Choice, bottom: str) -> Float64Array:
    """The fit of one chunk of whole rows of a Dask array, with its edges (the shared
    ones, or the chunk's rows of edges of their own), sample sizes and means (one for
    all, or the chunk's rows)."""
    edges, masses = check_histogram(edges, masses, center_name=center_name, gap_name=gap_name,
                                    nonnegative=True, dtype=np.float64, open_ends=True)
    left, right = check_open(edges, masses, refine, center_name, gap_name)
    return _fit_reaching(shaped(_fit_rows, bottom), edges, masses, refine, smoothing,
                         sample_size, mean, workers, (left, right), choice,
                         (center_name, gap_name))[0]


def _fit_lazy(center: Any, lazy_gap: Any, r: int, lam: float, sample_size: Any, mean: Any,
              workers: int, center_name: str, gap_name: str, tails: Tuple[Any, Choice, Any],
              closing: Tuple[Optional[float], Optional[float]]) -> SmoothFit:
    """A 2-D Dask array of masses, one histogram per row: one native fit per chunk of
    whole rows, computed when asked. The edges (computed here if they are a Dask array),
    refine and the settings given as numbers or NumPy arrays are checked now; each
    chunk's masses, and the chunk's rows of a Dask array of sample sizes or means, in
    its task, with rows numbered as in the whole array."""
    gap, m = _dask.whole_rows(lazy_gap, gap_name, ndims=(2,))
    rows = gap.shape[0]
    check_unmasked(center_name, center)
    given = as_array(center_name, np.asarray(center) if _dask.is_dask_array(center) else center)
    if given.ndim == 2:
        check_rows(center_name, given.shape, rows, (m + 1,), other=gap_name,
                   other_shape=gap.shape)
    shape = (rows, m) if given.ndim == 2 else (m,)
    edges, _ = check_histogram(given, np.ones(shape), center_name=center_name, gap_name=gap_name,
                               dtype=np.float64, open_ends=True)
    edges = _closed(edges, closing)
    left, right = check_open(edges, np.ones(shape), r, center_name, gap_name)
    tail, choice, bottom = tails
    _check_choice(choice, left, right, mean, tail)
    shape_of_bottom = check_bottom(bottom, left)
    settings = {"edges": edges, "sample_size": sample_size, "mean": mean}
    for name in ("sample_size", "mean"):
        value = settings[name]
        if value is None:
            continue
        if _dask.is_dask_array(value):
            check_rows(name, value.shape, rows, (), other=gap_name)
            continue
        # Checked now, as the whole batch numbers its rows.
        settings[name] = per_row(name, value, (rows,) if np.ndim(value) else (),
                                 missing_allowed=name == "mean")
        if np.ndim(value) == 0:
            settings[name] = value
    lazy_rows = {name: value for name, value in settings.items()
                 if value is not None and np.ndim(value) == (2 if name == "edges" else 1)}
    settings = {name: value for name, value in settings.items() if name not in lazy_rows}
    lazy = _dask.map_rows(_fit_chunk, gap, width=m * r + 1 + INFO_LENGTH, dtype=np.float64,
                          per_row=lazy_rows, refine=r, smoothing=lam, workers=workers,
                          center_name=center_name, gap_name=gap_name, choice=choice,
                          bottom=shape_of_bottom, **settings)
    # Each chunk's rows choose their tails as a NumPy fit would; the names here are the
    # rule's, not each row's outcome.
    rule = ["fixed" if isinstance(c, float) else "interpolated" for c in choice]
    if right and choice[1] is None or choice[1] == "pareto":
        rule[1] = "brackets"
    if mean is not None:
        rule[1 if right else 0] = "mean"
    fit = _result(edges, gap, lazy, r, left, right, (rule[0], rule[1]))
    fit._given = (edges, lam, sample_size, mean, tail, bottom)
    return fit
