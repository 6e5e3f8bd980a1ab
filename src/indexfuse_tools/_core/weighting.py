"""The weightings and the aggregation an index is compared with besides its own.

The model weights its dimensions by their entropy and adds them up. A
reviewer asks what other defensible choices would give: weights from the
dimensions' first principal component, and a weighted geometric mean in
place of the sum. Both are defined here once, for the robustness analysis
(where they are factors) and for the review of the weights (where they are
rivals).
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from indexfuse_tools._core.tree import Path, map_leaves, nodes, split_key
from indexfuse_tools._core.values import is_real

__all__ = [
    "GEOMETRIC_RANGE",
    "Weighted",
    "geometric_composite",
    "geometric_logs",
    "path_sign",
    "principal_component_weights",
    "weighted_leaves",
]

#: The range each dimension's value, its direction applied, is rescaled onto
#: before the geometric mean: every value positive, the lowest unit at 1 (not
#: 0, which would make the mean 0 whatever the other dimensions say), the
#: highest at 100, as the field rescales for geometric aggregation.
GEOMETRIC_RANGE = (1.0, 100.0)

# Two eigenvalues of a correlation matrix closer than this (relative to the
# largest) are one eigenvalue: its eigenvectors are then any basis of a plane.
_EQUAL_EIGENVALUES = 1e-9


class Weighted(NamedTuple):
    """A dimension that carries a number weight: where it is, its weight, the
    product of the directions on its path and its values over the units."""

    path: Path
    weight: float
    sign: float
    values: np.ndarray


def path_sign(path: Path) -> float:
    """The product of the directions of the keys on ``path``, as ``compute_score`` applies them."""
    sign = 1.0
    for key in path:
        sign *= float(split_key(key)[1])
    return sign


def _as_array(value: Any) -> np.ndarray | None:
    if isinstance(value, pd.Series):
        return value.to_numpy(dtype=np.float64)
    if isinstance(value, np.ndarray):
        return np.asarray(value, dtype=np.float64)
    return None


def weighted_leaves(values: Any, weights: Any) -> list[Weighted]:
    """Every dimension of a weight tree with a number weight and values, in tree order.

    ``values`` is the dimension-value tree (``score``'s second item, Series or
    arrays) and ``weights`` a weight tree shaped like it; a dimension whose
    weight is ``None`` contributes nothing to the composite and is left out.
    """
    found = []
    for node in nodes(weights):
        if isinstance(node.value, dict) or not is_real(node.value):
            continue
        value: Any = values
        for key in node.path:
            value = value[key]
        array = _as_array(value)
        if array is not None:
            found.append(Weighted(node.path, float(node.value), path_sign(node.path), array))
    return found


def _first_component_shares(matrix: np.ndarray) -> np.ndarray:
    """The squared loadings of the first principal component of the columns'
    correlation matrix (they add up to 1).

    Where the largest eigenvalue is shared, the squared loadings are averaged
    over its eigenspace, which gives the same shares whatever basis the
    decomposition happens to return (independent dimensions: equal shares).
    """
    correlations = np.corrcoef(matrix, rowvar=False)
    eigenvalues, vectors = np.linalg.eigh(np.atleast_2d(correlations))
    top = eigenvalues[-1]
    tied = eigenvalues >= top - _EQUAL_EIGENVALUES * abs(top)
    shares = (vectors[:, tied] ** 2).mean(axis=1)
    return np.asarray(shares / shares.sum())


def principal_component_weights(values: Any, weights: Any) -> Any:
    """Weights from the first principal component of the dimension values.

    Each dimension that carries a weight gets the square of its loading on
    the first principal component of the correlation matrix of the dimension
    values (their directions applied, over the units with a value for every
    one of them); the squares add up to 1, so they are the weights, flat over
    the dimensions however they nest. A dimension whose values do not vary
    gets 0; so do all but one if only one varies.

    Parameters
    ----------
    values : dict or pandas.Series
        The dimension values, as ``score`` returns them.
    weights : dict or number
        The fitted weight tree whose shape the result takes; a dimension with
        the weight ``None`` keeps it.

    Returns
    -------
    dict or number
        A weight tree shaped like ``weights``; a model of one dimension keeps
        its weight.

    Notes
    -----
    Squared loadings are the share of the first component's variance that
    each dimension accounts for: a dimension that moves with the others
    weighs much, one that moves alone weighs little, whatever its spread.
    The correlation matrix, not the covariance, keeps the spread out of it.
    """
    if not isinstance(weights, dict):
        return weights
    leaves = weighted_leaves(values, weights)
    if not leaves:
        return weights
    matrix = np.column_stack([leaf.sign * leaf.values for leaf in leaves])
    matrix = matrix[np.isfinite(matrix).all(axis=1)]
    spread = matrix.std(axis=0) if len(matrix) > 1 else np.zeros(len(leaves))
    varies = spread > 0
    shares = np.zeros(len(leaves))
    if varies.sum() == 1:
        shares[varies] = 1.0
    elif varies.any():
        shares[varies] = _first_component_shares(matrix[:, varies])
    else:
        shares[:] = 1.0 / len(leaves)
    by_path = {leaf.path: float(share) for leaf, share in zip(leaves, shares)}
    return map_leaves(weights, lambda node: by_path.get(node.path, node.value))


def geometric_logs(values: Any, weights: Any) -> dict[Path, np.ndarray]:
    """The log of each weighted dimension's values on :data:`GEOMETRIC_RANGE`, by path.

    What :func:`geometric_composite` sums; it depends on the values alone,
    so an analysis that weighs the same values many ways computes it once.
    """
    return {leaf.path: np.log(_rescaled(leaf.sign * leaf.values)) for leaf in weighted_leaves(values, weights)}


def geometric_composite(values: Any, weights: Any, logs: dict[Path, np.ndarray] | None = None) -> np.ndarray:
    """The weighted geometric mean of the dimension values, each first put on :data:`GEOMETRIC_RANGE`.

    Each dimension's values, its direction applied (higher is better), are
    rescaled linearly onto 1..100 by their lowest and highest over the units
    (a dimension that does not vary sits at 1); the composite is then
    ``exp(sum(w * log(v)) / sum(w))`` over the dimensions that carry a
    weight. A unit lacking a dimension's value gets NaN.

    Parameters
    ----------
    values : dict, pandas.Series or numpy.ndarray
        The dimension values, as ``score`` returns them (or their arrays).
    weights : dict or number
        The weight tree, as ``compute_score`` takes it.
    logs : dict, optional
        :func:`geometric_logs` of the same values, when already computed.

    Returns
    -------
    numpy.ndarray
        One composite per unit, on 1..100.

    Examples
    --------
    >>> import numpy as np
    >>> values = {"a": np.array([0.0, 0.5, 1.0]), ("b", -1): np.array([1.0, 3.0, 2.0])}
    >>> geometric_composite(values, {"a": 0.5, ("b", -1): 0.5}).round(4).tolist()
    [10.0, 7.1063, 71.0634]
    """
    if not isinstance(weights, dict):
        array = _as_array(values)
        if array is None:
            raise TypeError(f"the values of a single dimension are a Series or an array, got {type(values).__name__}")
        return _rescaled(array)
    if logs is None:
        logs = geometric_logs(values, weights)
    terms = [
        (float(node.value), logs[node.path])
        for node in nodes(weights)
        if not isinstance(node.value, dict) and is_real(node.value) and node.path in logs
    ]
    total = math.fsum(weight for weight, _ in terms)
    if not terms or total == 0:
        raise ValueError("no dimension carries a weight: the geometric mean has nothing to weigh")
    return np.asarray(np.exp(sum(weight * log for weight, log in terms) / total))


def _rescaled(values: np.ndarray) -> np.ndarray:
    low, high = GEOMETRIC_RANGE
    with np.errstate(invalid="ignore"):
        finite = values[np.isfinite(values)]
    if not finite.size:
        return np.full(values.shape, np.nan)
    bottom, top = float(finite.min()), float(finite.max())
    if top == bottom:
        return np.where(np.isnan(values), np.nan, low)
    return np.asarray(low + (high - low) * (values - bottom) / (top - bottom))
