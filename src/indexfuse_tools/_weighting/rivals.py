"""The index under the weightings a reviewer would hold against the model's.

Two rivals: equal weights (level by level, as :func:`equal_weights` sets
them) and weights from the dimensions' first principal component
(:func:`~indexfuse_tools._core.principal_component_weights`). Each gives a
composite and ranks beside the model's; the ranks are compared by their
rank correlations and by the units that move most.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import principal_component_weights
from indexfuse_tools._robustness.engine import descending_ranks
from indexfuse_tools._weights import equal_weights

__all__ = ["MODEL", "RIVALS", "LARGEST_SHIFTS", "largest_shifts", "rival_ranks", "rival_table", "rival_trees"]

#: What the tables call the model's own weighting.
MODEL = "model"
#: The rival weightings, as the tables name them.
RIVALS = ("equal", "principal components")
#: Units named per rival among the largest rank shifts.
LARGEST_SHIFTS = 10


def rival_trees(model: Any, values: Any) -> dict[str, Any]:
    """The weight tree of the model and of each rival, by name."""
    stand_in = copy.copy(model)  # equal_weights sets the weights of the model it is given
    equal_weights(stand_in)
    return {
        MODEL: model.dim_weight,
        RIVALS[0]: stand_in.dim_weight,
        RIVALS[1]: principal_component_weights(values, model.dim_weight),
    }


def rival_ranks(model: Any, values: Any, trees: dict[str, Any], units: pd.Index) -> pd.DataFrame:
    """Each unit's composite and rank (1 = best) under every weighting: columns ``"<name>"`` and ``"<name> rank"``."""
    columns = {}
    for name, tree in trees.items():
        composite = np.asarray(model.compute_score(values, tree), dtype=np.float64)
        if composite.ndim == 0:  # no weight contributes: every unit scores the same
            composite = np.full(len(units), float(composite))
        columns[name] = composite
        columns[f"{name} rank"] = descending_ranks(composite, len(units))
    return pd.DataFrame(columns, index=units)


def rival_table(ranks: pd.DataFrame) -> pd.DataFrame:
    """How far each rival's ranking is from the model's: Spearman's and Kendall's rank
    correlations, the mean and largest absolute rank shift, and the share of units that move."""
    from scipy import stats

    base = ranks[f"{MODEL} rank"].to_numpy()
    rows = []
    for name in RIVALS:
        other = ranks[f"{name} rank"].to_numpy()
        shift = np.abs(other - base)
        both = np.isfinite(base) & np.isfinite(other)
        varies = both.sum() > 2 and np.ptp(base[both]) > 0 and np.ptp(other[both]) > 0
        spearman = float(stats.spearmanr(base[both], other[both])[0]) if varies else np.nan
        kendall = float(stats.kendalltau(base[both], other[both])[0]) if varies else np.nan
        rows.append(
            {
                "weighting": name,
                "spearman": spearman,
                "kendall": kendall,
                "mean_shift": float(np.nanmean(shift)) if both.any() else np.nan,
                "largest_shift": float(np.nanmax(shift)) if both.any() else np.nan,
                "moved": float(np.mean(shift[both] > 0)) if both.any() else np.nan,
            }
        )
    return pd.DataFrame(rows).set_index("weighting")


def largest_shifts(ranks: pd.DataFrame, count: int = LARGEST_SHIFTS) -> pd.DataFrame:
    """The ``count`` units whose rank moves most under each rival, the largest first.

    ``shift`` is the rival's rank minus the model's: positive when the unit
    falls under the rival.
    """
    base = ranks[f"{MODEL} rank"]
    parts = []
    for name in RIVALS:
        shift = ranks[f"{name} rank"] - base
        order = shift.abs().sort_values(ascending=False, kind="stable").index[:count]
        parts.append(
            pd.DataFrame(
                {
                    "weighting": name,
                    "unit": order,
                    "rank": base.loc[order].to_numpy(),
                    "rival_rank": ranks.loc[order, f"{name} rank"].to_numpy(),
                    "shift": shift.loc[order].to_numpy(),
                }
            )
        )
    return pd.concat(parts, ignore_index=True)
