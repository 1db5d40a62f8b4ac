"""Readers of the command line's input files.

Three kinds of input give histograms:

- a text table as a spreadsheet exports it, in one of three layouts told apart
  by its cells: a bin edge and the mass of the bin that starts there on every
  row (the last row's mass empty or left out); a bracket label (``0-9999``,
  ``"$10,000 to $14,999"``, ``under 5``, ``85+``, ``200,000 or more``) and its
  count; or lower end, upper end and count. An open first or last bin (``-inf``,
  an empty lower cell; ``inf``, ``...+``, ``... or more``, an empty upper cell)
  gets the edge -inf or inf; ``under X`` (``less than X``, ``<X``) of a positive
  X starts at zero, as ages, incomes and durations do. Separated by semicolons (with a
  decimal comma), tabs, commas (with quotes) or white space; a byte order mark,
  CRLF, rows of empty cells and a header are skipped;
- a ``.npz`` archive with arrays ``edges`` (or ``center``) and ``counts`` (or
  ``gap`` or ``masses``), 1-D for one histogram, 2-D for one per row;
- samples, from a ``.npy`` array or a one-column table, binned by
  ``numpy.histogram``.

Readers check the file's structure (cells, rows, how the bins meet, arrays) and
keep what is needed to name the place of a bad number later: the line of every
edge and mass of a table, or the archive's array names. The numbers themselves
are checked by the fitting layer.
"""

from __future__ import annotations

import codecs
import csv
import importlib
import io
import math
import os
import re
import sys
import tokenize
import zipfile
import zlib
from dataclasses import dataclass
from typing import (IO, TYPE_CHECKING, Any, Callable, List, NamedTuple, Optional, Sequence, Tuple,
                    Union)

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
# The most bins that samples are cut into: far more than any histogram needs, and
# few enough that the fits of them stay within memory.
MAX_BINS = 1_000_000

INF = float("inf")

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")


@dataclass(frozen=True)
class Histograms:
    """Edges and masses as read, with what locates each number in the file.

    ``edges`` is 1-D (shared) or 2-D (one row per histogram), ``masses`` 1-D
    for one histogram or 2-D for one per row; the first edge may be ``-inf`` and
    the last ``inf`` (open ends). ``names`` are what messages call the edges and
    the masses (an archive's array names); a table keeps the line of every edge
    in ``lines`` and of every mass in ``mass_lines`` (the same lines when None).
    """

    source: str
    edges: npt.NDArray[Any]
    masses: npt.NDArray[Any]
    names: Tuple[str, str] = ("edge", "mass")
    lines: Optional[Tuple[int, ...]] = None
    mass_lines: Optional[Tuple[int, ...]] = None

    @property
    def count(self) -> int:
        """The number of histograms."""
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    @property
    def open_ends(self) -> Tuple[bool, bool]:
        """Whether the first bin starts at -inf and whether the last ends at inf (in
        any row)."""
        import numpy as np

        from zelvane._checks import open_sides

        edges = np.asarray(self.edges)
        if edges.size == 0 or edges.dtype.kind != "f":
            return False, False
        left, right = open_sides(edges)
        return bool(left.any()), bool(right.any())

    def line(self, index: int, mass: bool = False) -> Optional[str]:
        """The table line of edge ``index`` (of mass ``index`` with ``mass``), None
        for other inputs."""
        lines = self.mass_lines if mass and self.mass_lines is not None else self.lines
        if lines is None or not 0 <= index < len(lines):
            return None
        return f"line {lines[index]}"


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
    """The text of a table: UTF-8 (a byte order mark at the start, as Excel writes it, is
    dropped), or UTF-16 when it starts with that encoding's byte order mark (Excel's
    "Unicode text")."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError as exc:
            raise BadInput(source, "not_text", offset=exc.start, encoding="UTF-16") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise BadInput(source, "not_text", offset=exc.start, encoding="UTF-8") from None


# Thousands grouped by the separator that is not the decimal mark.
_GROUPED = {",": re.compile(r"[+-]?\d{1,3}(,\d{3})+(\.\d*)?"),
            ".": re.compile(r"[+-]?[1-9]\d{0,2}(\.\d{3})+(,\d*)?")}


@dataclass(frozen=True)
class Dialect:
    """How a table writes its cells: the separator (None: white space) and so the
    decimal mark. A semicolon-separated table (a European spreadsheet's) has a decimal
    comma and groups thousands with points (``1.234,5``, ``200.000``; a point that
    groups no thousands, as in ``0.5`` or ``2.75``, is a decimal point); any other has a
    decimal point and groups thousands with commas (``200,000``: in a comma-separated
    table only inside quotes)."""

    separator: Optional[str]

    @property
    def decimal_comma(self) -> bool:
        return self.separator == ";"

    def number(self, cell: str) -> Optional[float]:
        """The number a cell holds (``inf``, ``-inf`` and ``nan`` included), or None."""
        text = cell.strip().replace("\u2212", "-")
        if self.decimal_comma:
            if _GROUPED["."].fullmatch(text):
                text = text.replace(".", "")
            elif "." in text and "," in text:
                return None
            text = text.replace(",", ".")
        elif "," in text:
            if not _GROUPED[","].fullmatch(text):
                return None
            text = text.replace(",", "")
        try:
            return float(text)
        except ValueError:
            return None

    def mass(self, cell: str) -> Optional[float]:
        """A mass or count: a number, or a percentage (only proportions matter)."""
        text = cell.strip()
        return self.number(text[:-1] if text.endswith("%") else text)


def _dialect(line: str) -> Dialect:
    """The dialect of a table, from its first line that is not blank or a comment: a
    semicolon, a tab or a comma outside quotes, in that order, else white space."""
    outside = re.sub(r'"[^"]*"?', "", line)
    for separator in (";", "\t", ","):
        if separator in outside:
            return Dialect(separator)
    return Dialect(None)


def _split(source: str, number: int, dialect: Dialect, line: str) -> List[str]:
    if dialect.separator is None:
        return line.split()
    # No cell is longer than its line, which is in memory already: csv's own limit
    # (131,072 characters) would refuse a long cell that this table may well hold.
    if len(line) > csv.field_size_limit():
        csv.field_size_limit(len(line))
    try:
        cells = next(csv.reader([line], delimiter=dialect.separator, skipinitialspace=True),
                     [])
    except csv.Error as exc:
        raise BadInput(source, "bad_row", f"line {number}", reason=str(exc)) from None
    return [cell.strip() for cell in cells]


class Bound(NamedTuple):
    """What the first cell of a two-column row says about its bin.

    ``kind`` is ``"edge"`` (a number: the bin starts there, or on the last row without a
    mass the last bin ends there), ``"range"`` (a bracket ``low-high``), ``"under"`` (an
    open first bin ending at ``high``) or ``"over"`` (an open last bin starting at
    ``low``)."""

    kind: str
    low: float
    high: float


_NUMBER = r"[+-]?(?:\d[\d.,_]*|\.\d+)(?:e[+-]?\d+)?"
_UNIT = r"(?:\s*[^\W\d_]+\.?)?"  # a word after a number: "5 years", "85 yrs."
_LABELS = [
    ("range", re.compile(rf"({_NUMBER}){_UNIT}\s*(?:-|–|—|to|until)\s*({_NUMBER}){_UNIT}")),
    ("over", re.compile(rf"({_NUMBER}){_UNIT}\s*\+{_UNIT}")),
    ("over", re.compile(rf"({_NUMBER}){_UNIT}\s+(?:or|and)\s+(?:more|over|above|older|higher"
                        rf"|greater|up)")),
    ("over", re.compile(rf"(?:over|above|more than|greater than|>)\s*({_NUMBER}){_UNIT}")),
    ("under", re.compile(rf"(?:under|below|less than|fewer than|<)\s*({_NUMBER}){_UNIT}")),
]


def _bound(dialect: Dialect, cell: str) -> Optional[Bound]:
    """The bound that the first cell of a two-column row gives, or None if it is neither
    a number nor a bracket label. Currency signs are dropped, case is ignored."""
    value = dialect.number(cell)
    if value is not None:
        return Bound("edge", value, value)
    text = " ".join(re.sub(r"[$€£¥]", "", cell).replace("\u2212", "-").lower().split())
    for kind, pattern in _LABELS:
        match = pattern.fullmatch(text)
        if match is None:
            continue
        numbers = [dialect.number(part) for part in match.groups()]
        if any(number is None or number != number for number in numbers):
            return None
        assert all(number is not None for number in numbers)
        if kind == "range":
            return Bound(kind, numbers[0], numbers[1])  # type: ignore[arg-type]
        if kind == "over":
            return Bound(kind, numbers[0], INF)  # type: ignore[arg-type]
        # "Under 5 years", "less than $10,000": in the reports that write them
        # (ages, incomes, durations) the quantity is never negative, and the
        # bin starts at zero; only a bound of zero or below leaves it open.
        top: float = numbers[0]  # type: ignore[assignment]
        return Bound(kind, 0.0 if top > 0 else -INF, top)
    return None


def _is_header(dialect: Dialect, cells: Sequence[str]) -> bool:
    """A first row that names the columns: no cell in it is a number or a bracket, or
    its first cell is words without a digit ("Age group", beside a year, say)."""
    if not any(cells):
        return False
    if all(_bound(dialect, cell) is None for cell in cells if cell):
        return True
    first = cells[0]
    return bool(first) and _bound(dialect, first) is None and not re.search(r"\d", first)


class Row(NamedTuple):
    line: int
    cells: List[str]


def table_rows(source: str, text: str) -> Tuple[Dialect, Optional[Row], List[Row]]:
    """The dialect, the header row (or None) and the data rows of a table, each with its
    line number (from 1) and its stripped cells. Blank lines, rows of empty cells (a
    spreadsheet's unused columns) and lines starting with ``#`` are skipped."""
    dialect: Optional[Dialect] = None
    header: Optional[Row] = None
    rows: List[Row] = []
    for number, line in enumerate(re.split(r"\r\n|\r|\n", text), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if dialect is None:
            dialect = _dialect(stripped)
        # A separated table's leading separator is an empty first cell.
        cells = _split(source, number, dialect,
                       line if dialect.separator is not None else stripped)
        if not any(cells):
            continue
        if dialect.separator is None and len(cells) > 2 and \
                any(dialect.number(cell) is None for cell in cells):
            label = _bound(dialect, " ".join(cells[:-1]))
            if label is not None and label.kind != "edge":
                # A label of several words ("85 years and over") and its count.
                cells = [" ".join(cells[:-1]), cells[-1]]
        if header is None and not rows and _is_header(dialect, cells):
            header = Row(number, cells)
            continue
        rows.append(Row(number, cells))
    return dialect or Dialect(None), header, rows


def _width(cells: Sequence[str]) -> int:
    """The number of cells without the empty ones at the end."""
    width = len(cells)
    while width and not cells[width - 1]:
        width -= 1
    return width


# The most characters of a cell that a message quotes.
SHOWN_CELL = 60


def shown(cell: str) -> str:
    """A cell as a message quotes it: a long one cut short, so that the message stays
    one readable line."""
    return cell if len(cell) <= SHOWN_CELL else cell[:SHOWN_CELL - 3] + "..."


def _cell_value(source: str, row: Row, column: int, value: Optional[float]) -> float:
    where = f"line {row.line}, column {column}"
    cell = row.cells[column - 1] if column <= len(row.cells) else ""
    if not cell:
        raise BadInput(source, "empty_cell", where)
    if value is None:
        raise BadInput(source, "not_number", where, cell=shown(cell))
    return value


class Bin(NamedTuple):
    """One row of a table as a bin: where it starts and ends (None: where the next row
    starts), its mass (None: a last row that only closes the bin above) and its line."""

    low: float
    high: Optional[float]
    mass: Optional[float]
    line: int
    # Whether low and high are the first and last whole number of the bin ("10-14").
    whole: bool = False
    # An open first bin, whose end the next row must start at exactly.
    under: bool = False


def _two_column_bins(source: str, dialect: Dialect, rows: Sequence[Row]) -> List[Bin]:
    bins: List[Bin] = []
    for position, row in enumerate(rows):
        last = position == len(rows) - 1
        cells = row.cells
        bound = _bound(dialect, cells[0]) if cells[0] else None
        if bound is None:
            where = f"line {row.line}, column 1"
            if not cells[0]:
                raise BadInput(source, "empty_cell", where)
            raise BadInput(source, "not_bound", where, cell=shown(cells[0]))
        if len(cells) < 2 or not cells[1]:
            if not last and len(cells) >= 2:
                raise BadInput(source, "empty_cell", f"line {row.line}, column 2")
            if not last:
                raise BadInput(source, "missing_mass", f"line {row.line}", count=_width(cells),
                               s=plural(_width(cells)), expected=2)
            if bound.kind != "edge":
                raise BadInput(source, "empty_cell", f"line {row.line}, column 2")
            bins.append(Bin(bound.low, None, None, row.line))
            continue
        mass = _cell_value(source, row, 2, dialect.mass(cells[1]))
        if bound.kind == "edge":
            if last:
                raise BadInput(source, "last_mass", f"line {row.line}")
            bins.append(Bin(bound.low, None, mass, row.line))
        else:
            whole = bound.kind == "range" and bound.low.is_integer() and bound.high.is_integer()
            bins.append(Bin(bound.low, bound.high, mass, row.line, whole,
                            under=bound.kind == "under"))
    return bins


def _three_column_bins(source: str, dialect: Dialect, rows: Sequence[Row]) -> List[Bin]:
    bins: List[Bin] = []
    for position, row in enumerate(rows):
        cells = row.cells + [""] * (3 - len(row.cells))
        low = -INF if not cells[0] else _cell_value(source, row, 1, dialect.number(cells[0]))
        high = INF if not cells[1] else _cell_value(source, row, 2, dialect.number(cells[1]))
        if low == -INF and position:
            raise BadInput(source, "open_first", f"line {row.line}, column 1")
        if high == INF and position < len(rows) - 1:
            raise BadInput(source, "open_last", f"line {row.line}, column 2")
        mass = _cell_value(source, row, 3, dialect.mass(cells[2]))
        whole = low.is_integer() and high.is_integer()
        bins.append(Bin(low, high, mass, row.line, whole, under=low == -INF))
    return bins


# How the bins of a table meet: the next starts where one ends, or at the next whole
# number after a bin's last one ("0-4", "5-9").
MEET_TEXT = {"end": "end to start (as in 10-20, 20-30)",
             "whole": "as whole numbers (as in 10-19, 20-29)"}


def _edges(source: str, bins: Sequence[Bin]) -> Tuple[List[float], List[float], List[int],
                                                         List[int]]:
    """Edges, masses and the line of each, of bins that must meet one after the other.

    Brackets of whole numbers hold their last number: ``10000-14999`` followed by
    ``15000-19999`` are the bins [10000, 15000) and [15000, 20000), and a table that
    counts that way ends its last bracket at the whole number after it. A table meets
    one way throughout; anything else leaves a gap or an overlap, refused on its line."""
    edges: List[float] = [bins[0].low]
    edge_lines = [bins[0].line]
    masses: List[float] = []
    mass_lines: List[int] = []
    meeting: Optional[str] = None
    for here, after in zip(bins, bins[1:]):
        where = f"line {after.line}"
        if after.under or after.low == -INF:
            raise BadInput(source, "open_first", where)
        if here.high == INF:
            raise BadInput(source, "open_last", f"line {here.line}")
        if here.mass is None:
            raise BadInput(source, "missing_mass", f"line {here.line}", count=1, s="",
                           expected=2)
        start = after.low
        if here.high is not None and start != here.high:
            whole = here.whole and start == here.high + 1 and start.is_integer()
            if not whole or meeting == "end":
                key = "meeting" if whole else "gap" if start > here.high else "overlap"
                raise BadInput(source, key, where, start=number_text(start),
                               end=number_text(here.high), meeting=MEET_TEXT.get(meeting or ""))
            meeting = "whole"
        elif here.high is not None and not here.under:
            if meeting == "whole":
                raise BadInput(source, "meeting", where, start=number_text(start),
                               end=number_text(here.high), meeting=MEET_TEXT["whole"])
            meeting = "end"
        masses.append(here.mass)
        mass_lines.append(here.line)
        edges.append(start)
        edge_lines.append(after.line)
    last = bins[-1]
    if last.mass is not None:
        if last.high is None:
            raise BadInput(source, "last_mass", f"line {last.line}")
        whole = last.whole and last.high != INF and (meeting == "whole" or meeting is None)
        masses.append(last.mass)
        mass_lines.append(last.line)
        edges.append(last.high + 1 if whole else last.high)
        edge_lines.append(last.line)
    return edges, masses, edge_lines, mass_lines


def number_text(value: float) -> str:
    """A number as a table would show it: 15000, not 15000.0."""
    return format(value, ".15g")


def read_histogram_table(source: str, text: str) -> Histograms:
    """A histogram from a table of one of three layouts (see the module's docstring):
    edge and mass, bracket label and count, or lower, upper and count."""
    import numpy as np

    dialect, header, rows = table_rows(source, text)
    if header is not None:
        width = _width(header.cells)
    else:
        # The first row has every cell of its layout; a malformed one says nothing.
        width = max((_width(row.cells) for row in rows[:1]), default=0)
        if width == 1:
            width = max(_width(row.cells) for row in rows)
    if width == 1:
        raise BadInput(source, "one_column")
    if width > 3:
        line = header.line if header is not None else rows[0].line
        raise BadInput(source, "columns", f"line {line}", count=width)
    for row in rows:
        if _width(row.cells) > width:
            count = _width(row.cells)
            hint = ""
            if dialect.separator == "," and any(re.fullmatch(r"\d{3}\b.*", cell)
                                                for cell in row.cells[1:]):
                hint = "; a number with a thousands separator must be quoted in a " \
                       "comma-separated table"
            raise BadInput(source, "row_cells", f"line {row.line}", count=count, s=plural(count),
                           expected=width, hint=hint)
        del row.cells[width:]
    if not rows:
        raise BadInput(source, "few_edges", count=0, s="s")
    bins = (_three_column_bins if width == 3 else _two_column_bins)(source, dialect, rows)
    edges, masses, edge_lines, mass_lines = _edges(source, bins)
    if len(edges) < 2:
        raise BadInput(source, "few_edges", count=len(edges), s=plural(len(edges)))
    for k, edge in enumerate(edges):
        if edge == -INF and k > 0:
            raise BadInput(source, "open_first", f"line {edge_lines[k]}")
        if edge == INF and k < len(edges) - 1:
            raise BadInput(source, "open_last", f"line {edge_lines[k]}")
    return Histograms(source, np.array(edges, dtype=np.float64),
                      np.array(masses, dtype=np.float64), ("edge", "mass"),
                      tuple(edge_lines), tuple(mass_lines))


def read_sample_table(source: str, text: str) -> Tuple[npt.NDArray[np.float64], Tuple[int, ...]]:
    """The samples of a one-column table, and the line of each."""
    import numpy as np

    dialect, _, rows = table_rows(source, text)
    values: List[float] = []
    for row in rows:
        if _width(row.cells) != 1:
            count = _width(row.cells)
            raise BadInput(source, "cells", f"line {row.line}", count=count, s=plural(count),
                           expected=1)
        values.append(_cell_value(source, row, 1, dialect.number(row.cells[0])))
    return np.array(values, dtype=np.float64), tuple(row.line for row in rows)


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


# What NumPy raises for a file that is no valid .npy or .npz (its header is parsed as
# a Python literal, so the tokenizer's and the parser's errors too), and zipfile for a
# member compressed by a method that it lacks.
BAD_NUMPY_FILE = (OSError, ValueError, EOFError, SyntaxError, tokenize.TokenError,
                  zipfile.BadZipFile, NotImplementedError, zlib.error)
# zipfile's refusal of an encrypted member.
BAD_ARCHIVE = BAD_NUMPY_FILE + (RuntimeError,)

# Bytes read from an archive's member to find its .npy header, which NumPy keeps
# below 10,000 bytes unless told otherwise (and format 1.0 below 65,536).
NPY_HEADER_BYTES = 65536 + 16


def memory_bytes() -> int:
    """The bytes of memory this process may have: the machine's physical memory, or
    a container's (control group's) limit where that is lower."""
    from zelvane import _native

    return _native.memory_bytes()


def _declared(stream: IO[bytes]) -> Tuple[int, Any]:
    """The number of elements and the dtype that a .npy header declares; the
    stream is left where the data start."""
    import numpy as np

    npy_format: Any = np.lib.format
    version = npy_format.read_magic(stream)
    if version == (1, 0):
        shape, _, dtype = npy_format.read_array_header_1_0(stream)
    elif version == (2, 0):
        shape, _, dtype = npy_format.read_array_header_2_0(stream)
    else:
        reader = getattr(npy_format, "_read_array_header", None)
        if reader is None:
            raise ValueError(f"unsupported .npy format version {version}")
        shape, _, dtype = reader(stream, version)
    count = 1
    for length in shape:
        count *= int(length)
    return count, dtype


def check_declared(source: str, stream: IO[bytes], held: Callable[[int], int],
                   where: Optional[str] = None) -> None:
    """Refuse an array whose header declares more data than there are, or more than
    the memory this process may have, before NumPy allocates it: a header of a few bytes
    can declare any size. ``held`` gives the bytes of data after a header of the
    length it is given."""
    count, dtype = _declared(stream)
    size = count * dtype.itemsize
    there = held(stream.tell())
    if size > there:
        raise BadInput(source, "npy_size", where, count=count, dtype=str(dtype), size=size,
                       held=max(there, 0))
    memory = memory_bytes()
    if size > memory:
        raise BadInput(source, "too_large", where, size=size, memory=memory)


def _check_members(source: str, data: bytes, names: Sequence[str]) -> None:
    """Check the headers of the archive's arrays ``names`` against the sizes that the
    archive records for them."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        listed = set(archive.namelist())
        for name in names:
            member = name + ".npy" if name + ".npy" in listed else name
            info = archive.getinfo(member)
            with archive.open(info) as stream:
                head = io.BytesIO(stream.read(min(info.file_size, NPY_HEADER_BYTES)))
            check_declared(source, head, lambda header: info.file_size - header,
                           f"array {name!r}")


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
            _check_members(source, data, (edge_name, mass_name))
            edges, masses = archive[edge_name], archive[mass_name]
    except BadInput:
        raise
    except BAD_ARCHIVE as exc:
        raise BadInput(source, "bad_archive", kind=".npz", reason=str(exc)) from None
    return Histograms(source, edges, masses, (edge_name, mass_name))


def read_sample_array(source: str, data: bytes) -> npt.NDArray[np.float64]:
    """The samples of a ``.npy`` file: a 1-D array of real numbers."""
    import numpy as np

    try:
        check_declared(source, io.BytesIO(data), lambda header: len(data) - header)
        array = np.load(io.BytesIO(data), allow_pickle=False)
        if not isinstance(array, np.ndarray):
            raise ValueError("it is an archive of arrays")
    except BadInput:
        raise
    except BAD_NUMPY_FILE as exc:
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
    if count > MAX_BINS:
        raise BadInput(None, "bins_limit", value=text, limit=MAX_BINS)
    return count


def _rule_bins(samples: npt.NDArray[np.float64], rule: str, low: float, high: float) -> float:
    """How many bins ``numpy.histogram``'s rule ``rule`` makes of the samples (inf for
    more than can be counted), by NumPy's own estimator of the bin width, or 0 where
    that estimator cannot be found (NumPy keeps it private)."""
    import numpy as np

    selectors = None
    for module in ("numpy.lib._histograms_impl", "numpy.lib.histograms"):
        try:
            selectors = getattr(importlib.import_module(module), "_hist_bin_selectors")
            break
        except (ImportError, AttributeError):
            continue
    if high == low:  # numpy.histogram makes one bin around them
        return 1.0
    if selectors is None or rule not in selectors:
        return 0.0
    with np.errstate(all="ignore"):
        width = float(selectors[rule](samples, (low, high)))
        if not width > 0:  # numpy.histogram makes one bin then
            return 1.0
        return math.ceil((high - low) / width) if (high - low) / width < INF else INF


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
    low, high = float(samples.min()), float(samples.max())
    if high - low == INF:
        raise BadInput(source, "sample_span", low=repr(low), high=repr(high))
    count: float = bins if isinstance(bins, int) else _rule_bins(samples, bins, low, high)
    if count > MAX_BINS:
        shown = "more than 1e308" if count == INF else str(count)
        raise BadInput(source, "rule_bins", rule=bins, count=shown, limit=MAX_BINS)
    # numpy.histogram cuts [low, high] (widened by 0.5 each way if it is a point) into
    # equal bins; where float64 cannot tell their edges apart it fails in ways of its
    # own (an IndexError, say), so that is refused here.
    start, stop = (low - 0.5, high + 0.5) if low == high else (low, high)
    if count >= 1 and not (np.diff(np.linspace(start, stop, int(count) + 1)) > 0).all():
        raise BadInput(source, "unbinnable",
                       reason=f"[{start!r}, {stop!r}] cannot be cut into {int(count)} bin"
                              f"{plural(int(count))} of positive width in float64")
    try:
        counts, edges = np.histogram(samples, bins=bins)
    except ValueError as exc:  # e.g. bins narrower than float64 can tell apart
        raise BadInput(source, "unbinnable", reason=str(exc)) from None
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
