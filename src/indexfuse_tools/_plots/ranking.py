"""A ranked dot chart of the composite: the best and the worst units, or all."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from indexfuse_tools._plots.style import (
    GRID,
    MUTED,
    NOTE_SIZE,
    PALETTE,
    figure_and_axes,
    frame,
    grid,
    set_title,
    shorten,
    style,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_ranking"]


def plot_ranking(
    results: pd.DataFrame,
    *,
    n: int | None = 10,
    column: str = "composite",
    label: str | None = None,
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """A ranked dot chart of the composite: the top and bottom ``n`` rows, or all.

    Parameters
    ----------
    results : pandas.DataFrame
        A table made by :func:`results` (the columns ``"composite"`` and
        ``"rank"`` are used, and the index labels the rows).
    n : int or None, default 10
        How many rows to show at each end; ``None`` shows every row. When
        ``2 * n`` covers all rows, all are shown.
    column : str, default "composite"
        The column to draw: ``"score"`` draws the composite on the
        presentation scale of ``results(..., scale="0-100")``.
    label : str, optional
        The name of the score, for the axis (default: ``column``).
    title : str, optional
        The chart's title (by default it says which rows are shown).
    ax : matplotlib.axes.Axes, optional
        Draw into these axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (the one of ``ax`` when it is given). Rows with
        no composite (NaN) are left out, and the title says how many.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import plot_ranking
    >>> table = pd.DataFrame({"composite": [0.2, 0.9, 0.5]}, index=["a", "b", "c"])
    >>> table["rank"] = table["composite"].rank(ascending=False)
    >>> figure = plot_ranking(table)
    >>> [t.get_text() for t in figure.axes[0].get_yticklabels()]
    ['1  b', '2  c', '3  a']
    """
    if not isinstance(results, pd.DataFrame) or not {"composite", "rank"} <= set(results.columns):
        raise TypeError("plot_ranking() needs the table made by results(model, data)")
    if column not in results.columns:
        raise ValueError(f"results has no column {column!r}; it has {list(results.columns)!r}")
    if n is not None and (not isinstance(n, int) or isinstance(n, bool) or n < 1):
        raise ValueError(f"n must be a positive integer or None, got {n!r}")
    scored = results[results[column].notna()].sort_values("rank", kind="stable")
    shown, cut = scored, None
    if n is not None and len(scored) > 2 * n:
        shown, cut = pd.concat([scored.iloc[:n], scored.iloc[-n:]]), n
    rows = len(shown) + (cut is not None)
    with style():
        figure, ax = figure_and_axes(ax, 1.3 + 0.3 * max(rows, 3))
        # Rows from the top down; the gap between the top and the bottom rows is one empty row.
        y = np.arange(len(shown), dtype=float)
        if cut is not None:
            y[cut:] += 1
        y = y.max() - y if len(y) else y
        values = shown[column].to_numpy(dtype=float)
        ax.hlines(y, values.min() if len(values) else 0, values, color=GRID, linewidth=1, zorder=1)
        ax.scatter(values, y, color=PALETTE[0], s=28, zorder=2)
        ax.set_yticks(y, [f"{_rank_text(r)}  {shorten(i)}" for i, r in zip(shown.index, shown["rank"])])
        ax.set_ylim(-0.8, (y.max() if len(y) else 0) + 0.8)
        if cut is not None:
            hidden = len(scored) - 2 * cut
            ax.text(0.5, y[cut - 1] - 1, f"({hidden} rows not shown)", transform=ax.get_yaxis_transform(),
                    ha="center", va="center", color=MUTED, fontsize=NOTE_SIZE)  # fmt: skip
        ax.set_xlabel(label or column)
        frame(ax)
        grid(ax)
        set_title(ax, title or _default_title(len(scored), cut, len(results)))
    return figure


def _rank_text(rank: float) -> str:
    return f"{rank:g}"


def _default_title(scored: int, n: int | None, total: int) -> str:
    what = f"Top and bottom {n} of {scored}" if n is not None else f"All {scored} rows"
    unscored = total - scored
    return what + (f" ({unscored} without a composite)" if unscored else "") + ", by rank"
