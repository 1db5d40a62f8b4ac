"""The ``zelvane`` command: fit the histograms of a file, check and plot the fit.

``zelvane fit INPUT`` reads histograms (a table, a ``.npz`` archive or samples
to bin), fits every one with the chosen methods and writes the values, the
masses and the masses the fit reproduces; ``zelvane summary INPUT`` fits one
histogram and prints its median, mean, Gini coefficient, top 10 % share and
tails; ``zelvane example`` fits the embedded two-normal mixture, which is also
what the command does without arguments. The command is a shell over ``zelvane._fit``: it reads, hands the
numbers to that layer's checks and fitters, and writes. Its modules: ``read``
(input files), ``fit`` (checks, fits, mass errors and the progress bar),
``write`` (output files, written whole or not at all), ``plot``, ``errors``
(bad input and its messages) and ``example`` (the embedded histogram); this
one has the commands, the argument parser and :func:`main`.

Exit status: 0 on success; 2 for bad input or options (an input too large for
memory, an output that is the input file included) and for an output that
cannot be written (a full disk, a closed pipe), reported as one line on standard
error that names the file and the place in it, with no output file written or
changed; 130 when interrupted (Ctrl-C), with no file left half written; 141
when the reader of standard output goes away; 1 for a fault of the tool itself,
with its traceback. Fitted values below zero (the iterative and exact fits give
them by design) are announced on standard error, one line per file.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, Union

from zelvane.cli.errors import BadInput
from zelvane.cli.fit import (DEFAULT_REFINE, SMOOTH, SmoothOptions, check_report, fit,
                             largest_errors, methods, progress_bar, smoothing_text, tail_text)

if TYPE_CHECKING:
    from zelvane.cli.read import Histograms
    from zelvane.cli.write import PendingFile, Result

__all__ = ["main", "build_parser"]

PROG = "zelvane"
# Exit status when standard output is closed early: 128 + SIGPIPE, as a shell reports it.
BROKEN_PIPE = 141
# Exit status when interrupted: 128 + SIGINT, as a shell reports it.
INTERRUPTED = 130
# --method names that stand for every method there is.
EVERY_METHOD = ("both", "all")
# The most native threads --workers asks for: far more than any machine's cores.
MAX_WORKERS = 1024


def package_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("zelvane")
    except metadata.PackageNotFoundError:
        return "(not installed)"


# -- commands ---------------------------------------------------------------

def chosen_methods(method: str) -> Tuple[str, ...]:
    return methods() if method in EVERY_METHOD else (method,)


def prepare_plot(path: Optional[str]) -> Optional[str]:
    """The plot's extension, once matplotlib and the destination are known
    to be there."""
    if path is None:
        return None
    from zelvane.cli.plot import require_matplotlib
    from zelvane.cli.write import PLOT_EXTENSIONS, check_destination

    extension = check_destination(path, "plot_extension", PLOT_EXTENSIONS)
    require_matplotlib()
    return extension


def write_files(result: Result, output: Optional[Tuple[str, str]],
                plot: Optional[Tuple[str, str]], title: Optional[str] = None,
                truth: Optional[Callable[[Any], Any]] = None,
                densities: Optional[Sequence[Any]] = None) -> None:
    """Write the output and the plot, each to a file beside its destination,
    and rename them into place once both are complete."""
    from zelvane.cli.write import unwritable, write_result

    pending: List[PendingFile] = []
    # The file being written, which an I/O error is about.
    current = None
    try:
        if output is not None:
            current = output[0]
            stream = open_pending(pending, output[0])
            with progress_bar(result.count, "writing") as advance:
                write_result(stream, output[1], result, advance)
        if plot is not None:
            from zelvane.cli.plot import write_plot

            current = plot[0]
            stream = open_pending(pending, plot[0])
            write_plot(stream, plot[1], result, title, truth, densities)
        while pending:
            current = pending[0].path
            pending[0].commit()
            pending.pop(0)
    except OSError as exc:
        assert current is not None
        raise unwritable(current, exc) from None
    finally:
        for left in pending:
            left.discard()


def open_pending(pending: List[PendingFile], path: str) -> IO[bytes]:
    """Add the temporary file of `path` to `pending`, then create it: an interrupt at
    any point finds in `pending` every temporary file there is to remove."""
    from zelvane.cli.write import PendingFile

    pending.append(PendingFile(path))
    return pending[-1].open()


def same_file(first: str, second: str) -> bool:
    """Whether two paths name one file (by device and inode, through symlinks and any
    spelling), or, where one does not exist yet, one place."""
    try:
        return os.path.samefile(first, second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)


def refuse_overwriting(source: str, outputs: Sequence[Optional[str]]) -> None:
    """Refuse, before anything is read or written, an output that is the input file
    (the input would be replaced by its own fit) or two outputs that are one file."""
    from zelvane.cli.read import STDIN

    named = [path for path in outputs if path is not None]
    if len(named) == 2 and same_file(named[0], named[1]):
        raise BadInput(named[1], "same_outputs")
    if source == STDIN:
        return
    for path in named:
        if same_file(source, path):
            also = "" if path == source else f" {source!r}"
            raise BadInput(path, "same_file", also=also)


def write_stdout(result: Result) -> None:
    """The CSV table on standard output; a failure to write it (other than a reader
    that went away) is one line about ``<stdout>``."""
    from zelvane.cli.write import unwritable, write_result

    try:
        sys.stdout.flush()
        with progress_bar(result.count, "writing") as advance:
            write_result(sys.stdout.buffer, ".csv", result, advance)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise unwritable("<stdout>", exc) from None


def silence_stdout() -> None:
    """Point standard output at the null device, so that the interpreter's flush at
    exit does not fail again on what is left in its buffer."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def smooth_options(args: argparse.Namespace, names: Sequence[str]) -> SmoothOptions:
    """The smooth fit's options from the command line, refused without the smooth fit."""
    given = [(flag, value) for flag, value in (("--smoothing", args.smoothing),
                                               ("--sample-size", args.sample_size),
                                               ("--mean", args.mean), ("--refine", args.refine))
             if value is not None]
    if given and SMOOTH not in names:
        raise BadInput(None, "smooth_only", option=given[0][0])
    refine = DEFAULT_REFINE if args.refine is None else args.refine
    return SmoothOptions(refine, args.smoothing, args.sample_size, args.mean)


def check_mean(histograms: Histograms, options: SmoothOptions) -> None:
    if options.mean is not None and not any(histograms.open_ends):
        raise BadInput(histograms.source, "mean_without_open")


def density_of(result: Result, k: int) -> Any:
    """The density of the smooth fit of histogram ``k``, tails and all, for a plot or a
    summary: built from the fit that the result holds, not fitted again."""
    from zelvane import _density
    from zelvane._tails import Tail

    index = next(i for i, f in enumerate(result.fits) if f.method == SMOOTH)
    method_fit = result.fits[index]
    fit_row = result.row(k)[2][index]
    stats = method_fit.smooth_row(k)
    tails = [None if tail is None else Tail(*tail) for tail in (stats.left_tail,
                                                                  stats.right_tail)]
    return _density.PiecewiseLinearDensity._from_fit(
        fit_row.knots, fit_row.values, left_tail=tails[0], right_tail=tails[1], method=SMOOTH,
        smoothing=stats.smoothing, edf=stats.edf)


def run_fit(args: argparse.Namespace) -> int:
    from zelvane.cli.fit import below_zero_warning
    from zelvane.cli.plot import GRID_LIMIT
    from zelvane.cli.read import display_name, read_input
    from zelvane.cli.write import OUTPUT_EXTENSIONS, check_destination

    refuse_overwriting(args.input, (args.output, args.plot))
    names = chosen_methods(args.method)
    options = smooth_options(args, names)
    output = None
    if args.output is not None:
        output = (args.output, check_destination(args.output, "output_extension",
                                                 OUTPUT_EXTENSIONS))
        if output[1] == ".npy" and SMOOTH in names and len(names) > 1 and options.refine > 1:
            raise BadInput(args.output, "npy_lengths")
    plot_extension = prepare_plot(args.plot)
    plot = None if plot_extension is None else (args.plot, plot_extension)

    histograms = read_input(args.input, args.samples, args.bins)
    check_mean(histograms, options)
    result = fit(histograms, names, args.workers, options.refine, options)
    warning = below_zero_warning(display_name(args.input), result)
    if warning is not None:
        print(f"{PROG}: {warning}", file=sys.stderr)
    densities = None
    if plot is not None and any(result.open_ends):
        densities = [density_of(result, k) for k in range(min(result.count, GRID_LIMIT))]

    write_files(result, output, plot, densities=densities)
    if output is None:
        write_stdout(result)
    if args.check:
        check_report(result, sys.stdout if output is not None else sys.stderr)
    return 0


def summary_lines(histograms: Histograms, density: Any) -> List[str]:
    """The summary of one fitted histogram, a ``name: value`` line each."""
    import numpy as np

    from zelvane._checks import whole_numbers

    masses = np.asarray(histograms.masses, dtype=np.float64)
    counts = whole_numbers(masses)
    lines = [f"input: {histograms.source}, {masses.size} bins, total {masses.sum():.10g} "
             f"({'counts' if counts else 'masses'})",
             f"median: {density.median():.6g}",
             f"mean: {density.mean():.6g}",
             f"gini: {density.gini():.4f}",
             f"top 10% share: {1.0 - float(density.lorenz(0.9)):.4f}",
             "smoothing: " + smoothing_text(density.smoothing, density.edf)]
    for side, tail in (("left", density.left_tail), ("right", density.right_tail)):
        lines.append(tail_text(side, tail))
    return lines


def run_summary(args: argparse.Namespace) -> int:
    from zelvane.cli.read import read_input

    refuse_overwriting(args.input, (args.plot,))
    options = smooth_options(args, (SMOOTH,))
    plot_extension = prepare_plot(args.plot)
    histograms = read_input(args.input, args.samples, args.bins)
    if histograms.count != 1:
        raise BadInput(histograms.source, "summary_one", count=histograms.count)
    check_mean(histograms, options)
    result = fit(histograms, (SMOOTH,), 1, options.refine, options)
    density = density_of(result, 0)
    lines = summary_lines(histograms, density)
    if plot_extension is not None:
        title = f"{histograms.source}: median {density.median():.6g}, Gini {density.gini():.3f}"
        write_files(result, None, (args.plot, plot_extension), title, densities=[density])
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


def example_report(result: Result, title: str, stream: IO[str]) -> None:
    """The example's table: every edge with its bin's mass and, for every
    method, the fitted value and the mass it reproduces; then each method's
    largest relative mass error."""
    edges, masses, fits = result.row(0)
    header = f"{'i':>3} {'center':>9} {'mass':>11}"
    for method_fit in result.fits:
        header += f" {method_fit.method + ' value':>22} {'mass':>11}"
    stream.write(f"{title}\n{header}\n")
    at_edges = [fit_row.values[::fit_row.refine] for fit_row in fits]
    for i in range(len(edges)):
        # The last edge closes the last bin and has no mass of its own.
        last = i == len(masses)
        row = f"{i:>3} {edges[i]:>9.4f} {'' if last else format(masses[i], '.3e'):>11}"
        for values, fit_row in zip(at_edges, fits):
            mass = "" if last else format(fit_row.fitted_masses[i], ".3e")
            row += f" {values[i]:>22.6f} {mass:>11}"
        stream.write(row + "\n")
    for method_fit, fit_row in zip(result.fits, fits):
        relative = largest_errors(masses, fit_row.fitted_masses)[1]
        stream.write(f"{method_fit.method}: largest relative mass error {relative:.3e}\n")


def run_example(args: argparse.Namespace) -> int:
    from zelvane.cli import example
    from zelvane.cli.read import Histograms

    plot_extension = prepare_plot(args.plot)
    edge_list, mass_list = example.example_histogram()
    import numpy as np

    histograms = Histograms("example", np.array(edge_list), np.array(mass_list))
    result = fit(histograms, methods(), workers=1, refine=DEFAULT_REFINE)
    example_report(result, example.TITLE, sys.stdout)
    sys.stdout.flush()
    if plot_extension is not None:
        write_files(result, None, (args.plot, plot_extension), example.TITLE,
                    example.mixture_pdf)
    return 0


# -- the parser -------------------------------------------------------------

def refine_count(text: str) -> int:
    from zelvane import MAX_REFINE, _checks

    try:
        return _checks.check_refine(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a whole number from 1 to {MAX_REFINE}, not {text!r}") from None


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


TABLE_HELP = (
    "A table (.csv, .tsv, .txt, .dat: separated by commas, semicolons with a decimal "
    "comma, tabs or white space; an optional header; # comments) in one of three "
    "layouts: an edge and the mass of the bin that starts there on every row, the last "
    "row's mass empty or left out; a bracket label and its count (0-9999, 10000-14999, "
    "under 5, 85+, 200,000 or more: brackets of whole numbers hold their last number, so "
    "10000-14999 then 15000-19999 give the edges 10000, 15000, 20000); or lower, upper "
    "and count. An open first or last bin (-inf, under 10000, <10000, an empty lower "
    "cell; inf, 200000+, 200000 or more, an empty upper cell) is fitted by the smooth "
    "method with a tail. ")


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
    parser.add_argument("--refine", type=refine_count, metavar="R",
                        help=f"pieces of every bin in the smooth fit (default: "
                             f"{DEFAULT_REFINE})")
    parser.add_argument("--samples", action="store_true",
                        help="INPUT is a one-column table of samples to bin")
    parser.add_argument("--bins", metavar="N|auto",
                        help="bins for samples: a count or a numpy.histogram rule "
                             "(default: auto)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
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
    add_fit_options(fit_parser)
    fit_parser.add_argument("--workers", type=workers_count, default=1, metavar="N",
                            help="native threads for many histograms (default: 1; 0: one "
                                 "per core)")
    fit_parser.set_defaults(run=run_fit)

    summary_parser = commands.add_parser(
        "summary", help="median, mean, Gini coefficient and tails of one histogram",
        description="Fit one histogram by the smooth method (with a tail beyond each open "
                    "end) and print its median, mean, Gini coefficient, the share of the "
                    "top 10 %, the smoothing and the tails, a 'name: value' line each.",
        epilog="INPUT: " + TABLE_HELP + "Or a .npz archive of one histogram, or samples.")
    summary_parser.add_argument("input", metavar="INPUT",
                                help="file to read, or - for standard input")
    summary_parser.add_argument("--plot", metavar="FILE",
                                help="draw the histogram and its density (.png or .svg)")
    add_fit_options(summary_parser)
    summary_parser.set_defaults(run=run_summary)

    example_parser = commands.add_parser(
        "example", help="fit the embedded example with every method",
        description="Fit a mixture of two normal distributions, cut into 40 uneven bins, "
                    "with every method, and print each fitted value beside the mass it "
                    "reproduces.")
    example_parser.add_argument("--plot", metavar="FILE",
                                help="draw the example and its fits (.png or .svg)")
    example_parser.set_defaults(run=run_example)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return
    the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(arguments or ["example"])
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    if args.command is None:
        parser.print_usage(sys.stderr)
        return 2
    try:
        status: int = args.run(args)
    except BadInput as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    except MemoryError as exc:
        # An input whose numbers do not fit in memory (the readers refuse the sizes
        # they can tell beforehand; this is what a fit or a conversion found).
        from zelvane.cli.read import display_name

        source = display_name(args.input) if getattr(args, "input", None) else None
        reason = str(exc) or "no memory left"
        print(f"{PROG}: {BadInput(source, 'out_of_memory', reason=reason)}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of standard output went away (``zelvane fit ... | head``):
        # stop quietly with the status of a process that SIGPIPE ended, and keep
        # the interpreter from complaining when it flushes the stream at exit.
        silence_stdout()
        return BROKEN_PIPE
    except KeyboardInterrupt:
        # Ctrl-C: every file being written has been discarded on the way out.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    return status
