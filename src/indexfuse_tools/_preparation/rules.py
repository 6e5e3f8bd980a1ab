"""The stored preparation: every rule ``prepare`` learned, replayed on any table with the same columns."""

from __future__ import annotations

import os
from collections.abc import Callable, Hashable, Mapping
from dataclasses import dataclass, field, fields
from types import MappingProxyType
from typing import Any

import numpy as np
import pandas as pd
from scipy import stats
from tessel.validation import is_numeric, series_to_float

from indexfuse_tools._core import as_frame, dimension_name, isolate, preparation_digest, show, significant

__all__ = ["LOG_COLUMNS", "PREPARED_MARK", "Preparation", "TRANSFORMS"]

#: The columns of every preparation log.
LOG_COLUMNS = ["step", "column", "row", "before", "after", "detail"]
#: The transforms a preparation knows, by the name ``prepare`` takes.
TRANSFORMS = ("log", "box-cox", "yeo-johnson")
#: The log's name for the threshold over all of the index's indicators.
ALL_INDICATORS = "all indicators"
#: The key of ``DataFrame.attrs`` under which a prepared table carries the
#: fingerprint of the preparation that made it: replaying a preparation on a
#: table that carries it would treat the values twice.
PREPARED_MARK = "indexfuse_tools.prepared"

LogRows = list[tuple[Any, ...]]
# A note on a fill: the column's (key None) or a group's; prepare says how the value was learned.
FillNote = Callable[[Any, Any], str]


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
    impute : {"mean", "median"} or None
        The statistic missing values are filled with.
    group : column label or None
        The column whose groups the fills were taken within.
    fills : mapping
        ``{indicator: float}``: the column's statistic, for every indicator
        when ``impute`` is set (so that a new table's new gaps can be filled).
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

    def __repr__(self) -> str:
        return (
            f"Preparation({len(self.indicators)} indicators, impute={self.impute!r}, group={self.group!r}, "
            f"transforms={len(self.transforms)}, caps={len(self.caps)}, "
            f"min_present={len(self.min_present)} dimensions, min_present_total={self.min_present_total!r})"
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Preparation):
            return NotImplemented
        return self.to_dict() == other.to_dict()

    __hash__ = None  # type: ignore[assignment]

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
        return options

    # ------------------------------------------------------------ replay --

    def apply(self, data: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]:
        """Replay the rules on ``data``, learning nothing.

        Parameters
        ----------
        data : pandas.DataFrame
            A table with the indicator columns (and the group column, if the
            fills were taken within groups): new rows, a new edition. Not
            modified.

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
            If ``data`` lacks indicator columns or the group column (named).
        ValueError
            If an indicator to treat is not numeric, a transform cannot apply
            to a value of the new table (named), or the group column has
            missing labels.
        """
        frame = as_frame(data)
        self._require_columns(frame)
        return self._replay(frame)

    def _require_columns(self, frame: pd.DataFrame) -> None:
        needed = list(self.indicators) + ([self.group] if self.group is not None else [])
        lacking = [label for label in needed if label not in frame.columns]
        if lacking:
            raise KeyError(f"the table lacks the preparation's columns {show(lacking)}")

    def _replay(
        self, frame: pd.DataFrame, fill_note: FillNote | None = None
    ) -> tuple[pd.DataFrame, pd.DataFrame]:
        log: LogRows = []
        treated = set(self.fills) | set(self.transforms) | set(self.caps)
        require_numeric(frame, [label for label in self.indicators if label in treated])
        if self.group is not None:
            require_group_labels(frame, self.group)
        prepared = frame.copy()
        prepared = drop_sparse(prepared, self.dimensions, self.min_present, self.min_present_total, log)
        if self.impute is not None:
            note = fill_note or self._fill_note
            for label in self.indicators:
                fill_gaps(prepared, label, self.fills.get(label, np.nan), self.group, self.group_fills.get(label, {}), note, log)
        for label, rule in self.transforms.items():
            transform_column(prepared, label, rule, log)
        for label, (low, high) in self.caps.items():
            cap_column(prepared, label, low, high, log)
        prepared.attrs[PREPARED_MARK] = preparation_digest(self)
        return prepared, pd.DataFrame(log, columns=LOG_COLUMNS)

    def _fill_note(self, label: Any, key: Any) -> str:
        if key is None:
            return f"{self.impute} of the column where prepared"
        if key in self.group_fills.get(label, {}):
            return f"{self.impute} with {self.group} = {key!r} where prepared"
        return f"{self.impute} of the column where prepared ({self.group} = {key!r} was not seen)"

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
            For a malformed document, or a model file that carries no preparation.
        """
        with open(path, encoding="utf-8") as handle:
            return cls.loads(handle.read())


# ------------------------------------------------------- the replayed steps --


def require_numeric(frame: pd.DataFrame, labels: list[Any]) -> None:
    """Refuse indicators to treat that are not numeric, naming them."""
    bad = [
        f"{label!r} ({frame[label].dtype})"
        for label in labels
        if not is_numeric(frame[label].dtype, frame[label].to_numpy())
    ]
    if bad:
        raise ValueError(f"cannot impute, transform or winsorise non-numeric columns: {', '.join(bad)}")


def require_group_labels(frame: pd.DataFrame, group: Any) -> None:
    """Refuse a group column with missing labels: a row in no group cannot be placed."""
    missing = frame[group].isna().to_numpy()
    if missing.any():
        rows = show(frame.index[missing][:5].tolist())
        raise ValueError(
            f"the group column {group!r} has {int(missing.sum())} missing labels (rows {rows}); "
            "give every row a group, or a label of its own such as 'unknown'"
        )


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
    log: LogRows,
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


def fill_gaps(
    prepared: pd.DataFrame,
    label: Any,
    fill: float,
    group: Any,
    group_fills: Mapping[Any, float],
    note: FillNote,
    log: LogRows,
) -> None:
    """Fill the gaps of one column with its group's value, else the column's."""
    values = series_to_float(prepared[label]).copy()
    gaps = np.flatnonzero(np.isnan(values)).tolist()
    if not gaps:
        return
    keys = prepared[group].to_numpy() if group is not None else None
    for position in gaps:
        key = keys[position] if keys is not None else None
        value = group_fills.get(key, fill) if key is not None else fill
        values[position] = value
        log.append(("impute", label, prepared.index[position], np.nan, value, note(label, key)))
    prepared[label] = values


def transformed(values: np.ndarray, rule: Mapping[str, Any], label: Any) -> np.ndarray:
    """``values`` through a stored transform; missing values stay missing."""
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
    elif kind == "box-cox":
        if (values[present] <= 0).any():
            raise ValueError(
                f"cannot apply Box-Cox to {label!r}: it has values <= 0 "
                "(Yeo-Johnson, or a log with its shift, takes them)"
            )
        out[present] = stats.boxcox(values[present], rule["lambda"])
    else:
        out[present] = stats.yeojohnson(values[present], rule["lambda"])
    return out


def transform_text(rule: Mapping[str, Any]) -> str:
    """A stored transform as the log states it."""
    if rule["kind"] == "log":
        return f"log(x + {rule['shift']:.6g})"
    return f"{rule['kind']} with lambda {rule['lambda']:.6g}"


def transform_column(prepared: pd.DataFrame, label: Any, rule: Mapping[str, Any], log: LogRows) -> None:
    """Transform one column in place of the copy; one log row per value."""
    values = series_to_float(prepared[label])
    out = transformed(values, rule, label)
    detail = transform_text(rule)
    for position in np.flatnonzero(~np.isnan(values)).tolist():
        log.append(("transform", label, prepared.index[position], values[position], out[position], detail))
    prepared[label] = out


def cap_column(prepared: pd.DataFrame, label: Any, low: float, high: float, log: LogRows) -> None:
    """Clip one column to its caps; one log row per value capped."""
    values = series_to_float(prepared[label])
    out = np.clip(values, low, high)
    for position in np.flatnonzero(values != out).tolist():
        if np.isnan(values[position]):
            continue
        above = values[position] > high
        side = f"above the cap {significant(high, 6)}" if above else f"below the cap {significant(low, 6)}"
        log.append(("winsorize", label, prepared.index[position], values[position], out[position], side))
    prepared[label] = out


def group_key(value: Hashable) -> Hashable:
    """A group value as stored: numpy scalars as Python ones, so that files hold plain values."""
    return value.item() if isinstance(value, np.generic) else value
