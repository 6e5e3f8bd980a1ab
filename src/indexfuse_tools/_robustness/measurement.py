"""The data's own uncertainty: each value's standard error, and the draws of error a run adds to it.

Model of error: each raw value is the true value plus an independent
normal error of mean 0 whose standard deviation is the value's standard
error; the error is added to the raw value, before any treatment, so a run
prepares (imputes, transforms, winsorises) the noisy table as the published
preparation would. A run at draw ``d`` of the ``measurement_error`` factor
adds the errors of stream ``(seed, d)``: every run at that draw, wherever it
is built, sees the same noisy table, which is what lets runs share their
prepared tables and keeps each run a pure function of the design.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import indicators, is_real, same_label, show

__all__ = ["ERROR_STREAM", "MeasurementErrors", "check_errors", "standard_error_divisor"]

#: The first key of every stream of measurement errors: bootstrap resamples
#: draw from keys of one element, so the two never share a stream.
ERROR_STREAM = 1


def standard_error_divisor(confidence: float) -> float:
    """What a margin of error at two-sided ``confidence`` is divided by to give a standard error.

    The normal quantile of ``(1 + confidence) / 2``: 1.645 for 90%, as
    survey publishers compute their margins of error.
    """
    from scipy.stats import norm

    return float(norm.ppf((1.0 + confidence) / 2.0))


@dataclass(frozen=True)
class MeasurementErrors:
    """The standard error of every value of the indicators with one, row by row of the raw table.

    Attributes
    ----------
    columns : tuple
        The indicators' column labels.
    scales : numpy.ndarray
        rows x indicators: each value's standard error (NaN where the value
        is missing, so no error is added to a gap).
    given : dict
        The caller's ``errors`` as given (column names or relative errors),
        and ``confidence``: what the tables and files say of them.
    """

    columns: tuple[Any, ...]
    scales: np.ndarray
    given: dict[str, Any]

    def perturbed(self, table: pd.DataFrame, draw: int, seed: int) -> pd.DataFrame:
        """A copy of ``table`` (rows as the raw table's) with draw ``draw`` of the errors added."""
        rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(ERROR_STREAM, int(draw))))
        # One draw per value of the whole matrix, present or not: a value's error never depends on another's gap.
        noise = rng.standard_normal(self.scales.shape)
        noisy = table.copy()
        for j, column in enumerate(self.columns):
            noisy[column] = table[column].to_numpy(np.float64) + self.scales[:, j] * noise[:, j]
        return noisy

    @property
    def nbytes(self) -> int:
        return int(self.scales.nbytes)


def check_errors(
    errors: Any, schema: Any, raw: pd.DataFrame, confidence: Any = None, caller: str = "robustness()"
) -> MeasurementErrors | None:
    """``errors`` checked against the schema and the raw table: every value's standard error.

    ``errors`` maps an indicator to the column holding its standard errors
    (or margins of error at ``confidence``), or to a relative error: a
    fraction of each value's magnitude.

    Raises
    ------
    ValueError
        For an indicator outside the schema, an unknown column, a relative
        error that is not positive and finite, a ``confidence`` outside
        (0, 1), or a column that is not numeric, with a negative or
        non-finite error, or a missing one where the value is present: the
        message names the column and the first unit at fault.
    TypeError
        For ``errors`` that is not a mapping.
    """
    if errors is None:
        if confidence is not None:
            raise ValueError(f"{caller}: confidence says how margins of error were given; it needs errors")
        return None
    if not isinstance(errors, Mapping):
        raise TypeError(
            f"{caller}: errors maps indicators to a standard-error column or a relative error, such as "
            f"{{'income': 'income_se', 'rent': 0.05}}, got {type(errors).__name__}"
        )
    if not errors:
        raise ValueError(f"{caller}: errors names no indicator; leave it out for an analysis without them")
    divisor = 1.0
    if confidence is not None:
        if not is_real(confidence) or not 0 < confidence < 1:
            raise ValueError(
                f"{caller}: confidence is the level of the margins of error, between 0 and 1 (0.90 for 90%), "
                f"got {confidence!r}"
            )
        divisor = standard_error_divisor(float(confidence))
    columns = raw.columns.tolist()
    found = indicators(schema, columns)
    labels, scales = [], []
    for indicator, source in errors.items():
        label = next((known for known in found if same_label(known, indicator)), None)
        if label is None:
            raise ValueError(
                f"{caller}: errors names {indicator!r}, which is not an indicator of the schema; they are {show(found)}"
            )
        values = _numbers(raw[label], f"{caller}: indicator {label!r}")
        if _is_column(source, columns):
            scale = _column_errors(raw, source, label, values, caller) / divisor
        else:
            scale = np.abs(values) * (_relative(source, label, caller) / divisor)
        labels.append(label)
        scales.append(np.where(np.isnan(values), np.nan, scale))
    given = {"errors": dict(errors), "confidence": None if confidence is None else float(confidence)}
    return MeasurementErrors(tuple(labels), np.column_stack(scales), given)


def _is_column(source: Any, columns: list[Any]) -> bool:
    if is_real(source) and not isinstance(source, str):
        return any(same_label(source, column) for column in columns)  # a number is a relative error unless a label
    return True


def _relative(source: Any, label: Any, caller: str) -> float:
    if not is_real(source) or isinstance(source, bool) or not math.isfinite(source) or source <= 0:
        raise ValueError(
            f"{caller}: the error of {label!r} is a column of standard errors or a relative error (a positive "
            f"finite fraction of each value, such as 0.05), got {source!r}"
        )
    return float(source)


def _numbers(column: pd.Series, where: str) -> np.ndarray:
    if not pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column):
        # A ValueError, as check() reports a column of text: the data is at fault, not the call.
        raise ValueError(f"{where}: numbers are needed, got a column of dtype {column.dtype}")
    return column.to_numpy(np.float64, na_value=np.nan)


def _column_errors(raw: pd.DataFrame, source: Any, label: Any, values: np.ndarray, caller: str) -> np.ndarray:
    if source not in raw.columns:
        raise ValueError(
            f"{caller}: the standard errors of {label!r} are in column {source!r}, which the table lacks "
            f"(its columns: {show(raw.columns.tolist())})"
        )
    where = f"{caller}: standard-error column {source!r} (of {label!r})"
    scale = _numbers(raw[source], where)
    problems = (
        (np.isnan(scale) & ~np.isnan(values), "is missing where the value is present"),
        (np.isinf(scale), "is not finite"),
        (scale < 0, "is negative"),
    )
    for bad, what in problems:
        if bad.any():
            first = int(np.flatnonzero(bad)[0])
            raise ValueError(
                f"{where} {what} for {int(bad.sum())} unit(s), first {raw.index[first]!r} "
                f"(value {values[first]!r}, error {scale[first]!r})"
            )
    return scale
