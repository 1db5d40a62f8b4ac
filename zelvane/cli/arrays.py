"""Readers of NumPy files, and samples cut into a histogram.

A ``.npz`` archive holds arrays ``edges`` (or ``center``) and ``counts`` (or ``gap``
or ``masses``), 1-D for one histogram, 2-D for one per row; a ``.npy`` file (or a
one-column table) holds samples, binned by ``numpy.histogram``. An array's header is
checked against the data there are and the memory this process may have before NumPy
allocates it.
"""

from __future__ import annotations

import importlib
import io
import math
import tokenize
import zipfile
import zlib
from typing import IO, TYPE_CHECKING, Any, Callable, Optional, Sequence, Tuple, Union

from zelvane.cli.errors import BadInput, plural
from zelvane.cli.histograms import Histograms

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# Array names of a .npz archive, each with the names it may go by.
EDGE_ARRAYS = ("edges", "center")
MASS_ARRAYS = ("counts", "gap", "masses")
# numpy.histogram's named rules for the number of bins.
BIN_RULES = ("auto", "fd", "doane", "scott", "stone", "rice", "sturges", "sqrt")
# The most bins that samples are cut into: far more than any histogram needs, and
# few enough that the fits of them stay within memory.
MAX_BINS = 1_000_000

INF = float("inf")


def _pick(source: str, archive: Sequence[str], names: Tuple[str, ...]) -> str:
    found = [name for name in names if name in archive]
    if not found:
        listed = " or ".join(repr(name) for name in names)
        present = ", ".join(repr(name) for name in archive) or "none"
        raise BadInput(source, "no_array", names=listed, present=present)
    if len(found) > 1:
        raise BadInput(source, "two_arrays", first=found[0], second=found[1])
    return found[0]


# What NumPy raises for a file that is no valid .npy or .npz (its header is parsed as
# a Python literal, so the tokenizer's and the parser's errors too), and zipfile for a
# member compressed by a method that it lacks.
BAD_NUMPY_FILE = (OSError, ValueError, EOFError, SyntaxError, tokenize.TokenError,
                  zipfile.BadZipFile, NotImplementedError, zlib.error, OverflowError)
# zipfile's refusal of an encrypted member.
BAD_ARCHIVE = BAD_NUMPY_FILE + (RuntimeError,)

# Bytes read from an archive's member to find its .npy header, which NumPy keeps
# below 10,000 bytes unless told otherwise (and format 1.0 below 65,536).
NPY_HEADER_BYTES = 65536 + 16

# The most elements NumPy can count in an array (its C long).
LONGEST = 2**63 - 1


def memory_bytes() -> int:
    """The bytes of memory this process may have: the machine's physical memory, or
    a container's (control group's) limit where that is lower."""
    import zelvane

    return zelvane.memory_bytes()


def _declared(stream: IO[bytes]) -> Tuple[int, Any]:
    """The number of elements and the dtype that a .npy header declares; the
    stream is left where the data start."""
    import numpy as np

    npy_format: Any = np.lib.format
    version = npy_format.read_magic(stream)
    try:
        if version == (1, 0):
            shape, _, dtype = npy_format.read_array_header_1_0(stream)
        elif version == (2, 0):
            shape, _, dtype = npy_format.read_array_header_2_0(stream)
        else:
            reader = getattr(npy_format, "_read_array_header", None)
            if reader is None:
                raise ValueError(f"unsupported .npy format version {version}")
            shape, _, dtype = reader(stream, version)
    except TypeError as exc:  # a header dictionary whose keys NumPy cannot sort
        raise ValueError(f"the header is not a valid dictionary: {exc}") from None
    # NumPy counts the elements in a C long: a shape whose product, or one of whose
    # lengths, does not fit one cannot be read even where another length is 0.
    count, largest = 1, 1
    for length in shape:
        length = int(length)
        if length < 0:
            raise ValueError(f"the shape {shape} has a negative length")
        count *= length
        largest *= max(length, 1)
    if largest > LONGEST:
        raise ValueError(f"the shape {shape} holds more elements than NumPy can count")
    return count, dtype


def check_declared(source: str, stream: IO[bytes], held: Callable[[int], int],
                   where: Optional[str] = None) -> None:
    """Refuse an array whose header declares more data than there are, or more than
    the memory this process may have, before NumPy allocates it: a header of a few bytes
    can declare any size. ``held`` gives the bytes of data after a header of the
    length it is given."""
    count, dtype = _declared(stream)
    size = count * dtype.itemsize
    there = held(stream.tell())
    if size > there:
        raise BadInput(source, "npy_size", where, count=count, dtype=str(dtype), size=size,
                       held=max(there, 0))
    memory = memory_bytes()
    if size > memory:
        raise BadInput(source, "too_large", where, size=size, memory=memory)


def _check_members(source: str, data: bytes, names: Sequence[str]) -> None:
    """Check the headers of the archive's arrays ``names`` against the sizes that the
    archive records for them."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        listed = set(archive.namelist())
        for name in names:
            member = name + ".npy" if name + ".npy" in listed else name
            info = archive.getinfo(member)
            with archive.open(info) as stream:
                head = io.BytesIO(stream.read(min(info.file_size, NPY_HEADER_BYTES)))
            check_declared(source, head, lambda header: info.file_size - header,
                           f"array {name!r}")


def read_archive(source: str, data: bytes) -> Histograms:
    """Histograms from the arrays of a ``.npz`` archive."""
    import numpy as np

    try:
        archive = np.load(io.BytesIO(data), allow_pickle=False)
        if not hasattr(archive, "files"):
            raise ValueError("it holds a single array")
        with archive:
            files = list(archive.files)
            edge_name = _pick(source, files, EDGE_ARRAYS)
            mass_name = _pick(source, files, MASS_ARRAYS)
            _check_members(source, data, (edge_name, mass_name))
            edges, masses = archive[edge_name], archive[mass_name]
    except BadInput:
        raise
    except BAD_ARCHIVE as exc:
        raise BadInput(source, "bad_archive", kind=".npz", reason=str(exc)) from None
    return Histograms(source, edges, masses, (edge_name, mass_name))


def read_sample_array(source: str, data: bytes) -> npt.NDArray[np.float64]:
    """The samples of a ``.npy`` file: a 1-D array of real numbers."""
    import numpy as np

    try:
        check_declared(source, io.BytesIO(data), lambda header: len(data) - header)
        array = np.load(io.BytesIO(data), allow_pickle=False)
        if not isinstance(array, np.ndarray):
            raise ValueError("it is an archive of arrays")
    except BadInput:
        raise
    except BAD_NUMPY_FILE as exc:
        raise BadInput(source, "bad_archive", kind=".npy", reason=str(exc)) from None
    if array.ndim != 1:
        raise BadInput(source, "sample_rank", ndim=array.ndim)
    if array.dtype.kind not in "biuf":
        raise BadInput(source, "not_numbers", dtype=array.dtype.name)
    return array.astype(np.float64)


# -- samples to a histogram -------------------------------------------------

def parse_bins(text: str) -> Union[int, str]:
    """The value of ``--bins``: a positive count or the name of a rule."""
    if text in BIN_RULES:
        return text
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise BadInput(None, "bins", names=", ".join(BIN_RULES), value=text)
    if count > MAX_BINS:
        raise BadInput(None, "bins_limit", value=text, limit=MAX_BINS)
    return count


def _rule_bins(samples: npt.NDArray[np.float64], rule: str, low: float, high: float) -> float:
    """How many bins ``numpy.histogram``'s rule ``rule`` makes of the samples (inf for
    more than can be counted), by NumPy's own estimator of the bin width, or 0 where
    that estimator cannot be found (NumPy keeps it private)."""
    import numpy as np

    selectors = None
    for module in ("numpy.lib._histograms_impl", "numpy.lib.histograms"):
        try:
            selectors = getattr(importlib.import_module(module), "_hist_bin_selectors")
            break
        except (ImportError, AttributeError):
            continue
    if high == low:  # numpy.histogram makes one bin around them
        return 1.0
    if selectors is None or rule not in selectors:
        return 0.0
    with np.errstate(all="ignore"):
        width = float(selectors[rule](samples, (low, high)))
        if not width > 0:  # numpy.histogram makes one bin then
            return 1.0
        return math.ceil((high - low) / width) if (high - low) / width < INF else INF


def histogram_of_samples(source: str, samples: npt.NDArray[np.float64],
                         lines: Optional[Tuple[int, ...]], bins: Union[int, str]) -> Histograms:
    """The histogram that ``numpy.histogram`` makes of the samples."""
    import numpy as np

    if samples.size == 0:
        raise BadInput(source, "no_samples")
    bad = np.flatnonzero(~np.isfinite(samples))
    if bad.size:
        first = int(bad[0])
        where = f"line {lines[first]}" if lines is not None else f"index {first}"
        raise BadInput(source, "sample_not_finite", where, value=repr(float(samples[first])))
    low, high = float(samples.min()), float(samples.max())
    if high - low == INF:
        raise BadInput(source, "sample_span", low=repr(low), high=repr(high))
    count: float = bins if isinstance(bins, int) else _rule_bins(samples, bins, low, high)
    if count > MAX_BINS:
        shown = "more than 1e308" if count == INF else str(count)
        raise BadInput(source, "rule_bins", rule=bins, count=shown, limit=MAX_BINS)
    # numpy.histogram cuts [low, high] (widened by 0.5 each way if it is a point) into
    # equal bins; where float64 cannot tell their edges apart it fails in ways of its
    # own (an IndexError, say), so that is refused here.
    start, stop = (low - 0.5, high + 0.5) if low == high else (low, high)
    if count >= 1 and not (np.diff(np.linspace(start, stop, int(count) + 1)) > 0).all():
        raise BadInput(source, "unbinnable",
                       reason=f"[{start!r}, {stop!r}] cannot be cut into {int(count)} bin"
                              f"{plural(int(count))} of positive width in float64")
    try:
        counts, edges = np.histogram(samples, bins=bins)
    except ValueError as exc:  # e.g. bins narrower than float64 can tell apart
        raise BadInput(source, "unbinnable", reason=str(exc)) from None
    return Histograms(source, edges.astype(np.float64), counts.astype(np.float64),
                      ("bin_edges", "bin_counts"))

