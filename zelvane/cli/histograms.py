"""What the readers hand over: edges and masses as read, and where each came from."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Tuple

if TYPE_CHECKING:
    import numpy.typing as npt

STDIN = "-"


@dataclass(frozen=True)
class Histograms:
    """Edges and masses as read, with what locates each number in the file.

    ``edges`` is 1-D (shared) or 2-D (one row per histogram), ``masses`` 1-D
    for one histogram or 2-D for one per row; the first edge may be ``-inf`` and
    the last ``inf`` (open ends). ``names`` are what messages call the edges and
    the masses (an archive's array names); a table keeps the line of every edge
    in ``lines`` and of every mass in ``mass_lines`` (the same lines when None), the
    margins of error published beside its counts in ``margins`` (or None), and the
    lines it skipped as no part of the table (each with its first cell) in ``skipped``,
    and the header of the column of each histogram of a wide table in ``columns``.
    """

    source: str
    edges: npt.NDArray[Any]
    masses: npt.NDArray[Any]
    names: Tuple[str, str] = ("edge", "mass")
    lines: Optional[Tuple[int, ...]] = None
    mass_lines: Optional[Tuple[int, ...]] = None
    margins: Optional[npt.NDArray[Any]] = None
    skipped: Tuple[Tuple[int, str], ...] = ()
    columns: Tuple[str, ...] = ()

    @property
    def count(self) -> int:
        """The number of histograms."""
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    @property
    def open_ends(self) -> Tuple[bool, bool]:
        """Whether the first bin starts at -inf and whether the last ends at inf (in
        any row)."""
        import numpy as np

        edges = np.asarray(self.edges)
        if edges.size == 0 or edges.dtype.kind != "f":
            return False, False
        return bool((edges[..., 0] == -np.inf).any()), bool((edges[..., -1] == np.inf).any())

    def line(self, index: int, mass: bool = False) -> Optional[str]:
        """The table line of edge ``index`` (of mass ``index`` with ``mass``), None
        for other inputs."""
        lines = self.mass_lines if mass and self.mass_lines is not None else self.lines
        if lines is None or not 0 <= index < len(lines):
            return None
        return f"line {lines[index]}"



def display_name(path: str) -> str:
    """The name that messages give an input."""
    return "<stdin>" if path == STDIN else path
