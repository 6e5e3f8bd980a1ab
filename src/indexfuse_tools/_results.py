"""The scores of a table as one tidy frame, and a ranked chart of them."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import (
    as_frame,
    as_model,
    as_share,
    at,
    coefficient_tables,
    dimension_name,
    fitted,
    replace_at,
    show,
    split_key,
    weight_leaves,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["results", "plot_ranking"]

_LABEL_WIDTH = 32  # characters of a row label shown on the chart


def results(model: Any, data: pd.DataFrame, *, min_present: float | None = None) -> pd.DataFrame:
    """Composite, rank, dimension values and missing counts of every row of ``data``.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    data : pandas.DataFrame
        The table to score (the one fitted on, or any with the same columns).
    min_present : float, optional
        A share in (0, 1]: a row in which a dimension has fewer of its
        indicators present than this share gets NaN for that dimension, and
        so for the composite, instead of the value the model computes from
        the indicators it has. By default every row is scored as ``score``
        scores it: a missing indicator counts as the bottom of its scale (or
        its mean, with ``"z_score"``), and only a dimension whose
        indicators are all missing is NaN.

    Returns
    -------
    pandas.DataFrame
        Over the rows of ``data`` (same index), the columns:

        - ``"composite"``: the composite score;
        - ``"rank"``: 1 for the highest composite; ties share the average
          rank; NaN where the composite is NaN;
        - one column per dimension, named as ``weights(model)`` names it
          (nested dimensions by their sub-dimensions, e.g.
          ``"opportunity / hardship (-1)"``), holding the dimension's value
          before its weight and direction; NaN throughout for a dimension
          without coefficients;
        - ``"missing"``: how many of the model's indicator columns are
          missing in the row.

    Raises
    ------
    ValueError
        If the model is not fitted, no dimension carries a weight, or
        ``min_present`` is not a share.
    KeyError
        If ``data`` lacks columns the model uses (all are named).

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import results
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "jobs": [1.5, 2.0, 2.5, 3.5, 4.0, 5.0],
    ...                      "crime": [6.0, 5.0, 4.5, 3.0, 2.0, 1.0]},
    ...                     index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp", "jobs"],
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> table = results(model, data)
    >>> table.columns.tolist()
    ['composite', 'rank', 'economy', 'safety', 'missing']
    >>> table["rank"].tolist()
    [6.0, 5.0, 4.0, 3.0, 2.0, 1.0]

    A row missing half of a dimension's indicators, with ``min_present=2/3``:

    >>> holes = data.copy()
    >>> holes.loc["z", "jobs"] = float("nan")
    >>> results(model, holes, min_present=2/3).loc["z", ["composite", "economy", "missing"]].tolist()
    [nan, nan, 1.0]
    """
    model = as_model(model, "results")
    frame = as_frame(data)
    share = as_share(min_present, "min_present")
    coef, weight_tree = fitted(model, "index_coef"), fitted(model, "dim_weight")
    dimensions = [(node.path, [split_key(key)[0] for key in node.value]) for node in coefficient_tables(coef)]
    used = list(dict.fromkeys(label for _, labels in dimensions for label in labels))
    absent = [label for label in used if label not in frame.columns]
    if absent:
        raise KeyError(f"data lacks column(s) the model uses: {show(absent, 10)}")
    composite, values = model.score(frame)
    if share is not None:
        for path, labels in dimensions:
            present = pd.concat([frame[label] for label in labels], axis=1).notna().sum(axis=1)
            # Compared as counts, so that 2 of 3 present meets a share of 2/3 exactly.
            values = _mask(values, path, present >= share * len(labels) - 1e-9)
        composite = model.compute_score(values, weight_tree)
    if not isinstance(composite, pd.Series):
        raise ValueError(
            "no dimension of the model carries a weight, so there is no composite; "
            "check(schema, data) shows which entries name no column"
        )
    columns: list[pd.Series] = [
        composite.rename("composite"),
        composite.rank(ascending=False, method="average").rename("rank"),
    ]
    for leaf in weight_leaves(weight_tree):
        value = at(values, leaf.path)
        name = dimension_name(leaf.path)
        if isinstance(value, pd.Series):
            columns.append(value.astype(np.float64).rename(name))
        else:
            columns.append(pd.Series(np.nan, index=frame.index, name=name))
    missing = pd.concat([frame[label] for label in used], axis=1).isna().sum(axis=1)
    columns.append(missing.rename("missing"))
    table = pd.concat(columns, axis=1)
    table.index = frame.index
    return table


def _mask(tree: Any, path: tuple[Any, ...], keep: pd.Series) -> Any:
    """A copy of ``tree`` whose value at ``path`` is NaN where ``keep`` is false."""
    value = at(tree, path)
    return replace_at(tree, path, value.where(keep) if isinstance(value, pd.Series) else value)


def plot_ranking(
    results: pd.DataFrame,
    n: int | None = 10,
    *,
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
    label : str, optional
        The name of the score, for the axis (default ``"composite"``).
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
    from matplotlib.figure import Figure

    if not isinstance(results, pd.DataFrame) or not {"composite", "rank"} <= set(results.columns):
        raise TypeError("plot_ranking() needs the table made by results(model, data)")
    if n is not None and (not isinstance(n, int) or isinstance(n, bool) or n < 1):
        raise ValueError(f"n must be a positive integer or None, got {n!r}")
    scored = results[results["composite"].notna()].sort_values("rank", kind="stable")
    shown, cut = scored, None
    if n is not None and len(scored) > 2 * n:
        shown, cut = pd.concat([scored.iloc[:n], scored.iloc[-n:]]), n
    rows = len(shown) + (cut is not None)
    if ax is None:
        figure = Figure(figsize=(7.5, 1.3 + 0.3 * max(rows, 3)), layout="constrained")
        ax = figure.add_subplot()
    else:
        figure = ax.get_figure()  # type: ignore[assignment]
    # Rows from the top down; the gap between the top and the bottom rows is one empty row.
    y = np.arange(len(shown), dtype=float)
    if cut is not None:
        y[cut:] += 1
    y = y.max() - y if len(y) else y
    values = shown["composite"].to_numpy(dtype=float)
    ax.hlines(y, values.min() if len(values) else 0, values, color="0.85", linewidth=1, zorder=1)
    ax.scatter(values, y, color="tab:blue", s=28, zorder=2)
    ax.set_yticks(y, [f"{_rank_text(r)}  {_short(i)}" for i, r in zip(shown.index, shown["rank"])])
    ax.tick_params(axis="y", length=0)
    ax.set_ylim(-0.8, (y.max() if len(y) else 0) + 0.8)
    if cut is not None:
        hidden = len(scored) - 2 * n  # type: ignore[operator]
        ax.text(0.5, y[cut - 1] - 1, f"({hidden} rows not shown)", transform=ax.get_yaxis_transform(),
                ha="center", va="center", color="0.4", fontsize="small")
    ax.set_xlabel(label or "composite")
    ax.grid(axis="x", color="0.92")
    ax.set_axisbelow(True)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.set_title(title or _default_title(len(scored), n if cut is not None else None, len(results)))
    return figure


def _rank_text(rank: float) -> str:
    return f"{rank:g}"


def _short(label: Any) -> str:
    text = str(label)
    return text if len(text) <= _LABEL_WIDTH else text[: _LABEL_WIDTH - 1] + "…"


def _default_title(scored: int, n: int | None, total: int) -> str:
    what = f"Top and bottom {n} of {scored}" if n is not None else f"All {scored} rows"
    unscored = total - scored
    return what + (f" ({unscored} without a composite)" if unscored else "") + ", by rank"
