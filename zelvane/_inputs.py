"""Histograms as people hold them, turned into the counts and edges that the fits take.

:func:`counts_and_edges` accepts

- counts and edges as two array-likes, in the order ``numpy.histogram`` returns them;
- the ``(counts, edges)`` tuple itself that ``numpy.histogram`` returns;
- a pandas ``Series`` indexed by intervals: what ``pd.cut(x, bins).value_counts(sort=False)``
  or ``df.groupby(pd.cut(x, bins), observed=False).size()`` give; or indexed by bracket
  labels as tables publish them (``"Under 5 years"``, ``"$10,000 to $14,999"``,
  ``"85+"``), read as :func:`zelvane.read_table` reads them;
- a one-dimensional histogram object of the UHI plotting protocol (boost-histogram, hist
  and the others that follow it): ``obj.values()`` and ``obj.axes[0].edges``.

Objects are recognised by what they have, never by importing their library: this module
imports NumPy alone, and pandas is only ever used through the object it made. Every
refusal is a :class:`zelvane.InputError` naming the argument and, where there is one, the
position of the offending element in the object as given.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from zelvane._checks import check_smoothing, real_array
from zelvane._errors import InputError
from zelvane._tables import TableError, bracket_edges

if TYPE_CHECKING:
    import numpy.typing as npt

    Float64Array = npt.NDArray[np.float64]

__all__ = ["counts_and_edges", "bin_masses"]

# How far from 1 the sum of values times widths may lie for the values to be read as
# densities: the rounding of numpy.histogram's own division.
_DENSITY_TOTAL = 1e-9

# What an interval closed on each side is called in messages, and how pandas prints it.
_CLOSED_TEXT = {"right": "closed on the right", "left": "closed on the left",
                "both": "closed on both sides", "neither": "open on both sides"}
_BRACKETS = {"right": ("(", "]"), "left": ("[", ")"), "both": ("[", "]"),
             "neither": ("(", ")")}


def _type_name(value: Any) -> str:
    kind = type(value)
    module = kind.__module__.split(".")[0]
    return kind.__name__ if module == "builtins" else f"{module}.{kind.__name__}"


def _real(name: str, value: Any) -> Float64Array:
    """`value` as a float64 array of its own shape, refused unless it holds real numbers."""
    converted: Float64Array = np.asarray(real_array(name, value), dtype=np.float64)
    return converted


def _from_pandas(value: Any) -> bool:
    return type(value).__module__.split(".")[0] == "pandas"


def _is_uhi_histogram(value: Any) -> bool:
    # A pandas object has .axes too, but its .values is an array, not a method.
    return callable(getattr(value, "values", None)) and hasattr(value, "axes") \
        and not isinstance(value, dict)


def _holds_intervals(index: Any) -> bool:
    """Whether a pandas index is one of intervals, or of categories that are."""
    categories = getattr(index, "categories", None)
    return hasattr(categories if categories is not None else index, "closed")


def _is_pair(value: Any) -> bool:
    """The ``(counts, edges)`` tuple of ``numpy.histogram``: two arrays, not two numbers."""
    if not isinstance(value, tuple) or len(value) != 2:
        return False
    try:
        return all(np.ndim(part) >= 1 for part in value)
    except ValueError:  # parts NumPy cannot even shape
        return False


def counts_and_edges(histogram: Any, edges: Any = None) -> Tuple[Float64Array, Float64Array]:
    """The counts and the bin edges of a histogram, however it is held.

    Parameters
    ----------
    histogram : array_like, tuple, pandas.Series or histogram object
        With `edges`: the count (or mass, or weight) of every bin, as an array-like.
        Without: the ``(counts, edges)`` tuple of ``numpy.histogram``; a pandas Series of
        counts indexed by intervals (an ``IntervalIndex``, or the ``CategoricalIndex`` of
        intervals that ``pd.cut(...).value_counts(sort=False)`` and
        ``groupby(pd.cut(...), observed=False).size()`` give), in any order, with
        ``-inf`` as the first interval's left end or ``inf`` as the last one's right end
        for open ends; a Series of counts indexed by bracket labels (``"Less than
        $10,000"``, ``"$10,000 to $14,999"``, ``"$200,000 or more"``, ``"Under 5
        years"``, ``"85+"``), in their order, read as :func:`zelvane.read_table` reads
        a table's labels (a ``Total`` row left out); or a one-dimensional histogram object that follows the UHI
        plotting protocol (boost-histogram, hist, ...), whose ``values()`` are the counts
        and ``axes[0].edges`` the edges. Such an object's underflow and overflow bins are
        not among its ``values()`` and are left out by design: a density is fitted to
        the bins between the edges, and the flow bins have no width.
    edges : array_like, optional
        The bin edges, one more than the counts, when `histogram` is an array-like of
        counts.

    Returns
    -------
    counts, edges : numpy.ndarray
        float64 arrays, in the order ``numpy.histogram`` returns them; a Series' counts
        and edges in the order of its intervals. Plain arrays keep their shape: the
        fitting layer checks their lengths, order and values.

    Raises
    ------
    zelvane.InputError
        Counts without edges (``"no_edges"``) or edges given twice (``"edges_twice"``);
        values that are not real numbers (``"dtype"``); for a Series, an index that does
        not hold intervals or bracket labels (``"series_index"``), labels that are no
        brackets or do not meet (``"series_labels"``), a missing count or interval
        (``"missing_count"``, ``"missing_interval"``), counts that are infinite or
        negative, and intervals that are empty, leave gaps, overlap or differ in their
        closed side (``"interval_empty"``, ``"interval_gap"``, ``"interval_overlap"``,
        ``"interval_shared"``, ``"interval_closed"``), with the position in the Series;
        for a histogram object, more than one axis (``"histogram_ndim"``), means rather
        than counts (``"histogram_mean"``) or an axis of categories
        (``"histogram_categories"``).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane._inputs import counts_and_edges
    >>> counts_and_edges([3, 5, 2], [0, 1, 2, 4])
    (array([3., 5., 2.]), array([0., 1., 2., 4.]))
    >>> counts, edges = counts_and_edges(np.histogram([0.5, 1.5, 1.7, 3.0], bins=[0, 1, 2, 4]))
    >>> counts
    array([1., 2., 1.])
    """
    if edges is not None:
        if _is_uhi_histogram(histogram) or _from_pandas(histogram) \
                and _holds_intervals(getattr(histogram, "index", None)):
            raise InputError("edges_twice", argument="edges", type_name=_type_name(histogram))
        return _real("counts", histogram), _real("edges", edges)
    if _from_pandas(histogram):
        if getattr(histogram, "ndim", None) == 1 and hasattr(histogram, "index"):
            return _from_series(histogram)
        raise InputError("histogram_type", argument="histogram",
                         type_name=_type_name(histogram))
    if _is_uhi_histogram(histogram):
        return _from_uhi(histogram)
    if _is_pair(histogram):
        return _real("counts", histogram[0]), _real("edges", histogram[1])
    if isinstance(histogram, (list, tuple)) or hasattr(histogram, "__array__"):
        raise InputError("no_edges", argument="counts")
    raise InputError("histogram_type", argument="histogram", type_name=_type_name(histogram))


# -- pandas -----------------------------------------------------------------

def _number_text(x: float) -> str:
    return format(x, ".15g")


def _interval_text(left: float, right: float, closed: str) -> str:
    opening, closing = _BRACKETS.get(closed, ("(", ")"))
    return f"{opening}{_number_text(left)}, {_number_text(right)}{closing}"


def _interval_ends(index: Any) -> Tuple[Float64Array, Float64Array, List[str]]:
    """The left and right ends (NaN for a missing interval) and the closed side of every
    interval of a Series' index."""
    categories = getattr(index, "categories", None)
    if categories is not None and hasattr(index, "codes"):
        # The CategoricalIndex of pd.cut's results: codes into the intervals, -1 for none.
        codes = np.asarray(index.codes)
        if not all(hasattr(categories, name) for name in ("left", "right", "closed")):
            raise InputError("series_index", argument="histogram",
                             index_type=f"categories of {categories.dtype}")
        lefts = _real("intervals", categories.left)
        rights = _real("intervals", categories.right)
        missing = codes < 0
        taken = np.where(missing, 0, codes)
        left = np.where(missing, np.nan, lefts[taken] if lefts.size else np.nan)
        right = np.where(missing, np.nan, rights[taken] if rights.size else np.nan)
        return left, right, [str(categories.closed)] * len(codes)
    if all(hasattr(index, name) for name in ("left", "right", "closed")):
        # An IntervalIndex: one closed side for every interval.
        left, right = _real("intervals", index.left), _real("intervals", index.right)
        return left, right, [str(index.closed)] * len(left)
    if getattr(getattr(index, "dtype", None), "kind", None) == "O":
        # An Index of Interval objects that pandas could not unite (closed on different
        # sides, say), or of anything else.
        ends: List[Tuple[float, float]] = []
        sides: List[str] = []
        for k, item in enumerate(index):
            if all(hasattr(item, name) for name in ("left", "right", "closed")):
                try:
                    ends.append((float(item.left), float(item.right)))
                except (TypeError, ValueError):
                    raise InputError("dtype", argument="intervals", index=k,
                                     dtype=type(item.left).__name__, expected="real") from None
                sides.append(str(item.closed))
            elif item is None or item != item:  # None, NaN: no interval
                ends.append((np.nan, np.nan))
                sides.append("")
            else:
                raise InputError("series_index", argument="histogram",
                                 index_type=f"{type(item).__name__} values")
        array = np.array(ends, dtype=np.float64).reshape(-1, 2)
        return array[:, 0], array[:, 1], sides
    raise InputError("series_index", argument="histogram",
                     index_type=f"{type(index).__name__} of {getattr(index, 'dtype', '?')}")


def _series_counts(series: Any) -> Float64Array:
    # Only booleans, integers and reals, NumPy's or pandas' own (nullable) ones: pandas
    # would turn complex counts into their real parts, and strings into the numbers
    # they spell.
    if getattr(series.dtype, "kind", "O") not in "biuf":
        raise InputError("dtype", argument="counts", dtype=str(series.dtype), expected="real")
    try:
        counts: Float64Array = np.asarray(series.to_numpy(dtype="float64", na_value=np.nan),
                                          dtype=np.float64)
    except (TypeError, ValueError):
        raise InputError("dtype", argument="counts", dtype=str(series.dtype),
                         expected="real") from None
    return counts


def _first(mask: Any) -> Optional[int]:
    hits = np.flatnonzero(mask)
    return int(hits[0]) if hits.size else None


def _labelled(index: Any) -> bool:
    """Whether a pandas index holds text labels (brackets such as "$10,000 to $14,999")."""
    return not _holds_intervals(index) and len(index) > 0 and \
        all(isinstance(item, str) for item in index)


def _from_labels(series: Any) -> Tuple[Float64Array, Float64Array]:
    """Counts and edges of a Series indexed by bracket labels, read as
    :func:`zelvane.read_table` reads a table's labels (a total among them left out), in
    the order of the labels."""
    try:
        edges, kept = bracket_edges(list(series.index))
    except TableError as error:
        raise InputError("series_labels", argument="histogram",
                         place=error.where or "labels", text=error.text) from None
    counts = _series_counts(series)[kept]
    k = _first(~np.isfinite(counts))
    if k is not None:
        raise InputError("not_finite", argument="counts", index=kept[k], value=counts[k])
    k = _first(counts < 0)
    if k is not None:
        raise InputError("negative", argument="counts", index=kept[k], value=counts[k])
    return counts, np.array(edges, dtype=np.float64)


def _from_series(series: Any) -> Tuple[Float64Array, Float64Array]:
    """Counts and edges of a Series indexed by intervals, in the order of the intervals,
    or by bracket labels, in the order of the labels."""
    if _labelled(series.index):
        return _from_labels(series)
    left, right, sides = _interval_ends(series.index)
    counts = _series_counts(series)
    k = _first(np.isnan(left) | np.isnan(right))
    if k is not None:
        raise InputError("missing_interval", argument="intervals", index=k)
    k = _first(np.isnan(counts))
    if k is not None:
        raise InputError("missing_count", argument="counts", index=k,
                         interval=_interval_text(left[k], right[k], sides[k]))
    k = _first(~np.isfinite(counts))
    if k is not None:
        raise InputError("not_finite", argument="counts", index=k, value=counts[k])
    k = _first(counts < 0)
    if k is not None:
        raise InputError("negative", argument="counts", index=k, value=counts[k])
    texts = [_interval_text(a, b, side) for a, b, side in zip(left, right, sides)]
    k = _first(np.array([side != sides[0] for side in sides], dtype=bool))
    if k is not None:
        raise InputError("interval_closed", argument="intervals", index=k, interval=texts[k],
                         closed_text=_CLOSED_TEXT.get(sides[k], sides[k]),
                         first_interval=texts[0])
    k = _first(~(left < right))
    if k is not None:
        raise InputError("interval_empty", argument="intervals", index=k, interval=texts[k])
    if len(left) == 0:
        return counts, np.zeros(0)
    order = np.argsort(left, kind="stable")
    _check_contiguous(left[order], right[order], order, texts, sides[0])
    edges = np.concatenate((left[order], right[order][-1:]))
    return counts[order], edges


def _check_contiguous(left: Float64Array, right: Float64Array, order: Any,
                      texts: Sequence[str], closed: str) -> None:
    """Every interval, in the order of their left ends, ends where the next one starts."""
    for position in range(len(left) - 1):
        end, start = right[position], left[position + 1]
        if end == start and closed != "both":
            continue
        here, after = int(order[position]), int(order[position + 1])
        fields: Dict[str, Any] = dict(argument="intervals", index=here, interval=texts[here],
                                      next_interval=texts[after])
        if end < start:
            raise InputError("interval_gap", end=_number_text(end),
                             next_start=_number_text(start), **fields)
        if end > start:
            raise InputError("interval_overlap", **fields)
        raise InputError("interval_shared", end=_number_text(end), **fields)


# -- histogram objects ------------------------------------------------------

def _from_uhi(histogram: Any) -> Tuple[Float64Array, Float64Array]:
    """Counts and edges of a 1-D histogram of the UHI plotting protocol. Its flow bins are
    not part of ``values()`` and stay out."""
    axes = histogram.axes
    if len(axes) != 1:
        raise InputError("histogram_ndim", argument="histogram", ndim=len(axes))
    kind = getattr(histogram, "kind", None)
    if getattr(kind, "value", kind) == "MEAN":
        raise InputError("histogram_mean", argument="histogram")
    axis = axes[0]
    traits = getattr(axis, "traits", None)
    # boost-histogram says whether the bins are ordered; the protocol only whether they
    # are discrete, which an integer axis is too, so that alone decides where it is all.
    ordered = getattr(traits, "ordered", None)
    if ordered is False or (ordered is None and getattr(traits, "discrete", False)):
        raise InputError("histogram_categories", argument="histogram")
    return _real("counts", histogram.values()), _real("edges", axis.edges)


# -- densities ----------------------------------------------------------------

def _widths(edges: Float64Array) -> Float64Array:
    """The widths of the bins between `edges` (NaN between two infinite edges alike)."""
    with np.errstate(invalid="ignore"):
        widths: Float64Array = edges[1:] - edges[:-1]
    return widths


def _looks_like_density(values: Float64Array, edges: Float64Array) -> bool:
    """Whether `values` over the bins between `edges` read as a density: not whole
    numbers, and times the widths they sum to 1. Where every width is 1 a density is its
    masses, and reading it either way gives the same fit."""
    if not np.isfinite(values).all() or (np.floor(values) == values).all():
        return False
    widths = _widths(edges)
    if not np.isfinite(widths).all() or (widths == 1).all():
        return False
    return bool(abs(float(np.sum(values * widths)) - 1.0) <= _DENSITY_TOTAL)


def bin_masses(values: Float64Array, edges: Float64Array, density: Any,
               smoothing: Union[str, float], sample_size: Any) -> Float64Array:
    """The masses of the bins of a histogram: its `values`, or where `density` is true
    (as ``numpy.histogram(..., density=True)`` gives them) the values times the widths of
    their bins.

    Raises
    ------
    zelvane.InputError
        For a `density` that is not a bool (``"type"``); with ``density=True``, an open
        end (``"density_open"``: a density over an infinite bin gives it no mass) and a
        smoothing without the `sample_size` behind the densities
        (``"density_needs_sample_size"``); without it, values that look like densities
        (``"looks_like_density"``: not whole numbers, and times the widths they sum to
        1), which the fit would otherwise read as masses. Values and edges of other
        shapes are left to the checks of the fit.
    """
    if not isinstance(density, (bool, np.bool_)):
        raise InputError("type", argument="density", expected="bool",
                         type_name=type(density).__name__)
    if not (values.ndim == 1 and edges.shape == (values.shape[0] + 1,)):
        return values
    if not density:
        if _looks_like_density(values, edges):
            raise InputError("looks_like_density", argument="counts")
        return values
    widths = _widths(edges)
    for index in (0, edges.shape[0] - 1):
        if np.isinf(edges[index]):
            raise InputError("density_open", argument="edges", index=index,
                             value=edges[index])
    if not (widths > 0).all():
        # Edges out of order: refused by the fit's checks, which name them.
        return values
    if sample_size is None and check_smoothing(smoothing) != 0.0:
        raise InputError("density_needs_sample_size", argument="sample_size",
                         given=repr(smoothing))
    masses: Float64Array = values * widths
    return masses
