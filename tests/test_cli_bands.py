"""``zelvane fit --bands``: the smooth fit's confidence band beside its values and fitted
masses in every output format, read back and compared with the package's own intervals
(``SmoothFit.confidence``), from counts, shares with a sample size and a table's margin
column; the refusals; the band in the plot."""

import json
import os
import shutil

import numpy as np
import pytest

import zelvane
from test_cli import run_batch

TABLES = os.path.join(os.path.dirname(__file__), "tables")
EDGES = np.array([0.0, 10.0, 20.0, 40.0, 80.0])
COUNTS = np.array([30.0, 50.0, 20.0, 10.0])
SHARES = COUNTS / COUNTS.sum()
BATCH = np.array([[30.0, 50.0, 20.0, 10.0], [300.0, 420.0, 260.0, 90.0],
                  [5.0, 9.0, 4.0, 2.0]])
# Household income brackets of the American Community Survey (Pennsylvania, 2018), as
# tests/tables/acs-published.csv holds them with their 90 % margins.
ACS_EDGES = [0, 10000, 15000, 20000, 25000, 30000, 35000, 40000, 45000, 50000, 60000, 75000,
             100000, 125000, 150000, 200000, np.inf]
ACS_2018 = [323468, 222113, 236265, 236328, 231346, 238866, 215296, 206570, 199994, 383925,
            521111, 647732, 470594, 293297, 313969, 330057]
ACS_MOE = [8896, 7561, 7215, 7919, 6704, 7174, 6817, 5610, 6962, 7838, 8782, 10421, 10142,
           7344, 7958, 7818]


def table_text(edges, masses):
    return "lower,upper,count\n" + "".join(f"{lo!r},{hi!r},{m!r}\n" for lo, hi, m in
                                           zip(edges[:-1], edges[1:], masses))


@pytest.fixture(scope="module")
def bands_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("bands")
    (directory / "counts.csv").write_text(table_text(EDGES.tolist(), COUNTS.tolist()))
    (directory / "shares.csv").write_text(table_text(EDGES.tolist(), SHARES.tolist()))
    np.savez(directory / "batch.npz", edges=EDGES, counts=BATCH)
    shutil.copy(os.path.join(TABLES, "acs-published.csv"), directory / "acs.csv")
    return directory


def columns_of(path):
    """The columns of an output table by name: numbers (NaN where empty), the tail's kind
    as text."""
    with open(path) as stream:
        header = stream.readline().strip().split(",")
        rows = [line.rstrip("\n").split(",") for line in stream]
    return {name: np.array(cells) if name == "tail" else
            np.array([float(c) if c else np.nan for c in cells])
            for name, cells in zip(header, zip(*rows))}


def expected_band(intervals, knots, edges, total):
    """The band the command should write: the intervals of the density (a share per unit)
    at the knots and of the bins' shares, in the units of the fit (the total)."""
    low, high = intervals.pdf(knots)
    mass_low, mass_high = intervals.masses(edges)
    return low * total, high * total, mass_low * total, mass_high * total


def test_the_csv_band_is_the_fits_own_interval_of_every_value_and_mass(bands_dir):
    runs = run_batch(bands_dir, [
        (["fit", "--bands", "counts.csv", "-o", "b90.csv"], b""),
        (["fit", "counts.csv", "--bands", "--level", "0.5", "-o", "b50.csv"], b""),
        (["fit", "counts.csv", "-o", "plain.csv"], b"")])
    assert [r[0] for r in runs] == [0, 0, 0], runs
    b90, b50, plain = (columns_of(bands_dir / name) for name in ("b90.csv", "b50.csv",
                                                                 "plain.csv"))
    assert list(b90) == ["knot", "value", "value_low", "value_high", "mass", "fitted_mass",
                         "fitted_mass_low", "fitted_mass_high"]
    # The fit itself is the one written without a band.
    for name in ("knot", "value", "mass", "fitted_mass"):
        np.testing.assert_array_equal(b90[name], plain[name])
    fit = zelvane.fit_smooth(EDGES, COUNTS, smoothing="auto")
    on_edges = ~np.isnan(b90["mass"])
    for level, written in ((0.9, b90), (0.5, b50)):
        low, high, mass_low, mass_high = expected_band(fit.confidence(level), fit.knots, EDGES,
                                                       COUNTS.sum())
        np.testing.assert_array_equal(written["value_low"], low)
        np.testing.assert_array_equal(written["value_high"], high)
        np.testing.assert_array_equal(written["fitted_mass_low"][on_edges], mass_low)
        np.testing.assert_array_equal(written["fitted_mass_high"][on_edges], mass_high)
        assert np.isnan(written["fitted_mass_low"][written["knot"] == 80.0]).all()
    # Counts of 110 draws leave real room, and a 50 % band lies within the 90 % one.
    assert (b90["fitted_mass_high"][on_edges] - b90["fitted_mass_low"][on_edges]
            > 0.2 * COUNTS).all()
    assert (b90["value_low"] <= b50["value_low"]).all()
    assert (b50["value_high"] <= b90["value_high"]).all()
    assert (b50["value_high"] - b50["value_low"]).sum() < \
        0.7 * (b90["value_high"] - b90["value_low"]).sum()


def test_shares_are_exact_without_a_sample_size_and_narrow_with_a_larger_one(bands_dir):
    runs = run_batch(bands_dir, [
        (["fit", "shares.csv", "--bands", "-o", "exact.csv"], b""),
        (["fit", "shares.csv", "--bands", "--sample-size", "1000", "-o", "n1000.csv"], b""),
        (["fit", "shares.csv", "--bands", "--sample-size", "16000", "-o", "n16000.csv"], b"")])
    assert [r[0] for r in runs] == [0, 0, 0], runs
    exact, small, large = (columns_of(bands_dir / name) for name in
                           ("exact.csv", "n1000.csv", "n16000.csv"))
    # Exact masses: nothing is uncertain, the band is the fit.
    np.testing.assert_array_equal(exact["value_low"], exact["value"])
    np.testing.assert_array_equal(exact["value_high"], exact["value"])
    on_edges = ~np.isnan(exact["mass"])
    for end in ("fitted_mass_low", "fitted_mass_high"):
        np.testing.assert_allclose(exact[end][on_edges], exact["fitted_mass"][on_edges],
                                   rtol=1e-12)
    # Sixteen times the sample: about a quarter of the width (1 / sqrt(16)).
    mass_width = [(c["fitted_mass_high"] - c["fitted_mass_low"])[on_edges]
                  for c in (small, large)]
    ratio = np.median(mass_width[0] / mass_width[1])
    assert 3.0 < ratio < 5.3, ratio
    fit = zelvane.fit_smooth(EDGES, SHARES, smoothing="auto", sample_size=16000)
    low, high, _, _ = expected_band(fit.confidence(0.9), fit.knots, EDGES, 1.0)
    np.testing.assert_array_equal(large["value_low"], low)
    np.testing.assert_array_equal(large["value_high"], high)


def test_every_row_of_a_batch_gets_its_own_band_in_csv_and_npz(bands_dir):
    runs = run_batch(bands_dir, [
        (["fit", "batch.npz", "--bands", "-o", "batch.csv"], b""),
        (["fit", "batch.npz", "--bands", "-o", "batch-out.npz"], b""),
        (["fit", "batch.npz", "--bands", "--method", "all", "--refine", "1", "-o",
          "all.npz"], b"")])
    assert [r[0] for r in runs] == [0, 0, 0], runs
    written = columns_of(bands_dir / "batch.csv")
    archive = np.load(bands_dir / "batch-out.npz")
    fit = zelvane.fit_smooth(EDGES, BATCH, smoothing="auto")
    rows = fit.confidence(0.9)
    assert float(archive["band_level"]) == 0.9
    for k, masses in enumerate(BATCH):
        low, high, mass_low, mass_high = expected_band(rows[k], fit.knots, EDGES, masses.sum())
        mine = written["histogram"] == k
        np.testing.assert_array_equal(written["value_low"][mine], low)
        np.testing.assert_array_equal(written["value_high"][mine], high)
        np.testing.assert_array_equal(archive["values_low"][k], low)
        np.testing.assert_array_equal(archive["values_high"][k], high)
        np.testing.assert_array_equal(archive["fitted_masses_low"][k], mass_low)
        np.testing.assert_array_equal(archive["fitted_masses_high"][k], mass_high)
    # Ten times the sample: a band about a third as wide, relative to the counts.
    relative = (archive["fitted_masses_high"] - archive["fitted_masses_low"]) / BATCH
    assert 0.2 * relative[0].mean() < relative[1].mean() < 0.5 * relative[0].mean()
    # With every method, the band is the smooth fit's, named for it.
    every = np.load(bands_dir / "all.npz")
    assert {"values_low_smooth", "fitted_masses_high_smooth", "band_level_smooth"} <= \
        set(every.files)
    assert not any(name.endswith(("_low_iterative", "_low_exact")) for name in every.files)
    one = zelvane.fit_smooth(EDGES, BATCH, smoothing="auto", refine=1)
    high = one.confidence(0.9).pdf(one.knots)[1]
    np.testing.assert_array_equal(every["values_high_smooth"], high * BATCH.sum(axis=1)[:, None])


def test_a_margin_column_gives_the_band_of_the_published_margins(bands_dir):
    runs = run_batch(bands_dir, [(["fit", "acs.csv", "--bands", "-o", "acs.json"], b""),
                                 (["fit", "acs.csv", "--bands", "-o", "acs.csv.out.csv"], b"")])
    assert [r[0] for r in runs] == [0, 0], runs
    entry = json.loads((bands_dir / "acs.json").read_text())["histograms"][0]["fits"]["smooth"]
    assert entry["band_level"] == 0.9
    counts = np.array(ACS_2018, dtype=float)
    fit = zelvane.fit_smooth(ACS_EDGES, counts, smoothing="auto")
    published = fit.confidence(0.9, standard_errors=zelvane.margin_to_se(ACS_MOE))
    low, high, mass_low, mass_high = expected_band(published, fit.knots, ACS_EDGES,
                                                   counts.sum())
    np.testing.assert_array_equal(entry["values_low"], low)
    np.testing.assert_array_equal(entry["values_high"], high)
    np.testing.assert_array_equal(entry["fitted_masses_low"], mass_low)
    np.testing.assert_array_equal(entry["fitted_masses_high"], mass_high)
    # The survey's margins are wider than a simple sample of its households would give
    # (its design), and the band of each bracket's count is close to its margin.
    multinomial = fit.confidence(0.9)
    sample_low, sample_high = multinomial.masses(np.array(ACS_EDGES, dtype=float))
    assert ((mass_high - mass_low) > (sample_high - sample_low) * counts.sum()).all()
    half = 0.5 * (np.array(entry["fitted_masses_high"]) - entry["fitted_masses_low"])
    ratio = half / np.array(ACS_MOE)
    assert 0.6 < np.median(ratio) < 1.1, ratio
    # The open top: the CSV has its band on the row of the open bin, none at inf.
    written = columns_of(bands_dir / "acs.csv.out.csv")
    assert list(written)[:4] == ["knot", "value", "value_low", "value_high"]
    assert np.isinf(written["knot"][-1]) and np.isnan(written["value_low"][-1])
    last = written["knot"] == 200000
    assert written["fitted_mass_high"][last] == mass_high[-1]


def test_bands_are_refused_without_the_smooth_fit_in_npy_and_beyond_0_to_1(bands_dir):
    runs = run_batch(bands_dir, [
        (["fit", "counts.csv", "--bands", "--method", "exact"], b""),
        (["fit", "counts.csv", "--bands", "-o", "values.npy"], b""),
        (["fit", "counts.csv", "--bands", "--level", "1.5"], b""),
        (["fit", "counts.csv", "--bands", "--level", "0"], b"")])
    assert [r[0] for r in runs] == [2, 2, 2, 2]
    assert runs[0][2] == ("zelvane: --bands is an option of the smooth fit: it needs "
                          "--method smooth (or both)\n")
    assert runs[1][2] == ("zelvane: values.npy: a .npy file holds the values alone, and "
                          "--bands adds their low and high ends: write .csv, .json or .npz\n")
    for status, out, err in runs[2:]:
        assert "argument --level: expected a level between 0 and 1" in err and out == ""
    assert not (bands_dir / "values.npy").exists()


def test_the_plot_shades_the_band_of_the_body_and_of_an_open_tail(bands_dir):
    pytest.importorskip("matplotlib")
    from matplotlib.collections import PolyCollection

    from zelvane.cli.fitting import SMOOTH, SmoothOptions, fit
    from zelvane.cli.histograms import Histograms
    from zelvane.cli.plot import make_figure
    from zelvane.cli.results import density_of, with_band

    def shaded(figure):
        axes = figure.axes[0]
        return [c for c in axes.collections if isinstance(c, PolyCollection)
                and "90 % band" in str(c.get_label())]

    closed = Histograms("counts.csv", EDGES, COUNTS)
    result = with_band(fit(closed, (SMOOTH,), 1, 4, SmoothOptions(4, "auto")), 0.9, None,
                       0.9, 1)
    (band,) = shaded(make_figure(result, "counts"))
    corners = band.get_paths()[0].vertices
    _, _, (row,) = result.row(0)
    assert corners[:, 1].min() == row.band[0].min()
    assert corners[:, 1].max() == row.band[1].max()

    acs = Histograms("acs.csv", np.array(ACS_EDGES, dtype=float), np.array(ACS_2018, float))
    result = with_band(fit(acs, (SMOOTH,), 1, 4, SmoothOptions(4, "auto")), 0.9, None, 0.9, 1,
                       kept=1)
    (band,) = shaded(make_figure(result, "acs", densities=[density_of(result, 0)]))
    corners = band.get_paths()[0].vertices
    # Shaded beyond the last finite edge, over the tail, in shares per unit.
    assert corners[:, 0].max() > 2 * 200000
    beyond = corners[corners[:, 0] > 300000, 1]
    assert beyond.size and (beyond > 0).any() and beyond.max() < 1e-6
    runs = run_batch(bands_dir, [(["fit", "acs.csv", "--bands", "--plot", "acs.png",
                                   "-o", "acs-plot.csv"], b"")])
    assert runs[0][0] == 0, runs
    assert (bands_dir / "acs.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
