"""zelvane.InputError: the fields of every kind of bad input, from the Python layer and
from rows that the rows module could not fit alike (its own guards raise plain errors);
plain values in fields and messages whatever NumPy gives; pickling; the messages made
from the fields alone."""

import copy
import pickle
import warnings

import boost_histogram as bh
import numpy as np
import pandas as pd
import pytest

import zelvane
import zelvane._fit
import zelvane._rows as rows
from zelvane import _native
from zelvane import InputError, PiecewiseLinearDensity
from zelvane import PiecewiseLinearDensity as Density
from zelvane._errors import TEMPLATES
from zelvane._inputs import counts_and_edges

NAN = float("nan")
C5 = [0.0, 1.0, 2.0, 3.0, 4.0]
G4 = [0.5, 1.0, 0.2, 0.7]
F32, F64 = np.float32, np.float64


def read_only(array):
    array.flags.writeable = False
    return array


def unknown_rows():
    """Masses in a Dask array whose number of rows is known only once computed."""
    import dask.array as da

    masses = da.from_array(np.ones((4, 4)), chunks=2)
    return masses[masses[:, 0] > 0]


# (call, problem, argument, index, row, value, details that must be there)
CASES = {
    # The values of one histogram and of a batch.
    "nan mass": (lambda: zelvane.fit_density(C5, [0.1, 0.2, NAN, 0.3]),
                 "not_finite", "gap", 2, None, NAN, {}),
    "masked mass": (lambda: zelvane.fit_density(C5, np.ma.masked_array(G4, mask=[0, 0, 1, 0])),
                    "masked", "gap", 2, None, None, {}),
    "inf in a batch": (lambda: zelvane.fit_density(C5, [G4, G4, [1, 1, 1, np.inf]]),
                       "not_finite", "gap", 3, 2, float("inf"), {}),
    "nan in a row's centres": (lambda: zelvane.fit_density([C5, [0, 1, NAN, 3, 4]], [G4, G4]),
                               "not_finite", "center", 2, 1, NAN, {}),
    "overflow": (lambda: zelvane.fit_density(C5, [0.1, 1e39, 0, 0]),
                 "overflow", "gap", 1, None, 1e39, {"dtype": "float32"}),
    "descending": (lambda: zelvane.fit_density([0, 1, 2, 1.5, 4], G4),
                   "not_increasing", "center", 3, None, 1.5, {"previous": 2.0}),
    "equal in float32": (lambda: zelvane.fit_density([0, 0.1, 0.1 + 1e-10, 3, 4], G4),
                         "not_increasing", "center", 2, None, 0.1, {"previous": 0.1}),
    "descending in a row": (lambda: zelvane.fit_density([C5, [0, 1, 2, 4, 3]], [G4, G4]),
                            "not_increasing", "center", 4, 1, 3.0, {"previous": 4.0}),
    "shared centres of a batch": (lambda: zelvane.fit_density([0, 2, 1, 3, 4], [G4, G4]),
                                  "not_increasing", "center", 2, None, 1.0, {}),
    "negative": (lambda: zelvane.fit_smooth(C5, [0.5, -1.0, 0.2, 0.7]),
                 "negative", "gap", 1, None, -1.0, {}),
    "negative in a batch": (lambda: zelvane.fit_smooth(C5, [G4, [1, 1, 1, -0.25]]),
                            "negative", "gap", 3, 1, -0.25, {}),
    "all zero": (lambda: zelvane.fit_smooth(C5, [0, 0, 0, 0]), "all_zero", "gap", None, None, None,
                 {}),
    "all zero in a batch": (lambda: zelvane.fit_smooth(C5, [G4, G4, np.zeros(4)]),
                            "all_zero", "gap", None, 2, None, {}),
    # Forms and options.
    "length": (lambda: zelvane.fit_density(C5[:4], G4), "length", "center", None, None, None,
               {"length": 4, "expected": 5}),
    "ndim": (lambda: zelvane.fit_density(C5, np.ones((1, 1, 4))), "ndim", "gap", None, None, None,
             {"ndim": 3, "allowed": (1, 2)}),
    "dtype": (lambda: zelvane.fit_density([0, 1j, 2, 3, 4], G4), "dtype", "center", None, None,
              None, {"dtype": "complex128"}),
    "ragged": (lambda: zelvane.fit_density(C5, [G4, [1.0, 2.0]]), "ragged", "gap", None, None,
               None, {}),
    "too short": (lambda: zelvane.fit_density(C5, np.zeros((2, 0))), "too_short", "gap", None,
                  None, None, {"length": 0, "minimum": 1}),
    "shape": (lambda: zelvane.fit_density(np.ones((2, 5)), np.ones((3, 4))), "shape", "center",
              None, None, None, {"shape": (2, 5), "expected": ((5,), (3, 5))}),
    "method": (lambda: zelvane.fit_density(C5, G4, method="smooth"), "choice", "method", None,
               None, None, {"given": "'smooth'", "choices": ("iterative", "exact")}),
    "workers": (lambda: zelvane.fit_density(C5, G4, workers=-1), "out_of_range", "workers", None,
                None, -1, {"minimum": 0, "maximum": 1024}),
    "workers huge": (lambda: zelvane.fit_density(C5, G4, workers=2 ** 63), "out_of_range",
                     "workers", None, None, 2 ** 63, {"minimum": 0, "maximum": 1024}),
    "workers bool": (lambda: zelvane.fit_smooth(C5, G4, workers=True), "type", "workers", None,
                     None, None, {"type_name": "bool"}),
    "refine bool": (lambda: zelvane.fit_smooth(C5, G4, refine=True), "type", "refine", None,
                    None, None, {"type_name": "bool"}),
    "workers type": (lambda: zelvane.fit_smooth(C5, G4, workers=1.5), "type", "workers", None,
                     None, None, {"type_name": "float"}),
    "refine": (lambda: zelvane.fit_smooth(C5, G4, refine=0), "out_of_range", "refine", None, None,
               0, {"minimum": 1, "maximum": 256}),
    "out shape": (lambda: zelvane.fit_density(C5, G4, out=np.empty(6, F32)), "shape", "out", None,
                  None, None, {"shape": (6,), "expected": (5,)}),
    "out strided": (lambda: zelvane.fit_density(C5, G4, out=np.empty(10, F32)[::2]),
                    "not_contiguous", "out", None, None, None, {}),
    "out read-only": (lambda: zelvane.fit_density(C5, G4, out=read_only(np.empty(5, F32))),
                      "read_only", "out", None, None, None, {}),
    "out dtype": (lambda: zelvane.fit_density(C5, G4, out=np.empty(5)), "dtype", "out", None,
                  None, None, {"dtype": "<f8", "expected": "float32"}),
    # A zero width never reaches the native fit: the checks refuse it first.
    "zero width in a row": (lambda: zelvane.fit_density([[0, 1, 2, 3], [0, 1, 1, 2]],
                                                        np.ones((2, 3)), method="exact"),
                            "not_increasing", "center", 2, 1, 1.0, {"previous": 1.0}),
    # What the smooth fit finds, raised by the rows module.
    "infeasible": (lambda: zelvane.fit_smooth(C5, [G4, [1, 1, 1, 1], G4], refine=1),
                   "infeasible", "gap", None, 0, None, {"refine": 1}),
    "too narrow": (lambda: zelvane.fit_smooth([0, 1, 1 + 2.0 ** -52, 3, 4], G4),
                   "too_narrow", "center", 1, None, None, {"refine": 4}),
    "magnitude": (lambda: zelvane.fit_smooth([0, 1, 2, 3, 1e70], G4), "magnitude", "gap", None,
                  None, None, {}),
    "ill conditioned": (lambda: zelvane.fit_smooth([0, 1.5593491512827684e-10, 0.021930835719783021,
                                                    0.022028625697899321, 0.036784360319445035,
                                                    0.03691750458267528, 0.03844033714300317],
                                                   [1, 1, 1, 1, 0, 0], refine=2),
                        "ill_conditioned", "gap", None, None, None, {"mass_decades": 0.0}),
    # A counts-aware fit whose lambda float64 cannot resolve on a bin 1e-6 of the others.
    "unresolved smoothing": (lambda: Density.from_histogram([5, 1, 5, 3], [0, 1, 1 + 1e-6, 2, 3],
                                                            refine=64, smoothing=1.0),
                             "unresolved_smoothing", "edges", None, None, None,
                             {"refine": 64, "smoothing": 1.0}),
    # The density.
    "zero area": (lambda: Density([0, 1, 2], [0, 0, 0]), "zero_area", "values", None, None, None,
                  {}),
    "span": (lambda: Density([-1e308, 1e308], [1, 1]), "span", "knots", None, None, None,
             {"first": -1e308, "last": 1e308}),
    "too close": (lambda: Density([0, 1e-310], [1, 1]), "too_close", "knots", None, None, None,
                  {}),
    "density method": (lambda: Density.from_masses(C5, G4, "smoothest"), "choice", "method", None,
                       None, None, {"choices": ("smooth", "iterative", "exact")}),
    "negative fit": (lambda: Density.from_histogram([0.5, 1.0, 0.2, 0.7], C5, method="exact"),
                     "negative_fit", "counts", 3, None, None,
                     {"method": "exact", "others": ("smooth", "iterative")}),
    "fit overflow": (lambda: Density.from_masses([0, 1e-3, 2e-3], [3e38, 3e38], "iterative"),
                     "fit_overflow", "gap", 0, None, None, {"method": "iterative"}),
    "fit overflow of counts": (lambda: Density.from_histogram([1e33, 2e33], [0, 1e-6, 2e-6],
                                                              "exact"),
                               "fit_overflow", "counts", 1, None, 2e33,
                               {"method": "exact", "others": ("smooth", "iterative")}),
    "evaluated points": (lambda: Density([0, 1], [1, 1]).cdf(["a"]), "dtype", "x", None, None,
                         None, {"dtype": "<U1"}),
    # Open ends and a known mean.
    "open in one row": (lambda: zelvane.fit_smooth([[0, 1, np.inf], [0, 1, 2]], [[1, 1], [1, 1]]),
                        "open_rows", "center", None, 1, None, {"side": "last"}),
    "sample size of zero": (lambda: zelvane.fit_smooth(C5, G4, smoothing="auto", sample_size=0),
                            "out_of_range", "sample_size", None, None, 0.0,
                            {"minimum": 0, "exclusive": True}),
    "open ends without a bin between": (lambda: zelvane.fit_smooth([-np.inf, np.inf], [1.0]),
                                        "too_short", "gap", None, None, None,
                                        {"length": 1, "minimum": 3, "finite": True}),
    "mean without tail": (lambda: zelvane.fit_smooth([0, 1, 2, np.inf], [[1, 1, 0], [1, 1, 1]],
                                                     mean=[2.0, 2.0]),
                          "mean_needs_tail", "mean", None, 0, 2.0, {}),
    "shares without a sample size": (lambda: Density.from_masses(C5, G4, smoothing="auto"),
                                     "needs_sample_size", "gap", None, None, None, {}),
    "weights without a sample size": (lambda: Density.from_histogram(G4, C5),
                                      "needs_sample_size", "counts", None, None, None,
                                      {"smoothing": "auto"}),
    "mean with another method": (lambda: Density.from_masses(C5, G4, "exact", mean=2.0),
                                 "smooth_only", "mean", None, None, None, {"method": "exact"}),
    "mean out of reach": (lambda: zelvane.fit_smooth([0, 1, 2, np.inf], [[1, 1, 1], [1, 1, 1]],
                                                     mean=[np.nan, 0.5]),
                          "unreachable_mean", "mean", None, 1, 0.5, {"highest": float("inf")}),
    "empty bin beside a tail": (lambda: zelvane.fit_smooth([0, 1, 2, np.inf], [[1, 1, 1], [5, 0, 3]]),
                                "empty_beside_tail", "gap", 1, 1, None, {}),
    "open bin no tail can carry": (lambda: Density.from_masses([0, 10, 20, 30, np.inf],
                                                               [.01, .01, .01, .97]),
                                   "tail_uncarried", "gap", 3, None, 0.97, {"closer": "upper"}),
    "upper for a closed end": (lambda: Density.from_masses(C5, G4, upper=9.0),
                               "not_open", "upper", None, None, 9.0, {"end": "last"}),
    "upper inside the last bin": (lambda: Density.from_masses([0, 1, 2, np.inf], [1, 1, 1],
                                                              upper=1.5),
                                  "closing_edge", "upper", None, None, 1.5, {"edge": 2.0}),
    "tail for a closed end": (lambda: Density.from_masses(C5, G4, tail=("exponential", None)),
                              "tail_closed", "tail[0]", None, None, "exponential", {}),
    "bottom shape for an open first bin": (
        lambda: Density.from_masses([-np.inf, 0, 1, np.inf], [1, 1, 1], bottom="flat"),
        "bottom_open", "bottom", None, None, "'flat'", {}),
    "tail fixed where the mean sets it": (
        lambda: Density.from_masses([0, 1, 2, np.inf], [1, 1, 1], tail=2.0, mean=1.5),
        "tail_with_mean", "tail", None, None, 2.0, {"end": "right"}),
    "empty first bin beside a tail": (lambda: Density.from_masses([-np.inf, 0, 1, 2], [0.3, 0, 0.7]),
                                      "empty_beside_tail", "gap", 1, None, None, {}),
    "tail joint": (lambda: Density([0, 1], [1, 1], right_tail=zelvane.Tail("pareto", 2.0, 1, 2)),
                   "tail_joint", "right_tail.joint", None, None, 2.0, {"end": "last", "knot": 1.0}),
    "pareto joint": (lambda: Density([-2, 0], [1, 1], right_tail=zelvane.Tail("pareto", 0, 1, 2)),
                     "pareto_joint", "right_tail.kind", None, None, 0.0, {}),
    "pareto height at a joint of 0": (lambda: zelvane.Tail("pareto", 0.0, 1.0, 2.0).height,
                                      "pareto_joint", "kind", None, None, 0.0, {}),
    "exponential height without a scale": (
        lambda: zelvane.Tail("exponential", 1.0, 1.0, 0.0).height, "not_positive", "parameter",
        None, None, 0.0, {}),
    "joined without a parameter": (lambda: zelvane.Tail.joined("pareto", 10.0, 0.2, 0.0),
                                   "not_positive", "parameter", None, None, 0.0, {}),
    "joined pareto below 0": (lambda: zelvane.Tail.joined("pareto", -1.0, 0.2, 2.0),
                              "pareto_joint", "kind", None, None, -1.0, {}),
    "tail parameter": (lambda: Density([0, 1], [1, 1],
                                       left_tail=zelvane.Tail("exponential", 0, 1, -1.5)),
                       "not_positive", "left_tail.parameter", None, None, -1.5, {}),
    "rows of a Dask array unknown": (lambda: zelvane.fit_smooth(np.tile(C5, (4, 1)),
                                                                unknown_rows()),
                                     "unknown_rows", "center", None, None, None,
                                     {"other": "gap"}),
    # The density of one histogram of a smooth fit.
    "batch without a row": (lambda: zelvane.fit_smooth(C5, [G4, G4]).density(), "needs_row",
                            "row", None, None, None, {"rows": 2}),
    "row beyond the batch": (lambda: zelvane.fit_smooth(C5, [G4, G4]).density(2),
                             "out_of_range", "row", None, None, 2, {"minimum": 0, "maximum": 1}),
    "row of one histogram": (lambda: zelvane.fit_smooth(C5, G4).density(0), "one_histogram",
                             "row", None, None, 0, {}),
}

# Histograms held by other libraries: zelvane._inputs (tests/test_inputs.py has the rest).
_SERIES = pd.Series([1.0, 2.0], index=pd.IntervalIndex.from_breaks([0, 1, 2]))
CASES.update({
    "counts alone": (lambda: counts_and_edges([1, 2]), "no_edges", "counts", None, None, None,
                     {}),
    "edges twice": (lambda: counts_and_edges(_SERIES, [0, 1, 2]), "edges_twice", "edges", None,
                    None, None, {"type_name": "pandas.Series"}),
    "not a histogram": (lambda: counts_and_edges(object()), "histogram_type", "histogram", None,
                        None, None, {"type_name": "object"}),
    "series of numbers": (lambda: counts_and_edges(pd.Series([1.0])), "series_index",
                          "histogram", None, None, None, {}),
    "labels no brackets": (lambda: counts_and_edges(pd.Series([1.0], index=["one"])),
                           "series_labels", "histogram", None, None, None,
                           {"place": "label 0"}),
    "no interval": (lambda: counts_and_edges(pd.Series(pd.cut([5, 50], [0, 10])).value_counts(
        dropna=False)), "missing_interval", "intervals", 1, None, None, {}),
    "no count": (lambda: counts_and_edges(pd.Series([1.0, NAN], index=_SERIES.index)),
                 "missing_count", "counts", 1, None, None, {"interval": "(1, 2]"}),
    "mixed sides": (lambda: counts_and_edges(pd.Series([1, 2], index=pd.Index(
        [pd.Interval(0, 1), pd.Interval(1, 2, "left")]))), "interval_closed", "intervals", 1,
        None, None, {"closed_text": "closed on the left"}),
    "empty interval": (lambda: counts_and_edges(pd.Series([1], index=pd.IntervalIndex.from_tuples(
        [(1, 1)], "both"))), "interval_empty", "intervals", 0, None, None, {}),
    "gap": (lambda: counts_and_edges(pd.Series([1, 1], index=pd.IntervalIndex.from_tuples(
        [(0, 1), (2, 3)]))), "interval_gap", "intervals", 0, None, None, {"next_start": "2"}),
    "overlap": (lambda: counts_and_edges(pd.Series([1, 1], index=pd.IntervalIndex.from_tuples(
        [(0, 2), (1, 3)]))), "interval_overlap", "intervals", 0, None, None, {}),
    "shared end": (lambda: counts_and_edges(pd.Series([1, 1], index=pd.IntervalIndex.from_breaks(
        [0, 1, 2], "both"))), "interval_shared", "intervals", 0, None, None, {"end": "1"}),
    "2-D histogram": (lambda: counts_and_edges(bh.Histogram(bh.axis.Regular(1, 0, 1),
                                                            bh.axis.Regular(1, 0, 1))),
                      "histogram_ndim", "histogram", None, None, None, {"ndim": 2}),
    "histogram of means": (lambda: counts_and_edges(bh.Histogram(
        bh.axis.Regular(1, 0, 1), storage=bh.storage.Mean())), "histogram_mean", "histogram",
        None, None, None, {}),
    "histogram of categories": (lambda: counts_and_edges(bh.Histogram(bh.axis.IntCategory([3]))),
                                "histogram_categories", "histogram", None, None, None, {}),
})

# Confidence intervals (tests/test_confidence.py has the rest).
CASES.update({
    "level outside (0, 1)": (lambda: zelvane.margin_to_se(1.0, level=1.5), "level", "level",
                             None, None, 1.5, {}),
    "mean_se without a mean": (lambda: PiecewiseLinearDensity.from_histogram(
        [5, 8, 2], [0, 1, 2, np.inf], mean_se=2.0), "needs_mean", "mean_se", None, None, 2.0, {}),
    "intervals of a density without data": (
        lambda: PiecewiseLinearDensity([0, 1], [1, 1]).confidence(), "no_source", "confidence",
        None, None, None, {"made": "built from knots and values"}),
})


def _loaded(change):
    """A density whose pickled state is changed by `change` before it is set."""
    d = Density([0.0, 1.0], [1.0, 1.0])
    state = d.__getstate__()
    state.update(change)
    Density.__new__(Density).__setstate__(state)


CASES.update({
    # A pickled density, loaded (tests/test_pickle.py has every field).
    "pickle of a list": (lambda: Density.__new__(Density).__setstate__([1.0]), "pickle_state",
                         "state", None, None, None, {"type_name": "list"}),
    "pickle of a later format": (lambda: _loaded({"format": 7}), "pickle_format", "format",
                                 None, None, None, {"given": "7", "known": (1, 2)}),
    "pickle without a field": (lambda: _loaded({"format": 1}), "pickle_missing", "knots", None,
                               None, None, {"layout": 1}),
    "pickle with other values": (lambda: _loaded({"values": np.array([2.0, 2.0])}),
                                 "pickle_mismatch", "areas", 0, None, 1.0, {}),
    # Densities rather than counts.
    "densities as counts": (lambda: Density.from_histogram([0.1, 0.4], [0, 2, 4]),
                            "looks_like_density", "counts", None, None, None, {}),
    "densities unsized": (lambda: Density.from_histogram([0.1, 0.4], [0, 2, 4], density=True),
                          "density_needs_sample_size", "sample_size", None, None, None,
                          {"given": "'auto'"}),
    "densities open": (lambda: Density.from_histogram([0.1, 0.4], [0, 2, np.inf],
                                                      density=True, smoothing=0),
                       "density_open", "edges", 2, None, np.inf, {}),
    # What the native fit finds, in the words of the entry called.
    "too narrow to cut, as edges": (lambda: Density.from_histogram(
        [1, 1, 1], [0, 1, 1 + 2.0 ** -52, 3], refine=4), "too_narrow", "edges", 1, None, None,
        {"refine": 4}),
    "beyond float64, as counts": (lambda: Density.from_histogram([1, 1], [0, 1e-300, 1]),
                                  "magnitude", "counts", None, None, None, {}),
    "empty beside a tail, as counts": (lambda: Density.from_histogram(
        [0, 1], [0, 1, np.inf], smoothing=0), "empty_beside_tail", "counts", 0, None, None, {}),
    "empty beside a tail, as masses": (lambda: Density.from_masses(
        [0, 1, 2, np.inf], [1, 0, 1]), "empty_beside_tail", "gap", 1, None, None, {}),
})

RAGGED = [[0.5, 1.0], [0.2]]


@pytest.mark.parametrize("call, argument", [
    (lambda: zelvane.fit_density([0, 1, 2], RAGGED), "gap"),
    (lambda: zelvane.fit_smooth(RAGGED, [1, 1]), "center"),
    (lambda: zelvane.fit_smooth([0, 1, 2], np.ones((2, 2)), mean=RAGGED), "mean"),
    (lambda: Density.from_masses([0, 1, 2], RAGGED), "gap"),
    (lambda: Density.from_masses([0, 1, 2], RAGGED, "iterative"), "gap"),
    (lambda: Density.from_histogram(RAGGED, [0, 1, 2]), "counts"),
    (lambda: Density([0, 1], [1, 1]).cdf(RAGGED), "x"),
])
def test_ragged_sequences_are_input_errors_of_every_entry(call, argument):
    # One error and no warning before it, on NumPy versions that warn of ragged input too.
    with warnings.catch_warnings(), pytest.raises(InputError) as caught:
        warnings.simplefilter("error")
        call()
    assert (caught.value.problem, caught.value.argument) == ("ragged", argument)
    assert str(caught.value).startswith(f"{argument} is ragged: ")


def test_what_numpy_cannot_convert_for_another_reason_is_its_own_error():
    class Broken:
        def __array__(self, dtype=None, copy=None):
            raise ValueError("no array here")

    with pytest.raises(ValueError, match="^no array here$") as caught:
        zelvane.fit_density([0, 1, 2], Broken())
    assert not isinstance(caught.value, InputError)


@pytest.mark.parametrize("name", sorted(CASES))
def test_fields_of_every_kind_of_bad_input(name):
    call, problem, argument, index, row, value, details = CASES[name]
    with pytest.raises(InputError) as caught:
        call()
    error = caught.value
    assert (error.problem, error.argument, error.index, error.row) == (problem, argument, index, row)
    if value is not None:
        assert type(error.value) is type(value)
        assert error.value == value or (value != value and error.value != error.value)
    for key, expected in details.items():
        assert error.details[key] == expected, key
    text = str(error)
    assert "\n" not in text and "np." not in text and "dtype(" not in text
    # The message comes from the fields alone.
    assert str(InputError(error.problem, **error.fields())) == text


def test_every_problem_has_a_case_or_a_message_of_its_own():
    # Each template is reached through the public entries, or shown here from fields.
    covered = {case[1] for case in CASES.values()} | {"with_dask"}
    rest = {"unknown_length": dict(argument="gap"),
            # Reached by fits of tens of seconds; its words are checked with the statuses.
            "unconfirmed_counts_fit": dict(argument="counts", refine=256, width_decades=3.0,
                                           count_decades=2.0)}
    assert set(TEMPLATES) == covered | set(rest)
    assert str(InputError("unknown_length", **rest["unknown_length"])) == \
        "gap must have a known number of masses per row"


RAW = np.arange(5, dtype=F32), np.ones((2, 4), F32)
C64, G64 = RAW[0].astype(F64), RAW[1].astype(F64)


# The rows module's own guards: short plain errors. The package checks first, and its
# refusals, made once in Python, are what a caller reads.
@pytest.mark.parametrize("call, error, message", [
    (lambda: rows.iterative(RAW[0], RAW[1], np.empty((2, 4), F32), 1),
     ValueError, "^out does not have the shape of the result$"),
    (lambda: rows.exact(RAW[0], RAW[1][0], np.empty(4, F32), 1),
     ValueError, "^out does not have the shape of the result$"),
    (lambda: rows.exact(RAW[0][:3], RAW[1], np.empty((2, 5), F32), 1),
     ValueError, "^center must hold one more element than gap, shared or per row$"),
    (lambda: rows.exact(np.ones((2, 5), F32), RAW[1][0], np.empty(5, F32), 1),
     ValueError, "^center must hold one more element than gap"),
    (lambda: rows.iterative(RAW[0], np.ones((2, 2, 4), F32), np.empty((2, 5), F32), 1),
     ValueError, "^gap must be 1-D or 2-D$"),
    (lambda: rows.iterative(RAW[0], RAW[1], np.empty((2, 5), F32), -2),
     ValueError, "^workers must be from 0 to 1024$"),
    (lambda: rows.exact(RAW[0], RAW[1], np.empty((2, 5), F32), 2 ** 63),
     ValueError, "^workers must be from 0 to 1024$"),
    (lambda: rows.iterative(RAW[0], RAW[1], np.empty((2, 5), F32), np.True_),
     TypeError, "^workers must be an int, not numpy.bool"),
    (lambda: rows.smooth(C64, G64, np.empty((2, 17)), True, 1),
     TypeError, "^refine must be an int, not bool$"),
    (lambda: rows.open(C64, G64, np.empty((2, 30)), 4, 0.0, 2.0, None, None, False),
     TypeError, "^workers must be an int, not bool$"),
    (lambda: rows.open(C64, G64, np.empty((2, 30)), 4, 0.0, 2.0, np.ones(3), None, 1),
     ValueError, "^sample_size must hold one number per row$"),
    (lambda: rows.smooth_knots(C64, np.empty(17), True),
     TypeError, "^refine must be an int, not bool$"),
    (lambda: rows.smooth(C64, G64, np.empty((2, 17)), 0, 1),
     ValueError, "^refine must be from 1 to 256$"),
    (lambda: rows.smooth(C64, np.frombuffer(bytes(33), F64, 4, 1), np.empty(17), 4, 1),
     ValueError, "^gap must be aligned to its 8-byte elements$"),
    (lambda: rows.smooth_knots(C64, np.empty((1, 17)), 4),
     ValueError, "^out does not have the shape of the knots$"),
])
def test_rows_module_guards_raise_plain_errors(call, error, message):
    with pytest.raises(error, match=message) as caught:
        call()
    assert not isinstance(caught.value, InputError)


# A row that cannot be fitted comes back from the rows module as (row, status, position);
# zelvane._native reads the value at fault from the arrays and words the InputError.
@pytest.mark.parametrize("center, gap, failure, problem, argument, index, row, details", [
    (np.array([[0, 1, 2, 3, 4], [0, 1, 5, 3, 4.0]]), G64, (1, "bad_edge", 3),
     "not_increasing", "center", 3, 1, {"previous": 5.0}),
    (np.array([0, 1, 5, 3, 4.0]), G64, (0, "bad_edge", 3),
     "not_increasing", "center", 3, None, {"previous": 5.0}),
    (np.array([0, 1, 2, NAN, 4.0]), G64, (0, "bad_edge", 3), "not_finite", "center", 3, None, {}),
    (C64, np.array([[1, 1, 1, 1], [1, 1, NAN, 1]]), (1, "bad_mass", 2),
     "not_finite", "gap", 2, 1, {}),
    (C64, np.array([[1, 1, 1, 1], [1, -2.5, 1, 1]]), (1, "bad_mass", 1),
     "negative", "gap", 1, 1, {}),
    (C64, np.zeros(4), (0, "zero_total", -1), "all_zero", "gap", None, None, {}),
    (np.array([0, 1, 1 + 2.0 ** -52, 3, 4]), G64, (0, "bad_width", 1),
     "too_narrow", "center", 1, None, {"refine": 4}),
])
def test_rows_module_returns_a_failed_row_as_data(center, gap, failure, problem, argument,
                                                  index, row, details):
    out = np.empty(gap.shape[:-1] + (17,))
    got = rows.smooth(center, gap, out, 4, 2)
    assert got == (failure[0], _native.STATUS[failure[1]], failure[2])
    error = _native.smooth_failure(got, center, gap, out, 4, None)
    assert (error.problem, error.argument, error.index, error.row) == (problem, argument, index, row)
    for key, expected in details.items():
        assert error.details[key] == expected, key
    # The value is the one at fault in the arrays given, as the message shows it.
    if problem in ("not_increasing", "not_finite", "negative"):
        given = center if argument == "center" else gap
        value = given[index] if given.ndim == 1 else given[row, index]
        assert error.value == value or (value != value and error.value != error.value)


def test_every_status_of_the_rows_module_has_its_exception():
    edges, masses = np.array([0.0, 1.0, 2.0, np.inf]), np.array([[1.0, 2.0, 3.0]] * 2)
    out = np.zeros((2, 3 * 4 + 1 + _native.INFO_LENGTH))
    out[1, 13 + _native.INFO["lowest_mean"]], out[1, 13 + _native.INFO["highest_mean"]] = 1.5, 9.0
    made = {name: _native.smooth_failure((1, code, 1), edges, masses, out, 4,
                                         np.array([np.nan, 0.5]))
            for name, code in _native.STATUS.items() if name != "ok"}
    assert {name: getattr(error, "problem", type(error).__name__)
            for name, error in made.items()} == {
        "bad_size": "out_of_range", "bad_edge": "not_increasing", "bad_mass": "negative",
        "zero_total": "all_zero", "bad_width": "too_narrow", "out_of_range": "magnitude",
        "infeasible": "infeasible", "unreachable_mean": "unreachable_mean",
        "empty_beside_tail": "empty_beside_tail", "ill_conditioned": "ill_conditioned",
        "iteration_limit": "RuntimeError",
        "inaccurate": "RuntimeError", "bad_setting": "RuntimeError",
        "interrupted": "KeyboardInterrupt"}
    assert str(made["unreachable_mean"]) == ("mean[1] = 0.5 is out of reach: with these masses "
                                             "and tails the mean lies between 1.5 and 9.0")
    assert str(made["iteration_limit"]) == "row 1: the smooth fit reached its bound on solves"
    alone = _native.smooth_failure((0, _native.STATUS["inaccurate"], -1), edges, masses[0],
                                   out[0], 4, None)
    assert str(alone) == "the smooth fit could not confirm its answer to working precision"
    # The same status from a counts-aware fit (a positive smoothing) names its edges,
    # refine and smoothing.
    counted = _native.smooth_failure((1, _native.STATUS["ill_conditioned"], -1), edges, masses,
                                     out, 4, None, "edges", "counts", 2.5)
    assert (counted.problem, counted.argument, counted.row) == ("unresolved_smoothing", "edges",
                                                                None)
    assert "smoothing=2.5 at refine=4" in str(counted) and "span 0 decades" in str(counted)
    # A counts-aware fit left unconfirmed (chosen smoothing or given) names the counts'
    # row and what about the edges and counts makes the refine too fine.
    for smoothing in (_native.AUTO_SMOOTHING, 2.5):
        for status in ("inaccurate", "iteration_limit"):
            left = _native.smooth_failure((1, _native.STATUS[status], -1), edges,
                                          np.array([[1.0, 2.0, 3.0], [1.0, 0.0, 100.0]]), out,
                                          256, None, "edges", "counts", smoothing)
            assert (left.problem, left.argument, left.row) == ("unconfirmed_counts_fit",
                                                               "counts", 1)
            assert str(left).startswith("counts") and "refine=256" in str(left)
            assert "widths span 0 decades and their positive counts 2 decades;" in str(left)


@pytest.mark.parametrize("call, message", [
    (lambda: zelvane.fit_smooth(C5, G4, smoothing="auto", sample_size=0),
     "sample_size must be above 0, not 0.0"),
    (lambda: zelvane.fit_smooth(C5, [G4, G4], smoothing="auto", sample_size=[3, -2]),
     "sample_size must be above 0, not -2.0"),
    (lambda: zelvane.fit_smooth([-np.inf, np.inf], [1.0]),
     "gap must hold at least 3 masses (one for each open bin and one between finite edges), "
     "not 1"),
    (lambda: zelvane.fit_smooth([[-np.inf, np.inf]] * 2, [[1.0], [2.0]]),
     "gap must hold at least 3 masses (one for each open bin and one between finite edges) "
     "per row, not 1"),
    (lambda: zelvane.fit_smooth([0, np.inf], [1.0]),
     "gap must hold at least 2 masses (one for the open bin and one between finite edges), "
     "not 1"),
    # A minimum that is allowed itself.
    (lambda: zelvane.fit_smooth(C5, G4, smoothing=-1.0), "smoothing must be 0 or more, not -1.0"),
])
def test_messages_say_what_is_allowed(call, message):
    with pytest.raises(InputError) as caught:
        call()
    assert str(caught.value) == message


def test_rows_module_names_the_memory_an_output_shares():
    storage = np.zeros(40, F32)
    with pytest.raises(ValueError, match="^out shares memory with gap$") as caught:
        rows.iterative(RAW[0], storage[:8].reshape(2, 4), storage[4:14].reshape(2, 5), 1)
    assert not isinstance(caught.value, InputError)


def test_numpy_scalars_become_plain_values():
    error = InputError("not_increasing", argument="center", index=np.int64(2), row=np.uint8(1),
                       value=np.float32(0.1), previous=np.float64(0.25))
    assert (error.index, error.row, error.value, error.details["previous"]) == (2, 1, 0.1, 0.25)
    assert [type(v) for v in (error.index, error.row, error.value, error.details["previous"])] \
        == [int, int, float, float]
    assert str(error) == ("center must be strictly increasing: center[1, 2] = 0.1 is not above "
                          "center[1, 1] = 0.25")
    shaped = InputError("shape", argument="out", shape=np.empty((2, 3)).shape,
                        expected=(np.int64(2), np.int64(4)))
    assert shaped.details["expected"] == (2, 4) and type(shaped.details["expected"][0]) is int
    assert str(shaped) == "out must have shape (2, 4), not (2, 3)"
    assert InputError("negative", argument="gap", value=np.float16(-0.1)).value == -0.1
    assert str(InputError("not_finite", argument="gap", value=np.float32("-inf"))) == \
        "gap is -inf, not a finite number"
    with pytest.raises(TypeError, match="not a plain value"):
        InputError("negative", argument="gap", value=object())


def test_pickling_and_copying_keep_the_fields():
    errors = [InputError("not_finite", argument="gap", index=3, row=7, value=NAN),
              InputError("shape", argument="center", shape=(2, 5), expected=((5,), (3, 5)),
                         other="gap", other_shape=(3, 4)),
              InputError("all_zero", argument="counts")]
    for error in errors:
        for again in (pickle.loads(pickle.dumps(error)), copy.copy(error), copy.deepcopy(error)):
            assert type(again) is InputError and again is not error
            assert (again.problem, again.argument, again.index, again.row, again.details) == (
                error.problem, error.argument, error.index, error.row, error.details)
            assert str(again) == str(error) and again.args == error.args
            assert repr(again) == repr(error)


def test_one_exported_exception_type():
    assert zelvane.InputError is InputError and issubclass(InputError, ValueError)
    assert "InputError" in zelvane.__all__
    error = InputError("negative", argument="gap", index=1, value=-1.0)
    assert repr(error) == "InputError('negative', argument='gap', index=1, value=-1.0)"
    assert error.replaced(argument="mass").argument == "mass" and error.argument == "gap"
    assert error.shifted(5) is error
    assert InputError("all_zero", argument="gap", row=2).shifted(5).row == 7
    with pytest.raises(TypeError, match="unknown problem"):
        InputError("something_else", argument="gap")
    with pytest.raises(TypeError, match="phrases"):
        InputError("all_zero", argument="gap", where="here")
    with pytest.raises(KeyError):
        InputError("length", argument="center")  # the message needs its details


@pytest.mark.parametrize("edges, counts", [
    ([0, 1, 2], [1e5, 3]),                  # a share far below the other's
    ([0, 1, 2, 3], [5, 1e6, 3]),
    ([0, 1, 2, np.inf], [5, 0, 0]),         # counts in one bin only, with an open end
    ([0, 1, 2, np.inf], [0, 5, 0]),
    ([0, 1, 2, np.inf], [5, 0, 3]),         # counts may leave the bin beside a tail empty
])
def test_counts_the_fit_once_gave_up_on(edges, counts):
    # Each of these once ended in RuntimeError; a fit whose masses are all positive
    # where there are counts is what the caller gets.
    d = Density.from_histogram(counts, edges)
    masses = d.masses(edges)
    assert masses.sum() == pytest.approx(1.0)
    assert np.all(masses[np.asarray(counts) > 0] > 0)


def test_rows_module_keeps_a_conversion_error_of_its_own():

    class Overflowing:
        def __float__(self):
            raise OverflowError("too large for a float")

    edges, masses = np.array([0.0, 1.0, 2.0, np.inf]), np.array([1.0, 2.0, 1.0])
    out = np.empty(3 * 4 + 1 + 13)
    with pytest.raises(OverflowError, match="too large"):
        rows.open(edges, masses, out, 4, Overflowing(), 3.0, None, None, 1)
    with pytest.raises(TypeError, match="smoothing must be a real number, not str"):
        rows.open(edges, masses, out, 4, "auto", 3.0, None, None, 1)


def masked(values, at):
    """`values` as a masked array with the element at `at` masked."""
    array = np.ma.masked_array(np.array(values, dtype=float))
    array[at] = np.ma.masked
    return array


_D = Density([0, 1, 3], [0, 2, 0])


# (call, argument, index, row): every public entry that takes arrays, each argument.
@pytest.mark.parametrize("call, argument, index, row", [
    (lambda: zelvane.fit_density(C5, masked(G4, 2)), "gap", 2, None),
    (lambda: zelvane.fit_density(masked(C5, 0), G4), "center", 0, None),
    (lambda: zelvane.fit_density(C5, masked([G4, G4, G4], (2, 3))), "gap", 3, 2),
    (lambda: zelvane.fit_density(C5, [G4], out=masked(np.zeros((1, 5)), (0, 1)).astype(F32)),
     "out", 1, 0),
    (lambda: zelvane.trapezoid_masses(C5, masked(C5, 4)), "prob", 4, None),
    (lambda: zelvane.fit_smooth(masked(C5, 1), G4), "center", 1, None),
    (lambda: zelvane.fit_smooth(C5, masked([G4, G4], (1, 0))), "gap", 0, 1),
    (lambda: zelvane.fit_smooth([0, 1, 2, np.inf], [[1, 1, 1]] * 2, mean=masked([2, 3], 1)),
     "mean", 1, None),
    (lambda: zelvane.fit_smooth(C5, [[5, 1, 1, 1]] * 2, smoothing="auto",
                                sample_size=masked([9, 9], 0)), "sample_size", 0, None),
    (lambda: Density(masked(C5, 3), G4 + [1]), "knots", 3, None),
    (lambda: Density(C5, masked(G4 + [1], 4)), "values", 4, None),
    (lambda: Density.from_masses(C5, masked(G4, 0), "iterative"), "gap", 0, None),
    (lambda: Density.from_masses(masked(C5, 2), G4, "exact"), "center", 2, None),
    (lambda: Density.from_masses(C5, masked(G4, 1)), "gap", 1, None),
    (lambda: Density.from_histogram(masked([3, 4, 5, 6], 1), C5), "counts", 1, None),
    (lambda: Density.from_histogram((np.array([3, 4, 5, 6]), masked(C5, 4))), "edges", 4, None),
    (lambda: counts_and_edges(masked([3, 4, 5, 6], 3), C5), "counts", 3, None),
    (lambda: _D.pdf(masked([0.5, 1.0], 1)), "x", 1, None),
    (lambda: _D.cdf(masked([[0.5], [1.0]], (1, 0))), "x", 0, 1),
    (lambda: _D.sf(np.ma.masked), "x", None, None),
    (lambda: _D.ppf(masked([0.5, 0.2], 0)), "q", 0, None),
    (lambda: _D.isf(masked([0.5, 0.2], 1)), "q", 1, None),
    (lambda: _D.lorenz(masked([0.5, 0.2], 1)), "p", 1, None),
    (lambda: _D.masses(masked([0, 1, 2], 2)), "edges", 2, None),
])
def test_masked_elements_are_refused_by_every_entry(call, argument, index, row):
    with pytest.raises(InputError) as caught:
        call()
    error = caught.value
    assert (error.problem, error.argument, error.index, error.row) == (
        "masked", argument, index, row)
    assert "fill or compress" in str(error)


def test_a_masked_array_with_nothing_masked_is_its_data():
    plain_fit = zelvane.fit_density(C5, G4)
    assert_array_equal = np.testing.assert_array_equal
    assert_array_equal(zelvane.fit_density(np.ma.masked_array(C5), np.ma.masked_array(G4)),
                       plain_fit)
    assert_array_equal(zelvane.fit_smooth(C5, np.ma.masked_array(G4, mask=[0] * 4)).values,
                       zelvane.fit_smooth(C5, G4).values)
    assert float(_D.cdf(np.ma.masked_array([1.0]))[0]) == float(_D.cdf(1.0))

