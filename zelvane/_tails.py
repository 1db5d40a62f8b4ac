"""Open tails of a piecewise linear density: a Pareto or exponential law beyond an end knot.

A table that ends with "200,000 or more" leaves the density beyond its last finite
edge to be modelled. :class:`Tail` holds such a tail: the law (``kind``), the knot
where it meets the body (``joint``), the mass it carries and its parameter.

- A **Pareto** tail, on the right of a joint ``L > 0`` only, has the density
  ``f(x) = f(L) (x / L) ** -(alpha + 1)`` for ``x >= L`` and the mass
  ``f(L) L / alpha``; its mean is infinite for ``alpha <= 1``, its variance for
  ``alpha <= 2``.
- An **exponential** tail, on either side, has ``f(x) = f(L) exp(-|x - L| / beta)``
  beyond the joint and the mass ``f(L) beta``.

The functions below give each closed form of one tail, vectorised over NumPy arrays
of points that lie on the tail's side of its joint (``right`` says which side that
is): its density, the fraction of its mass beyond or within a point and the point
for a fraction, its first moment beyond a point (what the Lorenz curve needs), its
first and second moments about any point, and the integral of ``F (1 - F)`` over
it. They work from the distance to the joint, with ``log1p`` and ``expm1``, so that
nothing cancels near the joint or far from it.
"""

from __future__ import annotations

import math

from typing import TYPE_CHECKING, NamedTuple, Optional, Tuple

import numpy as np

from zelvane._errors import InputError

if TYPE_CHECKING:
    import numpy.typing as npt

    Float64Array = npt.NDArray[np.float64]

__all__ = ["Tail", "KINDS", "CHOSEN", "PRIOR_INDEX", "INDEX_RANGE", "pareto_index",
           "INDEX_BOUNDS", "scale_bounds", "PRIOR_SWAY", "prior_sway"]

# Fractions below this lose digits to subnormal numbers: left as they are.
_NORMAL = 1e-306
# The logarithm of points beyond which one scalar is left to the array path.
_LARGE = 700.0
#: The laws of a tail: ``"pareto"`` (right of a positive joint only) and ``"exponential"``.
KINDS = ("pareto", "exponential")
#: How a tail's parameter was chosen: ``"given"`` (made by hand), ``"brackets"`` (the
#: default Pareto index, from the outer brackets and the prior), ``"prior"`` (the prior
#: alone, where the brackets give no index), ``"interpolated"`` (an exponential scale from
#: the end bin and the open bin), ``"bound"`` (held at a bound of its range, or at the
#: most the end bin can carry), ``"fixed"`` (the caller's number, ``tail=``) and
#: ``"mean"`` (set to meet a known mean).
CHOSEN = ("given", "brackets", "prior", "interpolated", "bound", "fixed", "mean")

#: The Pareto index that the default tail leans on where the brackets say little: an
#: index of 2 to 3 is what the upper tails of incomes and of many skewed quantities show.
PRIOR_INDEX = 2.5
#: The weight of the brackets' own index against :data:`PRIOR_INDEX`.
BRACKETS_WEIGHT = 0.5
#: The range of the default Pareto index (without a mean): above 1.5 the mean and the
#: Gini index stay finite, and up to 20 a tail is still a tail.
INDEX_RANGE = (1.5, 20.0)
#: The range of any fitted Pareto index (with a mean too): the open fit's bounds.
INDEX_BOUNDS = (1.0, 100.0)


def scale_bounds(width: float) -> Tuple[float, float]:
    """The range of a fitted exponential scale: a thousandth of the body's `width` to the
    whole width."""
    return 1e-3 * width, width


class Tail(NamedTuple):
    """A tail of a density beyond its first or last knot, immutable.

    Parameters
    ----------
    kind : {"pareto", "exponential"}
        The law beyond the joint. ``"pareto"`` is for a right tail whose joint is
        above 0; ``"exponential"`` for any tail.
    joint : float
        The knot where the tail meets the body: the first knot for a left tail, the
        last for a right tail.
    mass : float
        The mass the tail carries, >= 0, in the units of the body's own total mass
        (a density normalises both together).
    parameter : float
        ``alpha`` of a Pareto tail or ``beta`` (the scale) of an exponential tail, > 0.
    chosen : str, optional
        How the parameter was chosen, one of :data:`CHOSEN`: ``"given"`` (the
        default) for a tail made by hand; a fit says whether its parameter came
        from the brackets, a prior, a bound, the caller or a known mean.

    See Also
    --------
    zelvane.PiecewiseLinearDensity

    Notes
    -----
    The tail's density at its joint follows from its mass and parameter
    (`height`): ``mass * alpha / joint`` for a Pareto tail, ``mass / beta`` for an
    exponential one. A tail joined continuously to a body takes the body's value
    at the joint there, which `joined` turns into the mass.

    Examples
    --------
    >>> from zelvane import Tail
    >>> tail = Tail.joined("pareto", joint=200.0, height=0.002, parameter=2.5)
    >>> tail.mass, tail.height
    (0.16, 0.002)
    >>> Tail("exponential", 0.0, 0.25, 2.0).height
    0.125
    """

    kind: str
    joint: float
    mass: float
    parameter: float
    chosen: str = "given"

    @property
    def height(self) -> float:
        """The tail's density at its joint, as its mass and parameter imply.

        Raises
        ------
        zelvane.InputError
            For a Pareto tail whose joint is not above 0 (``"pareto_joint"``) and an
            exponential one whose parameter is not positive (``"not_positive"``): no
            density of theirs has a height at the joint.
        """
        if self.kind == "pareto":
            _check_joint(self.kind, self.joint)
            return float(self.mass * self.parameter / self.joint)
        _check_parameter(self.parameter)
        return float(self.mass / self.parameter)

    @classmethod
    def joined(cls, kind: str, joint: float, height: float, parameter: float) -> Tail:
        """The tail of `kind` from `joint` whose density there is `height`.

        Parameters
        ----------
        kind : {"pareto", "exponential"}
            The law of the tail.
        joint : float
            The end knot that the tail starts from.
        height : float
            The body's value at the joint, which the tail continues.
        parameter : float
            ``alpha`` or ``beta``.

        Returns
        -------
        Tail
            With the mass ``height * joint / alpha`` (Pareto) or ``height * beta``.

        Raises
        ------
        zelvane.InputError
            For a parameter that is not positive (``"not_positive"``), and a Pareto
            tail whose joint is not above 0 (``"pareto_joint"``).

        Examples
        --------
        >>> from zelvane import Tail
        >>> Tail.joined("exponential", joint=-3.0, height=0.1, parameter=4.0)
        Tail(kind='exponential', joint=-3.0, mass=0.4, parameter=4.0, chosen='given')
        """
        joint, height, parameter = float(joint), float(height), float(parameter)
        _check_parameter(parameter)
        _check_joint(kind, joint)
        mass = height * joint / parameter if kind == "pareto" else height * parameter
        return cls(kind, joint, mass, parameter)


def _check_parameter(parameter: float) -> None:
    if not parameter > 0:
        raise InputError("not_positive", argument="parameter", value=parameter)


def _check_joint(kind: str, joint: float) -> None:
    if kind == "pareto" and not joint > 0:
        raise InputError("pareto_joint", argument="kind", value=joint)


def _reach(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """The distance of each point from the joint, away from the body (never below 0)."""
    reach: Float64Array = np.maximum(x - tail.joint if right else tail.joint - x, 0.0)
    return reach


def _exponent(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """``log(x / L)`` of a Pareto tail, ``reach / beta`` of an exponential one: the
    logarithm of the fraction of the mass beyond each point is minus alpha times it, or
    minus it."""
    with np.errstate(over="ignore"):
        reach = _reach(tail, right, x)
        if tail.kind == "pareto":
            # log1p of the relative reach: exact near the joint.
            exponent: Float64Array = np.log1p(reach / tail.joint)
        else:
            exponent = reach / tail.parameter
    return exponent


def _power(tail: Tail, x: Float64Array, log_ratio: Float64Array,
           power: float) -> Float64Array:
    """``(x / L) ** -power`` of a Pareto tail: through ``exp`` of the logarithm near the
    joint, and as a power farther out, where ``exp`` would turn the rounding of a large
    logarithm into a relative error of the result."""
    logs = -power * log_ratio
    with np.errstate(over="ignore", divide="ignore"):
        far = np.power(x / tail.joint, -power)
    result: Float64Array = np.where(logs > -1.0, np.exp(logs), far)
    return result


def pdf(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """The tail's density at points on its side of the joint (the joint included).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._tails import Tail, pdf
    >>> pdf(Tail("pareto", 1.0, 0.5, 1.0), True, np.array([1.0, 2.0, np.inf])).tolist()
    [0.5, 0.125, 0.0]
    """
    exponent = _exponent(tail, right, x)
    if tail.kind == "pareto":
        density: Float64Array = tail.height * _power(tail, x, exponent, tail.parameter + 1.0)
    else:
        density = tail.height * np.exp(-exponent)
    return density


def beyond(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """The fraction of the tail's mass farther from the joint than each point (1 at the
    joint, 0 at infinity); times ``tail.mass``, the mass above (right) or below (left).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._tails import Tail, beyond
    >>> beyond(Tail("exponential", 0.0, 1.0, 2.0), False, np.array([0.0, -2.0])).round(9).tolist()
    [1.0, 0.367879441]
    """
    exponent = _exponent(tail, right, x)
    if tail.kind == "pareto":
        return _power(tail, x, exponent, tail.parameter)
    fraction: Float64Array = np.exp(-exponent)
    return fraction


def within(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """The fraction of the tail's mass between the joint and each point, ``1 - beyond``
    without its cancellation near the joint.

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._tails import Tail, within
    >>> fractions = within(Tail("pareto", 1.0, 1.0, 2.0), True, np.array([1.0 + 2.0 ** -40, 2.0]))
    >>> round(float(fractions[0] * 2.0 ** 40), 12), float(fractions[1])
    (1.999999999997, 0.75)
    """
    exponent = _exponent(tail, right, x)
    if tail.kind == "pareto":
        logs = -tail.parameter * exponent
        # Where the fraction beyond is below 1/e, 1 - it cancels nothing.
        far = 1.0 - _power(tail, x, exponent, tail.parameter)
        fraction: Float64Array = np.where(logs > -1.0, -np.expm1(logs), far)
        return fraction
    fraction = -np.expm1(-exponent)
    return fraction


def point(tail: Tail, right: bool, fraction: Float64Array) -> Float64Array:
    """The point beyond which lies `fraction` (in [0, 1]) of the tail's mass: the
    inverse of `beyond`, the joint for 1 and an infinite end for 0.

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._tails import Tail, point
    >>> point(Tail("pareto", 2.0, 1.0, 2.0), True, np.array([1.0, 0.25, 0.0])).tolist()
    [2.0, 4.0, inf]
    """
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        logs = np.log(fraction)
        if tail.kind == "exponential":
            return tail.joint - tail.parameter * logs if right else \
                tail.joint + tail.parameter * logs
        a, joint = tail.parameter, tail.joint
        # Up to e times the joint, L plus the reach, exact near the joint; farther out
        # L / fraction ** (1 / alpha), whose rounded exponent one Newton step on the
        # power corrects.
        near = joint + joint * np.expm1(-logs / a)
        far = joint * np.power(fraction, -1.0 / a)
        step = (np.power(far / joint, -a) / fraction - 1.0) / a
        usable = np.isfinite(far) & (fraction > _NORMAL)
        far = np.where(usable, far + far * step, far)
        x: Float64Array = np.where(-logs < a, near, far)
    return x


def point_of(tail: Tail, right: bool, fraction: float) -> Optional[float]:
    """`point` of one fraction in (0, 1], in Python floats and NumPy's scalar functions,
    which give the bits of the array path; None where that path would overflow or meet
    subnormal numbers (the caller then takes it)."""
    logs = float(np.log(fraction))
    a, joint = tail.parameter, tail.joint
    if tail.kind == "exponential":
        return joint - a * logs if right else joint + a * logs
    if -logs < a:
        return joint + joint * float(np.expm1(-logs / a))
    if not fraction > _NORMAL or -logs / a + math.log(joint) > _LARGE:
        return None
    far = joint * float(np.power(fraction, -1.0 / a))
    step = (float(np.power(far / joint, -a)) / fraction - 1.0) / a
    return far + far * step


def moment_beyond(tail: Tail, right: bool, x: Float64Array) -> Float64Array:
    """The first moment about 0 of the tail's mass beyond each point, ``int t f(t) dt``
    from the point outwards: what the Lorenz curve needs (infinite for a Pareto tail
    with ``alpha <= 1``, unless the tail has no mass: then it is 0, as in `moments` and
    `spread`).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._tails import Tail, moment_beyond
    >>> moment_beyond(Tail("pareto", 1.0, 1.0, 3.0), True, np.array([1.0, 2.0])).tolist()
    [1.5, 0.375]
    """
    if not tail.mass > 0:
        return np.zeros_like(x)
    fraction = beyond(tail, right, x)
    a = tail.parameter
    with np.errstate(over="ignore", invalid="ignore"):
        if tail.kind == "pareto":
            # alpha / (alpha - 1) times x times the mass beyond x.
            factor = x * (a / (a - 1.0)) if a > 1.0 else np.full_like(x, np.inf)
        else:
            factor = x + a if right else x - a
        moment: Float64Array = np.where(fraction > 0, tail.mass * fraction * factor, 0.0)
    return moment


def moments(tail: Tail, right: bool, about: float) -> Tuple[float, float]:
    """The tail's first and second moments about `about`: the integrals over the tail of
    ``(x - about) f(x)`` and ``(x - about) ** 2 f(x)``, infinite where they diverge
    (a Pareto tail with ``alpha <= 1``, and ``alpha <= 2`` for the second) and the tail
    has mass; a tail without mass has none of either.

    Examples
    --------
    >>> from zelvane._tails import Tail, moments
    >>> moments(Tail("exponential", 0.0, 1.0, 2.0), True, 0.0)
    (2.0, 8.0)
    >>> moments(Tail("pareto", 1.0, 1.0, 1.5), True, 0.0)
    (3.0, inf)
    """
    m, joint, p = tail.mass, tail.joint, tail.parameter
    d = joint - about
    if tail.kind == "exponential":
        shift = d + p if right else d - p
        return m * shift, m * (shift * shift + p * p)
    if not m > 0:
        return 0.0, 0.0
    if p <= 1.0:
        return np.inf, np.inf
    # x = L Y with Y Pareto on [1, inf): E[Y] - 1 = 1 / (alpha - 1), and the second
    # moment about `about` is the variance plus the squared offset of the mean.
    # alpha - 1 and alpha - 2 are exact near 1 and 2.
    offset = d + joint / (p - 1.0)
    if p <= 2.0:
        return m * offset, np.inf
    variance = joint * joint * p / ((p - 1.0) * (p - 1.0) * (p - 2.0))
    return m * offset, m * (variance + offset * offset)


def spread(tail: Tail) -> float:
    """The integral of ``F (1 - F)`` over the tail, where the tail's mass beyond a point
    is ``1 - F`` (right) or ``F`` (left): the tail's share of the Gini integral
    (infinite for a Pareto tail with ``alpha <= 1``).

    Examples
    --------
    >>> from zelvane._tails import Tail, spread
    >>> spread(Tail("exponential", 0.0, 1.0, 2.0))
    1.0
    >>> round(spread(Tail("pareto", 1.0, 1.0, 2.0)), 12)
    0.666666666667
    """
    m, p = tail.mass, tail.parameter
    if tail.kind == "exponential":
        # The integrals of m g and of (m g) ** 2 with g = exp(-reach / beta).
        return m * p * (1.0 - 0.5 * m)
    if p <= 1.0:
        return np.inf if m > 0 else 0.0
    # m L / (alpha - 1) - m ** 2 L / (2 alpha - 1), over a common denominator so that
    # nothing cancels.
    return m * tail.joint * ((p - 1.0) * (2.0 - m) + 1.0) / ((p - 1.0) * (2.0 * p - 1.0))


def pareto_index(edges: Float64Array, masses: Float64Array, refine: int, exact: bool
                 ) -> Tuple[Float64Array, Float64Array, Float64Array]:
    """The default index of the Pareto tail beyond the last edge of each row, how it
    was chosen (an array of :data:`CHOSEN` names), and the brackets' own index (NaN
    where they give none; it may be 1 or below).

    `edges` (the last +inf) and `masses` are those of the fit, 1-D or one row per
    histogram; rows whose open bin is empty get NaN. From the survival shares at the
    lower edges of the last two brackets, ``S2 = m + T`` and ``S3``, the index over the
    end bracket ``[L0, L]`` is ``a2 = log(S2 / T) / log(L / L0)`` (the interpolation of
    a Pareto law through both) and over the last two ``a3``. Real upper tails grow
    thinner with the level (the local index rises), so the index beyond ``L`` is taken a
    step further along that rise, ``2 a2 - a3``, and then weighed half and half against
    :data:`PRIOR_INDEX`: two brackets pin an index down poorly (a bracket or two of a
    sample of a few hundred move it by a whole unit), and the prior keeps one misleading
    bracket from making the mean or the Gini index absurd. Where the brackets give no
    index (an end bracket that starts at zero or below) the prior alone is taken. The
    result stays within :data:`INDEX_RANGE` and, for exact masses, below the most the
    end bracket can carry (the end value ``alpha T / L`` of a tail joined to the body
    takes at most the end bracket's mass on its last piece of width ``h``:
    ``alpha <= 2 m L / (h T)``); an index held there is ``"bound"``.
    """
    e = np.asarray(edges, dtype=np.float64)
    w = np.asarray(masses, dtype=np.float64)
    if w.ndim == 1 and e.ndim == 1:
        return _pareto_index_one(e, w, refine, exact)
    shape = w.shape[:-1]
    e = np.broadcast_to(e, shape + (w.shape[-1] + 1,))
    left_open = bool(np.isneginf(e[..., 0]).any())
    finite = w.shape[-1] - 1 - int(left_open)
    top = w[..., -1]
    joint = e[..., -2]
    index = np.full(shape, np.nan)
    chosen = np.full(shape, "prior", dtype=object)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        s2 = top + w[..., -2]
        inner = e[..., -3]
        a2 = np.where(inner > 0, np.log(s2 / top) / np.log(joint / inner), np.nan)
        if finite >= 2:
            s3 = s2 + w[..., -3]
            outer = e[..., -4]
            a3 = np.where(outer > 0, np.log(s3 / top) / np.log(joint / outer), np.nan)
        else:
            a3 = np.full(shape, np.nan)
        trend = np.where(np.isfinite(a3), 2.0 * a2 - a3, a2)
        usable = np.isfinite(trend)
        index = np.where(usable, BRACKETS_WEIGHT * trend + (1.0 - BRACKETS_WEIGHT) * PRIOR_INDEX,
                         PRIOR_INDEX)
        chosen = np.where(usable, "brackets", "prior").astype(object)
        low, high = INDEX_RANGE
        held = (index < low) | (index > high)
        index = np.clip(index, low, high)
        if exact:
            piece = (joint - inner) / refine
            limit = 2.0 * w[..., -2] / piece * (1.0 - 1e-9) * joint / top
            over = index > limit
            index = np.where(over, limit, index)
            held |= over
        chosen = np.where(held, "bound", chosen).astype(object)
        empty = ~(top > 0)
        index = np.where(empty, np.nan, index)
    return (np.asarray(index, dtype=np.float64), np.asarray(chosen),
            np.asarray(np.where(usable & ~empty, trend, np.nan), dtype=np.float64))


#: The share of the mean by which the default tail may differ from the brackets' own
#: index before a fit warns that its mean rests on the prior.
PRIOR_SWAY = 0.05


def _log_ratio(above: float, share: float, outer: float, joint: float) -> float:
    """``log(above / share) / log(joint / outer)`` in float64 as the arrays compute it,
    NaN where it is not finite or `outer` is not positive."""
    if not outer > 0:
        return math.nan
    rise = float(np.log(joint / outer))
    if rise == 0.0:
        return math.nan
    ratio = float(np.log(above / share)) / rise
    return ratio if math.isfinite(ratio) else math.nan


def _pareto_index_one(e: Float64Array, w: Float64Array, refine: int, exact: bool
                      ) -> Tuple[Float64Array, Float64Array, Float64Array]:
    """:func:`pareto_index` of one histogram, in float64 scalars: the same operations,
    in the same order, as on a row of a batch."""
    top = float(w[-1])
    joint, inner = float(e[-2]), float(e[-3])
    if not top > 0:
        # No index; named as the arrays name it, where the bound below (over a top of 0:
        # -inf for an end bracket of mass below a joint below 0) holds the prior.
        bound = exact and 2.0 * float(w[-2]) / ((joint - inner) / refine) * (1.0 - 1e-9) * \
            joint < 0
        return (np.array(np.nan), np.array("bound" if bound else "prior", dtype=object),
                np.array(np.nan))
    finite = w.shape[-1] - 1 - int(e[0] == -np.inf)
    s2 = top + float(w[-2])
    a2 = _log_ratio(s2, top, inner, joint)
    a3 = _log_ratio(s2 + float(w[-3]), top, float(e[-4]), joint) if finite >= 2 else math.nan
    trend = 2.0 * a2 - a3 if math.isfinite(a3) else a2
    usable = math.isfinite(trend)
    index = BRACKETS_WEIGHT * trend + (1.0 - BRACKETS_WEIGHT) * PRIOR_INDEX if usable \
        else PRIOR_INDEX
    low, high = INDEX_RANGE
    held = index < low or index > high
    index = min(max(index, low), high)
    if exact:
        piece = (joint - inner) / refine
        limit = 2.0 * float(w[-2]) / piece * (1.0 - 1e-9) * joint / top
        if index > limit:
            index, held = limit, True
    chosen = "bound" if held else "brackets" if usable else "prior"
    return (np.array(index), np.array(chosen, dtype=object),
            np.array(trend if usable else np.nan))


def prior_sway(joint: Float64Array, mass: Float64Array, index: Float64Array,
               own: Float64Array, mean: Float64Array) -> Float64Array:
    """How far the mean of a density whose Pareto tail (of `mass`, a share of the total,
    beyond `joint`) has the index `index` lies from the mean it would have with the
    brackets' own index `own`, as a share of its `mean` (infinite where `own` is 1 or
    below: the brackets alone would give no mean)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        # A Pareto tail's mean over its joint, alpha / (alpha - 1).
        ratio_own = np.where(own > 1.0, own / (own - 1.0), np.inf)
        ratio = np.where(index > 1.0, index / (index - 1.0), np.inf)
        sway: Float64Array = np.abs(mass * joint * (ratio_own - ratio) / mean)
    result: Float64Array = np.where(np.isnan(own), 0.0, sway)
    return result


# Euler's constant: E[log E] = -gamma for a standard exponential E.
_EULER = 0.5772156649015329
# The 20-point Gauss-Legendre rule on [0, 1], and the panels in t (standard exponential
# units beyond the joint) up to where exp(-t) leaves nothing to add.
_RULE = np.polynomial.legendre.leggauss(20)  # type: ignore[no-untyped-call, unused-ignore]
_NODES_01, _WEIGHTS_01 = 0.5 * (_RULE[0] + 1.0), 0.5 * _RULE[1]
_LAST_T = 90.0


def _panels(first: float) -> Float64Array:
    """Edges of panels in t from 0: [0, first], then each as wide as its start is far
    from 0, up to a width of 4, to `_LAST_T`. A panel lies at least its width away from
    the singularity of log or a power at t = -L / beta <= -first."""
    edges = [0.0, first]
    while edges[-1] < _LAST_T:
        edges.append(edges[-1] + min(edges[-1], 4.0))
    return np.array(edges)


def transformed_moment(tail: Tail, kind: str, q: float = 0.0) -> float:
    """The integral over a right tail (joint 0 or more) of ``g(x)`` times its density,
    for ``g(x) = x ** q`` (`kind` ``"power"``), ``log x`` (``"log"``) or ``x log x``
    (``"xlog"``): infinite where it diverges (a Pareto tail with ``alpha <= q``, or
    ``alpha <= 1`` for ``x log x``; an exponential tail from 0 with ``q <= -1``).

    In closed form for a Pareto tail and an exponential one from 0; for an exponential
    tail from ``L > 0``, the integral over t of ``g(L + beta t) exp(-t)`` by the
    20-point Gauss-Legendre rule on panels graded away from the singularity at
    ``t = -L / beta``, to working precision.

    Examples
    --------
    >>> from zelvane._tails import Tail, transformed_moment
    >>> transformed_moment(Tail("pareto", 1.0, 1.0, 3.0), "power", 1.0)
    1.5
    >>> round(transformed_moment(Tail("exponential", 0.0, 1.0, 1.0), "log"), 12)
    -0.577215664902
    """
    m, joint, p = tail.mass, tail.joint, tail.parameter
    if not m > 0:
        return 0.0
    if tail.kind == "pareto":
        if kind == "log":
            return m * (math.log(joint) + 1.0 / p)
        if kind == "xlog":
            if p <= 1.0:
                return math.inf
            return m * p * joint / (p - 1.0) * (math.log(joint) + 1.0 / (p - 1.0))
        if p <= q:
            return math.inf
        return m * p * math.pow(joint, q) / (p - q)
    if joint == 0.0:
        if kind == "log":
            return m * (math.log(p) - _EULER)
        if kind == "xlog":
            return m * p * (math.log(p) + 1.0 - _EULER)
        if q <= -1.0:
            return math.inf
        return m * math.pow(p, q) * math.gamma(q + 1.0)
    # A joint so near 0 beside the scale leaves a first panel of 2^-60, off by nothing.
    edges = _panels(min(max(joint / p, 2.0 ** -60), 1.0))
    t = edges[:-1, None] + np.diff(edges)[:, None] * _NODES_01
    weights = np.diff(edges)[:, None] * _WEIGHTS_01 * np.exp(-t)
    x = joint + p * t
    with np.errstate(over="ignore"):
        if kind == "power":
            g = np.power(x, q)
        elif kind == "log":
            g = np.log(x)
        else:
            g = x * np.log(x)
    return m * float(np.sum(weights * g))
