"""Figures of the command line: each histogram beside its fitted densities.

Every histogram gets two panels on a shared x axis: above, the histogram as
mass per unit width with the fitted piecewise linear densities over it; below,
each method's error in every bin's mass (fitted minus given). Many histograms
give a grid of the first few. A fit with a confidence band (``--bands``) has it shaded
beneath its line, in its colour. Figures are made as ``matplotlib.figure.Figure``
objects on their own canvas, so nothing touches pyplot's global state.
"""

from __future__ import annotations

from typing import (IO, TYPE_CHECKING, Any, Callable, List, Literal, Optional, Sequence, Tuple,
                    Union)

from zelvane.cli.errors import BadInput

if TYPE_CHECKING:
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]
    from matplotlib.figure import Figure, SubFigure  # type: ignore[import-untyped, unused-ignore]

    from zelvane.cli.results import FitRow, Result

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


def prepare_plot(path: Optional[str]) -> Optional[str]:
    """The extension of the plot's file, once matplotlib and the destination are known
    to be there; None without a plot."""
    if path is None:
        return None
    from zelvane.cli.write import PLOT_EXTENSIONS, check_destination

    extension = check_destination(path, "plot_extension", PLOT_EXTENSIONS)
    require_matplotlib()
    return extension


def _style(method: str) -> Any:
    return STYLES.get(method, {"color": None, "marker": "."})


def band_label(level: Optional[float]) -> str:
    return "confidence band" if level is None else f"{100 * level:g} % band"


def draw_histogram(figure: Union[Figure, SubFigure], edges: Any, masses: Any,
                   fits: Sequence[Tuple[str, FitRow]], title: Optional[str],
                   legend: bool, truth: Optional[Truth] = None,
                   level: Optional[float] = None) -> List[Axes]:
    """Draw one histogram and its fits on a (sub)figure; return its axes, top
    to bottom. ``truth``, the density that the masses came from where it is
    known, adds its curve and a panel of each fit's departure from it. A fit with a
    band (at `level`) has it shaded beneath its line."""
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
        line, = density.plot(knots, values, linewidth=1.4, label=f"{method} fit", **drawn)
        if fit_row.band is not None:
            density.fill_between(knots, fit_row.band[0], fit_row.band[1], color=line.get_color(),
                                 alpha=0.25, linewidth=0, zorder=line.get_zorder() - 0.5,
                                 label=f"{method} fit, {band_label(level)}")
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
    _finish(list(panels), zero_lines, title, "best" if legend else None)
    return list(panels)


def _finish(panels: List[Axes], zero_lines: List[Axes], title: Optional[str],
            legend_at: Optional[Literal["best", "center right"]]) -> None:
    """The common dress of a figure's panels, the density's on top: a zero line on
    each error panel, a light grid, the title and the legend."""
    for axes in zero_lines:
        axes.axhline(0.0, color="0.4", linewidth=0.6)
        axes.ticklabel_format(axis="y", style="sci", scilimits=(-2, 3))
    for axes in panels:
        axes.grid(True, color="0.92", linewidth=0.6)
        axes.set_axisbelow(True)
    if title:
        panels[0].set_title(title, fontsize="medium")
    if legend_at:
        panels[0].legend(loc=legend_at, fontsize="small", frameon=False)


def draw_density(figure: Union[Figure, SubFigure], edges: Any, masses: Any, fitted: Any,
                 density: Any, title: Optional[str], legend: bool,
                 band: Optional[Tuple[Any, Optional[float]]] = None) -> List[Axes]:
    """Draw a histogram that may have open ends and its fitted density, tails and all:
    above, the bins between the finite edges as a share of the whole per unit width, the
    density drawn by its own ``plot``, and each open bin shaded with its share; below,
    the error of every bin's mass (an open bin's at its finite edge). `band`, the
    density's ``Confidence`` and its level, is shaded beneath the density, tails too."""
    import numpy as np

    density_axes, error = figure.subplots(2, 1, sharex=True,
                                          gridspec_kw={"height_ratios": [3, 1]})
    edges64 = np.asarray(edges, dtype=np.float64)
    masses64 = np.asarray(masses, dtype=np.float64)
    fitted64 = np.asarray(fitted, dtype=np.float64)
    total = masses64.sum()
    finite = np.isfinite(edges64)
    left, right = not finite[0], not finite[-1]
    body = edges64[finite]
    inner = masses64[int(left):len(masses64) - int(right)]
    if len(body) > 1:
        density_axes.stairs(inner / total / np.diff(body), body, fill=True,
                            color=HISTOGRAM_COLOR, label="histogram (share / width)")
    style = _style("smooth")
    density.plot(density_axes, color=style["color"], linewidth=1.4, label="smooth fit")
    low, high = body[0], body[-1]
    if left:
        low = min(low, float(density.ppf(0.01)))
    if right:
        high = max(high, float(density.ppf(0.99)))
    span = high - low if high > low else 1.0
    if band is not None:
        points = np.union1d(np.asarray(density.knots, dtype=np.float64),
                            np.linspace(low - 0.02 * span, high + 0.02 * span, 400))
        band_low, band_high = band[0].pdf(points)
        density_axes.fill_between(points, band_low, band_high, color=style["color"], alpha=0.25,
                                  linewidth=0, zorder=1.5,
                                  label=f"smooth fit, {band_label(band[1])}")
    for side, shown in ((0, left), (-1, right)):
        if not shown:
            continue
        start, stop = (low - 0.02 * span, body[0]) if side == 0 else (body[-1], high + 0.02 * span)
        density_axes.axvspan(start, stop, color=style["color"], alpha=0.08, linewidth=0)
        share = masses64[side] / total
        label = f"< {body[0]:g}" if side == 0 else f"{body[-1]:g}+"
        density_axes.annotate(f"{label}: {share:.1%}", xy=((start + stop) / 2, 0.9),
                              xycoords=("data", "axes fraction"), ha="center",
                              fontsize="small", color="0.25")
    error.stairs(fitted64[int(left):len(fitted64) - int(right)] - inner, body,
                 color=style["color"], linewidth=1.2, baseline=None)
    ends = [(body[0], 0)] * left + [(body[-1], -1)] * right
    for x, k in ends:
        error.plot([x], [fitted64[k] - masses64[k]], linestyle="none", marker="o",
                   color=style["color"], markersize=4)
    density_axes.set_xlim(low - 0.02 * span, high + 0.02 * span)
    density_axes.set_ylabel("density")
    error.set_ylabel("mass error\n(fitted − given)")
    error.set_xlabel("x")
    _finish([density_axes, error], [error], title, "center right" if legend else None)
    return [density_axes, error]


def make_figure(result: Result, title: Optional[str], truth: Optional[Truth] = None,
                densities: Optional[Sequence[Any]] = None) -> Figure:
    """The figure of a result: one histogram alone, or a grid of the first
    ``GRID_LIMIT``. With ``densities`` (the fitted density of each histogram shown),
    histograms with open ends are drawn with their tails."""
    from matplotlib.figure import Figure  # type: ignore[import-untyped, unused-ignore]

    count = result.count
    if densities is not None:
        return _density_figure(result, title, densities)
    shown = min(count, GRID_LIMIT)
    level = next((f.band.level for f in result.fits if f.band is not None), None)
    if count == 1:
        figure = Figure(figsize=(8.0, 5.6 if truth is None else 6.8), layout="constrained")
        edges, masses, fits = result.row(0)
        draw_histogram(figure, edges, masses, _named(result, fits), title, legend=True,
                       truth=truth, level=level)
        return figure
    columns = min(GRID_COLUMNS, shown)
    rows = -(-shown // columns)
    figure = Figure(figsize=(5.2 * columns, 4.2 * rows), layout="constrained")
    cells = figure.subfigures(rows, columns, squeeze=False)
    for k in range(shown):
        edges, masses, fits = result.row(k)
        draw_histogram(cells[k // columns][k % columns], edges, masses,
                       _named(result, fits), f"histogram {k}", legend=k == 0, level=level)
    for k in range(shown, rows * columns):
        cells[k // columns][k % columns].set_visible(False)
    heading = f"first {shown} of {count} histograms" if shown < count else f"{count} histograms"
    figure.suptitle(f"{title}: {heading}" if title else heading)
    return figure


def _density_figure(result: Result, title: Optional[str], densities: Sequence[Any]) -> Figure:
    from matplotlib.figure import Figure  # type: ignore[import-untyped, unused-ignore]

    count = result.count
    shown = min(count, GRID_LIMIT, len(densities))
    columns = min(GRID_COLUMNS, shown)
    rows = -(-shown // columns)
    size = (8.0, 5.6) if shown == 1 else (5.2 * columns, 4.2 * rows)
    figure = Figure(figsize=size, layout="constrained")
    cells = figure.subfigures(rows, columns, squeeze=False)
    banded = result.fits[0].band
    for k in range(shown):
        edges, masses, (fit_row, *_) = result.row(k)
        band = None
        if banded is not None and k < len(banded.intervals):
            band = (banded.intervals[k], banded.level)
        draw_density(cells[k // columns][k % columns], edges, masses, fit_row.fitted_masses,
                     densities[k], title if count == 1 else f"histogram {k}", legend=k == 0,
                     band=band)
    for k in range(shown, rows * columns):
        cells[k // columns][k % columns].set_visible(False)
    if count > 1:
        heading = f"first {shown} of {count} histograms" if shown < count \
            else f"{count} histograms"
        figure.suptitle(f"{title}: {heading}" if title else heading)
    return figure


def _named(result: Result, fits: Sequence[FitRow]) -> List[Tuple[str, FitRow]]:
    return [(f.method, fit_row) for f, fit_row in zip(result.fits, fits)]


def write_plot(stream: IO[bytes], extension: str, result: Result, title: Optional[str],
               truth: Optional[Truth] = None, densities: Optional[Sequence[Any]] = None) -> None:
    """Draw ``result`` and write it as PNG or SVG to a binary stream."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import-untyped, unused-ignore]

    figure = make_figure(result, title, truth, densities)
    FigureCanvasAgg(figure)
    figure.savefig(stream, format=extension.lstrip("."), dpi=110)
