"""Flat, printable views of a fitted model's coefficients and weights."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import RECORD_KEYS, coefficient_tables, dimension_name, fitted, split_key, weight_leaves

__all__ = ["coefficients", "weights", "dimension_name"]

_COLUMNS = ("dimension", "index", "direction", "coef", "min", "max", "mean", "std")


def coefficients(model: Any) -> pd.DataFrame:
    """One row per index of a fitted model (or of an ``index_coef`` tree).

    Returns
    -------
    pandas.DataFrame
        Columns ``dimension`` (display name of the dimension path, see
        :func:`dimension_name`), ``index`` (the column label), ``direction``
        (the multiplier applied to the column), and the stored record:
        ``coef``, ``min``, ``max``, ``mean``, ``std``. Rows follow the
        schema's order. Dimensions without a coefficient table (no matching
        column) have no rows.

    Raises
    ------
    ValueError
        If ``model`` is a model that has not been fitted.
    """
    tree = fitted(model, "index_coef")
    rows = []
    for node in coefficient_tables(tree):
        for key, record in node.value.items():
            label, direction = split_key(key)
            rows.append(
                {
                    "dimension": dimension_name(node.path),
                    "index": label,
                    "direction": direction,
                    **{name: record.get(name, np.nan) for name in RECORD_KEYS},
                }
            )
    return pd.DataFrame(rows, columns=list(_COLUMNS))


def weights(model: Any) -> pd.Series:
    """The weight of every dimension that carries one, as a flat Series.

    Nested dimensions are flattened into their sub-dimensions, whose weights
    already hold their share of the parent's weight, so the values add up to
    1 (within rounding) for a fitted model. A dimension without a weight
    (``None``: no matching column) shows NaN. Accepts a fitted model or a
    ``dim_weight`` value.

    Returns
    -------
    pandas.Series
        float64 weights named ``"weight"``, indexed by
        :func:`dimension_name` of each dimension path.

    Raises
    ------
    ValueError
        If ``model`` is a model that has not been fitted.
    """
    tree = fitted(model, "dim_weight")
    names, values = [], []
    for leaf in weight_leaves(tree):
        names.append(dimension_name(leaf.path))
        values.append(np.nan if leaf.value is None else float(leaf.value))
    return pd.Series(values, index=pd.Index(names, name="dimension"), name="weight", dtype=np.float64)
