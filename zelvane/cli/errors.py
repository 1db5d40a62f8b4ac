"""The command line's bad-input error and the texts of its messages.

Every problem with what the user gave (a file, a number in it, an option, a
file too large for memory) and every failure to write an output (a full disk, a
closed pipe) is a :class:`BadInput`: the tool prints it as one line on standard
error and exits with status 2. Anything else that goes wrong is a fault of the
tool, and the interpreter's traceback and exit status 1 report it.
"""

from __future__ import annotations

from typing import Optional

PROG = "zelvane"
# Message texts, by what went wrong; ``str.format`` fills them in.
MESSAGES = {
    "unreadable": "cannot read: {reason}",
    "unwritable": "cannot write: {reason}",
    "no_directory": "directory {directory!r} does not exist",
    "is_directory": "is a directory",
    "input_extension": "unknown input extension {extension!r} (expected {known})",
    "output_extension": "unknown output extension {extension!r} (expected {known})",
    "plot_extension": "unknown plot extension {extension!r} (expected {known})",
    "one_column": "one column: a histogram table has a mass beside every edge or bracket (or "
                  "lower, upper and count); for a column of samples, use --samples",
    "no_samples": "empty sample",
    "sample_not_finite": "sample {value} is not finite",
    "sample_span": "the samples span [{low}, {high}], wider than float64 can measure",
    "unbinnable": "numpy.histogram cannot bin these samples: {reason}",
    "sample_rank": "{ndim}-D array, expected a 1-D array of samples",
    "not_numbers": "holds {dtype} values, expected real numbers",
    "bad_archive": "not a valid {kind} file ({reason})",
    "npy_size": "the header declares {count} {dtype} elements ({size} bytes), but the file "
                "holds {held} bytes of data",
    "too_large": "{size} bytes of data do not fit in the memory this process may have "
                 "({memory} bytes)",
    "out_of_memory": "too large for the memory at hand ({reason})",
    "no_threads": "out of memory: {reason}",
    "no_array": "no array {names} (it holds {present})",
    "two_arrays": "arrays {first!r} and {second!r} both given, expected one of them",
    "samples_input": "--samples reads a .npy file or a one-column table, not {kind}",
    "bins_limit": "--bins {value} is more than {limit} bins",
    "rule_bins": "--bins {rule} makes {count} bins of these samples, more than {limit}: give "
                 "--bins a count",
    "bins_without_samples": "--bins makes a histogram of samples: it needs --samples",
    "bins": "--bins takes a positive whole number or one of {names}, not {value!r}",
    "checked": "{text}",
    "column_not_table": "--column and --all-columns choose columns of a table, not of {kind}",
    "columns_twice": "--column and --all-columns both given: choose the columns one way",
    "no_histograms": "array {name!r} holds no histograms",
    "smooth_only": "{option} is an option of the smooth fit: it needs --method smooth (or "
                   "both)",
    "open_methods": "an open end (-inf or inf) is fitted by the smooth method alone, with a "
                    "tail: use --method smooth",
    "not_open": "{option} closes an open {end} bin, and this histogram's {end} edge is {edge}",
    "closing_edge": "{option} {value} is not {side} the {end} finite edge, {edge}",
    "mean_without_open": "--mean is met by the tail beyond an open end, and this histogram "
                         "has none (a last row such as 200000+ or inf opens it)",
    "summary_one": "summary describes one histogram, and this holds {count}: use zelvane fit",
    "npy_lengths": "a .npy file holds one array, and the smooth fit has more values than "
                   "the others: write .npz, or choose one method",
    "npy_bands": "a .npy file holds the values alone, and --bands adds their low and high "
                 "ends: write .csv, .json or .npz",
    "same_file": "is the input file{also}: writing it would replace the input",
    "same_outputs": "--plot and --output name the same file",
    "needs_matplotlib": "--plot needs matplotlib: pip install 'zelvane[plot]'",
}


class BadInput(Exception):
    """A problem with the user's input, reported as ``source, where: text``.

    ``source`` names the file (``<stdin>`` for standard input) or the option,
    ``where`` the line, array or index where there is one.
    """

    def __init__(self, source: Optional[str], key: str, where: Optional[str] = None,
                 **fields: object) -> None:
        self.source = source
        self.where = where
        self.text = MESSAGES[key].format(**fields)
        super().__init__(str(self))

    def __str__(self) -> str:
        place = ", ".join(part for part in (self.source, self.where) if part)
        return f"{place}: {self.text}" if place else self.text


class GaveUp(Exception):
    """A fit that gave up on the input (a solver that could not confirm its answer): a
    fault of the tool, not of the input, reported as one line and exit status 1."""

    def __init__(self, source: str, reason: str) -> None:
        self.source = source
        self.reason = reason
        super().__init__(str(self))

    def __str__(self) -> str:
        return (f"{self.source}: {self.reason} (the fit gave up on this input, which it "
                f"should not: please report it)")


def plural(count: int) -> str:
    """The ``s`` of a count's noun."""
    return "" if count == 1 else "s"
