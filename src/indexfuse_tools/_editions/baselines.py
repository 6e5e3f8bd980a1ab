"""Choosing a baseline: the three ways of scoring editions, side by side on one edition."""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._editions.api import BASELINES, editions, split_editions
from indexfuse_tools._editions.result import Editions
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._results import fitted_ranges

__all__ = ["BASELINE_COLUMNS", "compare_baselines"]

#: The columns of :func:`compare_baselines`, after one ``spearman_<baseline>`` column per baseline.
BASELINE_COLUMNS = ("values_outside", "units_outside", "composites_compare", "revises_earlier", "earlier_change")


def compare_baselines(
    schema: Any,
    data: pd.DataFrame | Mapping[Any, pd.DataFrame],
    *,
    period: Hashable,
    unit: Hashable | None = None,
    preparation: Preparation | Mapping[str, Any] | None = None,
    reference: Any = None,
    edition: Any = None,
    **model_args: Any,
) -> pd.DataFrame:
    """How the baselines an index could be published against compare, on one edition.

    An index published every year is scored against one baseline. Under
    ``"pooled"`` one model is fitted on every edition stacked: composites
    compare across editions, but each new edition changes the model, and so
    every earlier edition's composites, when the index is fitted again.
    Under ``"reference"`` the model is fitted on one edition and frozen:
    earlier editions never change, but later values fall outside the range
    it was fitted on, where its scale stretches past 0..1. Under ``"refit"``
    each edition has its own model: nothing earlier changes and nothing
    falls outside, but composites of different editions do not compare
    (ranks do). This table puts numbers on those trade-offs for the edition
    at hand: how far the three rankings of it agree, how many of its values
    lie outside the range each model was fitted on, and how much fitting
    again with it moves the editions before it.

    Parameters
    ----------
    schema, data, period, unit, preparation, model_args
        As :func:`editions` takes them; a dict ``preparation`` is learnt
        where each baseline fits its model.
    reference : period label, optional
        The reference edition of ``"reference"`` (the first by default).
    edition : period label, optional
        The edition compared; the latest by default.

    Returns
    -------
    pandas.DataFrame
        One row per baseline (``"pooled"``, ``"reference"``, ``"refit"``),
        indexed by ``"baseline"``:

        - ``spearman_pooled``, ``spearman_reference``, ``spearman_refit``:
          the Spearman correlation of the edition's ranks under this
          baseline with those under each baseline (1 on the diagonal);
        - ``values_outside``: how many of the edition's indicator values
          (after the preparation) lie outside the range the baseline's model
          was fitted on;
        - ``units_outside``: how many of its units have at least one;
        - ``composites_compare``: whether composites of different editions
          compare (ranks always do);
        - ``revises_earlier``: whether fitting the baseline again with this
          edition changes the composites of the editions before it, as
          publishing it would under that baseline;
        - ``earlier_change``: the largest such change of an earlier
          composite, measured by fitting without this edition and with it
          (NaN where the baseline cannot be fitted without it: a reference
          edition that is this one).

    Raises
    ------
    ValueError, KeyError, TypeError
        As :func:`editions` raises them; a ``edition`` that is not a period,
        or the first one (there is no earlier edition to revise).

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import compare_baselines
    >>> data = pd.DataFrame({
    ...     "year": [2019] * 4 + [2020] * 4 + [2021] * 4,
    ...     "region": ["n", "s", "e", "w"] * 3,
    ...     "gdp": [1.0, 2.0, 3.0, 4.0, 1.5, 2.0, 3.5, 3.0, 2.5, 2.0, 4.5, 3.5],
    ...     "crime": [4.0, 3.0, 2.5, 1.0, 3.5, 3.0, 2.0, 1.5, 3.0, 3.5, 1.0, 1.5]})
    >>> table = compare_baselines({"economy": ["gdp"], "safety": [("crime", -1)]}, data,
    ...                           period="year", unit="region")
    >>> table[["revises_earlier", "composites_compare", "values_outside"]]
              revises_earlier  composites_compare  values_outside
    baseline
    pooled               True                True               0
    reference           False                True               1
    refit               False               False               0
    """
    frames, _ = split_editions(data, period, unit)
    periods = list(frames)
    chosen = periods[-1] if edition is None else edition
    if chosen not in periods:
        raise ValueError(f"compare_baselines(): edition={chosen!r} is not a period; the periods are {periods!r}")
    if chosen == periods[0]:
        raise ValueError(
            f"compare_baselines(): edition={chosen!r} is the first edition: there is no earlier one to revise"
        )
    reference = periods[0] if reference is None else reference
    found = {
        baseline: editions(
            schema, frames, period=period, baseline=baseline, preparation=preparation,
            reference=reference if baseline == "reference" else None, **model_args,
        )
        for baseline in BASELINES
    }  # fmt: skip
    ranks = pd.DataFrame({baseline: ed.results.loc[chosen, "rank"] for baseline, ed in found.items()})
    correlation = ranks.corr(method="spearman")
    rows = []
    for baseline, ed in found.items():
        values, units = _outside(ed, chosen)
        rows.append(
            {
                **{f"spearman_{other}": float(correlation.to_numpy()[BASELINES.index(baseline), BASELINES.index(other)]) for other in BASELINES},
                "values_outside": values,
                "units_outside": units,
                "composites_compare": ed.one_model,
                **_revision(ed, baseline, schema, frames, chosen, period, preparation, reference, model_args),
            }
        )
    return pd.DataFrame(rows, index=pd.Index(list(BASELINES), name="baseline"))


def _outside(ed: Editions, period: Any) -> tuple[int, int]:
    """How many values of edition ``period``, and of how many units, lie outside the range its model was fitted on."""
    scored = ed.scored(period)
    beyond = np.zeros(len(scored), dtype=np.int64)
    for label, (low, high, direction) in fitted_ranges(ed.models[period]).items():
        values = scored[label].to_numpy(dtype=np.float64, na_value=np.nan) * direction
        beyond += (values < low) | (values > high)
    return int(beyond.sum()), int((beyond > 0).sum())


def _revision(
    ed: Editions, baseline: str, schema: Any, frames: dict[Any, pd.DataFrame], period: Any, label: Hashable,
    preparation: Any, reference: Any, model_args: dict[str, Any],
) -> dict[str, Any]:  # fmt: skip
    """Whether, and how far, fitting with edition ``period`` moves the composites of the editions before it."""
    periods = list(frames)
    earlier = {key: frames[key] for key in periods[: periods.index(period)]}
    if baseline == "refit":
        # Each edition's model is fitted on that edition alone: a later one changes none of them.
        return {"revises_earlier": False, "earlier_change": 0.0}
    if baseline == "reference" and reference not in earlier:
        return {"revises_earlier": False, "earlier_change": np.nan}
    without = editions(
        schema, earlier, period=label, baseline=baseline, preparation=preparation,
        reference=reference if baseline == "reference" else None, **model_args,
    )  # fmt: skip
    before = without.results["composite"]
    after = ed.results["composite"].reindex(before.index)
    change = float(np.nanmax(np.abs(after.to_numpy() - before.to_numpy()))) if len(before) else 0.0
    return {"revises_earlier": bool(change > 0), "earlier_change": change}
