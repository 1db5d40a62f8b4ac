"""One histogram from counts to a density and its summaries, held to a stored reference.

Every case of ``end_to_end_cases.py`` (closed and open histograms, a mean, exact masses,
counts, shares with a sample size, densities, closed ends, held and chosen tails) is
fitted by ``PiecewiseLinearDensity.from_histogram``. The arguments the package hands
the native fits must be the reference's (to the bit, or within the last bits where
NumPy's own functions round otherwise, a logarithm on another build). Where they are
the reference's to the bit and the native fits still give the reference's bits for
them (replayed first), the density must carry the reference's bits too: its knots,
values, tails, median, mean, a cdf and what it records of the fit. Otherwise the
density must still agree to the solvers' tolerance.
"""

import warnings

import numpy as np
import pytest

from end_to_end_cases import CALL_FIELDS, _recorded, cases, digest, load, summary
from zelvane import PiecewiseLinearDensity, _errors as zelvane_errors, _native

REFERENCE = load()
CASES = cases()


def _kernels_unchanged(name):
    """Whether every native fit of case `name` gives the reference's output again."""
    k = 0
    while f"{name}|call{k}|out" in REFERENCE:
        call = {field: REFERENCE.get(f"{name}|call{k}|{field}") for field in CALL_FIELDS}
        out = np.empty(int(call["masses"].size * call["refine"][0] + 1 + _native.INFO_LENGTH))
        _native.fit_open(call["edges"], call["masses"], out, int(call["refine"][0]),
                         float(call["smoothing"][0]), float(call["complexity"][0]),
                         call["sample_sizes"], call["means"], 1,
                         (call["held_left"], call["held_right"]), call["right_kind"])
        if digest(out).item() != call["out"]:
            return False
        k += 1
    assert k > 0, "every case makes at least one native fit"
    return True


def _same_arguments(name, log):
    """Whether the native fits of case `name` were handed the reference's arguments to
    the bit (True) or within NumPy's rounding (False); anything else fails."""
    if f"{name}|call{len(log)}|out" in REFERENCE or \
            f"{name}|call{len(log) - 1}|out" not in REFERENCE:
        # NumPy's rounding moved a search (the counts moved for a mean) by a step.
        return False
    exact = True
    for k, call in enumerate(log):
        for field in CALL_FIELDS[:-1]:
            want, got = REFERENCE.get(f"{name}|call{k}|{field}"), call[field]
            if isinstance(want, str) or want is None or got is None:
                assert got == want, field
                continue
            got = np.asarray(got, dtype=np.float64).reshape(-1)
            if got.view(np.uint64).tolist() != want.view(np.uint64).tolist():
                np.testing.assert_allclose(got, want, rtol=1e-12, err_msg=field)
                exact = False
    return exact


@pytest.mark.parametrize("name, counts, edges, options", CASES, ids=[c[0] for c in CASES])
def test_density_matches_reference(name, counts, edges, options, monkeypatch):
    same_input = (np.array_equal(counts, REFERENCE[f"{name}|counts"])
                  and np.array_equal(edges, REFERENCE[f"{name}|edges"]))
    if not same_input:
        pytest.skip("this NumPy draws other random numbers than the reference's")
    log = []
    monkeypatch.setattr(_native, "fit_open", _recorded(_native.fit_open, log))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        found = summary(PiecewiseLinearDensity.from_histogram(counts, edges, **options))
    monkeypatch.undo()
    expected = {key.split("|", 1)[1]: value for key, value in REFERENCE.items()
                if key.startswith(name + "|") and "|call" not in key
                and key.split("|", 1)[1] not in ("counts", "edges")}
    assert sorted(found) == sorted(expected)
    if _same_arguments(name, log) and _kernels_unchanged(name):
        for key, value in expected.items():
            got = found[key]
            if isinstance(value, np.ndarray):
                # Bits, NaN included (a density without smoothing records NaN here).
                assert got.view(np.uint64).tolist() == value.view(np.uint64).tolist(), key
            else:
                assert np.asarray(got).tolist() == value, key
        return
    # A kernel changed its bits: the same density to the solvers' tolerance (the
    # criterion may choose another lambda of nearly the same fit, as in test_counts).
    assert found["knots"].item() == expected["knots"]
    scale = float(np.max(expected["values"]))
    np.testing.assert_allclose(found["values"], expected["values"], rtol=0, atol=1e-4 * scale)
    np.testing.assert_allclose(found["numbers"][:3], expected["numbers"][:3], rtol=1e-4)
    for side in ("left_tail", "right_tail"):
        if side in expected:
            assert found[side + "_how"].tolist() == expected[side + "_how"]
            np.testing.assert_allclose(found[side], expected[side], rtol=1e-4)


# ------------------------------------------------- one histogram against a batch of it

def _open_histograms(count=120):
    """Open-topped histograms of every kind the one-histogram paths branch on: an end
    bracket from zero or below, an empty open bin or end bracket, few bins, a left open
    end, masses that make the exact fit's bound on the index bind."""
    rng = np.random.default_rng(11)
    made = []
    for k in range(count):
        m = int(rng.integers(2, 9))
        start = [0.0, -5.0, 1.0, 1000.0][k % 4]
        edges = start + np.cumsum(rng.uniform(0.5, 3.0, m))
        edges = np.append(np.insert(edges, 0, start), np.inf)[: m + 1]
        edges[-1] = np.inf
        masses = rng.integers(0, 40, m).astype(np.float64)
        masses[0] += 1.0
        if k % 5 == 0:
            masses[-1] = 0.0
        if k % 7 == 0:
            masses[-1] = 500.0  # a heavy open bin: the exact fit's bound binds
        if k % 6 == 0:
            edges = np.insert(edges[1:], 0, -np.inf)
            masses[0] = float(rng.integers(1, 9))
        made.append((edges, masses))
    return made


def test_pareto_index_of_one_histogram_is_its_row_in_a_batch():
    from zelvane._tails import pareto_index

    for edges, masses in _open_histograms():
        for exact in (False, True):
            one = pareto_index(edges, masses, 4, exact)
            rows = pareto_index(np.stack([edges, edges]), np.stack([masses, masses]), 4, exact)
            assert np.shape(one[0]) == np.shape(one[1]) == np.shape(one[2]) == ()
            for single, batch in zip((one[0], one[2]), (rows[0], rows[2])):
                assert np.float64(single).view(np.uint64) == batch[1].view(np.uint64), \
                    (edges, masses, exact)
            assert one[1].item() == rows[1][1]


def test_held_tails_of_one_histogram_are_its_row_in_a_batch():
    from zelvane._open_ends import _held

    for edges, masses in _open_histograms():
        left = bool(edges[0] == -np.inf)
        for choice, mean in (((None, None), None), ((None, None), np.array([50.0])),
                             ((None, "pareto"), None), ((2.0, 3.0), None),
                             ((None, "exponential"), np.array([50.0]))):
            if choice[1] == "pareto" and not edges[-2] > 0:
                continue
            for exact in (False, True):
                outcomes = []
                for e, w, means in ((edges, masses, mean),
                                    (np.stack([edges, edges]), np.stack([masses, masses]),
                                     None if mean is None else np.repeat(mean, 2))):
                    try:
                        outcomes.append(_held(choice, e, w, 4, exact, left, True, means, "gap"))
                    except zelvane_errors.InputError as refusal:
                        outcomes.append(refusal.problem)
                one, rows = outcomes
                if isinstance(one, str) or isinstance(rows, str):
                    assert one == rows
                    continue
                for k in (0, 1):
                    if rows[0][k] is None:
                        assert one[0][k] is None
                    else:
                        assert one[0][k].tolist() == rows[0][k][:1].tolist() or \
                            np.isnan(one[0][k][0]) and np.isnan(rows[0][k][0])
                    assert list(one[2][k]) == list(rows[2][k][:1])
                assert one[1] == rows[1]
                assert np.float64(one[2][2][0]).view(np.uint64) == \
                    np.float64(rows[2][2][0]).view(np.uint64) or \
                    np.isnan(one[2][2][0]) and np.isnan(rows[2][2][0])


def test_fit_of_one_histogram_is_its_row_in_a_batch():
    # The tails read back, checked, marked and warned of, one histogram against a batch
    # of two copies of it: the same tails to the bit, the same names, the same refusal,
    # and a warning for both or for neither.
    import zelvane

    for edges, masses in _open_histograms(60):
        for smoothing in (0, "auto"):
            outcomes = []
            for w in (masses, np.stack([masses, masses])):
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    try:
                        fit = zelvane.fit_smooth(edges, w, smoothing=smoothing)
                    except zelvane.InputError as refusal:
                        outcomes.append(refusal.problem)
                        continue
                warned = any(issubclass(c.category, zelvane.ExtrapolationWarning)
                             for c in caught)
                outcomes.append((fit, warned))
            one, rows = outcomes
            if isinstance(one, str) or isinstance(rows, str):
                assert one == rows, (edges, masses, smoothing)
                continue
            assert one[1] == rows[1]
            assert one[0].values.tobytes() == rows[0].values[1].tobytes()
            for side in ("left_tail", "right_tail"):
                single, batch = getattr(one[0], side), getattr(rows[0], side)
                if batch is None:
                    assert single is None
                    continue
                kind = batch.kind if isinstance(batch.kind, str) else batch.kind[1]
                if kind == "none":
                    assert single is None
                    continue
                how = batch.chosen if isinstance(batch.chosen, str) else batch.chosen[1]
                assert (single.kind, single.chosen) == (kind, how)
                assert [single.joint, single.mass, single.parameter] == \
                    [batch.joint[1], batch.mass[1], batch.parameter[1]]


@pytest.mark.parametrize("value", [2000.0, 0.0, -3.0, float("nan"), float("inf"),
                                   -float("inf"), 1e-300])
@pytest.mark.parametrize("name, missing", [("sample_size", False), ("mean", True)])
def test_one_float_setting_is_checked_as_an_array_of_it(value, name, missing):
    from zelvane._checks import per_row

    def outcome(given):
        try:
            return per_row(name, given, (), missing_allowed=missing).tolist()
        except zelvane_errors.InputError as refusal:
            return str(refusal)

    assert outcome(value) == outcome(np.array(value))


@pytest.mark.parametrize("edges", [[-np.inf, np.inf], [-np.inf, 1.0, np.inf],
                                   [-np.inf, np.nan, 2.0, np.inf], [0.0, 1.0, -np.inf],
                                   [np.inf, 1.0, 2.0], [-np.inf, -np.inf, 1.0],
                                   [1.0, np.inf, np.inf], [0.0, 2.0, 1.0, np.inf],
                                   [-1.7e308, 1.0, np.inf], [0.0, 1e308, np.inf]])
def test_open_edges_of_one_histogram_are_checked_as_a_row_of_a_batch(edges):
    from zelvane._checks import check_histogram

    def outcome(e, g):
        try:
            return [a.reshape(-1).tolist() for a in check_histogram(
                e, g, nonnegative=True, dtype=np.float64, open_ends=True)]
        except zelvane_errors.InputError as refusal:
            return (refusal.problem, refusal.details.get("index"))

    masses = np.ones(len(edges) - 1)
    one = outcome(np.array(edges), masses)
    rows = outcome(np.array([edges]), masses[None, :])
    assert one == rows


@pytest.mark.parametrize("masses", [
    [3.0, 0.0, 12.0], [3.0, 0.5, 12.0], [-2.0, 1e300, 7.0], [np.inf, 2.0], [np.nan, 2.0],
    [np.nan, 2.5], [-np.inf, np.inf], [-0.0, 4.0], [2.0 ** 52 + 0.5, 1.0], [1e-320, 0.0],
    [0.1 + 0.2, 1.0], np.arange(40.0) * 3.0])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_whole_numbers_leave_out_what_is_not_finite(masses, dtype):
    from zelvane._checks import whole_numbers

    with np.errstate(over="ignore"):  # 1e300 is inf in float32
        given = np.asarray(masses, dtype=dtype)
    finite = given[np.isfinite(given)]
    assert whole_numbers(given) == all(float(v) == int(v) for v in finite)
