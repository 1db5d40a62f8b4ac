"""The reader of text tables, as a spreadsheet exports them.

A table is read in one of three layouts told apart by its cells: a bin edge and the
mass of the bin that starts there on every row (the last row's mass empty or left
out); a bracket label (``0-9999``, ``"$10,000 to $14,999"``, ``under 5``, ``85+``,
``200,000 or more``) and its count; or lower end, upper end and count. An open first
or last bin (``-inf``, an empty lower cell; ``inf``, ``...+``, ``... or more``, an empty
upper cell) gets the edge -inf or inf; ``under X`` (``less than X``, ``<X``) of a
positive X starts at zero, as ages, incomes and durations do. Separated by semicolons
(with a decimal comma), tabs, commas (with quotes) or white space; a byte order mark,
CRLF, rows of empty cells and a header are skipped. A one-column table is a column of
samples.

The reader checks the table's structure (cells, rows, how the bins meet) and keeps
the line of every edge and mass, to name the place of a bad number later; the numbers
themselves are checked by the fitting layer.
"""

from __future__ import annotations

import codecs
import csv
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, List, NamedTuple, Optional, Sequence, Tuple

from zelvane.cli.errors import BadInput, plural
from zelvane.cli.histograms import Histograms

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

INF = float("inf")


def decode(source: str, data: bytes) -> str:
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

