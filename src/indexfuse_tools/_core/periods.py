"""The order an index's periods follow: years and dates as they sort, text naturally, categories as set."""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

__all__ = ["period_order"]

_DIGITS = re.compile(r"([0-9]+)")


def _natural(label: str) -> tuple[Any, ...]:
    """``label`` as its text and digit runs, the runs as numbers: ``"FY10"`` -> ``("FY", 10, "")``.

    The split always starts with text (``""`` for a label that starts with a
    digit), so two labels compare text with text and number with number;
    the label itself comes last, to order ``"FY09"`` and ``"FY9"`` apart.
    """
    parts = _DIGITS.split(label)
    return (*(int(part) if i % 2 else part for i, part in enumerate(parts)), label)


def period_order(labels: Sequence[Any], holder: str, categories: Sequence[Any] | None = None) -> list[Any]:
    """The periods ``labels`` in the order the editions follow.

    - Labels of a categorical column (``categories`` given): the order of
      its categories, ordered or not, as the analyst set them (``Jan``,
      ``Feb``, ``Mar``), never the alphabet's.
    - Text labels: natural order, in which a run of digits counts as a
      number, so that ``FY9 < FY10 < FY11`` and ``2019-3 < 2019-12``; text
      with no digits, or digits of one width (``2019``, ``2019Q1``), sorts
      as text does.
    - Anything else (years, dates, periods): as ``sorted`` orders them.

    Raises
    ------
    ValueError
        Naming ``holder``, when the labels do not sort (kinds mixed).

    Examples
    --------
    >>> period_order(["FY10", "FY9", "FY11"], "the period column")
    ['FY9', 'FY10', 'FY11']
    >>> period_order(["Feb", "Jan", "Mar"], "the period column", ["Jan", "Feb", "Mar", "Apr"])
    ['Jan', 'Feb', 'Mar']
    """
    if categories is not None:
        present = set(labels)
        return [category for category in categories if category in present]
    try:
        if all(isinstance(label, str) for label in labels):
            return sorted(labels, key=_natural)
        return sorted(labels)
    except TypeError as error:
        kinds = sorted({type(label).__name__ for label in labels})
        raise ValueError(
            f"the periods of {holder} must sort (years, dates or labels of one kind), "
            f"and these do not: {error} (kinds: {', '.join(kinds)})"
        ) from None
