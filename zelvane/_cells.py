"""The cells of a text table: its dialect (separator and decimal mark), numbers as
spreadsheets write them, bracket labels as bounds, rows as bins and bins as edges, and
the error that names a table's line and column (:class:`TableError`). What
:mod:`zelvane._tables` reads tables with; it imports no module of the package."""

from __future__ import annotations

import codecs
import csv
import re
from dataclasses import dataclass
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

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
GROUPED = {",": re.compile(r"[+-]?\d{1,3}(,\d{3})+(\.\d*)?"),
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
            if GROUPED["."].fullmatch(text):
                text = text.replace(".", "")
            elif "." in text and "," in text:
                return None
            text = text.replace(",", ".")
        elif "," in text:
            if not GROUPED[","].fullmatch(text):
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


def dialect_of(lines: Sequence[str]) -> Dialect:
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


def split_line(source: str, number: int, dialect: Dialect, line: str) -> List[str]:
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


def bound_of(dialect: Dialect, cell: str) -> Optional[Bound]:
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


def is_header(dialect: Dialect, cells: Sequence[str]) -> bool:
    """A first row that names the columns: no cell in it is a number or a bracket, or
    its first cell is words without a digit ("Age group", beside a year, say)."""
    if not any(cells):
        return False
    if all(bound_of(dialect, cell) is None for cell in cells if cell):
        return True
    first = cells[0]
    return bool(first) and bound_of(dialect, first) is None and not re.search(r"\d", first)


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
    dialect = dialect_of([line for _, line in lines[:50]])
    head: Optional[Row] = None
    rows: List[Row] = []
    for number, line in lines:
        stripped = line.strip()
        # A separated table's leading separator is an empty first cell.
        cells = split_line(source, number, dialect,
                       line if dialect.separator is not None else stripped)
        if not any(cells):
            continue
        if dialect.separator is None and len(cells) > 2 and \
                any(dialect.number(cell) is None for cell in cells):
            label = bound_of(dialect, " ".join(cells[:-1]))
            if label is not None and label.kind != "edge":
                # A label of several words ("85 years and over") and its count.
                cells = [" ".join(cells[:-1]), cells[-1]]
        if header and head is None and not rows and is_header(dialect, cells):
            head = Row(number, cells)
            continue
        rows.append(Row(number, cells))
    return dialect, head, rows


def width_of(cells: Sequence[str]) -> int:
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


def cell_value(source: str, row: Row, column: int, value: Optional[float],
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


def two_column_bins(source: str, dialect: Dialect, rows: Sequence[Row],
                     column: int = 2) -> List[Bin]:
    """The bins of rows of a label (or edge) and a count, the count in the table's
    `column`."""
    bins: List[Bin] = []
    for position, row in enumerate(rows):
        last = position == len(rows) - 1
        cells = row.cells
        bound = bound_of(dialect, cells[0]) if cells[0] else None
        if bound is None:
            where = f"line {row.line}, column 1"
            if not cells[0]:
                raise TableError(source, "empty_cell", where)
            raise TableError(source, "not_bound", where, cell=shown(cells[0]))
        if len(cells) < 2 or not cells[1]:
            if not last and len(cells) >= 2:
                raise TableError(source, "empty_cell", f"line {row.line}, column {column}")
            if not last:
                raise TableError(source, "missing_mass", f"line {row.line}", count=width_of(cells),
                               s=plural(width_of(cells)), expected=2)
            if bound.kind != "edge":
                raise TableError(source, "empty_cell", f"line {row.line}, column {column}")
            bins.append(Bin(bound.low, None, None, row.line))
            continue
        mass = cell_value(source, row, 2, dialect.mass(cells[1]), column)
        if bound.kind == "edge":
            if last:
                raise TableError(source, "last_mass", f"line {row.line}")
            bins.append(Bin(bound.low, None, mass, row.line))
        else:
            whole = bound.kind == "range" and bound.low.is_integer() and bound.high.is_integer()
            bins.append(Bin(bound.low, bound.high, mass, row.line, whole,
                            under=bound.kind == "under"))
    return bins


def three_column_bins(source: str, dialect: Dialect, rows: Sequence[Row]) -> List[Bin]:
    bins: List[Bin] = []
    for position, row in enumerate(rows):
        cells = row.cells + [""] * (3 - len(row.cells))
        low = -INF if not cells[0] else cell_value(source, row, 1, dialect.number(cells[0]))
        high = INF if not cells[1] else cell_value(source, row, 2, dialect.number(cells[1]))
        if low == -INF and position:
            raise TableError(source, "open_first", f"line {row.line}, column 1")
        if high == INF and position < len(rows) - 1:
            raise TableError(source, "open_last", f"line {row.line}, column 2")
        mass = cell_value(source, row, 3, dialect.mass(cells[2]))
        whole = low.is_integer() and high.is_integer()
        bins.append(Bin(low, high, mass, row.line, whole, under=low == -INF))
    return bins


# How the bins of a table meet: the next starts where one ends, or at the next whole
# number after a bin's last one ("0-4", "5-9").
MEET_TEXT = {"end": "end to start (as in 10-20, 20-30)",
             "whole": "as whole numbers (as in 10-19, 20-29)"}


def bins_to_edges(source: str, bins: Sequence[Bin]) -> Tuple[List[float], List[float], List[int],
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
