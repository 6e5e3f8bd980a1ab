"""Flat, printable views of a fitted model's coefficients and weights."""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterator, Sequence
from typing import Any

import numpy as np
import pandas as pd

import indexfuse

__all__ = ["coefficients", "weights", "dimension_name"]

_WHOLE = "(all indices)"
#: The keys of a coefficient record, in the order the model writes them.
RECORD_KEYS = ("coef", "max", "min", "mean", "std")
_COLUMNS = ("dimension", "index", "direction", "coef", "min", "max", "mean", "std")


def _split(key: Any) -> tuple[Any, Any]:
    """(label, direction) of a key, read by its shape as the model reads it."""
    if isinstance(key, (tuple, list)):
        return key[0], key[1] if len(key) == 2 else 1
    return key, 1


def dimension_name(path: tuple[Hashable, ...]) -> str:
    """Display name of a path of dimension keys, e.g. ``"wellbeing / hardship (-1)"``.

    A key that carries a direction (a pair) shows it in parentheses. The empty
    path (a model of a single dimension) is ``"(all indices)"``.
    """
    parts = []
    for key in path:
        label, direction = _split(key)
        paired = isinstance(key, (tuple, list)) and len(key) == 2
        parts.append(f"{label} ({direction})" if paired else str(label))
    return " / ".join(parts) if parts else _WHOLE


def plain_name(path: Sequence[Hashable]) -> str:
    """A dimension path in words, without directions: ``"opportunity / hardship"``."""
    return " / ".join(str(_split(key)[0]) for key in path) if path else "all indicators"


def effect(sign: float) -> str:
    """What a direction does, in words."""
    if sign > 0:
        return "raises the index" if sign == 1 else f"raises the index (counted {sign:g} times)"
    if sign < 0:
        return "lowers the index" if sign == -1 else f"lowers the index (counted {-sign:g} times)"
    return "does not count"


def is_coefficient_table(node: Any) -> bool:
    """The model's own test: a dict with at least one value that is a dict
    whose keys are all record keys."""
    return isinstance(node, dict) and any(
        isinstance(v, dict) and set(v) <= set(RECORD_KEYS) for v in node.values()
    )


def _tables(node: Any, path: tuple[Hashable, ...]) -> Iterator[tuple[tuple[Hashable, ...], dict[Any, Any]]]:
    if is_coefficient_table(node):
        yield path, node
    elif isinstance(node, dict):
        for key, child in node.items():
            yield from _tables(child, (*path, key))


def _model_attr(model: Any, name: str) -> Any:
    if isinstance(model, indexfuse.indexpca_diment):
        try:
            return getattr(model, name)
        except AttributeError:
            raise ValueError(f"the model is not fitted (it has no {name}): call fit(data) first") from None
    return model


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
    tree = _model_attr(model, "index_coef")
    rows = []
    for path, table in _tables(tree, ()):
        for key, record in table.items():
            label, direction = _split(key)
            rows.append(
                {
                    "dimension": dimension_name(path),
                    "index": label,
                    "direction": direction,
                    **{name: record.get(name, np.nan) for name in RECORD_KEYS},
                }
            )
    return pd.DataFrame(rows, columns=list(_COLUMNS))


def node_weight(node: Any) -> float:
    """The weight of a node of a weight tree: a number as a float, a nested
    dimension the sum of its sub-dimensions' weights; NaN where nothing
    below carries a number (``None``, or a nested dimension of ``None``)."""
    if isinstance(node, dict):
        parts = [part for part in map(node_weight, node.values()) if not math.isnan(part)]
        return float(sum(parts)) if parts else math.nan
    if isinstance(node, (bool, np.bool_)) or not isinstance(node, (int, float)):
        return math.nan
    return float(node)


def _leaves(node: Any, path: tuple[Hashable, ...]) -> Iterator[tuple[tuple[Hashable, ...], Any]]:
    if isinstance(node, dict):
        for key, child in node.items():
            yield from _leaves(child, (*path, key))
    else:
        yield path, node


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
    tree = _model_attr(model, "dim_weight")
    names, values = [], []
    for path, weight in _leaves(tree, ()):
        names.append(dimension_name(path))
        values.append(np.nan if weight is None else float(weight))
    return pd.Series(values, index=pd.Index(names, name="dimension"), name="weight", dtype=np.float64)
