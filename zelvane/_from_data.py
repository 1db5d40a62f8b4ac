"""The methods of :class:`~zelvane.PiecewiseLinearDensity` that need the fitting
code above it: ``from_masses`` and ``from_histogram``, the density fitted to masses or
counts, and ``confidence``, the intervals from the data it was fitted to.

Each is bound in the class body under its name (the constructors as classmethods), and
its docstring is the method's; each hands over to ``zelvane._fitted``, imported when
called, since the fitting modules import the density.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Type, Union

import numpy.typing as npt

from zelvane._native import DEFAULT_REFINE

if TYPE_CHECKING:
    from zelvane._density import PiecewiseLinearDensity


def from_masses(cls: Type[PiecewiseLinearDensity], center: npt.ArrayLike,
                gap: npt.ArrayLike, method: str = "smooth", *, refine: int = DEFAULT_REFINE,
                smoothing: Union[str, float] = 0, sample_size: Optional[float] = None,
                mean: Optional[float] = None, tail: Any = None, upper: Optional[float] = None,
                lower: Optional[float] = None, bottom: str = "auto",
                standard_errors: Optional[npt.ArrayLike] = None,
                mean_se: Optional[float] = None) -> PiecewiseLinearDensity:
    """The density fitted to the masses of the intervals between neighbouring centres.

    Parameters
    ----------
    center : array_like, shape (m + 1,)
        Strictly increasing positions: the knots of the density. For the smooth
        fit the first may be -inf and the last +inf: an open end, beyond which
        the density gets a tail (see ``zelvane.fit_smooth``).
    gap : array_like, shape (m,)
        Non-negative mass of every interval between neighbouring centres, not all
        zero; only their proportions matter. A masked array with masked elements
        (here or as `center`) is refused: fill or compress it first.
    method : {"smooth", "iterative", "exact"}
        ``"smooth"`` (the default) is ``zelvane.fit_smooth``: knots at the centres and
        `refine` - 1 more in every interval, never negative, the least curvature.
        ``"iterative"`` and ``"exact"`` are the fits of ``zelvane.fit_density``, with
        knots at the centres alone.
    refine : int
        Sub-intervals per interval for ``method="smooth"`` (1 to 256; 2 or more with
        an open end); ignored by the other methods.
    smoothing : {0, "auto"} or float
        For the smooth fit: 0 (the default) meets every mass exactly; "auto" or a
        positive lambda reads the masses as shares of `sample_size` counts and
        smooths their noise (see ``zelvane.fit_smooth``).
    sample_size : float, optional
        The number of counts of which the masses are shares; needed for a
        smoothing other than 0 unless the masses are whole numbers (counts,
        whose sum it then is).
    mean : float, optional
        A known mean, met exactly by the tail beyond an open end.
    tail : {None, "pareto", "exponential"} or float, or a pair (left, right)
        For the smooth fit, the law of the tail beyond each open end: None (the
        default) for a Pareto tail beyond a positive last edge whose index leans
        on the outer brackets and a prior (``zelvane._tails.pareto_index``), an
        exponential one elsewhere; ``"pareto"`` or ``"exponential"``; or a number,
        the tail's parameter held fixed (the Pareto index, or the exponential
        scale). A pair gives the left end's choice and the right end's.
    upper, lower : float, optional
        Close the open last (first) bin at this edge instead of a tail: ``upper=110``
        for an age group "85+" says nobody is older than 110.
    bottom : {"auto", "midpoint", "flat", "smooth"}
        For the smooth fit, the shape of the first bin, its mass kept:
        ``"midpoint"`` its mean at its midpoint, as an even spread's; ``"flat"`` one
        level up to its last piece; ``"smooth"`` as fitted; ``"auto"`` (the default)
        midpoint where the first edge is 0, the top is open and the fit rises through
        the first bin from a low value at 0 (incomes: "less than $10,000" holds zeros
        and values near 0, lower than a smooth rise from 0 puts them), smooth
        elsewhere. See ``zelvane.fit_smooth``.
    standard_errors, mean_se : optional
        For :meth:`confidence` (the smooth method): as in `from_histogram`. Without
        them or a `sample_size` the masses are exact, and their intervals have no
        width but what an open tail leaves.

    Returns
    -------
    PiecewiseLinearDensity
        With ``method``, ``smoothing``, ``edf`` and ``mass_error`` (the largest
        difference between a fitted and a given mass, as a share of the total)
        telling how it was fitted.

    Raises
    ------
    zelvane.InputError
        For input that ``zelvane.fit_smooth`` or ``zelvane.fit_density`` refuses,
        negative or all-zero masses, a smoothing of masses that are not whole
        numbers without a sample size (``"needs_sample_size"``), open ends or a smoothing or mean with another
        method than the smooth one (``"smooth_only"``), and masses whose fit by
        `method` has negative values (no non-negative density fits them that way):
        the message suggests the other methods.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1])
    >>> len(d.knots), d.masses().reshape(3, 4).sum(axis=1).round(13).tolist()
    (13, [0.25, 0.5, 0.25])
    >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1], method="exact")
    >>> d.values.tolist(), d.masses().tolist()
    ([0.0, 0.5, 0.5, 0.0], [0.25, 0.5, 0.25])
    >>> top = PiecewiseLinearDensity.from_masses([0, 10, 20, float("inf")], [3, 5, 2],
    ...                                          mean=15.0)
    >>> round(top.mean(), 9), top.right_tail.kind
    (15.0, 'pareto')
    """
    from zelvane import _fitted

    return _fitted.from_masses(center, gap, method, refine, "center", "gap", smoothing,
                               sample_size, mean, standard_errors, mean_se, tail=tail,
                               upper=upper, lower=lower, bottom=bottom)


def from_histogram(cls: Type[PiecewiseLinearDensity], counts: Any,
                   edges: Optional[npt.ArrayLike] = None, method: str = "smooth", *,
                   refine: int = DEFAULT_REFINE, smoothing: Union[str, float] = "auto",
                   sample_size: Optional[float] = None, mean: Optional[float] = None,
                   density: bool = False,
                   tail: Any = None, upper: Optional[float] = None,
                   lower: Optional[float] = None, bottom: str = "auto",
                   standard_errors: Optional[npt.ArrayLike] = None,
                   mean_se: Optional[float] = None) -> PiecewiseLinearDensity:
    """The density fitted to a histogram: counts, which are a sample.

    The edges become the knots and the counts the masses of the pieces between
    them. By default (``smoothing="auto"``) the counts are read as counts of a
    sample: the penalised likelihood of ``zelvane.fit_smooth`` smooths away their
    noise, with the smoothness chosen for this histogram by an information
    criterion. ``smoothing=0`` meets every count exactly.

    Parameters
    ----------
    counts : array_like, shape (m,), or a histogram object
        Non-negative count (or weight) of every bin, not all zero; or, without
        `edges`, what ``numpy.histogram`` returns, a pandas Series indexed by
        intervals (``pandas.cut(...).value_counts(sort=False)``, open intervals
        included), or a histogram object with ``values()`` and ``axes[0].edges``
        (boost-histogram, hist). A masked array with masked elements (here or as
        `edges`) is refused: fill or compress it first.
    edges : array_like, shape (m + 1,), optional
        Strictly increasing bin edges; the first may be -inf and the last +inf.
    method : {"smooth", "iterative", "exact"}
        As in `from_masses`.
    refine : int
        As in `from_masses`.
    smoothing : {"auto", 0} or float
        "auto" (the default), 0 for exact masses, or a positive lambda.
    sample_size : float, optional
        The criterion's number of counts, where the counts are weights (survey
        weights, say) of a sample of that size: needed for counts that are not
        whole numbers unless ``smoothing=0``. By default the counts' sum.
    mean : float, optional
        A known mean (a published one, say), met exactly by the tail beyond an
        open end. With counts smoothed (the default), a sample's own mean is
        reached even where the tail alone cannot reach it: the fitted masses
        move for it as far as the likelihood allows. With ``smoothing=0`` the
        masses stay as given, and a mean that no tail reaches on them is
        refused (``"unreachable_mean"``, with the range).
    density : bool
        Whether `counts` are densities, as ``numpy.histogram(..., density=True)``
        and ``scipy.stats.rv_histogram(..., density=True)`` take them: each bin's
        mass is its value times its width (every edge finite). Densities say nothing
        of the sample behind them: smoothing them needs `sample_size`. Without the
        flag, values that are not whole numbers and sum to 1 times the widths are
        refused as densities (unless every width is 1, where both readings agree).
    tail : {None, "pareto", "exponential"} or float, or a pair (left, right)
        For the smooth fit, the law of the tail beyond each open end: None (the
        default) for a Pareto tail beyond a positive last edge whose index leans
        on the outer brackets and a prior (``zelvane._tails.pareto_index``), an
        exponential one elsewhere; ``"pareto"`` or ``"exponential"``; or a number,
        the tail's parameter held fixed (the Pareto index, or the exponential
        scale). A pair gives the left end's choice and the right end's.
    upper, lower : float, optional
        Close the open last (first) bin at this edge instead of a tail: ``upper=110``
        for an age group "85+" says nobody is older than 110.
    bottom : {"auto", "midpoint", "flat", "smooth"}
        For the smooth fit, the shape of the first bin, its mass kept:
        ``"midpoint"`` its mean at its midpoint, as an even spread's; ``"flat"`` one
        level up to its last piece; ``"smooth"`` as fitted; ``"auto"`` (the default)
        midpoint where the first edge is 0, the top is open and the fit rises through
        the first bin from a low value at 0 (incomes: "less than $10,000" holds zeros
        and values near 0, lower than a smooth rise from 0 puts them), smooth
        elsewhere. See ``zelvane.fit_smooth``.
    standard_errors : array_like, shape (m,), optional
        Standard errors of the counts (a survey's, say), independent, one per bin:
        the counts' uncertainty for :meth:`confidence`, in place of their sampling
        as a multinomial sample. Published 90 % margins of error m are
        ``zelvane.margin_to_se(m)`` (m / 1.645). Without a `sample_size`, the
        smoothing criterion's N is the sample size whose shares vary as much as
        these counts' do.
    mean_se : float, optional
        The standard error of `mean` (0 or None: the mean is exact). For a mean of
        the same sample as the counts (give it with counts, not with
        `standard_errors`), it moves with them as a sample's mean does.

    Returns
    -------
    PiecewiseLinearDensity

    Raises
    ------
    zelvane.InputError
        As `from_masses`, with the arguments named ``counts`` and ``edges``; for
        objects that are no histogram (see ``zelvane._inputs``); for densities given
        without ``density=True`` and open ends or a smoothing without `sample_size`
        with it (see ``zelvane._inputs.bin_masses``).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane import PiecewiseLinearDensity
    >>> sample = np.random.default_rng(0).normal(size=1000)
    >>> d = PiecewiseLinearDensity.from_histogram(np.histogram(sample, bins=8))
    >>> round(d.mean(), 2), round(d.std(), 2), d.method
    (-0.04, 0.98, 'smooth')
    >>> incomes = PiecewiseLinearDensity.from_histogram(
    ...     [310, 520, 440, 180], [0, 25_000, 50_000, 100_000, float("inf")], mean=70_000)
    >>> round(incomes.mean()), round(incomes.gini(), 3)
    (70000, 0.526)

    The bottom bracket above starts at 0 below an open top: its mean sits at its
    midpoint, where a smooth rise from 0 would put it higher (and the Gini index lower).

    >>> smooth = PiecewiseLinearDensity.from_histogram(
    ...     [310, 520, 440, 180], [0, 25_000, 50_000, 100_000, float("inf")], mean=70_000,
    ...     bottom="smooth")
    >>> round(smooth.gini(), 3)
    0.513

    An age table whose last group is "85+": closed at 110, or given an exponential
    tail, rather than a Pareto tail that would place people far beyond any age.

    >>> ages = [0, 15, 30, 45, 65, 85, float("inf")]
    >>> people = [3300, 3500, 3700, 4900, 2600, 400]
    >>> closed = PiecewiseLinearDensity.from_histogram(people, ages, upper=110)
    >>> closed.right_tail, float(closed.ppf(1.0))
    (None, 110.0)
    >>> short = PiecewiseLinearDensity.from_histogram(people, ages, tail="exponential")
    >>> short.right_tail.kind, round(float(short.isf(1e-4)))
    ('exponential', 138)
    """
    from zelvane import _fitted

    return _fitted.from_histogram(counts, edges, method, refine, smoothing, sample_size, mean,
                                  density, standard_errors, mean_se, tail=tail, upper=upper,
                                  lower=lower, bottom=bottom)


def confidence(self: PiecewiseLinearDensity, level: float = 0.9, *, method: str = "auto",
               replicates: Optional[int] = None, seed: Any = 0, workers: int = 1) -> Any:
    """Confidence intervals at `level` for every summary, from the data it was fitted to.

    Returns a ``Confidence`` whose methods mirror this density's (``median()``,
    ``ppf(q)``, ``mean()``, ``var()``, ``std()``, ``gini()``, ``lorenz(p)``,
    ``top_share(p)``, ``masses(edges)``, ``cdf(x)``, ``sf(x)``, ``pdf(x)``, and any
    other inequality measure the density has), each returning ``(low, high)``:
    floats, or arrays for array input. Not to be confused with SciPy's
    ``interval(confidence)``, the distribution's own central interval.

    The uncertainty comes from what the fit was given: counts as a multinomial
    sample (of their sum, or `sample_size`), or the counts' `standard_errors`;
    exact masses have none. A `mean` with `mean_se` is uncertain too, one without
    exact. Model terms widen the intervals where the data say little: beyond an
    open top without a mean, the range of tail indices the upper brackets
    support (a mean or Gini with a wide interval, ``high = inf`` where the range
    reaches a tail without a mean); with ``smoothing="auto"``, the smoothings the
    criterion supports. See ``zelvane._confidence`` for the method.

    Parameters
    ----------
    level : float
        The confidence level, in (0, 1); 0.9 as statistics offices publish.
    method : {"auto", "linear", "bootstrap"}
        ``"linear"``: first-order propagation through a batch of refits (one per
        direction of the inputs' covariance); ``"bootstrap"``: `replicates`
        parametric replicates refitted as one batch, the interval from their median
        and their spread below and above it;
        ``"auto"``: linear with an open top, the bootstrap with a closed one (which
        covered better there on simulated counts).
    replicates : int, optional
        Replicates of the bootstrap (20 or more; None: 50).
    seed : int, numpy.random.SeedSequence or similar
        The bootstrap's seed: the same seed gives the same intervals.
    workers : int
        Native threads for the refits, as ``zelvane.fit_smooth`` takes them.

    Returns
    -------
    zelvane._confidence.Confidence

    Raises
    ------
    zelvane.InputError
        For a density not fitted to data by the smooth method (``"no_source"``),
        a `level` outside (0, 1) (``"level"``), or options out of range.

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane import PiecewiseLinearDensity
    >>> edges = [0, 10_000, 25_000, 50_000, 100_000, float("inf")]
    >>> d = PiecewiseLinearDensity.from_histogram([120, 260, 350, 210, 60], edges)
    >>> low, high = d.confidence(0.9).median()
    >>> bool(low < d.median() < high)
    True
    >>> exact = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [0.25, 0.5, 0.25])
    >>> low, high = exact.confidence().median()
    >>> low == high, round(low, 12) == round(exact.median(), 12)
    (True, True)
    """
    from zelvane import _fitted

    return _fitted.confidence(self, level, method, replicates, seed, workers)
