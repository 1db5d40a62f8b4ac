"""Tables as spreadsheets export them and statistics offices publish them.

:func:`read_table` reads a text table of bins and their counts in one of three layouts,
told apart by its cells:

- a bracket label and its count on every row (``0-9999``, ``"$10,000 to $14,999"``,
  ``Under 5 years``, ``85+``, ``85 years and over``, ``"$200,000 or more"``), as
  published: with any number of count columns (a wide table: one histogram per
  column), a margin of error beside a count (a column whose header says margin, MOE
  or ±, right after its count), a Percent column (left aside where there are counts),
  a Total row (its value checks the sum of the rows, and is not fitted), title and note
  lines above the header and footnotes below the table (skipped, and listed in
  :attr:`Table.skipped`);
- a bin edge and the count of the bin that starts there on every row, the last row's
  count left empty or out (the edge that closes the last bin);
- lower end, upper end and count (the first lower or the last upper end left empty for
  an open end).

Brackets of whole numbers hold their last number: ``10,000 to 14,999`` then ``15,000 to
19,999`` are the bins [10000, 15000) and [15000, 20000), ``5 to 9 years`` is [5, 10).
An open last bracket (``85+``, ``... or more``, ``... and over``, ``inf``, an empty
upper end) gets the edge inf. ``Under X``, ``less than X``, ``below X`` and ``<X`` of a
positive X start at 0, as ages, incomes and durations do (they are never negative in
the tables that write them so); of a bound of zero or below they leave the first bin
open (-inf), as do ``-inf`` and an empty lower end. Currency signs and units after a
number (``years``) are dropped, case is ignored.

Cells are separated by semicolons (with a decimal comma, thousands grouped by points),
tabs, commas (a number with a thousands comma in quotes) or white space; a byte order
mark, CRLF, blank rows, rows of empty cells and lines starting with ``#`` are skipped.
Every problem is a :class:`TableError` that names its line and column.
"""

from __future__ import annotations

import codecs
import csv
import io
import os
import re
from dataclasses import dataclass, field
from typing import (IO, TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple,
                    Union)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["Table", "TableError", "read_table", "read_samples", "bracket_edges"]

INF = float("inf")

# Message texts, by what went wrong; ``str.format`` fills them in.
MESSAGES = {
    "not_text": "not a text table: byte {offset} is not {encoding}",
    "not_number": "not a number: {cell!r}",
    "bad_row": "not a table row: {reason}",
    "empty_cell": "empty cell",
    "cells": "{count} cell{s}, expected {expected}",
    "missing_mass": "{count} cell{s}, expected {expected}: only the last row may leave out its mass",
    "last_mass": "the last row has a mass, but no edge after it closes its bin",
    "few_edges": "{count} edge{s}, at least 2 needed",
    "row_cells": "{count} cell{s}, expected {expected}{hint}",
    "one_column": "one column: a histogram table has a mass beside every edge or bracket (or "
                  "lower, upper and count)",
    "no_bins": "no row starts with a bin edge or a bracket (such as 10-19, under 10 or 85+)",
    "not_bound": "not a number or a bracket (such as 10-19, under 10 or 85+): {cell!r}",
    "open_first": "only the first row may open the first bin (-inf, under ..., an empty lower "
                  "end)",
    "open_last": "only the last row may leave the last bin open (inf, ...+, ... or more, an "
                 "empty upper end)",
    "gap": "the bin starts at {start}, after the one above ends at {end}: the rows leave a gap",
    "overlap": "the bin starts at {start}, before the one above ends at {end}: the rows overlap",
    "meeting": "the bin starts at {start} and the one above ends at {end}, but the bins above "
               "meet {meeting}",
    "no_column": "no column {name!r}: the table's columns are {names}",
    "label_column": "column {name!r} holds the bins' labels, not counts",
    "margin_column": "column {name!r} holds margins of error: choose the column of the counts "
                     "they belong to",
    "no_counts": "no column of counts beside the labels: the columns are {names}",
    "total": "the {label!r} row says {total}, but the rows of the table sum to {found}",
    "two_totals": "a second total row ({label!r}); the first is on line {first}",
}


class TableError(ValueError):
    """A table that cannot be read, as one line: ``source, where: text``.

    Attributes
    ----------
    problem : str
        What is wrong, a short key such as ``"not_number"``, ``"gap"`` or ``"total"``.
    source : str or None
        The file (None for a buffer without a name).
    where : str or None
        The place in the table: ``"line 4"`` or ``"line 4, column 2"`` (lines and
        columns counted from 1), None for the table as a whole.
    text : str
        What is wrong there.

    Examples
    --------
    >>> import io, zelvane
    >>> zelvane.read_table(io.StringIO("age,people\\n0-9,5\\n20-29,7\\n"))
    Traceback (most recent call last):
    ...
    zelvane.TableError: line 3: the bin starts at 20, after the one above ends at 9: the rows leave a gap
    """

    # Shown as zelvane.TableError, where users find it.
    __module__ = "zelvane"

    def __init__(self, source: Optional[str], problem: str, where: Optional[str] = None,
                 **fields: object) -> None:
        self.problem = problem
        self.source = source
        self.where = where
        self.text = MESSAGES[problem].format(**fields)
        super().__init__(str(self))

    def __str__(self) -> str:
        place = ", ".join(part for part in (self.source, self.where) if part)
        return f"{place}: {self.text}" if place else self.text


def plural(count: int) -> str:
    """The ``s`` of a count's noun."""
    return "" if count == 1 else "s"


@dataclass(frozen=True)
class Table:
    """The histograms of a table: its bins, the chosen columns of counts, their margins.

    Attributes
    ----------
    edges : numpy.ndarray
        float64, one more than the bins: the first may be -inf and the last inf (open
        ends).
    counts : numpy.ndarray
        float64 counts (or masses, percentages as their numbers) of the bins: 1-D for one
        column, one row per column when several were asked for (a wide table).
    labels : tuple of str
        The first cell of every bin's row, as published (the bracket label or the edge).
    margins : numpy.ndarray or None
        The margins of error published beside the counts (shaped like them), or None
        where the table has none.
    columns : tuple of str
        The header of each chosen column of counts (``"column 2"`` and so on without a
        header).
    total : numpy.ndarray or None
        What the table's Total row says of each chosen column (checked against the sum
        of the bins), or None without one.
    skipped : tuple of (int, str)
        The lines above the header and below the table that are no part of it (titles,
        notes, sources, footnotes): each line's number and its first cell.
    edge_lines, count_lines : tuple of int
        The line of every edge and of every count in the table.
    count_columns : tuple of str
        Every column of counts the table has (of percentages where it has no counts):
        what ``column=list(table.count_columns)`` reads as one histogram each.
    """

    edges: npt.NDArray[np.float64]
    counts: npt.NDArray[np.float64]
    labels: Tuple[str, ...]
    margins: Optional[npt.NDArray[np.float64]]
    columns: Tuple[str, ...]
    total: Optional[npt.NDArray[np.float64]] = None
    skipped: Tuple[Tuple[int, str], ...] = ()
    edge_lines: Tuple[int, ...] = field(default=(), repr=False)
    count_lines: Tuple[int, ...] = field(default=(), repr=False)
    count_columns: Tuple[str, ...] = field(default=(), repr=False)


def decode(source: str, data: bytes) -> str:
    """The text of a table: UTF-8 (a byte order mark at the start, as Excel writes it, is
    dropped), or UTF-16 when it starts with that encoding's byte order mark (Excel's
    "Unicode text")."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError as exc:
            raise TableError(source, "not_text", offset=exc.start, encoding="UTF-16") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise TableError(source, "not_text", offset=exc.start, encoding="UTF-8") from None


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

    def margin(self, cell: str) -> Optional[float]:
        """A margin of error: a number, written with its ``±`` or ``+/-`` or without."""
        text = re.sub(r"^(?:±|\+/-)\s*", "", cell.strip())
        return self.mass(text)


def _dialect(lines: Sequence[str]) -> Dialect:
    """The dialect of a table, from its lines that are not blank or comments: the
    separator that cuts the most of them (outside quotes) into the same number of cells,
    a semicolon, a tab or a comma in that order where two do as well, else white space.
    A title or a footnote, and commas inside the cells of a table separated by tabs or
    semicolons, do not decide."""
    best: Optional[str] = None
    best_score = 0
    for separator in (";", "\t", ","):
        counts: Dict[int, int] = {}
        for line in lines:
            found = re.sub(r'"[^"]*"?', "", line).count(separator)
            if found:
                counts[found] = counts.get(found, 0) + 1
        score = max(counts.values(), default=0)
        if score > best_score:
            best, best_score = separator, score
    return Dialect(best)


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
        raise TableError(source, "bad_row", f"line {number}", reason=str(exc)) from None
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


def table_rows(source: str, text: str, header: bool = True
               ) -> Tuple[Dialect, Optional[Row], List[Row]]:
    """The dialect, the header row (or None; every row is a data row without `header`)
    and the data rows of a table, each with its line number (from 1) and its stripped
    cells. Blank lines, rows of empty cells (a spreadsheet's unused columns) and lines
    starting with ``#`` are skipped."""
    lines = [(number, line) for number, line in
             enumerate(re.split(r"\r\n|\r|\n", text), start=1)
             if line.strip() and not line.strip().startswith("#")]
    dialect = _dialect([line for _, line in lines[:50]])
    head: Optional[Row] = None
    rows: List[Row] = []
    for number, line in lines:
        stripped = line.strip()
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
        if header and head is None and not rows and _is_header(dialect, cells):
            head = Row(number, cells)
            continue
        rows.append(Row(number, cells))
    return dialect, head, rows


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


def _cell_value(source: str, row: Row, column: int, value: Optional[float],
                shown_column: Optional[int] = None) -> float:
    """The number of a row's cell `column` (from 1), or the error of an empty cell or of
    one that holds no number, placed at `shown_column` of the table (default: `column`)."""
    where = f"line {row.line}, column {shown_column or column}"
    cell = row.cells[column - 1] if column <= len(row.cells) else ""
    if not cell:
        raise TableError(source, "empty_cell", where)
    if value is None:
        raise TableError(source, "not_number", where, cell=shown(cell))
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


def _two_column_bins(source: str, dialect: Dialect, rows: Sequence[Row],
                     column: int = 2) -> List[Bin]:
    """The bins of rows of a label (or edge) and a count, the count in the table's
    `column`."""
    bins: List[Bin] = []
    for position, row in enumerate(rows):
        last = position == len(rows) - 1
        cells = row.cells
        bound = _bound(dialect, cells[0]) if cells[0] else None
        if bound is None:
            where = f"line {row.line}, column 1"
            if not cells[0]:
                raise TableError(source, "empty_cell", where)
            raise TableError(source, "not_bound", where, cell=shown(cells[0]))
        if len(cells) < 2 or not cells[1]:
            if not last and len(cells) >= 2:
                raise TableError(source, "empty_cell", f"line {row.line}, column {column}")
            if not last:
                raise TableError(source, "missing_mass", f"line {row.line}", count=_width(cells),
                               s=plural(_width(cells)), expected=2)
            if bound.kind != "edge":
                raise TableError(source, "empty_cell", f"line {row.line}, column {column}")
            bins.append(Bin(bound.low, None, None, row.line))
            continue
        mass = _cell_value(source, row, 2, dialect.mass(cells[1]), column)
        if bound.kind == "edge":
            if last:
                raise TableError(source, "last_mass", f"line {row.line}")
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
            raise TableError(source, "open_first", f"line {row.line}, column 1")
        if high == INF and position < len(rows) - 1:
            raise TableError(source, "open_last", f"line {row.line}, column 2")
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
            raise TableError(source, "open_first", where)
        if here.high == INF:
            raise TableError(source, "open_last", f"line {here.line}")
        if here.mass is None:
            raise TableError(source, "missing_mass", f"line {here.line}", count=1, s="",
                           expected=2)
        start = after.low
        if here.high is not None and start != here.high:
            whole = here.whole and start == here.high + 1 and start.is_integer()
            if not whole or meeting == "end":
                key = "meeting" if whole else "gap" if start > here.high else "overlap"
                raise TableError(source, key, where, start=number_text(start),
                               end=number_text(here.high), meeting=MEET_TEXT.get(meeting or ""))
            meeting = "whole"
        elif here.high is not None and not here.under:
            if meeting == "whole":
                raise TableError(source, "meeting", where, start=number_text(start),
                               end=number_text(here.high), meeting=MEET_TEXT["whole"])
            meeting = "end"
        masses.append(here.mass)
        mass_lines.append(here.line)
        edges.append(start)
        edge_lines.append(after.line)
    last = bins[-1]
    if last.mass is not None:
        if last.high is None:
            raise TableError(source, "last_mass", f"line {last.line}")
        whole = last.whole and last.high != INF and (meeting == "whole" or meeting is None)
        masses.append(last.mass)
        mass_lines.append(last.line)
        edges.append(last.high + 1 if whole else last.high)
        edge_lines.append(last.line)
    return edges, masses, edge_lines, mass_lines


def number_text(value: float) -> str:
    """A number as a table would show it: 15000, not 15000.0."""
    return format(value, ".15g")




# -- tables as published ----------------------------------------------------

# A label that is the table's total, not a bin: "Total", "Total:", "All households".
_TOTAL = re.compile(r"(?:total|all)\b.*", re.IGNORECASE)
# Headers of the columns beside the counts.
_MARGIN = re.compile(r"margin|\bmoe\b|±|\+/-", re.IGNORECASE)
_PERCENT = re.compile(r"percent|%|\bpct\b|\bshare\b", re.IGNORECASE)


def _is_total(cells: Sequence[str]) -> bool:
    return bool(cells) and _TOTAL.fullmatch(cells[0].strip()) is not None


def _starts_row(dialect: Dialect, cells: Sequence[str]) -> bool:
    """Whether a row can be a row of the table: its first cell an edge or a bracket (or
    empty, an open lower end, beside numbers), or the total."""
    first = cells[0] if cells else ""
    if not first:
        return any(dialect.number(cell) is not None for cell in cells[1:] if cell)
    return _is_total(cells) or _bound(dialect, first) is not None


def _decimals(cells: Sequence[str]) -> int:
    """The most digits after the decimal mark that the cells show."""
    found = [len(m.group(1)) for cell in cells
             for m in [re.search(r"[.,](\d+)%?$", cell.strip())] if m]
    return max(found, default=0)


class Column(NamedTuple):
    """A column beside the labels: its number (from 1), name, and what it holds
    (``"counts"``, ``"margins"`` or ``"percent"``)."""

    number: int
    name: str
    kind: str


def _columns(dialect: Dialect, header: Optional[Row], rows: Sequence[Row],
             width: int) -> List[Column]:
    """The columns after the first, each named by the header (``"column N"`` without
    one) and told apart by its header or, without one, by its cells."""
    columns = []
    for number in range(2, width + 1):
        name = header.cells[number - 1] if header is not None and \
            number <= len(header.cells) and header.cells[number - 1] else f"column {number}"
        cells = [row.cells[number - 1] for row in rows if number <= len(row.cells)
                 and row.cells[number - 1]]
        if _MARGIN.search(name) or (cells and all(c.startswith(("±", "+/-")) for c in cells)):
            kind = "margins"
        elif _PERCENT.search(name) or (cells and all(c.endswith("%") for c in cells)):
            kind = "percent"
        else:
            kind = "counts"
        columns.append(Column(number, name, kind))
    return columns


def _chosen(source: str, columns: Sequence[Column], names: Optional[Sequence[str]],
            label: str) -> List[Column]:
    """The columns of counts asked for by name, or by default the first column of counts
    (of percentages, where the table has no counts)."""
    listed = ", ".join(repr(c.name) for c in columns)
    if names is None:
        for kind in ("counts", "percent"):
            found = [c for c in columns if c.kind == kind]
            if found:
                return found[:1]
        raise TableError(source, "no_counts", names=listed or "none")
    chosen = []
    for name in names:
        wanted = " ".join(name.split()).casefold()
        match = [c for c in columns if " ".join(c.name.split()).casefold() == wanted]
        if not match:
            if " ".join(label.split()).casefold() == wanted:
                raise TableError(source, "label_column", name=name)
            raise TableError(source, "no_column", name=name, names=listed)
        if match[0].kind == "margins":
            raise TableError(source, "margin_column", name=match[0].name)
        chosen.append(match[0])
    return chosen


def _read(source: str, text: str, names: Optional[Sequence[str]], one: bool) -> Table:
    """The table of `text` with the columns of counts `names` (None: the first), its
    counts 1-D for `one` column, else one row per column."""
    import numpy as np

    dialect, _, every = table_rows(source, text, header=False)
    starts = [k for k, row in enumerate(every) if _starts_row(dialect, row.cells)]
    if not starts:
        if every and all(_width(row.cells) == 1 for row in every):
            raise TableError(source, "one_column")
        raise TableError(source, "no_bins" if every else "few_edges", count=0, s="s")
    first, last = starts[0], starts[-1]
    header = every[first - 1] if first > 0 else None
    skipped = every[:max(first - 1, 0)] + every[last + 1:]
    rows = every[first:last + 1]
    totals = [row for row in rows if _is_total(row.cells)]
    rows = [row for row in rows if not _is_total(row.cells)]
    if len(totals) > 1:
        raise TableError(source, "two_totals", f"line {totals[1].line}",
                         label=totals[1].cells[0], first=totals[0].line)
    if not rows:
        raise TableError(source, "few_edges", count=0, s="s")
    if header is not None:
        width = _width(header.cells)
        if width < 2 and rows:
            width = max(_width(row.cells) for row in rows)
    else:
        # The first row has every cell of its layout; a malformed one says nothing.
        width = _width(rows[0].cells)
        if width == 1:
            width = max(_width(row.cells) for row in rows)
    if width == 1:
        raise TableError(source, "one_column")
    for row in rows:
        if _width(row.cells) > width:
            count = _width(row.cells)
            hint = ""
            if dialect.separator == "," and any(re.fullmatch(r"\d{3}\b.*", cell)
                                                for cell in row.cells[1:]):
                hint = "; a number with a thousands separator must be quoted in a " \
                       "comma-separated table"
            raise TableError(source, "row_cells", f"line {row.line}", count=count,
                             s=plural(count), expected=width, hint=hint)
    lower_upper = width == 3 and all(
        dialect.number(row.cells[k]) is not None or not row.cells[k]
        for row in rows for k in (0, 1) if k < len(row.cells)) and (
        header is None or _columns(dialect, header, rows, 3)[1].kind == "counts")
    label = header.cells[0] if header is not None and header.cells else ""
    if lower_upper:
        if names:
            raise TableError(source, "no_column", name=names[0],
                             names="the lower end, the upper end and the count")
        bins = _three_column_bins(source, dialect, [Row(r.line, r.cells[:3]) for r in rows])
        chosen = [Column(3, header.cells[2] if header is not None else "count", "counts")]
        available = chosen
        per_column = [bins]
        margins_of: List[Optional[Column]] = [None]
    else:
        columns = _columns(dialect, header, rows, width)
        available = [c for c in columns if c.kind == "counts"] or \
            [c for c in columns if c.kind == "percent"]
        chosen = _chosen(source, columns, names, label)
        per_column = []
        margins_of = []
        for column in chosen:
            cut = [Row(r.line, r.cells[:1] + r.cells[column.number - 1:column.number])
                   for r in rows]
            per_column.append(_two_column_bins(source, dialect, cut, column.number))
            after = columns[column.number - 1] if column.number - 1 < len(columns) else None
            margins_of.append(after if after is not None and after.kind == "margins" else None)
    edges, _, edge_lines, count_lines = _edges(source, per_column[0])
    counts = [_edges(source, bins)[1] for bins in per_column]
    if len(edges) < 2:
        raise TableError(source, "few_edges", count=len(edges), s=plural(len(edges)))
    for k, edge in enumerate(edges):
        if edge == -INF and k > 0:
            raise TableError(source, "open_first", f"line {edge_lines[k]}")
        if edge == INF and k < len(edges) - 1:
            raise TableError(source, "open_last", f"line {edge_lines[k]}")
    by_line = {row.line: row for row in rows}
    margins = None
    if all(m is not None for m in margins_of):
        margins = np.array([[_cell_value(source, by_line[line], m.number,
                                         dialect.margin(_cell(by_line[line], m.number)))
                             for line in count_lines] for m in margins_of if m is not None])
    total = None
    if totals:
        row = totals[0]
        total = np.array([_cell_value(source, row, c.number, dialect.mass(_cell(row, c.number)))
                          for c in chosen])
        for column, said, found in zip(chosen, total, counts):
            cells = [_cell(by_line[line], column.number) for line in count_lines]
            # Each count may be rounded to the digits it shows.
            slack = 0.5 * 10.0 ** -_decimals(cells) * len(cells)
            if abs(sum(found) - said) > slack * (1 + 1e-12):
                raise TableError(source, "total", f"line {row.line}, column {column.number}",
                                 label=row.cells[0], total=number_text(said),
                                 found=number_text(sum(found)))
    labels = tuple(by_line[line].cells[0] for line in count_lines)
    shaped = np.array(counts[0] if one else counts, dtype=np.float64)
    return Table(np.array(edges, dtype=np.float64), shaped, labels,
                 None if margins is None else (margins[0] if one else margins),
                 tuple(c.name for c in chosen),
                 None if total is None else (total[:1] if one else total),
                 tuple((row.line, shown(next(c for c in row.cells if c))) for row in skipped),
                 tuple(edge_lines), tuple(count_lines), tuple(c.name for c in available))


def _cell(row: Row, column: int) -> str:
    return row.cells[column - 1] if column <= len(row.cells) else ""


def _text(source: Optional[str], path_or_buffer: Any) -> Tuple[Optional[str], str]:
    """The name and the text of a path or an open file (text or bytes)."""
    if isinstance(path_or_buffer, (str, os.PathLike)):
        with open(path_or_buffer, "rb") as stream:
            data: Union[str, bytes] = stream.read()
        name: Optional[str] = os.fspath(path_or_buffer)
    else:
        data = path_or_buffer.read()
        name = getattr(path_or_buffer, "name", None)
        name = name if isinstance(name, str) else None
    name = source if source is not None else name
    return name, data if isinstance(data, str) else decode(name or "", data)


def read_table(path_or_buffer: Union[str, os.PathLike[str], IO[str], IO[bytes]],
               column: Union[None, str, Sequence[str]] = None, *,
               source: Optional[str] = None) -> Table:
    """The histogram (or histograms) of a text table as a spreadsheet exports it.

    Parameters
    ----------
    path_or_buffer : str, path or file
        The table's file, or an open file (text, or bytes in UTF-8 or UTF-16 with its
        byte order mark).
    column : str or sequence of str, optional
        The header of the column of counts to read, or of each of several (a wide
        table: one histogram per column). By default the first column of counts after
        the labels (a column of percentages where there is none). Case and runs of
        spaces do not matter.
    source : str, optional
        The name that errors give the table (default: the file's).

    Returns
    -------
    Table
        Its ``edges`` and ``counts`` (1-D, or one row per column for a sequence of
        columns) go to :meth:`PiecewiseLinearDensity.from_histogram` as they are
        (``from_histogram(table.counts, table.edges)``); ``margins`` holds the margins of
        error published beside the counts, ``labels`` the rows' labels, ``skipped`` the
        lines above and below the table that are no part of it.

    Raises
    ------
    zelvane.TableError
        For a table that cannot be read, naming the line and the column: a cell that is
        no number or bracket, rows that leave a gap or overlap, a total that the rows do
        not sum to, a column that is not there.

    Examples
    --------
    >>> import io, zelvane
    >>> text = '''Household income, Pennsylvania
    ... Income,Estimate,Margin of Error
    ... Total,100,9
    ... "Less than $10,000",20,3
    ... "$10,000 to $19,999",50,5
    ... "$20,000 or more",30,4
    ... Source: a survey
    ... '''
    >>> table = zelvane.read_table(io.StringIO(text))
    >>> table.edges.tolist(), table.counts.tolist(), table.margins.tolist()
    ([0.0, 10000.0, 20000.0, inf], [20.0, 50.0, 30.0], [3.0, 5.0, 4.0])
    >>> table.columns, table.skipped
    (('Estimate',), ((1, 'Household income'), (7, 'Source: a survey')))
    """
    name, text = _text(source, path_or_buffer)
    names = [column] if isinstance(column, str) else None if column is None else list(column)
    return _read(name or "", text, names, one=names is None or isinstance(column, str))


def read_samples(path_or_buffer: Union[str, os.PathLike[str], IO[str], IO[bytes]], *,
                 source: Optional[str] = None) -> Tuple[npt.NDArray[np.float64],
                                                        Tuple[int, ...]]:
    """The numbers of a one-column table (a header and ``#`` comments skipped), as
    float64, and the line of each.

    Raises
    ------
    zelvane.TableError
        For a row of more than one cell or a cell that is no number, naming its line.
    """
    import numpy as np

    name, text = _text(source, path_or_buffer)
    name = name or ""
    dialect, _, rows = table_rows(name, text)
    values: List[float] = []
    for row in rows:
        if _width(row.cells) != 1:
            count = _width(row.cells)
            raise TableError(name, "cells", f"line {row.line}", count=count, s=plural(count),
                             expected=1)
        values.append(_cell_value(name, row, 1, dialect.number(row.cells[0])))
    return np.array(values, dtype=np.float64), tuple(row.line for row in rows)


def bracket_edges(labels: Sequence[str]) -> Tuple[List[float], List[int]]:
    """The edges of bins that bracket labels name (``"Under 5 years"``, ``"5 to 9
    years"``, ``"$200,000 or more"``), in their order, read as :func:`read_table` reads
    them, and the positions of the labels that are bins (a total among them left out).

    Raises
    ------
    zelvane.TableError
        For a label that is no bracket (``"label k"`` as its place) or brackets that do
        not meet.
    """
    dialect = Dialect(",")
    rows = [Row(k, [str(label), "1"]) for k, label in enumerate(labels)
            if not _is_total([str(label)])]
    try:
        for row in rows:
            bound = _bound(dialect, row.cells[0])
            if bound is None or bound.kind == "edge":
                raise TableError(None, "not_bound", f"line {row.line}", cell=shown(row.cells[0]))
        edges = _edges("", _two_column_bins("", dialect, rows))[0]
    except TableError as error:
        # Rows here are the labels' positions.
        error.where = re.sub(r"line (\d+)(, column \d+)?", r"label \1", error.where or "")
        raise
    return edges, [row.line for row in rows]
