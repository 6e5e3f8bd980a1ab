"""Learning a preparation: availability thresholds, imputation, transforms, outlier treatment."""

from __future__ import annotations

import warnings
from collections import Counter
from collections.abc import Mapping
from dataclasses import replace
from typing import Any, cast

import numpy as np
import pandas as pd
from tessel.validation import series_to_float

from indexfuse_tools._core import (
    FEW_DISTINCT,
    Node,
    Schema,
    as_frame,
    as_share,
    dimension_name,
    fixed,
    is_finite,
    is_integer,
    leaf_columns,
    show,
    signature_text,
    significant,
)
from indexfuse_tools._preparation.panel import OVER_TIME, Anchors, Last, Timeline
from indexfuse_tools._preparation.rules import (
    IMPUTATIONS,
    STATISTICS,
    TRANSFORMS,
    FillNote,
    Log,
    Preparation,
    cap_column,
    drop_sparse,
    group_key,
    is_level,
    label_values,
    reach_text,
    period_categories,
    require_group_labels,
    require_numeric,
    transform_column,
    writable_floats,
)

__all__ = ["SKEW_LIMIT", "KURTOSIS_LIMIT", "WINSORIZE_LIMIT", "EXTREME_SD", "needs_treatment", "prepare"]

#: An indicator is treated for outliers when its absolute skew exceeds this...
SKEW_LIMIT = 2.0
#: ...and its (excess) kurtosis exceeds this.
KURTOSIS_LIMIT = 3.5
#: How many points ``prepare(..., winsorize=True)`` winsorises at most per indicator.
WINSORIZE_LIMIT = 5
#: After a transform, a value more standard deviations than this from the
#: indicator's mean is named in a warning: a normal sample of 30,000 values
#: passes 5 about once in a hundred, so it is most likely a data error.
EXTREME_SD = 5.0
# The unbiased estimators need at least four values (kurtosis divides by (n - 2)(n - 3)).
_MIN_VALUES = 4


def _shape(values: np.ndarray) -> tuple[float, float]:
    """Sample skew and excess kurtosis, bias-corrected (spreadsheet SKEW and KURT)."""
    from scipy import stats  # slow to import: loaded by the first table examined, not with the package

    return float(stats.skew(values, bias=False)), float(stats.kurtosis(values, fisher=True, bias=False))


def _finite(values: Any) -> np.ndarray:
    array = np.asarray(values, dtype=np.float64).ravel()
    return array[np.isfinite(array)]


def needs_treatment(values: Any) -> bool:
    """Whether an indicator's distribution calls for outlier treatment.

    The rule of composite-indicator practice: the absolute skew exceeds
    :data:`SKEW_LIMIT` (2) and the kurtosis exceeds :data:`KURTOSIS_LIMIT`
    (3.5).

    Parameters
    ----------
    values : array_like
        The indicator's values; missing and infinite values are left out.

    Returns
    -------
    bool
        ``False`` as well for fewer than 4 values and for constant ones.

    Notes
    -----
    Skew and kurtosis are the bias-corrected sample estimates
    ``scipy.stats.skew(x, bias=False)`` and ``scipy.stats.kurtosis(x,
    fisher=True, bias=False)``, the latter as *excess* kurtosis (0 for a
    normal distribution). These are the estimates that spreadsheet
    ``SKEW`` and ``KURT`` give, for which the limits of the field's
    handbooks are stated.

    Examples
    --------
    >>> from indexfuse_tools import needs_treatment
    >>> needs_treatment([1, 2, 3, 4, 5, 6, 7, 8])
    False
    >>> needs_treatment([1, 2, 2, 3, 3, 3, 4, 4, 5, 60])
    True
    """
    finite = _finite(values)
    if finite.size < _MIN_VALUES or np.ptp(finite) == 0:
        return False
    skew, kurtosis = _shape(finite)
    return bool(abs(skew) > SKEW_LIMIT and kurtosis > KURTOSIS_LIMIT)


def prepare(
    schema: Schema,
    data: pd.DataFrame,
    *,
    impute: str | None = None,
    group: Any = None,
    period: Any = None,
    unit: Any = None,
    max_gap: int | None = None,
    fallback: str | None = None,
    transform: str | Mapping[Any, str | None] | None = None,
    winsorize: bool | int = False,
    min_present: float | Mapping[Any, float | int] | None = None,
    min_present_total: float | int | None = None,
) -> tuple[pd.DataFrame, pd.DataFrame, Preparation]:
    """A copy of ``data`` made ready to fit, a log of every value changed, and the rules to replay.

    Four optional steps, in the order of the field's practice, on the
    indicator columns the schema's entries name (other columns are copied
    unchanged):

    1. availability (``min_present``, ``min_present_total``): drop the rows
       with too few indicators present in some dimension, or in all;
    2. imputation (``impute``): fill the remaining missing values with the
       column's mean or median, or with that of the row's group; or, in a
       long table of units over periods, from the unit's own periods first
       (``"carry"``, ``"interpolate"``) and from other units where it has
       no value within reach;
    3. transforms (``transform``): a log, Box-Cox or Yeo-Johnson, for the
       indicators named or for those the outlier rule flags;
    4. winsorisation (``winsorize``): for every indicator whose absolute
       skew exceeds 2 and whose kurtosis exceeds 3.5 (see
       :func:`needs_treatment`), set the most extreme value, on the side of
       the skew, to the next value inward, one point at a time, until the
       rule no longer holds or the limit of points is reached. Indicators
       with fewer than :data:`FEW_DISTINCT` distinct values (a law in force
       or not) are left alone: capping would merge their levels.

    Every rule learned (fills, transform parameters, caps, thresholds, the
    units' last values) is kept in the returned :class:`Preparation`, whose
    :meth:`~Preparation.apply` replays them on new rows or a new edition.

    Parameters
    ----------
    schema : dict, list or tuple
        The model's schema; entries are matched to columns as the model
        matches them (entries that name no column are left out: see
        :func:`check`).
    data : pandas.DataFrame
        The table, one column per indicator. Not modified.
    impute : {"mean", "median", "carry", "interpolate"}, optional
        ``"mean"``, ``"median"``: fill missing indicator values with this
        statistic. ``"carry"``: with the unit's last value before the gap,
        or, before its first value, its first value after (within
        ``max_gap``). ``"interpolate"``: on the straight line in time
        between the unit's values before and after the gap, when they are
        at most ``max_gap + 1`` periods apart; at either end of the unit's
        series, its nearest value within ``max_gap``. Gaps the unit's own
        values do not reach get the ``fallback`` statistic. Every fill is
        logged with the period its value came from.
    group : column label, optional
        With ``impute``: take the statistic within the rows that share this
        column's value (a region, an income class, or the unit itself);
        rows whose group has no value of the indicator get the statistic of
        the whole column. With a threshold: warn when the rows dropped
        cluster in one group. The column may have no missing labels.
    period, unit : column label, optional
        With ``impute="carry"`` or ``"interpolate"`` (and only then): the
        columns naming each row's period (years, dates, or labels that
        sort, such as an ordered categorical) and unit. One row per unit
        and period.
    max_gap : int, optional
        Over time: how far a value reaches, in periods (years, when the
        periods are numbers: the difference of their labels; otherwise the
        steps between them in their order). None: any distance.
    fallback : {"mean", "median"}, default "median" over time
        The statistic of the gaps the unit's own values do not reach
        (within ``group`` when given).
    transform : {"log", "box-cox", "yeo-johnson"} or mapping, optional
        A kind applies to every indicator the outlier rule flags after
        imputation; a mapping ``{indicator: kind or None}`` chooses per
        indicator. ``"log"`` is ``log(x + shift)``, with shift 0 when every
        value is positive and ``1 - min`` otherwise; Box-Cox and Yeo-Johnson
        are scipy's, with lambda estimated on the values present.
    winsorize : bool or int, default False
        ``True`` treats outliers up to :data:`WINSORIZE_LIMIT` (5) points
        per indicator; an integer sets that limit.
    min_present : float or mapping, optional
        A share in (0, 1], such as 2/3, for every dimension; or a mapping
        from a dimension's name (as :func:`weights` names it) to a share or
        a count (an int from 1 to the dimension's indicator count), with the
        key ``None`` for the dimensions not named.
    min_present_total : float or int, optional
        A share in (0, 1] or a count of all the index's indicators.

    Returns
    -------
    prepared : pandas.DataFrame
        A new frame: rows kept, in their order; changed columns as float64.
    log : pandas.DataFrame
        One row per row dropped and per value changed, with the columns
        ``step`` (``"drop"``, ``"impute"``, ``"transform"`` or
        ``"winsorize"``; ``"skip"`` for an indicator left out of
        winsorisation), ``column`` (the indicator; for ``"drop"`` the
        dimension with the fewest indicators present, named as
        :func:`weights` names it, or ``"all indicators"``), ``row`` (the row
        label), ``before`` and ``after`` (the value; for ``"drop"``, the
        share present there and NaN) and ``detail`` (how it was computed,
        such as ``"carried forward from 1983"``; for ``"drop"``, every
        threshold the row misses).
        ``log.groupby(["step", "column"]).size()`` counts the changes.
    preparation : Preparation
        The rules learned, to replay, save and load.

    Raises
    ------
    TypeError
        If ``data`` is not a DataFrame or ``schema`` is not a dict, list or
        tuple.
    ValueError
        For an unknown ``impute``, ``fallback`` or ``transform``, a bad
        ``winsorize``, ``max_gap`` or threshold (naming the dimension); if
        no entry names a column; if a used label names several columns; if
        a column to treat is not numeric, a column to impute has no value,
        a transform cannot apply (naming the indicator), or the ``group``,
        ``period`` or ``unit`` column has missing labels; over time, without
        ``period`` and ``unit``, with periods that cannot be ordered, or
        with a unit that has two rows in one period.
    KeyError
        If ``group``, ``period`` or ``unit`` is neither a column nor an
        index level of ``data``, or ``transform`` names an indicator the
        schema does not use.

    Warns
    -----
    UserWarning
        When an indicator still passes both limits after the last point
        allowed (a log transform may suit it better), when a transformed
        indicator keeps a value more than :data:`EXTREME_SD` standard
        deviations from its mean (a likely data error), and when the rows
        dropped cluster in one group (its share of them more than twice its
        share of the table).

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import prepare
    >>> data = pd.DataFrame({"gdp": [1.0, None, 3.0, 5.0, None],
    ...                      "jobs": [2.0, 4.0, 6.0, None, None],
    ...                      "region": ["n", "n", "s", "s", "s"]})
    >>> prepared, log, preparation = prepare(
    ...     {"economy": ["gdp", "jobs"]}, data, impute="mean", group="region", min_present=0.5)
    >>> prepared
       gdp  jobs region
    0  1.0   2.0      n
    1  1.0   4.0      n
    2  3.0   6.0      s
    3  5.0   6.0      s
    >>> log[["step", "column", "row", "before", "after"]]
         step   column  row  before  after
    0    drop  economy    4     0.0    NaN
    1  impute      gdp    1     NaN    1.0
    2  impute     jobs    3     NaN    6.0
    >>> dict(preparation.group_fills["gdp"])
    {'n': 1.0, 's': 4.0}

    Over time, a unit's gap is filled from its own years:

    >>> panel = pd.DataFrame({"year": [2019, 2020, 2021] * 2, "state": ["a"] * 3 + ["b"] * 3,
    ...                       "gdp": [1.0, None, 3.0, None, 5.0, None]})
    >>> prepared, log, _ = prepare(["gdp"], panel, impute="interpolate", period="year", unit="state")
    >>> log[["row", "after", "detail"]]
       row  after                          detail
    0    1    2.0  interpolated between 2019 and 2021
    1    3    5.0            carried back from 2020
    2    5    5.0         carried forward from 2020
    """
    if isinstance(schema, pd.DataFrame):
        raise TypeError(
            f"prepare{signature_text(prepare)}: the schema comes first, then the table, "
            "as in check(schema, data); got a DataFrame as the schema"
        )
    frame = as_frame(data)
    limit = _winsorize_limit(winsorize)
    statistic = _imputation(impute, period, unit, max_gap, fallback)
    for role, label in (("group", group), ("period", period), ("unit", unit)):
        if label is not None:
            if label not in frame.columns and not is_level(frame, label):
                raise KeyError(f"{role} {label!r} is not a column or index level of data")
            require_group_labels(frame, label, role)
    dimensions = {node.path: tuple(labels) for node, labels in _dimensions(schema, frame)}
    indicators = tuple(dict.fromkeys(label for labels in dimensions.values() for label in labels))
    shares = _dimension_thresholds(min_present, dimensions)
    total = _total_threshold(min_present_total, len(indicators))
    kinds = _transform_kinds(transform, indicators)
    if impute is not None or limit or kinds:
        require_numeric(frame, list(indicators))

    log = Log()
    # Shallow: every step replaces whole columns, never writes into the caller's.
    kept = drop_sparse(frame.copy(deep=False), dimensions, shares, total, log)
    if group is not None and len(kept) < len(frame):
        _warn_if_clustered(frame, kept.index, group, indicators)
    timeline = _timeline(kept, period, unit) if impute in OVER_TIME else None
    fills, group_fills, notes = _learn_fills(kept, indicators, statistic, group, reach_text(impute, max_gap))
    rules = Preparation(
        indicators=indicators,
        impute=impute,
        group=group,
        fills=fills,
        group_fills=group_fills,
        min_present=shares,
        min_present_total=total,
        dimensions=dimensions,
        period=period,
        unit=unit,
        max_gap=None if max_gap is None else int(max_gap),
        fallback=statistic if impute in OVER_TIME else None,
    )
    # Every step below is the replay's own code on the rows the replay keeps, so that
    # apply on this table gives the table returned bit for bit.
    if impute is not None:
        lasts: dict[Any, Last] = {}
        rules._fill(kept, log, notes, warn=False, timeline=timeline, lasts=lasts)
        if timeline is not None:
            rules = replace(rules, **_last_values(timeline, lasts))
    transforms = _learn_transforms(kept, indicators, kinds)
    untransformed = {label: writable_floats(kept[label]) for label in transforms}
    for label, rule in transforms.items():
        transform_column(kept, label, rule, log)
    caps = {}
    if limit:
        for label in indicators:
            learned = _learn_caps(kept, label, limit, log)
            if learned is not None:
                caps[label] = learned
    for label, (low, high) in caps.items():
        cap_column(kept, label, low, high, Log())
    _warn_if_extreme(kept, untransformed)
    treated = replace(rules, transforms=transforms, caps=caps, counts=_counts(log, indicators))
    return kept, log.frame(), treated


def _imputation(impute: Any, period: Any, unit: Any, max_gap: Any, fallback: Any) -> str | None:
    """The statistic of the fills from other units, after checking the options of imputation."""
    if impute is not None and impute not in IMPUTATIONS:
        raise ValueError(f"impute must be one of {show(IMPUTATIONS)} or None, got {impute!r}")
    if impute not in OVER_TIME:
        given = [f"{name}={value!r}" for name, value in
                 (("period", period), ("unit", unit), ("max_gap", max_gap), ("fallback", fallback)) if value is not None]
        if given:
            raise ValueError(
                f"{', '.join(given)} serve{'s' if len(given) == 1 else ''} impute='carry' or 'interpolate' "
                f"(filling a unit's gaps from its own periods), not impute={impute!r}"
            )
        return cast(str | None, impute)
    lacking = [name for name, value in (("period", period), ("unit", unit)) if value is None]
    if lacking:
        raise ValueError(
            f"impute={impute!r} fills a unit's gaps from its own periods, so it needs {' and '.join(lacking)}=: "
            "the columns (or index levels) naming each row's period and unit"
        )
    if period == unit:
        raise ValueError(f"period and unit must be two columns, got {period!r} for both")
    if max_gap is not None and not (is_integer(max_gap) and is_finite(max_gap) and max_gap >= 1):
        raise ValueError(f"max_gap must be a whole number of periods >= 1 (or None for any), got {max_gap!r}")
    if fallback is None:
        return "median"
    if fallback not in STATISTICS:
        raise ValueError(f"fallback must be one of {show(STATISTICS)}, got {fallback!r}")
    return cast(str, fallback)


def _timeline(kept: pd.DataFrame, period: Any, unit: Any) -> Timeline:
    return Timeline(
        label_values(kept, unit),
        label_values(kept, period),
        Anchors.none(),
        (f"the unit column {unit!r}", f"the period column {period!r}"),
        period_categories(kept, period),
    )


def _last_values(timeline: Timeline, lasts: Mapping[Any, Last]) -> dict[str, Any]:
    """Each unit's last value of each indicator, as the preparation keeps them for later editions.

    They are read from the fill of the rows kept, whose timeline is the
    replay's own: the kept values all fall on rows of this table, so a
    replay on it places none of its own.
    """
    return {
        "periods": tuple(timeline.order),
        "units": tuple(timeline.unit_labels.tolist()),
        "last_periods": {label: tuple(last.periods.tolist()) for label, last in lasts.items()},
        "last_values": {label: tuple(last.values.tolist()) for label, last in lasts.items()},
    }


def _winsorize_limit(winsorize: Any) -> int:
    if winsorize is False or winsorize is None:
        return 0
    if winsorize is True:
        return WINSORIZE_LIMIT
    if is_integer(winsorize) and winsorize >= 1:
        return int(winsorize)
    raise ValueError(f"winsorize must be True, False or a number of points >= 1, got {winsorize!r}")


def _dimensions(schema: Any, frame: pd.DataFrame) -> list[tuple[Node, list[Any]]]:
    if not isinstance(schema, (dict, list, tuple)):
        raise TypeError(f"schema must be a dict, list or tuple, got {type(schema).__name__}")
    dimensions = leaf_columns(schema, frame.columns.tolist())
    if not dimensions:
        raise ValueError("no entry of the schema names a column of data: check(schema, data) says why")
    counts = Counter(frame.columns.tolist())
    repeated = [label for _, labels in dimensions for label in labels if counts[label] > 1]
    if repeated:
        raise ValueError(f"these labels name several columns of data: {show(dict.fromkeys(repeated))}")
    return dimensions


# ------------------------------------------------------------ thresholds --


def _threshold(value: Any, size: int, name: str) -> float | int:
    """A share in (0, 1] as a float, or a count from 1 to ``size`` as an int."""
    if is_integer(value):
        if 1 <= value <= size:
            return int(value)
        raise ValueError(f"{name} asks for {value} indicators present, but there are {size}: give 1 to {size}")
    share = as_share(value, name)
    if share is None:
        raise ValueError(f"{name} must be a share in (0, 1] or a count of indicators, got None")
    return share


def _dimension_thresholds(
    min_present: Any, dimensions: Mapping[tuple[Any, ...], tuple[Any, ...]]
) -> dict[tuple[Any, ...], float | int]:
    if min_present is None:
        return {}
    if not isinstance(min_present, Mapping):
        share = as_share(min_present, "min_present")
        return {path: cast(float, share) for path in dimensions}
    names = {dimension_name(path): path for path in dimensions}
    unknown = [key for key in min_present if key is not None and key not in names]
    if unknown:
        raise ValueError(
            f"min_present names no dimension {show(unknown)}; the dimensions are {show(list(names))}"
        )
    chosen: dict[tuple[Any, ...], float | int] = {}
    for name, path in names.items():
        value = min_present.get(name, min_present.get(None))
        if value is not None:
            chosen[path] = _threshold(value, len(dimensions[path]), f"min_present for {name!r}")
    return chosen


def _total_threshold(min_present_total: Any, size: int) -> float | int | None:
    if min_present_total is None:
        return None
    return _threshold(min_present_total, size, "min_present_total")


def _warn_if_clustered(frame: pd.DataFrame, kept: pd.Index, group: Any, indicators: tuple[Any, ...]) -> None:
    dropped = ~frame.index.isin(kept)
    labels = pd.Series(label_values(frame, group), index=frame.index)
    table_share = labels.value_counts(normalize=True, sort=False)
    dropped_counts = labels[dropped].value_counts(sort=False)
    dropped_share = dropped_counts / int(dropped.sum())
    # One dropped row is no cluster, however small its group.
    clustered = [
        key for key in dropped_share.index
        if dropped_counts[key] >= 2 and dropped_share[key] > 2 * table_share[key]
    ]
    for key in clustered:
        rows = frame.loc[dropped & (labels == key).to_numpy(), list(indicators)]
        missing = rows.isna().sum().sort_values(ascending=False, kind="stable")
        worst = ", ".join(f"{label!r} ({int(n)})" for label, n in missing.head(3).items() if n > 0)
        warnings.warn(
            f"the rows dropped cluster in {group} = {key!r}: {int(dropped_counts[key])} of "
            f"{int(dropped.sum())} dropped ({dropped_share[key]:.0%}) against {table_share[key]:.0%} "
            f"of the table; the indicators most often missing there: {worst}",
            UserWarning,
            stacklevel=3,
        )


# ------------------------------------------------------------- imputation --


def _learn_fills(
    kept: pd.DataFrame, indicators: tuple[Any, ...], how: str | None, group: Any, reach: str
) -> tuple[dict[Any, float], dict[Any, dict[Any, float]], FillNote]:
    """The statistic ``how`` of each indicator over the rows kept, and within each group; how each was made."""
    fills: dict[Any, float] = {}
    group_fills: dict[Any, dict[Any, float]] = {}
    sizes: dict[Any, int] = {}
    group_sizes: dict[Any, dict[Any, int]] = {}
    if how is None:
        return fills, group_fills, lambda label, key: ""
    if not len(kept):
        raise ValueError("cannot impute: no row meets the availability thresholds")
    groups = label_values(kept, group).to_numpy() if group is not None else None
    for label in indicators:
        values = series_to_float(kept[label])
        present = ~np.isnan(values)
        if not present.any():
            raise ValueError(f"cannot impute {label!r}: it has no value in the rows kept")
        observed = values[present]
        fills[label] = float(np.median(observed, overwrite_input=True) if how == "median" else np.mean(observed))
        sizes[label] = int(present.sum())
        if groups is not None:
            by_group = pd.Series(values).groupby(groups, dropna=True)
            within, counts = by_group.agg(how), by_group.count()
            group_fills[label] = {group_key(k): float(v) for k, v in within.items() if not np.isnan(v)}
            group_sizes[label] = {group_key(k): int(n) for k, n in counts.items()}

    def note(label: Any, key: Any) -> str:
        if key is not None and key in group_fills.get(label, {}):
            return f"{how} of {group_sizes[label][key]} values with {group} = {key!r}{reach}"
        if key is not None:
            return f"{how} of {sizes[label]} values (no value with {group} = {key!r}){reach}"
        return f"{how} of {sizes[label]} values{reach}"

    return fills, group_fills, note


# ------------------------------------------------------------- transforms --


def _transform_kinds(transform: Any, indicators: tuple[Any, ...]) -> dict[Any, str] | str:
    """Per-indicator kinds, or one kind for the indicators the outlier rule will flag."""
    if transform is None:
        return {}
    if isinstance(transform, str):
        if transform not in TRANSFORMS:
            raise ValueError(f"transform must be one of {show(TRANSFORMS)}, a mapping or None, got {transform!r}")
        return transform
    if not isinstance(transform, Mapping):
        raise ValueError(f"transform must be one of {show(TRANSFORMS)}, a mapping or None, got {transform!r}")
    unknown = [label for label in transform if label not in indicators]
    if unknown:
        raise KeyError(f"transform names {show(unknown)}, which the schema does not use")
    bad = {label: kind for label, kind in transform.items() if kind is not None and kind not in TRANSFORMS}
    if bad:
        label, kind = next(iter(bad.items()))
        raise ValueError(f"transform for {label!r} must be one of {show(TRANSFORMS)} or None, got {kind!r}")
    return {label: kind for label, kind in transform.items() if kind is not None}


def _learn_transforms(
    filled: pd.DataFrame, indicators: tuple[Any, ...], kinds: dict[Any, str] | str
) -> dict[Any, dict[str, Any]]:
    if isinstance(kinds, str):
        kinds = {label: kinds for label in indicators if needs_treatment(series_to_float(filled[label]))}
    return {
        label: _learn_transform(series_to_float(filled[label]), kinds[label], label)
        for label in indicators
        if label in kinds
    }


def _learn_transform(values: np.ndarray, kind: str, label: Any) -> dict[str, Any]:
    from scipy import stats

    present = values[~np.isnan(values)]
    if present.size < 2 or np.ptp(present) == 0:
        raise ValueError(f"cannot fit a {kind} transform to {label!r}: it needs at least two distinct values")
    if kind == "log":
        low = float(present.min())
        return {"kind": "log", "shift": 0.0 if low > 0 else 1.0 - low}
    if kind == "box-cox":
        if (present <= 0).any():
            raise ValueError(
                f"cannot apply Box-Cox to {label!r}: it has values <= 0 "
                "(Yeo-Johnson, or a log with its shift, takes them)"
            )
        return {"kind": "box-cox", "lambda": float(stats.boxcox_normmax(present, method="mle"))}
    return {"kind": "yeo-johnson", "lambda": float(stats.yeojohnson_normmax(present))}


# ---------------------------------------------------------- winsorisation --


def _learn_caps(filled: pd.DataFrame, label: Any, limit: int, log: Log) -> tuple[float, float] | None:
    # Written by hand: scipy's winsorize clips fixed shares of both tails, while the
    # field's rule moves one extreme point at a time and re-tests after each.
    values = series_to_float(filled[label]).copy()
    if not needs_treatment(values):
        return None
    finite = values[np.isfinite(values)]
    levels = np.unique(finite).size
    if levels < FEW_DISTINCT:
        skew, kurtosis = _shape(finite)
        log.append(
            ("skip", label, None, np.nan, np.nan,
             f"not winsorised: only {levels} distinct values (skew {fixed(skew, 2)}, kurtosis "
             f"{fixed(kurtosis, 2)}), which capping would merge")
        )
        return None
    moved_high = moved_low = False
    for point in range(1, limit + 1):
        if not needs_treatment(values):
            break
        finite = values[np.isfinite(values)]
        skew, kurtosis = _shape(finite)
        high = skew > 0
        extreme = finite.max() if high else finite.min()
        rest = finite[finite != extreme]
        inner = rest.max() if high else rest.min()
        detail = (
            f"{'highest' if high else 'lowest'} value set to the next one, point {point} of at most "
            f"{limit} (skew {fixed(skew, 2)}, kurtosis {fixed(kurtosis, 2)})"
        )
        hit = values == extreme
        for position in np.flatnonzero(hit).tolist():
            log.append(("winsorize", label, filled.index[position], extreme, inner, detail))
        values[hit] = inner
        moved_high, moved_low = moved_high or high, moved_low or not high
    if needs_treatment(values):
        skew, kurtosis = _shape(values[np.isfinite(values)])
        warnings.warn(
            f"{label!r} still has skew {fixed(skew, 2)} and kurtosis {fixed(kurtosis, 2)} after {limit} "
            "winsorised points; a higher limit or a log transform may suit it better",
            UserWarning,
            stacklevel=3,
        )
    finite = values[np.isfinite(values)]
    return (
        float(finite.min()) if moved_low else -np.inf,
        float(finite.max()) if moved_high else np.inf,
    )


def _warn_if_extreme(prepared: pd.DataFrame, untransformed: Mapping[Any, np.ndarray]) -> None:
    """Name the values a transform left far out: the outlier rule, read on skew and kurtosis, may pass them."""
    for label, before in untransformed.items():
        values = series_to_float(prepared[label])
        finite = np.isfinite(values)
        if finite.sum() < 3:
            continue
        spread = float(np.std(values[finite], ddof=1))
        if not spread > 0:
            continue
        distance = np.where(finite, np.abs(values - float(np.mean(values[finite]))) / spread, 0.0)
        far = np.flatnonzero(distance > EXTREME_SD)
        if not far.size:
            continue
        far = far[np.argsort(-distance[far], kind="stable")]
        named = ", ".join(
            f"{significant(float(before[i]), 6)} in row {prepared.index[i]!r} "
            f"({fixed(float(distance[i]), 1)} standard deviations out)"
            for i in far[:3]
        )
        warnings.warn(
            f"after its transform, {label!r} still has {far.size} value{'s' if far.size > 1 else ''} more than "
            f"{EXTREME_SD:g} standard deviations from its mean: {named}; most likely a data error to check",
            UserWarning,
            stacklevel=3,
        )


def _counts(log: Log, indicators: tuple[Any, ...]) -> dict[Any, dict[str, int]]:
    """Values filled and capped per indicator: a value moved at several points counts once."""
    imputed = log.count("impute")
    capped = Counter(column for column, _ in set(log.steps("winsorize")))
    return {label: {"imputed": imputed[label], "winsorized": capped[label]} for label in indicators}
