"""One histogram from counts to a density and its summaries, held to a stored reference.

Every case of ``end_to_end_cases.py`` (closed and open histograms, a mean, exact masses,
counts, shares with a sample size, densities, closed ends, held and chosen tails) is
fitted by ``PiecewiseLinearDensity.from_histogram``. Where the native fits still give
the reference's bits for the reference's own arguments (replayed first), the density
must carry the reference's bits too: its knots, values, tails, median, mean, a cdf and
what it records of the fit. Where a kernel has changed its bits, the density must
still agree to the solvers' tolerance.
"""

import warnings

import numpy as np
import pytest

from end_to_end_cases import CALL_FIELDS, cases, digest, load, summary
from zelvane import PiecewiseLinearDensity, _native

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


@pytest.mark.parametrize("name, counts, edges, options", CASES, ids=[c[0] for c in CASES])
def test_density_matches_reference(name, counts, edges, options):
    same_input = (np.array_equal(counts, REFERENCE[f"{name}|counts"])
                  and np.array_equal(edges, REFERENCE[f"{name}|edges"]))
    if not same_input:
        pytest.skip("this NumPy draws other random numbers than the reference's")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        found = summary(PiecewiseLinearDensity.from_histogram(counts, edges, **options))
    expected = {key.split("|", 1)[1]: value for key, value in REFERENCE.items()
                if key.startswith(name + "|") and "|call" not in key
                and key.split("|", 1)[1] not in ("counts", "edges")}
    assert sorted(found) == sorted(expected)
    if _kernels_unchanged(name):
        for key, value in expected.items():
            got = found[key]
            if isinstance(value, np.ndarray):
                # Bits, NaN included (a density without smoothing records NaN here).
                assert got.view(np.uint64).tolist() == value.view(np.uint64).tolist(), key
            else:
                assert np.asarray(got).tolist() == value, key
        return
    # A kernel changed its bits: the same density to the solvers' tolerance.
    assert found["knots"].item() == expected["knots"]
    scale = float(np.max(expected["values"]))
    np.testing.assert_allclose(found["values"], expected["values"], rtol=0, atol=1e-6 * scale)
    np.testing.assert_allclose(found["numbers"][:3], expected["numbers"][:3], rtol=1e-6)
    for side in ("left_tail", "right_tail"):
        if side in expected:
            assert found[side + "_how"].tolist() == expected[side + "_how"]
            np.testing.assert_allclose(found[side], expected[side], rtol=1e-6)
