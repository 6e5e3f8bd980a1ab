"""The one look of every chart of the package: palette, lettering, resolution,
frame, grid and sizes, and the one way a chart gets its figure and axes.

Every chart draws inside :func:`style`, on the axes :func:`figure_and_axes`
gives it, so that a chart drawn alone, into a caller's ``ax`` or into the
report looks like its neighbours. Labels come from tables, schemas and
callers: every text is drawn as written (a ``$`` is a dollar sign, never the
start of mathematics) and every label is cut by :func:`shorten`.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Literal, cast

from indexfuse_tools._core.bidi import strip_bidi

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
    "LABEL_WIDTH",
    "style",
    "shorten",
    "new_figure",
    "text_size",
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
#: Characters of a label drawn on a chart; a longer one is cut by :func:`shorten`.
LABEL_WIDTH = 32

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
    # Labels are names from tables and schemas: "GDP in $ (PPP, 2010 $)" must
    # keep its dollars, and a name that is not valid mathematics ("$x^^2$")
    # must not stop a figure from being drawn. Every text made inside the
    # style reads these when it is made and keeps them until it is drawn.
    "text.parse_math": False,
    "text.usetex": False,
    "axes.formatter.use_mathtext": False,
}


@contextlib.contextmanager
def style() -> Iterator[None]:
    """The look of every chart, without changing the caller's rcParams.

    Axes made inside it get the frame and lettering above; a chart sets its
    title and legends inside it too, as those take their defaults when made.
    Every text made inside it is drawn as plain text, as written.
    """
    import matplotlib

    with matplotlib.rc_context(cast(Any, _RC)):
        yield


def new_figure(width: float, height: float, *, layout: Literal["constrained"] | None = "constrained") -> Figure:
    """A figure of the given size in inches, owned by the caller alone (pyplot
    keeps no reference to it): laid out by matplotlib, or with ``layout=None``
    by a chart that places its axes itself."""
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=DPI, layout=layout)


def text_size(
    text: str, size: float, *, weight: str = "normal", rotation: float = 0
) -> tuple[float, float]:
    """Width and height in inches of the box ``text`` fills when drawn in the
    house lettering at ``size`` points, turned by ``rotation`` degrees.

    What a chart that places its parts itself measures its labels with, so
    that the room it leaves them is the room they take, whatever the font.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    scratch = new_figure(1, 1, layout=None)
    FigureCanvasAgg(scratch)  # measured as drawn to PNG, as the report's figures are
    with style():
        drawn = scratch.text(0, 0, text, fontsize=size, fontweight=weight, rotation=rotation)
    box = drawn.get_window_extent()
    return float(box.width) / DPI, float(box.height) / DPI


def figure_and_axes(ax: Axes | None, height: float, width: float = WIDTH) -> tuple[Figure, Axes]:
    """The figure and axes a chart draws on: those of ``ax`` when given, else
    a new figure ``width`` by ``height`` inches with one axes."""
    if ax is not None:
        _draw_as_written(ax)
        return cast("Figure", ax.get_figure()), ax
    figure = new_figure(width, height)
    return figure, figure.add_subplot()


def _draw_as_written(ax: Axes) -> None:
    """Make the texts ``ax`` already holds, which the chart will fill with its
    labels (titles, axis labels, ticks), plain text as those :func:`style`
    makes are; the caller's own annotations on it are left as they are."""
    from matplotlib.text import Text

    own = set(ax.texts)
    for text in ax.findobj(Text):
        if text in own:
            continue
        text.set_parse_math(False)
        text.set_usetex(False)


def shorten(label: object, width: int = LABEL_WIDTH) -> str:
    """``label`` as text, cut to ``width`` characters with an ellipsis when longer.

    The one rule for every label a chart draws, so that a long name reads the
    same in every chart and stays inside its figure. Bidirectional controls
    are left out (:func:`~indexfuse_tools._core.strip_bidi`): a chart draws
    characters in the order they are stored, and has no glyph for them.

    Examples
    --------
    >>> shorten("Gross domestic product per head, in 2010 dollars at purchasing power")
    'Gross domestic product per head…'
    >>> shorten(3.5), shorten("Ohio\u202e")
    ('3.5', 'Ohio')
    """
    text = strip_bidi(str(label))
    return text if len(text) <= width else text[: width - 1] + "…"


def _rgb(colour: str | tuple[float, float, float]) -> tuple[float, float, float]:
    # The house colours are shaded when the chart modules are imported, and
    # importing the package must not need matplotlib (an optional extra):
    # "#rrggbb" is read here as matplotlib reads it, anything else by it.
    if isinstance(colour, str) and len(colour) == 7 and colour.startswith("#"):
        red, green, blue = (int(colour[i : i + 2], 16) / 255 for i in (1, 3, 5))
        return red, green, blue
    from matplotlib.colors import to_rgb

    return to_rgb(colour)


def shade(colour: str | tuple[float, float, float], amount: float) -> tuple[float, float, float]:
    """``colour`` mixed with white: 0 keeps it, 1 gives white."""
    r, g, b = _rgb(colour)
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
        ax.set_title(strip_bidi(title), loc="left", fontsize=TITLE_SIZE, fontweight="bold")
