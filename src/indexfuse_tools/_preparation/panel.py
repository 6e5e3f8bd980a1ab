"""Gaps filled from a unit's own periods: the last value carried, or a line drawn between two.

A long table holds one row per unit and period. Publishers fill a unit's
gap from its neighbouring periods first, and from other units only where
the unit has no value within reach; this module does the first part for
every indicator at once, with array operations over the table sorted by
unit and time, never a loop over units.

The time between two periods is the difference of their labels when the
labels are numbers (years), and otherwise the number of steps between them
in the order of the periods known (dates, quarters, text such as "FY9").
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import is_real, isolate, period_order, show

__all__ = ["OVER_TIME", "Anchors", "Filled", "Last", "Timeline", "time_axis"]

#: The imputations that fill a unit's gaps from its own periods.
OVER_TIME = ("carry", "interpolate")

# Periods are compared in floats: a sum such as 2019.1 - 2018.1 is not 1 exactly.
_SLACK = 1e-9
# How a fill was made, as the log's detail says it.
FORWARD, BACKWARD, BETWEEN = 1, 2, 3


def time_axis(order: Sequence[Any]) -> np.ndarray:
    """The time of each period of ``order``: its label when every label is a number, else its position."""
    if order and all(is_real(label) for label in order):
        return np.asarray(order, dtype=np.float64)
    return np.arange(len(order), dtype=np.float64)


@dataclass(frozen=True)
class Anchors:
    """Each unit's last observed value of each indicator, as a preparation keeps them.

    Attributes
    ----------
    units : numpy.ndarray
        The units (object array).
    periods : list
        The periods known when prepared, in order.
    positions : mapping
        ``{indicator: int array}``: per unit, the position in ``periods``
        of its last value, -1 where it has none.
    values : mapping
        ``{indicator: float array}``: per unit, that value.
    """

    units: np.ndarray
    periods: list[Any]
    positions: Mapping[Any, np.ndarray]
    values: Mapping[Any, np.ndarray]

    @classmethod
    def none(cls) -> Anchors:
        return cls(np.empty(0, dtype=object), [], {}, {})


@dataclass(frozen=True)
class Filled:
    """The fills of one indicator over time.

    Attributes
    ----------
    rows : numpy.ndarray
        Positions in the table of the values filled.
    values : numpy.ndarray
        The values filled there.
    how : numpy.ndarray
        :data:`FORWARD`, :data:`BACKWARD` or :data:`BETWEEN` per fill.
    start, end : numpy.ndarray
        Positions in :attr:`Timeline.order` of the period the value came
        from (``start``), and for a line the period it ran to (``end``,
        else -1).
    kept : numpy.ndarray
        Whether the value (or one end of the line) is one the preparation
        kept, not one of the table.
    """

    rows: np.ndarray
    values: np.ndarray
    how: np.ndarray
    start: np.ndarray
    end: np.ndarray
    kept: np.ndarray


class Timeline:
    """A long table's rows sorted by unit and time, with the units' kept values among them.

    Built once per table; :meth:`fill` then fills one indicator.

    Parameters
    ----------
    units, periods : pandas.Index
        The unit and period of each row of the table.
    anchors : Anchors
        The last values a preparation kept (none when it is learned).
    holders : tuple of str
        How errors name the unit and period columns.
    categories : sequence, optional
        The period column's categories when it is a categorical: their order
        is the periods' order.

    Raises
    ------
    ValueError
        For periods that cannot be ordered, and for a unit with two rows in
        one period (naming a few).
    """

    def __init__(
        self,
        units: pd.Index,
        periods: pd.Index,
        anchors: Anchors,
        holders: tuple[str, str],
        categories: Sequence[Any] | None = None,
    ) -> None:
        self.size = len(units)
        self.anchors = anchors
        known = list(anchors.periods)
        if categories is not None:
            # Periods kept when prepared but not among a new table's categories came before them.
            listed = set(categories)
            categories = [*(period for period in known if period not in listed), *categories]
        self.order = period_order(list(dict.fromkeys([*periods.unique().tolist(), *known])), holders[1], categories)
        times = time_axis(self.order)
        index = pd.Index(self.order)
        self.position = index.get_indexer(periods).astype(np.int64)
        every = units.append(pd.Index(anchors.units)) if len(anchors.units) else units
        codes, self.unit_labels = pd.factorize(every)
        real_units = codes[: self.size].astype(np.int64)
        virtual_units, virtual_periods, self._slots = self._virtual(
            codes[self.size :], index.get_indexer(known), real_units, len(self.order)
        )
        all_units = np.concatenate([real_units, virtual_units])
        all_periods = np.concatenate([self.position, virtual_periods])
        # One key per (unit, period): a stable sort of it orders the rows by unit, then time.
        keys = all_units * len(self.order) + all_periods
        self.sorted = np.argsort(keys, kind="stable")
        _refuse_repeats(keys[self.sorted], self.sorted, units, periods, holders)
        self.units = all_units[self.sorted]
        self.period_at = all_periods[self.sorted]
        self.times = times[self.period_at]
        self.real = self.sorted < self.size
        # The last sorted row of each unit.
        self.ends = np.flatnonzero(np.r_[self.units[1:] != self.units[:-1], True]) if len(self.units) else self.units

    def _virtual(
        self, anchor_units: np.ndarray, anchor_periods: np.ndarray, real_units: np.ndarray, count: int
    ) -> tuple[np.ndarray, np.ndarray, dict[Any, tuple[np.ndarray, np.ndarray]]]:
        """Rows for the kept values whose unit has no row in their period: (units, periods, slots per indicator)."""
        if not len(anchor_units):
            return np.empty(0, np.int64), np.empty(0, np.int64), {}
        taken = real_units.astype(np.int64) * count + self.position
        pairs = {}
        for label, positions in self.anchors.positions.items():
            has = positions >= 0
            pairs[label] = (np.flatnonzero(has), anchor_units[has].astype(np.int64) * count + anchor_periods[positions[has]])
        wanted = np.unique(np.concatenate([keys for _, keys in pairs.values()]))
        wanted = wanted[~np.isin(wanted, taken)]
        if not len(wanted):
            return np.empty(0, np.int64), np.empty(0, np.int64), {}
        slots = {}
        for label, (which, keys) in pairs.items():
            at = np.searchsorted(wanted, keys)
            hit = (at < len(wanted)) & (wanted[np.minimum(at, len(wanted) - 1)] == keys)
            slots[label] = (which[hit], at[hit])
        return wanted // count, wanted % count, slots

    def fill(
        self, label: Any, values: np.ndarray, how: str, max_gap: int | None, lasts: dict[Any, Any] | None = None
    ) -> Filled:
        """Fill one indicator's gaps from the unit's own values within ``max_gap`` periods.

        ``"carry"``: the last value before, within reach; before the unit's
        first value, the first one after. ``"interpolate"``: a line between
        the values before and after when they are at most ``max_gap + 1``
        apart; at the ends of the unit's series, the nearest value within
        reach.

        With ``lasts``, ``lasts[label]`` becomes the units' :class:`Last`
        values of the table, from the same pass.
        """
        # Only where the values are present is sorted (a byte per row); the values
        # themselves are read at the few places a fill takes them from.
        column = self._with_kept(label, values)
        present = ~np.isnan(column)[self.sorted]
        seen = np.flatnonzero(present)
        # How many values the sorted rows hold up to each: one pass finds the values either side of every gap.
        counted = np.cumsum(present)
        if lasts is not None:
            lasts[label] = self._last(seen, counted, column)
        gaps = np.flatnonzero(~present if self.size == len(present) else ~present & self.real)
        if not gaps.size or not seen.size:
            return _no_fill()
        # The values on either side of each gap, in the sorted rows; checked below to be the unit's own.
        following = counted[gaps]
        count = len(present)
        before = np.where(following > 0, seen[np.maximum(following - 1, 0)], -1)
        after = np.where(following < seen.size, seen[np.minimum(following, seen.size - 1)], count)
        has_before = before >= 0
        has_before[has_before] = self.units[before[has_before]] == self.units[gaps[has_before]]
        has_after = after < count
        has_after[has_after] = self.units[after[has_after]] == self.units[gaps[has_after]]
        before, after = np.where(has_before, before, gaps), np.where(has_after, after, gaps)
        time = self.times[gaps]
        reach = np.inf if max_gap is None else max_gap + _SLACK
        forward = has_before & (time - self.times[before] <= reach)
        backward = ~has_before & has_after & (self.times[after] - time <= reach)
        between = np.zeros_like(forward)
        if how == "interpolate":
            between = has_before & has_after & (self.times[after] - self.times[before] <= reach + 1)
            forward &= ~has_after
        kinds = np.select([between, forward, backward], [BETWEEN, FORWARD, BACKWARD], 0)
        done = kinds > 0
        gaps, before, after, kinds = gaps[done], before[done], after[done], kinds[done]
        first, last = column[self.sorted[before]], column[self.sorted[after]]
        filled = np.where(kinds == BACKWARD, last, first)
        line = kinds == BETWEEN
        if line.any():
            low, high, now = self.times[before[line]], self.times[after[line]], self.times[gaps[line]]
            filled[line] = first[line] + (last[line] - first[line]) * (now - low) / (high - low)
        source = np.where(kinds == BACKWARD, after, before)
        return Filled(
            rows=self.sorted[gaps],
            values=filled,
            how=kinds,
            start=self.period_at[source],
            end=np.where(line, self.period_at[after], -1),
            kept=~self.real[source] | (line & ~self.real[after]),
        )

    def _with_kept(self, label: Any, values: np.ndarray) -> np.ndarray:
        """``values`` followed by the kept values of the rows the table lacks, as :attr:`sorted` indexes them."""
        extra = len(self.sorted) - self.size
        if not extra:
            return values
        virtual = np.full(extra, np.nan)
        if label in self._slots:
            which, at = self._slots[label]
            virtual[at] = self.anchors.values[label][which]
        return np.concatenate([values, virtual])

    def _last(self, seen: np.ndarray, counted: np.ndarray, values: np.ndarray) -> Last:
        """Each unit's last value, from the sorted rows that hold one (``seen``) and their running count."""
        count = len(self.unit_labels)
        last = Last(np.full(count, -1, dtype=np.int64), np.full(count, np.nan))
        if not seen.size:
            return last
        ends = self.ends
        # Sorted by unit then time: the last value up to a unit's last row is its last value, if it is its own.
        found = counted[ends] - 1
        own = found >= 0
        rows = seen[np.maximum(found, 0)]
        own &= self.units[rows] == self.units[ends]
        units = self.units[ends[own]]
        last.periods[units] = self.period_at[rows[own]]
        last.values[units] = values[self.sorted[rows[own]]]
        return last


@dataclass(frozen=True)
class Last:
    """Per unit: the period (its position in the order, -1 for none) and the value of its last value."""

    periods: np.ndarray
    values: np.ndarray


def _no_fill() -> Filled:
    empty = np.empty(0, dtype=np.int64)
    return Filled(empty, np.empty(0), empty, empty, empty, np.empty(0, dtype=bool))


def _refuse_repeats(
    keys: np.ndarray, rows: np.ndarray, units: pd.Index, periods: pd.Index, holders: tuple[str, str]
) -> None:
    """``ValueError`` naming a few (unit, period) pairs that two rows share; ``keys`` are sorted."""
    # A kept value is never placed where the table has a row, so equal keys are rows of the table.
    repeated = rows[1:][keys[1:] == keys[:-1]]
    if repeated.size:
        repeated = np.sort(repeated)
        named = list(dict.fromkeys(zip(units[repeated].tolist(), periods[repeated].tolist())))
        raise ValueError(
            f"filling gaps over time needs one row per unit and period, and {len(named)} (unit, period) "
            f"pair(s) of {holders[0]} and {holders[1]} repeat: {show(named, 3)}"
        )


def describe_fills(filled: Filled, order: Sequence[Any]) -> np.ndarray:
    """The log's detail for each fill: how it was made and the period(s) it came from."""
    keys = (filled.how * (len(order) + 1) + filled.start) * (len(order) + 1) + filled.end + 1
    keys = keys * 2 + filled.kept
    distinct, inverse = np.unique(keys, return_inverse=True)
    texts = np.array([_detail(int(key), order) for key in distinct], dtype=object)
    return texts[inverse]


def _detail(key: int, order: Sequence[Any]) -> str:
    key, kept = divmod(key, 2)
    key, end = divmod(key, len(order) + 1)
    how, start = divmod(key, len(order) + 1)
    where = " (the value kept when prepared)" if kept else ""
    if how == FORWARD:
        return f"carried forward from {_label(order[start])}{where}"
    if how == BACKWARD:
        return f"carried back from {_label(order[start])}{where}"
    return f"interpolated between {_label(order[start])} and {_label(order[end - 1])}{where}"


def _label(period: Hashable) -> str:
    # Isolated, so that a label written right to left cannot turn the sentence around.
    return str(period) if is_real(period) else isolate(repr(period))
