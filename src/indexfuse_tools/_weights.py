"""Dimension weights set by hand, checked against the fitted dimensions."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import (
    Path,
    WeightTree,
    as_model,
    at,
    dimension_name,
    fitted,
    is_real,
    map_leaves,
    nodes,
    show,
    weight_leaves,
    where_of,
)

__all__ = ["set_weights", "equal_weights"]

# How far the total of weights given with normalize=False may be from 1:
# room for the rounding of a few float additions, no more.
_SUM_TOLERANCE = 1e-9



def set_weights(model: Any, weights: Any, *, normalize: bool = True) -> None:
    """Replace the fitted dimension weights of ``model`` by your own.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model; its ``dim_weight`` is replaced.
    weights : dict, mapping or pandas.Series
        Either a nested dict shaped like ``model.dim_weight`` (the same keys
        at every level, a nested dict for a nested dimension, whose values
        are the sub-dimensions' shares of the whole index), or a flat
        mapping or Series keyed by the names of ``weights(model).index``
        (e.g. ``"opportunity / hardship (-1)"``). Weights are non-negative
        real numbers of any type but bool (any ``numbers.Real``: numpy
        scalars, ``fractions.Fraction``), converted with ``float()``. A
        dimension that has no coefficients (its weight is ``None`` after
        ``fit``) takes ``None`` or NaN.
    normalize : bool, default True
        Divide the weights by their total so that they sum to 1. With
        ``False``, weights whose total is not 1 are rejected.

    Raises
    ------
    ValueError
        If the model is not fitted; if the keys differ from the fitted
        dimensions (the message lists the missing and the unknown ones);
        if a weight is not a finite non-negative number (or is too large
        for a float, alone or in the total), or is given to a dimension
        without coefficients; if all weights are 0; or, with
        ``normalize=False``, if they do not sum to 1.

    Notes
    -----
    ``model.dim_weight`` becomes a new tree of plain ``float`` values in the
    fitted order, so every weight counts when scoring. The model's own
    weights are derived from the data; weights set by hand are a
    judgement, to be reported as such.

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import set_weights, weights
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]})
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp"], "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> set_weights(model, {"economy": 3, "safety": 1})
    >>> model.dim_weight
    {'economy': 0.75, 'safety': 0.25}
    >>> set_weights(model, weights(model) * 2, normalize=False)
    Traceback (most recent call last):
    ...
    ValueError: the weights sum to 2, not 1: pass normalize=True to scale them
    """
    model = as_model(model, "set_weights")
    tree = fitted(model, "dim_weight")
    slots = _slots(tree)
    if isinstance(weights, Mapping) and not isinstance(weights, pd.Series) and _is_nested(weights, tree):
        given = _from_tree(weights, tree)
    elif isinstance(weights, (Mapping, pd.Series)):
        given = _from_names(weights, slots)
    else:
        raise TypeError(
            f"weights must be a dict shaped like model.dim_weight or a mapping of dimension "
            f"names to weights, got {type(weights).__name__}"
        )
    values = {path: _weight(given[path], _where(path), fitted_value) for path, fitted_value in slots.items()}
    total = _total(values)
    if total == 0:
        raise ValueError("every weight is 0: at least one dimension needs a positive weight")
    if normalize:
        values = {path: None if v is None else v / total for path, v in values.items()}
    elif abs(total - 1) > _SUM_TOLERANCE:
        raise ValueError(f"the weights sum to {total:.10g}, not 1: pass normalize=True to scale them")
    model.dim_weight = map_leaves(tree, lambda leaf: values[leaf.path])


def equal_weights(model: Any) -> None:
    """Give every dimension an equal share, level by level.

    The top-level dimensions share 1 equally; a nested dimension splits its
    share equally among its sub-dimensions. A dimension without coefficients
    (weight ``None``) gets no share and keeps ``None``.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model; its ``dim_weight`` is replaced by plain floats.

    Raises
    ------
    ValueError
        If the model is not fitted, or no dimension has coefficients.

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import equal_weights, weights
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]})
    >>> model = indexfuse.indexpca_diment(
    ...     {"economy": {"output": ["gdp"], "work": ["jobs"]}, "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> equal_weights(model)
    >>> weights(model).to_dict()
    {'economy / output': 0.25, 'economy / work': 0.25, 'safety': 0.5}
    """
    model = as_model(model, "equal_weights")
    tree = fitted(model, "dim_weight")
    _slots(tree)  # the same check of the fitted tree as set_weights
    if not _carries(tree):
        raise ValueError("no dimension of the model has coefficients, so none can be weighted")
    model.dim_weight = map_leaves(tree, lambda leaf: None if leaf.value is None else _equal_share(tree, leaf.path))


def _slots(tree: WeightTree) -> dict[Path, Any]:
    """The fitted weight of every dimension path, checked to be a number or None."""
    slots = {}
    for leaf in weight_leaves(tree, "weights"):
        value = leaf.value
        if value is not None and not (is_real(value) or isinstance(value, bool)):
            raise ValueError(
                f"model.dim_weight holds {type(value).__name__} at {leaf.place}, not a weight: "
                "fit the model again"
            )
        slots[leaf.path] = value
    return slots


def _where(path: Path) -> str:
    return where_of("weights", path)


def _is_nested(weights: Mapping[Any, Any], fitted: Any) -> bool:
    """Whether ``weights`` is keyed like the top level of the fitted tree (not by names)."""
    return isinstance(fitted, dict) and set(weights) == set(fitted)


def _from_tree(weights: Mapping[Any, Any], tree: WeightTree) -> dict[Path, Any]:
    """The given weight of every fitted dimension path, from a tree shaped like the fitted one."""
    given: dict[Path, Any] = {}
    for node in nodes(tree, "weights"):
        mine = weights if not node.path else _given_at(weights, node.path)
        if not isinstance(node.value, dict):
            given[node.path] = mine
            continue
        if not isinstance(mine, Mapping):
            raise ValueError(
                f"{node.place}: expected a dict of the sub-dimensions {show(node.value, 8)}, got {mine!r:.60}"
            )
        missing = [k for k in node.value if k not in mine]
        unknown = [k for k in mine if k not in node.value]
        if missing or unknown:
            raise ValueError(f"{node.place}: {_mismatch(missing, unknown)}")
    return given


def _given_at(weights: Mapping[Any, Any], path: Path) -> Any:
    """The given weight at ``path``, whose parents were checked to hold its keys."""
    for key in path:
        weights = weights[key]
    return weights


def _from_names(weights: Any, slots: dict[Path, Any]) -> dict[Path, Any]:
    names = {dimension_name(path): path for path in slots}
    if len(names) < len(slots):
        raise ValueError(
            "two dimensions of this model share a display name: give the weights as a dict "
            "shaped like model.dim_weight"
        )
    keys = list(weights.index if isinstance(weights, pd.Series) else weights)
    if len(set(keys)) < len(keys):
        raise ValueError(f"weights name a dimension more than once: {show(keys, 8)}")
    missing = [name for name in names if name not in keys]
    unknown = [key for key in keys if key not in names]
    if missing or unknown:
        raise ValueError(f"weights: {_mismatch(missing, unknown)}")
    return {names[key]: weights[key] for key in keys}


def _mismatch(missing: list[Any], unknown: list[Any]) -> str:
    parts = []
    if missing:
        parts.append(f"no weight for {show(missing, 8)}")
    if unknown:
        parts.append(f"no fitted dimension {show(unknown, 8)}")
    return "; ".join(parts) + " (the names are those of weights(model).index)"


def _is_weight_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _weight(value: Any, where: str, fitted: Any) -> float | None:
    """``value`` as a float weight, or ``None`` for a dimension without coefficients."""
    number = _as_float(value, where) if _is_weight_number(value) else None
    blank = value is None or (number is not None and math.isnan(number))
    if fitted is None:
        if blank:
            return None
        raise ValueError(
            f"{where}: this dimension has no coefficients (none of its entries named a column), "
            f"so it cannot carry a weight; give None, got {value!r}"
        )
    if number is None or blank or not math.isfinite(number) or number < 0:
        raise ValueError(f"{where}: a weight must be a finite number >= 0, got {value!r:.40}")
    return number


def _as_float(value: Any, where: str) -> float:
    try:
        return float(value)
    except OverflowError:  # an int or Fraction beyond the largest float
        text = repr(value)
        shown = text if len(text) <= 40 else f"{text[:36]}..."
        raise ValueError(f"{where}: the weight {shown} is too large for a float") from None


def _total(values: dict[Path, float | None]) -> float:
    """The sum of the weights; ``ValueError`` naming the largest when it overflows a float."""
    given = {path: v for path, v in values.items() if v is not None}
    try:
        return math.fsum(given.values())
    except OverflowError:
        largest = max(given, key=lambda path: given[path])
        raise ValueError(
            f"{_where(largest)}: the weight {given[largest]!r} is too large: the weights' total "
            "exceeds the largest float; give them on a smaller scale"
        ) from None


def _carries(tree: WeightTree) -> bool:
    return any(leaf.value is not None for leaf in weight_leaves(tree))


def _equal_share(tree: WeightTree, path: Path) -> float:
    """The share of the dimension at ``path`` when every level splits its share equally
    among the dimensions below it that carry a weight."""
    share = 1.0
    for depth in range(len(path)):
        level = at(tree, path[:depth])
        share /= sum(1 for child in level.values() if _carries(child))
    return share
