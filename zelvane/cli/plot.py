"""Figures of the command line: each histogram beside its fitted densities.

Every histogram gets two panels on a shared x axis: above, the histogram as
mass per unit width with the fitted piecewise linear densities over it; below,
each method's error in every bin's mass (fitted minus given). Many histograms
give a grid of the first few. Figures are made as ``matplotlib.figure.Figure``
objects on their own canvas, so nothing touches pyplot's global state.
"""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, Union

from zelvane.cli.errors import BadInput

if TYPE_CHECKING:
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]
    from matplotlib.figure import Figure, SubFigure  # type: ignore[import-untyped, unused-ignore]

    from zelvane.cli.write import FitRow, Result

    Truth = Callable[[Any], Any]

# Histograms drawn in a grid at most, and the grid's columns.
GRID_LIMIT = 6
GRID_COLUMNS = 2
# Each method's colour and marker, so that a method looks the same in every panel.
STYLES = {
    "iterative": {"color": "C0", "marker": "o"},
    "exact": {"color": "C3", "marker": "s"},
    "smooth": {"color": "C2", "marker": "^"},
}
HISTOGRAM_COLOR = "0.8"


def require_matplotlib() -> None:
    """Fail as bad input, before anything is read or written, when matplotlib
    is missing."""
    try:
        import matplotlib  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        raise BadInput(None, "needs_matplotlib") from None


def _style(method: str) -> Any:
    return STYLES.get(method, {"color": None, "marker": "."})


def draw_histogram(figure: Union[Figure, SubFigure], edges: Any, masses: Any,
                   fits: Sequence[Tuple[str, FitRow]], title: Optional[str],
                   legend: bool, truth: Optional[Truth] = None) -> List[Axes]:
    """Draw one histogram and its fits on a (sub)figure; return its axes, top
    to bottom. ``truth``, the density that the masses came from where it is
    known, adds its curve and a panel of each fit's departure from it."""
    import numpy as np

    ratios = [3, 1.3, 1] if truth is not None else [3, 1]
    panels = figure.subplots(len(ratios), 1, sharex=True,
                             gridspec_kw={"height_ratios": ratios})
    density, error = panels[0], panels[-1]
    edges64 = np.asarray(edges, dtype=np.float64)
    masses64 = np.asarray(masses, dtype=np.float64)
    density.stairs(masses64 / np.diff(edges64), edges64, fill=True,
                   color=HISTOGRAM_COLOR, label="histogram (mass / width)")
    if truth is not None:
        grid = np.linspace(edges64[0], edges64[-1], 800)
        density.plot(grid, truth(grid), color="k", linestyle="--", linewidth=1.0,
                     label="true density")
    markers = len(edges) <= 80
    for method, fit_row in fits:
        style = _style(method)
        marker = style["marker"] if markers else None
        # A fit on finer knots is marked at the edges alone.
        knots = np.asarray(fit_row.knots, dtype=np.float64)
        values = np.asarray(fit_row.values, dtype=np.float64)
        fitted = fit_row.fitted_masses
        drawn = {"color": style["color"], "marker": marker, "markersize": 3,
                 "markevery": fit_row.refine}
        density.plot(knots, values, linewidth=1.4, label=f"{method} fit", **drawn)
        if truth is not None:
            panels[1].plot(knots, values - truth(knots), linewidth=1.0, **drawn)
        error.stairs(np.asarray(fitted, dtype=np.float64) - masses64, edges64,
                     color=style["color"], linewidth=1.2, baseline=None)
    density.set_ylabel("density")
    error.set_ylabel("mass error\n(fitted − given)")
    error.set_xlabel("x")
    zero_lines = [error]
    if truth is not None:
        panels[1].set_ylabel("value error\n(fitted − true)")
        zero_lines.append(panels[1])
    for axes in zero_lines:
        axes.axhline(0.0, color="0.4", linewidth=0.6)
        axes.ticklabel_format(axis="y", style="sci", scilimits=(-2, 3))
    for axes in panels:
        axes.grid(True, color="0.92", linewidth=0.6)
        axes.set_axisbelow(True)
    if title:
        density.set_title(title, fontsize="medium")
    if legend:
        density.legend(loc="best", fontsize="small", frameon=False)
    return list(panels)


def make_figure(result: Result, title: Optional[str], truth: Optional[Truth] = None) -> Figure:
    """The figure of a result: one histogram alone, or a grid of the first
    ``GRID_LIMIT``."""
    from matplotlib.figure import Figure  # type: ignore[import-untyped, unused-ignore]

    count = result.count
    shown = min(count, GRID_LIMIT)
    if count == 1:
        figure = Figure(figsize=(8.0, 5.6 if truth is None else 6.8), layout="constrained")
        edges, masses, fits = result.row(0)
        draw_histogram(figure, edges, masses, _named(result, fits), title, legend=True,
                       truth=truth)
        return figure
    columns = min(GRID_COLUMNS, shown)
    rows = -(-shown // columns)
    figure = Figure(figsize=(5.2 * columns, 4.2 * rows), layout="constrained")
    cells = figure.subfigures(rows, columns, squeeze=False)
    for k in range(shown):
        edges, masses, fits = result.row(k)
        draw_histogram(cells[k // columns][k % columns], edges, masses,
                       _named(result, fits), f"histogram {k}", legend=k == 0)
    for k in range(shown, rows * columns):
        cells[k // columns][k % columns].set_visible(False)
    heading = f"first {shown} of {count} histograms" if shown < count else f"{count} histograms"
    figure.suptitle(f"{title}: {heading}" if title else heading)
    return figure


def _named(result: Result, fits: Sequence[FitRow]) -> List[Tuple[str, FitRow]]:
    return [(f.method, fit_row) for f, fit_row in zip(result.fits, fits)]


def write_plot(stream: IO[bytes], extension: str, result: Result, title: Optional[str],
               truth: Optional[Truth] = None) -> None:
    """Draw ``result`` and write it as PNG or SVG to a binary stream."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import-untyped, unused-ignore]

    figure = make_figure(result, title, truth)
    FigureCanvasAgg(figure)
    figure.savefig(stream, format=extension.lstrip("."), dpi=110)
