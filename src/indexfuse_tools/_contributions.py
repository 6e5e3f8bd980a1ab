"""What each indicator adds to each unit's composite."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from tessel import process

from indexfuse_tools._core import (
    as_frame,
    as_model,
    at,
    check_dimension_names,
    coefficient_tables,
    dimension_name,
    fitted,
    show,
    split_key,
)


def contributions(model: Any, data: pd.DataFrame) -> pd.DataFrame:
    """Unit x indicator terms that add up to each unit's composite.

    The composite is a sum of one term per indicator of each dimension: the
    indicator's scaled value times its coefficient in the dimension, times
    the dimension's weight, times the directions met on the way down to it.
    This returns those terms, so that ``contributions(model, data).sum(axis=1)``
    equals ``results(model, data)["composite"]`` to rounding (about 1e-15
    relative).

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    data : pandas.DataFrame
        The table to score; it holds every column the model uses.

    Returns
    -------
    pandas.DataFrame
        Over the rows of ``data`` (same index), one float column per
        indicator of each dimension, labelled by a column ``MultiIndex`` of
        two levels: ``"dimension"`` (named as :func:`results` names its
        dimension columns, e.g. ``"opportunity / hardship (-1)"``) and
        ``"indicator"`` (the data's column label). An indicator used in two
        dimensions has two columns. How the parts of the model enter:

        - **directions**: an indicator's direction flips its column before
          it is scaled, and the direction of every dimension key on its path
          (a nested dimension entered as ``("hardship", -1)``) multiplies its
          term, as the model folds nested dimensions;
        - **nested weights**: the weight is the innermost dimension's own
          weight, as ``model.dim_weight`` holds it; the weights of the
          enclosing levels are the sums of those below, so they add nothing;
        - **scale**: the terms are on the model's scale (``scale_method``):
          with ``"max_min"`` a term is 0 where the indicator sits at the
          minimum of the table the model was fitted on, with ``"z_score"``
          at its mean. ``score(data, scale=...)`` rescales each dimension
          by the scored table's own range and is not what these terms add
          up to. A presentation scale (``results(..., scale="0-100")``)
          is affine: multiply every term by ``100 / (high - low)``, and the
          terms add up to the presented composite plus
          ``100 * low / (high - low)``;
        - **missing values**: the model adds a dimension's scaled columns
          skipping missing ones, so a missing indicator's term is 0 (the
          bottom of its scale with ``"max_min"``, its mean with
          ``"z_score"``); where a whole dimension is missing the model's
          composite is NaN, and so is every term of that row;
        - a dimension without a weight (no entropy estimate) adds nothing:
          its terms are 0.

    Raises
    ------
    ValueError
        If the model is not fitted.
    KeyError
        If ``data`` lacks columns the model uses (all are named).

    See Also
    --------
    results : the composite these terms add up to.

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import contributions, results
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "jobs": [1.5, 2.0, 2.5, 3.5, 4.0, 5.0],
    ...                      "crime": [6.0, 5.0, 4.5, 3.0, 2.0, 1.0]},
    ...                     index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp", "jobs"],
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> terms = contributions(model, data)
    >>> terms.columns.tolist()
    [('economy', 'gdp'), ('economy', 'jobs'), ('safety', 'crime')]
    >>> bool((terms.sum(axis=1) - results(model, data)["composite"]).abs().max() < 1e-12)
    True
    """
    model = as_model(model, "contributions")
    frame = as_frame(data)
    coef, weight_tree = fitted(model, "index_coef"), fitted(model, "dim_weight")
    tables = list(coefficient_tables(coef))
    check_dimension_names(node.path for node in tables)
    absent = list(
        dict.fromkeys(
            label
            for node in tables
            for label in (split_key(key)[0] for key in node.value)
            if label not in frame.columns
        )
    )
    if absent:
        raise KeyError(f"data lacks column(s) the model uses: {show(absent, 10)}")
    columns: dict[tuple[str, Any], np.ndarray] = {}
    blank = np.zeros(len(frame), dtype=bool)
    for node in tables:
        factor = _factor(weight_tree, node.path)
        terms = [_term(model, frame, key, record) for key, record in node.value.items()]
        # The model's dimension value skips missing columns, and is NaN only
        # where all of them are missing: the composite is NaN there.
        if factor != 0.0:
            blank |= np.all(np.isnan(np.column_stack(terms)), axis=1)
        name = dimension_name(node.path)
        for key, term in zip(node.value, terms):
            columns[(name, split_key(key)[0])] = np.nan_to_num(term, nan=0.0) * factor
    table = pd.DataFrame(columns, index=frame.index)
    table.columns = pd.MultiIndex.from_tuples(list(columns), names=["dimension", "indicator"])
    table.loc[blank] = np.nan
    return table


def _term(model: Any, frame: pd.DataFrame, key: Any, record: Any) -> np.ndarray:
    """One indicator's scaled value times its coefficient, as the model computes it."""
    label, direction = split_key(key)
    scaled = process.scale(
        frame[label] * direction,
        method=model.scale_method,
        range=(record["min"], record["max"]),
        mean=record["mean"],
        std=record["std"],
    )
    return np.asarray(scaled * record["coef"], dtype=np.float64)


def _factor(weight_tree: Any, path: tuple[Any, ...]) -> float:
    """The weight of the dimension at ``path`` times the directions of the keys above it."""
    weight = at(weight_tree, path)
    # The model counts any int or float (bool included) as a weight, and
    # nothing else.
    if not isinstance(weight, (int, float)):
        return 0.0
    factor = float(weight)
    for key in path:
        factor *= float(split_key(key)[1])
    return factor if math.isfinite(factor) else math.nan
