"""The formats of the command line's results, by the output's extension.

- ``.csv``: one row per edge, ``edge, value, mass, fitted_mass`` (the last row's
  masses empty, as in the input table); with several methods ``value_<method>``
  and ``fitted_mass_<method>`` for each; with several histograms a first column
  ``histogram``. With the smooth fit there is a row per knot instead, the
  first column is ``knot``, and the other cells are empty between the edges;
  Histograms with an open end (the smooth fit alone) have a row per knot of
  the body between the finite edges and one for each infinite edge (``-inf``,
  ``inf``) with its value empty; the columns ``tail`` and ``tail_parameter``
  hold the kind and the parameter of the tail beyond an open end on the row
  of the open bin's mass (-inf, or the last finite edge);
- ``.json``: ``{"histograms": [{"edges", "masses", "fits": {method: {"values",
  "fitted_masses"}}}]}``, with ``"knots"``, ``"smoothing"``, ``"edf"``,
  ``"deviance"``, ``"left_tail"`` and ``"right_tail"`` (``{"kind", "joint",
  "mass", "parameter"}`` or ``null``) too for the smooth fit, non-finite
  numbers (the infinite edges of open ends among them) as ``null``;
- ``.npz``: arrays ``edges``, ``masses``, ``values`` and ``fitted_masses`` (and
  ``knots``, ``smoothing``, ``edf``, ``deviance`` and, beyond an open end,
  ``left_tail_kind``, ``left_tail_joint``, ``left_tail_mass``,
  ``left_tail_parameter`` and the same of ``right_tail`` for the smooth fit),
  suffixed by ``_<method>`` with several methods;
- ``.npy``: the values alone, stacked along a first axis in the order of the
  methods when there are several (of the same length).

With a band (``--bands``) the smooth fit's intervals go beside its values and fitted
masses: in CSV the columns ``value_low``, ``value_high`` after ``value`` and
``fitted_mass_low``, ``fitted_mass_high`` after ``fitted_mass`` (``value_smooth_low``
... with several methods), in JSON and ``.npz`` ``values_low``, ``values_high``,
``fitted_masses_low``, ``fitted_masses_high`` and ``band_level``.
"""

from __future__ import annotations

import io
import json
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional

from zelvane.cli.results import Result, TailRow

if TYPE_CHECKING:
    import numpy.typing as npt

OUTPUT_EXTENSIONS = (".csv", ".json", ".npy", ".npz")

Progress = Callable[[int], None]


def number_texts(values: npt.NDArray[Any]) -> List[str]:
    """The shortest decimal texts that read back as the same values, float32
    or float64."""
    import numpy as np

    if values.dtype == np.float32:
        return [str(v) for v in values]
    return [repr(v) for v in values.tolist()]


def json_numbers(texts: List[str]) -> List[Optional[float]]:
    numbers: List[Optional[float]] = []
    for text in texts:
        value = float(text)
        numbers.append(value if value - value == 0.0 else None)
    return numbers


# -- formats ----------------------------------------------------------------

def open_csv_lines(result: Result, progress: Progress) -> Iterator[str]:
    """The CSV table of histograms with an open end: a row per knot of the body, and a
    row for each infinite edge, with the value empty there. The mass of every bin, given
    and fitted, is on the row of the edge where it starts (-inf for an open first bin,
    the last finite edge for an open last bin), and so are the kind of the tail beyond
    an open end and its parameter, in the columns ``tail`` and ``tail_parameter``."""
    many = result.masses.ndim == 2
    fit = result.fits[0]
    left, right = result.open_ends
    banded = fit.band is not None
    yield ",".join((["histogram"] if many else []) + ["knot", "value"]
                   + (["value_low", "value_high"] if banded else []) + ["mass", "fitted_mass"]
                   + (["fitted_mass_low", "fitted_mass_high"] if banded else [])
                   + ["tail", "tail_parameter"]) + "\n"
    for k in range(result.count):
        _, masses, (fit_row,) = result.row(k)
        stats = fit.smooth_row(k)
        knots = number_texts(fit_row.knots)
        values = [[text] for text in number_texts(fit_row.values)]
        given = number_texts(masses)
        fitted = [[text] for text in number_texts(fit_row.fitted_masses)]
        if fit_row.band is not None:
            low, high, mass_low, mass_high = (number_texts(a) for a in fit_row.band)
            values = [[v[0], a, b] for v, a, b in zip(values, low, high)]
            fitted = [[f[0], a, b] for f, a, b in zip(fitted, mass_low, mass_high)]
        blank_value = [""] * len(values[0])
        blank_mass = [""] * (1 + len(fitted[0]))
        lead = f"{k}," if many else ""
        rows: List[List[str]] = []

        def tail_cells(tail: Optional[TailRow]) -> List[str]:
            return ["", ""] if tail is None else [tail.kind, repr(tail.parameter)]

        if left:
            rows.append(["-inf"] + blank_value + [given[0]] + fitted[0]
                        + tail_cells(stats.left_tail))
        for j, (knot, value) in enumerate(zip(knots, values)):
            mass_cells, tail = blank_mass, ["", ""]
            bin_index = int(left) + j // fit.refine
            if j % fit.refine == 0 and bin_index < len(given):
                mass_cells = [given[bin_index]] + fitted[bin_index]
                if right and bin_index == len(given) - 1:
                    tail = tail_cells(stats.right_tail)
            rows.append([knot] + value + mass_cells + tail)
        if right:
            rows.append(["inf"] + blank_value + blank_mass + ["", ""])
        yield "".join(lead + ",".join(cells) + "\n" for cells in rows)
        progress(1)


def csv_lines(result: Result, progress: Progress) -> Iterator[str]:
    """The CSV table: a row per edge or, when a fit cuts the bins finer, a row
    per knot of the finest fit, where the values of the coarser fits and the
    masses are left empty between the edges."""
    if any(result.open_ends):
        yield from open_csv_lines(result, progress)
        return
    many = result.masses.ndim == 2
    finest = result.refine
    value_names, mass_names = [], []
    for name, mass_name, method_fit in zip(result.names("value"),
                                           result.names("fitted_mass"), result.fits):
        value_names.append(name)
        mass_names.append(mass_name)
        if method_fit.band is not None:
            value_names += [f"{name}_low", f"{name}_high"]
            mass_names += [f"{mass_name}_low", f"{mass_name}_high"]
    header = (["histogram"] if many else []) + ["edge" if finest == 1 else "knot"] \
        + value_names + ["mass"] + mass_names
    yield ",".join(header) + "\n"
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        knots = number_texts(edges)
        if finest > 1:
            fine = number_texts(next(f.knots for f in fits if f.refine == finest))
            fine[::finest] = knots
            knots = fine
        rows = len(knots)

        def spread(texts: List[str], step: int) -> List[str]:
            # Texts of the edges or of coarser knots, on their rows of the table.
            cells = [""] * rows
            cells[:len(texts) * step:step] = texts
            return cells

        columns = [knots]
        for f in fits:
            columns += [spread(number_texts(v), finest // f.refine)
                        for v in [f.values] + ([] if f.band is None else list(f.band[:2]))]
        columns.append(spread(number_texts(masses), finest))
        for f in fits:
            columns += [spread(number_texts(m), finest)
                        for m in [f.fitted_masses] + ([] if f.band is None else list(f.band[2:]))]
        lead = f"{k}," if many else ""
        yield "".join(lead + ",".join(cells) + "\n" for cells in zip(*columns))
        progress(1)


#: The names of a band's arrays in JSON and .npz: the low and high ends of the values' and
#: of the fitted masses' intervals.
BAND_NAMES = ("values_low", "values_high", "fitted_masses_low", "fitted_masses_high")


def tail_document(tail: Optional[TailRow]) -> Optional[Dict[str, object]]:
    return None if tail is None else tail._asdict()


def smooth_arrays(result: Result) -> Dict[str, Any]:
    """The smooth fit's choices and tails, one element per histogram, for ``.npz``: the
    smoothing, degrees of freedom and deviance, and the kind, joint, mass and parameter
    of the tail beyond each open end."""
    import numpy as np

    arrays: Dict[str, Any] = {}
    for f in result.fits:
        if not f.raw:
            continue
        suffix = "" if len(result.fits) == 1 else f"_{f.method}"
        rows = [f.smooth_row(k) for k in range(result.count)]
        shape = () if result.masses.ndim == 1 else (result.count,)
        for name in ("smoothing", "edf", "deviance"):
            arrays[name + suffix] = np.array([getattr(r, name) for r in rows]).reshape(shape)
        for side, name in zip(f.open_ends, ("left_tail", "right_tail")):
            if not side:
                continue
            tails = [getattr(r, name) for r in rows]
            for field in TailRow._fields:
                column = [getattr(t, field) if t is not None else
                          ("" if field in ("kind", "chosen") else np.nan) for t in tails]
                arrays[f"{name}_{field}{suffix}"] = np.array(column).reshape(shape)
    return arrays


def json_document(result: Result, progress: Progress) -> Dict[str, object]:
    histograms = []
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        described = {}
        for method_fit, fit_row in zip(result.fits, fits):
            entry: Dict[str, Any] = {
                "values": json_numbers(number_texts(fit_row.values)),
                "fitted_masses": json_numbers(number_texts(fit_row.fitted_masses))}
            if method_fit.knots is not None:
                entry = {"knots": json_numbers(number_texts(fit_row.knots)), **entry}
            if fit_row.band is not None:
                assert method_fit.band is not None
                entry.update(zip(BAND_NAMES, (json_numbers(number_texts(a))
                                              for a in fit_row.band)))
                entry["band_level"] = method_fit.band.level
            if method_fit.raw:
                stats = method_fit.smooth_row(k)
                entry.update(smoothing=stats.smoothing, edf=stats.edf, deviance=stats.deviance,
                             left_tail=tail_document(stats.left_tail),
                             right_tail=tail_document(stats.right_tail))
            described[method_fit.method] = entry
        histograms.append({"edges": json_numbers(number_texts(edges)),
                           "masses": json_numbers(number_texts(masses)),
                           "fits": described})
        progress(1)
    return {"histograms": histograms}


def write_npz(stream: IO[bytes], arrays: Dict[str, Any]) -> None:
    """The archive that ``numpy.savez`` writes (a ``.npy`` member per array, stored
    uncompressed), closed on the way out of an interrupt as well: no half-made archive is
    left for the garbage collector to close later, on a file that is closed by then."""
    import zipfile

    import numpy as np

    npy_format: Any = np.lib.format
    with zipfile.ZipFile(stream, mode="w", compression=zipfile.ZIP_STORED,
                         allowZip64=True) as archive:
        for name, value in arrays.items():
            with archive.open(name + ".npy", mode="w", force_zip64=True) as member:
                npy_format.write_array(member, np.asanyarray(value), allow_pickle=False)


def write_result(stream: IO[bytes], extension: str, result: Result, progress: Progress) -> None:
    """Write ``result`` in the format of ``extension`` to a binary stream."""
    import numpy as np

    if extension == ".csv":
        text = io.TextIOWrapper(stream, encoding="utf-8", newline="")
        text.writelines(csv_lines(result, progress))
        text.detach()
    elif extension == ".json":
        document = json_document(result, progress)
        stream.write(json.dumps(document, allow_nan=False).encode("utf-8") + b"\n")
    elif extension == ".npz":
        # Any: savez's own keyword (allow_pickle) is no array, so a typed dict cannot fill it.
        arrays: Dict[str, Any] = {"edges": result.edges, "masses": result.masses}
        for name, f in zip(result.names("knots"), result.fits):
            if f.knots is not None:
                arrays[name] = f.knots
        arrays.update(zip(result.names("values"), (f.values for f in result.fits)))
        arrays.update(zip(result.names("fitted_masses"), (f.fitted_masses for f in result.fits)))
        arrays.update(smooth_arrays(result))
        for f in result.fits:
            if f.band is not None:
                suffix = "" if len(result.fits) == 1 else f"_{f.method}"
                arrays.update((name + suffix, array)
                              for name, array in zip(BAND_NAMES, f.band[1:5]))
                arrays["band_level" + suffix] = np.float64(f.band.level)
        write_npz(stream, arrays)
    elif extension == ".npy":
        values = [f.values for f in result.fits]
        np.save(stream, values[0] if len(values) == 1 else np.stack(values))
    else:
        raise AssertionError(f"no writer for {extension}")
