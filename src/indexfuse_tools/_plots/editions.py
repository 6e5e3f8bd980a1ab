"""Charts of an index published edition after edition: every unit's path over
the editions with the largest movers called out, and the waterfall that
explains one unit's change indicator by indicator."""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import pandas as pd

from indexfuse_tools._core import strip_bidi, unit_list
from indexfuse_tools._plots.style import (
    GRID,
    INK,
    MUTED,
    NOTE_SIZE,
    PALETTE,
    TITLE_SIZE,
    figure_and_axes,
    frame,
    grid,
    shade,
    shorten,
    style,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from indexfuse_tools._editions import Editions

__all__ = ["plot_trajectories", "plot_change", "movers", "REFIT_NOTE", "term_label"]

Value = Literal["composite", "rank", "score"]
_VALUES = ("composite", "rank", "score")
#: What every chart of composites fitted edition by edition says under them.
REFIT_NOTE = "Each edition has its own model (refit): composites of different editions are not comparable; ranks are."
# The palette without its yellow, which a thin line or a label on white hardly shows.
HIGHLIGHT = tuple(colour for colour in PALETTE if colour != "#F0E442")
# Light enough that a few thousand lines read as a cloud behind the highlighted ones.
BACKGROUND = shade(MUTED, 0.55)
RISE = PALETTE[2]
FALL = PALETTE[5]
TOTAL = PALETTE[0]
# The parts of a change that are no indicator's own: grey, so they read apart from the data.
SIDE = shade(MUTED, 0.25)
# Period labels on the axis beyond which only every k-th is written.
PERIOD_TICKS = 10
# Space between two end labels, as a share of their font size.
LABEL_LEADING = 1.25


# ------------------------------------------------------------ trajectories --


def _wide(editions: Editions, value: str) -> pd.DataFrame:
    """``value`` as a periods x units table, periods in the editions' order."""
    table = editions.results
    if value not in table.columns:
        raise ValueError(
            f"value={value!r}: these editions have no {value!r} column"
            + (" (editions(..., scale='0-100') adds the score)" if value == "score" else "")
        )
    wide = table[value].unstack("unit")
    return wide.reindex(editions.periods)


def movers(editions: Editions, n: int, value: str = "composite") -> list[Hashable]:
    """The ``n`` units whose ``value`` moved most between the first and the last edition.

    Ranks are compared under ``baseline="refit"``, whatever ``value`` is: the
    composites of editions fitted apart are not comparable. A unit missing
    from either end is not a mover.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.
    n : int
        How many units.
    value : {"composite", "rank", "score"}
        What is compared.

    Returns
    -------
    list
        Unit labels, the largest absolute move first (ties in the units' order).
    """
    compared = "rank" if editions.baseline == "refit" else value
    wide = _wide(editions, compared)
    moved = (wide.iloc[-1] - wide.iloc[0]).dropna()
    order = np.argsort(-moved.abs().to_numpy(), kind="stable")
    return list(moved.index[order[:n]])


def _period_text(period: Any) -> str:
    if isinstance(period, pd.Timestamp) and period == period.normalize():
        return period.date().isoformat()
    return shorten(period, 12)


def _highlighted(editions: Editions, units: Iterable[Hashable] | None, n: int, value: str) -> list[Hashable]:
    if units is None:
        if not isinstance(n, int) or isinstance(n, bool) or n < 0:
            raise ValueError(f"n must be a whole number of units, 0 or more, got {n!r}")
        return movers(editions, n, value)
    chosen = unit_list(units, editions.units)
    known = set(editions.results.index.get_level_values("unit"))
    unknown = [unit for unit in chosen if unit not in known]
    if unknown:
        raise KeyError(f"no unit {', '.join(map(repr, unknown[:5]))} in these editions")
    return list(dict.fromkeys(chosen))


def spread_labels(wanted: Sequence[float] | np.ndarray, gap: float, low: float, high: float) -> np.ndarray:
    """Positions as close to ``wanted`` as they can be with ``gap`` between any two, within [low, high].

    Labels are pushed apart in order, up then down: where they crowd they
    form an evenly spaced column centred on where they wanted to be, and
    when there are more than [low, high] holds they spill past it rather
    than overlap.

    Examples
    --------
    >>> spread_labels([0.0, 0.1, 5.0], gap=1.0, low=-10, high=10).tolist()
    [-0.45, 0.55, 5.0]
    """
    order = np.argsort(np.asarray(wanted, dtype=float), kind="stable")
    target = np.asarray(wanted, dtype=float)[order]
    # Runs of labels closer than the gap, each set as a column around its targets' mean;
    # a column that grows into the one below joins it.
    runs: list[list[int]] = []
    for i in range(len(target)):
        runs.append([i])
        while len(runs) > 1 and _column(target[runs[-1]], gap)[0] < _column(target[runs[-2]], gap)[-1] + gap:
            last = runs.pop()
            runs[-1] += last
    placed = np.concatenate([_column(target[run], gap) for run in runs]) if runs else target
    # Then inside the range, neighbours pushed along where they would meet.
    if len(placed):
        placed[0] = max(placed[0], low)
        for i in range(1, len(placed)):
            placed[i] = max(placed[i], placed[i - 1] + gap)
        placed[-1] = min(placed[-1], max(high, low + gap * (len(placed) - 1)))
        for i in range(len(placed) - 2, -1, -1):
            placed[i] = min(placed[i], placed[i + 1] - gap)
    result = np.empty_like(placed)
    result[order] = placed
    return result


def _column(targets: np.ndarray, gap: float) -> np.ndarray:
    """``len(targets)`` positions ``gap`` apart, centred on the targets' mean."""
    count = len(targets)
    return targets.mean() + gap * (np.arange(count) - (count - 1) / 2)


def plot_trajectories(
    editions: Editions,
    units: Iterable[Hashable] | None = None,
    n: int = 10,
    *,
    value: Value = "composite",
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """Every unit's composite, rank or score over the editions, a few highlighted.

    Each unit is a thin grey line; the units named, or else the ``n``
    largest movers between the first and the last edition (see
    :func:`movers`), are drawn in colour and labelled at the end of their
    line. Labels that would overlap are moved apart, each joined to its line
    by a thin stroke.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.
    units : unit label or iterable of unit labels, optional
        The units to highlight (one label alone is one unit); by default the
        ``n`` largest movers.
    n : int, default 10
        How many movers to highlight when ``units`` is not given.
    value : {"composite", "rank", "score"}, default "composite"
        What is drawn: the composite, the rank within each edition (1 at
        the top), or the composite on the 0..100 presentation scale (the
        editions need ``scale="0-100"``). Under ``baseline="refit"`` a
        chart of composites or scores carries a note that they are not
        comparable across editions.
    title : str, optional
        Replaces the default title.
    ax : matplotlib.axes.Axes, optional
        Draw here instead of on a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        For an unknown ``value``, a score without a presentation scale, or a
        negative ``n``.
    KeyError
        If ``units`` names a unit the editions do not have.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import editions, plot_trajectories
    >>> panel = pd.DataFrame({"year": [1, 1, 1, 2, 2, 2], "unit": list("abcabc"),
    ...                       "x": [1.0, 2.0, 3.0, 3.0, 2.5, 1.0], "y": [2.0, 1.0, 3.0, 2.5, 1.5, 0.5]})
    >>> result = editions({"all": ["x", "y"]}, panel, period="year", unit="unit")
    >>> figure = plot_trajectories(result, n=2)
    >>> sorted(text.get_text() for text in figure.axes[0].texts)
    ['a', 'c']
    """
    if value not in _VALUES:
        raise ValueError(f"value must be one of {', '.join(_VALUES)}, got {value!r}")
    wide = _wide(editions, value)
    chosen = _highlighted(editions, units, n, value)
    not_comparable = editions.baseline == "refit" and value != "rank"
    x = np.arange(len(wide), dtype=float)
    with style():
        figure, ax = figure_and_axes(ax, max(4.2, 1.6 + 0.2 * len(chosen)))
        _background(ax, x, wide)
        ends = []
        for number, unit in enumerate(chosen):
            colour = HIGHLIGHT[number % len(HIGHLIGHT)]
            line = wide[unit].to_numpy(dtype=float)
            ax.plot(x, line, color=colour, linewidth=1.8, marker="o", markersize=2.5, zorder=3)
            last = np.flatnonzero(np.isfinite(line))
            if len(last):
                ends.append((unit, x[last[-1]], line[last[-1]], colour))
        _period_axis(ax, x, wide.index)
        ax.set_xlim(-0.3, x[-1] + 0.3 if len(x) else 1)
        if value == "rank":
            top = np.nanmax(wide.to_numpy(dtype=float)) if wide.notna().any().any() else 1.0
            ax.set_ylim(top + 0.5, 0.5)
            # The best rank is the one a reader looks for first: it gets its tick.
            ticks = [tick for tick in ax.get_yticks() if 1 < tick <= top]
            ax.set_yticks([1.0, *ticks])
            ax.set_ylabel("rank (1 = best)")
        else:
            ax.set_ylabel("composite, 0..100" if value == "score" else "composite")
        frame(ax, categories=False)
        grid(ax, "y")
        what = {"composite": "Composite", "rank": "Rank", "score": "Score"}[value]
        default = f"{what} over {len(wide)} editions" + (
            f", the {len(chosen)} largest movers highlighted" if units is None and chosen else ""
        )
        ax.set_title(strip_bidi(title or default), loc="left", fontsize=TITLE_SIZE, fontweight="bold",
                     pad=16 if not_comparable else 6)  # fmt: skip
        if not_comparable:
            ax.annotate(REFIT_NOTE, xy=(0, 1), xycoords="axes fraction", xytext=(0, 4), textcoords="offset points",
                        va="bottom", ha="left", color=FALL, fontsize=NOTE_SIZE)  # fmt: skip
        _end_labels(figure, ax, ends)
    return figure


def _background(ax: Axes, x: np.ndarray, wide: pd.DataFrame) -> None:
    """Every unit's line in one collection: thousands of units draw as fast as one."""
    from matplotlib.collections import LineCollection

    values = wide.to_numpy(dtype=float).T
    points = np.broadcast_to(x, values.shape)
    segments = np.stack([points, values], axis=-1)
    width = 0.6 if values.shape[0] <= 200 else 0.3
    ax.add_collection(LineCollection(list(segments), colors=[BACKGROUND], linewidths=width, zorder=1))
    ax.autoscale_view()


def _period_axis(ax: Axes, x: np.ndarray, periods: pd.Index) -> None:
    step = max(1, math.ceil(len(x) / PERIOD_TICKS))
    shown = np.arange(0, len(x), step)
    ax.set_xticks(x[shown], [_period_text(periods[int(i)]) for i in shown])
    ax.set_xlabel("edition")


def _end_labels(figure: Figure, ax: Axes, ends: list[tuple[Hashable, float, float, str]]) -> None:
    """Each highlighted unit's name at the end of its line, moved apart where they would overlap."""
    if not ends:
        return
    figure.draw_without_rendering()  # lays out the axes: their size in pixels is needed
    to_pixels = ax.transData
    pixels = np.array([to_pixels.transform((x, y))[1] for _, x, y, _ in ends])
    gap = NOTE_SIZE * LABEL_LEADING * figure.dpi / 72
    box = ax.get_window_extent()
    placed = spread_labels(pixels, gap, box.y0 + gap / 2, box.y1 - gap / 2)
    for (unit, x, y, colour), wanted, put in zip(ends, pixels, placed, strict=True):
        moved = abs(put - wanted) > 0.5
        ax.annotate(
            shorten(unit, 24),
            xy=(x, y),
            xytext=(10, (put - wanted) * 72 / figure.dpi),
            textcoords="offset points",
            va="center",
            ha="left",
            color=colour,
            fontsize=NOTE_SIZE,
            annotation_clip=False,
            arrowprops={"arrowstyle": "-", "color": colour, "linewidth": 0.6, "shrinkA": 0, "shrinkB": 2}
            if moved
            else None,
        )


# ----------------------------------------------------------------- change --


def term_label(column: Any, duplicated: bool = False) -> str:
    """An indicator's term column of a change table as words: the indicator,
    with its dimension when the indicator is in two dimensions."""
    if isinstance(column, tuple) and len(column) == 2:
        dimension, indicator = column
        return f"{indicator} ({dimension})" if duplicated else str(indicator)
    return str(column)


def _waterfall_rows(row: dict[Any, float], terms: list[Any], n: int) -> list[tuple[str, float, str]]:
    """(label, amount, kind) of each bar between the two composites, largest term first;
    ``row`` maps each term, "missing" and "method" to its amount."""
    indicators = [term[1] if isinstance(term, tuple) and len(term) == 2 else term for term in terms]
    twice = {name for name in indicators if indicators.count(name) > 1}
    amounts = pd.Series([float(row[term]) for term in terms], index=range(len(terms)))
    order = np.argsort(-amounts.abs().to_numpy(), kind="stable")
    rows = [(term_label(terms[i], indicators[i] in twice), float(amounts[i]), "term") for i in order[:n]]
    rest = order[n:]
    if len(rest):
        rows.append((f"other indicators ({len(rest)})", float(amounts[rest].sum()), "other"))
    for part, words in (("missing", "missing values"), ("method", "change of model (method)")):
        if part in row and row[part] != 0 and math.isfinite(row[part]):
            rows.append((words, float(row[part]), "side"))
    return rows


def _signed(value: float, digits: int) -> str:
    text = f"{value:+.{digits}f}"
    return text.replace("-", "−") if float(text) != 0 else f"{0:.{digits}f}"


def plot_change(
    editions: Editions,
    unit: Hashable,
    start: Any,
    end: Any,
    *,
    n: int = 12,
    title: str | None = None,
    ax: Axes | None = None,
) -> Figure:
    """A waterfall of what each indicator added to one unit's change of composite.

    From the top: the composite at ``start``, one bar per indicator's
    contribution to the change (the ``n`` largest in absolute value, largest
    first; the rest summed into "other indicators"), the parts due to
    missing values and, under ``baseline="refit"``, to the change of model
    when they are not zero, and the composite at ``end``. The contributions
    are those of ``Editions.change`` and add up to the difference of the two
    composites; each bar is labelled with its value. Rises are green, falls
    orange.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.
    unit : unit label
        The unit whose change is explained; it must be in both editions.
    start, end : period labels
        The two editions compared.
    n : int, default 12
        How many indicators get a bar of their own.
    title : str, optional
        Replaces the default title.
    ax : matplotlib.axes.Axes, optional
        Draw here instead of on a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        If the unit is not in both editions, or ``n`` is not a positive whole number.
    KeyError
        As ``Editions.change`` raises it for an unknown unit or period.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import editions, plot_change
    >>> panel = pd.DataFrame({"year": [1, 1, 1, 2, 2, 2], "unit": list("abcabc"),
    ...                       "x": [1.0, 2.0, 3.0, 3.0, 2.5, 1.0], "y": [2.0, 1.0, 3.0, 2.5, 1.5, 0.5]})
    >>> result = editions({"all": ["x", "y"]}, panel, period="year", unit="unit")
    >>> figure = plot_change(result, "a", 1, 2)
    >>> [label.get_text() for label in figure.axes[0].get_yticklabels()]
    ['composite in 1', 'x', 'y', 'composite in 2']
    """
    if not isinstance(n, int) or isinstance(n, bool) or n < 1:
        raise ValueError(f"n must be a positive whole number, got {n!r}")
    table: Any = editions.change(start, end, units=[unit])
    status = str(table.loc[unit, "status"])
    if status != "both":
        raise ValueError(
            f"unit {unit!r} is in {status.replace(' only', '')} edition only ({start!r} to {end!r}): "
            "there is no change to explain"
        )
    terms = list(editions.terms)
    parts = [part for part in ("missing", "method") if part in table.columns.get_level_values(0)]
    amounts = {key: float(table.loc[unit, key]) for key in [*terms, *parts]}
    bars = _waterfall_rows(amounts, terms, n)
    first, last = float(table.loc[unit, "start"]), float(table.loc[unit, "end"])
    refit = editions.baseline == "refit"
    with style():
        figure, ax = figure_and_axes(ax, 1.3 + 0.32 * (len(bars) + 2))
        digits = _waterfall(ax, first, last, bars, start, end)
        frame(ax)
        grid(ax)
        words = f"{_period_text(start)} to {_period_text(end)}"
        change = _signed(last - first, digits)
        ax.set_title(strip_bidi(title or f"{shorten(unit)}: composite {change}, {words}"), loc="left",
                     fontsize=TITLE_SIZE, fontweight="bold", pad=16 if refit else 6)  # fmt: skip
        if refit:
            ax.annotate("Each edition has its own model: the change is split between the data and the method.",
                        xy=(0, 1), xycoords="axes fraction", xytext=(0, 4), textcoords="offset points",
                        va="bottom", ha="left", color=MUTED, fontsize=NOTE_SIZE)  # fmt: skip
    return figure


def _waterfall(
    ax: Axes, first: float, last: float, bars: list[tuple[str, float, str]], start: Any, end: Any
) -> int:
    """Draw the bars; return the decimals their labels use."""
    running = first + np.concatenate([[0.0], np.cumsum([amount for _, amount, _ in bars])])
    reach = np.concatenate([[first, last], running])
    largest_step = max([abs(amount) for _, amount, _ in bars] + [abs(last - first), 1e-300])
    digits = max(2, 2 - math.floor(math.log10(largest_step)))
    low, high = float(np.min(reach)), float(np.max(reach))
    span = max(high - low, largest_step)
    # The totals are long bars from 0 only when the changes stay readable beside them.
    baseline = min(0.0, low) if max(abs(first), abs(last)) <= 5 * span else low - 0.6 * span
    cut = baseline != min(0.0, low)
    labels = [f"composite in {_period_text(start)}"]
    y = 0
    ax.barh(y, first - baseline, left=baseline, color=TOTAL, height=0.62)
    _label(ax, first, y, f"{first:.{digits}f}", span)
    for (name, amount, kind), left in zip(bars, running[:-1], strict=True):
        y += 1
        colour = {"term": RISE if amount >= 0 else FALL, "other": shade(RISE if amount >= 0 else FALL, 0.45)}
        ax.barh(y, amount, left=left, color=colour.get(kind, SIDE), height=0.62)
        ax.plot([left, left], [y - 1.31, y - 0.31], color=MUTED, linewidth=0.6)
        _label(ax, max(left, left + amount), y, _signed(amount, digits), span)
        labels.append(shorten(name))
    y += 1
    ax.plot([last, last], [y - 1.31, y - 0.31], color=MUTED, linewidth=0.6)
    ax.barh(y, last - baseline, left=baseline, color=TOTAL, height=0.62)
    _label(ax, last, y, f"{last:.{digits}f}", span)
    labels.append(f"composite in {_period_text(end)}")
    ax.set_yticks(range(y + 1), labels)
    for tick in (ax.get_yticklabels()[0], ax.get_yticklabels()[-1]):
        tick.set_fontweight("bold")
    ax.invert_yaxis()
    ax.set_xlim(baseline, high + 0.28 * span)
    ax.axvline(0, color=INK, linewidth=0.8) if not cut and baseline == 0 else None
    ax.set_xlabel("composite" + (" (the axis does not start at 0)" if cut else ""))
    ax.tick_params(axis="x", colors=INK)
    ax.xaxis.grid(True, color=GRID, linewidth=0.6)
    return digits


def _label(ax: Axes, x: float, y: float, text: str, span: float) -> None:
    ax.text(x + 0.015 * span, y, text, va="center", ha="left", color=INK, fontsize=NOTE_SIZE)
