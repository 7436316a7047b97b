"""Pictures of a matrix with matplotlib: a heatmap, totals by zone, a trip length
frequency distribution.

Needs the ``plot`` extra (``pip install 'orvanel[plot]'``).
"""

from __future__ import annotations

import math
import sys
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from orvanel._optional import require
from orvanel.tlfd import DEFAULT_BINS, BinsLike, TripLengthDistribution, tlfd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.colors import Colormap, Normalize

    from orvanel.matrix import Matrix

KINDS = ("heatmap", "totals", "tlfd")

# A heatmap draws at most this many cells across, and no more than its axes has pixels
# across: a larger table is drawn as the means of square blocks of zones.
MAX_ACROSS = 1000
# The automatic colour scale is logarithmic when the largest non-zero magnitude drawn is
# at least this many times the smallest: three orders of magnitude.
LOG_SPAN = 1000.0
# Zero cells on a logarithmic scale, and NaN cells on any scale.
ZERO_COLOUR = "#d0d0d0"
NAN_COLOUR = "#ff00ff"
# Totals by zone are bars for up to this many zones, lines beyond.
MAX_BARS = 60
# Tick labels per axis, at most about this many.
MAX_TICKS = 12

HEATMAP_SIZE = (7.0, 6.0)
CHART_SIZE = (8.0, 4.5)


def plot(
    matrix: Matrix,
    table: str,
    *,
    kind: str = "heatmap",
    ax: Axes | None = None,
    log: bool | None = None,
    by: str | None = None,
    bins: BinsLike | None = None,
) -> Axes:
    """Draw a picture of one table of a matrix and return the matplotlib axes.

    Parameters
    ----------
    matrix : Matrix
    table : str
        The table to draw.
    kind : {"heatmap", "totals", "tlfd"}, default "heatmap"
        ``"heatmap"``: every cell coloured by its value, origins down and destinations
        across, zone labels as tick labels, a colour bar labelled with the table's name.
        ``"totals"``: the row totals (productions) and column totals (attractions) of each
        zone. ``"tlfd"``: the trip length frequency distribution of ``table`` over the
        values of table ``by`` (see `orvanel.tlfd.tlfd`): the share of ``table`` in each
        bin, and its mean marked.
    ax : matplotlib.axes.Axes, optional
        The axes to draw in. Without it, a new figure: a pyplot figure when
        ``matplotlib.pyplot`` has been imported (so that notebooks and interactive
        sessions show it as usual), else a standalone figure drawn by the Agg renderer,
        which needs no display (``ax.figure.savefig(...)`` saves it).
    log : bool, optional
        A logarithmic scale: the colour scale of a heatmap, the value axis of the other
        kinds. None decides for a heatmap (logarithmic when the largest non-zero
        magnitude drawn is at least 1000 times the smallest, that is when they span three
        orders of magnitude or more) and means linear for the other kinds.
    by : str, optional
        ``kind="tlfd"`` only (and needed there): the table whose values make the bins.
    bins : int or array_like, optional
        ``kind="tlfd"`` only: a number of equal bins (20 by default) or the bin edges.

    Returns
    -------
    matplotlib.axes.Axes

    Raises
    ------
    ImportError
        If matplotlib is not installed.
    TableNotFoundError
        If the matrix has no table ``table`` (or ``by``); a `KeyError`.
    ValueError
        If ``kind`` is unknown, ``by`` is missing for ``"tlfd"`` or ``by``/``bins`` is
        given for another kind, or the bins are not valid.

    Notes
    -----
    Heatmap colours. A linear scale runs from the smallest to the largest finite value
    drawn (from zero to it when there is one value only). A logarithmic scale runs from
    the smallest to the largest positive value, and zero cells are drawn grey rather than
    as the smallest value. A table with negative values is drawn with a diverging scale
    centred on zero (blue below, red above, zero white), symmetric logarithmic when
    logarithmic: linear within the smallest non-zero magnitude of zero, logarithmic
    beyond. NaN cells are magenta; infinite ones take the colour of the end of the scale.
    A table with no non-zero finite value is drawn on a linear scale whatever ``log``
    says. A legend below the heatmap says which of grey and magenta appear.

    A table with more zones than fit across the axes (its width in pixels at the
    figure's resolution, and at most 1000) is drawn as the *means* of square blocks of
    zones, as many zones per block as needed (the last blocks may be smaller), so that
    the colour scale still reads as the value of a cell; a block with a NaN cell is
    NaN, so that NaN stays visible. The colour bar says the block size.
    """
    require("matplotlib", "plot", "drawing a matrix")
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))} (got {kind!r})")
    if kind == "tlfd":
        if by is None:
            raise ValueError("kind='tlfd' needs by: the table whose values make the bins")
    elif by is not None or bins is not None:
        raise ValueError(f"by and bins apply to kind='tlfd' only (got kind={kind!r})")
    values = matrix[table]
    if kind == "tlfd":
        assert by is not None
        distribution = tlfd(matrix, table, by, DEFAULT_BINS if bins is None else bins)
    axes = _new_axes(HEATMAP_SIZE if kind == "heatmap" else CHART_SIZE) if ax is None else ax
    if kind == "heatmap":
        _heatmap(axes, values, table, matrix.zone_labels, log)
    elif kind == "totals":
        _totals(axes, values, table, matrix.zone_labels, bool(log))
    else:
        draw_distribution(axes, distribution, bool(log))
    return axes


def _new_axes(size: tuple[float, float]) -> Axes:
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        figure = pyplot.figure(figsize=size, layout="constrained")
    else:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        figure = Figure(figsize=size, layout="constrained")
        FigureCanvasAgg(figure)
    axes: Axes = figure.add_subplot()
    return axes


def _label(name: str) -> str:
    """A table name as matplotlib shows it literally: control characters escaped, and
    ``$``, which would start mathematical notation, escaped too."""
    from orvanel.cli._text import printable

    return printable(name).replace("$", r"\$")


# -- heatmap -------------------------------------------------------------------------


def _heatmap(
    ax: Axes, values: NDArray[np.float64], table: str, labels: NDArray[np.int64], log: bool | None
) -> None:
    from matplotlib.patches import Patch

    zones = values.shape[0]
    width = ax.get_window_extent().width
    block = math.ceil(zones / max(1, min(MAX_ACROSS, int(width))))
    image = block_means(values, block)
    cmap, norm, image, legend = _colour_scale(image, log)
    # Each block covers its zones; the last one, perhaps smaller, is cut at the last zone.
    end = image.shape[0] * block - 0.5
    shown = ax.imshow(
        image,
        cmap=cmap,
        norm=norm,
        interpolation="nearest",
        extent=(-0.5, end, end, -0.5),
        aspect="equal",
    )
    ax.set_xlim(-0.5, zones - 0.5)
    ax.set_ylim(zones - 0.5, -0.5)
    ax.xaxis.tick_top()
    ax.xaxis.set_label_position("top")
    _zone_ticks(ax.xaxis, labels)
    _zone_ticks(ax.yaxis, labels)
    ax.set_xlabel("destination zone")
    ax.set_ylabel("origin zone")
    label = _label(table)
    if block > 1:
        label += f" (mean per cell of {block} \N{MULTIPLICATION SIGN} {block} zone blocks)"
    ax.figure.colorbar(shown, ax=ax, label=label)
    if legend:
        ax.legend(
            handles=[
                Patch(facecolor=colour, edgecolor="grey", label=what) for what, colour in legend
            ],
            loc="upper center",
            bbox_to_anchor=(0.5, 0.0),
            ncol=len(legend),
            frameon=False,
            fontsize="small",
        )


def block_means(values: NDArray[np.float64], block: int) -> NDArray[np.float64]:
    """The means of ``block`` x ``block`` squares of ``values``; the squares of the last
    row and column of squares may be smaller. A square holding a NaN is NaN."""
    if block == 1:
        return values
    zones = values.shape[0]
    starts = np.arange(0, zones, block)
    counts = np.diff(np.append(starts, zones)).astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        sums = np.add.reduceat(np.add.reduceat(values, starts, axis=0), starts, axis=1)
        return sums / np.outer(counts, counts)


def _colour_scale(
    image: NDArray[np.float64], log: bool | None
) -> tuple[Colormap, Normalize, NDArray[np.float64], list[tuple[str, str]]]:
    """The colour map, the scale and the values to draw, and which special colours
    appear, as (meaning, colour) pairs."""
    from matplotlib import colormaps
    from matplotlib.colors import LogNorm, Normalize, SymLogNorm

    finite = image[np.isfinite(image)]
    magnitudes = np.abs(finite[finite != 0])
    negative = bool((finite < 0).any())
    if magnitudes.size == 0:
        log = False
    elif log is None:
        log = bool(magnitudes.max() >= LOG_SPAN * magnitudes.min())
    legend = []
    norm: Normalize
    if negative:
        largest = float(magnitudes.max())
        cmap = colormaps["RdBu_r"].with_extremes(bad=NAN_COLOUR)
        if log:
            norm = SymLogNorm(float(magnitudes.min()), vmin=-largest, vmax=largest, base=10)
        else:
            norm = Normalize(-largest, largest)
    elif log:
        low = float(magnitudes.min())
        cmap = colormaps["viridis"].with_extremes(bad=NAN_COLOUR, under=ZERO_COLOUR)
        norm = LogNorm(low, float(magnitudes.max()))
        zero = image == 0
        if zero.any():
            # Below the scale, so drawn in the colour for values under it.
            image = np.where(zero, low / 10, image)
            legend.append(("zero", ZERO_COLOUR))
    else:
        cmap = colormaps["viridis"].with_extremes(bad=NAN_COLOUR)
        low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 0.0)
        if low == high:
            # One value only: a scale from zero to it, so that it is told from zero.
            low, high = min(low, 0.0), max(high, 0.0)
        norm = Normalize(low, high) if low < high else Normalize(0.0, 1.0)
    if np.isnan(image).any():
        legend.append(("NaN", NAN_COLOUR))
    return cmap, norm, image, legend


def _zone_ticks(axis: Any, labels: NDArray[np.int64]) -> None:
    """At most about `MAX_TICKS` ticks at zone positions, labelled with the zones'
    labels; with the default labels 1..Z, at multiples of a round step."""
    zones = len(labels)
    step = _round_step(zones / MAX_TICKS)
    positions = list(range(step - 1, zones, step))
    if step >= 5 or not positions:
        positions.insert(0, 0)
    axis.set_ticks(positions, [str(labels[p]) for p in positions])
    if max(len(str(labels[p])) for p in positions) > 4 and axis.axis_name == "x":
        axis.set_tick_params(labelrotation=90)


def _round_step(at_least: float) -> int:
    """The smallest of 1, 2, 5, 10, 20, 50, ... that is at least ``at_least``."""
    step = 1
    while step < at_least:
        for factor in (2, 5 / 2, 2):
            step = int(step * factor)
            if step >= at_least:
                break
    return step


# -- totals and distributions -------------------------------------------------------


def _totals(
    ax: Axes, values: NDArray[np.float64], table: str, labels: NDArray[np.int64], log: bool
) -> None:
    zones = values.shape[0]
    with np.errstate(over="ignore", invalid="ignore"):
        rows, columns = values.sum(axis=1), values.sum(axis=0)
    positions = np.arange(zones)
    series = ((rows, "origin totals (productions)"), (columns, "destination totals (attractions)"))
    if zones <= MAX_BARS:
        # Side by side, a pair of bars per zone.
        for offset, (totals, what) in zip((-0.2, 0.2), series):
            ax.bar(positions + offset, totals, width=0.4, label=what)
    else:
        for totals, what in series:
            ax.plot(positions, totals, linewidth=0.8, label=what)
    _zone_ticks(ax.xaxis, labels)
    ax.set_xlim(-0.5, zones - 0.5)
    ax.set_xlabel("zone")
    ax.set_ylabel(_label(table))
    ax.set_title(f"{_label(table)}: totals by zone")
    if log:
        negative = bool((rows < 0).any() or (columns < 0).any())
        ax.set_yscale("symlog" if negative else "log")
    # Below the axes, where it hides no bar.
    ax.legend(
        loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, frameon=False, fontsize="small"
    )


def draw_distribution(ax: Axes, distribution: TripLengthDistribution, log: bool) -> None:
    """Draw a trip length frequency distribution in ``ax``: bars of the share in each
    bin, the mean marked, and what was left out said below the axes."""
    from matplotlib.ticker import PercentFormatter

    edges = distribution.edges
    ax.bar(
        edges[:-1],
        distribution.shares,
        width=np.diff(edges),
        align="edge",
        color="C0",
        edgecolor="white",
        linewidth=0.5,
        label=f"share of {_label(distribution.table)}",
    )
    if math.isfinite(distribution.mean):
        ax.axvline(
            distribution.mean,
            color="black",
            linestyle="--",
            label=f"mean {_label(distribution.by)}: {distribution.mean:.4g}",
        )
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_xlabel(_label(distribution.by))
    ax.set_ylabel(f"share of {_label(distribution.table)}")
    ax.set_title(f"{_label(distribution.table)} by {_label(distribution.by)}")
    if log:
        ax.set_yscale("log")
    if distribution.left_out_cells:
        table, by = _label(distribution.table), _label(distribution.by)
        ax.annotate(
            f"left out: {distribution.left_out_cells:,} cells, {distribution.left_out:,.6g} "
            f"{table} ({by} NaN or outside the bins, or {table} NaN)",
            xy=(0.0, -0.12),
            xycoords="axes fraction",
            va="top",
            fontsize="small",
        )
    ax.legend(loc="best", fontsize="small")
