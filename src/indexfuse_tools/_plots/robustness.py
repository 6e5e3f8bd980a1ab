"""Charts of a robustness analysis: how far each unit's rank moves over the
alternative indices, and which choices move it."""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import pandas as pd

from indexfuse_tools._plots.style import (
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
from indexfuse_tools._core import show, unit_list
from indexfuse_tools._plots.callouts import spread
from indexfuse_tools._robustness.result import least_settled

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["known_units", "named_units", "plot_level_shifts", "plot_rank_intervals", "plot_sensitivity_indices"]

# Up to this many units each gets a line and its label; beyond, labels would
# overlap, and the units a reader asks about are named beside the chart.
LABELLED_UNITS = 60
# Named beside a chart of more: the widest intervals, and the best and worst few.
WIDEST_NAMED = 10
ENDS_NAMED = 3
# Inches of a chart of many units: some 2.5 points a rank for 190 units.
NAMED_HEIGHT = 8.0
# A label's height, in multiples of its size.
LINE_SPACING = 1.3
# Light enough for the median, drawn over them in the full colour, to stand out.
INTERVAL = shade(PALETTE[0], 0.6)
# Every unit's interval behind the named ones: there, but quiet.
FAINT_INTERVAL = shade(PALETTE[0], 0.72)
FAINT_MEDIAN = shade(PALETTE[0], 0.4)
MEDIAN = PALETTE[0]
NOMINAL = PALETTE[5]
TOTAL_INDEX = PALETTE[0]
FIRST_ORDER_INDEX = PALETTE[1]
LEVEL = PALETTE[0]
# The nominal level is the reference the others are read against, not one of the alternatives.
NOMINAL_LEVEL = shade(MUTED, 0.35)


def plot_rank_intervals(
    ranks: pd.DataFrame,
    *,
    runs: int,
    n: int | None = None,
    label: Mapping[Hashable, str] | pd.Series | None = None,
    highlight: Iterable[Hashable] | None = None,
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """Units by nominal rank with the 5-95% interval and median of their rank over the runs.

    Parameters
    ----------
    ranks : pandas.DataFrame
        One row per unit with the columns ``"nominal"``, ``"median"``,
        ``"p5"`` and ``"p95"`` (the ``ranks`` table of a robustness result).
    runs : int
        How many runs the ranks come from, for the default title.
    n : int, optional
        Show the ``n`` best and ``n`` worst units (by nominal rank); by
        default all of them.
    label : mapping or Series, optional
        Display names of units (by their index label); units it lacks show
        their index label.
    highlight : iterable, optional
        Units (index labels) to name whatever their interval; their names
        are set in bold.
    title : str, optional
        Replaces the default title.
    ax : matplotlib.axes.Axes, optional
        Draw on this axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Notes
    -----
    Up to 60 units are drawn one per row, each with its label. More are
    drawn as one thin, light line per unit at the height of its nominal rank,
    and the units a reader asks about are drawn in full and named in a
    column right of the chart, each joined to its line, no name on another:
    the ten widest intervals, the three best and three worst units, and
    ``highlight``.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools._plots import plot_rank_intervals
    >>> ranks = pd.DataFrame({"nominal": [2.0, 1.0, 3.0], "median": [2.0, 1.0, 3.0],
    ...                       "p5": [1.0, 1.0, 2.0], "p95": [3.0, 2.0, 3.0]},
    ...                      index=pd.Index(["a", "b", "c"], name="region"))
    >>> figure = plot_rank_intervals(ranks, runs=64, label={"b": "Bravo"})
    >>> [t.get_text() for t in figure.axes[0].get_yticklabels()]
    ['Bravo', 'a', 'c']
    >>> figure.axes[0].get_title("left")
    'Rank of each region over 64 runs'
    """
    table = ranks.sort_values("nominal", kind="stable")
    if n is not None:
        if not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError(f"n must be a positive integer or None, got {n!r}")
        if 2 * n < len(table):
            table = pd.concat([table.iloc[:n], table.iloc[-n:]])
    marked = known_units(highlight, ranks.index)
    name = shorten(ranks.index.name) if isinstance(ranks.index.name, str) else "unit"
    title = title or f"Rank of each {name} over {runs:,} runs"
    with style():
        if len(table) <= LABELLED_UNITS:
            gap = n is not None and 2 * n < len(ranks)
            return _interval_chart(table, label, marked, title, ax, gap=gap)
        return _named_chart(table, label, marked, title, ax)


def known_units(highlight: Iterable[Hashable] | None, index: pd.Index) -> list[Hashable]:
    """``highlight`` as a list of units of ``index``, each once (one label alone is one unit).

    Raises
    ------
    KeyError
        Naming the labels that are no unit of ``index``: a unit asked for
        and silently left out would be missed by the reader who asked.
    """
    if highlight is None:
        return []
    wanted = list(dict.fromkeys(unit_list(highlight, index)))
    missing = [unit for unit in wanted if unit not in index]
    if missing:
        raise KeyError(f"highlight names units the ranks lack: {show(missing)}")
    return wanted


def _display_names(units: Iterable[Any], label: Mapping[Hashable, str] | pd.Series | None) -> list[str]:
    return [shorten(label[u]) if label is not None and u in label else shorten(u) for u in units]


def named_units(table: pd.DataFrame, highlight: Iterable[Hashable] = ()) -> list[Hashable]:
    """The units a chart of many names: the widest intervals, the best and worst few, and ``highlight``.

    Parameters
    ----------
    table : pandas.DataFrame
        The ranks drawn, with ``"nominal"``, ``"p5"`` and ``"p95"``.
    highlight : iterable
        Units to name besides.

    Returns
    -------
    list
        Each unit once, in the order of their nominal rank.
    """
    ordered = table.sort_values("nominal", kind="stable")
    widest = least_settled(table, WIDEST_NAMED).index
    chosen = {*widest, *ordered.index[:ENDS_NAMED], *ordered.index[-ENDS_NAMED:], *highlight}
    return [unit for unit in ordered.index if unit in chosen]


def _interval_chart(
    table: pd.DataFrame,
    label: Mapping[Hashable, str] | pd.Series | None,
    marked: list[Hashable],
    title: str,
    ax: Axes | None,
    gap: bool,
) -> Figure:
    figure, ax = figure_and_axes(ax, 1.4 + 0.22 * len(table))
    y = np.arange(len(table))[::-1]
    names = _display_names(table.index, label)
    ax.hlines(y, table["p5"], table["p95"], color=INTERVAL, linewidth=3, label="5-95% of runs")
    ax.scatter(table["median"], y, color=MEDIAN, s=14, zorder=3, label="median")
    ax.scatter(table["nominal"], y, color=NOMINAL, marker="|", s=90, linewidths=1.6, zorder=4, label="nominal")
    ax.set_yticks(y, names, fontsize=7 if len(table) > 30 else 8)
    for tick, unit in zip(ax.get_yticklabels(), table.index, strict=True):
        if unit in marked:
            tick.set_fontweight("bold")
    if gap:
        middle = len(table) // 2
        ax.axhline(y[middle] + 0.5, color=MUTED, linestyle=":", linewidth=1)
    ax.set_ylim(-0.8, len(table) - 0.2)
    frame(ax)
    return _finish(figure, ax, "rank (1 = best)", title, "upper right", "x")


def _named_chart(
    table: pd.DataFrame,
    label: Mapping[Hashable, str] | pd.Series | None,
    marked: list[Hashable],
    title: str,
    ax: Axes | None,
) -> Figure:
    named = named_units(table.dropna(subset=["nominal"]), [unit for unit in marked if unit in table.index])
    line = NOTE_SIZE * LINE_SPACING / 72  # inches a label takes, one above the other
    figure, ax = figure_and_axes(ax, max(NAMED_HEIGHT, 1.8 + 1.15 * line * len(named)))
    rank = table["nominal"].to_numpy(dtype=np.float64)
    ax.hlines(rank, table["p5"], table["p95"], color=FAINT_INTERVAL, linewidth=0.8, label="5-95% of runs")
    ax.scatter(table["median"], rank, color=FAINT_MEDIAN, s=2, linewidths=0, zorder=2)
    chosen = table.loc[named]
    ax.hlines(chosen["nominal"], chosen["p5"], chosen["p95"], color=MEDIAN, linewidth=1.6, zorder=3,
              label="named units")  # fmt: skip
    ax.scatter(chosen["median"], chosen["nominal"], color=MEDIAN, s=12, zorder=4, label="median")
    top = float(np.nanmax(table[["p95", "nominal"]].to_numpy(dtype=np.float64)))
    ax.plot([1, top], [1, top], color=NOMINAL, linewidth=0.8, linestyle="--", zorder=1, label="nominal")
    ax.set_xlim(0, top + 1)
    ax.set_ylim(top + 1, 0)  # rank 1 at the top
    ax.set_ylabel("nominal rank (1 = best)")
    frame(ax, categories=False)
    _finish(figure, ax, "rank over the runs", title, "lower left", "both")
    _call_out(figure, ax, chosen, _display_names(named, label), [unit in marked for unit in named])
    return figure


def _call_out(figure: Figure, ax: Axes, chosen: pd.DataFrame, names: list[str], bold: list[bool]) -> None:
    """Name ``chosen`` in a column right of the chart, each beside its rank, none on another."""
    if not names:
        return
    figure.draw_without_rendering()  # the axes' height, once the layout has placed it
    height = ax.get_window_extent().height * 72 / figure.dpi
    gap = NOTE_SIZE * LINE_SPACING / height
    # Axes fractions upside down, so that they rise with the rank as the labels go down.
    wanted = ax.transLimits.transform(np.column_stack([chosen["p95"], chosen["nominal"]]))[:, 1]
    places = 1 - spread(1 - wanted, gap, gap / 2, 1 - gap / 2)
    for name, heavy, end, rank, place in zip(names, bold, chosen["p95"], chosen["nominal"], places, strict=True):
        ax.annotate(
            name, xy=(end, rank), xycoords="data", xytext=(1.02, place), textcoords="axes fraction",
            ha="left", va="center", fontsize=NOTE_SIZE, fontweight="bold" if heavy else "normal", color=INK,
            annotation_clip=False, arrowprops={"arrowstyle": "-", "color": MUTED, "linewidth": 0.5,
                                               "shrinkA": 1, "shrinkB": 2},
        )  # fmt: skip


_Corner = Literal["upper right", "upper left", "lower right", "lower left"]


def _finish(
    figure: Figure, ax: Axes, xlabel: str, title: str, legend: _Corner, lines: Literal["x", "y", "both"]
) -> Figure:
    ax.set_xlabel(xlabel)
    set_title(ax, title)
    grid(ax, lines)
    ax.legend(loc=legend)
    return figure


def plot_sensitivity_indices(
    sensitivity: pd.DataFrame,
    *,
    labels: Mapping[str, str] | None = None,
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """First-order and total Sobol indices of each factor, with their 95% intervals.

    Parameters
    ----------
    sensitivity : pandas.DataFrame
        One row per factor with the columns ``"S1"``, ``"S1_low"``,
        ``"S1_high"``, ``"ST"``, ``"ST_low"`` and ``"ST_high"`` (the
        ``sensitivity`` table of a robustness result).
    labels : mapping, optional
        Words for the factors' names; a factor it lacks shows its name.
    title : str, optional
        Replaces the default title.
    ax : matplotlib.axes.Axes, optional
        Draw on this axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools._plots import plot_sensitivity_indices
    >>> table = pd.DataFrame({"S1": [0.1, 0.6], "S1_low": [0.0, 0.5], "S1_high": [0.2, 0.7],
    ...                       "ST": [0.2, 0.7], "ST_low": [0.1, 0.6], "ST_high": [0.3, 0.8]},
    ...                      index=["ent_k", "exclude"])
    >>> figure = plot_sensitivity_indices(table, labels={"exclude": "an indicator left out"})
    >>> [t.get_text() for t in figure.axes[0].get_yticklabels()]
    ['ent_k', 'an indicator left out']
    """
    ordered = sensitivity.sort_values("ST", kind="stable")
    words = labels or {}
    with style():
        figure, ax = figure_and_axes(ax, 1.3 + 0.45 * len(ordered))
        y = np.arange(len(ordered))
        height = 0.38
        for offset, name, colour, legend in (
            (height / 2, "ST", TOTAL_INDEX, "total (ST)"),
            (-height / 2, "S1", FIRST_ORDER_INDEX, "first order (S1)"),
        ):
            values = ordered[name].to_numpy()
            errors = np.vstack([values - ordered[f"{name}_low"], ordered[f"{name}_high"] - values])
            ax.barh(y + offset, values, height, color=colour, label=legend)
            ax.errorbar(
                values, y + offset, xerr=np.maximum(errors, 0), fmt="none", ecolor=INK, elinewidth=0.8, capsize=2
            )
        ax.set_yticks(y, [shorten(words.get(str(name), name)) for name in ordered.index])
        ax.axvline(0, color=MUTED, linewidth=0.8)
        frame(ax)
        return _finish(
            figure, ax, "share of the variance of the mean absolute rank shift", title or "What moves the ranking",
            "lower right", "x",
        )  # fmt: skip


def plot_level_shifts(
    table: pd.DataFrame,
    *,
    factor: str,
    overall: float,
    nominal: str | None = None,
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """The mean rank shift of the runs at each level of one factor, the largest at the top.

    Parameters
    ----------
    table : pandas.DataFrame
        One row per level (its index: the level as text) with the column
        ``"mean_shift"`` (the ``by_level`` table of a robustness result).
    factor : str
        What the factor is called, for the default title.
    overall : float
        The mean rank shift over all runs, drawn as a reference line.
    nominal : str, optional
        The level of the nominal index (for ``exclude``: ``"no exclusion"``),
        drawn in grey as the reference the others are read against.
    title : str, optional
        Replaces the default title.
    ax : matplotlib.axes.Axes, optional
        Draw on this axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools._plots.robustness import plot_level_shifts
    >>> table = pd.DataFrame({"mean_shift": [0.4, 2.5, 1.0]},
    ...                      index=pd.Index(["no exclusion", "gdp", "literacy"], name="level"))
    >>> figure = plot_level_shifts(table, factor="an indicator left out", overall=1.3,
    ...                            nominal="no exclusion")
    >>> [t.get_text() for t in figure.axes[0].get_yticklabels()]
    ['no exclusion', 'literacy', 'gdp']
    """
    ordered = table.sort_values("mean_shift", kind="stable")
    values = ordered["mean_shift"].to_numpy(dtype=np.float64)
    colours = [NOMINAL_LEVEL if level == nominal else LEVEL for level in ordered.index]
    with style():
        figure, ax = figure_and_axes(ax, 1.3 + 0.3 * len(ordered))
        y = np.arange(len(ordered))
        ax.barh(y, np.nan_to_num(values), 0.6, color=colours)
        ax.axvline(overall, color=NOMINAL, linestyle="--", linewidth=1, label="mean over all runs")
        ax.set_yticks(y, [shorten(level) for level in ordered.index], fontsize=7 if len(ordered) > 30 else 8)
        ax.set_ylim(-0.7, len(ordered) - 0.3)
        frame(ax)
        return _finish(
            figure, ax, "mean absolute rank shift of the runs at this level",
            title or f"How far each level moves the ranking: {factor}", "lower right", "x",
        )  # fmt: skip
