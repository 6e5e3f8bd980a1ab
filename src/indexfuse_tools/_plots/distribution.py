"""Where the units fall on the composite: every unit a dot, the highest and
the lowest named, and the numbers written as precisely as their spread needs."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import fixed
from indexfuse_tools._plots.style import (
    INK,
    MUTED,
    NOTE_SIZE,
    PALETTE,
    figure_and_axes,
    set_title,
    shorten,
    style,
    text_size,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_distribution", "decimals"]

# Beyond this many units a swarm of dots turns into a blot: draw a histogram.
SWARM_LIMIT = 400


def _swarm(values: np.ndarray, diameter: float) -> np.ndarray:
    """Vertical offsets (in diameters) that keep dots of the given diameter
    (in units of ``values``) from overlapping, each as near the axis as it fits."""
    order = np.argsort(values, kind="stable")
    offsets = np.zeros(len(values))
    placed: list[tuple[float, float]] = []
    for i in order:
        x = values[i]
        near = [(px, py) for px, py in placed if abs(px - x) < diameter]
        for step in range(len(values) + 1):
            candidate = (step + 1) // 2 * (1 if step % 2 else -1) * 0.5 if step else 0.0
            if all(
                (px - x) ** 2 + ((py - candidate) * diameter) ** 2 >= diameter**2 * 0.98 for px, py in near
            ):
                break
        offsets[i] = candidate
        placed.append((x, candidate))
    return offsets


def plot_distribution(
    results: pd.DataFrame,
    *,
    column: str = "composite",
    label: str | None = None,
    n: int = 3,
    title: str | None = "Where the units fall on the composite",
    ax: Axes | None = None,
) -> Figure:
    """Every unit as a dot on the composite, the highest and lowest named.

    Dots that would overlap are stacked (a swarm), so each unit stays
    visible; beyond 400 units a fine histogram takes their place. The median
    is marked.

    Parameters
    ----------
    results : pandas.DataFrame
        What :func:`results` returned (or any frame with ``column``).
    column : str, default "composite"
        The column to draw.
    label : str, optional
        Column holding the units' names; by default the index.
    n : int, default 3
        How many of the highest and of the lowest units to name.
    title : str or None, optional
    ax : matplotlib.axes.Axes, optional

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import plot_distribution, results
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": {"output": ["gdp"], "work": ["jobs"]},
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> fig = plot_distribution(results(model, data), n=1)
    >>> sorted(text.get_text().split(" (")[0] for text in fig.axes[0].texts if "(" in text.get_text())
    ['u', 'w']
    """
    if column not in results.columns:
        raise ValueError(f"results has no column {column!r}; it has {list(results.columns)!r}")
    column_values = results[column].astype(np.float64)
    keep = column_values.notna()
    values = column_values[keep].to_numpy()
    names = (results[label] if label is not None else results.index.to_series())[keep].map(shorten).to_numpy()
    if values.size == 0:
        raise ValueError(f"results[{column!r}] holds no value to draw")
    with style():
        fig, ax = figure_and_axes(ax, 3.0)
        span = float(np.ptp(values)) or 1.0
        low, high = float(values.min()) - span * 0.04, float(values.max()) + span * 0.04
        if values.size <= SWARM_LIMIT:
            diameter = (high - low) / 70
            offsets = _swarm(values, diameter) * diameter
            ax.scatter(
                values,
                offsets,
                s=26,
                color=PALETTE[0],
                alpha=0.85,
                edgecolor="white",
                linewidth=0.5,
                zorder=3,
            )
            reach = float(np.abs(offsets).max()) + diameter
        else:
            counts = ax.hist(values, bins=80, color=PALETTE[0], alpha=0.85)[0]
            offsets = np.zeros_like(values)
            reach = float(np.max(counts))
        median = float(np.median(values))
        bottom = -reach if values.size <= SWARM_LIMIT else 0.0
        ax.axvline(median, color=MUTED, linewidth=1, linestyle=(0, (3, 3)), zorder=1)
        ax.text(
            median,
            bottom - (reach - bottom) * 0.1,
            f" median {fixed(median, decimals(values))}",
            ha="left",
            va="top",
            color=MUTED,
            fontsize=NOTE_SIZE,
        )
        ax.set_xlim(low, high)
        levels = _name_extremes(ax, values, offsets, names, n, reach, bottom)
        ax.set_ylim(bottom - (reach - bottom) * 0.25, reach + (reach - bottom) * (0.22 * levels + 0.1))
        if values.size <= SWARM_LIMIT:
            ax.set_yticks([])
            ax.spines["left"].set_visible(False)
        else:
            ax.set_yticks([tick for tick in ax.get_yticks() if 0 <= tick <= reach])
            ax.spines["left"].set_bounds(0, reach)
            ax.set_ylabel("units")
        ax.set_xlabel(
            f"{column} score (higher ranks first)"
            if column == "composite"
            else f"{column} (higher ranks first)"
        )
        set_title(ax, title)
    return fig


def decimals(values: Any) -> int:
    """Decimals that tell apart values spread as ``values`` are (three significant
    figures of their range)."""
    spread = float(np.ptp(np.asarray(values, dtype=float))) if np.size(values) else 0.0
    return max(0, 2 - math.floor(math.log10(spread))) if spread > 0 and math.isfinite(spread) else 3


def _name_extremes(
    ax: Axes,
    values: np.ndarray,
    offsets: np.ndarray,
    names: np.ndarray,
    count: int,
    reach: float,
    bottom: float,
) -> int:
    """Name the ``count`` highest units (their names ending at their dots) and
    the ``count`` lowest (starting at theirs), the most extreme on top; returns
    how many lines of names that took.

    The two sides share their lines unless a long name of one side would run
    into the other's: then the lowest units' names go on lines of their own, above.
    """
    digits = decimals(values)
    order = np.argsort(values, kind="stable")
    shown = min(count, len(values) // 2)
    step = (reach - bottom) * 0.22
    sides = {
        "right": [(i, f"{names[i]} ({fixed(values[i], digits)})") for i in order[::-1][:shown]],
        "left": [(i, f"{names[i]} ({fixed(values[i], digits)})") for i in order[:shown]],
    }
    apart = _sides_meet(ax, values, sides)
    for side, picked in sides.items():
        above = shown if apart and side == "left" else 0
        for rank, (i, text) in enumerate(picked):
            _callout(ax, values[i], offsets[i], text, reach + step * (above + shown - rank - 0.4), side)
    return count + (shown if apart else 0)


def _sides_meet(ax: Axes, values: np.ndarray, sides: dict[str, list[tuple[int, str]]]) -> bool:
    """Whether a name of a highest unit and the name of the lowest on its line would touch."""
    # The axes only widen once laid out: the width they have now errs on the side of room.
    inches = ax.bbox.width / ax.figure.dpi
    low, high = ax.get_xlim()
    per_inch = (high - low) / inches
    margin = 0.15 * per_inch
    for (top, top_text), (end, end_text) in zip(sides["right"], sides["left"]):
        if values[end] + text_size(end_text, NOTE_SIZE)[0] * per_inch + margin > (
            values[top] - text_size(top_text, NOTE_SIZE)[0] * per_inch
        ):
            return True
    return False


def _callout(ax: Axes, x: float, y: float, text: str, height: float, side: str) -> None:
    ax.annotate(
        text,
        xy=(x, y),
        xytext=(x, height),
        ha=side,
        va="center",
        fontsize=NOTE_SIZE,
        color=INK,
        # the leader leaves the label at its end nearest the dot, so leaders never cross labels
        arrowprops={
            "arrowstyle": "-",
            "color": MUTED,
            "linewidth": 0.6,
            "shrinkA": 0,
            "shrinkB": 3,
            "relpos": (1.0, 0.5) if side == "right" else (0.0, 0.5),
        },
    )
