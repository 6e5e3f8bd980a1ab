"""How the indicators of each dimension correlate: one heat map per dimension."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from indexfuse_tools._plots.style import INK, NOTE_SIZE, TITLE_SIZE, WIDTH, new_figure, shorten, style
from indexfuse_tools._core import fixed, plain_name

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from indexfuse_tools._audit import Audit

__all__ = ["plot_correlations"]

# Inches a character takes, on average, in a tick label and in a map's name.
_LETTER = 0.07
_TITLE_LETTER = 0.1
# Characters of a column label that fit under its cell.
_CELL_LETTERS = 8


def plot_correlations(
    result: Audit, *, title: str | None = "How the indicators of each dimension correlate"
) -> Figure:
    """One heat map per dimension of two or more indicators: the correlation
    of every pair, after directions (blue: they move together, as they should).

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
    matrices = {name: matrix for name, matrix in result.correlations.items() if matrix.shape[0] >= 2}
    if not matrices:
        raise ValueError("no dimension has two or more indicators: there are no correlations to draw")
    table = result.indicators
    directions = {
        (name, label): float(direction)
        for name, label, direction in zip(table["dimension"], table["indicator"], table["direction"])
    }
    largest = max(matrix.shape[0] for matrix in matrices.values())
    longest = max(len(shorten(label)) for matrix in matrices.values() for label in matrix.columns)
    widest = max(len(shorten(plain_name(result.paths[name]))) for name in matrices)
    # Each map needs room beside and below it for its longest tick label, and
    # above it for its name.
    side = max(0.55 * largest + 0.8 + max(0.6, _LETTER * longest), _TITLE_LETTER * widest)
    fitting = max(1, int((WIDTH - 0.8) // side))
    columns = min(len(matrices), 3 if largest <= 4 else 2, fitting)
    lines = math.ceil(len(matrices) / columns)
    with style():
        fig = new_figure(min(WIDTH, side * columns + 0.8), side * lines + 0.6)
        axes = fig.subplots(lines, columns, squeeze=False)
        image = None
        for ax, (name, matrix) in zip(axes.flat, matrices.items()):
            values = matrix.to_numpy(dtype=float)
            image = ax.imshow(values, cmap="RdBu", vmin=-1, vmax=1)
            labels = [
                f"{shorten(label)}\n(reversed)" if directions.get((name, label), 1) < 0 else shorten(label)
                for label in matrix.columns
            ]
            ticks = range(len(labels))
            # Labels wider than a cell would run into each other side by side.
            slanted = len(labels) > 3 or max(map(len, labels)) > _CELL_LETTERS
            ax.set_xticks(
                ticks,
                labels,
                rotation=40 if slanted else 0,
                ha="right" if slanted else "center",
                fontsize=NOTE_SIZE,
            )
            ax.set_yticks(ticks, labels, fontsize=NOTE_SIZE)
            for (i, j), value in np.ndenumerate(values):
                if not np.isnan(value):
                    ax.text(
                        j,
                        i,
                        fixed(value, 2),
                        ha="center",
                        va="center",
                        fontsize=NOTE_SIZE,
                        color="white" if abs(value) > 0.55 else INK,
                    )
            # Ending at the map's right edge, a long name runs on over the row
            # labels, which leave that room free, and never into the colour bar.
            ax.set_title(shorten(plain_name(result.paths[name])), fontsize=10, loc="right")
            for spine in ax.spines.values():
                spine.set_visible(False)
            ax.tick_params(length=0)
        for ax in list(axes.flat)[len(matrices) :]:
            ax.set_visible(False)
        if image is not None:
            bar = fig.colorbar(image, ax=axes, shrink=0.8, aspect=25)
            bar.set_label("correlation")
            bar.outline.set_visible(False)
        if title:
            fig.suptitle(title, x=0.02, ha="left", fontsize=TITLE_SIZE, fontweight="bold")
    return fig
