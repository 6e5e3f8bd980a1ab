"""What keeps the editions of an index from comparing as they stand."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import coefficient_tables, fitted, isolate, show, split_key

if TYPE_CHECKING:
    from indexfuse_tools._editions.result import Editions

__all__ = ["COLUMNS", "FINDINGS", "findings"]

#: The columns of ``Editions.comparability``.
COLUMNS = ("finding", "period", "unit", "indicator", "amount", "detail")

#: Every finding ``Editions.comparability`` can hold.
FINDINGS = (
    "unit entering",
    "unit leaving",
    "indicator missing in edition",
    "indicator missing for unit",
    "outside fitted range",
    "not comparable",
)

Row = tuple[str, Any, Any, Any, float, str]


def findings(editions: Editions) -> pd.DataFrame:
    """The table of ``Editions.comparability``: one row per finding, sorted by period then finding."""
    rows: list[Row] = []
    rows += _membership(editions)
    rows += _gaps(editions)
    rows += _outside(editions)
    if not editions.one_model:
        rows += _not_comparable(editions)
    table = pd.DataFrame(rows, columns=list(COLUMNS)).astype({"amount": np.float64})
    order = {key: position for position, key in enumerate(editions.periods)}
    sort_key = pd.DataFrame({"period": table["period"].map(order), "finding": table["finding"]})
    ordered = sort_key.sort_values(["period", "finding"], kind="mergesort").index
    return table.loc[ordered].reset_index(drop=True)


def _membership(editions: Editions) -> list[Row]:
    rows: list[Row] = []
    for previous, key in zip(editions.periods, editions.periods[1:]):
        before, now = editions.frame(previous).index, editions.frame(key).index
        for unit in now[before.get_indexer(now) < 0]:
            rows.append(
                ("unit entering", key, unit, None, np.nan,
                 f"{isolate(unit)} is in the {isolate(key)} edition but not in the {isolate(previous)} one, "
                 f"so it has no rank or composite change in {isolate(key)}.")
            )
        for unit in before[now.get_indexer(before) < 0]:
            rows.append(
                ("unit leaving", key, unit, None, np.nan,
                 f"{isolate(unit)} is in the {isolate(previous)} edition but not in the {isolate(key)} one.")
            )
    return rows


def _indicators(editions: Editions) -> list[Any]:
    return list(dict.fromkeys(indicator for _, indicator in editions.terms))


def _gaps(editions: Editions) -> list[Row]:
    rows: list[Row] = []
    labels = _indicators(editions)
    for key in editions.periods:
        frame = editions.frame(key)
        preparation = editions._preparations[key]
        filled = preparation is not None and preparation.impute is not None
        bottom = "mean" if editions.models[key].scale_method == "z_score" else "lowest value"
        consequence = (
            f"the preparation fills it with its {preparation.impute}" if filled and preparation else
            f"its term is 0, as if it sat at the {bottom} the model was fitted on"
        )
        gaps = np.array(frame[labels].isna(), dtype=bool)
        whole = gaps.all(axis=0)
        for column in np.flatnonzero(whole):
            rows.append(
                ("indicator missing in edition", key, None, labels[column], float(len(frame)),
                 f"No unit has {isolate(labels[column])} in the {isolate(key)} edition: {consequence} for all "
                 f"{len(frame):,} units, so their composites compare with other editions' only on "
                 "the other indicators.")
            )
        gaps[:, whole] = False
        for row, column in zip(*np.nonzero(gaps)):
            unit = frame.index[row]
            rows.append(
                ("indicator missing for unit", key, unit, labels[column], np.nan,
                 f"{isolate(unit)} has no value of {isolate(labels[column])} in the {isolate(key)} edition: "
                 f"{consequence}.")
            )
    return rows


def _ranges(model: Any) -> dict[Any, tuple[float, float, Any]]:
    """``{indicator: (low, high, direction)}``: the range the model was fitted on, in the direction it scales."""
    ranges: dict[Any, tuple[float, float, Any]] = {}
    for node in coefficient_tables(fitted(model, "index_coef")):
        for key, record in node.value.items():
            label, direction = split_key(key)
            ranges.setdefault(label, (float(record["min"]), float(record["max"]), direction))
    return ranges


def _outside(editions: Editions) -> list[Row]:
    rows: list[Row] = []
    for key in editions.periods:
        scored = editions.scored(key)
        for label, (low, high, direction) in _ranges(editions.models[key]).items():
            values = scored[label].to_numpy(np.float64) * float(direction)
            distance = np.fmax(values - high, low - values)
            beyond = distance > 0
            if not beyond.any():
                continue
            span = high - low
            share = float(distance[beyond].max() / span) if span > 0 else np.inf
            units = scored.index[beyond].tolist()
            lowest, highest = sorted((low * float(direction), high * float(direction)))
            rows.append(
                ("outside fitted range", key, units[0] if len(units) == 1 else None, label, share,
                 f"In the {isolate(key)} edition {len(units)} unit(s) have {isolate(label)} outside the range "
                 f"the model was fitted on ({lowest:.4g} to {highest:.4g}), by up to {share:.1%} of that range "
                 f"(amount is this share): {show(units, 5)}. Their terms lie beyond those of any unit "
                 "fitted on.")
            )
    return rows


def _not_comparable(editions: Editions) -> list[Row]:
    return [
        ("not comparable", key, None, None, np.nan,
         f"The {isolate(key)} edition was scored by a model fitted on it alone, so its composites do not "
         f"compare with those of the {isolate(previous)} edition (composite_change is left empty); ranks compare.")
        for previous, key in zip(editions.periods, editions.periods[1:])
    ]
