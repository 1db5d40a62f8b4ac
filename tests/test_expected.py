"""Results on every NumPy against values stored from a run under NumPy 1.x (where they
were also checked against zelvane.bake): fit_density of one histogram and of batches
by both methods, fit_smooth, PiecewiseLinearDensity, the command line and Dask.

Floats are stored as float.hex() texts, so that they compare bit for bit.
``python tests/test_expected.py`` writes expected.json anew from the installed package,
under NumPy 1.x only."""

import json
import subprocess
import sys
from pathlib import Path

import dask.array as da
import numpy as np
import pytest

import zelvane
from conftest import NUMPY2, assert_bits_equal, load_bake
from zelvane import PiecewiseLinearDensity
from zelvane._fit import METHODS

STORED = Path(__file__).with_name("expected.json")

CENTER = [0.0, 0.5, 2.0, 2.25, 4.0, 5.5, 6.0]
GAP = [0.1, 0.4, 0.2, 0.3, 0.05, 0.25]
ROW_CENTERS = [[0, 1, 2, 3, 4, 5, 6], [0, 0.5, 1.5, 3, 3.5, 5, 8], [-2, -1, 0, 0.25, 1, 4, 4.5]]
ROW_GAPS = [[1, 2, 3, 3, 2, 1], [0.5, 0, 2, 1, 0.25, 3], [2, 1, 0, 0, 1, 2]]
POINTS = [-1.0, 0.0, 0.3, 1.0, 2.1, 3.3, 5.9, 6.0, 7.0]
LEVELS = [0.0, 0.01, 0.25, 0.5, 0.75, 0.99, 1.0]
TABLE = "".join(f"{c!r},{g!r}\n" for c, g in zip(CENTER, GAP)) + f"{CENTER[-1]!r}\n"


def hexed(array):
    return np.vectorize(float.hex, otypes=[object])(np.asarray(array, np.float64)).tolist()


def unhexed(texts, dtype):
    return np.vectorize(float.fromhex, otypes=[np.float64])(np.array(texts, object)).astype(dtype)


def command_line_output(tmp_dir):
    """The table that ``zelvane fit`` writes on standard output for TABLE, every method."""
    table = Path(tmp_dir) / "histogram.csv"
    table.write_text(TABLE)
    proc = subprocess.run([sys.executable, "-m", "zelvane", "fit", str(table), "--method", "all"],
                          capture_output=True, text=True, cwd=tmp_dir, timeout=300)
    assert proc.returncode == 0, proc.stderr
    # The iterative and exact fits of TABLE dip below zero: one line announces it.
    assert proc.stderr == "" or (proc.stderr.startswith(f"zelvane: {table}: the ")
                                 and proc.stderr.count("\n") == 1), proc.stderr
    return proc.stdout


def density():
    # Shares of a thousand counts: the counts-aware fit, the smoothing its criterion's.
    return PiecewiseLinearDensity.from_histogram(GAP, CENTER, sample_size=1000)


def results(tmp_dir):
    """Everything stored, computed by the installed package."""
    fits = {}
    for method in ("iterative", "exact"):
        fits[method] = {
            "one": hexed(zelvane.fit_density(CENTER, GAP, method=method)),
            "shared": hexed(zelvane.fit_density(CENTER, ROW_GAPS, method=method)),
            "per_row": hexed(zelvane.fit_density(ROW_CENTERS, ROW_GAPS, method=method)),
        }
    smooth = {"one": [hexed(a) for a in zelvane.fit_smooth(CENTER, GAP)],
              "per_row": [hexed(a) for a in zelvane.fit_smooth(ROW_CENTERS, ROW_GAPS, refine=3)]}
    d = density()
    shown = {"knots": hexed(d.knots), "values": hexed(d.values), "pdf": hexed(d.pdf(POINTS)),
             "cdf": hexed(d.cdf(POINTS)), "sf": hexed(d.sf(POINTS)), "ppf": hexed(d.ppf(LEVELS)),
             "moments": hexed([d.mean(), d.var()]),
             "exact": hexed(PiecewiseLinearDensity.from_masses(ROW_CENTERS[0], [1, 2, 3, 3, 2, 1],
                                                               "exact").values)}
    return {"fit_density": fits, "fit_smooth": smooth, "density": shown,
            "command_line": command_line_output(tmp_dir)}


@pytest.fixture(scope="module")
def stored():
    return json.loads(STORED.read_text())


@pytest.mark.parametrize("method", ["iterative", "exact"])
@pytest.mark.parametrize("form", ["one", "shared", "per_row"])
def test_fit_density(stored, method, form):
    center = {"one": CENTER, "shared": CENTER, "per_row": ROW_CENTERS}[form]
    gap = GAP if form == "one" else ROW_GAPS
    want = unhexed(stored["fit_density"][method][form], np.float32)
    assert_bits_equal(zelvane.fit_density(center, gap, method=method), want)
    assert_bits_equal(zelvane.fit_density(center, gap, method=method, workers=2), want)


@pytest.mark.needs_bake
def test_stored_fits_are_those_of_bake(stored):
    bake = load_bake()
    for method, solver in METHODS.items():
        for form, centers, gaps in (("one", [CENTER], [GAP]), ("shared", [CENTER] * 3, ROW_GAPS),
                                    ("per_row", ROW_CENTERS, ROW_GAPS)):
            want = unhexed(stored["fit_density"][method][form], np.float32).reshape(len(gaps), -1)
            for row, (center, gap) in enumerate(zip(centers, gaps)):
                prob = np.empty(len(gap) + 1, np.float32)
                getattr(bake, solver)(np.float32(center), np.float32(gap), prob)
                assert_bits_equal(prob, want[row], f"{method} {form} row {row}: ")


@pytest.mark.parametrize("form", ["one", "per_row"])
def test_fit_smooth(stored, form):
    got = zelvane.fit_smooth(CENTER, GAP) if form == "one" else \
        zelvane.fit_smooth(ROW_CENTERS, ROW_GAPS, refine=3)
    for array, texts in zip(got, stored["fit_smooth"][form]):
        assert hexed(array) == texts


def test_density(stored):
    d, want = density(), stored["density"]
    got = {"knots": d.knots, "values": d.values, "pdf": d.pdf(POINTS), "cdf": d.cdf(POINTS),
           "sf": d.sf(POINTS), "ppf": d.ppf(LEVELS), "moments": [d.mean(), d.var()]}
    for name, array in got.items():
        assert hexed(array) == want[name], name
    exact = PiecewiseLinearDensity.from_masses(ROW_CENTERS[0], [1, 2, 3, 3, 2, 1], "exact")
    assert hexed(exact.values) == want["exact"]


def test_command_line(stored, tmp_path):
    assert command_line_output(tmp_path) == stored["command_line"]


@pytest.mark.parametrize("method", ["iterative", "exact"])
def test_dask(stored, method):
    lazy = zelvane.fit_density(CENTER, da.from_array(np.array(ROW_GAPS), chunks=(2, 3)),
                               method=method)
    want = unhexed(stored["fit_density"][method]["shared"], np.float32)
    assert_bits_equal(lazy.compute(scheduler="threads"), want)
    per_row = zelvane.fit_density(da.from_array(np.array(ROW_CENTERS), chunks=(1, 7)),
                                  da.from_array(np.array(ROW_GAPS), chunks=(2, 6)), method=method)
    assert_bits_equal(per_row.compute(scheduler="synchronous"),
                      unhexed(stored["fit_density"][method]["per_row"], np.float32))


if __name__ == "__main__":
    import tempfile

    assert not NUMPY2, "the stored values come from a run under NumPy 1.x"
    with tempfile.TemporaryDirectory() as folder:
        everything = {"numpy": np.__version__, **results(folder)}
    STORED.write_text(json.dumps(everything, indent=1) + "\n")
