"""Fuzz target for the command line's readers: any bytes given as the input file
(a table as spreadsheets export it, a .npy array of samples, a .npz archive) end
either in histograms that the fitting layer's checks accept or in the command's bad
input (BadInput, or the fitting layer's InputError that the command turns into
one), which is exit status 2. Any other exception is a crash: the command would
exit 1 with a traceback.

The first byte chooses how the command reads the rest, as standard input does:
the kind by the first bytes (.npy and .npz by their magic, a table otherwise),
then ``--samples`` and ``--bins``. Run by CI's ``fuzz_cli`` session (noxfile.py):

    python tests/fuzz/fuzz_cli_readers.py CORPUS_DIR -max_total_time=60
    python tests/fuzz/fuzz_cli_readers.py tests/fuzz/regressions/cli_readers/*

Needs atheris (pip install atheris) and the installed package.
"""

import importlib
import io
import sys

import atheris

with atheris.instrument_imports(include=["zelvane.cli"]):
    fit = importlib.import_module("zelvane.cli.fitting")
    read = importlib.import_module("zelvane.cli.read")
    from zelvane.cli.errors import BadInput

import numpy as np

from zelvane._errors import InputError

# --bins as the first byte picks it (None: left out).
BINS = (None, "auto", "sturges", "fd", "doane", "3", "1000")


def read_and_check(data: bytes) -> None:
    """What ``zelvane fit -`` does with ``data`` up to the fit: read it, then check the
    numbers as the fits take them."""
    flags, body = data[0], data[1:]
    samples = bool(flags & 1)
    bins = BINS[(flags >> 1) % len(BINS)]
    stdin = sys.stdin
    sys.stdin = io.TextIOWrapper(io.BytesIO(body))
    try:
        histograms = read.read_input(read.STDIN, samples, bins)
    finally:
        sys.stdin = stdin
    if any(histograms.open_ends):
        fit.open_arrays(histograms)
    else:
        fit.checked(histograms)
        fit.checked(histograms, np.float64)


def TestOneInput(data: bytes) -> None:
    if not data:
        return
    try:
        read_and_check(data)
    except (BadInput, InputError):
        pass  # exit status 2 and one line: what bad input should give


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
