"""What the explorer's page carries: every number its script reads, as one
JSON document.

Per-unit numbers are stored compactly, as base64 of little-endian typed
arrays (one array per column, labels once): the dimension values at full
precision, since the page recomputes the composite from them with the
reader's weights and must agree with Python; the raw indicator values as
float32, since they are only shown and turned into contributions, three
significant digits on screen. The contributions themselves are not stored:
the page computes them for the one unit asked about from the model's
coefficient records, which is how the model computes them.
"""

from __future__ import annotations

import base64
import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import (
    Path,
    at,
    coefficient_tables,
    dimension_name,
    effect,
    fitted,
    split_key,
    weight_leaves,
)

__all__ = ["Inputs", "payload", "refuse_non_finite", "used_columns", "weighted_leaves"]


@dataclass(frozen=True)
class Inputs:
    """Everything the page is made from, checked and aligned on the same units.

    Attributes
    ----------
    scores : pandas.DataFrame
        :func:`results` over the units shown.
    raw : pandas.DataFrame
        The values the model scored (after the preparation, if any), one
        column per indicator the model uses, over the same units.
    intervals : pandas.DataFrame or None
        ``p5``, ``median`` and ``p95`` ranks of the robustness analysis.
    trajectories : pandas.DataFrame or None
        The editions' ``composite`` and ``rank``, indexed by (period, unit).
    periods : list or None
        The editions' periods, in order.
    """

    scores: pd.DataFrame
    raw: pd.DataFrame
    intervals: pd.DataFrame | None
    trajectories: pd.DataFrame | None
    periods: list[Any] | None


def used_columns(model: Any) -> list[Any]:
    """The data columns the model reads, in the order of its coefficients."""
    coef = fitted(model, "index_coef")
    return list(dict.fromkeys(split_key(key)[0] for node in coefficient_tables(coef) for key in node.value))


def refuse_non_finite(table: pd.DataFrame, what: str) -> None:
    """``ValueError`` naming the first column and unit of ``table`` holding an infinity.

    Missing values (NaN) are allowed: the page shows them as missing.
    """
    values = table.to_numpy(dtype=np.float64, na_value=np.nan)
    bad = np.isinf(values)
    if not bad.any():
        return
    row, column = (int(i) for i in np.argwhere(bad)[0])
    raise ValueError(
        f"explorer(): {what} {table.columns[column]!r} holds {values[row, column]} for the unit "
        f"{table.index[row]!r} ({int(bad.sum())} infinite value(s) in all); a page shows finite "
        "numbers only: replace them, or leave them missing (NaN)"
    )


def _encode(values: Any, dtype: str) -> str:
    """``values`` as base64 of a little-endian typed array; NaN stays NaN."""
    array = np.ascontiguousarray(np.asarray(values, dtype=np.float64).astype(dtype))
    return base64.b64encode(array.tobytes()).decode("ascii")


def _number(value: Any) -> float | None:
    """A float for JSON, or None for a missing one (JSON has no NaN)."""
    if value is None:
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def _direction(key: Any) -> float:
    return float(split_key(key)[1])


def _tree(weights: Any, path: Path, leaves: dict[Path, int]) -> list[dict[str, Any]]:
    """The dimensions under ``path`` as the page's weight controls nest them."""
    level = at(weights, path)
    branches = []
    for key, value in level.items():
        here = (*path, key)
        branch: dict[str, Any] = {
            "label": str(split_key(key)[0]),
            "effect": effect(_direction(key)),
            "leaf": leaves.get(here),
            "children": _tree(weights, here, leaves) if isinstance(value, dict) else None,
        }
        if isinstance(value, dict) and not branch["children"]:
            continue
        if not isinstance(value, dict) and here not in leaves:
            continue  # a dimension without coefficients takes no weight
        branches.append(branch)
    return branches


def weighted_leaves(weights: Any) -> Iterator[tuple[Path, float]]:
    """Every dimension that carries a weight, in schema order, with that weight."""
    for leaf in weight_leaves(weights):
        if isinstance(leaf.value, (int, float)) and not isinstance(leaf.value, bool):
            yield leaf.path, float(leaf.value)


def _dimensions(model: Any, scores: pd.DataFrame) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The weighted dimensions (one entry each, with its values) and their tree."""
    weights = fitted(model, "dim_weight")
    found = list(weighted_leaves(weights))
    positions = {path: i for i, (path, _) in enumerate(found)}
    leaves = []
    for path, weight in found:
        name = dimension_name(path)
        leaves.append(
            {
                "name": name,
                "directions": [_direction(key) for key in path],
                "weight": weight,
                "values": _encode(scores[name], "<f8"),
            }
        )
    if isinstance(weights, dict):
        tree = _tree(weights, (), positions)
    else:  # a model of one dimension: nothing to re-weight
        tree = [{"label": dimension_name(()), "effect": effect(1.0), "leaf": 0, "children": None}]
    return leaves, tree


def _indicators(model: Any, leaves: list[dict[str, Any]], columns: list[Any]) -> list[dict[str, Any]]:
    """One coefficient record per (dimension, indicator), as the model scales and weighs it."""
    coef = fitted(model, "index_coef")
    position = {leaf["name"]: i for i, leaf in enumerate(leaves)}
    records = []
    for node in coefficient_tables(coef):
        leaf = position.get(dimension_name(node.path))
        if leaf is None:
            continue
        for key, record in node.value.items():
            label, direction = split_key(key)
            records.append(
                {
                    "leaf": leaf,
                    "column": columns.index(label),
                    "direction": float(direction),
                    **{name: _number(record[name]) for name in ("coef", "min", "max", "mean", "std")},
                }
            )
    return records


def _raw(raw: pd.DataFrame) -> list[dict[str, Any]]:
    columns = []
    for label in raw.columns:
        values = raw[label].to_numpy(dtype=np.float64, na_value=np.nan)
        finite = values[np.isfinite(values)]
        columns.append(
            {
                "label": str(label),
                "low": float(finite.min()) if finite.size else None,
                "high": float(finite.max()) if finite.size else None,
                "values": _encode(values, "<f4"),
            }
        )
    return columns


def _intervals(intervals: pd.DataFrame | None) -> dict[str, str] | None:
    if intervals is None:
        return None
    return {name: _encode(intervals[name], "<f4") for name in ("p5", "median", "p95")}


def _editions(inputs: Inputs) -> dict[str, Any] | None:
    if inputs.trajectories is None or inputs.periods is None:
        return None
    frame = inputs.trajectories
    units = inputs.scores.index
    composite, rank = [], []
    for period in inputs.periods:
        one = frame.xs(period, level=0).reindex(units)
        composite.append(one["composite"].to_numpy(dtype=np.float64, na_value=np.nan))
        rank.append(one["rank"].to_numpy(dtype=np.float64, na_value=np.nan))
    return {
        "periods": [str(period) for period in inputs.periods],
        "composite": _encode(np.concatenate(composite), "<f8"),
        "rank": _encode(np.concatenate(rank), "<f4"),
    }


def payload(model: Any, inputs: Inputs) -> dict[str, Any]:
    """The page's data: units, dimensions, coefficient records and what else was given.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        The fitted model, with the weights it was published with.
    inputs : Inputs
        The checked tables, over the same units.

    Returns
    -------
    dict
        A JSON-ready document; every label is a string, every missing number
        ``None``, every per-unit column a base64 typed array.
    """
    scores = inputs.scores
    leaves, tree = _dimensions(model, scores)
    columns = list(inputs.raw.columns)
    return {
        "units": [str(label) for label in scores.index],
        "scaleMethod": str(model.scale_method),
        "dimensions": leaves,
        "tree": tree,
        "indicators": _indicators(model, leaves, columns),
        "columns": _raw(inputs.raw),
        "intervals": _intervals(inputs.intervals),
        "editions": _editions(inputs),
    }
