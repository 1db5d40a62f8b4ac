"""The reader of bench/published.py: published tables in, one histogram per geography and
year out, in bracket order, with the figures beside it and its side of the split; and a
missing or broken data folder refused with a message that names the problem."""

import importlib.util
import os

import numpy as np
import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

BRACKETS = """geography,year,lower,upper,label,households,households_moe
Kansas,2006,10000.0,20000.0,"$10,000 to $19,999",30.0,4.0
Kansas,2006,0.0,10000.0,"Less than $10,000",20.0,3.0
Kansas,2006,20000.0,inf,"$20,000 or more",50.0,5.0
Maine,2005,0.0,10000.0,"Less than $10,000",7.0,1.0
Maine,2005,10000.0,inf,"$10,000 or more",3.0,1.0
"""
PUBLISHED = """geography,year,households,median,mean,gini,median_moe,gini_moe
Kansas,2006,100.0,19000,23000.5,0.45,300,0.004
Maine,2005,10.0,8000,9000.0,,200,
"""


@pytest.fixture(scope="module")
def published():
    spec = importlib.util.spec_from_file_location("bench_published", os.path.join(BENCH, "published.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write(folder, brackets=BRACKETS, figures=PUBLISHED):
    (folder / "acs_household_income_brackets.csv").write_text(brackets)
    (folder / "acs_household_income_published.csv").write_text(figures)
    return str(folder)


def test_tables_in_bracket_order_with_their_figures_and_split(published, tmp_path):
    kansas, maine = published.load(write(tmp_path))
    assert (kansas.geography, kansas.year, maine.geography) == ("Kansas", 2006, "Maine")
    np.testing.assert_array_equal(kansas.edges, [0.0, 1e4, 2e4, np.inf])
    np.testing.assert_array_equal(kansas.counts, [20.0, 30.0, 50.0])
    np.testing.assert_array_equal(kansas.margins, [3.0, 4.0, 5.0])
    assert kansas.published["mean"] == 23000.5 and kansas.top_share == 0.5
    # No Gini published for 2005: NaN, so that the Gini errors leave the table out.
    assert np.isnan(maine.published["gini"]) and np.isnan(maine.published["gini_moe"])
    assert (kansas.set, maine.set) == ("held-out", "tuning")


def test_brackets_that_leave_a_gap_are_refused(published, tmp_path):
    gap = BRACKETS.replace("10000.0,20000.0", "12000.0,20000.0")
    with pytest.raises(ValueError, match="Kansas"):
        published.load(write(tmp_path, brackets=gap))


def test_a_missing_data_folder_ends_the_run_with_one_line(published, tmp_path):
    (tmp_path / "acs_household_income_brackets.csv").write_text(BRACKETS)
    with pytest.raises(SystemExit) as ended:
        published.load(str(tmp_path))
    message = str(ended.value.code)
    assert "acs_household_income_published.csv" in message and "brackets" not in message
    assert "--data" in message and "\n" not in message


def test_the_gini_by_parts_meets_the_mean_and_the_closed_forms(published):
    from zelvane import PiecewiseLinearDensity

    # Uniform on [0, 1], no tail: G = 1/3.
    x = np.linspace(0.0, 1.0, 2001)
    g, _ = published.gini_met(x, 1.0 - x, 0.0, 1.0, 0.5)
    assert g == pytest.approx(1 / 3, rel=1e-6)
    # All the mass in a Pareto tail beyond 1 (S = 1 below it): the index that gives the
    # mean 1.5 is 3, and the Gini index 1 / (2 * 3 - 1).
    g, index = published.gini_met(x, np.ones_like(x), 1.0, 1.0, 1.5)
    assert index == pytest.approx(3.0) and g == pytest.approx(0.2, rel=1e-12)
    # A fit with a mean, read back on its own grid: the package's own Gini index.
    edges = np.array([0.0, 10.0, 15.0, 25.0, 50.0, 100.0, np.inf]) * 1e3
    d = PiecewiseLinearDensity.from_histogram([120, 90, 160, 300, 250, 80], edges, mean=60e3)
    grid, survival = published.survival_grid(d)
    g, index = published.gini_met(grid, survival, d.right_tail.mass, d.right_tail.joint, 60e3)
    assert index == pytest.approx(d.right_tail.parameter, rel=1e-6)
    assert g == pytest.approx(d.gini(), abs=1e-6)
    # Mass moved down to the brackets' lower edges, each bracket's fitted mass kept and
    # the mean held: the top carries more of it, and the Gini index rises; the bottom
    # bracket's mass at 0 raises it too.
    for part in (published.PARTS["5 % of every closed bracket's mass at its lower edge"],
                 published.PARTS["bottom bracket: 25 % of its mass at 0"]):
        moved = part(grid, survival, edges)
        assert np.all(np.diff(moved) <= 1e-12) and moved[-1] == pytest.approx(survival[-1])
        assert published.gini_met(grid, moved, d.right_tail.mass, d.right_tail.joint,
                                  60e3)[0] > g
