"""Input checks and conversions shared by the toolkit's public functions.

Every public entry point funnels its data through these helpers so that the
same input is accepted (or rejected, with the same wording) everywhere. They
are public so that companions of the toolkit (``indexfuse_tools``) accept
and word the same inputs the same way.

>>> import pandas as pd
>>> from tessel.validation import describe, is_numeric, series_to_float
>>> column = pd.Series([1, None, 2.5], dtype=object)
>>> is_numeric(column.dtype, column.to_numpy())
True
>>> series_to_float(column)
array([1. , nan, 2.5])
>>> describe("x" * 100)
"'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx..."
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype, is_complex_dtype, is_numeric_dtype

__all__ = [
    "describe",
    "is_numeric",
    "series_to_float",
    "frame_non_numeric",
    "frame_to_float",
    "is_integer",
    "finite_real",
    "finite_pair",
    "check_choice",
]

# Kinds of values an object-dtype column may hold and still count as numeric.
_NUMERIC_INFERRED = frozenset(
    {"integer", "floating", "mixed-integer-float", "decimal", "boolean", "empty"}
)


def describe(value: Any) -> str:
    """Short, bounded repr of a user value for error messages.

    Parameters
    ----------
    value : object
        Any value.

    Returns
    -------
    str
        ``repr(value)`` with runs of whitespace folded to one space, cut to
        80 characters (ending in ``...`` when cut).
    """
    text = " ".join(repr(value).split())
    return text if len(text) <= 80 else text[:77] + "..."


def is_numeric(dtype: Any, values: Any = None) -> bool:
    """Whether a column of ``dtype`` holds real numbers (bool counts, complex does not).

    Parameters
    ----------
    dtype : numpy.dtype or pandas extension dtype
        The column's dtype.
    values : array-like, optional
        The column's values; needed for an ``object`` column, which is
        inspected and accepted when it holds only numbers and missing
        values.

    Returns
    -------
    bool
        ``False`` for an ``object`` column when ``values`` is not given.
    """
    if dtype == object:
        return values is not None and infer_dtype(values, skipna=True) in _NUMERIC_INFERRED
    return bool(is_numeric_dtype(dtype)) and not is_complex_dtype(dtype)


def series_to_float(series: pd.Series) -> np.ndarray:
    """Float64 values of a numeric Series, missing values as NaN.

    Parameters
    ----------
    series : pandas.Series
        A column for which :func:`is_numeric` holds.

    Returns
    -------
    numpy.ndarray
        One float64 per row; it may share memory with ``series``.
    """
    if series.dtype == object:
        series = pd.to_numeric(series)  # numbers mixed with None / NA / NaN
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


def frame_non_numeric(frame: pd.DataFrame) -> list[str]:
    """Positions and labels of the frame's non-numeric columns, e.g. ``"2 ('b', 1): object"``."""
    bad = []
    for pos, dtype in enumerate(frame.dtypes.to_numpy()):
        values = frame.iloc[:, pos].to_numpy() if dtype == object else None
        if not is_numeric(dtype, values):
            bad.append(f"{pos} {frame.columns[pos]!r}: {dtype}")
    return bad


def frame_to_float(frame: pd.DataFrame) -> np.ndarray:
    """Float64 (n_rows, n_cols) array of a frame already checked to be numeric."""
    if (frame.dtypes == object).any():
        out = np.empty(frame.shape, dtype=np.float64, order="F")
        for pos in range(frame.shape[1]):
            out[:, pos] = series_to_float(frame.iloc[:, pos])
        return out
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def is_integer(value: Any) -> bool:
    """True for Python and numpy integers, False for bools (of either kind)."""
    return isinstance(value, (numbers.Integral, np.integer)) and not isinstance(
        value, (bool, np.bool_)
    )


def finite_real(value: Any, name: str) -> float:
    """``value`` as a Python float, or ValueError if it is not a finite real number."""
    if (
        isinstance(value, (numbers.Real, np.integer, np.floating))
        and not isinstance(value, (bool, np.bool_))
    ):
        result = float(value)
        if math.isfinite(result):
            return result
    raise ValueError(f"{name} must be a finite number, got {describe(value)}")


def finite_pair(value: Any, name: str) -> tuple[float, float]:
    """``value`` as a pair of finite Python floats, or ValueError."""
    items: list[Any] | None = None
    if isinstance(value, np.ndarray):
        items = value.tolist() if value.ndim == 1 else None
    elif isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        items = list(value)
    if items is not None and len(items) == 2:
        try:
            return finite_real(items[0], name), finite_real(items[1], name)
        except ValueError:
            pass
    raise ValueError(f"{name} must be a pair (low, high) of finite numbers, got {describe(value)}")


def check_choice(value: Any, name: str, accepted: Sequence[str]) -> str:
    """``value`` if it is one of ``accepted``, else ValueError listing them."""
    if isinstance(value, str) and value in accepted:
        return value
    choices = ", ".join(repr(a) for a in accepted)
    raise ValueError(f"{name} must be one of {choices}, got {describe(value)}")
