"""The stored preparation: every rule ``prepare`` learned, replayed on any table with the same columns."""

from __future__ import annotations

import os
import warnings
from collections import Counter
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass, field, fields
from types import MappingProxyType
from typing import Any

import numpy as np
import pandas as pd
from tessel.validation import is_numeric, series_to_float

from indexfuse_tools._core import (
    ModelFileError,
    as_frame,
    dimension_name,
    isolate,
    preparation_digest,
    show,
    significant,
)
from indexfuse_tools._preparation.panel import OVER_TIME, Anchors, Timeline, describe_fills

__all__ = ["IMPUTATIONS", "LOG_COLUMNS", "PREPARED_MARK", "Preparation", "STATISTICS", "TRANSFORMS"]

#: The columns of every preparation log.
LOG_COLUMNS = ["step", "column", "row", "before", "after", "detail"]
#: The transforms a preparation knows, by the name ``prepare`` takes.
TRANSFORMS = ("log", "box-cox", "yeo-johnson")
#: The statistics a gap is filled with from other units.
STATISTICS = ("mean", "median")
#: Every ``impute`` a preparation knows: a statistic, or a fill from the unit's own periods.
IMPUTATIONS = (*STATISTICS, *OVER_TIME)
#: The log's name for the threshold over all of the index's indicators.
ALL_INDICATORS = "all indicators"
#: The key of ``DataFrame.attrs`` under which a prepared table carries the
#: fingerprint of the preparation that made it: replaying a preparation on a
#: table that carries it would treat the values twice.
PREPARED_MARK = "indexfuse_tools.prepared"

# A note on a fill: the column's (key None) or a group's; prepare says how the value was learned.
FillNote = Callable[[Any, Any], str]


class Log:
    """The rows of a preparation's log as they come: one at a time, or a whole block of one step.

    A block keeps a fill of 100,000 values from becoming 100,000 Python
    tuples; :meth:`frame` puts everything together, in the order it came.
    """

    def __init__(self) -> None:
        self._parts: list[list[tuple[Any, ...]] | dict[str, Any]] = []

    def append(self, row: tuple[Any, ...]) -> None:
        if not self._parts or not isinstance(self._parts[-1], list):
            self._parts.append([])
        last = self._parts[-1]
        assert isinstance(last, list)
        last.append(row)

    def block(self, step: str, column: Any, rows: pd.Index, before: Any, after: Any, detail: Any) -> None:
        """Rows of one step and column; ``before``, ``after`` and ``detail`` are arrays or one value for all."""
        count = len(rows)
        if count:
            self._parts.append(
                {"step": step, "column": column, "row": rows, "count": count,
                 "before": before, "after": after, "detail": detail}
            )

    def steps(self, step: str) -> list[tuple[Any, Any]]:
        """The (column, row) pairs of one step, in order."""
        pairs: list[tuple[Any, Any]] = []
        for part in self._parts:
            if isinstance(part, list):
                pairs.extend((row[1], row[2]) for row in part if row[0] == step)
            elif part["step"] == step:
                pairs.extend((part["column"], row) for row in part["row"])
        return pairs

    def count(self, step: str) -> Counter[Any]:
        """Log rows of one step per column."""
        counts: Counter[Any] = Counter()
        for part in self._parts:
            if isinstance(part, list):
                counts.update(row[1] for row in part if row[0] == step)
            elif part["step"] == step:
                counts[part["column"]] += part["count"]
        return counts

    def frame(self) -> pd.DataFrame:
        """The log as a table, in :data:`LOG_COLUMNS`."""
        if not self._parts:
            return pd.DataFrame([], columns=LOG_COLUMNS)
        pieces: dict[str, list[Any]] = {name: [] for name in LOG_COLUMNS}
        for part in self._parts:
            if isinstance(part, list):
                for name, values in zip(LOG_COLUMNS, zip(*part), strict=True):
                    pieces[name].append(_objects(values))
                pieces["row"][-1] = pd.Index(pieces["row"][-1], dtype=object, tupleize_cols=False)
            else:
                rows = part["row"]
                pieces["row"].append(rows.to_flat_index() if isinstance(rows, pd.MultiIndex) else rows)
                for name in ("step", "column", "before", "after", "detail"):
                    pieces[name].append(_spread(part[name], part["count"]))
        rows = pieces["row"][0].append(pieces["row"][1:])
        # Row labels keep their type (ints stay ints) unless a note without a row is among them.
        rows = rows.infer_objects() if rows.dtype == object and not rows.hasnans else rows
        # Text columns as objects: inferring a type over a million rows costs more than the fills.
        table: dict[str, Any] = {
            name: pd.Series(np.concatenate(pieces[name]), dtype=object, copy=False)
            for name in ("step", "column", "detail")
        }
        for name in ("before", "after"):
            table[name] = np.concatenate([np.asarray(piece, dtype=np.float64) for piece in pieces[name]])
        table["row"] = rows
        return pd.DataFrame(table, columns=LOG_COLUMNS, copy=False)


def _objects(values: Sequence[Any]) -> np.ndarray:
    """``values`` in an object array, tuples kept whole."""
    out = np.empty(len(values), dtype=object)
    for position, value in enumerate(values):
        out[position] = value
    return out


def _spread(value: Any, count: int) -> np.ndarray:
    """An array of ``count`` values from an array, or one value for all."""
    if isinstance(value, np.ndarray) and value.ndim == 1:
        return value
    out = np.empty(count, dtype=np.float64 if isinstance(value, float) else object)
    out.fill(value)
    return out


def _frozen(mapping: Mapping[Any, Any]) -> Mapping[Any, Any]:
    return MappingProxyType(dict(mapping))


def _thawed(value: Any) -> Any:
    """Read-only mappings as plain dicts, all the way down, so that pickle takes them."""
    if isinstance(value, Mapping):
        return {key: _thawed(item) for key, item in value.items()}
    return value


@dataclass(frozen=True, eq=False)
class Preparation:
    """Every rule :func:`prepare` learned from a table, to replay on others.

    Made by :func:`prepare`, read back by :meth:`load`; immutable. Replaying
    on the table it was fitted on (:meth:`apply`) gives the prepared table
    :func:`prepare` returned, bit for bit.

    Attributes
    ----------
    indicators : tuple
        The indicator columns, in schema order.
    impute : {"mean", "median", "carry", "interpolate"} or None
        The statistic missing values are filled with, or how they are
        filled from the unit's own periods.
    group : column label or None
        The column (or index level) whose groups the fills were taken
        within.
    fills : mapping
        ``{indicator: float}``: the column's statistic, for every indicator
        when ``impute`` is set (so that a new table's new gaps can be
        filled); over time, the statistic of ``fallback``.
    group_fills : mapping
        ``{indicator: {group value: float}}``: the statistic within each group.
    transforms : mapping
        ``{indicator: {"kind": "log", "shift": float}}``, or ``{"kind":
        "box-cox" | "yeo-johnson", "lambda": float}``.
    caps : mapping
        ``{indicator: (low, high)}``: the winsorisation caps, ``-inf`` or
        ``inf`` on a side left alone.
    min_present : mapping
        ``{dimension path: share (float) or count (int)}``.
    min_present_total : float, int or None
        The share or count of all the indicators a row needs.
    dimensions : mapping
        ``{dimension path: tuple of indicators}``.
    counts : mapping
        ``{indicator: {"imputed": int, "winsorized": int}}``: the values
        filled and capped in the table it was fitted on.
    period, unit : column label or None
        With ``impute="carry"`` or ``"interpolate"``: the columns (or index
        levels) naming each row's period and unit.
    max_gap : int or None
        How many periods a value is carried at most (None: any number).
    fallback : {"mean", "median"} or None
        Over time: the statistic of the gaps no value of the unit reaches.
    periods : tuple
        Over time: the periods of the table it was fitted on, in order.
    units : tuple
        Over time: the units of the rows it kept.
    last_periods : mapping
        ``{indicator: tuple of int}``: per unit of ``units``, the position
        in ``periods`` of its last value, -1 for a unit without one.
    last_values : mapping
        ``{indicator: tuple of float}``: per unit, that value (NaN for none).

    Notes
    -----
    Over time, a new edition's gaps are filled as the table's were, with
    each unit's last value kept among its own: a gap in 2021 is carried
    from the unit's value of 2019 when the new table has none between and
    ``max_gap`` reaches that far, and ``"interpolate"`` draws its line from
    the kept value to the unit's next value in the new table. A period the
    new table holds replaces the kept value of that period, even where the
    new table lacks it. So the last edition of the table it was fitted on,
    replayed alone, is filled as it was among the others: a gap there is
    carried from the unit's last value, which the preparation keeps. The
    kept values are the raw values, before any transform.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import Preparation, prepare
    >>> data = pd.DataFrame({"gdp": [100.0, None, 900.0, 2700.0]})
    >>> _, _, preparation = prepare(["gdp"], data, impute="median", transform={"gdp": "log"})
    >>> dict(preparation.fills), dict(preparation.transforms["gdp"])
    ({'gdp': 900.0}, {'kind': 'log', 'shift': 0.0})
    >>> edition, log = preparation.apply(pd.DataFrame({"gdp": [None, 8100.0]}))
    >>> edition.round(3)
         gdp
    0  6.802
    1  9.000
    >>> log[["step", "row", "after", "detail"]].round(3)
            step  row    after                              detail
    0     impute    0  900.000  median of the column where prepared
    1  transform    0    6.802                      log(x + 0)
    2  transform    1    9.000                      log(x + 0)
    >>> Preparation.loads(preparation.dumps()) == preparation
    True
    """

    indicators: tuple[Any, ...]
    impute: str | None = None
    group: Any = None
    fills: Mapping[Any, float] = field(default_factory=dict)
    group_fills: Mapping[Any, Mapping[Any, float]] = field(default_factory=dict)
    transforms: Mapping[Any, Mapping[str, Any]] = field(default_factory=dict)
    caps: Mapping[Any, tuple[float, float]] = field(default_factory=dict)
    min_present: Mapping[tuple[Any, ...], float | int] = field(default_factory=dict)
    min_present_total: float | int | None = None
    dimensions: Mapping[tuple[Any, ...], tuple[Any, ...]] = field(default_factory=dict)
    counts: Mapping[Any, Mapping[str, int]] = field(default_factory=dict)
    period: Any = None
    unit: Any = None
    max_gap: int | None = None
    fallback: str | None = None
    periods: tuple[Any, ...] = ()
    units: tuple[Any, ...] = ()
    last_periods: Mapping[Any, tuple[int, ...]] = field(default_factory=dict)
    last_values: Mapping[Any, tuple[float, ...]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        # Frozen all the way down, so that a replay can never depend on who held the object before.
        object.__setattr__(self, "indicators", tuple(self.indicators))
        object.__setattr__(self, "fills", _frozen({k: float(v) for k, v in self.fills.items()}))
        object.__setattr__(
            self, "group_fills", _frozen({k: _frozen(v) for k, v in self.group_fills.items()})
        )
        object.__setattr__(self, "transforms", _frozen({k: _frozen(v) for k, v in self.transforms.items()}))
        object.__setattr__(
            self, "caps", _frozen({k: (float(low), float(high)) for k, (low, high) in self.caps.items()})
        )
        object.__setattr__(self, "min_present", _frozen({tuple(k): v for k, v in self.min_present.items()}))
        object.__setattr__(
            self, "dimensions", _frozen({tuple(k): tuple(v) for k, v in self.dimensions.items()})
        )
        object.__setattr__(self, "counts", _frozen({k: _frozen(v) for k, v in self.counts.items()}))
        object.__setattr__(self, "periods", tuple(self.periods))
        object.__setattr__(self, "units", tuple(self.units))
        for name in ("last_periods", "last_values"):
            object.__setattr__(self, name, _frozen({k: tuple(v) for k, v in getattr(self, name).items()}))

    def __repr__(self) -> str:
        over_time = (
            f", period={self.period!r}, unit={self.unit!r}, max_gap={self.max_gap!r}, fallback={self.fallback!r}"
            if self.over_time
            else ""
        )
        return (
            f"Preparation({len(self.indicators)} indicators, impute={self.impute!r}, group={self.group!r}"
            f"{over_time}, transforms={len(self.transforms)}, caps={len(self.caps)}, "
            f"min_present={len(self.min_present)} dimensions, min_present_total={self.min_present_total!r})"
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Preparation):
            return NotImplemented
        return self.to_dict() == other.to_dict()

    __hash__ = None  # type: ignore[assignment]

    @property
    def over_time(self) -> bool:
        """Whether gaps are filled from the unit's own periods (``impute`` is ``"carry"`` or ``"interpolate"``)."""
        return self.impute in OVER_TIME

    @property
    def statistic(self) -> str | None:
        """The statistic a gap is filled with from other units: ``impute``, or over time ``fallback``."""
        return self.fallback if self.over_time else self.impute

    def __reduce__(self) -> tuple[Any, ...]:
        # The read-only mappings do not pickle: the fields go as plain dicts, frozen again on the way in.
        return (type(self), tuple(_thawed(getattr(self, item.name)) for item in fields(self)))

    @property
    def options(self) -> dict[str, Any]:
        """The options of :func:`prepare` that learn rules of the same kinds again, on another table.

        ``prepare(schema, data, **preparation.options)`` imputes with the same
        statistic (within the same group column), transforms the same
        indicators with the same kinds (their parameters learnt again),
        winsorises when this preparation does (up to
        :data:`WINSORIZE_LIMIT` points, the limit it was learnt with being
        kept nowhere) and applies the same availability thresholds; on the
        table this preparation was learnt from, with its own options, it
        gives the same rules unless winsorisation was limited otherwise.

        Examples
        --------
        >>> import pandas as pd
        >>> from indexfuse_tools import prepare
        >>> data = pd.DataFrame({"gdp": [100.0, None, 900.0, 2700.0], "jobs": [1.0, 2.0, 3.0, 4.0]})
        >>> _, _, preparation = prepare({"economy": ["gdp", "jobs"]}, data, impute="median",
        ...                             transform={"gdp": "log"}, min_present=0.5)
        >>> preparation.options
        {'impute': 'median', 'transform': {'gdp': 'log'}, 'min_present': {'economy': 0.5}}
        """
        options: dict[str, Any] = {}
        if self.impute is not None:
            options["impute"] = self.impute
        if self.group is not None:
            options["group"] = self.group
        if self.transforms:
            options["transform"] = {label: str(rule["kind"]) for label, rule in self.transforms.items()}
        if self.caps:
            options["winsorize"] = True
        if self.min_present:
            options["min_present"] = {dimension_name(path): value for path, value in self.min_present.items()}
        if self.min_present_total is not None:
            options["min_present_total"] = self.min_present_total
        if self.over_time:
            options.update(period=self.period, unit=self.unit, max_gap=self.max_gap, fallback=self.fallback)
        return options

    # ------------------------------------------------------------ replay --

    def apply(self, data: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]:
        """Replay the rules on ``data``, learning nothing.

        Parameters
        ----------
        data : pandas.DataFrame
            A table with the indicator columns (and the group, period and
            unit columns or index levels the preparation names): new rows,
            a new edition. Not modified.

        Returns
        -------
        prepared : pandas.DataFrame
            A new frame, as :func:`prepare` returns it.
        log : pandas.DataFrame
            One row per row dropped and per value changed, in the columns of
            :func:`prepare`'s log.

        Raises
        ------
        KeyError
            If ``data`` lacks indicator columns or the group, period or unit
            column (named).
        ValueError
            If an indicator to treat is not numeric or names several
            columns, a transform cannot apply to a value of the new table or
            takes one to infinity (naming the column, the row and the
            transform), the group column has missing labels, or none of its
            groups was seen when prepared while a gap needs a group's value;
            over time, for periods that cannot be ordered or a unit with two
            rows in one period.

        Warns
        -----
        UserWarning
            When gaps fall in groups not seen when prepared (they get the
            statistic of the whole column), and when an indicator has no
            value in ``data`` at all (every value of it is imputed).
        """
        frame = as_frame(data)
        self._require_columns(frame)
        return self._replay(frame)

    def _require_columns(self, frame: pd.DataFrame) -> None:
        extra = [label for label in (self.group, self.period, self.unit) if label is not None]
        lacking = [
            label for label in [*self.indicators, *dict.fromkeys(extra)]
            if label not in frame.columns and not is_level(frame, label)
        ]
        if lacking:
            raise KeyError(f"the table lacks the preparation's columns {show(lacking)}")
        repeated = frame.columns[frame.columns.duplicated()]
        named = [label for label in [*self.indicators, *extra] if label in repeated]
        if named:
            raise ValueError(f"these labels name several columns of data: {show(dict.fromkeys(named))}")

    def _replay(
        self, frame: pd.DataFrame, fill_note: FillNote | None = None
    ) -> tuple[pd.DataFrame, pd.DataFrame]:
        log = Log()
        prepared = self._filled(frame, log, fill_note)
        prepared = self._transformed(prepared, log)
        for label, (low, high) in self.caps.items():
            cap_column(prepared, label, low, high, log)
        prepared.attrs[PREPARED_MARK] = preparation_digest(self)
        return prepared, log.frame()

    def _filled(self, frame: pd.DataFrame, log: Log, fill_note: FillNote | None = None) -> pd.DataFrame:
        """A copy of ``frame`` with the sparse rows dropped and the gaps filled."""
        treated = set(self.fills) | set(self.transforms) | set(self.caps)
        require_numeric(frame, [label for label in self.indicators if label in treated])
        if self.group is not None:
            require_group_labels(frame, self.group)
        if self.over_time:
            require_group_labels(frame, self.period, "period")
            require_group_labels(frame, self.unit, "unit")
        # Shallow: every step replaces whole columns, never writes into the caller's.
        prepared = drop_sparse(frame.copy(deep=False), self.dimensions, self.min_present, self.min_present_total, log)
        if self.impute is not None:
            # Learning, prepare() has seen every group and every indicator: nothing to warn of.
            self._fill(prepared, log, fill_note or self._fill_note, warn=fill_note is None)
        return prepared

    def _transformed(self, prepared: pd.DataFrame, log: Log) -> pd.DataFrame:
        for label, rule in self.transforms.items():
            transform_column(prepared, label, rule, log)
        return prepared

    def timeline(self, prepared: pd.DataFrame) -> Timeline:
        """The rows of ``prepared`` over time, with the units' last values kept."""
        return Timeline(
            label_values(prepared, self.unit),
            label_values(prepared, self.period),
            self.anchors(),
            (f"the unit column {self.unit!r}", f"the period column {self.period!r}"),
            period_categories(prepared, self.period),
        )

    def _fill(
        self,
        prepared: pd.DataFrame,
        log: Log,
        note: FillNote,
        warn: bool = True,
        timeline: Timeline | None = None,
        lasts: dict[Any, Any] | None = None,
    ) -> None:
        """Fill the gaps of ``prepared`` in place; with ``lasts``, gather each unit's last values too."""
        columns = {label: writable_floats(prepared[label]) for label in self.indicators}
        made: dict[Any, list[tuple[np.ndarray, np.ndarray, np.ndarray]]] = {label: [] for label in self.indicators}
        if self.over_time:
            timeline = timeline or self.timeline(prepared)
            for label, values in columns.items():
                filled = timeline.fill(label, values, str(self.impute), self.max_gap, lasts)
                values[filled.rows] = filled.values
                made[label].append((filled.rows, filled.values, describe_fills(filled, timeline.order)))
        groups = label_values(prepared, self.group).to_numpy() if self.group is not None else None
        unseen: Counter[Any] = Counter()
        for label, values in columns.items():
            gaps = np.flatnonzero(np.isnan(values))
            if gaps.size:
                if label not in self.fills:
                    raise ValueError(f"the preparation imputes {label!r} but holds no value to fill it with")
                made[label].append(self._fill_across(label, values, gaps, groups, note, unseen))
        if warn:
            self._warn(prepared, made, unseen)
        for label, values in columns.items():
            if made[label]:
                rows, after, detail = (np.concatenate(parts) for parts in zip(*made[label]))
                order = np.argsort(rows, kind="stable")
                log.block("impute", label, prepared.index[rows[order]], np.nan, after[order], detail[order])
                set_column(prepared, label, values)

    def _fill_across(
        self,
        label: Any,
        values: np.ndarray,
        gaps: np.ndarray,
        groups: np.ndarray | None,
        note: FillNote,
        unseen: Counter[Any],
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Fill ``gaps`` from other units: the group's statistic, else the column's."""
        fill = self.fills[label]
        if groups is None:
            values[gaps] = fill
            return gaps, values[gaps], np.full(gaps.size, note(label, None), dtype=object)
        within = self.group_fills.get(label, {})
        codes, keys = pd.factorize(groups[gaps])
        keys = [group_key(key) for key in keys]
        chosen = np.array([within.get(key, fill) for key in keys], dtype=np.float64)
        notes = np.array([note(label, key) for key in keys], dtype=object)
        values[gaps] = chosen[codes]
        known = self._seen_groups()
        unseen.update({key: int(n) for key, n in zip(keys, np.bincount(codes, minlength=len(keys))) if key not in known})
        return gaps, values[gaps], notes[codes]

    def _seen_groups(self) -> set[Any]:
        return {key for within in self.group_fills.values() for key in within}

    def _warn(self, prepared: pd.DataFrame, made: Mapping[Any, list[Any]], unseen: Counter[Any]) -> None:
        if unseen:
            table_groups = set(map(group_key, pd.unique(label_values(prepared, self.group).to_numpy())))
            seen = self._seen_groups()
            if seen and not table_groups & seen:
                raise ValueError(
                    f"none of the groups of {self.group!r} in this table ({show(sorted(table_groups, key=repr))}) "
                    f"was seen when prepared ({show(sorted(seen, key=repr))}): were the groups coded anew? "
                    "Their gaps would all get the whole column's statistic"
                )
            warnings.warn(
                f"{self.group} = {show(list(unseen), 5)} {'was' if len(unseen) == 1 else 'were'} not seen when "
                f"prepared: {sum(unseen.values())} gap(s) there got the {self.statistic} of the whole column "
                "where prepared",
                UserWarning,
                stacklevel=6,
            )
        if len(prepared):
            empty = [label for label, parts in made.items() if parts and sum(len(p[0]) for p in parts) == len(prepared)]
            if empty:
                warnings.warn(
                    f"{show(empty)} {'has' if len(empty) == 1 else 'have'} no value in this table: every one of "
                    f"{'its' if len(empty) == 1 else 'their'} {len(prepared)} values is imputed from what was "
                    "learnt where prepared",
                    UserWarning,
                    stacklevel=6,
                )

    def anchors(self) -> Anchors:
        """The units' last values as arrays, for a timeline."""
        units = np.empty(len(self.units), dtype=object)
        units[:] = list(self.units)
        return Anchors(
            units=units,
            periods=list(self.periods),
            positions={label: np.asarray(p, dtype=np.int64) for label, p in self.last_periods.items()},
            values={label: np.asarray(v, dtype=np.float64) for label, v in self.last_values.items()},
        )

    def _fill_note(self, label: Any, key: Any) -> str:
        reach = reach_text(self.impute, self.max_gap)
        if key is None:
            return f"{self.statistic} of the column where prepared{reach}"
        if key in self.group_fills.get(label, {}):
            return f"{self.statistic} with {self.group} = {key!r} where prepared{reach}"
        return f"{self.statistic} of the column where prepared ({self.group} = {key!r} was not seen){reach}"

    # ----------------------------------------------------------- summary --

    def summary(self) -> pd.DataFrame:
        """What was done to each indicator, one row each.

        Returns
        -------
        pandas.DataFrame
            Indexed by indicator, with the columns ``imputed`` (values filled
            in the table it was fitted on), ``fill`` (the column's value, NaN
            without imputation), ``transform`` (the kind, or ``""``),
            ``winsorized`` (values capped there), ``low`` and ``high`` (the
            caps, infinite on a side left alone). Rows dropped, and why, are
            in the log.
        """
        rows = []
        for label in self.indicators:
            low, high = self.caps.get(label, (-np.inf, np.inf))
            rows.append(
                {
                    "imputed": int(self.counts.get(label, {}).get("imputed", 0)),
                    "fill": self.fills.get(label, np.nan),
                    "transform": str(self.transforms.get(label, {}).get("kind", "")),
                    "winsorized": int(self.counts.get(label, {}).get("winsorized", 0)),
                    "low": low,
                    "high": high,
                }
            )
        table = pd.DataFrame(rows, index=pd.Index(list(self.indicators), name="indicator", tupleize_cols=False))
        return table

    # ------------------------------------------------------------- files --

    def to_dict(self) -> dict[str, Any]:
        """The preparation as a JSON-ready dict (tagged like model files)."""
        from indexfuse_tools._preparation.document import to_document

        return to_document(self)

    @classmethod
    def from_dict(cls, document: Any) -> Preparation:
        """Rebuild a preparation from :meth:`to_dict`'s dict, checking every field.

        Raises
        ------
        ModelFileError
            A ``ValueError`` naming the place of the first problem.
        """
        from indexfuse_tools._preparation.document import from_document

        return from_document(document)

    def dumps(self, *, indent: int | None = 2) -> str:
        """The preparation as JSON text."""
        from indexfuse_tools._preparation.document import dumps_document

        return dumps_document(self.to_dict(), indent)

    @classmethod
    def loads(cls, text: str | bytes) -> Preparation:
        """Rebuild a preparation from JSON text: a preparation document or a model file carrying one."""
        from indexfuse_tools._preparation.document import loads_document

        return loads_document(text)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the preparation as JSON to ``path``, whole or not at all."""
        from indexfuse_tools._core import atomic_path

        with atomic_path(path) as target, open(target, "w", encoding="utf-8") as handle:
            handle.write(self.dumps() + "\n")

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Preparation:
        """Read a preparation from a preparation file, or from a model file that carries one.

        Raises
        ------
        ModelFileError
            For a malformed document, text that is not UTF-8, or a model file
            that carries no preparation; the message starts with the file.
        """
        with open(path, "rb") as handle:
            content = handle.read()
        try:
            return cls.loads(content)
        except ModelFileError as error:
            raise ModelFileError(f"{os.fspath(path)}: {error}") from None


# ------------------------------------------------------- the replayed steps --


def reach_text(impute: str | None, max_gap: int | None) -> str:
    """Why a gap got a statistic over time: the unit's own values did not reach it."""
    if impute not in OVER_TIME:
        return ""
    if max_gap is None:
        return " (the unit has no value of it)"
    return f" (no value of the unit within {max_gap} period{'s' if max_gap != 1 else ''})"


def is_level(frame: pd.DataFrame, label: Any) -> bool:
    """Whether ``label`` names a level of the row index (and no column)."""
    return label is not None and label not in frame.columns and label in frame.index.names


def label_values(frame: pd.DataFrame, label: Any) -> pd.Index:
    """The values of a column, or else of an index level, named ``label``, one per row."""
    values: pd.Index = pd.Index(frame[label]) if label in frame.columns else frame.index.get_level_values(label)
    return values


def period_categories(frame: pd.DataFrame, label: Any) -> Sequence[Any] | None:
    """The categories of a categorical column or level, in the order the analyst set (ordered or not); else None."""
    dtype = frame[label].dtype if label in frame.columns else frame.index.get_level_values(label).dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return list(dtype.categories)
    return None


def set_column(prepared: pd.DataFrame, label: Any, values: np.ndarray) -> None:
    """Put a new array of this module's own in place of a column."""
    # As a Series of the frame's index, so that pandas takes the array rather than a copy of it.
    prepared[label] = pd.Series(values, index=prepared.index, copy=False)


def writable_floats(column: pd.Series) -> np.ndarray:
    """A column as float64 (missing values NaN) that is the caller's own to write into."""
    values = series_to_float(column)
    return values.copy() if np.shares_memory(values, column.array) else values


def require_numeric(frame: pd.DataFrame, labels: list[Any]) -> None:
    """Refuse indicators to treat that are not numeric, naming them."""
    bad = [
        f"{label!r} ({frame[label].dtype})"
        for label in labels
        if not is_numeric(frame[label].dtype, frame[label].to_numpy())
    ]
    if bad:
        raise ValueError(f"cannot impute, transform or winsorise non-numeric columns: {', '.join(bad)}")


def require_group_labels(frame: pd.DataFrame, group: Any, role: str = "group") -> None:
    """Refuse a group (or unit, or period) column with missing labels: a row in no group cannot be placed."""
    missing = np.asarray(label_values(frame, group).isna())
    if missing.any():
        rows = show(frame.index[missing][:5].tolist())
        advice = "give every row a group, or a label of its own such as 'unknown'" if role == "group" else (
            f"every row needs its {role}"
        )
        raise ValueError(f"the {role} column {group!r} has {int(missing.sum())} missing labels (rows {rows}); {advice}")


def needed(threshold: float | int, size: int) -> float:
    """The count of indicators present a threshold asks of ``size`` indicators."""
    if isinstance(threshold, float):
        # Compared as counts, so that 2 of 3 present meets a share of 2/3 exactly.
        return threshold * size - 1e-9
    return float(threshold)


def threshold_text(threshold: float | int) -> str:
    """A threshold as the log states it: a share to 3 digits, a count as it is."""
    return f"{threshold:.3g}" if isinstance(threshold, float) else f"{threshold} present"


def drop_sparse(
    prepared: pd.DataFrame,
    dimensions: Mapping[tuple[Any, ...], tuple[Any, ...]],
    min_present: Mapping[tuple[Any, ...], float | int],
    min_present_total: float | int | None,
    log: Log,
) -> pd.DataFrame:
    """The rows that meet every availability threshold; one log row per row dropped."""
    tests: list[tuple[str, tuple[Any, ...], float | int]] = [
        (dimension_name(path), dimensions[path], threshold) for path, threshold in min_present.items()
    ]
    if min_present_total is not None:
        every = tuple(dict.fromkeys(label for labels in dimensions.values() for label in labels))
        tests.append((ALL_INDICATORS, every, min_present_total))
    if not tests or prepared.empty:
        return prepared
    present = prepared.notna()
    counts = np.array([present[list(labels)].sum(axis=1).to_numpy() for _, labels, _ in tests])
    sizes = np.array([len(labels) for _, labels, _ in tests], dtype=np.float64)
    failing = counts < np.array([needed(t, len(labels)) for _, labels, t in tests])[:, None]
    shares = counts / sizes[:, None]
    for position in np.flatnonzero(failing.any(axis=0)).tolist():
        where = np.flatnonzero(failing[:, position]).tolist()
        worst = min(where, key=lambda i: shares[i, position])
        detail = ", ".join(
            f"{isolate(tests[i][0])} {counts[i, position]} of {len(tests[i][1])} (needs {threshold_text(tests[i][2])})"
            for i in where
        )
        log.append(
            ("drop", tests[worst][0], prepared.index[position], float(shares[worst, position]), np.nan,
             f"too few indicators present: {detail}")
        )
    return prepared.iloc[~failing.any(axis=0)]


def transformed(values: np.ndarray, rule: Mapping[str, Any], label: Any, rows: pd.Index | None = None) -> np.ndarray:
    """``values`` through a stored transform; missing values stay missing.

    Raises ``ValueError`` for a value the transform cannot take, and for one
    it takes to infinity (naming the row when ``rows`` labels the values).
    """
    out = values.copy()
    present = ~np.isnan(values)
    kind = rule["kind"]
    if kind == "log":
        shifted = values[present] + rule["shift"]
        if (shifted <= 0).any():
            raise ValueError(
                f"cannot take the log of {label!r}: {int((shifted <= 0).sum())} values are at or below "
                f"{0.0 - rule['shift']:.6g}, the least the shift learned when prepared allows"
            )
        out[present] = np.log(shifted)
        return out
    # Slow to import: loaded by the first table a power transform treats, not with the package.
    from scipy import stats

    if kind == "box-cox":
        if (values[present] <= 0).any():
            raise ValueError(
                f"cannot apply Box-Cox to {label!r}: it has values <= 0 "
                "(Yeo-Johnson, or a log with its shift, takes them)"
            )
        with np.errstate(over="ignore"):
            out[present] = stats.boxcox(values[present], rule["lambda"])
    else:
        with np.errstate(over="ignore"):
            out[present] = stats.yeojohnson(values[present], rule["lambda"])
    _refuse_overflow(values, out, rule, label, rows)
    return out


def _refuse_overflow(
    values: np.ndarray, out: np.ndarray, rule: Mapping[str, Any], label: Any, rows: pd.Index | None
) -> None:
    # A power transform of a value far beyond those it was learnt on overflows a float; the
    # model would then name the column as infinite, with nothing to say why.
    broken = np.flatnonzero(np.isfinite(values) & ~np.isfinite(out))
    if not broken.size:
        return
    first = broken[0]
    where = f" in row {rows[first]!r}" if rows is not None else ""
    raise ValueError(
        f"cannot transform {label!r}: {transform_text(rule)} takes {significant(float(values[first]), 6)}{where} "
        f"to infinity ({broken.size} value{'s' if broken.size > 1 else ''} in all), far beyond the values it "
        "was learnt on; check the value, or prepare the new table anew"
    )


def transform_text(rule: Mapping[str, Any]) -> str:
    """A stored transform as the log states it."""
    if rule["kind"] == "log":
        return f"log(x + {rule['shift']:.6g})"
    return f"{rule['kind']} with lambda {rule['lambda']:.6g}"


def transform_column(prepared: pd.DataFrame, label: Any, rule: Mapping[str, Any], log: Log) -> None:
    """Transform one column in place of the copy; one log row per value."""
    values = series_to_float(prepared[label])
    out = transformed(values, rule, label, prepared.index)
    changed = np.flatnonzero(~np.isnan(values))
    log.block("transform", label, prepared.index[changed], values[changed], out[changed], transform_text(rule))
    set_column(prepared, label, out)


def cap_column(prepared: pd.DataFrame, label: Any, low: float, high: float, log: Log) -> None:
    """Clip one column to its caps; one log row per value capped."""
    values = series_to_float(prepared[label])
    out = np.clip(values, low, high)
    moved = np.flatnonzero((values != out) & ~np.isnan(values))
    above = values[moved] > high
    side = np.where(above, f"above the cap {significant(high, 6)}", f"below the cap {significant(low, 6)}")
    log.block("winsorize", label, prepared.index[moved], values[moved], out[moved], side.astype(object))
    set_column(prepared, label, out)


def group_key(value: Hashable) -> Hashable:
    """A group value as stored: numpy scalars as Python ones, so that files hold plain values."""
    return value.item() if isinstance(value, np.generic) else value
