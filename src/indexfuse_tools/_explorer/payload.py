"""What the explorer's page carries: a small JSON document that describes the
index, and the per-unit columns it points into (:mod:`.columns`).

The dimension values are carried at full precision, since the page
recomputes every composite and rank from them with the reader's weights and
must agree with Python; indicator values with the digits they were written
with; what is only shown (ranks over the alternatives, earlier editions) at
the decimals shown. The contributions are not carried: the page computes
them for the one unit asked about from the model's coefficient records and
the values the model scored, which is how the model computes them.
"""

from __future__ import annotations

import math
import re
import unicodedata
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import (
    BEYOND,
    WITHIN,
    Path,
    at,
    coefficient_tables,
    dimension_name,
    effect,
    fitted,
    split_key,
    weight_leaves,
)
from indexfuse_tools._explorer.columns import Columns

__all__ = [
    "EDITION_COLUMNS",
    "Inputs",
    "Scale",
    "Treatment",
    "payload",
    "refuse_non_finite",
    "used_columns",
    "weighted_leaves",
]

#: Decimals the page shows: composites and their changes, and scores on 0..100.
COMPOSITE_DIGITS = 4
SCORE_DIGITS = 1
# Ranks are whole, or halves where units tie; a percentile of ranks may
# fall between them, and the page shows one decimal then.
RANK_DIGITS = 1
# A treated column stored whole once more than this share of its units changed;
# below it, only the positions and values that changed.
_SPARSE_SHARE = 0.25
_DIGITS = re.compile(r"(\d+)")
# Wider than any number a label holds in practice (a 12-digit census code);
# a longer run still sorts, by its leading digits.
_DIGIT_WIDTH = 24


@dataclass(frozen=True)
class Scale:
    """The 0..100 presentation of composites the page shows as scores.

    Attributes
    ----------
    low, high : float
        The composites shown as 0 and 100.
    units : int
        How many units the map was fixed on.
    sentence : str
        The sentence that states the scale.
    follows : bool
        Whether the page fixes the map again on its own composites when the
        reader moves a weight (as :func:`results` with ``scale="0-100"``
        fixes it on the units scored), or keeps it (an anchor fixed once).
    """

    low: float
    high: float
    units: int
    sentence: str
    follows: bool


@dataclass(frozen=True)
class Treatment:
    """The preparation's part in what a reader sees.

    Attributes
    ----------
    scored : pandas.DataFrame
        The values the model scored, over the units shown (NaN for a unit
        the preparation dropped), one column per indicator.
    steps : dict
        ``{indicator: {"fill": ..., "transform": ..., "caps": [low, high]}}``
        for the indicators treated, with the steps that apply: the
        statistic gaps are filled with, the transform in words, and the
        winsorisation caps (None on a side left alone).
    """

    scored: pd.DataFrame
    steps: dict[Any, dict[str, Any]]


@dataclass(frozen=True)
class Inputs:
    """Everything the page is made from, checked and aligned on the same units.

    Attributes
    ----------
    scores : pandas.DataFrame
        :func:`results` over the units shown.
    raw : pandas.DataFrame
        The indicator values as given (before any preparation), one column
        per indicator the model uses, over the same units.
    treatment : Treatment or None
        With a preparation: what the model scored, and what was done.
    intervals : pandas.DataFrame or None
        ``p5``, ``median`` and ``p95`` ranks of the robustness analysis.
    trajectories : pandas.DataFrame or None
        The editions' results, indexed by (period, unit): ``composite`` and
        ``rank``, and those of ``score``, ``rank_change``,
        ``composite_change`` and ``score_change`` they have.
    periods : list or None
        The editions' periods, in order.
    scale : Scale or None
        The presentation scale of the scores, if any.
    moves : pandas.DataFrame or None
        With editions, each unit's interval of places climbed since an
        earlier edition over the robustness runs (``rank_change_p5``,
        ``rank_change_p95``) and ``beyond``; ``attrs`` names the two
        editions.
    """

    scores: pd.DataFrame
    raw: pd.DataFrame
    treatment: Treatment | None
    intervals: pd.DataFrame | None
    trajectories: pd.DataFrame | None
    periods: list[Any] | None
    scale: Scale | None = None
    moves: pd.DataFrame | None = None


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


def _floats(series: pd.Series) -> np.ndarray:
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


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


def _dimensions(
    model: Any, scores: pd.DataFrame, columns: Columns
) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
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
                "values": columns.add_exact(_floats(scores[name])),
            }
        )
    if isinstance(weights, dict):
        tree = _tree(weights, (), positions)
    else:  # a model of one dimension: nothing to re-weight
        tree = [{"label": dimension_name(()), "effect": effect(1.0), "leaf": 0, "children": None}]
    return leaves, tree


def _indicators(model: Any, leaves: list[dict[str, Any]], labels: list[Any]) -> list[dict[str, Any]]:
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
                    "column": labels.index(label),
                    "direction": float(direction),
                    **{name: _number(record[name]) for name in ("coef", "min", "max", "mean", "std")},
                }
            )
    return records


def _treated(raw: np.ndarray, scored: np.ndarray, columns: Columns) -> dict[str, Any] | None:
    """What the model scored of one indicator, where it differs from the raw values.

    None when the treatment changed nothing; else the whole column, or only
    the positions and values that changed when they are few.
    """
    changed = ~((raw == scored) | (np.isnan(raw) & np.isnan(scored)))
    where = np.flatnonzero(changed)
    if where.size == 0:
        return None
    if where.size > _SPARSE_SHARE * raw.size:
        return {"values": columns.add_measured(scored)}
    return {"positions": columns.add_positions(where), "values": columns.add_measured(scored[where])}


def _columns(inputs: Inputs, columns: Columns) -> list[dict[str, Any]]:
    """Each indicator: its label, the range and values of its raw values, and its treatment."""
    described = []
    for label in inputs.raw.columns:
        values = _floats(inputs.raw[label])
        finite = values[np.isfinite(values)]
        entry: dict[str, Any] = {
            "label": str(label),
            "low": float(finite.min()) if finite.size else None,
            "high": float(finite.max()) if finite.size else None,
            "values": columns.add_measured(values),
            "treated": None,
            "treatment": None,
        }
        if inputs.treatment is not None:
            entry["treated"] = _treated(values, _floats(inputs.treatment.scored[label]), columns)
            entry["treatment"] = inputs.treatment.steps.get(label)
        described.append(entry)
    return described


def _label_order(labels: list[str]) -> list[int]:
    """The positions of ``labels`` in the order a reader scans a list: case
    and accents aside, numbers by value ("Area 2" before "Area 10").

    Worked out here rather than in the page: a browser collates 242,335
    labels in seconds.
    """
    keys = [label.casefold() for label in labels]
    for position, key in enumerate(keys):
        if not key.isascii():
            plain = unicodedata.normalize("NFKD", key)
            keys[position] = "".join(character for character in plain if not unicodedata.combining(character))
    separator = "\0" if not any("\0" in key for key in keys) else None
    if separator is None:  # a label holds the separator: one at a time, more slowly
        return sorted(range(len(keys)), key=lambda position: _padded(keys[position]))
    # Every digit run padded to one width compares as its number does; done
    # on all labels at once, it is one pass of the regular expression.
    padded = _padded(separator.join(keys)).split(separator)
    return sorted(range(len(padded)), key=padded.__getitem__)


def _padded(text: str) -> str:
    parts = _DIGITS.split(text)
    parts[1::2] = [digits.zfill(_DIGIT_WIDTH) for digits in parts[1::2]]
    return "".join(parts)


def _units(labels: list[str], columns: Columns) -> tuple[dict[str, Any], dict[str, Any]]:
    """The labels, and their order for sorting by name."""
    return columns.add_labels(labels), columns.add_positions(_label_order(labels))


def _intervals(intervals: pd.DataFrame | None, columns: Columns) -> dict[str, Any] | None:
    if intervals is None:
        return None
    found = {name: columns.add_shown(_floats(intervals[name]), RANK_DIGITS) for name in ("p5", "median", "p95")}
    if "top_tenth" in intervals.columns:
        # Shown as whole percentages of the runs.
        found.update(
            top=columns.add_shown(100 * _floats(intervals["top_tenth"]), 0),
            bottom=columns.add_shown(100 * _floats(intervals["bottom_tenth"]), 0),
        )
    return found


def _moves(moves: pd.DataFrame | None, columns: Columns) -> dict[str, Any] | None:
    """Each unit's interval of places climbed since an earlier edition, and the verdict's words."""
    if moves is None:
        return None
    return {
        "since": str(moves.attrs.get("since", "")),
        "until": str(moves.attrs.get("until", "")),
        "low": columns.add_shown(_floats(moves["rank_change_p5"]), RANK_DIGITS),
        "high": columns.add_shown(_floats(moves["rank_change_p95"]), RANK_DIGITS),
        "words": [WITHIN, BEYOND],
    }


#: The editions' columns the page shows, with their decimals.
EDITION_COLUMNS = {
    "composite": COMPOSITE_DIGITS,
    "score": SCORE_DIGITS,
    "rank": RANK_DIGITS,
    "rank_change": RANK_DIGITS,
    "composite_change": COMPOSITE_DIGITS,
    "score_change": SCORE_DIGITS,
}


def _editions(inputs: Inputs, columns: Columns) -> dict[str, Any] | None:
    """Each shown column of the editions, one block of units per period, in period order."""
    if inputs.trajectories is None or inputs.periods is None:
        return None
    frame = inputs.trajectories
    units = inputs.scores.index
    by_period = [frame.xs(period, level=0).reindex(units) for period in inputs.periods]
    carried: dict[str, Any] = {"periods": [str(period) for period in inputs.periods]}
    for name, digits in EDITION_COLUMNS.items():
        if name not in frame.columns or frame[name].isna().all():
            continue
        if name == "rank_change":
            # The previous rank less this one, both whole or halves: the page
            # works it out exactly from the ranks it has.
            carried[name] = True
            continue
        values = np.concatenate([_floats(one[name]) for one in by_period])
        carried[name] = columns.add_shown(values, digits)
    return carried


def _scale(scale: Scale | None) -> dict[str, Any] | None:
    if scale is None:
        return None
    return {
        "low": scale.low,
        "high": scale.high,
        "units": scale.units,
        "sentence": scale.sentence,
        "follows": scale.follows,
    }


def payload(model: Any, inputs: Inputs) -> tuple[dict[str, Any], str]:
    """The page's data: a document for its script, and the columns it points into.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        The fitted model, with the weights it was published with.
    inputs : Inputs
        The checked tables, over the same units.

    Returns
    -------
    document : dict
        JSON-ready; every label is a string, every missing number ``None``,
        every per-unit column a reference into ``columns``.
    columns : str
        The per-unit columns, base64 one after the other.
    """
    columns = Columns()
    scores = inputs.scores
    labels, order = _units([str(label) for label in scores.index], columns)
    leaves, tree = _dimensions(model, scores, columns)
    document = {
        "count": len(scores),
        "units": labels,
        "unitOrder": order,
        "scaleMethod": str(model.scale_method),
        "dimensions": leaves,
        "tree": tree,
        "indicators": _indicators(model, leaves, list(inputs.raw.columns)),
        "columns": _columns(inputs, columns),
        "treated": inputs.treatment is not None,
        "intervals": _intervals(inputs.intervals, columns),
        "moves": _moves(inputs.moves, columns),
        "editions": _editions(inputs, columns),
        "scale": _scale(inputs.scale),
    }
    return document, columns.text()
