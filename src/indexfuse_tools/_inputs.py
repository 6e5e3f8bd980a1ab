"""Checks of the arguments the analyst-facing tools share: tables, shares and models."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._persist import _is_real as is_real

__all__ = ["frame_problem", "as_frame", "as_share", "as_model", "is_real", "show"]


def show(values: Any, limit: int = 5, count: bool = True) -> str:
    """A short, comma-separated list of reprs: ``'a', 'b', ... (12 in all)``."""
    values = list(values)
    text = ", ".join(repr(v) for v in values[:limit])
    if len(values) <= limit:
        return text
    return f"{text}, ... ({len(values)} in all)" if count else f"{text}, ..."


def frame_problem(data: Any) -> str | None:
    """What to change when ``data`` is not a DataFrame (``None`` when it is one)."""
    if isinstance(data, pd.DataFrame):
        return None
    kind = type(data).__name__
    if isinstance(data, np.ndarray):
        return (
            f"expected a pandas DataFrame, got a numpy array of shape {data.shape}: the model "
            "selects columns by label, so wrap it as pd.DataFrame(array, columns=[...])"
        )
    if isinstance(data, pd.Series):
        return "expected a pandas DataFrame, got a Series: use series.to_frame()"
    if isinstance(data, dict):
        return "expected a pandas DataFrame, got a dict: use pd.DataFrame(data)"
    return f"expected a pandas DataFrame with one column per indicator, got {kind}"


def as_frame(data: Any) -> pd.DataFrame:
    """``data`` itself, or ``TypeError`` saying what to pass instead."""
    problem = frame_problem(data)
    if problem is not None:
        raise TypeError(f"data: {problem}")
    frame: pd.DataFrame = data
    return frame


def as_share(value: Any, name: str) -> float | None:
    """``value`` as a float share in (0, 1], or ``None``; ``ValueError`` otherwise."""
    if value is None:
        return None
    if is_real(value) and 0 < float(value) <= 1 and math.isfinite(float(value)):
        return float(value)
    raise ValueError(
        f"{name} must be a share of a dimension's indicators in (0, 1], such as 2/3, got {value!r}"
    )


def as_model(model: Any, function: str) -> indexfuse.indexpca_diment:
    """``model`` if it is a model, else ``TypeError`` naming the function."""
    if not isinstance(model, indexfuse.indexpca_diment):
        raise TypeError(
            f"{function}() needs an indexfuse.indexpca_diment model, got {type(model).__name__}"
        )
    return model
