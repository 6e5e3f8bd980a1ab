"""What the report's templates are given: figures as PNG data, tables as
rows of formatted cells, directions as labelled pills, the framework as a tree.

Everything here is plain text for the templates to escape, except the PNG
data URIs (see :func:`picture`).
"""

from __future__ import annotations

import base64
import io
import math
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd
from markupsafe import Markup

from indexfuse_tools._report import DPI
from indexfuse_tools._core import effect, fixed, is_coefficient_table, node_weight, split_key

if TYPE_CHECKING:
    from matplotlib.figure import Figure


@dataclass(frozen=True)
class Picture:
    """A figure as the page shows it: a PNG data URI and its width in CSS pixels."""

    uri: Markup
    width: int


@dataclass(frozen=True)
class Cell:
    """One cell of a table: its text, whether it holds a number (set right),
    and whether it rests on imputed values (marked, with a note under the table)."""

    text: str
    numeric: bool
    imputed: bool = False


@dataclass(frozen=True)
class Table:
    """A table as the page shows it: header cells, then rows of cells."""

    headers: list[Cell]
    rows: list[list[Cell]]


@dataclass(frozen=True)
class Pill:
    """The direction of an entry in words, with the style class of its colour."""

    kind: str
    text: str


@dataclass(frozen=True)
class Branch:
    """An entry of the framework's tree: a dimension or an indicator.

    Attributes
    ----------
    label : str
        The entry's name.
    dimension : bool
        Whether the entry is a dimension (set in bold).
    pill : Pill or None
        How the entry moves the index; None for the tree's root.
    note : str or None
        Its weight or coefficient in words; None for the tree's root.
    children : list of Branch or None
        The entries under a dimension; None for an indicator or for a
        dimension without coefficients.
    """

    label: str
    dimension: bool
    pill: Pill | None
    note: str | None
    children: list[Branch] | None


def picture(fig: Figure) -> Picture:
    """The figure as a PNG data URI, shown at its physical size; closes it."""
    buffer = io.BytesIO()
    # No "Software" entry: the page then names no address at all, not even
    # inside its images.
    fig.savefig(buffer, format="png", dpi=DPI, metadata={"Software": None})
    _close(fig)
    # Shown a third larger than its printed size, so that its lettering
    # matches the page's; never wider than the column.
    width = round(fig.get_figwidth() * 96 * 4 / 3)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    # Safe unescaped: base64 and the fixed prefix use no character HTML
    # escapes, and skipping the escape spares a pass over a megabyte per figure.
    return Picture(Markup(f"data:image/png;base64,{data}"), width)


def _close(fig: Figure) -> None:
    # Figures made through pyplot stay registered there until closed.
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close(fig)


#: The ``digits`` of a column of ranks in :func:`table`.
RANK = -1


def rank_text(value: float) -> str:
    """A rank as a rank: whole (``1,234``), or a half where tied units share their places (``12.5``).

    Six significant digits, as ``g`` would write, would turn rank 123,456.5
    into 123,456, and a million into ``1e+06``.
    """
    whole = math.floor(value)
    if value - whole in (0.0, 0.5):
        return f"{whole:,}" + (".5" if value > whole else "")
    # Only an analysis saved by an older release holds interpolated ranks: shown as stored.
    return f"{value:,}"


def number(value: Any, digits: int) -> str:
    """``value`` as a table shows it: ``digits`` decimals, or a rank when ``digits`` is :data:`RANK`."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "–"
    if isinstance(value, bool):
        return "yes" if value else ""
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return rank_text(value) if digits == RANK else fixed(value, digits, grouping=True)
    return str(value)


def table(
    frame: pd.DataFrame,
    headers: Mapping[str, str],
    digits: Mapping[str, int] | None = None,
    default: int = 3,
    imputed: Mapping[str, Sequence[bool]] | None = None,
) -> Table:
    """The columns of ``frame`` named in ``headers``, in that order, under the titles given there.

    Parameters
    ----------
    frame : pandas.DataFrame
        The rows to show.
    headers : mapping of str to str
        Column name to the title shown over it.
    digits : mapping of str to int, optional
        Decimals of a column's numbers, where not ``default`` (:data:`RANK`:
        a rank, by :func:`rank_text`).
    default : int
        Decimals of the other columns' numbers.
    imputed : mapping of str to sequence of bool, optional
        Column name to, row by row, whether its cell rests on imputed values.
    """
    digits = digits or {}
    imputed = imputed or {}
    head = [Cell(title, pd.api.types.is_numeric_dtype(frame[name])) for name, title in headers.items()]
    rows = []
    for position, (_, row) in enumerate(frame.iterrows()):
        cells = []
        for name in headers:
            value = row[name]
            if hasattr(value, "item") and not isinstance(value, str):
                value = value.item()
            numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
            marked = name in imputed and bool(imputed[name][position])
            cells.append(Cell(number(value, digits.get(name, default)), numeric, marked))
        rows.append(cells)
    return Table(head, rows)


def pill(sign: float) -> Pill:
    """The pill of an entry whose path multiplies to ``sign``."""
    return Pill("raises" if sign > 0 else ("lowers" if sign < 0 else "none"), effect(sign))


def framework(model: Any) -> list[Branch]:
    """The model's dimensions and indicators as the roots of a tree, directions in words."""
    tree = model.index_coef
    if is_coefficient_table(tree):
        return [Branch("all indicators", True, None, None, _branches(tree, 1, 1.0))]
    return _branches(tree, model.dim_weight, 1.0)


def _branches(coef: Any, weight: Any, sign: float) -> list[Branch]:
    if is_coefficient_table(coef):
        leaves = []
        for key, record in coef.items():
            label, direction = split_key(key)
            leaves.append(
                Branch(str(label), False, pill(sign * direction), f"coefficient {fixed(record['coef'], 3)}", None)
            )
        return leaves
    branches = []
    for key, child in coef.items():
        label, direction = split_key(key)
        below = weight.get(key) if isinstance(weight, dict) else None
        share = node_weight(below)
        note = "no weight" if math.isnan(share) else f"weight {fixed(share, 3)}"
        children = None if child is None else _branches(child, below, sign * direction)
        branches.append(Branch(str(label), True, pill(sign * direction), note, children))
    return branches
