"""Choropleths: units coloured by their score on a map, one map or a small
multiple per dimension, and a map of the change in rank between editions."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._geo import DOT_RADIUS, Placed, place, shape_values
from indexfuse_tools._geo.classes import (
    DIVERGING,
    NO_SCORE,
    NO_UNIT_LINE,
    SEQUENTIAL,
    Classes,
    change_classes,
    quantile_classes,
)
from indexfuse_tools._plots.style import MUTED, NOTE_SIZE, WIDTH, new_figure, shorten, style

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.path import Path as DrawnPath

__all__ = ["plot_map", "draw_choropleth", "plot_map_multiples"]


def _paths(placed: Placed) -> list[DrawnPath]:
    """Each shape as one matplotlib path: its rings (closed), then its dot."""
    from matplotlib.path import Path as DrawnPath

    drawn = placed.geometry.drawn
    paths = []
    for number, polygons in enumerate(drawn.polygons):
        vertices: list[np.ndarray] = []
        codes: list[np.ndarray] = []
        for polygon in polygons:
            for ring in polygon:
                vertices.append(np.vstack([ring, ring[:1]]).astype(np.float64))
                codes.append(np.r_[DrawnPath.MOVETO, np.full(len(ring) - 1, DrawnPath.LINETO), DrawnPath.CLOSEPOLY])
        dot = drawn.dots[number]
        if dot is not None:
            circle = DrawnPath.circle(dot, DOT_RADIUS)
            vertices.append(np.asarray(circle.vertices))
            codes.append(np.asarray(circle.codes))
        if not vertices:  # smaller than a map unit: a speck where it is
            vertices, codes = [np.zeros((1, 2))], [np.array([DrawnPath.MOVETO])]
        paths.append(DrawnPath(np.concatenate(vertices), np.concatenate(codes).astype(np.uint8)))
    return paths


def _line_width(count: int) -> float:
    return 0.35 if count <= 300 else 0.15 if count <= 5000 else 0.0


def draw_choropleth(
    ax: Axes, placed: Placed, values: np.ndarray, classes: Classes, paths: Sequence[DrawnPath] | None = None
) -> None:
    """Shapes on ``ax`` coloured by the class of their unit's value (per shape, in ``values``)."""
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import PathPatch

    paths = list(paths) if paths is not None else _paths(placed)
    drawn = placed.geometry.drawn
    has_unit = placed.joined.unit_of_shape >= 0
    index = np.full(len(values), -1, dtype=np.int64)
    index[np.isfinite(values)] = classes.index[np.isfinite(values)] if len(classes.index) == len(values) else -1
    colours = np.array([*classes.colours, NO_SCORE])[np.where(index >= 0, index, len(classes.colours))]
    width = _line_width(len(paths))
    # Pale classes (no change in rank) need a border that white would not draw.
    edge = "white" if classes.colours[:1] != [DIVERGING[0]] else "#c0c0c0"
    scored = PatchCollection(
        [PathPatch(p) for p, keep in zip(paths, has_unit) if keep], facecolors=colours[has_unit], edgecolors=edge,
        linewidths=width,
    )  # fmt: skip
    ax.add_collection(scored)
    if not has_unit.all():
        blank = PatchCollection(
            [PathPatch(p) for p, keep in zip(paths, has_unit) if not keep], facecolors="white", edgecolors=NO_UNIT_LINE,
            linewidths=max(width, 0.2), hatch="//////",
        )  # fmt: skip
        ax.add_collection(blank)
    ax.set_xlim(0, drawn.width)
    ax.set_ylim(drawn.height, 0)
    ax.set_aspect("equal")
    ax.set_axis_off()


def _legend(
    fig: Figure, classes: Classes, label: str, with_blank: bool, anchor: tuple[float, float], columns: int = 5
) -> None:
    from matplotlib.patches import Patch

    handles = [Patch(facecolor=colour, edgecolor="none", label=text) for colour, text in zip(classes.colours, classes.labels)]
    handles.append(Patch(facecolor=NO_SCORE, edgecolor="none", label="no score"))
    if with_blank:
        handles.append(Patch(facecolor="white", edgecolor=NO_UNIT_LINE, hatch="//////", label="not in the table"))
    columns = min(len(handles), columns)
    fig.legend(
        handles=handles, loc="upper center", bbox_to_anchor=anchor, ncols=columns, title=shorten(label, 60),
        fontsize=NOTE_SIZE, title_fontsize=NOTE_SIZE + 1, handlelength=1.4, columnspacing=1.2, frameon=False,
    )  # fmt: skip


def _classes_of(values: np.ndarray, diverging: bool, units: np.ndarray) -> Classes:
    found = change_classes(values[units]) if diverging else quantile_classes(values[units])
    index = np.full(len(values), -1, dtype=np.int64)
    index[units] = found.index
    return Classes(found.edges, found.colours, found.labels, index)


def plot_map(
    table: pd.DataFrame,
    geometry: Any,
    *,
    column: str = "composite",
    key: Any = None,
    label: str | None = None,
    title: str | None = None,
    change: bool = False,
    placed: Placed | None = None,
) -> Figure:
    """A choropleth: each unit's shape coloured by its value in ``column``.

    Units are put in seven classes of about equal count (quantiles), from
    dark (lowest) to light (highest) in viridis, which readers with any
    common colour-vision deficiency tell apart; the legend gives each
    class's span. A unit without a value is grey ("no score"), and a shape
    that no unit of the table matched is hatched ("not in the table").

    Parameters
    ----------
    table : pandas.DataFrame
        One row per unit, such as :func:`results` makes; the row labels (or
        the column ``key`` names) find each unit's shape.
    geometry : str, os.PathLike, GeoDataFrame or Geometry
        The shapes, as :func:`read_geometry` reads them: ``"world"``,
        ``"us-states"``, ``"us-counties"``, a file or a table.
    column : str, default "composite"
        The column coloured.
    key : str or tuple, optional
        How units find their shapes: the shapes' property the row labels
        match (``"iso_a3"``), or a pair (the table's column, the property).
        By default every property of a bundled set is tried, or the
        property of a file that matches the most units.
    label : str, optional
        The legend's title (default: ``column``).
    title : str, optional
        The chart's title.
    change : bool, default False
        Whether ``column`` is a change in rank (positive: the unit climbed):
        seven classes of falls, no change and rises, in a diverging palette.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import plot_map
    >>> table = pd.DataFrame({"composite": [0.2, 0.5, 0.9]}, index=["Ohio", "Utah", "Maine"])
    >>> fig = plot_map(table, "us-states", title="Three states")
    """
    if column not in table.columns:
        raise KeyError(f"plot_map(): the table has no column {column!r}")
    placed = placed or place(geometry, key, table, table.index, "plot_map()")
    values = shape_values(placed, table[column])
    units = placed.joined.unit_of_shape >= 0
    classes = _classes_of(values, change, units)
    drawn = placed.geometry.drawn
    map_height = WIDTH * drawn.height / drawn.width
    legend_rows = 2 if len(classes.colours) + 2 > 5 else 1
    top = 0.35 if title else 0.1
    bottom = 0.45 + 0.22 * legend_rows
    with style():
        fig = new_figure(WIDTH, map_height + top + bottom, layout=None)
        total = map_height + top + bottom
        ax = fig.add_axes((0.0, bottom / total, 1.0, map_height / total))
        draw_choropleth(ax, placed, values, classes)
        if title:
            fig.text(0.01, 1 - 0.08 / total, shorten(title, 90), ha="left", va="top", fontweight="bold", fontsize=11)
        _legend(fig, classes, label or column, not units.all(), (0.5, (bottom - 0.02) / total))
        fig.text(0.99, 0.02 / total, drawn.note, ha="right", va="bottom", fontsize=NOTE_SIZE - 1, color=MUTED)
    return fig


def plot_map_multiples(placed: Placed, table: pd.DataFrame, columns: Sequence[Hashable], titles: Sequence[str]) -> Figure:
    """One small map per column, each in its own seven quantile classes, with one legend for all."""
    drawn = placed.geometry.drawn
    paths = _paths(placed)
    count = len(columns)
    per_row = 1 if count == 1 else 2 if count <= 4 else 3
    rows = -(-count // per_row)
    cell_width = WIDTH / per_row
    cell_height = cell_width * drawn.height / drawn.width + 0.3
    legend = 0.75
    total = rows * cell_height + legend
    units = placed.joined.unit_of_shape >= 0
    with style():
        fig = new_figure(WIDTH, total, layout=None)
        for number, (column, title) in enumerate(zip(columns, titles)):
            row, col = divmod(number, per_row)
            bottom = total - (row + 1) * cell_height
            ax = fig.add_axes((col / per_row, bottom / total, 1 / per_row, (cell_height - 0.3) / total))
            values = shape_values(placed, table[column])
            draw_choropleth(ax, placed, values, _classes_of(values, False, units), paths)
            fig.text((col + 0.02) / per_row, (bottom + cell_height - 0.05) / total, shorten(title, 40),
                     ha="left", va="top", fontweight="bold", fontsize=NOTE_SIZE + 1)  # fmt: skip
        words = Classes([], list(SEQUENTIAL), ["lowest seventh", "", "", "middle", "", "", "highest seventh"], np.array([]))
        _legend(fig, words, "each map in seven classes of about as many units", not units.all(),
                (0.5, (legend - 0.05) / total), columns=len(words.colours) + 2)  # fmt: skip
    return fig
