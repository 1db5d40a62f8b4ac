"""fit_density and fit_smooth on Dask arrays, computed on a local cluster of two worker
processes."""

import pickle

import numpy as np
import pytest

import zelvane
from conftest import assert_bits_equal, run_python

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as connected:
        yield connected


def batch(rows, m, seed):
    rng = np.random.default_rng(seed)
    center = np.cumsum(rng.uniform(0.05, 2, (rows, m + 1)), axis=1)
    return center, rng.gamma(1.5, 1, (rows, m))


@pytest.mark.parametrize("method", ["iterative", "exact"])
@pytest.mark.parametrize("shared", [True, False], ids=["shared", "per-row"])
def test_chunks_give_the_bits_of_one_numpy_call(client, method, shared):
    center, gap = batch(250, 12, seed=3)
    center = center[0] if shared else center
    lazy_gap = da.from_array(gap, chunks=(60, 5))  # the masses chunked as well: joined
    lazy_center = center if shared else da.from_array(center, chunks=(100, 13))
    got = zelvane.fit_density(lazy_center, lazy_gap, method=method, workers=2)
    assert isinstance(got, da.Array)
    assert got.dtype == np.float32 and got.chunks == ((60, 60, 60, 60, 10), (13,))
    computed = client.compute(got).result()
    assert_bits_equal(computed, zelvane.fit_density(center, gap, method=method))
    # A NumPy array of centres per row is chunked like the masses.
    if not shared:
        again = zelvane.fit_density(center, lazy_gap, method=method).compute()
        assert_bits_equal(again, computed)


def test_one_histogram_as_a_dask_array(client):
    center, gap = batch(1, 9, seed=4)
    got = zelvane.fit_density(center[0], da.from_array(gap[0], chunks=4))
    assert got.chunks == ((10,),)
    assert_bits_equal(client.compute(got).result(), zelvane.fit_density(center[0], gap[0]))


def test_bad_values_are_named_by_their_row_in_the_whole_array(client):
    center, gap = batch(100, 4, seed=5)
    gap[73, 2] = np.nan
    got = zelvane.fit_density(center[0], da.from_array(gap, chunks=25))
    with pytest.raises(zelvane.InputError, match=r"gap\[73, 2\] is nan, not a finite number") \
            as caught:
        client.compute(got).result()
    error = caught.value
    assert (error.problem, error.argument, error.index, error.row) == ("not_finite", "gap", 2, 73)
    # Centres of their own per row, in chunks of another size than the masses'.
    gap[73, 2] = 1.0
    center[61, 3] = center[61, 2]
    got = zelvane.fit_density(da.from_array(center, chunks=(40, 5)), da.from_array(gap, chunks=30),
                              method="exact")
    with pytest.raises(zelvane.InputError) as caught:
        got.compute()
    error = caught.value
    assert (error.problem, error.argument, error.index, error.row) == (
        "not_increasing", "center", 3, 61)
    assert error.value == error.details["previous"]
    assert np.float32(error.value) == np.float32(center[61, 2])


@pytest.mark.parametrize("center, gap, kwargs, message", [
    (np.arange(5), np.ones((3, 4)), {"out": np.empty((3, 5), np.float32)},
     "out cannot be given with a Dask array of masses"),
    (np.arange(4), np.ones((3, 4)), {}, r"center must have len\(gap\) \+ 1 = 5 elements"),
    (np.ones((2, 5)), np.ones((3, 4)), {},
     r"center must have shape \(5,\) or \(3, 5\) for gap of shape \(3, 4\), not \(2, 5\)"),
    ([0, 2, 1, 3, 4], np.ones((3, 4)), {}, r"center\[2\] = 1.0 is not above center\[1\] = 2.0"),
    (np.arange(5), np.ones((3, 4), complex), {}, "gap must hold real numbers"),
    (np.arange(5), np.ones((1, 3, 4)), {}, "gap must be 1-D or 2-D, not 3-D"),
    (np.arange(5), np.ones((3, 4)), {"method": "smooth"}, "method must be"),
])
def test_what_is_known_is_refused_before_computing(center, gap, kwargs, message):
    with pytest.raises(ValueError, match=message):
        zelvane.fit_density(center, da.from_array(gap), **kwargs)


def test_numpy_input_does_not_import_dask():
    rc, out, err = run_python("""
        import sys, zelvane
        zelvane.fit_density([0, 1, 2], [[1, 2], [3, 4]])
        print('dask' in sys.modules)
    """)
    assert rc == 0, err
    assert out.strip() == "False"


def test_a_fit_beyond_float32_is_refused_in_its_task_by_its_row_in_the_whole_array(client):
    _, gap = batch(40, 3, seed=6)
    center = [0.0, 1e-6, 2e-6, 3e-6]
    gap[27] = [1.0, 3e33, 1.0]
    for method in ("iterative", "exact"):
        lazy = zelvane.fit_density(center, da.from_array(gap, chunks=10), method=method)
        with pytest.raises(zelvane.InputError) as caught:
            client.compute(lazy).result()
        error = caught.value
        assert (error.problem, error.argument, error.row, error.index, error.value) == (
            "fit_overflow", "gap", 27, 1, 3e33)
    # Chunks without such a row are computed as before.
    assert np.isfinite(zelvane.fit_density(center, da.from_array(gap[:20], chunks=10))
                       .compute()).all()


def test_masked_elements_are_refused_when_building_or_in_the_task(client):
    _, gap = batch(30, 4, seed=7)
    shared = np.ma.masked_array(np.arange(5.0), mask=[0, 0, 0, 1, 0])
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.fit_density(shared, da.from_array(gap, chunks=10))
    assert (caught.value.problem, caught.value.argument, caught.value.index) == (
        "masked", "center", 3)
    mask = np.zeros(gap.shape, bool)
    mask[24, 1] = True
    lazy = da.ma.masked_array(da.from_array(gap, chunks=10), mask=mask)
    for fitted in (zelvane.fit_density(np.arange(5.0), lazy),
                   zelvane.fit_smooth(np.arange(5.0), lazy).values):
        with pytest.raises(zelvane.InputError) as caught:
            client.compute(fitted).result()
        error = caught.value
        assert (error.problem, error.argument, error.row, error.index) == ("masked", "gap", 24, 1)


def kinds_per_row(tail, rows):
    kind = tail.kind
    return [kind] * rows if isinstance(kind, str) else list(kind)


@pytest.mark.parametrize("edges", [[-np.inf, 0, 10, 20, np.inf], [-np.inf, -30, -20, -10, np.inf]],
                         ids=["pareto on the right", "exponential on the right"])
def test_tail_kinds_are_the_fits_own_row_by_row(client, edges):
    rng = np.random.default_rng(8)
    counts = rng.poisson(30, (12, 4)).astype(float) + 1
    counts[[2, 9], 3] = 0  # an empty open bin: no tail on that side in those rows
    counts[5, 0] = 0
    want = zelvane.fit_smooth(edges, counts)
    got = zelvane.fit_smooth(edges, da.from_array(counts, chunks=(5, 4)))
    for side in ("left_tail", "right_tail"):
        lazy = getattr(got, side)
        computed = client.gather(client.compute([lazy.kind, lazy.parameter]))
        assert computed[0].tolist() == kinds_per_row(getattr(want, side), 12)
        np.testing.assert_array_equal(computed[1], getattr(want, side).parameter)
    right = kinds_per_row(want.right_tail, 12)
    assert right[2] == right[9] == "none" and kinds_per_row(want.left_tail, 12)[5] == "none"
    assert set(right) - {"none"} == {"pareto" if edges[-2] > 0 else "exponential"}


def test_smooth_fits_take_settings_and_edges_per_row_as_numpy_fits_do(client):
    rng = np.random.default_rng(9)
    counts = rng.poisson(25, (30, 5)).astype(float) + 1
    edges = np.array([0.0, 10, 20, 30, 40, np.inf])
    own = np.tile(edges, (30, 1))
    own[:, :-1] *= rng.uniform(0.5, 1.5, (30, 1))  # each row's finite edges scaled
    means, sizes = rng.uniform(45, 60, 30), rng.uniform(100, 200, 30)
    means[3] = np.nan
    for center, mean, size in ((edges, da.from_array(means, chunks=7), sizes),
                               (own, means, da.from_array(sizes, chunks=11))):
        want = zelvane.fit_smooth(center, counts, smoothing="auto", mean=means, sample_size=sizes)
        lazy = zelvane.fit_smooth(center, da.from_array(counts, chunks=(8, 5)),
                                  smoothing="auto", mean=mean, sample_size=size)
        assert lazy.knots.tobytes() == want.knots.tobytes()
        # What needs a row of the fit is computed for it. Every computation here goes
        # through dask.compute: the scheduler of this distributed release can lose track
        # of keys that client.compute's futures held and a later graph asks for again.
        assert pickle.dumps(lazy.density(5)) == pickle.dumps(want.density(5))
        np.testing.assert_array_equal(lazy.bin_masses(), want.bin_masses())
        values, edf, parameter = da.compute(lazy.values, lazy.edf, lazy.right_tail.parameter)
        assert values.tobytes() == want.values.tobytes()
        assert edf.tolist() == want.edf.tolist()
        assert parameter.tolist() == want.right_tail.parameter.tolist()


def test_smooth_fits_refuse_what_is_known_now_and_name_rows_in_tasks(client):
    counts = np.ones((20, 4))
    edges = [0.0, 1.0, 2.0, 3.0, np.inf]
    lazy_counts = da.from_array(counts, chunks=6)
    bad = np.full(20, 50.0)
    bad[17] = -1.0
    with pytest.raises(zelvane.InputError) as caught:  # checked now: a NumPy array
        zelvane.fit_smooth(edges, lazy_counts, smoothing="auto", sample_size=bad)
    assert (caught.value.problem, caught.value.argument, caught.value.row) == (
        "out_of_range", "sample_size", 17)
    lazy = zelvane.fit_smooth(edges, lazy_counts, smoothing="auto",
                              sample_size=da.from_array(bad, chunks=5))
    with pytest.raises(zelvane.InputError) as caught:  # in its task: a Dask array
        lazy.values.compute()
    assert (caught.value.problem, caught.value.argument, caught.value.row) == (
        "out_of_range", "sample_size", 17)
    for call, problem, argument in [
        (lambda: zelvane.fit_smooth(edges, lazy_counts, mean=da.from_array(np.ones(19))),
         "shape", "mean"),
        (lambda: zelvane.fit_smooth(edges, da.from_array(counts[0])), "ndim", "gap"),
        (lambda: zelvane.fit_smooth(np.tile(edges, (19, 1)), lazy_counts), "shape", "center"),
    ]:
        with pytest.raises(zelvane.InputError) as caught:
            call()
        assert (caught.value.problem, caught.value.argument) == (problem, argument)
