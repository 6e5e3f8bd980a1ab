"""The tables of a review of the weights, from the nominal fit and the resamples' draws."""

from __future__ import annotations

import itertools
import math
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from indexfuse_tools._core import Path, at, dimension_name, node_weight, weight_leaves
from indexfuse_tools._tables import coefficients

__all__ = [
    "Equality",
    "coefficient_rows",
    "equality_test",
    "importance_rows",
    "interval",
    "order_rows",
    "weight_rows",
]


def interval(draws: np.ndarray, level: float, estimate: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The central ``level`` interval of each column's draws, moved by the draws' bias.

    The draws' percentiles, less the draws' mean departure from the table's
    own ``estimate``: a bootstrap resample repeats units, which the entropy
    estimate reads as a denser sample and the binned importance as more
    spread between its bins, so the resamples' estimates sit a little apart
    from the table's; the interval keeps their spread around the table's.
    """
    tail = (1 - level) / 2
    if not len(draws):
        nothing = np.full(draws.shape[1], np.nan)
        return nothing, nothing
    low, high = np.quantile(draws, [tail, 1 - tail], axis=0)
    bias = draws.mean(axis=0) - estimate
    return low - bias, high - bias


def weight_rows(
    paths: tuple[Path, ...], trees: dict[str, Any], draws: np.ndarray, level: float
) -> pd.DataFrame:
    """Every dimension's weight, its interval over the resamples and its rivals' weights."""
    nominal = np.array([node_weight(at(trees["model"], path)) for path in paths])
    low, high = interval(draws, level, nominal)
    equal = np.array([node_weight(at(trees["equal"], path)) for path in paths])
    table = pd.DataFrame(
        {
            "dimension": [dimension_name(path) for path in paths],
            "parent": [dimension_name(path[:-1]) if len(path) > 1 else None for path in paths],
            "weight": nominal,
            "low": low,
            "high": high,
            "width": high - low,
            "std": draws.std(axis=0, ddof=1) if len(draws) > 1 else np.full(len(paths), np.nan),
            "bias": draws.mean(axis=0) - nominal if len(draws) else np.full(len(paths), np.nan),
            "equal_weight": equal,
            "principal_components": [node_weight(at(trees["principal components"], path)) for path in paths],
        }
    )
    table["differs_from_equal"] = (table["low"] > table["equal_weight"]) | (table["high"] < table["equal_weight"])
    return table


def coefficient_rows(model: Any, draws: np.ndarray, level: float) -> pd.DataFrame:
    """Every indicator's coefficient and its interval over the resamples."""
    table = coefficients(model)[["dimension", "index", "direction", "coef"]].copy()
    low, high = interval(draws, level, table["coef"].to_numpy(dtype=np.float64))
    table["low"], table["high"] = low, high
    table["width"] = high - low
    table["std"] = draws.std(axis=0, ddof=1) if len(draws) > 1 else np.nan
    return table


def _siblings(paths: tuple[Path, ...]) -> list[tuple[int, int]]:
    """Pairs of positions in ``paths`` of dimensions with the same parent."""
    groups: dict[Path, list[int]] = {}
    for position, path in enumerate(paths):
        if path:
            groups.setdefault(path[:-1], []).append(position)
    return [pair for members in groups.values() for pair in itertools.combinations(members, 2)]


def order_rows(paths: tuple[Path, ...], nominal: np.ndarray, draws: np.ndarray) -> tuple[pd.DataFrame, float]:
    """For each pair of dimensions with the same parent, how often the resamples reverse their order;
    and the share of resamples in which any such pair is reversed."""
    pairs = _siblings(paths)
    rows = []
    reversed_any = np.zeros(len(draws), dtype=bool)
    for first, second in pairs:
        gap = nominal[first] - nominal[second]
        drawn = np.sign(draws[:, first] - draws[:, second])
        flipped = drawn != np.sign(gap)
        reversed_any |= flipped
        rows.append(
            {
                "dimension": dimension_name(paths[first]),
                "other": dimension_name(paths[second]),
                "difference": gap,
                "reversed": float(flipped.mean()) if len(draws) else math.nan,
            }
        )
    table = pd.DataFrame(rows, columns=["dimension", "other", "difference", "reversed"])
    share = float(reversed_any.mean()) if len(draws) and pairs else math.nan
    return table, share


class Equality(NamedTuple):
    """Whether the weights can be told apart from equal weights.

    ``statistic`` is Wald's: the distance of the fitted weights from the
    equal ones in units of the resamples' covariance of the weights; under
    equal weights it is about chi-squared with ``dof`` degrees of freedom,
    which gives ``p``.
    """

    statistic: float
    dof: int
    p: float
    told_apart: bool


def equality_test(
    model: Any, equal: Any, paths: tuple[Path, ...], draws: np.ndarray, level: float
) -> Equality:
    """Wald's test of the weights against equal weights, on the resamples' covariance.

    The weights of the dimensions that carry one add up to 1, so one of them
    is left out (its weight is 1 minus the others'), and the covariance is
    inverted on the others, pseudo-inversely where resamples are few.
    """
    from scipy import stats

    leaves = [node.path for node in weight_leaves(model.dim_weight) if node.value is not None and node.path]
    if len(leaves) < 2 or len(draws) < 2:
        return Equality(math.nan, 0, math.nan, False)
    kept = leaves[:-1]
    columns = [paths.index(path) for path in kept]
    difference = np.array([node_weight(at(model.dim_weight, p)) - node_weight(at(equal, p)) for p in kept])
    covariance = np.atleast_2d(np.cov(draws[:, columns], rowvar=False))
    dof = int(np.linalg.matrix_rank(covariance))
    if dof == 0:
        # The resamples never moved the weights: any difference is certain.
        told = bool(np.any(difference != 0))
        return Equality(math.inf if told else 0.0, 0, 0.0 if told else 1.0, told)
    statistic = float(difference @ np.linalg.pinv(covariance) @ difference)
    p = float(stats.chi2.sf(statistic, dof))
    return Equality(statistic, dof, p, p < 1 - level)


def importance_rows(
    names: list[tuple[str, Any, str]],
    nominal: np.ndarray,
    effective: np.ndarray,
    estimate: np.ndarray,
    draws: np.ndarray,
    level: float,
) -> pd.DataFrame:
    """Every input's importance for the composite, with its interval, beside its nominal weight.

    ``names`` holds (kind, name, dimension) per input: kind ``"dimension"``
    or ``"indicator"``. ``share`` is the importance normalised over the
    inputs of its kind, to be read against the nominal weight (which adds up
    to 1 over them too).
    """
    low, high = interval(draws, level, estimate)
    table = pd.DataFrame(
        {
            "kind": [kind for kind, _, _ in names],
            "name": [name for _, name, _ in names],
            "dimension": [dimension for _, _, dimension in names],
            "nominal_weight": nominal,
            "effective_weight": effective,
            "importance": estimate,
            "low": low,
            "high": high,
        }
    )
    clipped = table["importance"].clip(lower=0)
    table["share"] = clipped / clipped.groupby(table["kind"]).transform("sum")
    return table
