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

import os
import re
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple, Union

from zelvane._cells import (INF, Dialect, Row, TableError, bins_to_edges, bound_of, cell_value,
                            decode, number_text, plural, shown, table_rows, three_column_bins,
                            two_column_bins, width_of)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["Table", "TableError", "read_table", "read_samples", "bracket_edges"]


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
    return _is_total(cells) or bound_of(dialect, first) is not None


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
        if every and all(width_of(row.cells) == 1 for row in every):
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
        width = width_of(header.cells)
        if width < 2 and rows:
            width = max(width_of(row.cells) for row in rows)
    else:
        # The first row has every cell of its layout; a malformed one says nothing.
        width = width_of(rows[0].cells)
        if width == 1:
            width = max(width_of(row.cells) for row in rows)
    if width == 1:
        raise TableError(source, "one_column")
    for row in rows:
        if width_of(row.cells) > width:
            count = width_of(row.cells)
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
        bins = three_column_bins(source, dialect, [Row(r.line, r.cells[:3]) for r in rows])
        chosen = [Column(3, header.cells[2] if header is not None and len(header.cells) > 2
                         else "count", "counts")]
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
            per_column.append(two_column_bins(source, dialect, cut, column.number))
            after = columns[column.number - 1] if column.number - 1 < len(columns) else None
            margins_of.append(after if after is not None and after.kind == "margins" else None)
    edges, _, edge_lines, count_lines = bins_to_edges(source, per_column[0])
    counts = [bins_to_edges(source, bins)[1] for bins in per_column]
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
        margins = np.array([[cell_value(source, by_line[line], m.number,
                                         dialect.margin(_cell(by_line[line], m.number)))
                             for line in count_lines] for m in margins_of if m is not None])
    total = None
    if totals:
        row = totals[0]
        total = np.array([cell_value(source, row, c.number, dialect.mass(_cell(row, c.number)))
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
        if width_of(row.cells) != 1:
            count = width_of(row.cells)
            raise TableError(name, "cells", f"line {row.line}", count=count, s=plural(count),
                             expected=1)
        values.append(cell_value(name, row, 1, dialect.number(row.cells[0])))
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
            bound = bound_of(dialect, row.cells[0])
            if bound is None or bound.kind == "edge":
                raise TableError(None, "not_bound", f"line {row.line}", cell=shown(row.cells[0]))
        edges = bins_to_edges("", two_column_bins("", dialect, rows))[0]
    except TableError as error:
        # Rows here are the labels' positions.
        error.where = re.sub(r"line (\d+)(, column \d+)?", r"label \1", error.where or "")
        raise
    return edges, [row.line for row in rows]
