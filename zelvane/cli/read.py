"""Readers of the command line's input files.

Three kinds of input give histograms:

- a two-column text table (comma-separated or split by white space, with or
  without a header line): a bin edge on every row, and the mass of the interval
  that starts there, left empty or out on the last row, whose edge closes the
  last bin;
- a ``.npz`` archive with arrays ``edges`` (or ``center``) and ``counts`` (or
  ``gap`` or ``masses``), 1-D for one histogram, 2-D for one per row;
- samples, from a ``.npy`` array or a one-column table, binned by
  ``numpy.histogram``.

Readers check the file's structure (cells, rows, arrays) and keep what is needed
to name the place of a bad number later: the line of every table row, or the
archive's array names. The numbers themselves are checked by the fitting layer.
"""

from __future__ import annotations

import csv
import io
import os
import sys
import zipfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

from zelvane.cli.errors import BadInput, plural

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

STDIN = "-"
TABLE_EXTENSIONS = (".csv", ".tsv", ".txt", ".dat")
INPUT_EXTENSIONS = TABLE_EXTENSIONS + (".npz", ".npy")
# Array names of a .npz archive, each with the names it may go by.
EDGE_ARRAYS = ("edges", "center")
MASS_ARRAYS = ("counts", "gap", "masses")
# numpy.histogram's named rules for the number of bins.
BIN_RULES = ("auto", "fd", "doane", "scott", "stone", "rice", "sturges", "sqrt")

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")


@dataclass(frozen=True)
class Histograms:
    """Edges and masses as read, with what locates each number in the file.

    ``edges`` is 1-D (shared) or 2-D (one row per histogram), ``masses`` 1-D
    for one histogram or 2-D for one per row. ``names`` are what messages call
    the edges and the masses (an archive's array names); a table keeps the line
    of every row in ``lines``.
    """

    source: str
    edges: npt.NDArray[Any]
    masses: npt.NDArray[Any]
    names: Tuple[str, str] = ("edge", "mass")
    lines: Optional[Tuple[int, ...]] = None

    @property
    def count(self) -> int:
        """The number of histograms."""
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    def line(self, index: int) -> Optional[str]:
        """The line of table row ``index``, None for other inputs."""
        if self.lines is None or not 0 <= index < len(self.lines):
            return None
        return f"line {self.lines[index]}"


# -- raw bytes --------------------------------------------------------------

def display_name(path: str) -> str:
    """The name that messages give an input."""
    return "<stdin>" if path == STDIN else path


def read_bytes(path: str) -> bytes:
    if path == STDIN:
        return sys.stdin.buffer.read()
    if os.path.isdir(path):
        raise BadInput(path, "is_directory")
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as exc:
        raise BadInput(path, "unreadable", reason=exc.strerror or str(exc)) from None


def input_kind(path: str, data: Optional[bytes] = None) -> str:
    """``"table"``, ``"npz"`` or ``"npy"``: by the extension of a file, by the
    first bytes of standard input."""
    if path == STDIN:
        assert data is not None
        if data.startswith(NPY_MAGIC):
            return "npy"
        return "npz" if data.startswith(ZIP_MAGIC) else "table"
    extension = os.path.splitext(path)[1].lower()
    if extension not in INPUT_EXTENSIONS:
        raise BadInput(path, "input_extension", extension=extension or "(none)",
                       known=", ".join(INPUT_EXTENSIONS))
    return "table" if extension in TABLE_EXTENSIONS else extension[1:]


# -- text tables ------------------------------------------------------------

def _decode(source: str, data: bytes) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise BadInput(source, "not_text", offset=exc.start) from None


def _number(cell: str) -> Optional[float]:
    try:
        return float(cell)
    except ValueError:
        return None


def table_rows(source: str, text: str) -> List[Tuple[int, List[str]]]:
    """The data rows of a table, each with its line number (from 1) and its
    stripped cells. Blank lines and lines starting with ``#`` are skipped, and
    so is a first row in which no cell is a number (a header). The first row
    decides the separator: a comma if it has one, else white space."""
    rows: List[Tuple[int, List[str]]] = []
    comma: Optional[bool] = None
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if comma is None:
            comma = "," in stripped
        if comma:
            cells = [cell.strip() for cell in next(csv.reader([stripped]))]
        else:
            cells = stripped.split()
        if not rows and all(_number(cell) is None for cell in cells if cell):
            if any(cells):
                continue  # a header: it names the columns, no number in it
        rows.append((number, cells))
    return rows


def _cell_value(source: str, number: int, column: int, cell: str) -> float:
    where = f"line {number}, column {column}"
    if not cell:
        raise BadInput(source, "empty_cell", where)
    value = _number(cell)
    if value is None:
        raise BadInput(source, "not_number", where, cell=cell)
    return value


def read_histogram_table(source: str, text: str) -> Histograms:
    """A histogram from a two-column table: edge and mass on every row, the
    last row's mass empty or absent."""
    import numpy as np

    rows = table_rows(source, text)
    edges: List[float] = []
    masses: List[float] = []
    for position, (number, cells) in enumerate(rows):
        last = position == len(rows) - 1
        if len(cells) == 2 and last and not cells[1]:
            cells = cells[:1]
        if len(cells) == 1 and not last:
            raise BadInput(source, "missing_mass", f"line {number}", count=1, s="", expected=2)
        if len(cells) > 2:
            raise BadInput(source, "cells", f"line {number}", count=len(cells),
                           s=plural(len(cells)), expected=2)
        edges.append(_cell_value(source, number, 1, cells[0]))
        if len(cells) == 2:
            if last:
                raise BadInput(source, "last_mass", f"line {number}")
            masses.append(_cell_value(source, number, 2, cells[1]))
    if len(edges) < 2:
        raise BadInput(source, "few_edges", count=len(edges), s=plural(len(edges)))
    return Histograms(source, np.array(edges, dtype=np.float64),
                      np.array(masses, dtype=np.float64), ("edge", "mass"),
                      tuple(number for number, _ in rows))


def read_sample_table(source: str, text: str) -> Tuple[npt.NDArray[np.float64], Tuple[int, ...]]:
    """The samples of a one-column table, and the line of each."""
    import numpy as np

    rows = table_rows(source, text)
    values: List[float] = []
    for number, cells in rows:
        if len(cells) != 1:
            raise BadInput(source, "cells", f"line {number}", count=len(cells),
                           s=plural(len(cells)), expected=1)
        values.append(_cell_value(source, number, 1, cells[0]))
    return np.array(values, dtype=np.float64), tuple(number for number, _ in rows)


# -- NumPy files ------------------------------------------------------------

def _pick(source: str, archive: Sequence[str], names: Tuple[str, ...]) -> str:
    found = [name for name in names if name in archive]
    if not found:
        listed = " or ".join(repr(name) for name in names)
        present = ", ".join(repr(name) for name in archive) or "none"
        raise BadInput(source, "no_array", names=listed, present=present)
    if len(found) > 1:
        raise BadInput(source, "two_arrays", first=found[0], second=found[1])
    return found[0]


def read_archive(source: str, data: bytes) -> Histograms:
    """Histograms from the arrays of a ``.npz`` archive."""
    import numpy as np

    try:
        archive = np.load(io.BytesIO(data), allow_pickle=False)
        if not hasattr(archive, "files"):
            raise ValueError("it holds a single array")
        with archive:
            files = list(archive.files)
            edge_name = _pick(source, files, EDGE_ARRAYS)
            mass_name = _pick(source, files, MASS_ARRAYS)
            edges, masses = archive[edge_name], archive[mass_name]
    except BadInput:
        raise
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as exc:
        raise BadInput(source, "bad_archive", kind=".npz", reason=str(exc)) from None
    return Histograms(source, edges, masses, (edge_name, mass_name))


def read_sample_array(source: str, data: bytes) -> npt.NDArray[np.float64]:
    """The samples of a ``.npy`` file: a 1-D array of real numbers."""
    import numpy as np

    try:
        array = np.load(io.BytesIO(data), allow_pickle=False)
        if not isinstance(array, np.ndarray):
            raise ValueError("it is an archive of arrays")
    except (OSError, ValueError, EOFError) as exc:
        raise BadInput(source, "bad_archive", kind=".npy", reason=str(exc)) from None
    if array.ndim != 1:
        raise BadInput(source, "sample_rank", ndim=array.ndim)
    if array.dtype.kind not in "biuf":
        raise BadInput(source, "not_numbers", dtype=array.dtype.name)
    return array.astype(np.float64)


# -- samples to a histogram -------------------------------------------------

def parse_bins(text: str) -> Union[int, str]:
    """The value of ``--bins``: a positive count or the name of a rule."""
    if text in BIN_RULES:
        return text
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise BadInput(None, "bins", names=", ".join(BIN_RULES), value=text)
    return count


def histogram_of_samples(source: str, samples: npt.NDArray[np.float64],
                         lines: Optional[Tuple[int, ...]], bins: Union[int, str]) -> Histograms:
    """The histogram that ``numpy.histogram`` makes of the samples."""
    import numpy as np

    if samples.size == 0:
        raise BadInput(source, "no_samples")
    bad = np.flatnonzero(~np.isfinite(samples))
    if bad.size:
        first = int(bad[0])
        where = f"line {lines[first]}" if lines is not None else f"index {first}"
        raise BadInput(source, "sample_not_finite", where, value=repr(float(samples[first])))
    counts, edges = np.histogram(samples, bins=bins)
    return Histograms(source, edges.astype(np.float64), counts.astype(np.float64),
                      ("bin_edges", "bin_counts"))


def read_input(path: str, samples: bool, bins: Optional[str]) -> Histograms:
    """The histograms of the input file ``path`` (``-`` for standard input):
    of its samples, binned by ``bins`` (default ``auto``), with ``samples`` or
    from a ``.npy`` file."""
    source = display_name(path)
    rule = parse_bins(bins if bins is not None else "auto")
    kind = input_kind(path) if path != STDIN else None
    data = read_bytes(path)
    if kind is None:
        kind = input_kind(path, data)
    samples = samples or kind == "npy"
    if bins is not None and not samples:
        raise BadInput(None, "bins_without_samples")
    if kind == "npy":
        return histogram_of_samples(source, read_sample_array(source, data), None, rule)
    if kind == "npz":
        if samples:
            raise BadInput(source, "samples_input", kind="a .npz archive")
        return read_archive(source, data)
    text = _decode(source, data)
    if samples:
        values, lines = read_sample_table(source, text)
        return histogram_of_samples(source, values, lines, rule)
    return read_histogram_table(source, text)
