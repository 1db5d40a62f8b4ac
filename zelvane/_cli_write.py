"""Writers of the command line's results, and the rule that no file is left half
written.

A result names, for every histogram, its edges and masses (as the fit saw them:
float32) and, for every method, the fitted values at the edges and the masses
that those values reproduce (float64). By the output's extension:

- ``.csv``: one row per edge, ``edge, value, mass, fitted_mass`` (the last row's
  masses empty, as in the input table); with several methods ``value_<method>``
  and ``fitted_mass_<method>`` for each; with several histograms a first column
  ``histogram``;
- ``.json``: ``{"histograms": [{"edges", "masses", "fits": {method: {"values",
  "fitted_masses"}}}]}``, non-finite numbers as ``null``;
- ``.npz``: arrays ``edges``, ``masses``, ``values`` and ``fitted_masses``, the
  last two suffixed by ``_<method>`` with several methods;
- ``.npy``: the values alone, stacked along a first axis in the order of the
  methods when there are several.

Every file is written to a temporary file beside its destination and renamed
onto it only once everything has been written, so a failure leaves an existing
file as it was.
"""

from __future__ import annotations

import io
import json
import os
import tempfile
from dataclasses import dataclass
from typing import (IO, TYPE_CHECKING, Callable, Dict, Iterator, List, Optional, Sequence,
                    Tuple)

from zelvane._cli_errors import BadInput

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

OUTPUT_EXTENSIONS = (".csv", ".json", ".npy", ".npz")
PLOT_EXTENSIONS = (".png", ".svg")

Progress = Callable[[int], None]


@dataclass(frozen=True)
class MethodFit:
    """One method's fit of every histogram: ``values`` at the edges (float32)
    and the masses they reproduce (float64), shaped like the edges and masses."""

    method: str
    values: npt.NDArray[np.float32]
    fitted_masses: npt.NDArray[np.float64]


@dataclass(frozen=True)
class Result:
    """The fitted problem and each method's fit. ``edges`` is 1-D when the
    histograms share it, ``masses`` 1-D for a single histogram."""

    edges: npt.NDArray[np.float32]
    masses: npt.NDArray[np.float32]
    fits: Tuple[MethodFit, ...]

    @property
    def count(self) -> int:
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    def row(self, k: int) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32],
                                   List[Tuple[npt.NDArray[np.float32], npt.NDArray[np.float64]]]]:
        """Edges, masses and each method's (values, fitted masses) of histogram ``k``."""
        if self.masses.ndim == 1:
            return self.edges, self.masses, [(f.values, f.fitted_masses) for f in self.fits]
        edges = self.edges if self.edges.ndim == 1 else self.edges[k]
        return edges, self.masses[k], [(f.values[k], f.fitted_masses[k]) for f in self.fits]

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
    and is removed by ``discard`` if it never does."""

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(path) or os.curdir
        try:
            handle, self.temporary = tempfile.mkstemp(
                dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".part")
        except OSError as exc:
            raise BadInput(path, "unwritable", reason=exc.strerror or str(exc)) from None
        self.stream: IO[bytes] = os.fdopen(handle, "wb")

    def commit(self) -> None:
        self.stream.close()
        # mkstemp makes the file private; give it the mode a new file would get.
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(self.temporary, 0o666 & ~mask)
        os.replace(self.temporary, self.path)

    def discard(self) -> None:
        self.stream.close()
        if os.path.exists(self.temporary):
            os.unlink(self.temporary)


# -- number formats ---------------------------------------------------------

def float32_texts(values: npt.NDArray[np.float32]) -> List[str]:
    """The shortest decimal texts that read back as the same float32 values."""
    return [str(v) for v in values]


def float64_texts(values: npt.NDArray[np.float64]) -> List[str]:
    return [repr(v) for v in values.tolist()]


def json_numbers(texts: List[str]) -> List[Optional[float]]:
    numbers: List[Optional[float]] = []
    for text in texts:
        value = float(text)
        numbers.append(value if value - value == 0.0 else None)
    return numbers


# -- formats ----------------------------------------------------------------

def csv_lines(result: Result, progress: Progress) -> Iterator[str]:
    many = result.count > 1 or result.masses.ndim == 2
    header = (["histogram"] if many else []) + ["edge"] + result.names("value") \
        + ["mass"] + result.names("fitted_mass")
    yield ",".join(header) + "\n"
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        columns = [float32_texts(edges)]
        columns += [float32_texts(values) for values, _ in fits]
        columns.append(float32_texts(masses) + [""])
        columns += [float64_texts(fitted) + [""] for _, fitted in fits]
        lead = f"{k}," if many else ""
        yield "".join(lead + ",".join(cells) + "\n" for cells in zip(*columns))
        progress(1)


def json_document(result: Result, progress: Progress) -> Dict[str, object]:
    histograms = []
    for k in range(result.count):
        edges, masses, fits = result.row(k)
        histograms.append({
            "edges": json_numbers(float32_texts(edges)),
            "masses": json_numbers(float32_texts(masses)),
            "fits": {fit.method: {"values": json_numbers(float32_texts(values)),
                                  "fitted_masses": json_numbers(float64_texts(fitted))}
                     for fit, (values, fitted) in zip(result.fits, fits)},
        })
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
        arrays: Dict[str, npt.NDArray[np.generic]] = {
            "edges": result.edges, "masses": result.masses}
        arrays.update(zip(result.names("values"), (f.values for f in result.fits)))
        arrays.update(zip(result.names("fitted_masses"), (f.fitted_masses for f in result.fits)))
        np.savez(stream, **arrays)
    elif extension == ".npy":
        values = [f.values for f in result.fits]
        np.save(stream, values[0] if len(values) == 1 else np.stack(values))
    else:
        raise AssertionError(f"no writer for {extension}")
