"""Commands on a published index (``--index FILE``): the index read whole
and checked, the edition ``--period`` names, and the options whose part the
index file plays refused beside it.

The file holds the raw data, the preparation, the model, the presentation
scale, the editions and the analyses of one index: a table, a model or a
preparation given beside it would be a second source of the same thing,
and two sources are how two outputs of one index come to disagree.
"""

from __future__ import annotations

import argparse
from typing import Any

import pandas as pd

from indexfuse_tools._cli.arguments import (
    DEFAULT_K,
    DEFAULT_PCA_CUMULATIVE,
    DEFAULT_SCALE_METHOD,
)
from indexfuse_tools._cli.common import InputError
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import show
from indexfuse_tools._index import Index

__all__ = ["chosen_edition", "indexed", "published_scores", "read_index", "refuse_edition_without_index"]

# What the index file stands in for: the option, and what the file holds instead.
_REPLACED = {
    "model": "its model",
    "preparation": "its preparation, replayed as it was published",
    "replace_preparation": "its preparation, replayed as it was published",
    "id": "its units",
    "sheet": "its data",
    "unit": "its units",
    "baseline": "its baseline",
    "reference": "its reference edition",
    "min_present": "its model, which scores every dimension as it was published",
    "external": "only the columns the index reads: correlate other measures in Python (Index.report(external=...))",
}
# The fitting options, with the values that mean "not given".
_FITTING = {
    "scale_method": DEFAULT_SCALE_METHOD,
    "pca_cumulative": DEFAULT_PCA_CUMULATIVE,
    "ent_k": DEFAULT_K,
    "resolution": None,
}


def indexed(arguments: argparse.Namespace) -> bool:
    """Whether the command works on a published index (``--index FILE``)."""
    return getattr(arguments, "index", None) is not None


def read_index(arguments: argparse.Namespace) -> Index:
    """The index ``--index`` names, after refusing what it stands in for.

    With ``--schema``, the index must be of that schema. A file that is not
    an index file, is damaged, comes from a newer release or is of another
    schema is refused by :meth:`Index.load`, naming the file and the place.
    """
    _refuse_beside_index(arguments)
    schema = None if arguments.schema is None else read_schema(arguments.schema)
    index = Index.load(arguments.index, schema=schema)
    if getattr(arguments, "scale", None) is not None and index.presentation is None:
        raise InputError(
            f"--scale {arguments.scale}: the index {arguments.index} was published without a presentation "
            "scale, and a scale is fixed once, with the index: build it with [presentation] scale = \"0-100\""
        )
    return index


def _refuse_beside_index(arguments: argparse.Namespace) -> None:
    path = arguments.index
    if arguments.table is not None:
        raise InputError(
            f"{arguments.table}: with --index the data come from the index file {path}; leave the table out "
            "(to score other rows, use the model: --model)"
        )
    for option, held in _REPLACED.items():
        if getattr(arguments, option, None) not in (None, False):
            raise InputError(f"--{option.replace('_', '-')}: not with --index: the index file {path} holds {held}")
    for option, default in _FITTING.items():
        value = getattr(arguments, option, default)
        if value != default:
            raise InputError(
                f"--{option.replace('_', '-')} {value}: not with --index: the index file {path} holds its model, "
                "fitted as it was published"
            )


def refuse_edition_without_index(arguments: argparse.Namespace) -> None:
    """``--period VALUE`` of a command that reads a table of one edition unless it works on an index."""
    if arguments.period is not None and not indexed(arguments):
        raise InputError(f"--period {arguments.period}: names an edition of a published index; give --index FILE")


def chosen_edition(index: Index, text: str | None, path: str) -> Any:
    """The edition ``--period`` names (``VALUE``, or ``COLUMN=VALUE`` with the index's period column),
    as the index holds it; None for the latest."""
    if text is None:
        return None
    if index.editions is None:
        raise InputError(f"--period {text}: the index {path} has no editions")
    by_text = {str(period): period for period in index.periods}
    column, equals, value = text.rpartition("=")
    if text not in by_text and equals and column == str(index.period):
        text = value
    if text not in by_text:
        raise InputError(f"--period {text}: no such edition in the index {path}; editions: {show(list(by_text), 8)}")
    return by_text[text]


def published_scores(index: Index, period: Any = None) -> pd.DataFrame:
    """The index's results as a flat table: every edition (or the one ``period`` names), the period and
    unit columns first, named as in the table the index was built from."""
    whole = index.results()
    if index.editions is None:
        return whole.reset_index()
    shown = whole if period is None else whole.loc[[period]]
    table = shown.reset_index()
    names = {"period": index.period, "unit": "unit" if index.unit is None else index.unit}
    table.columns = [names.get(name, name) for name in table.columns]
    return table
