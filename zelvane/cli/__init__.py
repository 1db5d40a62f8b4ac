"""The ``zelvane`` command: fit the histograms of a file, check and plot the fit.

``zelvane fit INPUT`` reads histograms (a table, a ``.npz`` archive or samples
to bin), fits every one with the chosen methods and writes the values, the
masses and the masses the fit reproduces; ``zelvane summary INPUT`` fits one
histogram and prints its median, mean, Gini coefficient, top 10 % share and
tails; ``zelvane example`` fits the embedded two-normal mixture, which is also
what the command does without arguments. The command is a shell over the package's
public functions: it reads, hands the numbers to them, and writes.

This module holds the argument parser and :func:`main`; each command has its module
(``fit``, ``summary``, ``example``), on shared modules for reading (``read``, with
``tables`` for text tables and ``arrays`` for NumPy files and samples), fitting
(``fitting``, ``results``), writing (``write`` for the files, ``formats`` for their
contents), drawing (``plot``) and bad input (``errors``).

Exit status: 0 on success; 2 for bad input or options (an input too large for
memory, an output that is the input file included) and for an output that
cannot be written (a full disk, a closed pipe), reported as one line on standard
error that names the file and the place in it, with no output file written or
changed; 128 + the signal's number when stopped by Ctrl-C (130), SIGTERM (143) or
SIGHUP (129), with no file left half written and no output replaced; 141
when the reader of standard output goes away; 1 for a fault of the tool itself: a
fit that gave up on its input as one line, anything else with its traceback. Fitted
values below zero (the iterative and exact fits give them by design) and warnings are
announced on standard error, one line each.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import signal
import sys
import threading
import warnings
from typing import Any, Callable, Iterator, List, NoReturn, Optional, Sequence, Tuple, Union

from zelvane.cli.errors import PROG, BadInput, GaveUp
from zelvane.cli.fitting import DEFAULT_REFINE, EVERY_METHOD, SMOOTH, methods

__all__ = ["main", "build_parser"]

# Exit status when standard output is closed early: 128 + SIGPIPE, as a shell reports it.
BROKEN_PIPE = 141
# The signals that stop the command as Ctrl-C does, each with the handler it has when
# nothing has set one (the exit status is 128 + the signal's number, as a shell reports
# it: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
STOPPING_SIGNALS = (("SIGINT", signal.default_int_handler), ("SIGTERM", signal.SIG_DFL),
                    ("SIGHUP", signal.SIG_DFL))


def package_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("zelvane")
    except metadata.PackageNotFoundError:
        return "(not installed)"


# -- the parser -------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    """argparse's parser, with a usage error as one line on standard error, ``zelvane:
    error: ...`` and where to find the usage; the usage itself only with ``--help``.
    Its subcommands' parsers are of this class too."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} ({self.prog} --help for the usage)\n")


def refine_count(text: str) -> int:
    from zelvane import MAX_REFINE

    try:
        count = int(text)
    except ValueError:
        count = 0
    if not 1 <= count <= MAX_REFINE:
        raise argparse.ArgumentTypeError(
            f"expected a whole number from 1 to {MAX_REFINE}, not {text!r}")
    return count


def workers_count(text: str) -> int:
    from zelvane import MAX_WORKERS

    try:
        count = int(text)
    except ValueError:
        count = -1
    if not 0 <= count <= MAX_WORKERS:
        raise argparse.ArgumentTypeError(
            f"expected 0 (one per core) to {MAX_WORKERS}, not {text!r}")
    return count


def _number(text: str, accepted: Callable[[float], bool], expected: str) -> float:
    """`text` as a float that `accepted` takes, or argparse's error saying what was
    expected (NaN, which no comparison accepts, stands for what is no number)."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not accepted(value):
        raise argparse.ArgumentTypeError(f"expected {expected}, not {text!r}")
    return value


def smoothing_value(text: str) -> Union[str, float]:
    if text == "auto":
        return text
    return _number(text, lambda v: 0 <= v < float("inf"), "auto, 0 or a positive number")


def positive_number(text: str) -> float:
    return _number(text, lambda v: 0 < v < float("inf"), "a positive number")


def finite_number(text: str) -> float:
    return _number(text, math.isfinite, "a number")


def level_value(text: str) -> float:
    return _number(text, lambda v: 0 < v < 1, "a level between 0 and 1")


TAIL_LAWS = ("pareto", "exponential")


def tail_value(text: str) -> Union[str, float, Tuple[Union[str, float], Union[str, float]]]:
    """``--tail``: a law (pareto, exponential) or a fixed parameter (the Pareto index, or
    the exponential scale), for every open end, or two of them, ``LEFT,RIGHT``."""
    parts: List[Union[str, float]] = []
    for part in text.split(","):
        word = part.strip().lower()
        parts.append(word if word in TAIL_LAWS else _number(
            word, lambda v: 0 < v < float("inf"),
            "pareto, exponential or a positive parameter, or two of them as LEFT,RIGHT"))
    if len(parts) > 2:
        raise argparse.ArgumentTypeError(f"expected one choice or two (LEFT,RIGHT), not {text!r}")
    return parts[0] if len(parts) == 1 else (parts[0], parts[1])


TABLE_HELP = (
    "A table (.csv, .tsv, .txt, .dat: separated by commas, semicolons with a decimal "
    "comma, tabs or white space; # comments) as a spreadsheet exports it, in one of "
    "three layouts: a bracket label and its counts (0-9999, 10000-14999, Under 5 years, "
    "5 to 9 years, 85+, 85 years and over, \"$10,000 to $14,999\", \"$200,000 or "
    "more\": brackets of whole numbers hold their last number, so 10000-14999 then "
    "15000-19999 give the edges 10000, 15000, 20000); an edge and the mass of the bin "
    "that starts there on every row, the last row's mass empty or left out; or lower, "
    "upper and count. Under X, less than X, below X and <X of a positive X start at 0 "
    "(incomes, ages and durations are never negative); of 0 or below, like -inf or an "
    "empty lower cell, they open the first bin. inf, X+, X or more, X and over and an "
    "empty upper cell open the last bin. An open first or last bin is fitted by the "
    "smooth method with a tail. A table as published may have a title and notes above "
    "its header and footnotes below (skipped, and named on standard error), a Total row "
    "(checked against the sum of the rows, not fitted), several columns of counts (the "
    "first is fitted; choose others with --column or --all-columns), a margin of error "
    "after a count (a column whose header says margin, MOE or \u00b1) and a Percent "
    "column (left aside where there are counts). "
)


def add_fit_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--smoothing", type=smoothing_value, metavar="auto|0|S",
                        help="the smooth fit's smoothing: auto (counts-aware, chosen by the "
                             "fit), 0 (every mass met exactly) or a positive number; default: "
                             "auto when every mass is a whole number (counts) or "
                             "--sample-size is given, else 0")
    parser.add_argument("--sample-size", type=positive_number, metavar="N",
                        help="the number of observations behind masses that are shares")
    parser.add_argument("--mean", type=finite_number, metavar="M",
                        help="the published mean, met by the tail beyond an open end")
    parser.add_argument("--tail", type=tail_value, metavar="LAW",
                        help="the tail beyond an open end: pareto, exponential, or a number, "
                             "its parameter held fixed (the Pareto index, the exponential "
                             "scale); LEFT,RIGHT for each end its own (default: a Pareto tail "
                             "beyond a positive last edge, its index from the last brackets "
                             "and a prior, else exponential)")
    parser.add_argument("--upper", type=finite_number, metavar="U",
                        help="close the open last bin at U (an age group 85+ at 110, say) "
                             "instead of fitting a tail beyond it")
    parser.add_argument("--lower", type=finite_number, metavar="L",
                        help="close the open first bin at L instead of fitting a tail "
                             "before it")
    parser.add_argument("--bottom", choices=("auto", "midpoint", "flat", "smooth"),
                        help="the shape of the first bin in the smooth fit: midpoint (its "
                             "mean at its middle, as an even spread's), flat (one level up "
                             "to its last piece) or smooth (as fitted); default auto: "
                             "midpoint where the first edge is 0, the last bin is open and "
                             "the fit rises steeply through the first (incomes: less than "
                             "10,000 holds zeros), else smooth")
    parser.add_argument("--refine", type=refine_count, metavar="R",
                        help=f"pieces of every bin in the smooth fit (default: "
                             f"{DEFAULT_REFINE})")
    parser.add_argument("--column", action="append", metavar="NAME",
                        help="the column of counts of a table to fit, by its header "
                             "(default: the first after the labels); given several times, "
                             "one histogram per column")
    parser.add_argument("--all-columns", action="store_true",
                        help="every column of counts of a table, one histogram each")
    parser.add_argument("--samples", action="store_true",
                        help="INPUT is a one-column table of samples to bin")
    parser.add_argument("--bins", metavar="N|auto",
                        help="bins for samples: a count or a numpy.histogram rule "
                             "(default: auto)")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Fit piecewise linear densities to the masses of histogram bins, "
                    "check the fit and plot it. Without a command: zelvane example.")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {package_version()}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND")

    every = ", ".join(EVERY_METHOD)
    fit_parser = commands.add_parser(
        "fit", help="fit the histograms of a file",
        description="Fit the histograms of INPUT and write, for every edge, the fitted "
                    "value, the bin's mass and the mass the fit reproduces.",
        epilog="INPUT: " + TABLE_HELP + "Or a .npz archive with arrays edges (or center) "
               "and counts (or gap, masses), 1-D for one histogram, 2-D for one per row; a "
               ".npy array of samples; or - for standard input. OUTPUT by extension: .csv, "
               ".json, .npy (values only) or .npz; CSV on standard output when left out. "
               "With an open end, the CSV has the columns tail and tail_parameter on the "
               "row of the open bin.")
    fit_parser.add_argument("input", metavar="INPUT", help="file to read, or - for standard input")
    fit_parser.add_argument("-o", "--output", metavar="OUTPUT",
                            help="file to write (.csv, .json, .npy, .npz)")
    fit_parser.add_argument("--method", default=SMOOTH,
                            choices=list(methods()) + list(EVERY_METHOD),
                            help=f"fitting method (default: smooth; {every}: every method)")
    fit_parser.add_argument("--plot", metavar="FILE",
                            help="draw the histograms and their fits (.png or .svg)")
    fit_parser.add_argument("--check", action="store_true",
                            help="print each fit's largest absolute and relative mass error, "
                                 "the smooth fit's smoothing and effective degrees of freedom "
                                 "and its tails (to standard error when the table goes to "
                                 "standard output)")
    fit_parser.add_argument("--bands", action="store_true",
                            help="add the smooth fit's confidence band at --level: the low "
                                 "and high ends of the interval of every fitted value and "
                                 "fitted mass, as the columns value_low, value_high, "
                                 "fitted_mass_low and fitted_mass_high (JSON and .npz: "
                                 "values_low, values_high, fitted_masses_low, "
                                 "fitted_masses_high and band_level), from the counts as a "
                                 "sample of their sum or --sample-size, or from the table's "
                                 "margin-of-error column (90 %% margins); --plot shades it")
    fit_parser.add_argument("--level", type=level_value, default=0.9, metavar="L",
                            help="the confidence level of --bands (default: 0.9)")
    add_fit_options(fit_parser)
    fit_parser.add_argument("--workers", type=workers_count, default=1, metavar="N",
                            help="native threads for many histograms (default: 1; 0: one "
                                 "per core)")
    fit_parser.set_defaults(run=("fit", "run_fit"))

    summary_parser = commands.add_parser(
        "summary", help="median, mean, Gini coefficient and tails of one histogram",
        description="Fit one histogram by the smooth method (with a tail beyond each open "
                    "end) and print its median, mean, Gini coefficient, the share of the "
                    "top 10 % (the median, mean, Gini and top share each with its margin "
                    "of error at --level: from the counts as a sample of their sum or "
                    "--sample-size, or from a margin-of-error column), the Palma ratio (top "
                    "10 % over bottom 40 %), P90/P10, the Theil index, the mean log "
                    "deviation, the Atkinson indices for epsilon 0.5, 1 and 2, the smoothing "
                    "and the tails, a 'name: value' line each (a measure without a value "
                    "says why).",
        epilog="INPUT: " + TABLE_HELP + "Or a .npz archive of one histogram, or samples.")
    summary_parser.add_argument("input", metavar="INPUT",
                                help="file to read, or - for standard input")
    summary_parser.add_argument("--plot", metavar="FILE",
                                help="draw the histogram and its density (.png or .svg)")
    summary_parser.add_argument("--level", type=level_value, default=0.9, metavar="L",
                                help="the confidence level of the margins (default: 0.9)")
    summary_parser.add_argument("--no-margins", action="store_true",
                                help="print the figures without their margins of error")
    add_fit_options(summary_parser)
    summary_parser.set_defaults(run=("summary", "run_summary"))

    example_parser = commands.add_parser(
        "example", help="fit the embedded example with every method",
        description="Fit a mixture of two normal distributions, cut into 40 uneven bins, "
                    "with every method, and print each fitted value beside the mass it "
                    "reproduces.")
    example_parser.add_argument("--plot", metavar="FILE",
                                help="draw the example and its fits (.png or .svg)")
    example_parser.set_defaults(run=("example", "run_example"))
    return parser


class Stopped(KeyboardInterrupt):
    """A signal that stops the command: raised in the main thread by the handler of
    SIGINT, SIGTERM or SIGHUP, it unwinds as Ctrl-C does, and every file being written
    is discarded on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def stopping_signals() -> Iterator[None]:
    """While the command runs, SIGINT, SIGTERM and SIGHUP raise :class:`Stopped` (the
    first of them; later ones find it unwinding already and are let be, so that nothing
    cuts its clean-up short). A signal that is ignored (SIGHUP under ``nohup``) or that
    the embedding program handles stays as it was; so does everything off the main
    thread, where no handler can be set. The handlers before are put back after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stopping: List[int] = []

    def stop(signum: int, frame: Any) -> None:
        if not stopping:
            stopping.append(signum)
            raise Stopped(signum)

    previous = {}
    for name, default in STOPPING_SIGNALS:
        signum = getattr(signal, name, None)
        if signum is not None and signal.getsignal(signum) == default:
            previous[signum] = signal.signal(signum, stop)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return
    the exit status."""
    with stopping_signals():
        try:
            return run_command(list(sys.argv[1:] if argv is None else argv))
        except KeyboardInterrupt as exc:
            # Ctrl-C or a signal to stop: every file being written has been discarded
            # on the way out.
            signum = getattr(exc, "signum", signal.SIGINT)
            name = "" if signum == signal.SIGINT else f" ({signal.Signals(signum).name})"
            print(f"{PROG}: interrupted{name}", file=sys.stderr)
            return 128 + signum


def warning_lines(run: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """``run(args)``, with each warning it raises (a fit that rests on an extrapolation,
    say) shown once, as one line that names the input, when the command ends (well or
    not)."""
    from zelvane.cli.histograms import display_name

    source = display_name(args.input) if getattr(args, "input", None) else None
    with warnings.catch_warnings(record=True) as caught:
        # Warnings about the data (the package's own), every time; deprecations in the
        # libraries below (some are UserWarnings too) and a file that the collector
        # closes after an interrupt are no news for the user of the command.
        warnings.simplefilter("always", UserWarning)
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return run(args)
        finally:
            lines = [f"{PROG}: {source + ': ' if source else ''}warning: {w.message}"
                     for w in caught]
            for line in dict.fromkeys(lines):
                print(line, file=sys.stderr)


def run_command(arguments: List[str]) -> int:
    """Parse `arguments`, run the command and return its exit status, with bad input
    as one line."""
    parser = build_parser()
    try:
        args = parser.parse_args(arguments or ["example"])
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    if args.command is None:
        print(f"{PROG}: error: a command is needed: fit, summary or example "
              f"({PROG} --help for the usage)", file=sys.stderr)
        return 2
    module, function = args.run
    try:
        run = getattr(importlib.import_module(f"zelvane.cli.{module}"), function)
        status: int = warning_lines(run, args)
    except BadInput as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    except GaveUp as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except MemoryError as exc:
        # An input whose numbers do not fit in memory (the readers refuse the sizes
        # they can tell beforehand; this is what a fit or a conversion found).
        from zelvane.cli.histograms import display_name

        source = display_name(args.input) if getattr(args, "input", None) else None
        reason = str(exc) or "no memory left"
        # Worker threads that could not start (no memory for their stacks): not the input's size.
        key = "no_threads" if reason.startswith("cannot start ") else "out_of_memory"
        print(f"{PROG}: {BadInput(source, key, reason=reason)}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of standard output went away (``zelvane fit ... | head``):
        # stop quietly with the status of a process that SIGPIPE ended, and keep
        # the interpreter from complaining when it flushes the stream at exit.
        from zelvane.cli.write import silence_stdout

        silence_stdout()
        return BROKEN_PIPE
    return status
