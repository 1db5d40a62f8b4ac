"""`python -m zelvane` fits the embedded example with every method."""

import re

from conftest import run_python


def test_main_job_reports_both_fits():
    rc, out, err = run_python("import runpy; runpy.run_module('zelvane', run_name='__main__')")
    assert rc == 0, err
    rows = [line for line in out.splitlines() if re.match(r"\s*\d+\s", line)]
    assert len(rows) == 41  # 40 bins, 41 centres
    errors = dict(re.findall(r"^(\w+): largest relative mass error (\S+)$", out, re.M))
    assert set(errors) == {"smooth", "iterative", "exact"}
    # The exact fit reproduces every mass up to float32 rounding, the smooth one up to
    # float64 rounding; the relaxed one does not.
    assert float(errors["smooth"]) < 1e-12
    assert float(errors["exact"]) < 1e-5 < float(errors["iterative"])
