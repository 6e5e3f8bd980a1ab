"""Figures of a fitted index for a report: the weights with their nesting,
nominal against effective weights, where the units fall on the composite, and
the correlations inside each dimension.

Every function draws on a new :class:`matplotlib.figure.Figure` (or on the
``ax`` given) and returns the figure; none touches pyplot's state.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from indexfuse_tools._tables import _model_attr, _split, node_weight, plain_name

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from indexfuse_tools._audit import Audit

__all__ = ["plot_weights", "plot_effective_weights", "plot_distribution", "plot_correlations"]

# Okabe and Ito's palette: told apart by readers with any common form of colour blindness.
PALETTE = ("#0072B2", "#E69F00", "#009E73", "#CC79A7", "#56B4E9", "#D55E00", "#F0E442", "#000000")
INK = "#222222"
MUTED = "#6b6b6b"
GRID = "#dddddd"
# Beyond this many units a swarm of dots turns into a blot: draw a histogram.
SWARM_LIMIT = 400

_STYLE: dict[str, Any] = {
    "font.size": 9,
    "axes.titlesize": 11,
    "axes.titleweight": "bold",
    "axes.titlelocation": "left",
    "axes.labelcolor": INK,
    "axes.edgecolor": MUTED,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "xtick.color": INK,
    "ytick.color": INK,
    "legend.frameon": False,
    "figure.facecolor": "white",
}


@contextlib.contextmanager
def style() -> Iterator[None]:
    """The look of every figure here, without changing the caller's rcParams."""
    import matplotlib

    with matplotlib.rc_context(cast(Any, _STYLE)):
        yield


def _figure(ax: Axes | None, size: tuple[float, float]) -> tuple[Figure, Axes]:
    if ax is not None:
        return ax.figure, ax  # type: ignore[return-value]
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, layout="constrained")
    return fig, fig.add_subplot()


def _shade(colour: str | tuple[float, float, float], amount: float) -> tuple[float, float, float]:
    """``colour`` mixed with white: 0 keeps it, 1 gives white."""
    from matplotlib.colors import to_rgb

    r, g, b = to_rgb(colour)
    return (r + (1 - r) * amount, g + (1 - g) * amount, b + (1 - b) * amount)


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
        label, sign = _split(key)
        parent = _Bar(str(label), _drawn(node), 1 / len(tree), float(sign), colour, True)
        bars.append(parent)
        if not isinstance(node, dict):
            continue
        left = 0.0
        for part, (child_key, child) in enumerate(node.items()):
            child_label, child_sign = _split(child_key)
            shade = _shade(colour, 0.2 + 0.35 * part / max(len(node) - 1, 1))
            width = _drawn(child)
            bars.append(
                _Bar(
                    str(child_label), width, parent.equal / len(node), float(sign * child_sign), shade, False
                )
            )
            parent.parts.append((left, width, shade))
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
    tree = _model_attr(model, "dim_weight")
    bars = _bars(tree if isinstance(tree, dict) else {"all indicators": tree})
    largest = max([bar.weight for bar in bars] + [0.05])
    with style():
        fig, ax = _figure(ax, (7.0, 0.4 * len(bars) + 1.1))
        for row, bar in enumerate(bars):
            if bar.parts:
                for left, width, shade in bar.parts:
                    ax.barh(row, width, left=left, color=shade, height=0.64, edgecolor="white", linewidth=1.5)
            else:
                ax.barh(row, bar.weight, color=bar.colour, height=0.64 if bar.parent else 0.42)
            note = f"{bar.weight:.3f}" + ("   lowers the index" if bar.sign < 0 else "")
            ax.text(
                max(bar.weight, bar.equal) + largest * 0.02,
                row,
                note,
                va="center",
                color=INK if bar.parent else MUTED,
                fontsize=8.5,
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
        ax.tick_params(axis="y", length=0)
        ax.spines["left"].set_visible(False)
        ax.plot([], [], color=MUTED, linewidth=1.2, label="equal weights")
        ax.legend(loc="lower right", fontsize=8)
        if title:
            ax.set_title(title)
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
    labels = [plain_name(result.paths[name]) for name in table["dimension"]]
    with style():
        fig, ax = _figure(ax, (7.0, 0.36 * len(table) + 1.5))
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
        ax.tick_params(axis="y", length=0)
        ax.spines["left"].set_visible(False)
        ax.grid(axis="x", color=GRID, linewidth=0.6)
        ax.set_axisbelow(True)
        ax.set_ylim(len(table) - 0.5, -0.6)
        fig.legend(*ax.get_legend_handles_labels(), loc="outside lower center", ncols=3, fontsize=8)
        if title:
            ax.set_title(title)
    return fig


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
    column: str = "composite",
    *,
    label: str | None = None,
    extremes: int = 3,
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
    extremes : int, default 3
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
    >>> fig = plot_distribution(results(model, data), extremes=1)
    >>> sorted(text.get_text().split(" (")[0] for text in fig.axes[0].texts if "(" in text.get_text())
    ['u', 'w']
    """
    if column not in results.columns:
        raise ValueError(f"results has no column {column!r}; it has {list(results.columns)!r}")
    column_values = results[column].astype(np.float64)
    keep = column_values.notna()
    values = column_values[keep].to_numpy()
    names = (results[label] if label is not None else results.index.to_series()).astype(str)[keep].to_numpy()
    if values.size == 0:
        raise ValueError(f"results[{column!r}] holds no value to draw")
    with style():
        fig, ax = _figure(ax, (7.0, 3.0))
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
            fontsize=8,
        )
        _name_extremes(ax, values, offsets, names, extremes, reach, bottom)
        ax.set_xlim(low, high)
        ax.set_ylim(bottom - (reach - bottom) * 0.25, reach + (reach - bottom) * (0.22 * extremes + 0.1))
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
        if title:
            ax.set_title(title)
    return fig


def decimals(values: Any) -> int:
    """Decimals that tell apart values spread as ``values`` are (three significant
    figures of their range)."""
    spread = float(np.ptp(np.asarray(values, dtype=float))) if np.size(values) else 0.0
    return max(0, 2 - math.floor(math.log10(spread))) if spread > 0 and math.isfinite(spread) else 3


def fixed(value: float, digits: int) -> str:
    """``value`` with ``digits`` decimals, never as "-0.00"."""
    text = f"{value:.{digits}f}"
    return text[1:] if text.startswith("-") and float(text) == 0 else text


def _name_extremes(
    ax: Axes,
    values: np.ndarray,
    offsets: np.ndarray,
    names: np.ndarray,
    count: int,
    reach: float,
    bottom: float,
) -> None:
    digits = decimals(values)
    order = np.argsort(values, kind="stable")
    count = min(count, len(values) // 2)
    step = (reach - bottom) * 0.22
    for rank, i in enumerate(order[::-1][:count]):
        _callout(
            ax,
            values[i],
            offsets[i],
            f"{names[i]} ({fixed(values[i], digits)})",
            reach + step * (count - rank - 0.4),
            "right",
        )
    for rank, i in enumerate(order[:count]):
        _callout(
            ax,
            values[i],
            offsets[i],
            f"{names[i]} ({fixed(values[i], digits)})",
            reach + step * (count - rank - 0.4),
            "left",
        )


def _callout(ax: Axes, x: float, y: float, text: str, height: float, side: str) -> None:
    ax.annotate(
        text,
        xy=(x, y),
        xytext=(x, height),
        ha=side,
        va="center",
        fontsize=8,
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
    >>> [ax.get_title("left") for ax in fig.axes if ax.get_title("left")]
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
    from matplotlib.figure import Figure

    largest = max(matrix.shape[0] for matrix in matrices.values())
    columns = min(len(matrices), 3 if largest <= 4 else 2)
    lines = math.ceil(len(matrices) / columns)
    side = 0.55 * largest + 1.4
    with style():
        fig = Figure(figsize=(min(7.0, side * columns + 0.8), side * lines + 0.6), layout="constrained")
        axes = fig.subplots(lines, columns, squeeze=False)
        image = None
        for ax, (name, matrix) in zip(axes.flat, matrices.items()):
            values = matrix.to_numpy(dtype=float)
            image = ax.imshow(values, cmap="RdBu", vmin=-1, vmax=1)
            labels = [
                f"{label}\n(reversed)" if directions.get((name, label), 1) < 0 else str(label)
                for label in matrix.columns
            ]
            ticks = range(len(labels))
            ax.set_xticks(
                ticks,
                labels,
                rotation=40 if len(labels) > 3 else 0,
                ha="right" if len(labels) > 3 else "center",
                fontsize=8,
            )
            ax.set_yticks(ticks, labels, fontsize=8)
            for (i, j), value in np.ndenumerate(values):
                if not np.isnan(value):
                    ax.text(
                        j,
                        i,
                        f"{value:.2f}",
                        ha="center",
                        va="center",
                        fontsize=8,
                        color="white" if abs(value) > 0.55 else INK,
                    )
            ax.set_title(plain_name(result.paths[name]), fontsize=10)
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
            fig.suptitle(title, x=0.02, ha="left", fontsize=11, fontweight="bold")
    return fig
