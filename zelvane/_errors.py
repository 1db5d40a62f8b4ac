"""The package's exception for bad input: :class:`InputError`, a ValueError that
is data.

An InputError says what is wrong (``problem``, a short key), with which
argument, where (``index`` within a row, ``row`` of a batch) and the offending
``value``, with any further named details that its message needs. The message
is made from those fields by the template of its problem in :data:`TEMPLATES`,
so a program that handles the error (the command line, which turns an index
into a line of its input file, say) reads the fields and never the text.

Every number is held as a plain Python ``int`` or ``float`` (a NumPy scalar
given is converted, a float32 to the shortest decimal that reads back as it),
so that messages print ``1.0``, never ``np.float32(1.0)``, on every NumPy.
Nothing here imports NumPy.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Mapping, Optional, Tuple

__all__ = ["InputError", "ExtrapolationWarning", "TEMPLATES"]

#: The message of every problem, filled in by ``str.format`` from the error's
#: fields, its details and the phrases of :data:`PHRASES`.
TEMPLATES: Dict[str, str] = {
    # The values of an array.
    "not_finite": "{where} is {value}, not a finite number",
    "overflow": "{where} = {value} is too large for {dtype}",
    "not_increasing": "{argument} must be strictly increasing: {where} = {value} is not above "
                      "{previous_where} = {previous}",
    "negative": "{where} = {value} is negative",
    "all_zero": "{where} are all zero: a density needs a positive total mass",
    # The form of an array.
    "dtype": "{argument} must hold {expected_values}, not {dtype} values",
    "masked": "{where} is masked: masks are not honoured, so fill or compress {argument} first "
              "(numpy.ma.filled, or .compressed() for one histogram)",
    "ragged": "{argument} is ragged: its rows (or other nested sequences) differ in length",
    "ndim": "{argument} must be {dims}{for_other}, not {ndim}-D",
    "too_short": "{argument} must hold at least {minimum_items}{each_row}, not {length}",
    "length": "{argument} must have {length_rule} = {expected} elements{each_row}, not {length}",
    "shape": "{argument} must have shape {shapes}{for_other_shape}, not {shape}",
    "not_contiguous": "{argument} must be C-contiguous",
    "read_only": "{argument} must be writable",
    "unknown_length": "{argument} must have a known number of masses per row",
    "unknown_rows": "{argument} must have a known number of rows, one for each row of {other}",
    "with_dask": "{argument} cannot be given with a Dask array of masses",
    # Options.
    "choice": "{argument} must be {choices_text}, not {given}",
    "type": "{argument} must be of type {expected}, not {type_name}",
    "out_of_range": "{argument} must be {range_text}, not {value}",
    "needs_row": "{argument} must say which of the {rows} histograms of the fit to take",
    "one_histogram": "{argument} must be None for the fit of one histogram, not {value}",
    # What a fit finds.
    "too_narrow": "the interval from {where} to {next_where} cannot be cut into {refine} "
                  "sub-intervals of positive finite width",
    "magnitude": "{where}: the smooth fit is beyond float64's range: the total width, the total "
                 "mass, the mean density or the ratio of the widths is too extreme",
    "infeasible": "{where}: no non-negative density that is linear between the centres has "
                  "these masses; refine=2 or more always has one",
    "ill_conditioned": "{where}: the smooth fit cannot meet these masses on these edges even in "
                       "double-double precision: the bins' widths span {width_decades:.3g} "
                       "decades and their positive masses {mass_decades:.3g} decades; merge the "
                       "narrowest bins into their neighbours or drop the masses far below "
                       "the rest",
    "unresolved_smoothing": "{where}: the counts-aware fit cannot resolve smoothing={smoothing:.3g} "
                            "at refine={refine} on these edges in float64: the bins' widths span "
                            "{width_decades:.3g} decades, and the narrowest cut {refine} times "
                            "bends too steeply beside the widest; use a lower refine, a smaller "
                            "smoothing, or merge the narrowest bins into their neighbours",
    "unconfirmed_counts_fit": "{where}: the counts-aware fit could not confirm its answer at "
                              "refine={refine} on these edges: the bins' widths span "
                              "{width_decades:.3g} decades and their positive counts "
                              "{count_decades:.3g} decades; use a lower refine, or merge the "
                              "narrowest bins into their neighbours",
    "fit_overflow": "the {method!r} fit of {row_where} has values beyond float32's range; its "
                    "densest interval is {where}, a mass of {value} over a width of {width}: "
                    "{overflow_remedy}",
    "negative_fit": "the {method!r} fit of these {argument} has negative values, first at index "
                    "{index} ({value:.7g}): it gives no density for them; try {others_text}",
    "open_rows": "{argument}: every row must have the same {side} edge open or closed, and "
                 "{where} differs from row 0",
    "mean_needs_tail": "{where} = {value} needs an open end with mass (a first edge of -inf or "
                       "a last of +inf, with a positive mass beyond it)",
    "needs_sample_size": "{argument} are not whole numbers, so not counts: smoothing={given} "
                         "needs the number of observations behind them as sample_size (or "
                         "smoothing=0 to meet them exactly)",
    "smooth_only": "{argument} is for the smooth fit, not method={method!r}: the smooth fit "
                   "alone smooths counts, fits tails beyond open ends and meets a mean",
    "unreachable_mean": "{where} = {value} is out of reach: with these masses and tails the "
                        "mean lies between {lowest} and {highest}{reach_note}",
    "empty_beside_tail": "{where} is empty beside an open bin with mass: a tail joined to the "
                         "density there starts at zero and carries nothing (counts, with "
                         "smoothing, can be fitted)",
    "span": "{argument} span [{first}, {last}], wider than float64 can measure",
    "zero_area": "{argument} enclose a total area of zero: a density needs at least one piece "
                 "with a positive value",
    "too_close": "{argument} [{first}, ..., {last}] are too close together for the density to "
                 "be held in float64",
    # Histograms held by other libraries (zelvane._inputs).
    "no_edges": "{argument} alone give no edges: pass the edges too, or the (counts, edges) of "
                "numpy.histogram, a pandas Series indexed by intervals or a histogram object",
    "edges_twice": "edges are given twice: the {type_name} holds its own",
    "histogram_type": "{argument} must be counts with edges, a pandas Series indexed by intervals "
                      "or a histogram object with values() and axes, not {type_name}",
    "series_index": "{argument} must be a pandas Series indexed by intervals (as pandas.cut "
                    "makes them), not by {index_type}",
    "series_labels": "{argument}'s index is read as bracket labels (such as \"10 to 19\", "
                     "\"under 10\", \"85+\"), and its {place}: {text}",
    "missing_interval": "{where} is missing: every count needs its interval",
    "missing_count": "{where}, the count of {interval}, is missing",
    "interval_closed": "{where} = {interval} is {closed_text}, unlike {first_interval}: every "
                       "interval must be closed on the same side",
    "interval_empty": "{where} = {interval} is empty: its left end must lie below its right end",
    "interval_gap": "{where} = {interval} ends at {end}, but the next interval, {next_interval}, "
                    "starts at {next_start}: the intervals must be contiguous (a groupby drops "
                    "empty intervals unless given observed=False)",
    "interval_overlap": "{where} = {interval} overlaps the next interval, {next_interval}",
    "interval_shared": "{where} = {interval} and the next interval, {next_interval}, both hold "
                       "{end}: intervals closed on both sides count their shared ends twice",
    "histogram_ndim": "{argument} has {ndim} axes: a density is fitted to a 1-D histogram "
                      "(project it onto one axis first)",
    "histogram_mean": "{argument} holds means, not counts: its storage must count or sum weights",
    "histogram_categories": "{argument} has an axis of categories: a density needs bins that "
                            "are intervals of a number",
    # Confidence intervals.
    "level": "{argument} must lie strictly between 0 and 1, not {value}",
    "needs_mean": "{argument} = {value} is the standard error of a mean: give the mean too",
    "no_source": "{argument}: this density was {made}, so it knows nothing of the data behind "
                 "it; fit it with PiecewiseLinearDensity.from_histogram (or from_masses with "
                 "the smooth method) to get intervals",
    # A pickled density, checked as it is loaded.
    "pickle_state": "a pickled PiecewiseLinearDensity holds a dict of its fields, not a "
                    "{type_name}",
    "pickle_format": "a pickled PiecewiseLinearDensity of format {given} cannot be read: this "
                     "version of zelvane reads formats {known_text}",
    "pickle_missing": "a pickled PiecewiseLinearDensity of format {layout} lacks its field "
                      "{argument!r}",
    "pickle_mismatch": "{where} = {value} of a pickled PiecewiseLinearDensity does not agree "
                       "with its knots and values: the pickle was changed",
    # Densities rather than counts (zelvane._inputs.bin_masses).
    "looks_like_density": "{argument} look like densities, not counts: they are not whole "
                          "numbers, and times the widths of their bins they sum to 1, as "
                          "numpy.histogram(..., density=True) gives them; pass density=True "
                          "(and the number of observations as sample_size to smooth them)",
    "density_needs_sample_size": "density=True: densities do not say how many observations "
                                 "lie behind them, and smoothing={given} needs that number as "
                                 "{argument} (or smoothing=0 to meet the bins' masses exactly)",
    "density_open": "{where} = {value}: density=True needs finite edges, a density over an "
                    "open bin gives it no mass",
    # The tails of a density.
    "not_positive": "{where} = {value} is not positive",
    "tail_joint": "{argument} = {value} must be the {end} knot, {knot}",
    "pareto_joint": "{argument} is 'pareto', which needs a joint above 0, not {value}; "
                    "use 'exponential' there",
    "tail_uncarried": "{where} = {value}: the open bin's mass cannot be carried by a tail "
                      "within its bounds ({bounds}), as its neighbour holds too little of the "
                      "mass for a tail joined to the density there; close the open end at a "
                      "finite edge ({closer}=) or fit counts with smoothing",
    "not_open": "{argument} = {value} closes an open end, but the {end} edge is {edge}",
    "tail_closed": "{argument} = {value} is for an open end, but the {end} edge is closed",
    "bottom_open": "{argument} = {value} shapes a closed first bin, but the first edge is "
                   "open (-inf): its bin is a tail's",
    "closing_edge": "{argument} = {value} must lie {side} the {end} finite edge, {edge}",
    "tail_with_mean": "tail = {value} fixes the parameter of the {end} tail, which the mean "
                      "sets: give one or the other",
}

# What the smallest lengths are called in messages.
_MINIMUM_ITEMS = {1: "one mass", 2: "two values"}
# What the element types that an argument may be asked to hold are called.
_EXPECTED_VALUES = {"real": "real numbers", "float32": "float32 in native byte order",
                    "float64": "float64 in native byte order"}
# What the lowest value of a range means, where it means more than a number.
_RANGE_NOTES: Dict[Tuple[Optional[str], Any], str] = {("workers", 0): " (one per core)"}


def _place(argument: Optional[str], row: Optional[int], index: Optional[int]) -> str:
    """``gap``, ``gap[3]``, ``gap[2, 3]`` or ``gap[2]`` (a whole row)."""
    position = [str(i) for i in (row, index) if i is not None]
    name = argument if argument is not None else "input"
    return f"{name}[{', '.join(position)}]" if position else name


def _shape_text(shape: Any) -> str:
    return str(tuple(shape))


def _choices_text(choices: Tuple[Any, ...]) -> str:
    quoted = [repr(choice) for choice in choices]
    if len(quoted) <= 2:
        return " or ".join(quoted)
    return "one of " + ", ".join(quoted)


def _range_text(f: Mapping[str, Any]) -> str:
    low = f["minimum"]
    note = _RANGE_NOTES.get((f.get("argument"), low), "")
    if f.get("maximum") is None:
        # A minimum that is excluded itself (a positive number) is a bound to be above.
        return f"above {low}{note}" if f.get("exclusive") else f"{low}{note} or more"
    return f"from {low}{note} to {f['maximum']}"


def _minimum_items(f: Mapping[str, Any]) -> str:
    if f.get("finite"):
        # Masses beside open ends: one for each open bin and one between finite edges.
        opens = f["minimum"] - 1
        return (f"{f['minimum']} masses (one for {'each' if opens > 1 else 'the'} open bin "
                f"and one between finite edges)")
    return _MINIMUM_ITEMS.get(f["minimum"], f"{f['minimum']} values")


def _each_row(f: Mapping[str, Any]) -> str:
    if not f.get("per_row"):
        return ""
    return f" per row of {f['other']}" if f.get("other") and f.get("argument") != f["other"] \
        else " per row"


def _shapes(f: Mapping[str, Any]) -> str:
    expected = f["expected"]
    if expected and all(isinstance(part, tuple) for part in expected):
        return " or ".join(_shape_text(shape) for shape in expected)
    return _shape_text(expected)


def _overflow_remedy(f: Mapping[str, Any]) -> str:
    if f.get("others"):
        return f"try {_methods_text(f['others'])}, or scale the {f['argument']} down"
    return f"scale the {f['argument']} down, or fit them in float64 with zelvane.fit_smooth"


def _reach_note(f: Mapping[str, Any]) -> str:
    """Why exact masses reach no further, and for counts what would."""
    if not f.get("exact"):
        return ""
    note = ("; with exact masses (smoothing=0) every bin keeps its mass, and the smooth "
            "shape within the bins with a tail within its bounds reaches no further")
    if f.get("counts"):
        note += (" (counts of a sample can: smoothing='auto' lets the fitted masses move "
                 "for the mean as far as the likelihood allows)")
    return note


def _methods_text(methods: Tuple[Any, ...]) -> str:
    return " or ".join(f"method={m!r}" for m in methods)


#: Phrases that templates use, made from the fields.
PHRASES: Dict[str, Callable[[Mapping[str, Any]], str]] = {
    "where": lambda f: _place(f.get("argument"), f.get("row"), f.get("index")),
    "previous_where": lambda f: _place(f.get("argument"), f.get("row"), f["index"] - 1),
    "next_where": lambda f: _place(f.get("argument"), f.get("row"), f["index"] + 1),
    "dims": lambda f: " or ".join(f"{n}-D" for n in f["allowed"]),
    "for_other": lambda f: (f" for a {f['other_ndim']}-D {f['other']}"
                            if f.get("other_ndim") is not None else ""),
    "minimum_items": _minimum_items,
    "each_row": _each_row,
    "length_rule": lambda f: f"len({f['other']})" + (f" + {f['offset']}" if f.get("offset") else ""),
    "shapes": _shapes,
    "for_other_shape": lambda f: (f" for {f['other']} of shape {_shape_text(f['other_shape'])}"
                                  if f.get("other_shape") is not None else ""),
    "expected_values": lambda f: _EXPECTED_VALUES[f["expected"]],
    "choices_text": lambda f: _choices_text(f["choices"]),
    "range_text": _range_text,
    "others_text": lambda f: _methods_text(f["others"]),
    "known_text": lambda f: " and ".join(str(k) for k in f["known"]),
    "row_where": lambda f: _place(f.get("argument"), f.get("row"), None),
    "overflow_remedy": _overflow_remedy,
    "reach_note": _reach_note,
}


class _Texts(Dict[str, Any]):
    """The fields for ``str.format_map``: their values, then the phrases made from them."""

    def __missing__(self, key: str) -> Any:
        if key in PHRASES:
            return PHRASES[key](self)
        raise KeyError(key)


def plain(value: Any) -> Any:
    """`value` as a plain Python object: a NumPy integer, boolean or float as ``int``,
    ``bool`` or ``float`` (float32 and float16 by their shortest decimal, so that
    ``np.float32(0.1)`` gives ``0.1``), a tuple or list as a tuple of plain values."""
    if value is None or type(value) in (bool, int, float, str):
        return value
    if isinstance(value, (tuple, list)):
        return tuple(plain(part) for part in value)
    dtype = getattr(value, "dtype", None)
    if dtype is not None and getattr(value, "ndim", None) == 0:
        if dtype.kind == "f":
            # str() of a NumPy float is its shortest round-tripping decimal, on every NumPy.
            return float(str(value)) if dtype.itemsize < 8 else float(value)
        if dtype.kind in "iu":
            return int(value)
        if dtype.kind == "b":
            return bool(value)
    for kind in (bool, int, float, str):
        if isinstance(value, kind):
            return kind(value)
    raise TypeError(f"not a plain value for an InputError: {type(value).__name__}")


def _rebuild(problem: str, fields: Dict[str, Any]) -> InputError:
    return InputError(problem, **fields)


class InputError(ValueError):
    """Bad input, described by fields from which its one-line message is made.

    Parameters
    ----------
    problem : str
        What is wrong: a key of :data:`TEMPLATES`, such as ``"not_finite"``,
        ``"not_increasing"``, ``"negative"``, ``"length"``, ``"ndim"``,
        ``"dtype"``, ``"all_zero"`` or ``"out_of_range"``.
    argument : str, optional
        The name of the argument at fault, e.g. ``"gap"``, ``"center"``,
        ``"refine"``, ``"workers"`` or ``"out"``.
    index : int, optional
        The position of the offending element within its row.
    row : int, optional
        The row of a batch that holds it (numbered in the whole batch); None
        for one histogram and for an argument that every row shares.
    value : int or float, optional
        The offending value.
    **details
        Further named values that the problem's message needs, kept in
        ``details``.

    Examples
    --------
    >>> from zelvane import InputError
    >>> error = InputError("not_finite", argument="gap", index=2, row=5, value=float("nan"))
    >>> print(error)
    gap[5, 2] is nan, not a finite number
    >>> error.problem, error.argument, error.index, error.row
    ('not_finite', 'gap', 2, 5)
    """

    # Shown as zelvane.InputError, where users find it.
    __module__ = "zelvane"

    problem: str
    argument: Optional[str]
    index: Optional[int]
    row: Optional[int]
    value: Any
    details: Dict[str, Any]

    def __init__(self, problem: str, *, argument: Optional[str] = None,
                 index: Optional[int] = None, row: Optional[int] = None, value: Any = None,
                 **details: Any) -> None:
        if problem not in TEMPLATES:
            raise TypeError(f"unknown problem for an InputError: {problem!r}")
        clash = set(details) & set(PHRASES)
        if clash:
            raise TypeError(f"details named like phrases of the message: {sorted(clash)}")
        self.problem = problem
        self.argument = argument
        self.index = None if index is None else int(index)
        self.row = None if row is None else int(row)
        self.value = plain(value)
        self.details = {name: plain(detail) for name, detail in details.items()}
        texts = _Texts(self.details)
        texts.update(argument=argument, index=self.index, row=self.row, value=self.value)
        super().__init__(TEMPLATES[problem].format_map(texts))

    def fields(self) -> Dict[str, Any]:
        """Every field but the problem, as keyword arguments of the constructor."""
        return {"argument": self.argument, "index": self.index, "row": self.row,
                "value": self.value, **self.details}

    def replaced(self, **changes: Any) -> InputError:
        """The same error with some fields changed, e.g. the argument named as the
        caller knows it, or the row as a whole batch numbers it."""
        return InputError(self.problem, **{**self.fields(), **changes})

    def shifted(self, rows: int) -> InputError:
        """The error of a block of rows as the whole batch numbers them: its row
        counted `rows` further on. An error without a row is returned as it is."""
        return self if self.row is None else self.replaced(row=self.row + rows)

    def __reduce__(self) -> Tuple[Any, ...]:
        return _rebuild, (self.problem, self.fields())

    def __repr__(self) -> str:
        given = ", ".join(f"{name}={value!r}" for name, value in self.fields().items()
                          if value is not None)
        return f"InputError({self.problem!r}{', ' if given else ''}{given})"


class ExtrapolationWarning(UserWarning):
    """A result rests on an extrapolation that the data barely support: a tail's
    parameter at a bound of its range, or an open bin so large that the tail beyond it
    carries much of the mean. The fit is made; its tail (``chosen``) says how."""

    __module__ = "zelvane"


# The class is shown as zelvane.InputError, so doctest would not look for its
# examples here without being pointed at them.
__test__ = {"InputError": InputError}
