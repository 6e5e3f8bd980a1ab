"""Why a unit's composite moved between two editions, indicator by indicator, exactly."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import show, unit_list

if TYPE_CHECKING:
    from indexfuse_tools._editions.result import Editions, Terms

__all__ = ["attribute", "STATUSES"]

#: Where a unit of a change is: at both ends, or at one only.
STATUSES = ("both", "start only", "end only")


def attribute(editions: Editions, start: Any, end: Any, units: Any = None) -> pd.DataFrame:
    """Each unit's change from ``start`` to ``end``, as :meth:`Editions.change` documents it."""
    chosen = _units(editions, start, end, units)
    at_start = editions.frame(start).index.get_indexer(chosen)
    at_end = editions.frame(end).index.get_indexer(chosen)
    status = np.where(at_start >= 0, np.where(at_end >= 0, STATUSES[0], STATUSES[1]), STATUSES[2])
    before = editions.results.loc[start, "composite"].to_numpy(np.float64)
    after = editions.results.loc[end, "composite"].to_numpy(np.float64)
    composite_start = _rows(before[:, None], at_start)[:, 0]
    composite_end = _rows(after[:, None], at_end)[:, 0]
    if editions.one_model:
        labels, data, missing, method = _one_model(editions, start, end, at_start, at_end)
    else:
        labels, data, missing, method = _refit(editions, start, end, at_start, at_end)
    # A unit without a composite at one end (absent, a dimension wholly missing, dropped by the
    # preparation) has no change to attribute.
    unscored = ~(np.isfinite(composite_start) & np.isfinite(composite_end))
    data[unscored] = np.nan
    missing[unscored] = np.nan
    method[unscored] = np.nan
    numbers = np.column_stack([composite_start, composite_end, composite_end - composite_start, data, missing, method])
    plain = [(name, "") for name in ("start", "end", "change")]
    names = [*plain, *labels, ("missing", ""), ("method", "")]
    columns = pd.MultiIndex.from_tuples(names, names=["dimension", "indicator"])
    table = pd.DataFrame(numbers, index=chosen, columns=columns)
    table.insert(0, ("status", ""), status)
    table.attrs["terms"] = labels
    return table


def _units(editions: Editions, start: Any, end: Any, units: Any) -> pd.Index:
    both = editions.frame(start).index.append(editions.frame(end).index).unique().rename("unit")
    if units is None:
        return both
    # Tuples stay labels, as the editions' own units do.
    chosen: pd.Index = pd.Index(unit_list(units, both), name="unit", tupleize_cols=False)
    unknown = chosen[both.get_indexer(chosen) < 0].tolist()
    if unknown:
        raise KeyError(f"unit(s) {show(unknown)} are in neither edition {start!r} nor {end!r}")
    return chosen


def _rows(values: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """Rows of ``values`` at ``positions``, NaN where a position is -1 (``values`` itself when they are all, in order)."""
    if len(positions) == len(values) and (positions == np.arange(len(values))).all():
        return values
    taken: np.ndarray = np.take(values, np.maximum(positions, 0), axis=0).astype(np.float64, copy=False)
    outside = positions < 0
    if outside.any():
        taken[outside] = np.nan
    return taken


def _aligned(terms: Terms, labels: list[tuple[Any, Any]], positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The terms and absences of ``terms`` over ``labels`` (0 for a label the model lacks) and rows."""
    if labels == terms.labels:
        values, absent = terms.values, terms.absent
    else:
        values, absent = _relabelled(terms, labels)
    if len(positions) == len(values) and (positions == np.arange(len(values))).all():
        return values, absent
    taken_absent = np.take(absent, np.maximum(positions, 0), axis=0)
    taken_absent[positions < 0] = False
    return _rows(values, positions), taken_absent


def _relabelled(terms: Terms, labels: list[tuple[Any, Any]]) -> tuple[np.ndarray, np.ndarray]:
    columns = [terms.labels.index(label) if label in terms.labels else -1 for label in labels]
    values = np.zeros((len(terms.units), len(labels)))
    absent = np.zeros((len(terms.units), len(labels)), dtype=bool)
    # A row whose composite is NaN is NaN in every term, including those of a label this model lacks.
    blank = np.isnan(terms.values).any(axis=1)
    for j, column in enumerate(columns):
        if column >= 0:
            values[:, j] = terms.values[:, column]
            absent[:, j] = terms.absent[:, column]
        else:
            values[:, j] = np.where(blank, np.nan, 0.0)
    return values, absent


def _labels(*terms: Terms) -> list[tuple[Any, Any]]:
    labels: list[tuple[Any, Any]] = []
    for table in terms:
        labels.extend(label for label in table.labels if label not in labels)
    return labels


def _split_missing(data: np.ndarray, flipped: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``data`` with the terms of indicators missing at one end moved to a column of their own.

    ``data`` is the caller's own new array, changed in place.
    """
    rows = np.flatnonzero(flipped.any(axis=1))
    missing = np.zeros(len(data))
    if len(rows):
        block, gaps = data[rows], flipped[rows]
        missing[rows] = np.where(gaps, block, 0.0).sum(axis=1)
        block[gaps] = 0.0
        data[rows] = block
    return data, missing


def _one_model(
    editions: Editions, start: Any, end: Any, at_start: np.ndarray, at_end: np.ndarray
) -> tuple[list[tuple[Any, Any]], np.ndarray, np.ndarray, np.ndarray]:
    first, last = editions.terms_of(start, start), editions.terms_of(end, end)
    labels = _labels(first, last)
    t0, a0 = _aligned(first, labels, at_start)
    t1, a1 = _aligned(last, labels, at_end)
    data, missing = _split_missing(t1 - t0, a0 != a1)
    return labels, data, missing, np.zeros(len(at_start))


def _refit(
    editions: Editions, start: Any, end: Any, at_start: np.ndarray, at_end: np.ndarray
) -> tuple[list[tuple[Any, Any]], np.ndarray, np.ndarray, np.ndarray]:
    own_start, own_end = editions.terms_of(start, start), editions.terms_of(end, end)
    # Named t_<data><model>: t10 is the end edition's data under the start edition's model.
    crossed_start, crossed_end = editions.terms_of(start, end), editions.terms_of(end, start)
    labels = _labels(own_start, own_end, crossed_start, crossed_end)
    t00, a0 = _aligned(own_start, labels, at_start)
    t11, a1 = _aligned(own_end, labels, at_end)
    t10, _ = _aligned(crossed_start, labels, at_end)
    t01, _ = _aligned(crossed_end, labels, at_start)
    data = 0.5 * ((t10 - t00) + (t11 - t01))
    c00, c01, c10, c11 = (t.sum(axis=1) for t in (t00, t01, t10, t11))
    method = 0.5 * ((c01 - c00) + (c11 - c10))
    data, missing = _split_missing(data, a0 != a1)
    return labels, data, missing, method
