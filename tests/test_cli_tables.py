"""The tables people export, read by the command line: the files of tests/tables/ are
typed as spreadsheets write them (a byte order mark, CRLF, quoted cells with thousands
separators, semicolons with decimal commas, tabs, rows of empty cells). Each reads as
its bins, each malformed one is refused on its line; then the smooth fit's flags and
the open ends through `zelvane fit` and `zelvane summary`."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import zelvane
from zelvane.cli.errors import BadInput
from zelvane.cli.read import read_input
from test_cli import run_batch

TABLES = os.path.join(os.path.dirname(__file__), "tables")
INF = float("inf")


def table(name):
    return os.path.join(TABLES, name)


READS = {  # file: (edges, masses)
    # "Less than $10,000" starts at zero, as incomes do.
    "census-income.csv": ([0, 10000, 15000, 25000, 35000, 50000, 75000, 100000, 150000,
                           200000, INF],
                          [8412, 5967, 11234, 11020, 15301, 21054, 16298, 20145, 10987, 12873]),
    # Whole-number brackets: "5 to 9 years" holds the ages 5 to 9, up to 10.
    "ages.tsv": ([0, 5, 10, 15, 25, 45, 65, 85, INF],
                 [1204, 1187, 1233, 2410, 5120, 4876, 3012, 402]),
    "einkommen.csv": ([0, 10000, 15000, 25000, 50000, 100000, 200000, INF],
                      [8.4, 6.0, 11.2, 26.3, 37.4, 9.8, 1.3]),
    "ages-shares.csv": ([0, 5, 18, 65, INF], [5.5, 16.1, 60.9, 17.5]),
    "bounds.csv": ([-INF, 10000, 15000, 25000, 50000, INF], [8412, 5967, 11234, 26321, 70357]),
    "bounds.txt": ([-INF, 0, 2.5, 5, INF], [3, 10, 14, 6]),
    "edges-open.csv": ([-INF, 0, 2.5, 5, INF], [3, 10, 14, 6]),
    "brackets.csv": ([0, 10000, 15000, 25000, 50000, 200000, INF],
                     [8412, 5967, 11234, 26321, 57363, 12994]),
}


@pytest.mark.parametrize("name", sorted(READS))
def test_an_exported_table_reads_as_its_bins(name):
    histograms = read_input(table(name), False, None)
    edges, masses = READS[name]
    np.testing.assert_array_equal(histograms.edges, edges)
    np.testing.assert_array_equal(histograms.masses, masses)


def test_every_edge_and_mass_keeps_its_line():
    # census-income.csv: a header on line 1, the brackets on lines 2 to 11.
    histograms = read_input(table("census-income.csv"), False, None)
    assert histograms.lines == tuple(range(2, 12)) + (11,)
    assert histograms.mass_lines == tuple(range(2, 12))
    assert histograms.open_ends == (False, True)
    # lower, upper, count: the last edge is on the last row.
    histograms = read_input(table("bounds.csv"), False, None)
    assert histograms.line(5) == "line 6" and histograms.line(4, mass=True) == "line 6"


REFUSED = {
    "gap.csv": "gap.csv, line 4: the bin starts at 25, after the one above ends at 19: "
               "the rows leave a gap",
    "overlap.csv": "overlap.csv, line 3: the bin starts at 8, before the one above ends at "
                   "10: the rows overlap",
    "meeting.csv": "meeting.csv, line 4: the bin starts at 21 and the one above ends at 20, "
                   "but the bins above meet end to start (as in 10-20, 20-30)",
    "unquoted.csv": "unquoted.csv, line 4: 3 cells, expected 2; a number with a thousands "
                    "separator must be quoted in a comma-separated table",
    "open-middle.csv": "open-middle.csv, line 4: only the last row may leave the last bin open "
                       "(inf, ...+, ... or more, an empty upper end)",
    "one-column.csv": "one-column.csv: one column: a histogram table has a mass beside every "
                      "edge or bracket (or lower, upper and count); for a column of samples, "
                      "use --samples",
}


@pytest.mark.parametrize("name", sorted(REFUSED))
def test_a_malformed_table_is_refused_on_its_line(name):
    with pytest.raises(BadInput) as caught:
        read_input(table(name), False, None)
    assert str(caught.value) == table(REFUSED[name])


@pytest.mark.parametrize("text, message", [
    ("a,b\n-inf,1\n0,2\n-inf,3\n5\n", "line 4: only the first row may open the first bin"),
    ("a,b\n0,1\nunder 5,2\n5\n", "line 3: only the first row may open the first bin"),
    ("lower,upper,count\n0,,1\n5,10,2\n", "line 2, column 2: only the last row may leave"),
    ("a,b\n0,1\nten,2\n5\n", "line 3, column 1: not a number or a bracket"),
    ("a,b\n0-9,1\n10-19,\n", "line 3, column 2: empty cell"),
    ("a,b,c,d\n1,2,3,4\n", "line 2: the last row has a mass, but no edge after it closes"),
    ("a;b\n0;1,5.5\n1\n", "line 2, column 2: not a number: '1,5.5'"),
    ("a\tb\n0\t1,5\n1\n", "line 2, column 2: not a number: '1,5'"),
])
def test_cells_and_rows_out_of_place_are_named(tmp_path, text, message):
    path = tmp_path / "t.csv"
    path.write_text(text)
    with pytest.raises(BadInput) as caught:
        read_input(str(path), False, None)
    assert str(caught.value).startswith(f"{path}, {message}")


@pytest.mark.parametrize("text, edges, masses", [
    # A tab-separated table groups thousands with commas; a semicolon one with points.
    ("a\tb\n10,000-14,999\t1,234\n15,000+\t2\n", [10000, 15000, INF], [1234, 2]),
    ("a;b\n1.000-1.999;1.234,5\n2.000 or more;0,25\n", [1000, 2000, INF], [1234.5, 0.25]),
    # A lone point is a decimal point, in every table.
    ("a;b\n0.5;2\n0.75;1\n1\n", [0.5, 0.75, 1], [2, 1]),
    # Brackets that meet end to start end where they say; percentages are shares.
    ("x,y\n0-0.5,10%\n0.5-2,90%\n", [0, 0.5, 2], [10, 90]),
    ("x,y\n<10,1\n10-20,2\n20-30,3\n", [0, 10, 20, 30], [1, 2, 3]),
    ("x,y\n\"less than 10\",1\n10 and over,2\n", [0, 10, INF], [1, 2]),
    # "Under" a bound of zero or below leaves the bin open.
    ("x,y\nunder -5.5,1\n-5.5 to 0.5,2\n", [-INF, -5.5, 0.5], [1, 2]),
    # A single whole-number bracket holds its last number.
    ("x,y\n5-9,3\n", [5, 10], [3]),
    # White space: labels of several words, and open ends written as numbers.
    ("under 5 years 3\n5 to 9 years 4\n10 or more 1\n", [0, 5, 10, INF], [3, 4, 1]),
    ("-inf 0 1\n0 Inf 2\n", [-INF, 0, INF], [1, 2]),
])
def test_layouts_and_number_formats(tmp_path, text, edges, masses):
    path = tmp_path / "t.txt"
    path.write_bytes(text.encode())
    histograms = read_input(str(path), False, None)
    np.testing.assert_array_equal(histograms.edges, edges)
    np.testing.assert_array_equal(histograms.masses, masses)


def test_excel_unicode_text_is_read_as_utf16(tmp_path):
    path = tmp_path / "unicode.txt"
    path.write_bytes("Age\tPersons\r\n0-4\t10\r\n5+\t4\r\n".encode("utf-16"))
    histograms = read_input(str(path), False, None)
    np.testing.assert_array_equal(histograms.edges, [0, 5, INF])


# -- the smooth fit's flags through the command -----------------------------

@pytest.fixture(scope="module")
def tables_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tables")
    for name in os.listdir(TABLES):
        with open(table(name), "rb") as source:
            (directory / name).write_bytes(source.read())
    (directory / "closed.csv").write_text("edge,mass\n0,2\n1,7\n2,12\n3,9\n5,4\n8,1\n12\n")
    return directory


def fit_of(edges, masses, **options):
    return zelvane.fit_smooth(np.asarray(edges, float), np.asarray(masses, float), **options)


def test_counts_shares_and_the_smoothing_flags(tables_dir):
    runs = run_batch(tables_dir, [
        (["fit", "closed.csv", "--check", "-o", "counts.json"], b""),
        (["fit", "closed.csv", "--smoothing", "0", "--check", "-o", "exact.json"], b""),
        (["fit", "closed.csv", "--smoothing", "2.5", "-o", "fixed.json"], b""),
        (["fit", "ages-shares.csv", "-o", "shares.json"], b""),
        (["fit", "ages-shares.csv", "--sample-size", "2000", "-o", "sampled.json"], b""),
    ])
    assert [status for status, _, _ in runs] == [0] * 5, runs
    edges, masses = [0, 1, 2, 3, 5, 8, 12], [2, 7, 12, 9, 4, 1]
    shares = READS["ages-shares.csv"]

    def smooth(name):
        with open(tables_dir / name) as stream:
            return json.load(stream)["histograms"][0]["fits"]["smooth"]

    # Whole numbers are counts: smoothed by the criterion's choice.
    counts = smooth("counts.json")
    expected = fit_of(np.float32(edges), np.float32(masses), smoothing="auto")
    assert counts["smoothing"] == expected.smoothing > 0
    assert counts["values"] == expected.values.tolist()
    assert "(counts-aware)" in runs[0][1].splitlines()[1]
    exact = smooth("exact.json")
    assert exact["smoothing"] == 0 and "(exact masses)" in runs[1][1]
    np.testing.assert_allclose(exact["fitted_masses"], masses, rtol=1e-12)
    assert smooth("fixed.json")["smoothing"] == 2.5
    # Shares are exact masses, unless a sample size makes them counts.
    assert smooth("shares.json")["smoothing"] == 0
    sampled = smooth("sampled.json")
    assert sampled["values"] == fit_of(*shares, smoothing="auto",
                                       sample_size=2000.0).values.tolist()
    for tail in ("left_tail", "right_tail"):
        assert counts[tail] is None
    assert smooth("shares.json")["right_tail"]["kind"] == "pareto"


def test_open_ends_in_every_output_and_the_published_mean(tables_dir):
    runs = run_batch(tables_dir, [
        (["fit", "bounds.csv", "-o", "bounds-out.csv", "--check"], b""),
        (["fit", "census-income.csv", "--mean", "118000", "-o", "mean.json"], b""),
        (["fit", "census-income.csv", "--mean", "118000", "-o", "mean.npz"], b""),
    ])
    assert [status for status, _, _ in runs] == [0] * 3, runs
    edges, masses = READS["bounds.csv"]
    plain = fit_of(edges, masses, smoothing="auto")
    with open(tables_dir / "bounds-out.csv") as stream:
        rows = [line.rstrip("\n").split(",") for line in stream]
    assert rows[0] == ["knot", "value", "mass", "fitted_mass", "tail", "tail_parameter"]
    assert rows[1][:3] == ["-inf", "", "8412.0"] and rows[-1][0] == "inf"
    assert rows[1][4:] == ["exponential", repr(plain.left_tail.parameter)]
    joint = [row for row in rows if row[0] == "50000.0"]
    assert joint[0][2] == "70357.0"
    assert joint[0][4:] == ["exponential" if plain.right_tail.kind == "exponential" else "pareto",
                            repr(plain.right_tail.parameter)]
    assert [float(row[1]) for row in rows[1:-1] if row[1]] == plain.values.tolist()
    check = runs[0][1].splitlines()
    assert check[2] == (f"smooth: left tail: exponential from 10000, mass "
                        f"{plain.left_tail.mass:.6g}, scale (beta) "
                        f"{plain.left_tail.parameter:.6g} (interpolated from the end brackets)")
    assert check[3].startswith("smooth: right tail: pareto from 50000, mass ")
    edges, masses = READS["census-income.csv"]
    published = fit_of(edges, masses, smoothing="auto", mean=118000.0)
    assert published.left_tail is None
    with open(tables_dir / "mean.json") as stream:
        document = json.load(stream)["histograms"][0]
    assert document["edges"][0] == 0 and document["edges"][-1] is None
    right = document["fits"]["smooth"]["right_tail"]
    assert right == {"kind": "pareto", "joint": 200000.0, "mass": published.right_tail.mass,
                     "parameter": published.right_tail.parameter, "chosen": "mean"}
    fitted = document["fits"]["smooth"]["fitted_masses"]
    assert fitted[-1] == published.right_tail.mass
    with np.load(tables_dir / "mean.npz") as archive:
        assert str(archive["right_tail_kind"]) == "pareto"
        assert float(archive["right_tail_parameter"]) == published.right_tail.parameter
        assert archive["edges"][0] == 0


def test_options_that_do_not_fit_the_input(tables_dir):
    runs = run_batch(tables_dir, [
        (["fit", "closed.csv", "--mean", "3", "-o", "x.csv"], b""),
        (["fit", "census-income.csv", "--method", "iterative", "-o", "x.csv"], b""),
        (["fit", "closed.csv", "--method", "exact", "--sample-size", "10"], b""),
        (["fit", "closed.csv", "--smoothing", "-1"], b""),
        (["fit", "closed.csv", "--sample-size", "0"], b""),
    ])
    assert runs[0] == (2, "", "zelvane: closed.csv: --mean is met by the tail beyond an open "
                               "end, and this histogram has none (a last row such as 200000+ "
                               "or inf opens it)\n")
    assert runs[1] == (2, "", "zelvane: census-income.csv: an open end (-inf or inf) is fitted "
                              "by the smooth method alone, with a tail: use --method smooth\n")
    assert runs[2] == (2, "", "zelvane: --sample-size is an option of the smooth fit: it needs "
                              "--method smooth (or both)\n")
    for status, out, err in runs[3:]:
        assert status == 2 and out == "" and err.startswith("zelvane: error: argument ")
        assert err.endswith(" (zelvane fit --help for the usage)\n") and err.count("\n") == 1
    assert "expected auto, 0 or a positive number, not '-1'" in runs[3][2]
    assert not (tables_dir / "x.csv").exists()


def test_help_says_how_counts_are_told_from_masses(tables_dir):
    (status, out, _), = run_batch(tables_dir, [(["fit", "--help"], b"")])
    flat = " ".join(out.split())
    assert status == 0
    assert "auto when every mass is a whole number (counts)" in flat
    assert "10000-14999 then 15000-19999 give the edges 10000, 15000, 20000" in flat


# -- the density's summaries and its tails on a plot: PiecewiseLinearDensity with
#    smoothing, tails, gini and lorenz ---------------------------------------

def test_summary_of_a_census_table_with_its_published_mean(tables_dir):
    runs = run_batch(tables_dir, [
        (["summary", "census-income.csv", "--mean", "118000", "--plot", "summary.png",
          "--no-margins"], b""),
        (["summary", "-", "--mean", "118000", "--no-margins"],
         (tables_dir / "census-income.csv").read_bytes()),
        (["summary", "closed.csv", "--mean", "3"], b""),
    ])
    status, out, err = runs[0]
    assert (status, err) == (0, ""), err
    edges, masses = READS["census-income.csv"]
    density = zelvane.PiecewiseLinearDensity.from_masses(edges, masses, smoothing="auto",
                                                         mean=118000.0)
    lines = dict(line.split(": ", 1) for line in out.splitlines())
    assert lines["input"] == "census-income.csv, 10 bins, total 133291 (counts)"
    assert float(lines["median"]) == pytest.approx(density.median(), rel=1e-5)
    assert float(lines["mean"]) == pytest.approx(118000.0, rel=1e-5)
    assert float(lines["gini"]) == pytest.approx(density.gini(), abs=1e-4)
    assert float(lines["top 10% share"]) == pytest.approx(1 - density.lorenz(0.9), abs=1e-4)
    assert lines["right tail"].startswith("pareto from 200000")
    assert runs[1][1].replace("<stdin>", "census-income.csv") == out
    assert runs[2][0] == 2 and "--mean is met by the tail" in runs[2][2]
    png = (tables_dir / "summary.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_plot_of_an_open_table_draws_the_tails():
    from zelvane.cli.fitting import SmoothOptions, fit
    from zelvane.cli.plot import make_figure

    histograms = read_input(table("census-income.csv"), False, None)
    options = SmoothOptions()
    result = fit(histograms, ("smooth",), 1, 4, options)
    density = zelvane.PiecewiseLinearDensity.from_masses(histograms.edges, histograms.masses,
                                                         smoothing="auto")
    figure = make_figure(result, "income", densities=[density])
    top, error = figure.subfigs[0].axes
    low, high = top.get_xlim()
    # The tail reaches past the last finite edge, and the open bin is labelled with its
    # share ("Less than $10,000" starts at zero: no tail on the left).
    assert low <= 0 and high > 200000
    drawn = np.concatenate([line.get_xdata() for line in top.get_lines()])
    assert drawn.min() == 0 and drawn.max() > 200000
    texts = [text.get_text() for text in top.texts]
    assert texts == [f"200000+: {12873 / 133291:.1%}"]


def test_summary_refuses_many_histograms(tables_dir):
    np.savez(tables_dir / "two.npz", edges=np.arange(3.0), counts=np.ones((2, 2)))
    (status, out, err), = run_batch(tables_dir, [(["summary", "two.npz"], b"")])
    assert (status, out) == (2, "")
    assert err == "zelvane: two.npz: summary describes one histogram, and this holds 2: " \
                  "use zelvane fit\n"


def test_the_command_runs_from_a_clean_directory(tmp_path):
    # As a person runs it: the console script on a file beside it.
    (tmp_path / "brackets.csv").write_bytes(open(table("brackets.csv"), "rb").read())
    script = os.path.join(os.path.dirname(sys.executable), "zelvane")
    proc = subprocess.run([script, "fit", "brackets.csv", "--check"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == "knot,value,mass,fitted_mass,tail,tail_parameter"
    assert "right tail: pareto from 200000" in proc.stderr
