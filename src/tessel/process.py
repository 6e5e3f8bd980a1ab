"""Column scaling.

:func:`scale` puts an indicator column on a common footing, either with its
own statistics or with statistics stored from an earlier fit (so new data is
scaled exactly like the data the model was fitted on). :func:`rescale` maps a
finished score linearly onto a reporting range.

Both functions return a new float64 :class:`pandas.Series` with the input's
index and name, and keep missing values missing.
"""

from __future__ import annotations

import warnings
from typing import Any, cast

import numpy as np
import pandas as pd

from tessel.validation import (
    check_choice,
    describe,
    finite_pair,
    finite_real,
    is_numeric,
    series_to_float,
)

__all__ = ["SCALE_METHODS", "RESCALE_METHODS", "scale", "rescale"]

#: Methods accepted by :func:`scale` (and by :class:`tessel.modelbench.PCA`).
SCALE_METHODS: tuple[str, ...] = ("max_min", "z_score")
#: Methods accepted by :func:`rescale`.
RESCALE_METHODS: tuple[str, ...] = ("max_min",)

Number = int | float | np.integer | np.floating


def _as_series(column: Any, name: str) -> pd.Series:
    if isinstance(column, pd.Series):
        series = column
    elif isinstance(column, pd.DataFrame):
        raise ValueError(
            f"{name} must be a one-dimensional Series, got a DataFrame with "
            f"{column.shape[1]} columns; pass one column, e.g. frame.iloc[:, 0]"
        )
    else:
        array = np.asarray(column) if not isinstance(column, pd.Index) else column
        if getattr(array, "ndim", 1) != 1:
            raise ValueError(
                f"{name} must be one-dimensional, got an array of shape {np.shape(array)}"
            )
        series = pd.Series(column)
    values = series.to_numpy() if series.dtype == object else None
    if not is_numeric(series.dtype, values):
        raise ValueError(
            f"{name} must be numeric (int, float, bool or a nullable numeric dtype), "
            f"got dtype {series.dtype} for column {series.name!r}"
        )
    return series


def _float_values(series: pd.Series, name: str) -> np.ndarray:
    """Float64 values of a checked numeric Series: NaN where missing, never infinite."""
    values = series_to_float(series)
    infinite = int(np.count_nonzero(np.isinf(values)))
    if infinite:
        raise ValueError(
            f"{name} {series.name!r} has {infinite} infinite value(s) out of {values.size}; "
            "replace them (missing values may stay missing)"
        )
    return values


def _affine(values: np.ndarray, offset: Any, width: Any) -> np.ndarray:
    """``(values - offset) / width`` column-wise, with zeros where ``width == 0``.

    ``values`` is (n,) with scalar ``offset``/``width`` or (n, d) with vectors of
    length d. NaN (missing) entries stay NaN, also in zero-width columns.
    """
    offset = np.asarray(offset, dtype=np.float64)
    width = np.asarray(width, dtype=np.float64)
    zero = width == 0
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        out = values - offset
        out /= np.where(zero, 1.0, width)
    if zero.any():
        if out.ndim == 1:
            out[:] = np.where(np.isnan(values), np.nan, 0.0)
        else:
            out[:, zero] = np.where(np.isnan(values[:, zero]), np.nan, 0.0)
    return cast(np.ndarray, out)


def _nan_stats(values: np.ndarray) -> tuple[float, float, float, float]:
    """(min, max, mean, sample std) ignoring NaN; std is 0 with fewer than 2 values."""
    with warnings.catch_warnings(), np.errstate(invalid="ignore", divide="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        low = float(np.nanmin(values))
        high = float(np.nanmax(values))
        mean = float(np.nanmean(values))
        std = float(np.nanstd(values, ddof=1))
    if not np.isfinite(std):
        std = 0.0
    return low, high, mean, std


def scale(
    column: pd.Series,
    method: str = "max_min",
    range: tuple[Number, Number] | None = None,
    mean: Number | None = None,
    std: Number | None = None,
) -> pd.Series:
    """Scale a numeric column.

    Parameters
    ----------
    column : pandas.Series
        Numeric values: int, float, bool or a nullable numeric dtype (``Int64``,
        ``Float64``, ``boolean``) with missing values. Other one-dimensional
        array-likes are wrapped in a Series.
    method : {"max_min", "z_score"}
        ``"max_min"`` computes ``(x - low) / (high - low)``; ``"z_score"``
        computes ``(x - mean) / std``.
    range : pair of float, optional
        ``(low, high)`` for ``"max_min"``. Defaults to the column's own minimum
        and maximum. ``low > high`` is allowed and reverses the scale.
    mean, std : float, optional
        Centre and spread for ``"z_score"``. Default to the column's own mean
        and sample standard deviation (``ddof=1``).

    All of ``range``, ``mean`` and ``std`` may be given whatever the method
    (for instance the full set of statistics stored by a fit); the ones the
    method does not use are still checked but otherwise ignored. Python and
    numpy numbers are accepted.

    Returns
    -------
    pandas.Series
        float64 values with the column's index and name. A zero width
        (``high == low``) or a zero ``std`` gives zeros rather than inf or NaN.
        Values are not clipped: data outside the stored range falls outside
        ``[0, 1]``. Missing values stay missing (NaN).

    Raises
    ------
    ValueError
        For an unknown ``method``, a ``range`` that is not a pair of finite
        numbers, a ``mean`` that is not finite, a ``std`` that is not a finite
        number ``>= 0``, a non-numeric column, or a column with infinite
        values (the message names the column and counts them).

    Examples
    --------
    >>> import pandas as pd
    >>> scale(pd.Series([1.0, 2.0, 3.0]), range=(1, 5)).tolist()
    [0.0, 0.25, 0.5]
    >>> scale(pd.Series([1.0, 2.0, 3.0]), method="z_score").tolist()
    [-1.0, 0.0, 1.0]
    """
    method = check_choice(method, "method", SCALE_METHODS)
    bounds = None if range is None else finite_pair(range, "range")
    centre = None if mean is None else finite_real(mean, "mean")
    spread = None if std is None else finite_real(std, "std")
    if spread is not None and spread < 0:
        raise ValueError(f"std must be a finite number >= 0, got {describe(std)}")
    series = _as_series(column, "column")
    values = _float_values(series, "column")

    if method == "max_min":
        if bounds is None:
            if values.size == 0 or np.isnan(values).all():
                bounds = (0.0, 0.0)
            else:
                low, high, _, _ = _nan_stats(values)
                bounds = (low, high)
        offset, width = bounds[0], bounds[1] - bounds[0]
    else:
        if centre is None or spread is None:
            if values.size == 0 or np.isnan(values).all():
                own_mean, own_std = 0.0, 0.0
            else:
                _, _, own_mean, own_std = _nan_stats(values)
            centre = own_mean if centre is None else centre
            spread = own_std if spread is None else spread
        offset, width = centre, spread

    out = _affine(values, offset, width)
    return pd.Series(out, index=series.index, name=series.name, dtype=np.float64, copy=False)


def rescale(
    series: pd.Series,
    method: str = "max_min",
    range: tuple[Number, Number] = (0, 1),
) -> pd.Series:
    """Map a series linearly from its own min..max onto ``range``.

    Parameters
    ----------
    series : pandas.Series
        Numeric values (see :func:`scale` for the accepted dtypes).
    method : {"max_min"}
        The only mapping so far: linear from ``[min, max]`` onto ``range``.
    range : pair of float, default (0, 1)
        ``(low, high)``: the series' minimum maps to ``low`` and its maximum to
        ``high`` exactly. ``low > high`` gives a reversed scale.

    Returns
    -------
    pandas.Series
        float64 values with the input's index and name. A constant series maps
        to ``low``. Missing values stay missing.

    Raises
    ------
    ValueError
        For an unknown ``method``, a ``range`` that is not a pair of finite
        numbers, a non-numeric series, or a series with infinite values.

    Examples
    --------
    >>> import pandas as pd
    >>> rescale(pd.Series([2.0, 4.0, 6.0]), range=(0, 100)).tolist()
    [0.0, 50.0, 100.0]
    >>> rescale(pd.Series([2.0, 4.0, 6.0]), range=(1, 0)).tolist()
    [1.0, 0.5, 0.0]
    """
    check_choice(method, "method", RESCALE_METHODS)
    low, high = finite_pair(range, "range")
    series = _as_series(series, "series")
    values = _float_values(series, "series")
    if values.size == 0 or np.isnan(values).all():
        out = np.full(values.shape, np.nan)
    else:
        lo, hi, _, _ = _nan_stats(values)
        t = _affine(values, lo, hi - lo)
        # low * (1 - t) + high * t hits both ends exactly; t is 0 for a constant.
        with np.errstate(invalid="ignore", over="ignore"):
            out = low * (1.0 - t) + high * t
    return pd.Series(out, index=series.index, name=series.name, dtype=np.float64, copy=False)
