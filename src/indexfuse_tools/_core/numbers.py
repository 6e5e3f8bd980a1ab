"""Numbers as text: a value that rounds to zero is written without a sign.

A correlation of -1e-17 or a Sobol index of -0.003 (estimation noise) is
zero to the reader; "-0.00" makes it look like a finding. Every place where
the tools turn a number into text (the report, the command line, the audit's
summary, figure labels) goes through :func:`fixed` or :func:`number_format`.
"""

from __future__ import annotations

from collections.abc import Callable

import pandas as pd

from indexfuse_tools._core.bidi import isolated

__all__ = ["fixed", "number_format", "significant", "table_text", "unsigned_zeros"]

# What is left of a number written as zero once its sign, zeros, point and
# thousands separators are taken away.
_ZERO_CHARACTERS = "-0.,"


def _unsigned_zero(text: str) -> str:
    """``text`` without its minus sign when all it writes is a zero."""
    if text.startswith("-") and not text.strip(_ZERO_CHARACTERS):
        return text[1:]
    return text


def fixed(value: float, digits: int, *, grouping: bool = False) -> str:
    """``value`` with ``digits`` decimals, never as ``"-0"``, ``"-0.00"``...

    Parameters
    ----------
    value : float
        The number (NaN and infinities are written as Python writes them).
    digits : int
        Decimals after the point.
    grouping : bool, default False
        Separate thousands with commas (``"1,234.50"``).

    Returns
    -------
    str

    Examples
    --------
    >>> fixed(-1e-17, 2), fixed(-0.004, 2), fixed(-0.005, 2), fixed(-1234.5, 1, grouping=True)
    ('0.00', '0.00', '-0.01', '-1,234.5')
    """
    text = f"{value:,.{digits}f}" if grouping else f"{value:.{digits}f}"
    return _unsigned_zero(text)


def significant(value: float, digits: int) -> str:
    """``value`` with ``digits`` significant digits (``g``), never as ``"-0"``.

    Examples
    --------
    >>> significant(-0.0, 3), significant(-1.5e-17, 3), significant(0.31416, 3)
    ('0', '-1.5e-17', '0.314')
    """
    return _unsigned_zero(f"{value:.{digits}g}")


def number_format(digits: int, *, grouping: bool = False) -> Callable[[float], str]:
    """A formatter of floats with ``digits`` decimals that never writes a negative zero.

    For pandas' ``float_format`` (``DataFrame.to_string``, ``to_html``) and
    ``Styler.format``. pandas then sets the numbers as they come, without
    the blank it keeps for a sign when it formats them itself.

    Parameters
    ----------
    digits : int
        Decimals after the point.
    grouping : bool, default False
        Separate thousands with commas.

    Returns
    -------
    callable
        ``value -> str``.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import number_format
    >>> table = pd.DataFrame({"S1": [0.104, -0.003]}, index=["scale_method", "ent_k"])
    >>> print(table.to_string(float_format=number_format(2)))
                   S1
    scale_method 0.10
    ent_k        0.00
    """
    if not isinstance(digits, int) or isinstance(digits, bool) or digits < 0:
        raise ValueError(f"digits must be a whole number of decimals (0 or more), got {digits!r}")

    def write(value: float) -> str:
        return fixed(value, digits, grouping=grouping)

    return write


def table_text(frame: pd.DataFrame | pd.Series, digits: int) -> str:
    """``frame.to_string()`` with its floats at ``digits`` decimals and no negative zero,
    and its text labels isolated from the numbers beside them (:func:`~indexfuse_tools._core.isolated`)."""
    if isinstance(frame, pd.Series):
        column = isolated(frame.to_frame()).iloc[:, 0]
        column.name = frame.name
        return str(column.to_string(float_format=number_format(digits)))
    return isolated(frame).to_string(float_format=number_format(digits))


def unsigned_zeros(frame: pd.DataFrame) -> pd.DataFrame:
    """``frame`` with every ``-0.0`` of its float columns turned into ``0.0``.

    For tables printed at full precision, where pandas writes an exact
    ``-0.0`` as "-0.0" but a tiny value in scientific notation, as it is.
    """
    shown = frame.copy()
    for position in range(shown.shape[1]):
        if pd.api.types.is_float_dtype(shown.dtypes.iloc[position]):
            # Adding zero keeps every value and turns -0.0 into 0.0.
            shown.iloc[:, position] = shown.iloc[:, position] + 0.0
    return shown
