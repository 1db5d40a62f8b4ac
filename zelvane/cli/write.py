"""Writers of the command line's results, and the rule that no file is left half
written.

A result names, for every histogram, its edges and masses (as read, float64, when
the smooth fit is among the methods; as the iterative and exact fits alone saw
them, float32, otherwise) and, for every method, the fitted values and the masses
that those values reproduce (float64). The iterative and exact fits have their values at
the edges (float32); the smooth fit cuts every bin into ``refine`` pieces and
has its values (float64) at those finer knots. By the output's extension:

- ``.csv``: one row per edge, ``edge, value, mass, fitted_mass`` (the last row's
  masses empty, as in the input table); with several methods ``value_<method>``
  and ``fitted_mass_<method>`` for each; with several histograms a first column
  ``histogram``. With the smooth fit there is a row per knot instead, the
  first column is ``knot``, and the other cells are empty between the edges;
  Histograms with an open end (the smooth fit alone) have a row per knot of
  the body between the finite edges and one for each infinite edge (``-inf``,
  ``inf``) with its value empty; the columns ``tail`` and ``tail_parameter``
  hold the kind and the parameter of the tail beyond an open end on the row
  of the open bin's mass (-inf, or the last finite edge);
- ``.json``: ``{"histograms": [{"edges", "masses", "fits": {method: {"values",
  "fitted_masses"}}}]}``, with ``"knots"``, ``"smoothing"``, ``"edf"``,
  ``"deviance"``, ``"left_tail"`` and ``"right_tail"`` (``{"kind", "joint",
  "mass", "parameter"}`` or ``null``) too for the smooth fit, non-finite
  numbers (the infinite edges of open ends among them) as ``null``;
- ``.npz``: arrays ``edges``, ``masses``, ``values`` and ``fitted_masses`` (and
  ``knots``, ``smoothing``, ``edf``, ``deviance`` and, beyond an open end,
  ``left_tail_kind``, ``left_tail_joint``, ``left_tail_mass``,
  ``left_tail_parameter`` and the same of ``right_tail`` for the smooth fit),
  suffixed by ``_<method>`` with several methods;
- ``.npy``: the values alone, stacked along a first axis in the order of the
  methods when there are several (of the same length).

Every file is written to a temporary file beside its destination and renamed
onto it only once everything has been written, so a failure (a full disk, Ctrl-C)
leaves an existing file as it was and no temporary file behind. A destination that
is no regular file (a device, a named pipe) is written directly.
"""

from __future__ import annotations

import io
import json
import os
import secrets
import stat
from dataclasses import dataclass
from typing import (IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple)

from zelvane.cli.errors import BadInput

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

OUTPUT_EXTENSIONS = (".csv", ".json", ".npy", ".npz")
PLOT_EXTENSIONS = (".png", ".svg")

Progress = Callable[[int], None]


class TailRow(NamedTuple):
    """A tail of one histogram: ``kind`` (``"pareto"`` or ``"exponential"``), the edge
    where it joins the body, its mass and its parameter."""

    kind: str
    joint: float
    mass: float
    parameter: float


class SmoothRow(NamedTuple):
    """What the smooth fit of one histogram chose and found."""

    smoothing: float
    edf: float
    deviance: float
    left_tail: Optional[TailRow]
    right_tail: Optional[TailRow]


def _item(value: Any, k: int) -> Any:
    """Row ``k`` of a per-row attribute, or the attribute itself when every row shares it."""
    import numpy as np

    return value if np.ndim(value) == 0 else value[k]


def _tail_row(tail: Any, k: int) -> Optional[TailRow]:
    if tail is None:
        return None
    kind = _item(tail.kind, k)
    if kind is None or kind == "none":  # no tail where the open bin is empty
        return None
    return TailRow(str(kind), *(float(_item(getattr(tail, name), k))
                                for name in ("joint", "mass", "parameter")))


@dataclass(frozen=True)
class MethodFit:
    """One method's fit of every histogram and the masses it reproduces
    (float64, shaped like the masses). ``values`` are at the edges (float32),
    or, for a fit that cuts every bin into ``refine`` sub-intervals, at its
    ``knots`` (float64, shaped like the edges but ``refine`` times finer; with
    open ends, of the bins between the finite edges alone). The smooth fit keeps
    ``zelvane.fit_smooth``'s results in ``raw``, each with the first row it
    fitted, and ``open_ends`` says whether the bins run to -inf and to inf."""

    method: str
    values: npt.NDArray[Any]
    fitted_masses: npt.NDArray[np.float64]
    knots: Optional[npt.NDArray[np.float64]] = None
    refine: int = 1
    raw: Tuple[Tuple[int, Any], ...] = ()
    open_ends: Tuple[bool, bool] = (False, False)

    @property
    def edge_values(self) -> npt.NDArray[Any]:
        """The values at the edges alone."""
        return self.values if self.refine == 1 else self.values[..., ::self.refine]

    def smooth_row(self, k: int) -> SmoothRow:
        """The smoothing, degrees of freedom, deviance and tails of histogram ``k``."""
        start, result = next((start, result) for start, result in reversed(self.raw)
                             if start <= k)
        i = k - start
        return SmoothRow(float(_item(result.smoothing, i)), float(_item(result.edf, i)),
                         float(_item(result.deviance, i)), _tail_row(result.left_tail, i),
                         _tail_row(result.right_tail, i))

    def with_open_fitted_masses(self, shape: Tuple[int, ...]) -> MethodFit:
        """This fit of histograms with open ends, with the masses it gives every bin:
        the body's between the finite edges, each tail's beyond its open end."""
        import numpy as np

        from zelvane._smooth import bin_masses

        assert self.knots is not None
        body = bin_masses(self.knots, self.values, self.refine)
        rows = 1 if len(shape) == 1 else shape[0]
        tails = [self.smooth_row(k) for k in range(rows)]
        parts = []
        for side, name in zip(self.open_ends, ("left_tail", "right_tail")):
            masses = [getattr(t, name).mass if getattr(t, name) is not None else 0.0
                      for t in tails]
            parts.append(np.array(masses).reshape(shape[:-1] + (1,)) if side
                         else np.zeros(shape[:-1] + (0,)))
        fitted = np.concatenate((parts[0], body, parts[1]), axis=-1)
        return MethodFit(self.method, self.values, fitted, self.knots, self.refine, self.raw,
                         self.open_ends)


class FitRow(NamedTuple):
    """One method's fit of one histogram."""

    knots: npt.NDArray[Any]
    values: npt.NDArray[Any]
    fitted_masses: npt.NDArray[np.float64]
    refine: int


@dataclass(frozen=True)
class Result:
    """The fitted problem and each method's fit. ``edges`` is 1-D when the
    histograms share it, ``masses`` 1-D for a single histogram."""

    edges: npt.NDArray[Any]
    masses: npt.NDArray[Any]
    fits: Tuple[MethodFit, ...]

    @property
    def count(self) -> int:
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    @property
    def refine(self) -> int:
        """The finest cut of the bins among the fits."""
        return max(f.refine for f in self.fits)

    @property
    def open_ends(self) -> Tuple[bool, bool]:
        return self.fits[0].open_ends

    def row(self, k: int) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32],
                                   List[FitRow]]:
        """Edges, masses and each method's fit of histogram ``k``."""
        def pick(array: npt.NDArray[Any], shared: bool) -> npt.NDArray[Any]:
            return array if shared else array[k]

        single = self.masses.ndim == 1
        edges = pick(self.edges, self.edges.ndim == 1)
        fits = [FitRow(edges if f.knots is None else pick(f.knots, f.knots.ndim == 1),
                       pick(f.values, single), pick(f.fitted_masses, single), f.refine)
                for f in self.fits]
        return edges, pick(self.masses, single), fits

    def names(self, what: str) -> List[str]:
        """Column or array names of a per-method quantity ``what``."""
        if len(self.fits) == 1:
            return [what]
        return [f"{what}_{f.method}" for f in self.fits]


# -- where results go -------------------------------------------------------

def check_destination(path: str, key: str, extensions: Sequence[str]) -> str:
    """The extension of a file to be written, once its name and directory are
    known to be fit for it."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in extensions:
        raise BadInput(path, key, extension=extension or "(none)",
                       known=", ".join(extensions))
    directory = os.path.dirname(path) or os.curdir
    if not os.path.isdir(directory):
        raise BadInput(path, "no_directory", directory=directory)
    if os.path.isdir(path):
        raise BadInput(path, "is_directory")
    return extension


class PendingFile:
    """A temporary file beside ``path`` that becomes ``path`` on ``commit``,
    and is removed by ``discard`` if it never does.

    Make one, put it where the code that discards it will find it, then ``open`` it:
    the temporary file's name is kept before the file exists, so Ctrl-C at any point
    leaves ``discard`` the name of every file there is to remove. (Holding SIGINT back
    does not do: the kernel may hand the signal to any other thread, such as a BLAS
    thread, and Python raises it in the main thread at its next check.)

    A destination that exists and is no regular file (a device such as
    /dev/stdout, a named pipe) cannot be renamed onto: it is written directly."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.temporary: Optional[str] = None
        self.stream: Optional[IO[bytes]] = None

    def open(self) -> IO[bytes]:
        path = self.path
        try:
            if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
                self.stream = open(path, "wb")
                return self.stream
            directory = os.path.dirname(path) or os.curdir
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
            while True:
                self.temporary = os.path.join(
                    directory, f".{os.path.basename(path)}.{secrets.token_hex(8)}.part")
                try:
                    handle = os.open(self.temporary, flags, 0o666)  # the umask applies
                    break
                except FileExistsError:  # someone else's file: never ours to remove
                    self.temporary = None
        except OSError as exc:
            raise unwritable(path, exc) from None
        self.stream = os.fdopen(handle, "wb")
        return self.stream

    def commit(self) -> None:
        assert self.stream is not None
        self.stream.close()
        if self.temporary is not None:
            os.replace(self.temporary, self.path)

    def discard(self) -> None:
        if self.stream is not None:
            try:
                self.stream.close()  # a full disk refuses the last buffered bytes here again
            except OSError:
                pass
        if self.temporary is not None and os.path.exists(self.temporary):
            os.unlink(self.temporary)


def unwritable(path: str, error: OSError) -> BadInput:
    """A failure to write ``path`` (a full disk, a closed pipe, no permission) as
    one line that names it."""
    return BadInput(path, "unwritable", reason=error.strerror or str(error))


# -- number formats ---------------------------------------------------------

def number_texts(values: npt.NDArray[Any]) -> List[str]:
    """The shortest decimal texts that read back as the same values, float32
    or float64."""
    import numpy as np

    if values.dtype == np.float32:
        return [str(v) for v in values]
    return [repr(v) for v in values.tolist()]


def json_numbers(texts: List[str]) -> List[Optional[float]]:
    numbers: List[Optional[float]] = []
    for text in texts:
        value = float(text)
        numbers.append(value if value - value == 0.0 else None)
    return numbers


# -- formats ----------------------------------------------------------------

def open_csv_lines(result: Result, progress: Progress) -> Iterator[str]:
    """The CSV table of histograms with an open end: a row per knot of the body, and a
    row for each infinite edge, with the value empty there. The mass of every bin, given
    and fitted, is on the row of the edge where it starts (-inf for an open first bin,
    the last finite edge for an open last bin), and so are the kind of the tail beyond
    an open end and its parameter, in the columns ``tail`` and ``tail_parameter``."""
    many = result.masses.ndim == 2
    fit = result.fits[0]
    left, right = result.open_ends
    yield ",".join((["histogram"] if many else []) + [
        "knot", "value", "mass", "fitted_mass", "tail", "tail_parameter"]) + "\n"
    for k in range(result.count):
        _, masses, (fit_row,) = result.row(k)
        stats = fit.smooth_row(k)
        knots = number_texts(fit_row.knots)
        values = number_texts(fit_row.values)
        given, fitted = number_texts(masses), number_texts(fit_row.fitted_masses)
        lead = f"{k}," if many else ""
        rows: List[List[str]] = []

        def tail_cells(tail: Optional[TailRow]) -> List[str]:
            return ["", ""] if tail is None else [tail.kind, repr(tail.parameter)]

        if left:
            rows.append(["-inf", "", given[0], fitted[0]] + tail_cells(stats.left_tail))
        for j, (knot, value) in enumerate(zip(knots, values)):
            cells = [knot, value, "", "", "", ""]
            bin_index = int(left) + j // fit.refine
            if j % fit.refine == 0 and bin_index < len(given):
                cells[2:4] = [given[bin_index], fitted[bin_index]]
                if right and bin_index == len(given) - 1:
                    cells[4:6] = tail_cells(stats.right_tail)
            rows.append(cells)
        if right:
            rows.append(["inf", "", "", "", "", ""])
        yield "".join(lead + ",".join(cells) + "\n" for cells in rows)
        progress(1)


def csv_lines(result: Result, progress: Progress) -> Iterator[str]:
    """The CSV table: a row per edge or, when a fit cuts the bins finer, a row
    per knot of the finest fit, where the values of the coarser fits and the
    masses are left empty between the edges."""
    if any(result.open_ends):
        yield from open_csv_lines(result, progress)
        return
    many = result.masses.ndim == 2
    finest = result.refine
    header = (["histogram"] if many else []) + ["edge" if finest == 1 else "knot"] \
        + result.names("value") + ["mass"] + result.names("fitted_mass")
    yield ",".join(header) + "\n"
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        knots = number_texts(edges)
        if finest > 1:
            fine = number_texts(next(f.knots for f in fits if f.refine == finest))
            fine[::finest] = knots
            knots = fine
        rows = len(knots)

        def spread(texts: List[str], step: int) -> List[str]:
            # Texts of the edges or of coarser knots, on their rows of the table.
            cells = [""] * rows
            cells[:len(texts) * step:step] = texts
            return cells

        columns = [knots]
        columns += [spread(number_texts(f.values), finest // f.refine) for f in fits]
        columns.append(spread(number_texts(masses), finest))
        columns += [spread(number_texts(f.fitted_masses), finest) for f in fits]
        lead = f"{k}," if many else ""
        yield "".join(lead + ",".join(cells) + "\n" for cells in zip(*columns))
        progress(1)


def tail_document(tail: Optional[TailRow]) -> Optional[Dict[str, object]]:
    return None if tail is None else tail._asdict()


def smooth_arrays(result: Result) -> Dict[str, Any]:
    """The smooth fit's choices and tails, one element per histogram, for ``.npz``: the
    smoothing, degrees of freedom and deviance, and the kind, joint, mass and parameter
    of the tail beyond each open end."""
    import numpy as np

    arrays: Dict[str, Any] = {}
    for f in result.fits:
        if not f.raw:
            continue
        suffix = "" if len(result.fits) == 1 else f"_{f.method}"
        rows = [f.smooth_row(k) for k in range(result.count)]
        shape = () if result.masses.ndim == 1 else (result.count,)
        for name in ("smoothing", "edf", "deviance"):
            arrays[name + suffix] = np.array([getattr(r, name) for r in rows]).reshape(shape)
        for side, name in zip(f.open_ends, ("left_tail", "right_tail")):
            if not side:
                continue
            tails = [getattr(r, name) for r in rows]
            for field in TailRow._fields:
                column = [getattr(t, field) if t is not None else
                          ("" if field == "kind" else np.nan) for t in tails]
                arrays[f"{name}_{field}{suffix}"] = np.array(column).reshape(shape)
    return arrays


def json_document(result: Result, progress: Progress) -> Dict[str, object]:
    histograms = []
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        described = {}
        for method_fit, fit_row in zip(result.fits, fits):
            entry: Dict[str, Any] = {
                "values": json_numbers(number_texts(fit_row.values)),
                "fitted_masses": json_numbers(number_texts(fit_row.fitted_masses))}
            if method_fit.knots is not None:
                entry = {"knots": json_numbers(number_texts(fit_row.knots)), **entry}
            if method_fit.raw:
                stats = method_fit.smooth_row(k)
                entry.update(smoothing=stats.smoothing, edf=stats.edf, deviance=stats.deviance,
                             left_tail=tail_document(stats.left_tail),
                             right_tail=tail_document(stats.right_tail))
            described[method_fit.method] = entry
        histograms.append({"edges": json_numbers(number_texts(edges)),
                           "masses": json_numbers(number_texts(masses)),
                           "fits": described})
        progress(1)
    return {"histograms": histograms}


def write_result(stream: IO[bytes], extension: str, result: Result, progress: Progress) -> None:
    """Write ``result`` in the format of ``extension`` to a binary stream."""
    import numpy as np

    if extension == ".csv":
        text = io.TextIOWrapper(stream, encoding="utf-8", newline="")
        text.writelines(csv_lines(result, progress))
        text.detach()
    elif extension == ".json":
        document = json_document(result, progress)
        stream.write(json.dumps(document, allow_nan=False).encode("utf-8") + b"\n")
    elif extension == ".npz":
        # Any: savez's own keyword (allow_pickle) is no array, so a typed dict cannot fill it.
        arrays: Dict[str, Any] = {"edges": result.edges, "masses": result.masses}
        for name, f in zip(result.names("knots"), result.fits):
            if f.knots is not None:
                arrays[name] = f.knots
        arrays.update(zip(result.names("values"), (f.values for f in result.fits)))
        arrays.update(zip(result.names("fitted_masses"), (f.fitted_masses for f in result.fits)))
        arrays.update(smooth_arrays(result))
        np.savez(stream, **arrays)
    elif extension == ".npy":
        values = [f.values for f in result.fits]
        np.save(stream, values[0] if len(values) == 1 else np.stack(values))
    else:
        raise AssertionError(f"no writer for {extension}")
