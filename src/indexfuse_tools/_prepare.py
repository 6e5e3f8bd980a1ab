"""Data preparation before fitting: availability threshold, imputation, outlier treatment."""

from __future__ import annotations

import warnings
from collections import Counter
from typing import Any, cast

import numpy as np
import pandas as pd
from scipy import stats
from tessel.validation import is_numeric, series_to_float

from indexfuse_tools._core import (
    Node,
    Schema,
    as_frame,
    as_share,
    dimension_name,
    is_integer,
    leaf_columns,
    show,
    signature_text,
)

__all__ = ["SKEW_LIMIT", "KURTOSIS_LIMIT", "WINSORIZE_LIMIT", "needs_treatment", "prepare"]

#: An indicator is treated for outliers when its absolute skew exceeds this...
SKEW_LIMIT = 2.0
#: ...and its (excess) kurtosis exceeds this.
KURTOSIS_LIMIT = 3.5
#: How many points ``prepare(..., winsorize=True)`` winsorises at most per indicator.
WINSORIZE_LIMIT = 5

_IMPUTE = ("mean", "median")
_LOG_COLUMNS = ["step", "column", "row", "before", "after", "detail"]
# The unbiased estimators need at least four values (kurtosis divides by (n - 2)(n - 3)).
_MIN_VALUES = 4


def _shape(values: np.ndarray) -> tuple[float, float]:
    """Sample skew and excess kurtosis, bias-corrected (spreadsheet SKEW and KURT)."""
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
    winsorize: bool | int = False,
    min_present: float | None = None,
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """A copy of ``data`` made ready to fit, and a log of every value changed.

    Three optional steps, in the order of the field's practice, on the
    indicator columns the schema's entries name (other columns are copied
    unchanged):

    1. availability (``min_present``): drop the rows in which some
       dimension has fewer than this share of its indicators present;
    2. imputation (``impute``): fill the remaining missing values with the
       column's mean or median, or with that of the row's group;
    3. winsorisation (``winsorize``): for every indicator whose absolute
       skew exceeds 2 and whose kurtosis exceeds 3.5 (see
       :func:`needs_treatment`), set the most extreme value, on the side of
       the skew, to the next value inward, one point at a time, until the
       rule no longer holds or the limit of points is reached.

    Parameters
    ----------
    schema : dict, list or tuple
        The model's schema; entries are matched to columns as the model
        matches them (entries that name no column are left out: see
        :func:`check`).
    data : pandas.DataFrame
        The table, one column per indicator. Not modified.
    impute : {"mean", "median"}, optional
        Fill missing indicator values with this statistic.
    group : column label, optional
        With ``impute``: take the statistic within the rows that share this
        column's value (a region, an income class). Rows whose group has no
        value of the indicator, or that have no group, get the statistic of
        the whole column.
    winsorize : bool or int, default False
        ``True`` treats outliers up to :data:`WINSORIZE_LIMIT` (5) points
        per indicator; an integer sets that limit.
    min_present : float, optional
        A share in (0, 1], such as 2/3.

    Returns
    -------
    prepared : pandas.DataFrame
        A new frame: rows kept, in their order; changed columns as float64.
    log : pandas.DataFrame
        One row per row dropped and per value changed, with the columns
        ``step`` (``"drop"``, ``"impute"`` or ``"winsorize"``), ``column``
        (the indicator; for ``"drop"`` the dimension with the fewest
        indicators present, named as :func:`weights` names it), ``row``
        (the row label), ``before`` and ``after`` (the value; for
        ``"drop"``, the share present in that dimension and NaN) and
        ``detail`` (how it was computed; for ``"drop"``, every dimension
        below the threshold).
        ``log.groupby(["step", "column"]).size()`` counts the changes.

    Raises
    ------
    TypeError
        If ``data`` is not a DataFrame or ``schema`` is not a dict, list or
        tuple.
    ValueError
        For an unknown ``impute``, a ``group`` without ``impute``, a bad
        ``winsorize`` or ``min_present``; if no entry names a column; if a
        used label names several columns; if a column to impute or
        winsorise is not numeric, or a column to impute has no value.
    KeyError
        If ``group`` is not a column of ``data``.

    Warns
    -----
    UserWarning
        When an indicator still passes both limits after the last point
        allowed (a log transform may suit it better).

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import prepare
    >>> data = pd.DataFrame({"gdp": [1.0, None, 3.0, 5.0, None],
    ...                      "jobs": [2.0, 4.0, 6.0, None, None],
    ...                      "region": ["n", "n", "s", "s", "s"]})
    >>> prepared, log = prepare({"economy": ["gdp", "jobs"]}, data,
    ...                         impute="mean", group="region", min_present=0.5)
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
    """
    if isinstance(schema, pd.DataFrame):
        raise TypeError(
            f"prepare{signature_text(prepare)}: the schema comes first, then the table, "
            "as in check(schema, data); got a DataFrame as the schema"
        )
    frame = as_frame(data)
    share = as_share(min_present, "min_present")
    limit = _winsorize_limit(winsorize)
    if impute is not None and impute not in _IMPUTE:
        raise ValueError(f"impute must be one of {show(_IMPUTE)} or None, got {impute!r}")
    if group is not None:
        if impute is None:
            raise ValueError("group only applies to imputation: give impute='mean' or 'median' too")
        if group not in frame.columns:
            raise KeyError(f"group {group!r} is not a column of data")
    dimensions = _dimensions(schema, frame)
    indicators = list(dict.fromkeys(label for _, labels in dimensions for label in labels))
    if impute is not None or limit:
        _require_numeric(frame, indicators)

    log: list[tuple[Any, ...]] = []
    prepared = frame.copy()
    if share is not None:
        prepared = _drop_sparse(prepared, dimensions, share, log)
    if impute is not None:
        for label in indicators:
            _impute(prepared, label, impute, group, log)
    if limit:
        for label in indicators:
            _winsorize(prepared, label, limit, log)
    return prepared, pd.DataFrame(log, columns=_LOG_COLUMNS)


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


def _require_numeric(frame: pd.DataFrame, labels: list[Any]) -> None:
    bad = [
        f"{label!r} ({frame[label].dtype})"
        for label in labels
        if not is_numeric(frame[label].dtype, frame[label].to_numpy())
    ]
    if bad:
        raise ValueError(f"cannot impute or winsorise non-numeric columns: {', '.join(bad)}")


def _drop_sparse(
    prepared: pd.DataFrame, dimensions: list[tuple[Node, list[Any]]], share: float, log: list[tuple[Any, ...]]
) -> pd.DataFrame:
    shares, short = [], []
    for _, labels in dimensions:
        present = pd.concat([prepared[label] for label in labels], axis=1).notna().sum(axis=1).to_numpy()
        shares.append(present / len(labels))
        # Compared as counts, so that 2 of 3 present meets a share of 2/3 exactly.
        short.append(present < share * len(labels) - 1e-9)
    failing = np.array(short).reshape(len(dimensions), len(prepared))
    for position in np.flatnonzero(failing.any(axis=0)).tolist():
        where = [i for i in range(len(dimensions)) if failing[i, position]]
        worst = min(where, key=lambda i: shares[i][position])
        counts = ", ".join(
            f"{dimension_name(dimensions[i][0].path)} {shares[i][position] * len(dimensions[i][1]):.0f} "
            f"of {len(dimensions[i][1])}"
            for i in where
        )
        log.append(
            (
                "drop",
                dimension_name(dimensions[worst][0].path),
                prepared.index[position],
                shares[worst][position],
                np.nan,
                f"indicators present below {share:.3g}: {counts}",
            )
        )
    return prepared.iloc[~failing.any(axis=0)]


def _impute(prepared: pd.DataFrame, label: Any, how: str, group: Any, log: list[tuple[Any, ...]]) -> None:
    from sklearn.impute import SimpleImputer

    values = series_to_float(prepared[label]).copy()
    gaps = np.isnan(values)
    if not gaps.any():
        return
    if gaps.all():
        raise ValueError(f"cannot impute {label!r}: it has no value in the rows kept")
    overall = float(SimpleImputer(strategy=how).fit(values.reshape(-1, 1)).statistics_[0])
    fills = np.full(len(values), overall)
    details = np.full(len(values), f"{how} of {int((~gaps).sum())} values", dtype=object)
    if group is not None:
        keys = prepared[group].to_numpy()
        column = pd.Series(values)
        by_group = column.groupby(keys, dropna=True)
        within = by_group.transform(cast(Any, how)).to_numpy()
        counts = by_group.transform("count").to_numpy()
        known = ~np.isnan(within)
        fills[known] = within[known]
        for position in np.flatnonzero(gaps).tolist():
            key = keys[position]
            if known[position]:
                details[position] = f"{how} of {int(counts[position])} values with {group} = {key!r}"
            elif pd.isna(key):
                details[position] += f" (the row has no {group})"
            else:
                details[position] += f" (no value with {group} = {key!r})"
    for position in np.flatnonzero(gaps).tolist():
        log.append(("impute", label, prepared.index[position], np.nan, fills[position], details[position]))
    values[gaps] = fills[gaps]
    prepared[label] = values


def _winsorize(prepared: pd.DataFrame, label: Any, limit: int, log: list[tuple[Any, ...]]) -> None:
    # Written by hand: scipy's winsorize clips fixed shares of both tails, while the
    # field's rule moves one extreme point at a time and re-tests after each.
    values = series_to_float(prepared[label]).copy()
    if not needs_treatment(values):
        return
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
            f"{limit} (skew {skew:.2f}, kurtosis {kurtosis:.2f})"
        )
        hit = values == extreme
        for position in np.flatnonzero(hit).tolist():
            log.append(("winsorize", label, prepared.index[position], extreme, inner, detail))
        values[hit] = inner
    prepared[label] = values
    if needs_treatment(values):
        skew, kurtosis = _shape(values[np.isfinite(values)])
        warnings.warn(
            f"{label!r} still has skew {skew:.2f} and kurtosis {kurtosis:.2f} after {limit} "
            "winsorised points; a higher limit or a log transform may suit it better",
            UserWarning,
            stacklevel=3,
        )
