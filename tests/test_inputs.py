"""zelvane._inputs.counts_and_edges: histograms from pandas (real pandas), from objects of
the UHI plotting protocol (a hand-written stand-in and the real boost-histogram), the pair
numpy.histogram returns and plain arrays; every refusal's fields; and that recognising
them imports no library."""

import subprocess
import sys

import boost_histogram as bh
import numpy as np
import pandas as pd
import pytest

import zelvane
from zelvane import InputError, PiecewiseLinearDensity as Density
from zelvane._inputs import counts_and_edges

INF = float("inf")
SAMPLE = np.random.default_rng(7).normal(50.0, 20.0, 400)


def same(pair, counts, edges):
    got_counts, got_edges = pair
    assert got_counts.dtype == np.float64 and got_edges.dtype == np.float64
    np.testing.assert_array_equal(got_counts, counts)
    np.testing.assert_array_equal(got_edges, edges)


# -- pandas -----------------------------------------------------------------

def test_what_pandas_gives_for_grouped_data_reads_as_its_bins():
    bins = [-INF, 20.0, 40.0, 60.0, 80.0, INF]
    counts, _ = np.histogram(SAMPLE, [-1e9, 20, 40, 60, 80, 1e9])
    frame = pd.DataFrame({"x": SAMPLE})
    cut = pd.cut(frame["x"], bins)
    same(counts_and_edges(cut.value_counts(sort=False)), counts, bins)
    same(counts_and_edges(frame.groupby(cut, observed=False).size()), counts, bins)
    # Sorted by count, as value_counts does by default: the intervals put them back.
    same(counts_and_edges(cut.value_counts()), counts, bins)
    # A plain IntervalIndex, closed on the left, with nullable integer counts.
    index = pd.IntervalIndex.from_breaks([0, 1, 3, 6], closed="left")
    series = pd.Series(pd.array([4, 0, 2], dtype="Int64"), index=index)
    same(counts_and_edges(series.iloc[[2, 0, 1]]), [4, 0, 2], [0, 1, 3, 6])


def refusal(call, problem, argument, index=None):
    with pytest.raises(InputError) as caught:
        call()
    error = caught.value
    assert (error.problem, error.argument, error.index) == (problem, argument, index)
    return str(error)


def test_a_series_that_is_no_histogram_is_refused_at_its_position():
    breaks = pd.IntervalIndex.from_breaks([0, 10, 20, 30, 40])
    # Position 1 of the series as given, though it is sorted first.
    gap = pd.Series([1, 2, 3], index=breaks[[0, 3, 1]])
    text = refusal(lambda: counts_and_edges(gap), "interval_gap", "intervals", 2)
    assert text.startswith("intervals[2] = (10, 20] ends at 20, but the next interval, "
                           "(30, 40], starts at 30")
    observed = pd.DataFrame({"x": [5.0, 25.0]}).groupby(pd.cut([5.0, 25.0], [0, 10, 20, 30]),
                                                          observed=True).size()
    assert "observed=False" in refusal(lambda: counts_and_edges(observed), "interval_gap",
                                       "intervals", 0)
    overlap = pd.Series([1, 2], index=pd.IntervalIndex.from_tuples([(0, 10), (5, 20)]))
    assert refusal(lambda: counts_and_edges(overlap), "interval_overlap", "intervals", 0) == \
        "intervals[0] = (0, 10] overlaps the next interval, (5, 20]"
    twice = pd.Series([1, 2], index=pd.IntervalIndex.from_breaks([0, 1, 2], closed="both"))
    refusal(lambda: counts_and_edges(twice), "interval_shared", "intervals", 0)
    mixed = pd.Series([1, 2], index=pd.Index([pd.Interval(0, 1, "left"), pd.Interval(1, 2)]))
    assert "is closed on the right, unlike [0, 1)" in \
        refusal(lambda: counts_and_edges(mixed), "interval_closed", "intervals", 1)
    empty = pd.Series([1, 2], index=pd.IntervalIndex.from_tuples([(0, 1), (1, 1)], "both"))
    refusal(lambda: counts_and_edges(empty), "interval_empty", "intervals", 1)
    # A value outside every bin gets no interval, and one with NaN gets no count.
    no_interval = pd.Series(pd.cut([5.0, 50.0], [0, 10])).value_counts(dropna=False)
    refusal(lambda: counts_and_edges(no_interval), "missing_interval", "intervals", 1)
    no_count = pd.Series([1.0, np.nan], index=breaks[:2])
    assert refusal(lambda: counts_and_edges(no_count), "missing_count", "counts", 1) == \
        "counts[1], the count of (10, 20], is missing"
    negative = pd.Series([1.0, -2.0], index=breaks[:2])
    refusal(lambda: counts_and_edges(negative), "negative", "counts", 1)
    infinite = pd.Series([INF, 2.0], index=breaks[:2])
    refusal(lambda: counts_and_edges(infinite), "not_finite", "counts", 0)
    words = pd.Series(["a", "b"], index=breaks[:2])
    refusal(lambda: counts_and_edges(words), "dtype", "counts")
    numbered = pd.Series([1, 2, 3])
    assert "not by RangeIndex" in refusal(lambda: counts_and_edges(numbered),
                                          "series_index", "histogram")
    dated = pd.Series([1], index=pd.interval_range(pd.Timestamp("2024-01-01"), periods=1))
    refusal(lambda: counts_and_edges(dated), "dtype", "intervals")
    frame = pd.DataFrame({"n": [1, 2]}, index=breaks[:2])
    refusal(lambda: counts_and_edges(frame), "histogram_type", "histogram")
    refusal(lambda: counts_and_edges(frame["n"], [0, 10, 20]), "edges_twice", "edges")


def test_a_plain_series_of_counts_goes_with_edges():
    same(counts_and_edges(pd.Series([3, 1]), [0, 1, 5]), [3, 1], [0, 1, 5])


# -- histogram objects ------------------------------------------------------

class Axis:
    def __init__(self, edges, traits=None):
        self.edges = np.asarray(edges)
        self.traits = traits


class Traits:
    def __init__(self, discrete=False, circular=False):
        self.discrete, self.circular = discrete, circular


class PlottableHistogram:
    """What the UHI plotting protocol asks of a histogram, and nothing more."""

    def __init__(self, values, *axes, kind="COUNT"):
        self._values = np.asarray(values)
        self.axes = tuple(axes)
        self.kind = kind

    def values(self):
        return self._values

    def variances(self):
        return self._values

    def counts(self):
        return self._values


def test_histogram_objects_give_their_values_and_edges():
    plain = PlottableHistogram([1, 4, 2], Axis([0.0, 0.5, 2.0, 3.0], Traits()))
    same(counts_and_edges(plain), [1, 4, 2], [0.0, 0.5, 2.0, 3.0])
    # The real library: values outside the axis go to its flow bins and stay out.
    histogram = bh.Histogram(bh.axis.Variable([0.0, 1.0, 2.5, 4.0]))
    histogram.fill([-3.0, 0.5, 0.7, 2.0, 3.9, 7.0, 8.0])
    same(counts_and_edges(histogram), [2, 1, 1], [0.0, 1.0, 2.5, 4.0])
    weighted = bh.Histogram(bh.axis.Regular(2, 0.0, 1.0), storage=bh.storage.Weight())
    weighted.fill([0.2, 0.7], weight=[0.5, 2.0])
    same(counts_and_edges(weighted), [0.5, 2.0], [0.0, 0.5, 1.0])
    ages = bh.Histogram(bh.axis.Integer(0, 3))
    ages.fill([0, 1, 1, 2])
    same(counts_and_edges(ages), [1, 2, 1], [0, 1, 2, 3])


def test_histogram_objects_that_hold_no_1d_counts_are_refused():
    two = bh.Histogram(bh.axis.Regular(2, 0, 1), bh.axis.Regular(3, 0, 1))
    assert "has 2 axes" in refusal(lambda: counts_and_edges(two), "histogram_ndim", "histogram")
    means = bh.Histogram(bh.axis.Regular(2, 0, 1), storage=bh.storage.Mean())
    refusal(lambda: counts_and_edges(means), "histogram_mean", "histogram")
    words = bh.Histogram(bh.axis.StrCategory(["a", "b"]))
    refusal(lambda: counts_and_edges(words), "histogram_categories", "histogram")
    discrete = PlottableHistogram([1, 2], Axis([0, 1, 2], Traits(discrete=True)))
    refusal(lambda: counts_and_edges(discrete), "histogram_categories", "histogram")
    refusal(lambda: counts_and_edges(means, [0, 0.5, 1]), "edges_twice", "edges")


# -- arrays -----------------------------------------------------------------

def test_arrays_and_the_pair_of_numpy_histogram():
    counts, edges = np.histogram(SAMPLE, bins=6)
    same(counts_and_edges(np.histogram(SAMPLE, bins=6)), counts, edges)
    same(counts_and_edges(counts, edges), counts, edges)
    same(counts_and_edges([True, False], [0, 1, 2]), [1, 0], [0, 1, 2])
    # The shape is the fitting layer's to check.
    assert counts_and_edges([[1, 2]], [0, 1, 2])[0].shape == (1, 2)
    assert "alone give no edges" in refusal(lambda: counts_and_edges([1, 2, 3]), "no_edges",
                                            "counts")
    refusal(lambda: counts_and_edges((3, 4)), "no_edges", "counts")
    refusal(lambda: counts_and_edges(["a"], [0, 1]), "dtype", "counts")
    refusal(lambda: counts_and_edges([1], [0, 1j]), "dtype", "edges")
    refusal(lambda: counts_and_edges({"a": 1}), "histogram_type", "histogram")


def test_recognising_an_object_imports_no_library():
    code = ("import sys, numpy as np\n"
            "from zelvane._inputs import counts_and_edges\n"
            "counts_and_edges(np.histogram([1.0, 2.0], bins=2))\n"
            "counts_and_edges([1, 2], [0, 1, 2])\n"
            "try:\n    counts_and_edges(object())\nexcept ValueError:\n    pass\n"
            "print(sorted({'pandas', 'boost_histogram', 'hist'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out == "[]\n"


BREAKS = [0.0, 1.0, 2.0, 4.0]


def _complex_and_text_forms():
    """Counts of complex numbers or of strings in each form a caller may hold them."""
    index = pd.IntervalIndex.from_breaks(BREAKS)
    for name, values in (("complex", [3 + 1j, 5, 2]), ("text", ["3", "5", "2"])):
        yield name + " list", (values, BREAKS)
        yield name + " array", (np.array(values), BREAKS)
        yield name + " object array", (np.array(values, dtype=object), BREAKS)
        yield name + " series with edges", (pd.Series(values), BREAKS)
        yield name + " series of intervals", (pd.Series(values, index=index),)
    yield "string dtype series", (pd.Series(["3", "5", "2"], dtype="string", index=index),)
    yield "categorical series", (pd.Series([3.0, 5.0, 2.0], dtype="category", index=index),)


@pytest.mark.parametrize("name, given", list(_complex_and_text_forms()))
def test_complex_and_text_counts_are_refused_however_they_arrive(name, given):
    with pytest.raises(InputError, match="counts must hold real numbers") as caught:
        Density.from_histogram(*given)
    assert (caught.value.problem, caught.value.argument) == ("dtype", "counts"), name
    if len(given) == 2:
        with pytest.raises(InputError, match="edges must hold real numbers"):
            Density.from_histogram([3, 5, 2], [str(b) for b in BREAKS])
        with pytest.raises(InputError, match="edges must hold real numbers"):
            Density.from_histogram([3, 5, 2], np.array(BREAKS) + 0j)


def test_numbers_pandas_holds_in_its_own_types_are_read():
    index = pd.IntervalIndex.from_breaks(BREAKS)
    for dtype in ("Int64", "Float64", "int32", "float32"):
        series = pd.Series([3, 5, 2], dtype=dtype, index=index)
        assert counts_and_edges(series)[0].tolist() == [3.0, 5.0, 2.0], dtype


@pytest.mark.parametrize("option", ["sample_size", "mean", "smoothing", "refine"])
@pytest.mark.parametrize("truth", [True, np.bool_(False), np.array([True])])
def test_a_truth_value_is_no_numeric_option(option, truth):
    with pytest.raises(InputError, match=f"^{option} must be of type") as caught:
        Density.from_histogram([3, 5, 2], [0, 1, 2, np.inf], **{option: truth})
    assert caught.value.problem == "type"


def test_truth_values_per_row_are_refused_too():
    for option in ("sample_size", "mean"):
        with pytest.raises(InputError, match=f"^{option} must be of type"):
            zelvane.fit_smooth([0, 1, 2, np.inf], [[3, 5, 2], [1, 1, 1]],
                               **{option: np.array([True, False])})
    with pytest.raises(InputError, match="^workers must be of type"):
        zelvane.fit_smooth([0, 1, 2], [3, 5], workers=True)


# -- densities ----------------------------------------------------------------

DENSITY_EDGES = [-5.0, -1.0, 0.0, 0.25, 0.5, 5.0]


def _sample_histograms():
    sample = np.random.default_rng(3).normal(size=400)
    return sample, np.histogram(sample, DENSITY_EDGES), np.histogram(sample, DENSITY_EDGES,
                                                                     density=True)


def test_densities_fit_as_the_counts_behind_them():
    sample, counts, densities = _sample_histograms()
    for options in ({"smoothing": 0}, {"smoothing": "auto"}, {"smoothing": 1e-4}):
        from_counts = Density.from_histogram(*counts, **options)
        from_densities = Density.from_histogram(*densities, density=True,
                                                sample_size=sample.size, **options)
        assert from_densities.median() == pytest.approx(from_counts.median(), rel=1e-9)
        assert from_densities.masses() == pytest.approx(from_counts.masses(), abs=1e-12)
    # With exact masses no sample size is needed.
    exact = Density.from_histogram(*densities, density=True, smoothing=0)
    assert abs(exact.median() - np.median(sample)) < 0.05


def test_densities_without_the_flag_are_refused_naming_it():
    _, _, densities = _sample_histograms()
    for options in ({}, {"smoothing": 0}, {"smoothing": "auto", "sample_size": 400}):
        with pytest.raises(InputError, match=r"density=True") as caught:
            Density.from_histogram(*densities, **options)
        assert (caught.value.problem, caught.value.argument) == ("looks_like_density", "counts")
        # Only the fix that reads them right is offered.
        assert "smoothing=0" not in str(caught.value)


def test_what_is_not_a_density_is_not_refused_as_one():
    # Shares over unit widths are densities too, and read alike either way.
    shares = Density.from_histogram([0.25, 0.5, 0.25], [0, 1, 2, 3], smoothing=0)
    assert shares.masses([0, 1, 2, 3]) == pytest.approx([0.25, 0.5, 0.25], abs=1e-12)
    # Whole numbers are counts whatever their sum over the widths.
    Density.from_histogram([1, 0, 0], [0, 1, 2, 3])
    # Shares over other widths that sum to 1 themselves, not times the widths.
    Density.from_histogram([0.25, 0.5, 0.25], [0, 2, 3, 7], smoothing=0)


@pytest.mark.parametrize("options, problem, argument, words", [
    ({"density": True}, "density_needs_sample_size", "sample_size", "sample_size"),
    ({"density": "yes", "smoothing": 0}, "type", "density", "bool"),
    ({"density": 1, "smoothing": 0}, "type", "density", "bool"),
])
def test_the_density_flag_and_what_it_needs(options, problem, argument, words):
    _, _, densities = _sample_histograms()
    with pytest.raises(InputError, match=words) as caught:
        Density.from_histogram(*densities, **options)
    assert (caught.value.problem, caught.value.argument) == (problem, argument)


def test_densities_over_an_open_bin_are_refused():
    for edges, index in (([-np.inf, 0, 1, 2], 0), ([0, 1, 2, np.inf], 3)):
        with pytest.raises(InputError, match=r"density=True needs finite edges") as caught:
            Density.from_histogram([0.2, 0.5, 0.3], edges, density=True, smoothing=0)
        assert (caught.value.problem, caught.value.argument, caught.value.index) == (
            "density_open", "edges", index)
