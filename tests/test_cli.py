"""The zelvane command end to end: every input and output form read back and compared
with zelvane.fit_density, the plots, --check, every bad input (exit 2, its one line
on stderr, no file written or changed), --help, --version, the progress bar and the
exit status of an internal error.

Most invocations run in one child interpreter per group, through zelvane.cli.main
with its own standard streams; what needs a process of its own (the console script,
a terminal, a missing matplotlib, an internal error) gets one."""

import base64
import json
import os
import pty
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from importlib import metadata

import numpy as np
import pytest

import zelvane
from conftest import assert_bits_equal

# Runs zelvane.cli.main on each case of argv[1] (JSON: argv, base64 stdin; or @FILE
# holding it) in the directory argv[2]; prints [exit status, stdout, stderr] of each.
BATCH = r"""
import base64, io, json, os, sys
from zelvane.cli import main

given = sys.argv[1]
if given.startswith("@"):
    with open(given[1:]) as stream:
        given = stream.read()
cases = json.loads(given)
os.chdir(sys.argv[2])
results = []
for argv, stdin in cases:
    streams = [io.TextIOWrapper(io.BytesIO(), encoding="utf-8") for _ in range(2)]
    sys.stdout, sys.stderr = streams
    sys.stdin = io.TextIOWrapper(io.BytesIO(base64.b64decode(stdin)), encoding="utf-8")
    try:
        status = main(argv)
    finally:  # a fault of the tool shows its traceback on the real stderr
        sys.stdout, sys.stderr = sys.__stdout__, sys.__stderr__
    texts = []
    for stream in streams:
        stream.flush()
        texts.append(stream.buffer.getvalue().decode("utf-8"))
    results.append([status] + texts)
print(json.dumps(results))
"""


def run_child(args, cwd, stdin=None, env=None, stderr=None):
    """Run a Python child in `cwd`; return (rc, stdout, stderr) as text."""
    proc = subprocess.run([sys.executable, *args], cwd=cwd, input=stdin, env=env,
                          stdout=subprocess.PIPE, stderr=stderr or subprocess.PIPE,
                          timeout=300)
    err = proc.stderr.decode() if proc.stderr is not None else ""
    return proc.returncode, proc.stdout.decode(), err


def run_batch(directory, cases):
    """[(status, stdout, stderr)] of `cases`, each (argv, stdin bytes)."""
    encoded = json.dumps([[argv, base64.b64encode(stdin).decode()] for argv, stdin in cases])
    if len(encoded) > 100_000:  # beyond what one argument may hold
        listed = directory / ".cases.json"
        listed.write_text(encoded)
        encoded = f"@{listed}"
    rc, out, err = run_child(["-c", BATCH, encoded, str(directory)], directory)
    assert rc == 0, err
    return [tuple(result) for result in json.loads(out)]


METHODS = ("smooth", "iterative", "exact")


def expected_fits(edges, masses, refine=4):
    """{method: (knots, values, fitted masses)} as the command fits the edges and
    masses (float64 for the smooth fit, float32 for the others), each shaped
    (rows, ...): the smooth fit counts-aware when every mass is a whole number."""
    edges64, masses64 = np.float64(edges), np.float64(masses)
    edges, masses = np.float32(edges), np.float32(masses)
    rows = 1 if masses.ndim == 1 else len(masses)
    smoothing = "auto" if (masses == np.round(masses)).all() else 0
    fits = {}
    for method in METHODS:
        if method == "smooth":
            knots, values = zelvane.fit_smooth(edges64, masses64, refine=refine,
                                               smoothing=smoothing)
            pieces = zelvane.trapezoid_masses(knots, values)
            fitted = pieces.reshape(pieces.shape[:-1] + (-1, refine)).sum(axis=-1)
        else:
            knots, values = edges, zelvane.fit_density(edges, masses, method=method)
            fitted = zelvane.trapezoid_masses(edges, values)
        knots = np.broadcast_to(knots, values.shape)
        fits[method] = tuple(a.reshape(rows, -1) for a in (knots, values, fitted))
    return fits


def read_csv(path):
    """Header and columns of an output table; empty cells become NaN."""
    with open(path) as stream:
        header = stream.readline().strip().split(",")
        rows = [line.rstrip("\n").split(",") for line in stream]
    columns = list(zip(*rows))
    return header, [np.array([float(c) if c else np.nan for c in col]) for col in columns]


# -- the data files ---------------------------------------------------------

EDGES = np.array([0.0, 1.0, 2.0, 3.0, 5.0, 8.0, 12.0])
MASSES = np.array([2.0, 7.0, 12.0, 9.0, 4.0, 1.0])
RNG = np.random.default_rng(20240611)
MANY_EDGES = np.linspace(0.0, 10.0, 21)
# More rows than the command fits in one call, so that chunks are joined.
MANY_MASSES = RNG.gamma(2.0, 3.0, (2500, 20)).round()
ROW_EDGES = np.cumsum(RNG.uniform(0.1, 2.0, (7, 9)), axis=1)
ROW_MASSES = RNG.uniform(0.0, 5.0, (7, 8))
SAMPLES = RNG.gamma(2.0, 1.5, 900)
# Masses that a non-negative density linear between the edges meets exactly.
GENTLE_EDGES = np.arange(7.0)
GENTLE_MASSES = np.array([1.0, 2.0, 3.0, 3.0, 2.0, 1.0])

TABLES = {
    "header.csv": "edge,mass\n" + "".join(f"{e:g},{m:g}\n" for e, m in zip(EDGES, MASSES))
                  + f"{EDGES[-1]:g},\n",
    "plain.csv": "".join(f"{e:g}, {m:g}\n" for e, m in zip(EDGES, MASSES)) + f"{EDGES[-1]:g}\n",
    "spaces.txt": "# edge  mass\n\n" + "".join(f"  {e:g}\t {m:g}\n" for e, m in zip(EDGES, MASSES))
                  + f"{EDGES[-1]:g}\n",
    "samples.csv": "x\n" + "".join(f"{s!r}\n" for s in SAMPLES.tolist()),
    "gentle.csv": "".join(f"{e:g},{m:g}\n" for e, m in zip(GENTLE_EDGES, GENTLE_MASSES)) + "6\n",
}


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """One directory for the module: the input files, and the outputs of the cases."""
    directory = tmp_path_factory.mktemp("cli")
    for name, text in TABLES.items():
        (directory / name).write_text(text)
    np.savez(directory / "one.npz", edges=EDGES, counts=MASSES)
    np.savez(directory / "many.npz", edges=MANY_EDGES, counts=MANY_MASSES)
    np.savez(directory / "rows.npz", center=ROW_EDGES, gap=ROW_MASSES)
    np.save(directory / "samples.npy", SAMPLES)
    return directory


# -- input forms ------------------------------------------------------------

INPUTS = [  # (argv, stdin file, expected edges and masses)
    (["fit", "header.csv"], None, (EDGES, MASSES)),
    (["fit", "plain.csv"], None, (EDGES, MASSES)),
    (["fit", "spaces.txt"], None, (EDGES, MASSES)),
    (["fit", "-"], "header.csv", (EDGES, MASSES)),
    (["fit", "one.npz"], None, (EDGES, MASSES)),
    (["fit", "-"], "one.npz", (EDGES, MASSES)),
    (["fit", "many.npz"], None, (MANY_EDGES, MANY_MASSES)),
    (["fit", "rows.npz", "--workers", "2"], None, (ROW_EDGES, ROW_MASSES)),
    (["fit", "samples.npy", "--bins", "12"], None, np.histogram(SAMPLES, 12)[::-1]),
    (["fit", "samples.npy"], None, np.histogram(SAMPLES, "auto")[::-1]),
    (["fit", "samples.csv", "--samples", "--bins", "sturges"], None,
     np.histogram(SAMPLES, "sturges")[::-1]),
]


@pytest.fixture(scope="module")
def input_runs(workdir):
    cases = [(argv + ["--method", "all", "-o", f"in{k}.csv"],
              b"" if stdin is None else (workdir / stdin).read_bytes())
             for k, (argv, stdin, _) in enumerate(INPUTS)]
    return run_batch(workdir, cases)


@pytest.mark.parametrize("k", range(len(INPUTS)), ids=[" ".join(c[0]) for c in INPUTS])
def test_each_input_form_gives_the_fit_of_its_histograms(workdir, input_runs, k):
    status, out, err = input_runs[k]
    edges, masses = (np.asarray(a, dtype=np.float64) for a in INPUTS[k][2])
    fits = expected_fits(edges, masses)
    # The exact fit of these masses dips below zero: one line says so, and how far.
    lowest = min(fits["exact"][1].min(), fits["iterative"][1].min())
    assert (status, out) == (0, "")
    if lowest < 0:
        source = "<stdin>" if INPUTS[k][1] else INPUTS[k][0][1]
        assert err.startswith(f"zelvane: {source}: the ") and err.count("\n") == 1
        assert f"the most negative {lowest:.6g}" in err
    else:
        assert err == ""
    header, columns = read_csv(workdir / f"in{k}.csv")
    many = masses.ndim == 2
    assert header == ["histogram"] * many + ["knot"] + [f"value_{m}" for m in METHODS] \
        + ["mass"] + [f"fitted_mass_{m}" for m in METHODS]
    rows = masses.shape[0] if many else 1
    width = masses.shape[-1] * 4 + 1  # a row per knot of the smooth fit
    table = np.stack(columns[many:]).reshape(8, rows, width)
    if many:
        assert_bits_equal(columns[0], np.repeat(np.arange(rows), width))
    at_edges, between = table[:, :, ::4], np.delete(table, np.s_[::4], axis=2)
    # Edge rows hold the float32 edges, the others the smooth fit's float64 knots.
    assert_bits_equal(at_edges[0], np.broadcast_to(edges, (rows, len(edges.T))))
    assert (between[0] == np.delete(fits["smooth"][0], np.s_[::4], axis=1)).all()
    assert_bits_equal(at_edges[4][:, :-1], masses.reshape(rows, -1))
    assert np.isnan(at_edges[4:, :, -1]).all()
    assert np.isnan(between[[2, 3, 4, 6, 7]]).all()
    assert (table[1] == fits["smooth"][1]).all()
    assert_bits_equal(at_edges[2], fits["iterative"][1])
    assert_bits_equal(at_edges[3], fits["exact"][1])
    for j, method in enumerate(METHODS):
        assert (at_edges[5 + j][:, :-1] == fits[method][2]).all(), method


# -- output forms -----------------------------------------------------------

OUTPUTS = [  # (argv, output file or None for standard output)
    (["fit", "header.csv"], None),
    (["fit", "header.csv", "--method", "exact", "-o", "out.json"], "out.json"),
    (["fit", "many.npz", "--method", "all", "-o", "out-many.json"], "out-many.json"),
    (["fit", "header.csv", "--method", "both", "-o", "out.npz"], "out.npz"),
    (["fit", "rows.npz", "-o", "out-rows.npz"], "out-rows.npz"),
    (["fit", "header.csv", "-o", "out.npy"], "out.npy"),
    (["fit", "rows.npz", "--method", "smooth", "-o", "out-rows.npy"], "out-rows.npy"),
    (["fit", "gentle.csv", "--method", "both", "--refine", "1", "-o", "out-3.npy"], "out-3.npy"),
]


@pytest.fixture(scope="module")
def output_runs(workdir):
    return run_batch(workdir, [(argv, b"") for argv, _ in OUTPUTS])


def read_back(path, text, methods):
    """{method: (knots or None, values, fitted masses or None)} as an output holds them."""
    if path is None:
        lines = text.splitlines()
        assert lines[0] == "knot,value,mass,fitted_mass"
        cells = [line.split(",") for line in lines[1:]]
        return {"smooth": (np.array([float(c[0]) for c in cells]),
                           np.array([float(c[1]) for c in cells]),
                           np.array([float(c[3]) for c in cells[:-1] if c[3]]))}
    if path.endswith(".json"):
        with open(path) as stream:
            histograms = json.load(stream)["histograms"]
        assert list(histograms[0]["fits"]) == list(methods)
        return {m: tuple(np.array([h["fits"][m][key] for h in histograms])
                         if key in histograms[0]["fits"][m] else None
                         for key in ("knots", "values", "fitted_masses"))
                for m in methods}
    if path.endswith(".npz"):
        with np.load(path) as archive:
            arrays = dict(archive)
        suffixes = [""] if len(methods) == 1 else [f"_{m}" for m in methods]
        return {m: (arrays.get(f"knots{x}"), arrays[f"values{x}"], arrays[f"fitted_masses{x}"])
                for m, x in zip(methods, suffixes)}
    stacked = np.load(path)
    if len(methods) == 1:
        return {methods[0]: (None, stacked, None)}
    return {m: (None, values, None) for m, values in zip(methods, stacked)}


@pytest.mark.parametrize("k", range(len(OUTPUTS)), ids=[" ".join(c[0]) for c in OUTPUTS])
def test_each_output_form_reads_back_as_the_fit(workdir, output_runs, k):
    argv, name = OUTPUTS[k]
    status, out, err = output_runs[k]
    assert status == 0
    assert (out == "") == (name is not None)
    edges, masses = {"header.csv": (EDGES, MASSES), "many.npz": (MANY_EDGES, MANY_MASSES),
                     "rows.npz": (ROW_EDGES, ROW_MASSES),
                     "gentle.csv": (GENTLE_EDGES, GENTLE_MASSES)}[argv[1]]
    chosen = argv[argv.index("--method") + 1] if "--method" in argv else "smooth"
    methods = METHODS if chosen in ("both", "all") else (chosen,)
    refine = int(argv[argv.index("--refine") + 1]) if "--refine" in argv else 4
    expected = expected_fits(edges, masses, refine)
    # Only a fit whose values go below zero adds its line on stderr.
    negative = [m for m in methods if (expected[m][1] < 0).any()]
    assert [m for m in methods if f"the {m} fit has " in err] == negative
    assert err.count("\n") == (1 if negative else 0)
    got = read_back(None if name is None else str(workdir / name), out, methods)
    assert list(got) == list(methods)
    for method, (knots, values, fitted) in got.items():
        want_knots, want_values, want_fitted = expected[method]
        values = values.reshape(want_values.shape)
        if method == "smooth":
            assert values.dtype == np.float64 and (values == want_values).all()
            if knots is not None:
                assert (knots.reshape(-1, want_knots.shape[-1]) == want_knots[:len(knots)]).all()
        else:
            assert_bits_equal(values, want_values, f"{method}: ")
            assert knots is None
        if fitted is not None:
            assert (fitted.reshape(want_fitted.shape) == want_fitted).all(), method
    if name is not None and name.endswith(".npz"):
        with np.load(workdir / name) as archive:
            assert_bits_equal(archive["edges"], edges)
            assert_bits_equal(archive["masses"], masses)


def test_check_reports_every_fit_and_goes_beside_the_table(workdir):
    runs = run_batch(workdir, [
        (["fit", "header.csv", "--method", "both", "--check"], b""),
        (["fit", "rows.npz", "--method", "iterative", "--check", "-o", "check.csv"], b""),
    ])
    lines = []
    for method, (_, values, fitted) in expected_fits(EDGES, MASSES).items():
        error = np.abs(fitted[0] - MASSES)
        below = values[values < 0]
        counted = f", {below.size} value{'s' * (below.size > 1)} below zero (the most " \
                  f"negative {below.min():.6g})" if below.size else ""
        lines.append(f"{method}: largest absolute mass error {error.max():.3e}, "
                     f"largest relative {(error / MASSES).max():.3e}{counted}")
    # The counts-aware smooth fit says how far it smoothed.
    smooth = zelvane.fit_smooth(np.float32(EDGES), np.float32(MASSES), smoothing="auto")
    assert smooth.smoothing > 0
    lines.insert(1, f"smooth: smoothing {smooth.smoothing:.6g} (counts-aware), "
                    f"{smooth.edf:.4g} effective degrees of freedom, deviance "
                    f"{smooth.deviance:.6g}")
    status, out, err = runs[0]
    assert status == 0 and out.startswith("knot,value_smooth,value_iterative,")
    # The exact fit of these counts goes below zero: announced, then counted by --check.
    warning, *checks = err.splitlines()
    assert warning.startswith("zelvane: header.csv: the exact fit has 1 value below zero")
    assert checks == lines
    status, out, err = runs[1]
    values = zelvane.fit_density(ROW_EDGES, ROW_MASSES)
    error = np.abs(zelvane.trapezoid_masses(np.float32(ROW_EDGES), values)
                   - np.float32(ROW_MASSES))
    relative = error / np.float32(ROW_MASSES)
    below = [row[row < 0] for row in values]
    rows = sum(1 for b in below if b.size)
    assert rows and status == 0
    assert err == (f"zelvane: rows.npz: the iterative fit has {sum(b.size for b in below)} "
                   f"values below zero in {rows} of {len(values)} histograms, the most "
                   f"negative {values.min():.6g}: no density there\n")
    assert out.splitlines() == [
        f"histogram {r}, iterative: largest absolute mass error {error[r].max():.3e}, "
        f"largest relative {relative[r].max():.3e}"
        + (f", {below[r].size} value{'s' * (below[r].size > 1)} below zero (the most negative "
           f"{below[r].min():.6g})" if below[r].size else "") for r in range(len(ROW_MASSES))]


# -- plots ------------------------------------------------------------------

def test_plots_are_valid_png_and_svg(workdir):
    runs = run_batch(workdir, [
        (["fit", "header.csv", "--method", "both", "--plot", "one.png", "-o", "p.csv"], b""),
        (["fit", "many.npz", "--plot", "many.svg", "-o", "p.npy"], b""),
        (["example", "--plot", "example.svg"], b""),
    ])
    assert [status for status, _, _ in runs] == [0, 0, 0], runs
    png = (workdir / "one.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR"
    width, height = struct.unpack(">II", png[16:24])
    assert width > 400 and height > 300
    for name, lines in (("many.svg", 2 * 6), ("example.svg", 2 * 3)):
        root = ElementTree.parse(workdir / name).getroot()
        assert root.tag == "{http://www.w3.org/2000/svg}svg"
        # matplotlib gives every drawn line an id "line2d_N".
        drawn = [e for e in root.iter() if e.get("id", "").startswith("line2d_")]
        assert len(drawn) >= lines, name


def test_figure_layout_draws_the_histogram_and_each_fit():
    pytest.importorskip("matplotlib")
    from zelvane.cli.fitting import fit
    from zelvane.cli.plot import GRID_LIMIT, make_figure
    from zelvane.cli.read import Histograms

    edges32, masses32 = np.float32(MANY_EDGES), np.float32(MANY_MASSES[:9])
    result = fit(Histograms("x", edges32, masses32), METHODS, workers=1, refine=4)
    figure = make_figure(result, None)
    panels = {subfigure.axes[0].get_title(): subfigure.axes for subfigure in figure.subfigs}
    assert sorted(panels) == [f"histogram {k}" for k in range(GRID_LIMIT)]
    fits = expected_fits(MANY_EDGES, MANY_MASSES[:9])
    for k in range(GRID_LIMIT):
        density, error = panels[f"histogram {k}"]
        bars, = density.patches  # the histogram as one filled step patch
        lines = density.get_lines()
        assert [line.get_label() for line in lines] == [f"{m} fit" for m in METHODS]
        for line, method in zip(lines, METHODS):
            knots, values, _ = fits[method]
            assert (line.get_xdata() == knots[k]).all() and (line.get_ydata() == values[k]).all()
        assert density.get_ylabel() == "density" and error.get_xlabel() == "x"
        heights = bars.get_path().vertices[:, 1]
        assert np.isclose(heights.max(), (masses32[k] / np.diff(edges32)).max())
    single = make_figure(fit(Histograms("x", EDGES, MASSES), ("exact",), 1, 4), "t")
    density, error = single.axes
    assert density.get_title() == "t" and density.get_legend() is not None


# -- bad input --------------------------------------------------------------

BAD_FILES = {
    "text.csv": "0,1\n1,abc\n2\n",
    "empty-cell.csv": "0,1\n1,\n2,3\n4\n",
    "ragged.csv": "edge,mass\n0,1\n1,2,3\n2\n",
    "short-row.csv": "0 1\n1\n2 3\n4\n",
    "one-edge.csv": "edge,mass\n0\n",
    "last-mass.csv": "0,1\n1,1\n2,1\n",
    "nan.csv": "0,1\n1,nan\n2\n",
    "descending.txt": "0 1\n2 1\n1 1\n3\n",
    "binary.csv": b"\x93NUMPY\xff",
    "samples-nan.csv": "1\n2\ninf\n",
    "samples-two.csv": "1\n2 3\n",
    "samples-empty.csv": "# nothing\n",
    "data.xlsx": "0,1\n1\n",
    "negative.csv": "0,1\n1,-1\n2\n",
    "zeros.csv": "0,0\n1,0\n2\n",
}
# Rows past the first chunk that the smooth fit refuses: all zero, and no fit with refine=1.
ZERO_ROW, TIGHT_ROW = np.ones((1500, 4)), np.ones((1500, 4))
ZERO_ROW[1200] = 0.0
TIGHT_ROW[1300] = [0.5, 1.0, 0.2, 0.7]
BAD_ARRAYS = {
    "lengths.npz": dict(edges=np.arange(5.0), counts=np.ones(5)),
    "inf.npz": dict(edges=np.arange(4.0), counts=np.array([[1.0, 2, 3], [1, np.inf, 1]])),
    "rows-descending.npz": dict(center=np.array([[0.0, 1, 2], [0, 2, 2]]), gap=np.ones((2, 2))),
    "few-edges.npz": dict(edges=np.zeros(1), counts=np.zeros(0)),
    "no-counts.npz": dict(edges=np.arange(3.0), weights=np.ones(2)),
    "two-names.npz": dict(edges=np.arange(3.0), center=np.arange(3.0), counts=np.ones(2)),
    "strings.npz": dict(edges=np.array(["a", "b"]), counts=np.ones(1)),
    "no-rows.npz": dict(edges=np.arange(3.0), counts=np.ones((0, 2))),
    "samples-2d.npy": np.ones((2, 3)),
    "samples-empty.npy": np.zeros(0),
    "samples-nan.npy": np.array([1.0, np.nan]),
    "zero-row.npz": dict(edges=np.arange(5.0), counts=ZERO_ROW),
    "tight.npz": dict(edges=np.arange(5.0), counts=TIGHT_ROW),
}
BAD = [  # (arguments after "fit", the one line on stderr)
    (["missing.csv"], "missing.csv: cannot read: No such file or directory"),
    (["folder.csv"], "folder.csv: is a directory"),
    (["data.xlsx"], "data.xlsx: unknown input extension '.xlsx' "
                    "(expected .csv, .tsv, .txt, .dat, .npz, .npy)"),
    (["text.csv"], "text.csv, line 2, column 2: not a number: 'abc'"),
    (["empty-cell.csv"], "empty-cell.csv, line 2, column 2: empty cell"),
    (["ragged.csv"], "ragged.csv, line 3: 3 cells, expected 2"),
    (["short-row.csv"], "short-row.csv, line 2: 1 cell, expected 2: "
                        "only the last row may leave out its mass"),
    (["one-edge.csv"], "one-edge.csv: 1 edge, at least 2 needed"),
    (["last-mass.csv"], "last-mass.csv, line 3: the last row has a mass, "
                        "but no edge after it closes its bin"),
    (["nan.csv"], "nan.csv, line 2: mass[1] is nan, not a finite number"),
    (["descending.txt"], "descending.txt, line 3: edge must be strictly increasing: "
                         "edge[2] = 1.0 is not above edge[1] = 2.0"),
    (["binary.csv"], "binary.csv: not a text table: byte 0 is not UTF-8"),
    (["lengths.npz"], "lengths.npz: edges must have len(counts) + 1 = 6 elements, not 5"),
    (["inf.npz"], "inf.npz: counts[1, 1] is inf, not a finite number"),
    (["rows-descending.npz"], "rows-descending.npz: center must be strictly increasing: "
                              "center[1, 2] = 2.0 is not above center[1, 1] = 2.0"),
    (["few-edges.npz"], "few-edges.npz: counts must hold at least one mass, not 0"),
    (["no-counts.npz"], "no-counts.npz: no array 'counts' or 'gap' or 'masses' "
                        "(it holds 'edges', 'weights')"),
    (["two-names.npz"], "two-names.npz: arrays 'edges' and 'center' both given, "
                        "expected one of them"),
    (["strings.npz"], "strings.npz: edges must hold real numbers, not <U1 values"),
    (["no-rows.npz"], "no-rows.npz: array 'counts' holds no histograms"),
    (["samples-2d.npy"], "samples-2d.npy: 2-D array, expected a 1-D array of samples"),
    (["samples-empty.npy"], "samples-empty.npy: empty sample"),
    (["samples-nan.npy"], "samples-nan.npy, index 1: sample nan is not finite"),
    (["samples-nan.csv", "--samples"], "samples-nan.csv, line 3: sample inf is not finite"),
    (["samples-two.csv", "--samples"], "samples-two.csv, line 2: 2 cells, expected 1"),
    (["samples-empty.csv", "--samples"], "samples-empty.csv: empty sample"),
    (["one.npz", "--samples"], "one.npz: --samples reads a .npy file or a one-column "
                               "table, not a .npz archive"),
    (["header.csv", "--bins", "5"], "--bins makes a histogram of samples: it needs --samples"),
    (["samples.npy", "--bins", "0"], "--bins takes a positive whole number or one of auto, "
                                     "fd, doane, scott, stone, rice, sturges, sqrt, not '0'"),
    (["negative.csv", "--method", "smooth"], "negative.csv, line 2: mass[1] = -1.0 is negative"),
    (["zeros.csv", "--method", "all"], "zeros.csv: masses are all zero: "
                                       "a density needs a positive total mass"),
    (["zero-row.npz", "--method", "smooth"], "zero-row.npz: counts[1200] are all zero: "
                                             "a density needs a positive total mass"),
    (["tight.npz", "--method", "smooth", "--refine", "1"],
     "tight.npz: counts[1300]: no non-negative density that is linear between the centres "
     "has these masses; refine=2 or more always has one"),
    (["header.csv", "--method", "exact", "--refine", "2"],
     "--refine is an option of the smooth fit: it needs --method smooth (or both)"),
    (["header.csv", "--method", "both", "-o", "values.npy"],
     "values.npy: a .npy file holds one array, and the smooth fit has more values than the "
     "others: write .npz, or choose one method"),
    (["header.csv", "-o", "nowhere/out.csv"], "nowhere/out.csv: directory 'nowhere' "
                                              "does not exist"),
    (["header.csv", "-o", "out.txt"], "out.txt: unknown output extension '.txt' "
                                      "(expected .csv, .json, .npy, .npz)"),
    (["header.csv", "-o", "folder.csv"], "folder.csv: is a directory"),
    (["header.csv", "--plot", "nowhere/p.png"], "nowhere/p.png: directory 'nowhere' "
                                                "does not exist"),
    (["header.csv", "--plot", "plot.pdf"], "plot.pdf: unknown plot extension '.pdf' "
                                           "(expected .png, .svg)"),
]
KEPT = {"kept.csv": b"an existing table\n", "kept.png": b"an existing picture\n"}


@pytest.fixture(scope="module")
def bad_dir(tmp_path_factory, workdir):
    directory = tmp_path_factory.mktemp("bad")
    for name, content in BAD_FILES.items():
        data = content if isinstance(content, bytes) else content.encode()
        (directory / name).write_bytes(data)
    for name, arrays in BAD_ARRAYS.items():
        if name.endswith(".npz"):
            np.savez(directory / name, **arrays)
        else:
            np.save(directory / name, arrays)
    (directory / "folder.csv").mkdir()
    for name in ("header.csv", "one.npz", "samples.npy"):
        (directory / name).write_bytes((workdir / name).read_bytes())
    for name, content in KEPT.items():
        (directory / name).write_bytes(content)
    return directory


@pytest.fixture(scope="module")
def bad_runs(bad_dir):
    cases = []
    for args, _ in BAD:
        outputs = [] if "-o" in args else ["-o", "kept.csv"]
        plot = [] if "--plot" in args else ["--plot", "kept.png"]
        cases.append((["fit", *args, *outputs, *plot], b""))
    # The same refusals of standard input.
    cases.append((["fit", "-", "-o", "kept.csv"], BAD_FILES["ragged.csv"].encode()))
    cases.append((["fit", "-", "-o", "kept.csv"], (bad_dir / "inf.npz").read_bytes()))
    return run_batch(bad_dir, cases)


STDIN_BAD = ["<stdin>, line 3: 3 cells, expected 2",
             "<stdin>: counts[1, 1] is inf, not a finite number"]


@pytest.mark.parametrize("k", range(len(BAD) + len(STDIN_BAD)),
                         ids=[c[1][:40] for c in BAD] + ["stdin table", "stdin archive"])
def test_bad_input_is_one_line_exit_2_and_leaves_files_alone(bad_dir, bad_runs, k):
    line = BAD[k][1] if k < len(BAD) else STDIN_BAD[k - len(BAD)]
    assert bad_runs[k] == (2, "", f"zelvane: {line}\n")
    for name, content in KEPT.items():
        assert (bad_dir / name).read_bytes() == content
    expected = set(BAD_FILES) | set(BAD_ARRAYS) | set(KEPT) | {
        "folder.csv", "header.csv", "one.npz", "samples.npy"}
    assert set(os.listdir(bad_dir)) == expected


def test_usage_errors_are_one_line_and_exit_2(workdir):
    runs = run_batch(workdir, [(["fit"], b""), (["fit", "header.csv", "--method", "best"], b""),
                               (["fit", "header.csv", "--workers", "-1"], b""), (["nope"], b""),
                               (["fit", "header.csv", "--workers", "1025"], b""),
                               (["fit", "header.csv", "--method", "smooth", "--refine", "0"], b""),
                               (["fit", "header.csv", "--frobnicate"], b""),
                               (["summary", "header.csv", "--refine", "257"], b"")])
    for status, out, err in runs:
        assert status == 2 and out == "" and "usage:" not in err
        assert err.startswith("zelvane: error: ") and err.count("\n") == 1
    assert runs[0][2] == ("zelvane: error: the following arguments are required: INPUT "
                          "(zelvane fit --help for the usage)\n")
    assert "argument --refine: expected a whole number from 1 to 256, not '0' (zelvane fit " \
        "--help" in runs[5][2]
    assert "unrecognized arguments: --frobnicate" in runs[6][2]
    assert "not '257' (zelvane summary --help" in runs[7][2]


# -- processes of their own -------------------------------------------------

def console_script():
    return os.path.join(os.path.dirname(sys.executable), "zelvane")


def test_help_on_every_level_and_version(workdir):
    runs = run_batch(workdir, [(["--help"], b""), (["fit", "--help"], b""),
                               (["example", "-h"], b""), (["--version"], b"")])
    for (status, out, err), usage in zip(runs, ["zelvane [-h]", "zelvane fit", "zelvane example"]):
        assert status == 0 and err == ""
        assert out.startswith(f"usage: {usage}")
    assert "fit" in runs[0][1] and "example" in runs[0][1]
    assert "--method" in runs[1][1] and "--plot" in runs[2][1]
    assert runs[3] == (0, f"zelvane {metadata.version('zelvane')}\n", "")
    proc = subprocess.run([console_script(), "--version"], capture_output=True, text=True,
                          cwd=workdir)
    assert (proc.returncode, proc.stdout) == (0, runs[3][1])


def test_no_arguments_runs_the_example_in_both_entry_points(workdir):
    script = subprocess.run([console_script()], capture_output=True, text=True, cwd=workdir)
    module = run_child(["-m", "zelvane"], workdir)
    named = run_child(["-m", "zelvane", "example"], workdir)
    assert script.returncode == 0 and script.stderr == ""
    assert (0, script.stdout, "") == module == named
    assert script.stdout.startswith("Mixture of 2 normals in 40 uneven bins")


def test_plot_without_matplotlib_says_how_to_install_it(workdir):
    (workdir / "before.csv").write_bytes(b"kept\n")
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    for argv in (["fit", "header.csv", "-o", "before.csv", "--plot", "new.png"],
                 ["example", "--plot", "new.png"]):
        rc, out, err = run_child(["-c", code, *argv], workdir)
        assert (rc, out, err) == (2, "", "zelvane: --plot needs matplotlib: "
                                         "pip install 'zelvane[plot]'\n")
    assert (workdir / "before.csv").read_bytes() == b"kept\n"
    assert not (workdir / "new.png").exists()


def test_internal_error_exits_1_with_traceback_and_writes_nothing(workdir):
    (workdir / "fault.csv").write_bytes(b"kept\n")
    code = ("import sys, zelvane.cli.plot as plot\n"
            "def broken(*args): raise RuntimeError('a fault of the tool')\n"
            "plot.write_plot = broken\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    rc, out, err = run_child(["-c", code, "fit", "header.csv", "-o", "fault.csv",
                              "--plot", "fault.png"], workdir)
    assert rc == 1 and out == ""
    assert err.startswith("Traceback (most recent call last):")
    assert err.rstrip().endswith("RuntimeError: a fault of the tool")
    assert (workdir / "fault.csv").read_bytes() == b"kept\n"
    assert not [n for n in os.listdir(workdir) if n.startswith((".fault", "fault.png"))]


def terminal_run(args, cwd):
    """(rc, what a terminal on stderr showed) of the console script."""
    import fcntl
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen([console_script(), *args], cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=follower)
    os.close(follower)
    shown = bytearray()
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closes when the child exits
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    return proc.wait(timeout=300), shown.decode("utf-8", "replace")


def test_progress_bar_only_on_a_terminal_and_for_many_histograms(workdir):
    pytest.importorskip("tqdm")
    rc, shown = terminal_run(["fit", "many.npz", "-o", "bar.json"], workdir)
    assert rc == 0
    assert "smooth fit:" in shown and "writing:" in shown
    assert f"/{len(MANY_MASSES)} [" in shown and "rows/s" in shown
    rc, shown = terminal_run(["fit", "rows.npz", "-o", "bar.csv"], workdir)
    assert (rc, shown) == (0, "")
    rc, out, err = run_child(["-m", "zelvane", "fit", "many.npz", "-o", "bar.json"], workdir)
    assert (rc, err) == (0, "")


def test_a_reader_that_stops_early_ends_the_command_quietly(workdir):
    proc = subprocess.Popen([console_script(), "fit", "many.npz"], cwd=workdir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline() == b"histogram,knot,value,mass,fitted_mass\n"
    proc.stdout.close()
    assert proc.wait(timeout=300) == 141
    assert proc.stderr.read() == b""
    proc.stderr.close()


def test_a_new_output_gets_the_usual_file_mode(workdir):
    runs = run_batch(workdir, [(["fit", "header.csv", "-o", "mode.csv"], b"")])
    assert runs[0][0] == 0
    mask = os.umask(0)
    os.umask(mask)
    assert os.stat(workdir / "mode.csv").st_mode & 0o777 == 0o666 & ~mask
