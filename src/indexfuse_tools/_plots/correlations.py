"""How the indicators of each dimension correlate: one heat map per dimension.

The maps are placed by hand rather than by a layout engine: their labels are
measured first, every cell gets the same size, chosen from the number of
indicators and the room their labels leave, and the colour bar gets a column
of its own at the right, which no title reaches.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from indexfuse_tools._core import fixed, split_key
from indexfuse_tools._plots.style import (
    FONT_SIZE,
    INK,
    NOTE_SIZE,
    TITLE_SIZE,
    WIDTH,
    new_figure,
    shorten,
    style,
    text_size,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.image import AxesImage

    from indexfuse_tools._audit import Audit

__all__ = ["plot_correlations"]

# Sides of a cell in inches: roomy for a few indicators, and never so small
# that a label's line is taller than its cell.
CELL_MOST = 0.45
CELL_LEAST = 0.18
# Inches around the figure, between maps side by side, between rows of maps
# and between the maps and the colour bar.
MARGIN = 0.12
GAP = 0.35
ROW_GAP = 0.3
BAR_GAP = 0.3
BAR_WIDTH = 0.14
# Points between a tick label and its map, and between a map and its name
# (matplotlib's own title pad).
TICK_PAD = 3.0
TITLE_PAD = 6.0
MAP_TITLE_SIZE = 10
# Below this size a cell's coefficient cannot be read: the colour tells it alone.
SMALLEST_NUMBER = 5.0
# What a coefficient takes the most room as.
WIDEST_NUMBER = "-0.00"


@dataclass(frozen=True)
class _Map:
    """One dimension's map before it is placed: its name, its labels and its coefficients."""

    name: str
    labels: list[str]
    values: np.ndarray
    # inches the longest label takes along its line
    label_length: float


@dataclass(frozen=True)
class _Place:
    """Where a map goes, in inches from the figure's top left corner."""

    map: _Map
    left: float
    top: float
    title: str


def plot_correlations(
    result: Audit, *, title: str | None = "How the indicators of each dimension correlate"
) -> Figure:
    """One heat map per dimension of two or more indicators: the correlation
    of every pair, after directions (blue: they move together, as they should).

    Every cell has the same size, chosen from the number of indicators and
    the length of their labels; labels wider than a cell are turned upright
    under the map, and a label longer than 32 characters is cut (the report's
    tables keep it whole). A nested dimension's name is wrapped over the room
    of its map rather than cut.

    Parameters
    ----------
    result : Audit
        What :func:`audit` returned.
    title : str or None, optional

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        If no dimension has two indicators (there is nothing to correlate).

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import audit, plot_correlations
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": {"output": ["gdp"], "work": ["jobs"]},
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> data["growth"] = [1.5, 2.5, 3.5, 3.0, 5.5, 5.0]
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp", "growth"], "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> fig = plot_correlations(audit(model, data))
    >>> [ax.get_title("right") for ax in fig.axes if ax.get_title("right")]
    ['economy']
    """
    maps = _maps(result)
    if not maps:
        raise ValueError("no dimension has two or more indicators: there are no correlations to draw")
    bar_room = BAR_GAP + BAR_WIDTH + _bar_labels_width()
    room = WIDTH - 2 * MARGIN - bar_room
    cell = _cell_size(maps, room)
    upright = any(shown.label_length > cell - 0.04 for shown in maps)
    places, content_width, content_height = _arrange(maps, cell, upright, room)
    width = max(content_width + bar_room, min(WIDTH - 2 * MARGIN, _title_width(title)))
    heading = _wrap(title or "", width, TITLE_SIZE, "bold")
    heading_height = text_size(heading, TITLE_SIZE, weight="bold")[1] + 0.15 if heading else 0.0
    bar_height = min(3.0, max(1.2, len(places[0].map.labels) * cell))
    map_top = places[0].top + _title_height(places[0].title)
    height = max(content_height, map_top + bar_height + 0.1)
    size = (width + 2 * MARGIN, height + heading_height + 2 * MARGIN)
    with style():
        fig = new_figure(*size, layout=None)
        image = None
        for place in places:
            box = _inches_to_figure(
                size,
                MARGIN + place.left,
                MARGIN + heading_height + place.top + _title_height(place.title),
                len(place.map.labels) * cell,
            )
            image = _draw_map(fig.add_axes(box), place, cell, upright)
        assert image is not None
        bar_box = (MARGIN + content_width + BAR_GAP, MARGIN + heading_height + map_top, BAR_WIDTH, bar_height)
        _colour_bar(fig, image, size, bar_box)
        if heading:
            fig.suptitle(
                heading,
                x=MARGIN / size[0],
                y=1 - MARGIN / size[1],
                ha="left",
                va="top",
                fontsize=TITLE_SIZE,
                fontweight="bold",
            )
    return fig


def _maps(result: Audit) -> list[_Map]:
    """The dimensions of two or more indicators, each with its labels as drawn."""
    table = result.indicators
    directions = {
        (name, label): float(direction)
        for name, label, direction in zip(table["dimension"], table["indicator"], table["direction"])
    }
    maps = []
    for name, matrix in result.correlations.items():
        if matrix.shape[0] < 2:
            continue
        # One line a label: a second line would double the room every row of cells needs.
        labels = [
            shorten(label) + (" (reversed)" if directions.get((name, label), 1) < 0 else "")
            for label in matrix.columns
        ]
        length = max(text_size(label, NOTE_SIZE)[0] for label in labels)
        maps.append(_Map(_path_name(result.paths[name]), labels, matrix.to_numpy(dtype=float), length))
    return maps


def _path_name(path: tuple[object, ...]) -> str:
    """A dimension's path in words, each part cut on its own: a nested name
    keeps the end that tells it from its siblings."""
    return " / ".join(shorten(split_key(key)[0]) for key in path) if path else "all indicators"


def _cell_size(maps: list[_Map], room: float) -> float:
    """The side of every cell: as large as the widest map and its row labels allow."""
    fitting = min((room - _row_labels_width(shown)) / len(shown.labels) for shown in maps)
    return min(CELL_MOST, max(CELL_LEAST, fitting))


def _row_labels_width(shown: _Map) -> float:
    return shown.label_length + TICK_PAD / 72


def _map_width(shown: _Map, cell: float) -> float:
    """Inches a map takes across, its row labels included."""
    return _row_labels_width(shown) + len(shown.labels) * cell


def _column_labels_height(shown: _Map, upright: bool) -> float:
    line = text_size("Ag", NOTE_SIZE)[1]
    return (shown.label_length if upright else line) + TICK_PAD / 72


def _title_height(title: str) -> float:
    return text_size(title, MAP_TITLE_SIZE, weight="bold")[1] + TITLE_PAD / 72


def _arrange(maps: list[_Map], cell: float, upright: bool, room: float) -> tuple[list[_Place], float, float]:
    """Each map's place, row by row in the dimensions' order, and the width and
    height all of them take (in inches)."""
    rows: list[list[_Map]] = [[]]
    used = 0.0
    for shown in maps:
        width = _map_width(shown, cell)
        if rows[-1] and used + GAP + width > room:
            rows.append([])
            used = 0.0
        used += (GAP if rows[-1] else 0.0) + width
        rows[-1].append(shown)
    places, top, widest = [], 0.0, 0.0
    for row in rows:
        titles = [_wrap(shown.name, _map_width(shown, cell), MAP_TITLE_SIZE, "bold") for shown in row]
        above = max(map(_title_height, titles))
        left = 0.0
        for shown, name in zip(row, titles):
            labels = _row_labels_width(shown)
            # Maps of one row start at one height, whatever the lines of their names.
            places.append(_Place(shown, left + labels, top + above - _title_height(name), name))
            left += labels + len(shown.labels) * cell + GAP
        widest = max(widest, left - GAP)
        below = max(len(shown.labels) * cell + _column_labels_height(shown, upright) for shown in row)
        top += above + below + ROW_GAP
    return places, widest, top - ROW_GAP


def _wrap(text: str, width: float, size: float, weight: str = "normal") -> str:
    """``text`` broken into lines no wider than ``width`` inches where its words
    allow: between the parts of a nested name when that is enough, else at spaces."""
    parts = text.split(" / ")
    by_part = _fill([f"{part} /" for part in parts[:-1]] + parts[-1:], width, size, weight)
    if all(text_size(line, size, weight=weight)[0] <= width for line in by_part):
        return "\n".join(by_part)
    return "\n".join(_fill(text.split(" "), width, size, weight))


def _fill(words: list[str], width: float, size: float, weight: str) -> list[str]:
    lines: list[str] = []
    for word in words:
        if lines and text_size(f"{lines[-1]} {word}", size, weight=weight)[0] <= width:
            lines[-1] = f"{lines[-1]} {word}"
        else:
            lines.append(word)
    return lines


def _title_width(title: str | None) -> float:
    return text_size(title, TITLE_SIZE, weight="bold")[0] if title else 0.0


def _bar_labels_width() -> float:
    """Inches right of the colour bar its ticks, their numbers and its name take."""
    ticks = text_size("\N{MINUS SIGN}1.00", FONT_SIZE)[0] + 7 / 72
    name = text_size("correlation", FONT_SIZE, rotation=90)[0] + 4 / 72
    return ticks + name + 0.05


_Box = tuple[float, float, float, float]


def _inches_to_figure(size: tuple[float, float], left: float, top: float, side: float) -> _Box:
    """A square ``side`` inches wide whose top left corner is ``left``, ``top``
    inches from the figure's, as matplotlib places axes (fractions from the bottom left)."""
    return left / size[0], 1 - (top + side) / size[1], side / size[0], side / size[1]


def _draw_map(ax: Axes, place: _Place, cell: float, upright: bool) -> AxesImage:
    values = place.map.values
    image = ax.imshow(values, cmap="RdBu", vmin=-1, vmax=1, aspect="auto")
    ticks = range(len(place.map.labels))
    ax.set_xticks(ticks, place.map.labels, rotation=90 if upright else 0, fontsize=NOTE_SIZE)
    ax.set_yticks(ticks, place.map.labels, fontsize=NOTE_SIZE)
    ax.tick_params(length=0, pad=TICK_PAD)
    size = _number_size(cell)
    if size:
        for (i, j), value in np.ndenumerate(values):
            if not np.isnan(value):
                ax.text(j, i, fixed(value, 2), ha="center", va="center", fontsize=size,
                        color="white" if abs(value) > 0.55 else INK)  # fmt: skip
    # Ending at the map's right edge and wrapped over the map and its row
    # labels, a long name stays inside the room its map has.
    ax.set_title(place.title, fontsize=MAP_TITLE_SIZE, fontweight="bold", loc="right", pad=TITLE_PAD)
    for spine in ax.spines.values():
        spine.set_visible(False)
    return image


def _number_size(cell: float) -> float:
    """Points of the coefficients written in cells of side ``cell``: as large as
    a note where they fit, smaller where not, and 0 (none) where they cannot be read."""
    widest = text_size(WIDEST_NUMBER, NOTE_SIZE)[0]
    size = min(NOTE_SIZE, NOTE_SIZE * 0.86 * cell / widest)
    return size if size >= SMALLEST_NUMBER else 0.0


def _colour_bar(fig: Figure, image: AxesImage, size: tuple[float, float], box: _Box) -> None:
    """The colour bar in the box ``box`` (left, top, width, height in inches from the top left corner)."""
    left, top, width, height = box
    where = fig.add_axes((left / size[0], 1 - (top + height) / size[1], width / size[0], height / size[1]))
    bar = fig.colorbar(image, cax=where)
    bar.set_label("correlation")
    bar.outline.set_visible(False)
