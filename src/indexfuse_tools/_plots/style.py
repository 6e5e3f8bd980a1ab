"""The one look of every chart of the package: palette, lettering, resolution,
frame, grid and sizes, and the one way a chart gets its figure and axes.

Every chart draws inside :func:`style`, on the axes :func:`figure_and_axes`
gives it, so that a chart drawn alone, into a caller's ``ax`` or into the
report looks like its neighbours.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Literal, cast

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "PALETTE",
    "INK",
    "MUTED",
    "GRID",
    "DPI",
    "PRINT_DPI",
    "WIDTH",
    "FONT_SIZE",
    "TITLE_SIZE",
    "NOTE_SIZE",
    "style",
    "new_figure",
    "figure_and_axes",
    "shade",
    "frame",
    "grid",
    "set_title",
]

# Okabe and Ito's palette: told apart by readers with any common form of colour blindness.
PALETTE = ("#0072B2", "#E69F00", "#009E73", "#CC79A7", "#56B4E9", "#D55E00", "#F0E442", "#000000")
INK = "#222222"
MUTED = "#6b6b6b"
GRID = "#dddddd"

#: Resolution a figure is drawn and saved at unless the caller asks for another:
#: fine enough that a chart saved as it comes is sharp in a document.
DPI = 150
#: Resolution of a figure written for print, as the report writes its images:
#: sharp on paper and on dense screens.
PRINT_DPI = 200
#: Width in inches of every chart that makes its own figure: the report's column.
WIDTH = 7.0

FONT_SIZE = 9
TITLE_SIZE = 11
#: Lettering of what annotates a chart: legends, value labels, call-outs.
NOTE_SIZE = 8

_RC: dict[str, Any] = {
    "font.size": FONT_SIZE,
    "axes.titlesize": TITLE_SIZE,
    "axes.titleweight": "bold",
    "axes.titlelocation": "left",
    "axes.labelcolor": INK,
    "axes.edgecolor": MUTED,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "xtick.color": INK,
    "ytick.color": INK,
    "legend.frameon": False,
    "legend.fontsize": NOTE_SIZE,
    "figure.facecolor": "white",
    "figure.dpi": DPI,
}


@contextlib.contextmanager
def style() -> Iterator[None]:
    """The look of every chart, without changing the caller's rcParams.

    Axes made inside it get the frame and lettering above; a chart sets its
    title and legends inside it too, as those take their defaults when made.
    """
    import matplotlib

    with matplotlib.rc_context(cast(Any, _RC)):
        yield


def new_figure(width: float, height: float) -> Figure:
    """A figure of the given size in inches, laid out by matplotlib and owned by
    the caller alone (pyplot keeps no reference to it)."""
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=DPI, layout="constrained")


def figure_and_axes(ax: Axes | None, height: float, width: float = WIDTH) -> tuple[Figure, Axes]:
    """The figure and axes a chart draws on: those of ``ax`` when given, else
    a new figure ``width`` by ``height`` inches with one axes."""
    if ax is not None:
        return cast("Figure", ax.get_figure()), ax
    figure = new_figure(width, height)
    return figure, figure.add_subplot()


def shade(colour: str | tuple[float, float, float], amount: float) -> tuple[float, float, float]:
    """``colour`` mixed with white: 0 keeps it, 1 gives white."""
    from matplotlib.colors import to_rgb

    r, g, b = to_rgb(colour)
    return (r + (1 - r) * amount, g + (1 - g) * amount, b + (1 - b) * amount)


def frame(ax: Axes, *, categories: bool = True) -> None:
    """The frame of a chart: bottom axis only when the rows are categories
    (their labels are the left edge), bottom and left when both axes are scales."""
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)
    if categories:
        ax.spines["left"].set_visible(False)
        ax.tick_params(axis="y", length=0)


def grid(ax: Axes, axis: Literal["x", "y", "both"] = "x") -> None:
    """Light reference lines along ``axis``, behind what is drawn."""
    ax.grid(axis=axis, color=GRID, linewidth=0.6)
    ax.set_axisbelow(True)


def set_title(ax: Axes, title: str | None) -> None:
    """The chart's title, left-aligned and bold; None or "" for none."""
    if title:
        ax.set_title(title, loc="left", fontsize=TITLE_SIZE, fontweight="bold")
