"""Text tables for the command line, read by :func:`zelvane.read_table` (histograms) and
:func:`zelvane.read_samples` (a column of samples); what they refuse becomes the
command's bad input, on the same line and column."""

from __future__ import annotations

import io
import sys
from typing import TYPE_CHECKING, Optional, Sequence, Tuple

from zelvane.cli.errors import PROG, BadInput
from zelvane.cli.histograms import Histograms

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from zelvane import TableError

# The most characters of a skipped line that the note about it quotes.
NOTED = 40


def refused(source: str, error: TableError) -> BadInput:
    """A table's refusal as the command's bad input."""
    if error.problem == "one_column":
        return BadInput(source, "one_column")
    return BadInput(source, "checked", error.where, text=error.text)


def read_histogram_table(source: str, data: bytes, columns: Optional[Sequence[str]] = None,
                         every: bool = False) -> Histograms:
    """The histogram of a table (one per column of `columns`, or with `every` of every
    column of counts: a wide table's), with the line of every edge and count, the margins
    of error published beside the counts and the lines skipped above and below the
    table. The first column of several, fitted alone by default, is named on standard
    error with the others."""
    import zelvane

    # One column, named or not, is one histogram; several are a batch.
    chosen = columns[0] if columns is not None and len(columns) == 1 else columns
    try:
        table = zelvane.read_table(io.BytesIO(data), column=chosen, source=source)
        if every and len(table.count_columns) > 1:
            table = zelvane.read_table(io.BytesIO(data), column=list(table.count_columns),
                                       source=source)
    except zelvane.TableError as error:
        raise refused(source, error) from None
    if table.skipped:
        print(f"{PROG}: {skipped_note(source, table.skipped)}", file=sys.stderr)
    if columns is None and not every and len(table.count_columns) > 1:
        others = ", ".join(repr(name) for name in table.count_columns[1:])
        print(f"{PROG}: {source}: fitting column {table.columns[0]!r}; the table has also "
              f"{others} (choose with --column, or --all-columns)", file=sys.stderr)
    return Histograms(source, table.edges, table.counts, ("edge", "mass"), table.edge_lines,
                      table.count_lines, margins=table.margins, skipped=table.skipped,
                      columns=table.columns if table.counts.ndim == 2 else ())


def read_sample_table(source: str, data: bytes) -> Tuple[npt.NDArray[np.float64],
                                                         Tuple[int, ...]]:
    """The samples of a one-column table, and the line of each."""
    import zelvane

    try:
        return zelvane.read_samples(io.BytesIO(data), source=source)
    except zelvane.TableError as error:
        raise refused(source, error) from None


def skipped_note(source: str, skipped: Sequence[Tuple[int, str]]) -> str:
    """One line that names the lines of a table skipped as no part of it (titles, notes,
    footnotes)."""
    shown = ", ".join(f"line {line} ({text if len(text) <= NOTED else text[:NOTED - 3] + '...'!r})"
                      for line, text in skipped)
    return f"{source}: skipped as no part of the table: {shown}"
