"""The weights of a fitted index: as the model sets them, nesting shown, and
next to the weights the dimensions carry in fact."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from indexfuse_tools._plots.style import (
    GRID,
    INK,
    MUTED,
    NOTE_SIZE,
    PALETTE,
    figure_and_axes,
    frame,
    grid,
    set_title,
    shade,
    shorten,
    style,
)
from indexfuse_tools._core import fitted, fixed, node_weight, plain_name, split_key

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from indexfuse_tools._audit import Audit
    from indexfuse_tools._weighting import WeightUncertainty

__all__ = ["plot_weights", "plot_effective_weights", "plot_weight_intervals"]

# The interval is the weight's own mark, in a lighter shade, so that the dot
# of the weight stands out on it however short it is.
_INTERVAL = shade(PALETTE[0], 0.55)
_WEIGHT = PALETTE[0]
_COMPONENTS = PALETTE[5]
_IMPORTANCE = PALETTE[2]
# Rows apart of the rivals' marks from the weight's line.
_RIVAL_OFFSET = 0.22


def _drawn(node: Any) -> float:
    """A node's weight as a bar's width: 0 where it has none."""
    weight = node_weight(node)
    return 0.0 if math.isnan(weight) else weight


@dataclass
class _Bar:
    label: str
    weight: float
    equal: float
    sign: float
    colour: tuple[float, float, float]
    parent: bool
    # (left, width, colour) of the parts a nested dimension's bar is split into
    parts: list[tuple[float, float, tuple[float, float, float]]] = field(default_factory=list)


def _bars(tree: dict[Any, Any]) -> list[_Bar]:
    from matplotlib.colors import to_rgb

    bars = []
    for number, (key, node) in enumerate(tree.items()):
        colour = to_rgb(PALETTE[number % len(PALETTE)])
        label, sign = split_key(key)
        parent = _Bar(shorten(label), _drawn(node), 1 / len(tree), float(sign), colour, True)
        bars.append(parent)
        if not isinstance(node, dict):
            continue
        left = 0.0
        for part, (child_key, child) in enumerate(node.items()):
            child_label, child_sign = split_key(child_key)
            lighter = shade(colour, 0.2 + 0.35 * part / max(len(node) - 1, 1))
            width = _drawn(child)
            bars.append(
                _Bar(
                    shorten(child_label), width, parent.equal / len(node), float(sign * child_sign), lighter, False
                )
            )
            parent.parts.append((left, width, lighter))
            left += width
    return bars


def plot_weights(
    model: Any, *, title: str | None = "Weights of the dimensions", ax: Axes | None = None
) -> Figure:
    """The dimension weights of a fitted model, nesting shown.

    Each top-level dimension gets a bar as long as its weight; the bar of a
    nested one is split into its sub-dimensions, which follow on rows of
    their own in lighter shades of its colour. A grey tick marks the equal
    share of each dimension, and dimensions that lower the index say so.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model (or one whose weights :func:`set_weights` set).
    title : str or None, optional
        The figure's title; None for none.
    ax : matplotlib.axes.Axes, optional
        Draw here instead of on a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import plot_weights
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": {"output": ["gdp"], "work": ["jobs"]},
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> fig = plot_weights(model)
    >>> [label.get_text().strip() for label in fig.axes[0].get_yticklabels()]
    ['economy', 'output', 'work', 'safety']
    """
    tree = fitted(model, "dim_weight")
    bars = _bars(tree if isinstance(tree, dict) else {"all indicators": tree})
    largest = max([bar.weight for bar in bars] + [0.05])
    with style():
        fig, ax = figure_and_axes(ax, 0.4 * len(bars) + 1.1)
        for row, bar in enumerate(bars):
            if bar.parts:
                for left, width, lighter in bar.parts:
                    ax.barh(row, width, left=left, color=lighter, height=0.64, edgecolor="white", linewidth=1.5)
            else:
                ax.barh(row, bar.weight, color=bar.colour, height=0.64 if bar.parent else 0.42)
            note = fixed(bar.weight, 3) + ("   lowers the index" if bar.sign < 0 else "")
            ax.text(
                max(bar.weight, bar.equal) + largest * 0.02,
                row,
                note,
                va="center",
                color=INK if bar.parent else MUTED,
                fontsize=NOTE_SIZE + 0.5,
            )
            ax.plot(
                [bar.equal] * 2, [row - 0.38, row + 0.38], color=MUTED, linewidth=1.2, solid_capstyle="butt"
            )
        ax.set_yticks(range(len(bars)), [bar.label if bar.parent else f"    {bar.label}" for bar in bars])
        for tick, bar in zip(ax.get_yticklabels(), bars):
            tick.set_fontweight("bold" if bar.parent else "normal")
            tick.set_color(INK if bar.parent else MUTED)
        ax.invert_yaxis()
        ax.set_xlim(0, largest * 1.45)
        ax.set_xlabel("weight in the index (the dimensions add up to 1)")
        frame(ax)
        ax.plot([], [], color=MUTED, linewidth=1.2, label="equal weights")
        ax.legend(loc="lower right")
        set_title(ax, title)
    return fig


def plot_effective_weights(
    result: Audit, *, title: str | None = "Nominal and effective weights", ax: Axes | None = None
) -> Figure:
    """Each dimension's nominal weight next to its effective weight.

    The effective weight is the dimension's squared correlation with the
    composite, normalised (see :func:`audit`): how much of the ranking the
    dimension drives in fact. A line joins the two; the grey tick is the
    equal share.

    Parameters
    ----------
    result : Audit
        What :func:`audit` returned.
    title : str or None, optional
    ax : matplotlib.axes.Axes, optional

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import audit, plot_effective_weights
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": {"output": ["gdp"], "work": ["jobs"]},
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> fig = plot_effective_weights(audit(model, data))
    >>> [label.get_text() for label in fig.axes[0].get_yticklabels()]
    ['economy / output', 'economy / work', 'safety']
    """
    table = result.effective_weights
    equal = dict(zip(result.dimensions["dimension"], result.dimensions["equal_weight"]))
    labels = [shorten(plain_name(result.paths[name])) for name in table["dimension"]]
    with style():
        fig, ax = figure_and_axes(ax, 0.36 * len(table) + 1.5)
        y = np.arange(len(table))
        nominal = table["weight"].to_numpy(dtype=float)
        actual = table["effective_weight"].to_numpy(dtype=float)
        ax.hlines(y, np.fmin(nominal, actual), np.fmax(nominal, actual), color=GRID, linewidth=3, zorder=1)
        shares = [equal.get(name, math.nan) for name in table["dimension"]]
        ax.scatter(shares, y, marker="|", s=160, color=MUTED, label="equal weight", zorder=2)
        ax.scatter(nominal, y, s=46, color=PALETTE[0], label="nominal weight (the model's)", zorder=3)
        ax.scatter(
            actual,
            y,
            s=52,
            marker="D",
            color=PALETTE[5],
            label="effective weight (what it drives in fact)",
            zorder=3,
        )
        ax.set_yticks(y, labels)
        ax.invert_yaxis()
        top = np.nanmax(np.concatenate([nominal, actual, [0.05]]))
        ax.set_xlim(0, top * 1.15)
        ax.set_xlabel("weight (each set adds up to 1)")
        frame(ax)
        grid(ax)
        ax.set_ylim(len(table) - 0.5, -0.6)
        fig.legend(*ax.get_legend_handles_labels(), loc="outside lower center", ncols=3)
        set_title(ax, title)
    return fig


def plot_weight_intervals(
    result: WeightUncertainty,
    *,
    title: str | None = "Weights, their uncertainty and their rivals",
    ax: Axes | None = None,
) -> Figure:
    """Each dimension's weight with its interval over the bootstrap resamples, beside its rivals.

    A row per dimension (a nested dimension's sub-dimensions indented below
    it): the model's weight (dot) on its interval (the light bar, written out
    at the right, as it is often narrower than the dot), the equal weight
    (grey tick), the weight of the dimensions' first principal component
    (open diamond) and the dimension's share of the importance (square: its
    correlation ratio, normalised over the dimensions), the share of the
    composite it drives in fact.

    Parameters
    ----------
    result : WeightUncertainty
        What :func:`weight_uncertainty` returned.
    title : str or None, optional
    ax : matplotlib.axes.Axes, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    table = result.weights
    share = result.importance[result.importance["kind"] == "dimension"].set_index("name")["share"]
    nested = table["parent"].notna().to_numpy()
    labels = [
        ("    " if sub else "") + shorten(result.name(name).split(" / ")[-1] if sub else result.name(name))
        for name, sub in zip(table["dimension"], nested)
    ]
    weight = table["weight"].to_numpy(dtype=float)
    low, high = table["low"].to_numpy(dtype=float), table["high"].to_numpy(dtype=float)
    rival = table["principal_components"].to_numpy(dtype=float)
    importance = np.array([share.get(name, math.nan) for name in table["dimension"]], dtype=float)
    equal = table["equal_weight"].to_numpy(dtype=float)
    largest = float(np.nanmax(np.concatenate([high, weight, rival, importance, equal, [0.05]])))
    interval_label = f"{result.level:.0%} interval of the weight over {result.refitted:,} resamples"
    with style():
        fig, ax = figure_and_axes(ax, 0.5 * len(table) + 1.7)
        y = np.arange(len(table))
        ax.hlines(y, low, high, color=_INTERVAL, linewidth=7, label=interval_label, zorder=2)
        ax.scatter(equal, y, marker="|", s=480, color=MUTED, label="equal weight", zorder=3)
        ax.scatter(weight, y, s=44, color=_WEIGHT, label="the model's weight", zorder=4)
        # The rivals a little above and below the weight's line: at the same
        # value they would hide it, and one another.
        ax.scatter(
            rival, y - _RIVAL_OFFSET, s=40, marker="D", facecolors="white", edgecolors=_COMPONENTS,
            linewidths=1.4, label="principal components' weight", zorder=4,
        )  # fmt: skip
        ax.scatter(
            importance, y + _RIVAL_OFFSET, s=36, marker="s", color=_IMPORTANCE, label="share of the importance",
            zorder=4,
        )  # fmt: skip
        for row in range(len(table)):
            ax.text(
                largest * 1.18, row, f"{fixed(low[row], 3)}–{fixed(high[row], 3)}", va="center",
                color=MUTED if nested[row] else INK, fontsize=NOTE_SIZE,
            )  # fmt: skip
        ax.text(largest * 1.18, -0.55, f"{result.level:.0%} interval", va="bottom", color=MUTED, fontsize=NOTE_SIZE)
        ax.set_yticks(y, labels)
        for tick, sub in zip(ax.get_yticklabels(), nested):
            tick.set_color(MUTED if sub else INK)
        # A little room left of 0: a dimension the principal component leaves out is marked at 0, whole.
        ax.set_xlim(-largest * 0.02, largest * 1.42)
        ax.set_ylim(len(table) - 0.5, -0.75)
        ax.set_xlabel("weight, or share (each set adds up to 1 over the dimensions)")
        frame(ax)
        grid(ax)
        fig.legend(*ax.get_legend_handles_labels(), loc="outside lower center", ncols=2)
        set_title(ax, title)
    return fig
