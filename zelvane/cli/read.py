"""The command line's input: a file (or standard input) told apart by its extension or
its first bytes, and handed to the reader of its kind: a text table
(:mod:`zelvane.cli.tables`, on :func:`zelvane.read_table`), a ``.npz`` archive or
samples (:mod:`zelvane.cli.arrays`).
"""

from __future__ import annotations

import os
import sys
from typing import Optional, Sequence

from zelvane.cli.arrays import histogram_of_samples, parse_bins, read_archive, read_sample_array
from zelvane.cli.errors import BadInput
from zelvane.cli.histograms import STDIN, Histograms, display_name
from zelvane.cli.tables import read_histogram_table, read_sample_table

__all__ = ["STDIN", "Histograms", "display_name", "read_input"]

TABLE_EXTENSIONS = (".csv", ".tsv", ".txt", ".dat")
INPUT_EXTENSIONS = TABLE_EXTENSIONS + (".npz", ".npy")

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")


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


def read_input(path: str, samples: bool, bins: Optional[str],
               columns: Optional[Sequence[str]] = None, every: bool = False) -> Histograms:
    """The histograms of the input file ``path`` (``-`` for standard input):
    of its samples, binned by ``bins`` (default ``auto``), with ``samples`` or
    from a ``.npy`` file; of a table, of its columns of counts ``columns`` (default: the
    first; with ``every``, all), the lines it skipped as no part of the table named on
    standard error."""
    source = display_name(path)
    rule = parse_bins(bins if bins is not None else "auto")
    kind = input_kind(path) if path != STDIN else None
    data = read_bytes(path)
    if kind is None:
        kind = input_kind(path, data)
    samples = samples or kind == "npy"
    if bins is not None and not samples:
        raise BadInput(None, "bins_without_samples")
    if (columns is not None or every) and (samples or kind != "table"):
        raise BadInput(source, "column_not_table",
                       kind="samples" if samples else f"a .{kind} archive")
    if columns is not None and every:
        raise BadInput(None, "columns_twice")
    if kind == "npy":
        return histogram_of_samples(source, read_sample_array(source, data), None, rule)
    if kind == "npz":
        if samples:
            raise BadInput(source, "samples_input", kind="a .npz archive")
        return read_archive(source, data)
    if samples:
        values, lines = read_sample_table(source, data)
        return histogram_of_samples(source, values, lines, rule)
    return read_histogram_table(source, data, columns, every)
