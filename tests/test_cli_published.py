"""Tables as statistics offices publish them, read by zelvane.read_table and the command
line: the files of tests/tables/ are typed as a spreadsheet exports them (a title above
the header, a Total row, footnotes below, quoted numbers with thousands separators,
margins of error written with ±, a Percent column, one column per year, ages in words).
Their numbers are the American Community Survey's (table B19001, Pennsylvania)."""

import csv
import io
import json
import os
import shutil

import numpy as np
import pytest

import zelvane
from test_cli import run_batch

TABLES = os.path.join(os.path.dirname(__file__), "tables")
INF = float("inf")
ACS_EDGES = [0, 10000, 15000, 20000, 25000, 30000, 35000, 40000, 45000, 50000, 60000, 75000,
             100000, 125000, 150000, 200000, INF]
# Households and their margins of error in 2018, as the Bureau publishes them.
ACS_2018 = [323468, 222113, 236265, 236328, 231346, 238866, 215296, 206570, 199994, 383925,
            521111, 647732, 470594, 293297, 313969, 330057]
ACS_MOE = [8896, 7561, 7215, 7919, 6704, 7174, 6817, 5610, 6962, 7838, 8782, 10421, 10142,
           7344, 7958, 7818]


def table(name):
    return os.path.join(TABLES, name)


def test_a_census_export_reads_as_its_brackets_margins_and_total():
    t = zelvane.read_table(table("acs-published.csv"))
    np.testing.assert_array_equal(t.edges, ACS_EDGES)
    np.testing.assert_array_equal(t.counts, ACS_2018)
    np.testing.assert_array_equal(t.margins, ACS_MOE)
    assert t.total.tolist() == [sum(ACS_2018)]
    assert t.columns == ("Pennsylvania!!Estimate",)
    # The indent of the labels (non-breaking spaces) is no part of them.
    assert t.labels[0] == "Less than $10,000" and t.labels[-1] == "$200,000 or more"
    assert [line for line, _ in t.skipped] == [1, 21, 22]
    assert t.skipped[1][1].startswith("Source: U.S. Census Bureau")
    assert t.count_lines == tuple(range(4, 20)) and t.edge_lines[0] == 4


def test_a_percent_column_is_left_aside_beside_counts_and_read_when_asked_for():
    t = zelvane.read_table(table("acs-percent.csv"))
    np.testing.assert_array_equal(t.counts, ACS_2018)
    assert t.columns == ("Households",) and t.margins is None
    assert t.total.tolist() == [sum(ACS_2018)] and t.skipped == ((1, "Household income in "
                                                                  "Pennsylvania"),)
    shares = zelvane.read_table(table("acs-percent.csv"), column="percent")
    np.testing.assert_allclose(shares.counts, np.round(np.array(ACS_2018) / sum(ACS_2018) * 100,
                                                       1))


def test_a_wide_table_gives_one_histogram_per_chosen_column():
    wide = zelvane.read_table(table("acs-wide.tsv"), column=["2016", "2018"])
    assert wide.counts.shape == (2, 16) and wide.columns == ("2016", "2018")
    np.testing.assert_array_equal(wide.counts[1], ACS_2018)
    np.testing.assert_array_equal(wide.edges, ACS_EDGES)
    first = zelvane.read_table(table("acs-wide.tsv"))
    assert first.columns == ("2016",)
    np.testing.assert_array_equal(first.counts, wide.counts[0])
    one = zelvane.read_table(table("acs-wide.tsv"), column="2018")
    assert one.counts.ndim == 1 and one.columns == ("2018",)


def test_a_title_of_one_cell_above_lower_upper_count_rows_names_the_count_column():
    # A header narrower than the rows it heads: the counts keep the generic name.
    table = zelvane.read_table(io.BytesIO(b"a\n0,1,5\n1,2,7\n"))
    assert table.columns == ("count",)
    np.testing.assert_array_equal(table.counts, [5.0, 7.0])
    np.testing.assert_array_equal(table.edges, [0.0, 1.0, 2.0])


def test_ages_in_words_close_at_the_next_whole_year_and_open_at_85_and_over():
    t = zelvane.read_table(table("ages-published.tsv"), column="FEMALE")
    np.testing.assert_array_equal(t.edges, [0, 5, 10, 15, 20, 45, 65, 85, INF])
    assert t.counts.tolist() == [333, 346, 360, 385, 2010, 1702, 1010, 190]
    assert t.columns == ("Female",) and t.skipped[-1] == (11, "* Age at last birthday")


@pytest.mark.parametrize("text, column, problem, message", [
    (open(os.path.join(TABLES, "total-wrong.csv")).read(), None, "total",
     "line 2, column 2: the 'Total' row says 1000, but the rows of the table sum to 990"),
    ("x,share\n0-9,33.3\n10-19,33.3\n20-29,33.3\nTotal,100.5\n", None, "total",
     "line 5, column 2: the 'Total' row says 100.5, but the rows of the table sum to 99.9"),
    ("Age,Men,Women\n0-9,1,2\n10+,3,4\n", "Male", "no_column",
     "no column 'Male': the table's columns are 'Men', 'Women'"),
    ("Income,Estimate,MOE\n0-9,1,2\n10+,3,4\n", "moe", "margin_column",
     "column 'MOE' holds margins of error: choose the column of the counts they belong to"),
    ("Income,Estimate\n0-9,1\n10+,3\n", "income", "label_column",
     "column 'income' holds the bins' labels, not counts"),
    ("x,n\nTotal,2\n0-9,1\nAll,1\n10+,1\n", None, "two_totals",
     "line 4: a second total row ('All'); the first is on line 2"),
    ("Household income 2018\nSource: nowhere\n", None, "no_bins",
     "no row starts with a bin edge or a bracket"),
])
def test_a_refused_table_names_the_real_problem(text, column, problem, message):
    with pytest.raises(zelvane.TableError) as caught:
        zelvane.read_table(io.StringIO(text), column=column)
    assert isinstance(caught.value, ValueError) and caught.value.problem == problem
    assert str(caught.value).startswith(message)


def test_a_total_within_the_rounding_of_its_rows_holds():
    # Three shares rounded to one decimal sum to 99.9; their total says 100.0.
    t = zelvane.read_table(io.StringIO("x,share\n0-9,33.3\n10-19,33.3\n20-29,33.3\n"
                                       "Total,100.0\n"))
    assert t.total.tolist() == [100.0] and t.counts.tolist() == [33.3, 33.3, 33.3]


def test_a_header_without_a_name_over_the_labels_is_a_header():
    t = zelvane.read_table(io.StringIO(",Households\n0-9,5\n10+,7\n"))
    assert t.columns == ("Households",) and t.counts.tolist() == [5, 7]
    # An empty first cell beside numbers is an open lower end.
    t = zelvane.read_table(io.StringIO("lower,upper,n\n,10,5\n10,,7\n"))
    assert t.edges.tolist() == [-INF, 10, INF]


def test_bytes_in_utf16_and_a_name_for_messages():
    text = "Income;Haushalte\nunter 10.000;1,5\n10.000 bis 19.999;2\n20.000+;3\n"
    data = b"\xff\xfe" + text.replace("unter", "under").replace(" bis ", " to ") \
        .encode("utf-16-le")
    t = zelvane.read_table(io.BytesIO(data), source="mine.csv")
    np.testing.assert_array_equal(t.edges, [0, 10000, 20000, INF])
    assert t.counts.tolist() == [1.5, 2, 3]
    with pytest.raises(zelvane.TableError, match=r"^mine\.csv, line 3, column 2: "):
        zelvane.read_table(io.StringIO("a,b\n0-9,1\n10-19,x\n"), source="mine.csv")


# -- the command line -------------------------------------------------------

def plain_table(folder, counts):
    """The same brackets as a plain two-column table, for the fit to match."""
    rows = zip([f"{int(a)}-{int(b) - 1}" for a, b in zip(ACS_EDGES[:-2], ACS_EDGES[1:-1])]
               + ["200000+"], counts)
    with open(folder / "plain.csv", "w", newline="") as stream:
        csv.writer(stream).writerows([("income", "households"), *rows])


@pytest.fixture
def published(tmp_path):
    for name in ("acs-published.csv", "acs-percent.csv", "acs-wide.tsv", "total-wrong.csv"):
        shutil.copy(table(name), tmp_path / name)
    plain_table(tmp_path, ACS_2018)
    np.savez(tmp_path / "one.npz", edges=np.arange(3.0), counts=np.ones(2))
    return tmp_path


def test_the_command_fits_a_published_table_as_its_plain_twin(published):
    runs = run_batch(published, [
        # (The figures alone: the published table's margins of error make its own.)
        (["summary", "acs-published.csv", "--no-margins"], b""),
        (["summary", "plain.csv", "--no-margins"], b""),
        (["summary", "acs-percent.csv", "--no-margins"], b""),
        (["fit", "acs-wide.tsv", "--column", "2016", "--column", "2018"], b""),
        (["fit", "acs-wide.tsv", "--column", "2018"], b""),
        (["summary", "total-wrong.csv"], b""),
        (["summary", "acs-wide.tsv", "--column", "2017", "--column", "2018"], b""),
        (["fit", "one.npz", "--column", "n"], b""),
        (["summary", "acs-wide.tsv", "--column", "2019"], b""),
    ])
    (status, out, err), plain = runs[0], runs[1]
    assert status == 0 and plain[0] == 0
    # The same numbers: the same fit, but for the name on the first line.
    assert out.splitlines()[1:] == plain[1].splitlines()[1:]
    assert out.startswith("input: acs-published.csv, 16 bins, total 5070931 (counts)\n")
    assert err.count("\n") == 1 and err.startswith(
        "zelvane: acs-published.csv: skipped as no part of the table: line 1 ('Table B19001")
    assert "line 21 ('Source: U.S. Census" in err and "line 22 ('Note:" in err
    assert runs[2][1].splitlines()[1:] == plain[1].splitlines()[1:]
    # One histogram per column, the column's own fit row for row.
    wide, alone = runs[3][1].splitlines(), runs[4][1].splitlines()
    assert runs[3][0] == 0 and wide[0] == "histogram," + alone[0]
    assert [line[2:] for line in wide[1:] if line.startswith("1,")] == alone[1:]
    assert {line[:2] for line in wide[1:]} == {"0,", "1,"}
    assert runs[5] == (2, "", "zelvane: total-wrong.csv, line 2, column 2: the 'Total' row "
                              "says 1000, but the rows of the table sum to 990\n")
    assert runs[6][2].endswith("zelvane: acs-wide.tsv: summary describes one histogram, and "
                               "this holds 2: use zelvane fit\n")
    assert runs[7] == (2, "", "zelvane: one.npz: --column and --all-columns choose columns of "
                              "a table, not of a .npz archive\n")
    assert runs[8][2].endswith("zelvane: acs-wide.tsv: no column '2019': the table's columns "
                               "are '2016', '2017', '2018'\n")


def test_every_column_of_counts_or_the_first_named_with_the_others(published):
    shutil.copy(table("ages-published.tsv"), published / "ages.tsv")
    runs = run_batch(published, [
        (["fit", "ages.tsv", "--all-columns"], b""),
        (["fit", "ages.tsv", "--column", "Male", "--column", "Female"], b""),
        (["fit", "ages.tsv"], b""), (["fit", "ages.tsv", "--column", "male"], b""),
        (["fit", "acs-published.csv", "--all-columns"], b""),
        (["fit", "ages.tsv", "--all-columns", "--column", "Male"], b""),
    ])
    assert runs[0][0] == 0 and runs[0][1] == runs[1][1]
    assert runs[0][1].startswith("histogram,knot,")
    # The first column alone, the others named beside it; chosen by name, no word of them.
    assert runs[2][1] == runs[3][1] and "fitting column" not in runs[3][2]
    assert runs[2][2].splitlines()[-1] == ("zelvane: ages.tsv: fitting column 'Male'; the "
                                           "table has also 'Female' (choose with --column, "
                                           "or --all-columns)")
    # A margin of error is no column of counts: one histogram.
    assert runs[4][0] == 0 and runs[4][1].startswith("knot,")
    assert runs[5] == (2, "", "zelvane: --column and --all-columns both given: choose the "
                              "columns one way\n")
    (published / "bad.csv").write_text("Age,Male,Female\n0-9,5,6\n10-19,7,-2\n20-29,3,4\n")
    runs = run_batch(published, [(["fit", "bad.csv", "--all-columns"], b""),
                                 (["fit", "bad.csv", "--all-columns", "--method", "exact"], b"")])
    for status, out, err in runs:
        assert (status, out, err) == (2, "", "zelvane: bad.csv, line 3, column 'Female': "
                                             "mass[1, 1] = -2.0 is negative\n")
    assert zelvane.read_table(table("acs-percent.csv")).count_columns == ("Households",)


def test_upper_and_lower_close_an_open_bracket_as_the_package_does(published):
    shutil.copy(os.path.join(TABLES, "ages.tsv"), published / "ages.tsv")
    shutil.copy(os.path.join(TABLES, "bounds.csv"), published / "bounds.csv")
    # (The figures alone, as the package gives them: --no-margins.)
    runs = run_batch(published, [
        (["summary", "ages.tsv", "--upper", "110", "--no-margins"], b""),
        (["fit", "ages.tsv", "--upper", "110", "--method", "all", "-o", "ages.csv"], b""),
        (["summary", "ages.tsv", "--upper", "80"], b""),
        (["summary", "ages.tsv", "--lower", "-5"], b""),
        (["summary", "bounds.csv", "--lower", "0", "--upper", "1e6"], b""),
        (["summary", "ages.tsv", "--upper", "110", "--mean", "40"], b""),
    ])
    t = zelvane.read_table(table("ages.tsv"))
    edges = t.edges.copy()
    edges[-1] = 110
    d = zelvane.PiecewiseLinearDensity.from_histogram(t.counts, edges)
    lines = dict(line.split(": ", 1) for line in runs[0][1].splitlines())
    assert lines["median"] == f"{d.median():.6g}" and lines["mean"] == f"{d.mean():.6g}"
    assert lines["right tail"] == "none" and d.right_tail is None
    # Closed, the histogram has every method's fit, and its last edge is 110.
    assert runs[1][0] == 0
    assert (published / "ages.csv").read_text().splitlines()[-1].startswith("110.0,")
    assert runs[2] == (2, "", "zelvane: ages.tsv: --upper 80 is not above the last finite "
                              "edge, 85\n")
    assert runs[3] == (2, "", "zelvane: ages.tsv: --lower closes an open first bin, and this "
                              "histogram's first edge is 0\n")
    closed = dict(line.split(": ", 1) for line in runs[4][1].splitlines())
    assert closed["left tail"] == closed["right tail"] == "none"
    # No open end is left for a mean to be met by its tail.
    assert runs[5][0] == 2 and "--mean is met by the tail beyond an open end" in runs[5][2]


def test_tail_chooses_the_law_or_its_parameter_and_each_tail_says_how(published):
    shutil.copy(os.path.join(TABLES, "ages.tsv"), published / "ages.tsv")
    runs = run_batch(published, [
        (["summary", "ages.tsv"], b""), (["summary", "ages.tsv", "--tail", "exponential"], b""),
        (["summary", "ages.tsv", "--tail", "3"], b""),
        (["summary", "ages.tsv", "--tail", "0.8"], b""),
        (["fit", "ages.tsv", "--tail", "3", "-o", "tail.json"], b""),
        (["summary", "ages.tsv", "--tail", "pareto,exponential,3"], b""),
        (["fit", "ages.tsv", "--tail", "3", "--method", "exact"], b""),
    ])
    t = zelvane.read_table(table("ages.tsv"))
    tails = [dict(line.split(": ", 1) for line in out.splitlines())["right tail"]
             for _, out, _ in runs[:4]]
    assert tails[0].endswith("(from the last brackets and the prior index)")
    assert tails[1].startswith("exponential from 85, ") and \
        tails[1].endswith("(interpolated from the end brackets)")
    fixed = zelvane.PiecewiseLinearDensity.from_histogram(t.counts, t.edges, tail=3.0)
    assert tails[2] == (f"pareto from 85, mass {fixed.right_tail.mass:.6g}, index (alpha) 3 "
                        "(fixed by --tail)")
    # An index of 1 or below: an infinite mean, and the fit's warning as one line.
    lines = dict(line.split(": ", 1) for line in runs[3][1].splitlines())
    assert lines["mean"] == "inf" and runs[3][2].count("\n") == 1
    assert runs[3][2].startswith("zelvane: ages.tsv: warning: ")
    document = json.loads((published / "tail.json").read_text())
    right = document["histograms"][0]["fits"]["smooth"]["right_tail"]
    assert (right["parameter"], right["chosen"]) == (3.0, "fixed")
    assert runs[5][0] == 2 and runs[5][2].startswith("zelvane: error: argument --tail: "
                                                     "expected one choice or two")
    assert runs[6] == (2, "", "zelvane: --tail is an option of the smooth fit: it needs "
                              "--method smooth (or both)\n")


def test_the_summary_prints_the_inequality_measures_of_the_fitted_density(published):
    t = zelvane.read_table(table("acs-published.csv"))
    d = zelvane.PiecewiseLinearDensity.from_histogram(t.counts, t.edges)
    (published / "below.csv").write_text("x,n\n-5--1,3\n-1-2,5\n2-6,4\n")
    runs = run_batch(published, [(["summary", "plain.csv", "--no-margins"], b""),
                                 (["summary", "below.csv", "--no-margins"], b"")])
    lines = dict(line.split(": ", 1) for line in runs[0][1].splitlines())
    assert lines["gini"] == f"{d.gini():.4f}" and lines["palma"] == f"{d.palma():.4f}"
    assert lines["p90/p10"] == f"{d.ppf(0.9) / d.ppf(0.1):.4f}"
    assert lines["theil"] == f"{d.theil():.4f}" and lines["mld"] == f"{d.mld():.4f}"
    assert lines["atkinson (epsilon 0.5, 1, 2)"] == ", ".join(
        f"{d.atkinson(e):.4f}" for e in (0.5, 1, 2))
    assert 0 < d.theil() < d.mld() < 1 and d.atkinson(2) == 1.0  # positive at 0: diverges
    # Incomes below 0 leave the logarithmic measures without a value, and say so.
    below = dict(line.split(": ", 1) for line in runs[1][1].splitlines())
    assert runs[1][0] == 0
    for name in ("p90/p10", "theil", "mld", "atkinson (epsilon 0.5, 1, 2)"):
        assert below[name] == "undefined (mass at or below 0)", name


# -- labels in a pandas index -----------------------------------------------

def test_a_series_indexed_by_bracket_labels_fits_as_its_edges():
    pd = pytest.importorskip("pandas")
    t = zelvane.read_table(table("acs-published.csv"))
    series = pd.Series(t.counts, index=list(t.labels))
    by_labels = zelvane.PiecewiseLinearDensity.from_histogram(series)
    by_edges = zelvane.PiecewiseLinearDensity.from_histogram(t.counts, t.edges)
    grid = np.linspace(0, 300000, 301)
    np.testing.assert_array_equal(by_labels.pdf(grid), by_edges.pdf(grid))
    assert by_labels.right_tail == by_edges.right_tail
    # A total among the labels is left out; a count that is no bracket's is refused.
    totalled = pd.Series([10, 4, 6], index=["Total", "Under 5 years", "5 to 9 years"])
    counts, edges = zelvane._inputs.counts_and_edges(totalled)
    assert counts.tolist() == [4, 6] and edges.tolist() == [0, 5, 10]
    for labels, text in ((["0-4", "6-9"], "label 1: the bin starts at 6, after the one above "
                                          "ends at 4: the rows leave a gap"),
                         (["0-4", "five"], "label 1: not a number or a bracket")):
        with pytest.raises(zelvane.InputError) as caught:
            zelvane.PiecewiseLinearDensity.from_histogram(pd.Series([1, 2], index=labels))
        assert caught.value.problem == "series_labels" and text in str(caught.value)
