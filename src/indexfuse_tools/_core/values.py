"""What the tools accept as a number, a key or an argument, decided once.

A *real number* is a Python or numpy integer or float. Bools are not numbers
here, neither Python's nor numpy's: the model multiplies by a direction and
sums weights, where ``True`` would count as 1 without anyone meaning it, and
the model files keep ``true`` and ``1`` apart. Numpy scalars are numbers
wherever Python's are: a fit stores ``np.float64`` values, and the model
files round-trip ``np.int64`` and ``np.float32`` as they are. Other
``numbers.Real`` types (``Fraction``, ``Decimal``) are not, as the model files
cannot hold them.
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

import indexfuse
from tessel.validation import describe

__all__ = [
    "describe",
    "is_real",
    "is_integer",
    "is_finite",
    "is_hashable",
    "show",
    "frame_problem",
    "as_frame",
    "as_share",
    "unique_units",
    "unit_list",
    "as_model",
    "fitted",
    "signature_text",
]


def is_real(value: Any) -> bool:
    """Whether ``value`` is a real number: a Python or numpy int or float, not a bool."""
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))


def is_integer(value: Any) -> bool:
    """Whether ``value`` is a Python or numpy integer, not a bool."""
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def is_finite(value: Any) -> bool:
    """Whether ``value`` is a real number that a float holds finitely.

    An int too large for a float is not finite in this sense: the model
    computes in floats.
    """
    try:
        return is_real(value) and math.isfinite(value)
    except OverflowError:
        return False


def is_hashable(value: Any) -> bool:
    """Whether ``value`` can be a mapping key (a tuple holding a list cannot)."""
    try:
        hash(value)
    except TypeError:
        return False
    return True


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


def unique_units(labels: pd.Index, function: str, holder: str = "data") -> None:
    """Nothing, or ``ValueError`` naming a few labels that ``labels`` repeats and how to make them unique.

    Parameters
    ----------
    labels : pandas.Index
        The row labels of a table whose rows are units.
    function : str
        The call that needs them unique, as the message names it
        (``"report()"``).
    holder : str, default "data"
        What the labels belong to, as the message names it.

    Notes
    -----
    Repeated labels are refused rather than matched by position: the tools
    name a unit by its label in every table, chart and file they write, and
    find it by its label (the outside measures of an audit, the rank
    intervals of a robustness analysis in a report, a saved analysis read
    back): two rows under one label would be told apart by their position
    alone, which none of these keeps, and a reader could not tell which of
    them ranks where.
    """
    if labels.is_unique:
        return
    repeated = labels[labels.duplicated()].unique().tolist()
    raise ValueError(
        f"{function} needs one row label per unit, and {holder} repeats {len(repeated)} label(s): "
        f"{show(repeated, 3)}; label the rows by the columns that tell them apart "
        "(data = data.set_index(['name', 'year'])) or number the repeats "
        "(data.index = data.index.astype(str) + ' #' + data.groupby(level=0).cumcount().add(1).astype(str).to_numpy())"
    )


def unit_list(units: Any, known: pd.Index) -> list[Any]:
    """The units that ``units`` names, as a list: one label alone is one unit.

    A string, or any label that is itself a unit of ``known`` (a year, a
    tuple where the units are tuples), is ``[units]``, never the characters
    or elements it holds; anything else iterable is a list of labels, and
    anything else one label.

    Examples
    --------
    >>> import pandas as pd
    >>> unit_list("Ohio", pd.Index(["Ohio", "Utah"])), unit_list(["Ohio", "Utah"], pd.Index(["Ohio"]))
    (['Ohio'], ['Ohio', 'Utah'])
    >>> unit_list(("Ohio", 2019), pd.Index([("Ohio", 2019), ("Utah", 2019)], tupleize_cols=False))
    [('Ohio', 2019)]
    """
    if isinstance(units, (str, bytes)):
        return [units]
    if is_hashable(units):
        try:
            one = units in known
        except (TypeError, ValueError):  # a label the index cannot look up
            one = False
        if one:
            return [units]
    if isinstance(units, pd.Index):
        return units.tolist()
    try:
        return list(units)
    except TypeError:  # not a collection: a label of its own
        return [units]


def as_share(value: Any, name: str) -> float | None:
    """``value`` as a float share in (0, 1], or ``None``; ``ValueError`` otherwise."""
    if value is None:
        return None
    if is_finite(value) and 0 < float(value) <= 1:
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


def fitted(model: Any, name: str) -> Any:
    """The fitted attribute ``name`` of a model; anything else is taken as that attribute's tree itself.

    Raises ``ValueError`` for a model that has not been fitted.
    """
    if isinstance(model, indexfuse.indexpca_diment):
        try:
            return getattr(model, name)
        except AttributeError:
            raise ValueError(f"the model is not fitted (it has no {name}): call fit(data) first") from None
    return model


def signature_text(function: Callable[..., Any]) -> str:
    """The parameters of ``function`` as a call shows them: ``(schema, data, *, strict=False)``."""
    signature = inspect.signature(function)
    bare = [parameter.replace(annotation=inspect.Parameter.empty) for parameter in signature.parameters.values()]
    return str(signature.replace(parameters=bare, return_annotation=inspect.Signature.empty))
